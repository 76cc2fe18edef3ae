// The bottom of the POSIX provider: its one lock, its clock (CLOCK_BOOTTIME,
// or simulated time when CABLETEST_CLOCK=virtual) and the scheduler that
// every blocking call goes through. Nothing here knows what threads wait for:
// whatever changes by itself at times of its own (the simulated line)
// registers as the clock's DueSource. Not for use outside platform/posix/ and
// the provider's own tests.
#ifndef CABLETEST_PLATFORM_POSIX_CLOCK_H
#define CABLETEST_PLATFORM_POSIX_CLOCK_H

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/win32.h"

namespace posixlayer {

// Every object of the provider is guarded by this one lock. Blocking is done
// only through Block(), which is what lets the virtual clock know when every
// thread of the program is waiting.
using Lock = std::unique_lock<std::mutex>;
std::mutex& LayerMutex();

constexpr uint64_t kNever = UINT64_MAX;

// Milliseconds on the provider's clock. Monotonic. Callable with or without
// the lock.
uint64_t NowMs();
bool IsVirtualClock();
// What the tick count is at NowMs() 0: CABLETEST_TICK_START on the virtual
// clock, 0 on the real one (whose NowMs() is the boot time).
uint64_t TickStart();

// ---- what wakes whom ------------------------------------------------------------
//
// A thread blocks only in Block(), on its time limit and on the things it
// waits for, each named by its address: an event or a thread (the objects of
// WaitForMultipleObjects), a port's pending comm-event wait (the simulated
// line's GetOverlappedResult), or nothing at all (Sleep). Whoever changes one
// of those things calls Wake() with its address, and only the threads blocked
// on it are released:
//   SetEvent, and a request's event signalled by the port  -> the event's waiters
//   a thread's routine returning                            -> the thread's waiters
//   the comm-event wait completed (a byte, SetCommMask, the
//   device gone, CloseHandle)                               -> its GetOverlappedResult
// A time limit that passes releases its own thread.
//
// Real time: each released thread is notified at once and runs beside its
// waker; every blocked thread also wakes when the due source's next change is
// due, and brings the source up to date itself.
//
// Virtual time: exactly one thread of the program holds the run at any
// moment, and the others wait in Block() or before their first step. A
// released thread is only queued; when the thread holding the run blocks (or
// ends), it hands the run to the first thread queued, in the order they were
// released. Only when none is queued does time move: the due source's
// changes at this instant come first (which may release threads), then the
// one time limit that fell due first, and only then the clock jumps to the
// next of those. The hand-over is the one place a thread of the program is
// made to run, so that one runs at a time and the order is the same on every
// run. A byte on the line costs two hand-overs (the watcher's report to the
// receiver, the receiver's next request to the watcher); the thread that gave
// up the run looks for it again a while, yielding the CPU between looks,
// before it sleeps, since on an idle core the hand comes in about a
// microsecond and a sleep and a wake-up cost several.

// Blocks the calling thread, lock held, until one of the `count` things it
// waits for is woken, or the absolute deadline (NowMs() scale, kNever for
// none) has passed. May return early; callers re-check their condition.
// Returns true when the deadline has passed.
bool Block(Lock& lock, uint64_t deadline, const void* const* things, size_t count);

// Lock held: `thing` has changed; the threads blocked on it are released.
void Wake(const void* thing);

// Deadline for a Win32 time limit in ms (INFINITE gives kNever).
uint64_t DeadlineAfter(DWORD milliseconds);

// Something that changes by itself at times of its own, which the clock must
// bring about: in real time while threads wait, in virtual time before the
// clock moves on. Both calls are made with the lock held.
class DueSource {
  public:
    // When its next change is due (NowMs() scale), kNever for none.
    virtual uint64_t NextDue() const = 0;
    // Brings it up to `now`; may call Wake, or end the process.
    virtual void Fire(uint64_t now) = 0;

  protected:
    ~DueSource() = default;
};

// Lock held: the one due source, or null for none.
void SetDueSource(DueSource* source);

// Virtual time moves on only when no thread of the program runs, so a thread
// counts from just before its creation (time cannot move between the creation
// and its first step) until its routine has returned. No effect in real time.
// Lock held: a thread is about to be created, or its creation failed.
void ThreadWillRun();
void ThreadDidNotStart();
// At the new thread's first step, lock held: waits for the run.
void ThreadStarts(Lock& lock);
// Lock held, the routine has returned: the thread gives up the run for good
// (the lock is released).
void ThreadEnded(Lock& lock);

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_CLOCK_H
