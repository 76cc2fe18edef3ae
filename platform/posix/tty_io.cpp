// The tty back end's operations on an open device: line settings through
// termios (mapped in tty_settings.cpp), reads, the queue and the driver's
// error counters, and the modem lines. Each is called through the comm
// layer, which has found the port usable under the same lock.
#include <errno.h>
#include <unistd.h>

#include "platform/posix/tty_port.h"
#include "platform/posix/tty_settings.h"

namespace posixlayer {

bool MeansGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

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

int QueuedBytes(int fd, int* queued) {
    *queued = 0;
    if (ioctl(fd, FIONREAD, queued) != 0) {
        return errno;
    }
    return 0;
}

DWORD TtyPort::Unusable() const {
    if (gone) {
        return goneError;
    }
    if (fd_ < 0) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

DWORD TtyPort::FailWithErrno(int err) {
    if (MeansGone(err)) {
        MarkGone(ERROR_GEN_FAILURE);
        return goneError;
    }
    return Win32ErrorFromErrno(err);
}

DWORD TtyPort::ApplyState(const DCB& record) {
    // Check everything before touching the device: a refused state leaves
    // the line as it was, and a device that is going away is not asked.
    if (!DcbInTtySubset(record)) {
        return ERROR_NOT_SUPPORTED;
    }
    termios old;
    if (tcgetattr(fd_, &old) != 0) {
        return FailWithErrno(errno);
    }
    termios wanted;
    DWORD error = ERROR_NOT_SUPPORTED;
    if (!TermiosFromDcb(record, old, &wanted, &error)) {
        return error;
    }
    error = SetTermios(old, wanted);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    int set = 0;
    int clear = 0;
    ModemLinesFromDcb(record, &set, &clear);
    // A device without modem lines (a pty) takes the line settings all the
    // same; there is nothing to drive, so that is not an error here (the
    // line calls themselves, EscapeCommFunction, do fail on it).
    const int err = ChangeModemLines(fd_, set, clear);
    if (err != 0 && !NoModemLines(err)) {
        return FailWithErrno(err);
    }
    return ERROR_SUCCESS;
}

// A line that runs other than asked is refused and put back as it was.
DWORD TtyPort::SetTermios(const termios& old, const termios& wanted) {
    if (tcsetattr(fd_, TCSANOW, &wanted) != 0) {
        return FailWithErrno(errno);
    }
    termios taken;
    if (tcgetattr(fd_, &taken) != 0) {
        return FailWithErrno(errno);
    }
    if (!TermiosTaken(wanted, taken)) {
        tcsetattr(fd_, TCSANOW, &old);
        return ERROR_NOT_SUPPORTED;
    }
    return ERROR_SUCCESS;
}

DWORD TtyPort::ReadState(DCB* record) {
    termios t;
    if (tcgetattr(fd_, &t) != 0) {
        return FailWithErrno(errno);
    }
    DcbFromTermios(t, record);
    return ERROR_SUCCESS;
}

DWORD TtyPort::Read(BYTE* buffer, DWORD size, DWORD* got) {
    *got = 0;
    if (size == 0) {
        return ERROR_SUCCESS;
    }
    for (;;) {
        const ssize_t n = read(fd_, buffer, size);
        if (n > 0) {
            *got = static_cast<DWORD>(n);
            return ERROR_SUCCESS;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno == EAGAIN ? ERROR_SUCCESS : FailWithErrno(errno);
        }
        // 0 bytes: a hung-up terminal. Before SetCommState the line may
        // still be in canonical mode, where an end-of-file character reads
        // as 0 too; only a queue check that fails tells a hang-up for sure.
        int queued = 0;
        const int err = QueuedBytes(fd_, &queued);
        return err != 0 ? FailWithErrno(err) : ERROR_SUCCESS;
    }
}

DWORD TtyPort::Status(DWORD* errors, DWORD* inQueue) {
    *errors = 0;
    *inQueue = 0;
    int queued = 0;
    const int err = QueuedBytes(fd_, &queued);
    if (err != 0) {
        return FailWithErrno(err);
    }
    *inQueue = queued > 0 ? static_cast<DWORD>(queued) : 0;
    return TakeCounterErrors(errors);
}

// The line errors the driver counted since the last look, where it counts
// them (a pty does not).
DWORD TtyPort::TakeCounterErrors(DWORD* errors) {
#ifdef TIOCGICOUNT
    if (!haveCounters_) {
        return ERROR_SUCCESS;
    }
    serial_icounter_struct now{};
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) {
        return FailWithErrno(errno);
    }
    const serial_icounter_struct& last = counters_;
    const struct {
        int now, last;
        DWORD bit;
    } counts[] = {{now.overrun, last.overrun, CE_OVERRUN},
                  {now.buf_overrun, last.buf_overrun, CE_RXOVER},
                  {now.parity, last.parity, CE_RXPARITY},
                  {now.frame, last.frame, CE_FRAME},
                  {now.brk, last.brk, CE_BREAK}};
    for (const auto& c : counts) {
        if (c.now != c.last) {
            *errors |= c.bit;
        }
    }
    counters_ = now;
#else
    (void)errors;
#endif
    return ERROR_SUCCESS;
}

DWORD TtyPort::Escape(DWORD function) {
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
            return ERROR_NOT_SUPPORTED;
    }
    const int err = ChangeModemLines(fd_, set, clear);
    return err != 0 ? FailWithErrno(err) : ERROR_SUCCESS;
}

DWORD TtyPort::ModemStatus(DWORD* status) {
    *status = 0;
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) {
        return FailWithErrno(errno);
    }
    const struct {
        int line;
        DWORD bit;
    } bits[] = {{TIOCM_CTS, MS_CTS_ON},
                {TIOCM_DSR, MS_DSR_ON},
                {TIOCM_RI, MS_RING_ON},
                {TIOCM_CD, MS_RLSD_ON}};
    for (const auto& b : bits) {
        if (lines & b.line) {
            *status |= b.bit;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace posixlayer
