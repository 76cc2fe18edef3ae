// The tty back end's pending comm-event wait: a poll on the device for a
// byte or a hang-up, with the lock released, that SetCommMask and
// CloseHandle can interrupt through a self-pipe. A wait on a tty completes
// here, when GetOverlappedResult looks for it.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "platform/posix/tty_port.h"

namespace posixlayer {
namespace {

// A poll that reports input while the queue is empty (nothing known does,
// but a driver might) must not turn into a busy loop: after this many in a
// row the device is taken for broken.
constexpr int kMaxEmptyWakeups = 100;

}  // namespace

void TtyPort::LookForCommEvent(Lock& lock, bool block) {
    int emptyWakeups = 0;
    for (;;) {
        if (!wait.active || wait.done || !StillWaiting()) {
            return;
        }
        const bool wantRx = (eventMask & EV_RXCHAR) != 0;
        const PollOutcome outcome = Poll(lock, wantRx, block);
        if (!AfterPoll(outcome, &emptyWakeups)) {
            return;
        }
        if (!block) {
            // One look only; a byte that the poll saw is taken at the top.
            int queued = 0;
            if (wantRx && QueuedBytes(fd_, &queued) == 0 && queued > 0) {
                CompleteCommWait(EV_RXCHAR, ERROR_SUCCESS);
            }
            return;
        }
    }
}

// Before a poll: false when the wait is over, or has been ended here because
// the device is unusable or a byte is already queued.
bool TtyPort::StillWaiting() {
    const DWORD unusable = Unusable();
    if (unusable != ERROR_SUCCESS) {
        CompleteCommWait(0, unusable);
        return false;
    }
    int queued = 0;
    const int err = QueuedBytes(fd_, &queued);
    if (err != 0) {
        // A device that is gone ends the wait itself.
        CompleteCommWait(0, FailWithErrno(err));
        return false;
    }
    if ((eventMask & EV_RXCHAR) != 0 && queued > 0) {
        CompleteCommWait(EV_RXCHAR, ERROR_SUCCESS);
        return false;
    }
    return true;
}

TtyPort::PollOutcome TtyPort::Poll(Lock& lock, bool wantRx, bool block) {
    // Without EV_RXCHAR in the mask a queued byte is no event, and asking
    // for POLLIN would make every poll return at once; a hang-up is reported
    // whatever is asked for.
    pollfd fds[2] = {{fd_, static_cast<short>(wantRx ? POLLIN : 0), 0}, {wakeRead_, POLLIN, 0}};
    ++pollers_;
    lock.unlock();
    const int rc = poll(fds, 2, block ? -1 : 0);
    const int pollError = errno;
    lock.lock();
    --pollers_;
    if ((fds[1].revents & POLLIN) && pollers_ == 0) {
        char drain[64];
        while (read(wakeRead_, drain, sizeof drain) > 0) {
        }
    }
    return PollOutcome{rc, pollError, fds[0].revents};
}

// After a poll: false when the wait has ended, or the device is taken for
// gone.
bool TtyPort::AfterPoll(const PollOutcome& outcome, int* emptyWakeups) {
    if (outcome.rc < 0 && outcome.error != EINTR) {
        CompleteCommWait(0, Win32ErrorFromErrno(outcome.error));
        return false;
    }
    if (outcome.rc > 0 && (outcome.deviceEvents & (POLLHUP | POLLERR | POLLNVAL))) {
        MarkGone(ERROR_GEN_FAILURE);
        return false;
    }
    if (outcome.rc > 0 && (outcome.deviceEvents & POLLIN)) {
        int queued = 0;
        if (QueuedBytes(fd_, &queued) == 0 && queued == 0 && ++*emptyWakeups >= kMaxEmptyWakeups) {
            MarkGone(ERROR_GEN_FAILURE);
            return false;
        }
    } else {
        *emptyWakeups = 0;
    }
    return true;
}

void TtyPort::InterruptWait() {
    if (wakeWrite_ < 0) {
        return;
    }
    // A full pipe is already readable, which is all a poller needs.
    const char byte = 1;
    while (write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
}

}  // namespace posixlayer
