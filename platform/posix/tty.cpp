// The tty back end's open and close: a serial port as a terminal device, held
// for this process alone, and never the console or the operator's own
// terminal. comm.cpp checks the arguments of the Win32 calls; the operations
// on the open device are in tty_io.cpp and tty_wait.cpp.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "platform/posix/portname.h"
#include "platform/posix/tty_port.h"

namespace posixlayer {
namespace {

void CloseIfOpen(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

bool ReadDeviceNumber(const std::string& file, unsigned* major, unsigned* minor) {
    std::ifstream in(file);
    char colon = 0;
    if (!(in >> *major >> colon >> *minor) || colon != ':') {
        return false;
    }
    return true;
}

bool IsConsoleDevice(dev_t rdev) {
    auto consoles = ConsoleDeviceNumbers("/sys/class/tty");
    // A made-up machine (CABLETEST_SYSFS_DIR, as --list reads it) may name
    // more consoles, never fewer.
    const char* sysfs = getenv("CABLETEST_SYSFS_DIR");
    if (sysfs != nullptr && *sysfs != '\0') {
        const auto more = ConsoleDeviceNumbers(std::string(sysfs) + "/class/tty");
        consoles.insert(consoles.end(), more.begin(), more.end());
    }
    for (const auto& mm : consoles) {
        if (major(rdev) == mm.first && minor(rdev) == mm.second) {
            return true;
        }
    }
    return IsControllingTerminal(rdev);
}

// Look before opening: the console must not be opened at all, since the
// open itself raises DTR and RTS on it, and an opened file that is not a
// device is already more than we want to do to it.
DWORD CheckDevice(const std::string& path, dev_t* rdev) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return Win32ErrorFromErrno(errno);
    }
    if (!S_ISCHR(info.st_mode)) {
        return ERROR_INVALID_FUNCTION;
    }
    if (IsConsoleDevice(info.st_rdev)) {
        return ERROR_ACCESS_DENIED;
    }
    *rdev = info.st_rdev;
    return ERROR_SUCCESS;
}

// Opens the device that was checked, for this process alone.
DWORD OpenChecked(const std::string& path, dev_t rdev, int* fdOut) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Win32ErrorFromErrno(errno);
    }
    struct stat opened;
    const bool terminal = isatty(fd) != 0;
    const bool same = fstat(fd, &opened) == 0 && opened.st_rdev == rdev;
    if (!terminal || !same) {
        // Not a terminal; or the link was pointed elsewhere between the look
        // and the open, and this is not the device that was checked.
        close(fd);
        return terminal ? ERROR_ACCESS_DENIED : ERROR_INVALID_FUNCTION;
    }
    // Share mode 0: flock holds against every other opener, root included;
    // TIOCEXCL (in Prepare) also keeps out programs that do not use flock
    // (though not root).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        return (err == EWOULDBLOCK) ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err);
    }
    *fdOut = fd;
    return ERROR_SUCCESS;
}

}  // namespace

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

std::shared_ptr<Port> OpenTtyPort(const std::string& path, DWORD* error) {
    dev_t rdev = 0;
    int fd = -1;
    *error = CheckDevice(path, &rdev);
    if (*error == ERROR_SUCCESS) {
        *error = OpenChecked(path, rdev, &fd);
    }
    if (*error != ERROR_SUCCESS) {
        return nullptr;
    }
    auto port = std::make_shared<TtyPort>(fd);
    *error = port->Prepare();
    if (*error != ERROR_SUCCESS) {
        return nullptr;  // the descriptors go with the port
    }
    return port;
}

// The kernel raises RTS (and DTR) when the device is opened.
TtyPort::TtyPort(int fd) : Port(RTS_CONTROL_ENABLE), fd_(fd) {}

TtyPort::~TtyPort() {
    if (exclusive_) {
        ioctl(fd_, TIOCNXCL);
    }
    // Closing the descriptor drops the flock as well.
    CloseIfOpen(&fd_);
    CloseIfOpen(&wakeRead_);
    CloseIfOpen(&wakeWrite_);
}

DWORD TtyPort::Prepare() {
    exclusive_ = ioctl(fd_, TIOCEXCL) == 0;
    // The kernel raised DTR and RTS inside open(); the program wants DTR low
    // until it pulses it. The blip between the two cannot be avoided from
    // user space. A device without modem lines (a pty) has nothing to lower.
    const int dtr = ChangeModemLines(fd_, 0, TIOCM_DTR);
    if (dtr != 0 && !NoModemLines(dtr)) {
        return MeansGone(dtr) ? ERROR_GEN_FAILURE : Win32ErrorFromErrno(dtr);
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        return Win32ErrorFromErrno(errno);
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
#ifdef TIOCGICOUNT
    // Errors from before the open are not ours to report.
    haveCounters_ = ioctl(fd_, TIOCGICOUNT, &counters_) == 0;
#endif
    return ERROR_SUCCESS;
}

}  // namespace posixlayer
