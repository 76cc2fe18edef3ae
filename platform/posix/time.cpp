// The Win32 time calls of the POSIX provider (GetTickCount, GetLocalTime,
// Sleep), on its clock, real or virtual.
#include <sched.h>
#include <time.h>

#include "platform/posix/clock.h"

using namespace posixlayer;

// ---- the Win32 time operations ----------------------------------------------------------

DWORD GetTickCount(void) {
    // The 32-bit count wraps, as on Windows.
    return static_cast<DWORD>(TickStart() + NowMs());
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
    if (IsVirtualClock()) {
        const uint64_t now = NowMs();
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
    while (!Block(lock, deadline, nullptr, 0)) {
    }
}
