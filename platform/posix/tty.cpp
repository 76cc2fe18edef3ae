// The tty back end of the POSIX layer: a serial port as a terminal device,
// driven through termios, the modem-line ioctls and the driver's interrupt
// counters. comm.cpp checks the arguments of the Win32 calls and keeps their
// records; this file does what the device itself has to do.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/posix/layer.h"
#include "platform/posix/portname.h"

namespace posixlayer {

struct TtyState {
    int fd = -1;
    // Self-pipe: a byte written to wakeWrite makes a poll in TtyWaitEvent
    // return, so that SetCommMask and CloseHandle can end a wait that is
    // blocked in the kernel.
    int wakeRead = -1;
    int wakeWrite = -1;
    // Threads inside poll() with the lock released. Only the last one out
    // drains the self-pipe, so that no poller misses a wake-up.
    int pollers = 0;
    bool exclusive = false;  // TIOCEXCL set, to be undone at close
#ifdef TIOCGICOUNT
    bool haveCounters = false;
    serial_icounter_struct counters{};  // as of the last ClearCommError
#endif
};

namespace {

struct BaudEntry {
    DWORD rate;
    speed_t speed;
};

// The rates termios can set exactly. Any other rate is refused rather than
// rounded: a line at the wrong speed reads garbage.
const BaudEntry kBauds[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedForRate(DWORD rate, speed_t* speed) {
    for (const BaudEntry& e : kBauds) {
        if (e.rate == rate) {
            *speed = e.speed;
            return true;
        }
    }
    return false;
}

bool RateForSpeed(speed_t speed, DWORD* rate) {
    for (const BaudEntry& e : kBauds) {
        if (e.speed == speed) {
            *rate = e.rate;
            return true;
        }
    }
    return false;
}

void CloseIfOpen(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

void FreeState(TtyState* st) {
    if (st->exclusive) {
        ioctl(st->fd, TIOCNXCL);
    }
    // Closing the descriptor drops the flock as well.
    CloseIfOpen(&st->fd);
    CloseIfOpen(&st->wakeRead);
    CloseIfOpen(&st->wakeWrite);
    delete st;
}

// errno values that mean the device itself has gone (a hung-up tty, a USB
// adapter pulled out), as opposed to a refused request.
bool MeansGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

// The common failure path of an operation on an open device: a device that
// has gone is marked so (which fails a pending wait too); anything else is a
// plain failure.
bool FailWithErrno(PortObject* port, int err, DWORD* error) {
    if (MeansGone(err)) {
        MarkGone(port, ERROR_GEN_FAILURE);
        *error = port->goneError;
    } else {
        *error = Win32ErrorFromErrno(err);
    }
    return false;
}

// A port whose device has gone, or whose back end is already released,
// refuses every operation.
bool Unusable(PortObject* port, DWORD* error) {
    if (port->gone) {
        *error = port->goneError;
        return true;
    }
    if (port->tty == nullptr || port->tty->fd < 0) {
        *error = ERROR_INVALID_HANDLE;
        return true;
    }
    return false;
}

// Modem lines that a device may not have: a pty has none, and the ioctl
// fails with ENOTTY (or EINVAL on some drivers).
bool NoModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

int ChangeModemLines(int fd, int set, int clear) {
    if (clear != 0 && ioctl(fd, TIOCMBIC, &clear) != 0) {
        return errno;
    }
    if (set != 0 && ioctl(fd, TIOCMBIS, &set) != 0) {
        return errno;
    }
    return 0;
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
    // The operator's own terminal (pts/3 named by mistake) would be set to
    // raw 9600 baud under their feet: it counts as a console too. The kernel
    // gives the controlling terminal's number in /proc/self/stat (tty_nr,
    // the seventh field, after the command name in parentheses).
    std::ifstream procStat("/proc/self/stat");
    std::string line;
    if (std::getline(procStat, line) && line.rfind(')') != std::string::npos) {
        std::istringstream fields(line.substr(line.rfind(')') + 1));
        std::string state;
        long ppid = 0, pgrp = 0, session = 0;
        unsigned long ttyNr = 0;
        if (fields >> state >> ppid >> pgrp >> session >> ttyNr && ttyNr != 0) {
            unsigned ttyMajor = (ttyNr >> 8) & 0xFFF;
            unsigned ttyMinor = (ttyNr & 0xFF) | ((ttyNr >> 12) & 0xFFF00);
            if (major(rdev) == ttyMajor && minor(rdev) == ttyMinor) {
                return true;
            }
        }
    }
    return false;
}

int QueuedBytes(int fd, int* queued) {
    *queued = 0;
    if (ioctl(fd, FIONREAD, queued) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace

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

bool TtyOpen(const std::string& path, PortObject* port, DWORD* error) {
    // Look before opening: the console must not be opened at all, since the
    // open itself raises DTR and RTS on it, and an opened file that is not a
    // device is already more than we want to do to it.
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *error = Win32ErrorFromErrno(errno);
        return false;
    }
    if (!S_ISCHR(info.st_mode)) {
        *error = ERROR_INVALID_FUNCTION;
        return false;
    }
    if (IsConsoleDevice(info.st_rdev)) {
        *error = ERROR_ACCESS_DENIED;
        return false;
    }

    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = Win32ErrorFromErrno(errno);
        return false;
    }
    struct stat opened;
    const bool terminal = isatty(fd) != 0;
    const bool same = fstat(fd, &opened) == 0 && opened.st_rdev == info.st_rdev;
    if (!terminal || !same) {
        // Not a terminal; or the link was pointed elsewhere between the look
        // and the open, and this is not the device that was checked.
        close(fd);
        *error = terminal ? ERROR_ACCESS_DENIED : ERROR_INVALID_FUNCTION;
        return false;
    }
    // Share mode 0: flock holds against every other opener, root included;
    // TIOCEXCL also keeps out programs that do not use flock (though not
    // root).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        *error = (err == EWOULDBLOCK) ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err);
        return false;
    }
    auto* st = new TtyState;
    st->fd = fd;
    st->exclusive = ioctl(fd, TIOCEXCL) == 0;
    // The kernel raised DTR and RTS inside open(); the program wants DTR low
    // until it pulses it. The blip between the two cannot be avoided from
    // user space. A device without modem lines (a pty) has nothing to lower.
    const int dtr = ChangeModemLines(fd, 0, TIOCM_DTR);
    if (dtr != 0 && !NoModemLines(dtr)) {
        FreeState(st);
        *error = MeansGone(dtr) ? ERROR_GEN_FAILURE : Win32ErrorFromErrno(dtr);
        return false;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int err = errno;
        FreeState(st);
        *error = Win32ErrorFromErrno(err);
        return false;
    }
    st->wakeRead = wake[0];
    st->wakeWrite = wake[1];
#ifdef TIOCGICOUNT
    // Errors from before the open are not ours to report.
    st->haveCounters = ioctl(fd, TIOCGICOUNT, &st->counters) == 0;
#endif
    port->tty = st;
    return true;
}

void TtyClose(PortObject* port) {
    if (port->tty == nullptr) {
        return;
    }
    FreeState(port->tty);
    port->tty = nullptr;
}

bool TtyApplyState(PortObject* port, const DCB& dcb, DWORD* error) {
    if (Unusable(port, error)) {
        return false;
    }
    // Check everything before changing anything: a refused state leaves the
    // line as it was. Hand-shakes, XON/XOFF and the character replacements
    // are not implemented and are refused rather than ignored.
    if (dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fOutX || dcb.fInX ||
        dcb.fErrorChar || dcb.fNull || dcb.fAbortOnError ||
        dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fDtrControl > DTR_CONTROL_HANDSHAKE ||
        dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
        *error = ERROR_NOT_SUPPORTED;
        return false;
    }
    speed_t speed = B0;
    if (!SpeedForRate(dcb.BaudRate, &speed)) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    tcflag_t size = CS8;
    switch (dcb.ByteSize) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        case 4:
            *error = ERROR_NOT_SUPPORTED;
            return false;
        default:
            *error = ERROR_INVALID_PARAMETER;
            return false;
    }
    tcflag_t parity = 0;
    switch (dcb.Parity) {
        case NOPARITY:
            parity = 0;
            break;
        case ODDPARITY:
            parity = PARENB | PARODD;
            break;
        case EVENPARITY:
            parity = PARENB;
            break;
#ifdef CMSPAR
        case MARKPARITY:
            parity = PARENB | PARODD | CMSPAR;
            break;
        case SPACEPARITY:
            parity = PARENB | CMSPAR;
            break;
#else
        case MARKPARITY:
        case SPACEPARITY:
            *error = ERROR_NOT_SUPPORTED;
            return false;
#endif
        default:
            *error = ERROR_INVALID_PARAMETER;
            return false;
    }
    tcflag_t stop = 0;
    switch (dcb.StopBits) {
        case ONESTOPBIT:
            stop = 0;
            break;
        case TWOSTOPBITS:
            stop = CSTOPB;
            break;
        case ONE5STOPBITS:
            *error = ERROR_NOT_SUPPORTED;
            return false;
        default:
            *error = ERROR_INVALID_PARAMETER;
            return false;
    }

    TtyState* st = port->tty;
    termios t;
    if (tcgetattr(st->fd, &t) != 0) {
        return FailWithErrno(port, errno, error);
    }
    const termios old = t;
    // Raw: bytes pass unchanged, no echo, no signals, no flow control.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR);
    if (dcb.fParity && parity != 0) {
        t.c_iflag |= INPCK;
    }
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    t.c_cflag &= ~CMSPAR;
#endif
    // CLOCAL: reception does not depend on the modem status lines.
    t.c_cflag |= size | parity | stop | CREAD | CLOCAL;
    // One byte wakes a read; with the descriptor non-blocking an empty queue
    // then gives EAGAIN, so that a read of 0 bytes can only mean a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(st->fd, TCSANOW, &t) != 0) {
        return FailWithErrno(port, errno, error);
    }
    // tcsetattr succeeds when any part of the change was taken; a driver may
    // keep its own framing (a pty is always 8 bits without parity). A line
    // that runs other than asked is refused and put back as it was.
    termios taken;
    if (tcgetattr(st->fd, &taken) != 0) {
        return FailWithErrno(port, errno, error);
    }
    tcflag_t framing = CSIZE | PARENB | PARODD | CSTOPB;
#ifdef CMSPAR
    framing |= CMSPAR;
#endif
    if ((taken.c_cflag & framing) != (t.c_cflag & framing) || cfgetospeed(&taken) != speed ||
        cfgetispeed(&taken) != speed) {
        tcsetattr(st->fd, TCSANOW, &old);
        *error = ERROR_NOT_SUPPORTED;
        return false;
    }

    int set = 0;
    int clear = 0;
    (dcb.fDtrControl == DTR_CONTROL_ENABLE ? set : clear) |= TIOCM_DTR;
    (dcb.fRtsControl == RTS_CONTROL_ENABLE ? set : clear) |= TIOCM_RTS;
    // A device without modem lines (a pty) takes the line settings all the
    // same; there is nothing to drive, so that is not an error here (the
    // line calls themselves, EscapeCommFunction, do fail on it).
    const int err = ChangeModemLines(st->fd, set, clear);
    if (err != 0 && !NoModemLines(err)) {
        return FailWithErrno(port, err, error);
    }
    return true;
}

bool TtyReadState(PortObject* port, DCB* dcb, DWORD* error) {
    if (Unusable(port, error)) {
        return false;
    }
    termios t;
    if (tcgetattr(port->tty->fd, &t) != 0) {
        return FailWithErrno(port, errno, error);
    }
    DWORD rate = 0;
    if (RateForSpeed(cfgetospeed(&t), &rate)) {
        dcb->BaudRate = rate;
    }
    switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb->ByteSize = 5;
            break;
        case CS6:
            dcb->ByteSize = 6;
            break;
        case CS7:
            dcb->ByteSize = 7;
            break;
        default:
            dcb->ByteSize = 8;
            break;
    }
    if (!(t.c_cflag & PARENB)) {
        dcb->Parity = NOPARITY;
    } else {
#ifdef CMSPAR
        if (t.c_cflag & CMSPAR) {
            dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
        } else
#endif
        {
            dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
        }
    }
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    return true;
}

bool TtyRead(PortObject* port, BYTE* buffer, DWORD size, DWORD* got, DWORD* error) {
    *got = 0;
    if (Unusable(port, error)) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    for (;;) {
        const ssize_t n = read(port->tty->fd, buffer, size);
        if (n > 0) {
            *got = static_cast<DWORD>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        if (n < 0) {
            return FailWithErrno(port, errno, error);
        }
        // 0 bytes: a hung-up terminal. Before SetCommState the line may
        // still be in canonical mode, where an end-of-file character reads
        // as 0 too; only a queue check that fails tells a hang-up for sure.
        int queued = 0;
        const int err = QueuedBytes(port->tty->fd, &queued);
        if (err != 0) {
            return FailWithErrno(port, err, error);
        }
        return true;
    }
}

bool TtyStatus(PortObject* port, DWORD* errors, DWORD* inQueue, DWORD* error) {
    *errors = 0;
    *inQueue = 0;
    if (Unusable(port, error)) {
        return false;
    }
    TtyState* st = port->tty;
    int queued = 0;
    const int err = QueuedBytes(st->fd, &queued);
    if (err != 0) {
        return FailWithErrno(port, err, error);
    }
    *inQueue = queued > 0 ? static_cast<DWORD>(queued) : 0;
#ifdef TIOCGICOUNT
    if (st->haveCounters) {
        serial_icounter_struct now{};
        if (ioctl(st->fd, TIOCGICOUNT, &now) != 0) {
            return FailWithErrno(port, errno, error);
        }
        const serial_icounter_struct& last = st->counters;
        if (now.overrun != last.overrun) {
            *errors |= CE_OVERRUN;
        }
        if (now.buf_overrun != last.buf_overrun) {
            *errors |= CE_RXOVER;
        }
        if (now.parity != last.parity) {
            *errors |= CE_RXPARITY;
        }
        if (now.frame != last.frame) {
            *errors |= CE_FRAME;
        }
        if (now.brk != last.brk) {
            *errors |= CE_BREAK;
        }
        st->counters = now;
    }
#endif
    return true;
}

bool TtyEscape(PortObject* port, DWORD function, DWORD* error) {
    if (Unusable(port, error)) {
        return false;
    }
    int set = 0;
    int clear = 0;
    switch (function) {
        case SETRTS:
            set = TIOCM_RTS;
            break;
        case CLRRTS:
            clear = TIOCM_RTS;
            break;
        case SETDTR:
            set = TIOCM_DTR;
            break;
        case CLRDTR:
            clear = TIOCM_DTR;
            break;
        default:
            *error = ERROR_NOT_SUPPORTED;
            return false;
    }
    const int err = ChangeModemLines(port->tty->fd, set, clear);
    if (err != 0) {
        return FailWithErrno(port, err, error);
    }
    return true;
}

bool TtyModemStatus(PortObject* port, DWORD* status, DWORD* error) {
    *status = 0;
    if (Unusable(port, error)) {
        return false;
    }
    int lines = 0;
    if (ioctl(port->tty->fd, TIOCMGET, &lines) != 0) {
        return FailWithErrno(port, errno, error);
    }
    if (lines & TIOCM_CTS) {
        *status |= MS_CTS_ON;
    }
    if (lines & TIOCM_DSR) {
        *status |= MS_DSR_ON;
    }
    if (lines & TIOCM_RI) {
        *status |= MS_RING_ON;
    }
    if (lines & TIOCM_CD) {
        *status |= MS_RLSD_ON;
    }
    return true;
}

void TtyWaitEvent(PortObject* port, Lock& lock, bool block) {
    // A poll that reports input while the queue is empty (nothing known
    // does, but a driver might) must not turn into a busy loop: after this
    // many in a row the device is taken for broken.
    constexpr int kMaxEmptyWakeups = 100;
    int emptyWakeups = 0;
    for (;;) {
        if (!port->wait.active || port->wait.done) {
            return;
        }
        DWORD error = 0;
        if (Unusable(port, &error)) {
            CompleteCommWait(port, 0, error);
            return;
        }
        TtyState* st = port->tty;
        const bool wantRx = (port->eventMask & EV_RXCHAR) != 0;
        int queued = 0;
        const int err = QueuedBytes(st->fd, &queued);
        if (err != 0) {
            DWORD code = 0;
            FailWithErrno(port, err, &code);  // a device that is gone ends the wait itself
            CompleteCommWait(port, 0, code);
            return;
        }
        if (wantRx && queued > 0) {
            CompleteCommWait(port, EV_RXCHAR, ERROR_SUCCESS);
            return;
        }

        // Without EV_RXCHAR in the mask a queued byte is no event, and
        // asking for POLLIN would make every poll return at once; a hang-up
        // is reported whatever is asked for.
        pollfd fds[2] = {{st->fd, static_cast<short>(wantRx ? POLLIN : 0), 0},
                         {st->wakeRead, POLLIN, 0}};
        ++st->pollers;
        lock.unlock();
        const int rc = poll(fds, 2, block ? -1 : 0);
        const int pollError = errno;
        lock.lock();
        --st->pollers;
        if ((fds[1].revents & POLLIN) && st->pollers == 0) {
            char drain[64];
            while (read(st->wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (rc < 0 && pollError != EINTR) {
            CompleteCommWait(port, 0, Win32ErrorFromErrno(pollError));
            return;
        }
        if (rc > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            MarkGone(port, ERROR_GEN_FAILURE);
            return;
        }
        if (rc > 0 && (fds[0].revents & POLLIN)) {
            if (QueuedBytes(st->fd, &queued) == 0 && queued == 0 &&
                ++emptyWakeups >= kMaxEmptyWakeups) {
                MarkGone(port, ERROR_GEN_FAILURE);
                return;
            }
        } else {
            emptyWakeups = 0;
        }
        if (!block) {
            // One look only; a byte that the poll saw is taken at the top.
            if (wantRx && QueuedBytes(st->fd, &queued) == 0 && queued > 0) {
                CompleteCommWait(port, EV_RXCHAR, ERROR_SUCCESS);
            }
            return;
        }
    }
}

void TtyInterruptWait(PortObject* port) {
    if (port->tty == nullptr || port->tty->wakeWrite < 0) {
        return;
    }
    // A full pipe is already readable, which is all a poller needs.
    const char byte = 1;
    while (write(port->tty->wakeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
}

}  // namespace posixlayer
