// Who uses a port's device, from what the system tells without opening it:
// the locks in /proc/locks, UUCP lock files, and the processes' open files.
// Shared by the listing and the cause of a refused open; whether the device
// may be opened at all is the provider's check (platform/posix/device_check.h).
#include <dirent.h>
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "app/ports_posix.h"

std::string DeviceFolder(void) {
    const char* dir = getenv("CABLETEST_DEVICE_DIR");
    return (dir == NULL || *dir == '\0') ? "/dev" : dir;
}

std::string SysfsRoot(void) {
    const char* dir = getenv("CABLETEST_SYSFS_DIR");
    return (dir == NULL || *dir == '\0') ? "/sys" : dir;
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

// The pid in a UUCP lock file (LCK..ttyUSB0 in /var/lock or /run/lock): ten
// characters of decimal text, or in old programs a binary int. A lock whose
// process is gone is stale and holds nothing.
static bool HolderFromUucpLock(const std::string& deviceName, long* pid) {
    for (const char* folder : {"/var/lock/", "/run/lock/"}) {
        std::ifstream lock(folder + std::string("LCK..") + deviceName, std::ios::binary);
        char text[64] = {0};
        lock.read(text, sizeof text - 1);
        const std::streamsize got = lock.gcount();
        const bool isText = got > 0 && strspn(text, " 0123456789\n") == (size_t)got;
        long value = 0;
        if (isText) {
            value = strtol(text, NULL, 10);
        } else if (got == (std::streamsize)sizeof(int)) {
            int binary = 0;
            memcpy(&binary, text, sizeof binary);
            value = binary;
        }
        if (value > 0 && access(("/proc/" + std::to_string(value)).c_str(), F_OK) == 0) {
            *pid = value;
            return true;
        }
    }
    return false;
}

// The device's own name, as a UUCP lock names it: the last part of the path
// its links lead to.
static std::string DeviceBaseName(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == NULL) {
        return "";
    }
    return basename(resolved);
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

bool FindHolder(const struct stat& device, const std::string& path, std::string* text) {
    long pid = 0;
    if (!HolderFromLocks(device, &pid)) {
        const std::string name = DeviceBaseName(path);
        if (name.empty() || !HolderFromUucpLock(name, &pid)) {
            return false;
        }
    }
    std::string program;
    if (ProgramName(pid, &program)) {
        *text = "in use by " + program + " (pid " + std::to_string(pid) + ")";
    } else {
        *text = "in use by another program";
    }
    return true;
}

// Whether process pid has the device open, by its descriptors' targets: a
// stat through /proc/<pid>/fd/<n> opens nothing.
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

bool OpenElsewhere(const struct stat& device) {
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
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}
