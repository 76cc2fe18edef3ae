// The one look at a port's device (console, operator's terminal, what kind of
// file) through a path-only descriptor, and the record of why the last open
// of a port was refused.
#include "platform/posix/device_check.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace posixlayer {
namespace {

// The kernel's major number of the virtual consoles, tty0 to tty63; its
// minors from 64 up are the legacy serial ports ttyS0 and on.
constexpr unsigned kVirtualConsoleMajor = 4;
constexpr unsigned kVirtualConsoles = 64;

std::mutex g_refusalMutex;
OpenRefusal g_lastRefusal;

bool ReadDeviceNumber(const std::string& file, unsigned* maj, unsigned* min) {
    std::ifstream in(file);
    char colon = 0;
    return static_cast<bool>(in >> *maj >> colon >> *min) && colon == ':';
}

// The sysfs tty folders whose consoles are refused: this machine's own, and
// a made-up machine's (CABLETEST_SYSFS_DIR, as --list reads it), which may
// name more consoles, never fewer.
std::vector<std::string> SysClassTtyFolders() {
    std::vector<std::string> folders = {"/sys/class/tty"};
    const char* sysfs = getenv("CABLETEST_SYSFS_DIR");
    if (sysfs != nullptr && *sysfs != '\0') {
        folders.push_back(std::string(sysfs) + "/class/tty");
    }
    return folders;
}

// The virtual consoles by number, and those that sysfs names tty0 to tty63
// with a number of their own.
bool IsVirtualConsole(dev_t rdev, const std::string& sysClassTty) {
    if (major(rdev) == kVirtualConsoleMajor && minor(rdev) < kVirtualConsoles) {
        return true;
    }
    for (unsigned n = 0; n < kVirtualConsoles; ++n) {
        unsigned maj = 0;
        unsigned min = 0;
        if (ReadDeviceNumber(sysClassTty + "/tty" + std::to_string(n) + "/dev", &maj, &min) &&
            major(rdev) == maj && minor(rdev) == min) {
            return true;
        }
    }
    return false;
}

bool IsSystemConsole(dev_t rdev) {
    for (const std::string& folder : SysClassTtyFolders()) {
        for (const auto& mm : ConsoleDeviceNumbers(folder)) {
            if (major(rdev) == mm.first && minor(rdev) == mm.second) {
                return true;
            }
        }
        if (IsVirtualConsole(rdev, folder)) {
            return true;
        }
    }
    return false;
}

DeviceVerdict VerdictOfDevice(const struct stat& info) {
    if (!S_ISCHR(info.st_mode)) {
        return DeviceVerdict::NotTerminal;
    }
    // /dev/tty is whatever terminal the opener has: always the operator's own.
    if (info.st_rdev == makedev(5, 0) || IsControllingTerminal(info.st_rdev)) {
        return DeviceVerdict::OwnTerminal;
    }
    return IsSystemConsole(info.st_rdev) ? DeviceVerdict::SystemConsole : DeviceVerdict::Usable;
}

}  // namespace

DeviceCheck CheckDevice(const std::string& path) {
    DeviceCheck check;
    // O_PATH opens no device: no driver is called, no modem line moves.
    check.pathFd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (check.pathFd < 0) {
        check.err = errno;
        check.verdict = (check.err == ENOENT || check.err == ENOTDIR) ? DeviceVerdict::Missing
                                                                      : DeviceVerdict::Unknown;
        return check;
    }
    if (fstat(check.pathFd, &check.info) != 0) {
        check.err = errno;
        check.verdict = DeviceVerdict::Unknown;
    } else {
        check.verdict = VerdictOfDevice(check.info);
    }
    if (check.verdict != DeviceVerdict::Usable) {
        ReleaseDeviceCheck(&check);
    }
    return check;
}

void ReleaseDeviceCheck(DeviceCheck* check) {
    if (check->pathFd >= 0) {
        close(check->pathFd);
        check->pathFd = -1;
    }
}

// The operator's own terminal (pts/3 named by mistake) would be set to raw
// 9600 baud under their feet: it counts as a console too. The kernel gives
// the controlling terminal's number in /proc/self/stat (tty_nr, the seventh
// field, after the command name in parentheses).
bool IsControllingTerminal(dev_t rdev) {
    std::ifstream procStat("/proc/self/stat");
    std::string line;
    if (!std::getline(procStat, line) || line.rfind(')') == std::string::npos) {
        return false;
    }
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0;
    unsigned long ttyNr = 0;
    if (!(fields >> state >> ppid >> pgrp >> session >> ttyNr) || ttyNr == 0) {
        return false;
    }
    unsigned ttyMajor = (ttyNr >> 8) & 0xFFF;
    unsigned ttyMinor = (ttyNr & 0xFF) | ((ttyNr >> 12) & 0xFFF00);
    return major(rdev) == ttyMajor && minor(rdev) == ttyMinor;
}

std::vector<std::pair<unsigned, unsigned>> ConsoleDeviceNumbers(const std::string& sysClassTty) {
    std::vector<std::pair<unsigned, unsigned>> numbers = {{5, 0}, {5, 1}};
    std::vector<std::string> pending = {"console"};
    std::set<std::string> seen;
    // "console" lists the consoles; a virtual-terminal alias (tty0) lists the
    // terminal it stands for. The bound keeps a looped sysfs from looping us.
    for (size_t i = 0; i < pending.size() && seen.size() < 64; ++i) {
        const std::string name = pending[i];
        if (!seen.insert(name).second || name.empty() || name.find('/') != std::string::npos ||
            name == "." || name == "..") {
            continue;
        }
        const std::string dir = sysClassTty + "/" + name;
        unsigned maj = 0;
        unsigned min = 0;
        if (name != "console" && ReadDeviceNumber(dir + "/dev", &maj, &min)) {
            numbers.emplace_back(maj, min);
        }
        std::ifstream active(dir + "/active");
        std::string word;
        while (active >> word) {
            pending.push_back(word);
        }
    }
    return numbers;
}

void ClearOpenRefusal() {
    NoteOpenRefusal(OpenRefusal());
}

void NoteOpenRefusal(const OpenRefusal& refusal) {
    std::lock_guard<std::mutex> hold(g_refusalMutex);
    g_lastRefusal = refusal;
}

OpenRefusal LastOpenRefusal() {
    std::lock_guard<std::mutex> hold(g_refusalMutex);
    return g_lastRefusal;
}

}  // namespace posixlayer
