// Why a port would not open, in words, on POSIX: the error code says little
// (5 is "no permission", "in use" and "the console" alike), so the device is
// looked at again, the way the open looked at it.
#include <grp.h>
#include <sys/stat.h>

#include <string>

#include "app/ports.h"
#include "app/ports_posix.h"
#include "common/output.h"
#include "platform/posix/portname.h"

static const char kListHint[] = "cabletest --list shows the ports";

static void ExplainMissing(LPCSTR name, const std::string& path) {
    if (path.empty()) {
        PrintError("%s: no such device; %s\n", name, kListHint);
    } else {
        PrintError("%s: no such device (%s); %s\n", name, path.c_str(), kListHint);
    }
}

// Serial devices belong to a group (dialout on Debian) whose members may open
// them; membership comes with the next login.
static void ExplainPermission(LPCSTR name, const struct stat& device) {
    if (device.st_gid == 0) {
        PrintError(
            "%s: permission denied; the device belongs to root: ask the administrator "
            "for access\n",
            name);
        return;
    }
    struct group* owner = getgrgid(device.st_gid);
    const std::string group =
        owner != NULL ? owner->gr_name : std::to_string((unsigned long)device.st_gid);
    PrintError(
        "%s: permission denied; the device belongs to group %s: join it with "
        "\"sudo usermod -aG %s $USER\", then log out and in again\n",
        name, group.c_str(), group.c_str());
}

static void ExplainInUse(LPCSTR name, const struct stat& device) {
    long pid = 0;
    std::string program;
    if (FindHolder(device, &pid, &program)) {
        PrintError("%s: in use by %s (pid %ld)\n", name, program.c_str(), pid);
    } else {
        PrintError("%s: in use by another program\n", name);
    }
}

static void ExplainNotTerminal(LPCSTR name, const struct stat& file) {
    if (S_ISREG(file.st_mode)) {
        PrintError("%s: not a terminal but a plain file\n", name);
    } else if (S_ISDIR(file.st_mode)) {
        PrintError("%s: not a terminal but a folder\n", name);
    } else {
        PrintError("%s: not a terminal\n", name);
    }
}

// A look at the device again; nothing is said when what it finds now does
// not explain the refusal (the other program may have let go meanwhile).
static void ExplainByLooking(LPCSTR name, const std::string& path) {
    struct stat device = {};
    switch (ProbePort(path, &device)) {
        case PORT_MISSING:
            ExplainMissing(name, path);
            break;
        case PORT_NOT_TERMINAL:
            ExplainNotTerminal(name, device);
            break;
        case PORT_NO_ACCESS:
            ExplainPermission(name, device);
            break;
        case PORT_IN_USE:
            ExplainInUse(name, device);
            break;
        case PORT_SYSTEM_CONSOLE:
            PrintError(
                "%s: the system console; the program does not open it, choose another "
                "port\n",
                name);
            break;
        case PORT_OWN_TERMINAL:
            PrintError(
                "%s: your own terminal; the program does not open it, choose another "
                "port\n",
                name);
            break;
        default:
            break;
    }
}

void ExplainOpenFailure(LPCSTR name, DWORD error) {
    std::string path;
    const posixlayer::PortKind kind = posixlayer::MapPortName(name, DeviceFolder().c_str(), &path);
    // The simulated line tells of its own refusals.
    if (kind == posixlayer::PortKind::Simulated) {
        return;
    }
    if (error == ERROR_FILE_NOT_FOUND) {
        ExplainMissing(name, path);
    } else if (kind == posixlayer::PortKind::Device &&
               (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION)) {
        ExplainByLooking(name, path);
    }
}
