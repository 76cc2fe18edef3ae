// The third layer of the POSIX provider: a serial port, one interface over
// two back ends, a terminal device (tty*.cpp) and the simulated line
// (sim*.cpp). The base keeps what Windows keeps per port (the records, the
// pending comm-event wait, whether the device is gone); each back end does
// what its device has to do. Built on the handles and the clock; the Win32
// comm calls (comm.cpp) sit on top. Not for use outside platform/posix/.
#ifndef CABLETEST_PLATFORM_POSIX_PORT_H
#define CABLETEST_PLATFORM_POSIX_PORT_H

#include <memory>
#include <string>

#include "platform/posix/clock.h"
#include "platform/posix/handles.h"
#include "platform/win32.h"

namespace posixlayer {

// A comm-event wait started by WaitCommEvent and not yet collected by
// GetOverlappedResult.
struct CommWait {
    bool active = false;  // started and not yet collected
    bool done = false;    // completed: the mask is in *maskOut, the result in request
    OVERLAPPED* request = nullptr;
    DWORD* maskOut = nullptr;
};

// Every member function is called with the lock held. The operations return
// ERROR_SUCCESS or the Win32 error of their failure; none blocks except
// AwaitCommEvent.
class Port : public Object {
  public:
    // Completes the pending comm-event wait: the mask goes to the caller's
    // mask word and the request is marked done, its event signalled.
    void CompleteCommWait(DWORD mask, DWORD error);
    // Marks the device gone and fails a pending comm-event wait.
    void MarkGone(DWORD error);
    // CloseHandle: ends a pending wait with ERROR_OPERATION_ABORTED and lets
    // the back end release what it can at once. What a thread may still be
    // using with the lock released goes with the object's last reference.
    void HandleClosing() final;
    // GetOverlappedResult on the pending comm-event wait: one look, or with
    // block until the wait is over (then the lock may be released meanwhile).
    void AwaitCommEvent(Lock& lock, bool block);

    virtual DWORD ApplyState(const DCB& dcb) = 0;
    // Fills in what the device itself can tell of *dcb, which holds the last
    // record set.
    virtual DWORD ReadState(DCB* dcb);
    virtual DWORD Read(BYTE* buffer, DWORD size, DWORD* got) = 0;
    // Takes the line errors found since the last call, and counts the queue.
    virtual DWORD Status(DWORD* errors, DWORD* inQueue) = 0;
    virtual DWORD Escape(DWORD function) = 0;
    virtual DWORD ModemStatus(DWORD* status) = 0;
    // Makes a look for the comm event that is blocked in the kernel return
    // (SetCommMask ends the wait it is for).
    virtual void InterruptWait() {}

    DCB dcb{};  // last state set (or the initial one)
    COMMTIMEOUTS timeouts{};
    DWORD eventMask = 0;
    DWORD inQueueSize = 4096;
    CommWait wait;
    // Once a device is gone (hang-up, EIO, unplug) every operation fails with
    // goneError; a removed device does not come back under the same handle.
    bool gone = false;
    DWORD goneError = ERROR_GEN_FAILURE;
    // Error bits a queue check took from the back end before ClearCommError
    // asked; reported by the next ClearCommError.
    DWORD pendingErrors = 0;

  protected:
    // The records as a freshly opened port has them; rtsControl is where
    // the open leaves RTS.
    explicit Port(DWORD rtsControl);

    // One step of AwaitCommEvent: a look for the event, or with block a wait
    // until something may have changed.
    virtual void LookForCommEvent(Lock& lock, bool block) = 0;
    // What the back end releases when the handle is closed.
    virtual void ReleaseOnClose() = 0;
};

// The back ends' opens, lock held: the port, or null with *error set.
// tty.cpp: the terminal device at path.
std::shared_ptr<Port> OpenTtyPort(const std::string& path, DWORD* error);
// sim.cpp: the simulated line; one at a time.
std::shared_ptr<Port> OpenSimPort(DWORD* error);

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_PORT_H
