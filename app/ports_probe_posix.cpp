// The look at a port's device shared by the listing and the cause of a
// refused open: console or not, free or held and by whom. Read the open in
// the POSIX layer's tty back end beside it: the refusals here must be the
// same as there, and a device the open would refuse untouched is never opened.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "app/ports_posix.h"
#include "platform/posix/portname.h"

std::string DeviceFolder(void) {
    const char* dir = getenv("CABLETEST_DEVICE_DIR");
    return (dir == NULL || *dir == '\0') ? "/dev" : dir;
}

std::string SysfsRoot(void) {
    const char* dir = getenv("CABLETEST_SYSFS_DIR");
    return (dir == NULL || *dir == '\0') ? "/sys" : dir;
}

static bool IsListedConsole(dev_t rdev, const std::string& sysClassTty) {
    for (const auto& mm : posixlayer::ConsoleDeviceNumbers(sysClassTty)) {
        if (major(rdev) == mm.first && minor(rdev) == mm.second) {
            return true;
        }
    }
    return false;
}

// The open refuses the consoles of this machine's own sysfs; a made-up
// machine (CABLETEST_SYSFS_DIR) may name more, never fewer.
static enum PortUse ConsoleUse(dev_t rdev) {
    if (rdev == makedev(5, 0) || posixlayer::IsControllingTerminal(rdev)) {
        return PORT_OWN_TERMINAL;
    }
    const std::string root = SysfsRoot();
    if (IsListedConsole(rdev, root + "/class/tty") ||
        (root != "/sys" && IsListedConsole(rdev, "/sys/class/tty"))) {
        return PORT_SYSTEM_CONSOLE;
    }
    return PORT_FREE;
}

// The lock the open takes, taken and given back at once.
static enum PortUse TryLock(int fd, const struct stat& device) {
    struct stat opened;
    if (fstat(fd, &opened) != 0 || opened.st_rdev != device.st_rdev) {
        // The link was pointed elsewhere between the look and the open.
        return PORT_UNKNOWN;
    }
    if (!isatty(fd)) {
        return PORT_NOT_TERMINAL;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? PORT_IN_USE : PORT_UNKNOWN;
    }
    flock(fd, LOCK_UN);
    return PORT_FREE;
}

enum PortUse ProbePort(const std::string& path, struct stat* device) {
    if (stat(path.c_str(), device) != 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? PORT_MISSING : PORT_UNKNOWN;
    }
    if (!S_ISCHR(device->st_mode)) {
        return PORT_NOT_TERMINAL;
    }
    enum PortUse console = ConsoleUse(device->st_rdev);
    if (console != PORT_FREE) {
        return console;
    }
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A device held with TIOCEXCL refuses a second open with EBUSY.
        if (errno == EBUSY) {
            return PORT_IN_USE;
        }
        return (errno == EACCES || errno == EPERM) ? PORT_NO_ACCESS : PORT_UNKNOWN;
    }
    enum PortUse use = TryLock(fd, *device);
    close(fd);
    return use;
}

// The pid of a lock on the device's inode in /proc/locks, whose lines read
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF" (a waiting lock has "->"
// after the number); the device field is major:minor in hex, then the inode.
static bool HolderFromLocks(const struct stat& device, long* pid) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, where;
        long lockPid = 0;
        fields >> number >> kind;
        if (kind == "->") {
            continue;
        }
        if (!(fields >> mode >> access >> lockPid >> where) || lockPid <= 0) {
            continue;
        }
        unsigned maj = 0, min = 0;
        unsigned long inode = 0;
        if (sscanf(where.c_str(), "%x:%x:%lu", &maj, &min, &inode) == 3 &&
            maj == major(device.st_dev) && min == minor(device.st_dev) && inode == device.st_ino) {
            *pid = lockPid;
            return true;
        }
    }
    return false;
}

// Whether process pid has the device open, by its descriptors' targets.
static bool HasDeviceOpen(const std::string& pid, const struct stat& device) {
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR* dir = opendir(fdDir.c_str());
    if (dir == NULL) {
        return false;
    }
    bool found = false;
    while (struct dirent* entry = readdir(dir)) {
        struct stat target;
        if (entry->d_name[0] != '.' && stat((fdDir + "/" + entry->d_name).c_str(), &target) == 0 &&
            S_ISCHR(target.st_mode) && target.st_rdev == device.st_rdev) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// A holder that took no lock (TIOCEXCL alone): any other process with the
// device open, as far as /proc lets us see.
static bool HolderFromDescriptors(const struct stat& device, long* pid) {
    DIR* proc = opendir("/proc");
    if (proc == NULL) {
        return false;
    }
    const long self = (long)getpid();
    bool found = false;
    while (struct dirent* entry = readdir(proc)) {
        char* end = NULL;
        long candidate = strtol(entry->d_name, &end, 10);
        if (candidate > 0 && *end == '\0' && candidate != self &&
            HasDeviceOpen(entry->d_name, device)) {
            *pid = candidate;
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}

// The command name of process pid, control characters shown as '?': any
// program may name itself anything.
static bool ProgramName(long pid, std::string* program) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    if (!std::getline(comm, *program) || program->empty()) {
        return false;
    }
    for (char& c : *program) {
        if ((unsigned char)c < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return true;
}

bool FindHolder(const struct stat& device, long* pid, std::string* program) {
    if (HolderFromLocks(device, pid) && ProgramName(*pid, program)) {
        return true;
    }
    return HolderFromDescriptors(device, pid) && ProgramName(*pid, program);
}
