// The tty back end's port, shared by its files: tty.cpp opens and closes the
// device, tty_io.cpp does the operations, tty_wait.cpp the pending
// comm-event wait. Not for use outside them.
#ifndef CABLETEST_PLATFORM_POSIX_TTY_PORT_H
#define CABLETEST_PLATFORM_POSIX_TTY_PORT_H

#include <sys/ioctl.h>
#include <termios.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/posix/port.h"

namespace posixlayer {

// errno values that mean the device itself has gone (a hung-up tty, a USB
// adapter pulled out), as opposed to a refused request.
bool MeansGone(int err);
// Modem lines that a device may not have: a pty has none, and the ioctl
// fails with ENOTTY (or EINVAL on some drivers).
bool NoModemLines(int err);
// Lowers, then raises, the TIOCM_ lines given; errno of a failure, else 0.
int ChangeModemLines(int fd, int set, int clear);
// The bytes in the receive queue; errno of a failure, else 0.
int QueuedBytes(int fd, int* queued);

class TtyPort final : public Port {
  public:
    // Takes the descriptor of the opened, locked device.
    explicit TtyPort(int fd);
    // With or without the lock: the descriptors go (and the exclusive use of
    // the device with them) when no thread can be polling them any more.
    ~TtyPort() override;

    // The rest of the open: exclusive use, DTR lowered, the self-pipe and the
    // error counters as they stand.
    DWORD Prepare();

    DWORD ApplyState(const DCB& dcb) override;
    DWORD ReadState(DCB* dcb) override;
    DWORD Read(BYTE* buffer, DWORD size, DWORD* got) override;
    DWORD Status(DWORD* errors, DWORD* inQueue) override;
    DWORD Escape(DWORD function) override;
    DWORD ModemStatus(DWORD* status) override;
    void InterruptWait() override;

  protected:
    void LookForCommEvent(Lock& lock, bool block) override;
    // A thread may be polling the descriptors with the lock released: they
    // are left to the destructor, and the poller is woken.
    void ReleaseOnClose() override { InterruptWait(); }

  private:
    struct PollOutcome {
        int rc;
        int error;
        short deviceEvents;
    };

    // ERROR_SUCCESS, or why no operation can be done: the device is gone or
    // the descriptor already released.
    DWORD Unusable() const;
    // The failure of an operation on the open device: a device that has gone
    // is marked so (which fails a pending wait too).
    DWORD FailWithErrno(int err);
    DWORD SetTermios(const termios& old, const termios& wanted);
    DWORD TakeCounterErrors(DWORD* errors);
    bool StillWaiting();
    PollOutcome Poll(Lock& lock, bool wantRx, bool block);
    bool AfterPoll(const PollOutcome& outcome, int* emptyWakeups);

    int fd_ = -1;
    // Self-pipe: a byte written to wakeWrite_ makes a poll in
    // LookForCommEvent return, so that SetCommMask and CloseHandle can end a
    // wait that is blocked in the kernel.
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    // Threads inside poll() with the lock released. Only the last one out
    // drains the self-pipe, so that no poller misses a wake-up.
    int pollers_ = 0;
    bool exclusive_ = false;  // TIOCEXCL set, to be undone at close
#ifdef TIOCGICOUNT
    bool haveCounters_ = false;
    serial_icounter_struct counters_{};  // as of the last ClearCommError
#endif
};

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_TTY_PORT_H
