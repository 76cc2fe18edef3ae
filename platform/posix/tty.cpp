// The tty back end's open and close: a serial port as a terminal device, held
// for this process alone, and never the console or the operator's own
// terminal (device_check.cpp looks, and the open goes through the descriptor
// it looked at). comm.cpp checks the arguments of the Win32 calls; the operations
// on the open device are in tty_io.cpp and tty_wait.cpp.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/posix/device_check.h"
#include "platform/posix/tty_port.h"

namespace posixlayer {
namespace {

void CloseIfOpen(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

// The refusal of the device at path, as the check or the open found it.
DWORD Refuse(const DeviceCheck& check, const std::string& path) {
    OpenRefusal refusal;
    refusal.verdict = check.verdict;
    refusal.path = path;
    refusal.info = check.info;
    refusal.err = check.err;
    NoteOpenRefusal(refusal);
    switch (check.verdict) {
        case DeviceVerdict::NotTerminal:
            return ERROR_INVALID_FUNCTION;
        case DeviceVerdict::SystemConsole:
        case DeviceVerdict::OwnTerminal:
        case DeviceVerdict::InUse:
            return ERROR_ACCESS_DENIED;
        default:
            return Win32ErrorFromErrno(check.err);
    }
}

DeviceVerdict VerdictOfOpenError(int err) {
    switch (err) {
        case EBUSY:  // held by another opener with TIOCEXCL
            return DeviceVerdict::InUse;
        case EACCES:
        case EPERM:
            return DeviceVerdict::NoAccess;
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return DeviceVerdict::Missing;
        default:
            return DeviceVerdict::Unknown;
    }
}

// Opens the device that was checked, through the descriptor that was checked,
// for this process alone. On failure check->verdict says why.
int OpenChecked(DeviceCheck* check) {
    const std::string self = "/proc/self/fd/" + std::to_string(check->pathFd);
    int fd = open(self.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        check->err = errno;
        check->verdict = VerdictOfOpenError(check->err);
        return -1;
    }
    if (!isatty(fd)) {
        close(fd);
        check->verdict = DeviceVerdict::NotTerminal;
        return -1;
    }
    // Share mode 0: flock holds against every other opener, root included;
    // TIOCEXCL (in Prepare) also keeps out programs that do not use flock
    // (though not root).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        check->err = errno;
        close(fd);
        check->verdict = check->err == EWOULDBLOCK ? DeviceVerdict::InUse : DeviceVerdict::Unknown;
        return -1;
    }
    return fd;
}

}  // namespace

std::shared_ptr<Port> OpenTtyPort(const std::string& path, DWORD* error) {
    DeviceCheck check = CheckDevice(path);
    const int fd = check.verdict == DeviceVerdict::Usable ? OpenChecked(&check) : -1;
    ReleaseDeviceCheck(&check);
    if (fd < 0) {
        *error = Refuse(check, path);
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
