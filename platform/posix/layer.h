// Internals of the POSIX layer that provides platform/win32.h: the handle table,
// the one lock, the clock (real or virtual) and the port object shared by the
// tty and simulated-line back ends. Not for use outside platform/posix/ and the
// layer's own tests.
#ifndef CABLETEST_PLATFORM_POSIX_LAYER_H
#define CABLETEST_PLATFORM_POSIX_LAYER_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/win32.h"

namespace posixlayer {

// ---- the lock and the clock -------------------------------------------------

// Every object of the layer is guarded by this one lock. Blocking is done
// only through Block(), which is what lets the virtual clock know when every
// thread of the program is waiting.
using Lock = std::unique_lock<std::mutex>;
std::mutex& LayerMutex();

constexpr uint64_t kNever = UINT64_MAX;

// Milliseconds on the layer's clock: CLOCK_BOOTTIME, or simulated time when
// CABLETEST_CLOCK=virtual. Monotonic. Callable with or without the lock.
uint64_t NowMs();
bool IsVirtualClock();

// Blocks the calling thread, lock held, until WakeAll() is called or the
// absolute deadline (NowMs() scale, kNever for none) has passed. May return
// early; callers re-check their condition. Returns true when the deadline has
// passed. In virtual time, at one instant the simulated line's actions come
// first, then the threads they wake, and deadlines expire only when no thread
// can run.
bool Block(Lock& lock, uint64_t deadline);

// Lock held: something a blocked thread may be waiting for has changed.
void WakeAll();

// Deadline for a Win32 time limit in ms (INFINITE gives kNever).
uint64_t DeadlineAfter(DWORD milliseconds);

// For the layer's own tests only, before any thread is created and before the
// clock is first read: run on virtual time starting at the given tick.
void UseVirtualClockForTesting(bool useVirtual, DWORD tickStart);

// ---- errors -------------------------------------------------------------------

DWORD Win32ErrorFromErrno(int error);
// Sets the thread's last error and returns FALSE, for the common failure path.
BOOL Fail(DWORD code);

// ---- objects and handles --------------------------------------------------------

enum class Kind { Event, Thread, Port };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
};

struct EventObject : Object {
    EventObject() : Object(Kind::Event) {}
    bool signalled = false;
    std::string label;  // the name given at creation; not shared
};

struct ThreadObject : Object {
    ThreadObject() : Object(Kind::Thread) {}
    bool ended = false;
    DWORD id = 0;
};

struct TtyState;  // tty.cpp
struct SimLine;   // sim.cpp

// A comm-event wait started by WaitCommEvent and not yet collected by
// GetOverlappedResult.
struct CommWait {
    bool active = false;  // started and not yet collected
    bool done = false;    // completed: the mask is in *maskOut, the result in request
    OVERLAPPED* request = nullptr;
    DWORD* maskOut = nullptr;
};

struct PortObject : Object {
    PortObject() : Object(Kind::Port) {}
    ~PortObject() override;  // closes whatever the back end holds
    bool isSim = false;
    std::string name;  // the name the caller gave
    DCB dcb{};         // last state set (or the initial one)
    COMMTIMEOUTS timeouts{};
    DWORD eventMask = 0;
    DWORD inQueueSize = 4096;
    DWORD outQueueSize = 4096;
    CommWait wait;
    // Once a device is gone (hang-up, EIO, unplug) every operation fails with
    // goneError; a removed device does not come back under the same handle.
    bool gone = false;
    DWORD goneError = ERROR_GEN_FAILURE;
    // Error bits a queue check took from the back end before ClearCommError
    // asked; reported by the next ClearCommError.
    DWORD pendingErrors = 0;

    // Back-end state, each defined and owned by its own source file; freed
    // by TtyClose / SimClose.
    TtyState* tty = nullptr;
    SimLine* sim = nullptr;
};

// Adds an object to the handle table (lock held) and returns its handle.
HANDLE AddHandle(std::shared_ptr<Object> object);
// Looks a handle up (lock held); null with ERROR_INVALID_HANDLE when it is not
// an object of that kind.
std::shared_ptr<Object> FindHandle(HANDLE handle, Kind kind);
template <typename T>
std::shared_ptr<T> Find(HANDLE handle, Kind kind) {
    return std::static_pointer_cast<T>(FindHandle(handle, kind));
}

// Lock held: signals the event behind a handle, if it is one (the event of an
// OVERLAPPED request). Unknown handles are ignored, as a null hEvent is.
void SignalEventHandle(HANDLE event);
void ResetEventHandle(HANDLE event);

// Lock held: completes the port's pending comm-event wait: the mask goes to
// the caller's mask word and the request is marked done, its event signalled.
void CompleteCommWait(PortObject* port, DWORD mask, DWORD error);

// Lock held: marks the device gone and fails a pending comm-event wait.
void MarkGone(PortObject* port, DWORD error);

// Lock held (comm.cpp): CloseHandle on a port: ends a pending wait with
// ERROR_OPERATION_ABORTED and closes the simulated line at once. A tty's
// descriptors are closed by ~PortObject, when the last user lets go, since a
// thread may still be polling them with the lock released.
void ClosePortLocked(PortObject* port);

// ---- back ends ------------------------------------------------------------------
// All are called with the lock held and report failures through *error
// (a Win32 code); none blocks except TtyWaitEvent, which releases the lock
// while it polls.

// tty.cpp
bool TtyOpen(const std::string& path, PortObject* port, DWORD* error);
// Called from ~PortObject, with or without the lock: releases the descriptors
// (and the exclusive lock on the device) and frees port->tty only.
void TtyClose(PortObject* port);
bool TtyApplyState(PortObject* port, const DCB& dcb, DWORD* error);
bool TtyReadState(PortObject* port, DCB* dcb, DWORD* error);
bool TtyRead(PortObject* port, BYTE* buffer, DWORD size, DWORD* got, DWORD* error);
bool TtyStatus(PortObject* port, DWORD* errors, DWORD* inQueue, DWORD* error);
bool TtyEscape(PortObject* port, DWORD function, DWORD* error);
bool TtyModemStatus(PortObject* port, DWORD* status, DWORD* error);
// Pending wait on a tty: polls for a byte, a hang-up or an interruption and
// completes the wait through CompleteCommWait/MarkGone. With block false it
// looks once and returns.
void TtyWaitEvent(PortObject* port, Lock& lock, bool block);
// Makes a poll in TtyWaitEvent return (SetCommMask, CloseHandle).
void TtyInterruptWait(PortObject* port);

// sim.cpp: at most one simulated line is open at a time.
bool SimOpen(PortObject* port, DWORD* error);
void SimClose(PortObject* port);
bool SimApplyState(PortObject* port, const DCB& dcb, DWORD* error);
bool SimRead(PortObject* port, BYTE* buffer, DWORD size, DWORD* got, DWORD* error);
bool SimStatus(PortObject* port, DWORD* errors, DWORD* inQueue, DWORD* error);
bool SimEscape(PortObject* port, DWORD function, DWORD* error);
bool SimModemStatus(PortObject* port, DWORD* status, DWORD* error);
// The clock's hooks: when the open line's next scripted action or byte is
// due (kNever when none is open), and bringing the line up to a time (which
// may complete a pending wait and call WakeAll, or end the process).
uint64_t SimNextDue();
void SimFire(uint64_t now);

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_LAYER_H
