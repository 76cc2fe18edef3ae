// The clock of the POSIX provider and its scheduler (the Win32 time calls on
// it are in time.cpp).
//
// Everything is guarded by one lock and every blocking call goes through
// Block(). That is what makes the virtual clock possible: it knows which
// thread of the program runs, and when none can, time jumps to the next
// thing that is due.
#include "platform/posix/clock.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace posixlayer {
namespace {

// ---- clock ----------------------------------------------------------------------

struct ClockState {
    bool isVirtual = false;
    DWORD tickStart = 1000000;
    // Virtual time in ms since process start; written with the lock held.
    std::atomic<uint64_t> virtualNow{0};
};

uint64_t BootTimeMs() {
    timespec ts{};
    // CLOCK_BOOTTIME goes on while the machine is suspended, as the tick
    // count does on Windows.
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) {
        clock_gettime(CLOCK_MONOTONIC, &ts);
    }
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void ReadClockMode(ClockState& c) {
    const char* mode = getenv("CABLETEST_CLOCK");
    if (mode != nullptr && *mode != '\0') {
        if (strcmp(mode, "virtual") == 0) {
            c.isVirtual = true;
        } else if (strcmp(mode, "real") != 0) {
            fprintf(stderr,
                    "cabletest: CABLETEST_CLOCK=%s is neither real nor virtual; using real\n",
                    mode);
        }
    }
}

// Decimal digits only: a leading zero is no octal prefix ("010" is 10), and
// signs, spaces and hex are refused. False when out of the 32-bit range.
bool ParseTick(const char* text, DWORD* tick) {
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xFFFFFFFFull) {
            return false;
        }
    }
    *tick = static_cast<DWORD>(value);
    return true;
}

void ReadTickStart(ClockState& c) {
    const char* start = getenv("CABLETEST_TICK_START");
    if (c.isVirtual && start != nullptr && *start != '\0' && !ParseTick(start, &c.tickStart)) {
        fprintf(stderr, "cabletest: CABLETEST_TICK_START=%s is not a 32-bit tick; using %lu\n",
                start, static_cast<unsigned long>(c.tickStart));
    }
}

ClockState& Clock() {
    static ClockState clock;
    static std::once_flag once;
    std::call_once(once, [] {
        ReadClockMode(clock);
        ReadTickStart(clock);
    });
    return clock;
}

// ---- scheduler --------------------------------------------------------------------

// A thread's place in the scheduler, one for each thread for its whole life
// (a condition and a mutex cost more to make than a wait takes).
struct Waiter {
    // Lock held: before the thread blocks.
    void Prepare(uint64_t limit, const void* const* waitedFor, size_t waitedCount) {
        deadline = limit;
        things = waitedFor;
        count = waitedCount;
        timedOut = false;
        released = false;
        go.store(false, std::memory_order_relaxed);
    }
    bool WaitsFor(const void* thing) const {
        return std::find(things, things + count, thing) != things + count;
    }

    // Lock held: what the thread waits for while it is blocked.
    uint64_t deadline = kNever;
    const void* const* things = nullptr;
    size_t count = 0;
    bool timedOut = false;
    // Real time, lock held: released, and its condition notified.
    bool released = false;
    std::condition_variable cv;
    // Virtual time: the run is handed to this thread. Set under handOver,
    // which the waiter takes once more before it goes on, so that the hand
    // is done with the waiter before the waiter is gone.
    std::atomic<bool> go{false};
    std::mutex handOver;
};

// The threads blocked in Block() and not yet released, in the order they
// blocked.
std::vector<Waiter*> g_blocked;
thread_local Waiter t_waiter;

// Virtual time: the released threads waiting for the run, in the order they
// were released; whether a thread holds it (the main thread from the start);
// the threads created that have not reached their first step.
std::deque<Waiter*> g_ready;
bool g_runHeld = true;
int g_starting = 0;

DueSource* g_dueSource = nullptr;

uint64_t NextDue() {
    return g_dueSource != nullptr ? g_dueSource->NextDue() : kNever;
}

void FireDue(uint64_t now) {
    if (g_dueSource != nullptr) {
        g_dueSource->Fire(now);
    }
}

void Release(std::vector<Waiter*>::iterator blocked, bool timedOut) {
    Waiter* w = *blocked;
    g_blocked.erase(blocked);
    w->timedOut = timedOut;
    if (IsVirtualClock()) {
        g_ready.push_back(w);
    } else {
        w->released = true;
        w->cv.notify_one();
    }
}

// One time limit at a time, the one that fell due first (and of those, the
// one that has waited longest), so that threads whose limits end at the same
// instant run in a repeatable order.
std::vector<Waiter*>::iterator FirstExpired(uint64_t now) {
    auto due = g_blocked.end();
    for (auto it = g_blocked.begin(); it != g_blocked.end(); ++it) {
        if ((*it)->deadline <= now &&
            (due == g_blocked.end() || (*it)->deadline < (*due)->deadline)) {
            due = it;
        }
    }
    return due;
}

uint64_t NextDeadline() {
    uint64_t next = NextDue();
    for (const Waiter* w : g_blocked) {
        next = std::min(next, w->deadline);
    }
    return next;
}

[[noreturn]] void ClockStuck(const char* why) {
    fprintf(stderr, "cabletest: virtual clock: %s\n", why);
    fflush(stderr);
    abort();
}

// Lock held, virtual time, no thread can run: one step of time. The due
// source's changes at this instant come first; then the time limit that fell
// due first expires; only when neither is left does the clock jump on.
void AdvanceVirtualTime() {
    ClockState& clock = Clock();
    const uint64_t now = clock.virtualNow.load();
    if (NextDue() <= now) {
        FireDue(now);
        if (NextDue() <= now) {
            ClockStuck("the simulated line did not move on");
        }
        return;
    }
    auto due = FirstExpired(now);
    if (due != g_blocked.end()) {
        Release(due, true);
        return;
    }
    const uint64_t next = NextDeadline();
    if (next == kNever) {
        // Nothing can ever happen again: in real time the program would
        // hang here for ever. Say so instead of hanging.
        ClockStuck("every thread waits and nothing is due");
    }
    clock.virtualNow.store(next);
}

// Lock held, virtual time, by the thread that holds the run and gives it up:
// the thread to hand it to, moving time on until one is released; null when
// a thread that is starting will take it.
Waiter* NextToRun() {
    for (;;) {
        if (!g_ready.empty()) {
            Waiter* next = g_ready.front();
            g_ready.pop_front();
            return next;
        }
        if (g_starting > 0) {
            g_runHeld = false;
            return nullptr;
        }
        AdvanceVirtualTime();
    }
}

// Lock held, by the thread that holds the run: hands it on. False when it
// came back to the caller's own `self` (a quiet line has only the one
// thread running); otherwise the lock is released, and only then is the next
// thread notified, so that it does not wake only to find the lock held.
bool GiveUpTheRun(Lock& lock, const Waiter* self) {
    Waiter* next = NextToRun();
    if (next == self && next != nullptr) {
        return false;
    }
    lock.unlock();
    if (next != nullptr) {
        std::lock_guard<std::mutex> hand(next->handOver);
        next->go.store(true, std::memory_order_release);
        next->cv.notify_one();
    }
    return true;
}

// How many times a thread that gave up the run looks for it again, letting
// the CPU go between looks, before it sleeps.
constexpr int kLooksBeforeSleep = 100;

// Lock released: waits until the run is handed to `w`. Only one thread runs
// at a time, so the hand usually comes within microseconds: it is looked for
// a while before the thread sleeps, which saves two switches of the CPU.
void AwaitTheRun(Waiter& w) {
    for (int i = 0; i < kLooksBeforeSleep && !w.go.load(std::memory_order_acquire); ++i) {
        std::this_thread::yield();
    }
    std::unique_lock<std::mutex> hand(w.handOver);
    w.cv.wait(hand, [&w] { return w.go.load(std::memory_order_relaxed); });
}

bool BlockInRealTime(Lock& lock, uint64_t deadline, Waiter& w) {
    // The due source's changes fall due while threads wait; whoever wakes
    // first brings it up to date.
    const uint64_t due = std::min(deadline, NextDue());
    uint64_t now = NowMs();
    if (due == kNever) {
        w.cv.wait(lock);
    } else if (due > now) {
        w.cv.wait_for(lock, std::chrono::milliseconds(due - now));
    }
    if (!w.released) {
        g_blocked.erase(std::find(g_blocked.begin(), g_blocked.end(), &w));
    }
    now = NowMs();
    if (NextDue() <= now) {
        FireDue(now);
    }
    return now >= deadline;
}

}  // namespace

std::mutex& LayerMutex() {
    static std::mutex mutex;
    return mutex;
}

bool IsVirtualClock() {
    return Clock().isVirtual;
}

uint64_t TickStart() {
    ClockState& clock = Clock();
    return clock.isVirtual ? clock.tickStart : 0;
}

uint64_t NowMs() {
    ClockState& clock = Clock();
    return clock.isVirtual ? clock.virtualNow.load() : BootTimeMs();
}

uint64_t DeadlineAfter(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        return kNever;
    }
    return NowMs() + milliseconds;
}

bool Block(Lock& lock, uint64_t deadline, const void* const* things, size_t count) {
    Waiter& w = t_waiter;
    w.Prepare(deadline, things, count);
    g_blocked.push_back(&w);
    if (!IsVirtualClock()) {
        return BlockInRealTime(lock, deadline, w);
    }
    if (GiveUpTheRun(lock, &w)) {
        AwaitTheRun(w);
        lock.lock();
    }
    return w.timedOut;
}

void Wake(const void* thing) {
    for (auto it = g_blocked.begin(); it != g_blocked.end();) {
        if ((*it)->WaitsFor(thing)) {
            Release(it, false);  // erased: the next one is now at `it`
        } else {
            ++it;
        }
    }
}

void SetDueSource(DueSource* source) {
    g_dueSource = source;
}

void ThreadWillRun() {
    if (IsVirtualClock()) {
        ++g_starting;
    }
}

void ThreadDidNotStart() {
    if (IsVirtualClock()) {
        --g_starting;
    }
}

void ThreadStarts(Lock& lock) {
    if (!IsVirtualClock()) {
        return;
    }
    --g_starting;
    if (!g_runHeld) {
        g_runHeld = true;
        return;
    }
    Waiter& w = t_waiter;
    w.Prepare(kNever, nullptr, 0);
    g_ready.push_back(&w);
    lock.unlock();
    AwaitTheRun(w);
    lock.lock();
}

void ThreadEnded(Lock& lock) {
    if (IsVirtualClock()) {
        GiveUpTheRun(lock, nullptr);
    }
}

}  // namespace posixlayer
