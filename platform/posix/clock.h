// The bottom of the POSIX provider: its one lock, its clock (CLOCK_BOOTTIME,
// or simulated time when CABLETEST_CLOCK=virtual) and the scheduler that
// every blocking call goes through. Nothing here knows what threads wait for:
// whatever changes by itself at times of its own (the simulated line)
// registers as the clock's DueSource. Not for use outside platform/posix/ and
// the provider's own tests.
#ifndef CABLETEST_PLATFORM_POSIX_CLOCK_H
#define CABLETEST_PLATFORM_POSIX_CLOCK_H

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

// Blocks the calling thread, lock held, until WakeAll() is called or the
// absolute deadline (NowMs() scale, kNever for none) has passed. May return
// early; callers re-check their condition. Returns true when the deadline has
// passed. In virtual time, at one instant the due source's happenings come
// first, then the threads they wake, and deadlines expire only when no thread
// can run.
bool Block(Lock& lock, uint64_t deadline);

// Lock held: something a blocked thread may be waiting for has changed.
void WakeAll();

// Deadline for a Win32 time limit in ms (INFINITE gives kNever).
uint64_t DeadlineAfter(DWORD milliseconds);

// For the provider's own tests only, before any thread is created and before
// the clock is first read: run on virtual time starting at the given tick.
void UseVirtualClockForTesting(bool useVirtual, DWORD tickStart);

// Something that changes by itself at times of its own, which the clock must
// bring about: in real time while threads wait, in virtual time before the
// clock moves on. Both calls are made with the lock held.
class DueSource {
  public:
    // When its next change is due (NowMs() scale), kNever for none.
    virtual uint64_t NextDue() const = 0;
    // Brings it up to `now`; may call WakeAll, or end the process.
    virtual void Fire(uint64_t now) = 0;

  protected:
    ~DueSource() = default;
};

// Lock held: the one due source, or null for none.
void SetDueSource(DueSource* source);

// Lock held. Virtual time moves on only when no thread of the program runs,
// so the clock counts them: a thread counts as running from just before its
// creation (so that time cannot move between the creation and its first
// step) until its routine has returned. No effect in real time.
void ThreadWillRun();
void ThreadDidNotStart();
void ThreadEnded();

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_CLOCK_H
