// Why a port would not open, in words, on POSIX: the error code says little
// (5 is "no permission", "in use" and "the console" alike), so the cause is
// taken from the provider's own record of the refusal, which tells what its
// check of the device found; the device is not looked at a second time.
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/ports.h"
#include "app/ports_posix.h"
#include "common/output.h"
#include "platform/posix/device_check.h"

using posixlayer::DeviceVerdict;

static const char kListHint[] = "cabletest --list shows the ports";
static const char kNotOpened[] = "the program does not open it, choose another port";

static void ExplainMissing(LPCSTR name, const std::string& path) {
    if (path.empty()) {
        PrintError("%s: no such device; %s\n", name, kListHint);
    } else {
        PrintError("%s: no such device (%s); %s\n", name, path.c_str(), kListHint);
    }
}

// Whether this process has the group now, or the group lists the user, who
// then has it from the next login.
static bool HasGroupNow(gid_t gid) {
    std::vector<gid_t> groups(64);
    int count = getgroups((int)groups.size(), groups.data());
    for (int i = 0; i < count; ++i) {
        if (groups[(size_t)i] == gid) {
            return true;
        }
    }
    return getegid() == gid;
}

static bool GroupListsUser(const struct group& owner) {
    const struct passwd* user = getpwuid(getuid());
    for (char** member = owner.gr_mem; user != NULL && *member != NULL; ++member) {
        if (strcmp(*member, user->pw_name) == 0) {
            return true;
        }
    }
    return false;
}

// Serial devices belong to a group (dialout on Debian) whose members may open
// them; membership comes with the next login. A member already in the group
// is kept out by something else, such as the device's mode.
static void ExplainPermission(LPCSTR name, const struct stat& device) {
    const struct group* owner = getgrgid(device.st_gid);
    const std::string group =
        owner != NULL ? owner->gr_name : std::to_string((unsigned long)device.st_gid);
    if (device.st_gid == 0) {
        PrintError(
            "%s: permission denied; the device belongs to root: ask the administrator "
            "for access\n",
            name);
    } else if (HasGroupNow(device.st_gid)) {
        PrintError(
            "%s: permission denied, though you are in its group %s: the device's mode %03o "
            "%s; ask the administrator for access\n",
            name, group.c_str(), (unsigned)(device.st_mode & 0777),
            (device.st_mode & 060) == 060 ? "lets the group in, something else keeps you out"
                                          : "does not let the group read and write it");
    } else if (owner != NULL && GroupListsUser(*owner)) {
        PrintError(
            "%s: permission denied; you were added to the device's group %s after you "
            "logged in: log out and in again\n",
            name, group.c_str());
    } else {
        PrintError(
            "%s: permission denied; the device belongs to group %s: join it with "
            "\"sudo usermod -aG %s $USER\", then log out and in again\n",
            name, group.c_str(), group.c_str());
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

void ExplainOpenFailure(LPCSTR name, DWORD) {
    const posixlayer::OpenRefusal refusal = posixlayer::LastOpenRefusal();
    std::string holder;
    switch (refusal.verdict) {
        case DeviceVerdict::Missing:
            ExplainMissing(name, refusal.path);
            break;
        case DeviceVerdict::NotTerminal:
            ExplainNotTerminal(name, refusal.info);
            break;
        case DeviceVerdict::NoAccess:
            ExplainPermission(name, refusal.info);
            break;
        case DeviceVerdict::InUse:
            if (!FindHolder(refusal.info, refusal.path, &holder)) {
                holder = "in use by another program";
            }
            PrintError("%s: %s\n", name, holder.c_str());
            break;
        case DeviceVerdict::SystemConsole:
            PrintError("%s: the system console; %s\n", name, kNotOpened);
            break;
        case DeviceVerdict::OwnTerminal:
            PrintError("%s: your own terminal; %s\n", name, kNotOpened);
            break;
        case DeviceVerdict::VirtualClock:
            PrintError(
                "%s: a device does not open on the virtual clock; name sim, or drop "
                "CABLETEST_CLOCK to open the device\n",
                name);
            break;
        case DeviceVerdict::SimulatedLine:
            PrintError("%s\n", refusal.reason.c_str());
            break;
        case DeviceVerdict::Unknown:
            PrintError("%s: cannot be opened: %s\n", name, strerror(refusal.err));
            break;
        default:  // no refusal of the provider's: refused before it was asked
            break;
    }
}
