// The clock of the POSIX provider, its scheduler, and the Win32 time calls
// (GetTickCount, GetLocalTime, Sleep).
//
// Everything is guarded by one lock and every blocking call goes through
// Block(). That is what makes the virtual clock possible: it knows how many
// threads of the program are running, and when none is, time jumps to the
// next thing that is due.
#include "platform/posix/clock.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

struct Waiter {
    uint64_t deadline = kNever;
    bool released = false;
    bool timedOut = false;
    std::condition_variable cv;
};

// Virtual time: the threads blocked in Block(), and how many threads of the
// program are not (the main thread counts from the start).
std::vector<Waiter*> g_waiters;
int g_runningThreads = 1;

// Real time: one condition for every blocked thread.
std::condition_variable g_realCondition;

DueSource* g_dueSource = nullptr;

uint64_t NextDue() {
    return g_dueSource != nullptr ? g_dueSource->NextDue() : kNever;
}

void FireDue(uint64_t now) {
    if (g_dueSource != nullptr) {
        g_dueSource->Fire(now);
    }
}

void ReleaseWaiter(Waiter* w, bool timedOut) {
    w->released = true;
    w->timedOut = timedOut;
    ++g_runningThreads;
    w->cv.notify_one();
}

// One time limit at a time, the one that fell due first (and of those, the
// one that has waited longest), so that threads whose limits end at the same
// instant run in a repeatable order.
Waiter* FirstExpired(uint64_t now) {
    Waiter* due = nullptr;
    for (Waiter* w : g_waiters) {
        if (!w->released && w->deadline <= now && (due == nullptr || w->deadline < due->deadline)) {
            due = w;
        }
    }
    return due;
}

uint64_t NextDeadline() {
    uint64_t next = NextDue();
    for (Waiter* w : g_waiters) {
        if (!w->released) {
            next = std::min(next, w->deadline);
        }
    }
    return next;
}

[[noreturn]] void ClockStuck(const char* why) {
    fprintf(stderr, "cabletest: virtual clock: %s\n", why);
    fflush(stderr);
    abort();
}

// Lock held, virtual time, no thread running: move time on to whatever comes
// next. At one instant the due source's changes come first, then the threads
// they wake; deadlines expire only when nothing else can run.
void Quiesce() {
    ClockState& clock = Clock();
    for (;;) {
        const uint64_t now = clock.virtualNow.load();
        if (NextDue() <= now) {
            FireDue(now);
            if (NextDue() <= now) {
                ClockStuck("the simulated line did not move on");
            }
            if (g_runningThreads > 0) {
                return;
            }
            continue;
        }
        if (Waiter* due = FirstExpired(now)) {
            ReleaseWaiter(due, true);
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
}

void ThreadStopsRunning() {
    if (--g_runningThreads == 0) {
        Quiesce();
    }
}

bool BlockInRealTime(Lock& lock, uint64_t deadline) {
    // The due source's changes fall due while threads wait; whoever wakes
    // first brings it up to date.
    const uint64_t due = std::min(deadline, NextDue());
    uint64_t now = NowMs();
    if (due == kNever) {
        g_realCondition.wait(lock);
    } else if (due > now) {
        g_realCondition.wait_for(lock, std::chrono::milliseconds(due - now));
    }
    now = NowMs();
    if (NextDue() <= now) {
        FireDue(now);
    }
    return now >= deadline;
}

bool BlockInVirtualTime(Lock& lock, uint64_t deadline) {
    Waiter w;
    w.deadline = deadline;
    g_waiters.push_back(&w);
    ThreadStopsRunning();
    while (!w.released) {
        w.cv.wait(lock);
    }
    g_waiters.erase(std::find(g_waiters.begin(), g_waiters.end(), &w));
    return w.timedOut;
}

}  // namespace

std::mutex& LayerMutex() {
    static std::mutex mutex;
    return mutex;
}

bool IsVirtualClock() {
    return Clock().isVirtual;
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

void UseVirtualClockForTesting(bool useVirtual, DWORD tickStart) {
    ClockState& clock = Clock();
    clock.isVirtual = useVirtual;
    clock.tickStart = tickStart;
    clock.virtualNow.store(0);
}

bool Block(Lock& lock, uint64_t deadline) {
    return IsVirtualClock() ? BlockInVirtualTime(lock, deadline) : BlockInRealTime(lock, deadline);
}

void WakeAll() {
    if (!IsVirtualClock()) {
        g_realCondition.notify_all();
        return;
    }
    for (Waiter* w : g_waiters) {
        if (!w->released) {
            ReleaseWaiter(w, false);
        }
    }
}

void SetDueSource(DueSource* source) {
    g_dueSource = source;
}

void ThreadWillRun() {
    if (IsVirtualClock()) {
        ++g_runningThreads;
    }
}

void ThreadDidNotStart() {
    if (IsVirtualClock()) {
        --g_runningThreads;  // the caller still runs, so never zero here
    }
}

void ThreadEnded() {
    if (IsVirtualClock()) {
        ThreadStopsRunning();
    }
}

}  // namespace posixlayer

using namespace posixlayer;

// ---- the Win32 time operations ----------------------------------------------------------

DWORD GetTickCount(void) {
    ClockState& clock = Clock();
    if (clock.isVirtual) {
        return static_cast<DWORD>(clock.tickStart + clock.virtualNow.load());
    }
    return static_cast<DWORD>(BootTimeMs());
}

namespace {

// The virtual clock's time of day at process start: 2000-01-01 00:00:00 UTC,
// so that stamped output of a scripted run is the same on every run.
constexpr time_t kVirtualEpochSeconds = 946684800;

void FillSystemTime(const tm& local, unsigned milliseconds, LPSYSTEMTIME out) {
    out->wYear = static_cast<WORD>(local.tm_year + 1900);
    out->wMonth = static_cast<WORD>(local.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    out->wDay = static_cast<WORD>(local.tm_mday);
    out->wHour = static_cast<WORD>(local.tm_hour);
    out->wMinute = static_cast<WORD>(local.tm_min);
    // A leap second shows as the 59th, as Windows never reports a 60th.
    out->wSecond = static_cast<WORD>(local.tm_sec < 60 ? local.tm_sec : 59);
    out->wMilliseconds = static_cast<WORD>(milliseconds);
}

}  // namespace

void GetLocalTime(LPSYSTEMTIME localTime) {
    if (localTime == nullptr) {
        return;
    }
    time_t seconds = 0;
    unsigned milliseconds = 0;
    ClockState& clock = Clock();
    if (clock.isVirtual) {
        const uint64_t now = clock.virtualNow.load();
        seconds = kVirtualEpochSeconds + static_cast<time_t>(now / 1000u);
        milliseconds = static_cast<unsigned>(now % 1000u);
    } else {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        seconds = ts.tv_sec;
        milliseconds = static_cast<unsigned>(ts.tv_nsec / 1000000);
    }
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        // Out of the calendar's range: the call cannot fail on Windows, so
        // it gives the epoch rather than garbage.
        local = tm{};
        local.tm_year = 70;
        local.tm_mday = 1;
        local.tm_wday = 4;
    }
    FillSystemTime(local, milliseconds, localTime);
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        if (!IsVirtualClock()) {
            sched_yield();
        }
        return;
    }
    uint64_t deadline = DeadlineAfter(milliseconds);
    Lock lock(LayerMutex());
    while (!Block(lock, deadline)) {
    }
}
