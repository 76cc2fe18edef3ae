// The core of the POSIX layer: handles and the per-thread last error, events
// and waits, threads, the clock (real or virtual) and MessageBoxA.
//
// Everything is guarded by one lock and every blocking call goes through
// Block(). That is what makes the virtual clock possible: it knows how many
// threads of the program are running, and when none is, time jumps to the
// next thing that is due.
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "platform/posix/layer.h"

namespace posixlayer {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

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

void ReadClockSettings(ClockState& c) {
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
    const char* start = getenv("CABLETEST_TICK_START");
    if (c.isVirtual && start != nullptr && *start != '\0') {
        char* end = nullptr;
        errno = 0;
        unsigned long long value = strtoull(start, &end, 0);
        if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull || start[0] == '-') {
            fprintf(stderr, "cabletest: CABLETEST_TICK_START=%s is not a 32-bit tick; using %lu\n",
                    start, static_cast<unsigned long>(c.tickStart));
        } else {
            c.tickStart = static_cast<DWORD>(value);
        }
    }
}

ClockState& Clock() {
    static ClockState clock;
    static std::once_flag once;
    std::call_once(once, [] { ReadClockSettings(clock); });
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

void ReleaseWaiter(Waiter* w, bool timedOut) {
    w->released = true;
    w->timedOut = timedOut;
    ++g_runningThreads;
    w->cv.notify_one();
}

// Lock held, virtual time, no thread running: move time on to whatever comes
// next. At one instant the simulated line's actions come first, then the
// threads they wake; deadlines expire only when nothing else can run.
void Quiesce() {
    ClockState& clock = Clock();
    for (;;) {
        uint64_t now = clock.virtualNow.load();
        if (SimNextDue() <= now) {
            SimFire(now);
            if (SimNextDue() <= now) {
                fprintf(stderr, "cabletest: virtual clock: the simulated line did not move on\n");
                abort();
            }
            if (g_runningThreads > 0) {
                return;
            }
            continue;
        }
        // One time limit at a time, the one that fell due first (and of
        // those, the one that has waited longest), so that threads whose
        // limits end at the same instant run in a repeatable order.
        Waiter* due = nullptr;
        for (Waiter* w : g_waiters) {
            if (!w->released && w->deadline <= now &&
                (due == nullptr || w->deadline < due->deadline)) {
                due = w;
            }
        }
        if (due != nullptr) {
            ReleaseWaiter(due, true);
            return;
        }
        uint64_t next = SimNextDue();
        for (Waiter* w : g_waiters) {
            if (!w->released) {
                next = std::min(next, w->deadline);
            }
        }
        if (next == kNever) {
            // Nothing can ever happen again: in real time the program would
            // hang here for ever. Say so instead of hanging.
            fprintf(stderr, "cabletest: virtual clock: every thread waits and nothing is due\n");
            fflush(stderr);
            abort();
        }
        clock.virtualNow.store(next);
    }
}

void ThreadStopsRunning() {
    if (--g_runningThreads == 0) {
        Quiesce();
    }
}

// ---- handles ----------------------------------------------------------------------

std::map<uintptr_t, std::shared_ptr<Object>>& HandleTable() {
    static std::map<uintptr_t, std::shared_ptr<Object>> table;
    return table;
}
// Small values that look like Windows handles and are never reused, so that
// a stale handle is refused rather than reaching another object.
uintptr_t g_nextHandle = 0x40;

std::shared_ptr<Object> LookUp(HANDLE handle) {
    auto& table = HandleTable();
    auto it = table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.end()) {
        return nullptr;
    }
    return it->second;
}

bool IsSignalled(const Object& object) {
    if (object.kind == Kind::Event) {
        return static_cast<const EventObject&>(object).signalled;
    }
    return static_cast<const ThreadObject&>(object).ended;
}

// ---- threads ----------------------------------------------------------------------

struct ThreadStart {
    std::shared_ptr<ThreadObject> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

DWORD g_nextThreadId = 1000;

void* ThreadMain(void* arg) {
    ThreadStart* start = static_cast<ThreadStart*>(arg);
    std::shared_ptr<ThreadObject> thread = start->thread;
    LPTHREAD_START_ROUTINE routine = start->routine;
    LPVOID parameter = start->parameter;
    delete start;
    routine(parameter);
    Lock lock(LayerMutex());
    thread->ended = true;
    WakeAll();
    if (IsVirtualClock()) {
        ThreadStopsRunning();
    }
    return nullptr;
}

size_t StackFloor() {
    size_t floor = 64 * 1024;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    floor = 1024 * 1024;  // the sanitizers' own frames need room
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    floor = 1024 * 1024;
#endif
#endif
    return std::max<size_t>(floor, static_cast<size_t>(PTHREAD_STACK_MIN));
}

}  // namespace

// ---- layer internals ----------------------------------------------------------------

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
    if (!IsVirtualClock()) {
        // The simulated line's actions fall due while threads wait; whoever
        // wakes first brings the line up to date.
        uint64_t due = std::min(deadline, SimNextDue());
        uint64_t now = NowMs();
        if (due == kNever) {
            g_realCondition.wait(lock);
        } else if (due > now) {
            g_realCondition.wait_for(lock, std::chrono::milliseconds(due - now));
        }
        now = NowMs();
        if (SimNextDue() <= now) {
            SimFire(now);
        }
        return now >= deadline;
    }
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

DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

BOOL Fail(DWORD code) {
    t_lastError = code;
    return FALSE;
}

HANDLE AddHandle(std::shared_ptr<Object> object) {
    uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    HandleTable()[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> FindHandle(HANDLE handle, Kind kind) {
    std::shared_ptr<Object> object = LookUp(handle);
    if (object == nullptr || object->kind != kind) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return object;
}

void SignalEventHandle(HANDLE event) {
    std::shared_ptr<Object> object = LookUp(event);
    if (object != nullptr && object->kind == Kind::Event) {
        static_cast<EventObject&>(*object).signalled = true;
        WakeAll();
    }
}

void ResetEventHandle(HANDLE event) {
    std::shared_ptr<Object> object = LookUp(event);
    if (object != nullptr && object->kind == Kind::Event) {
        static_cast<EventObject&>(*object).signalled = false;
    }
}

PortObject::~PortObject() {
    if (tty != nullptr) {
        TtyClose(this);
    }
}

}  // namespace posixlayer

using namespace posixlayer;

// ---- the Win32 operations -------------------------------------------------------------

DWORD GetLastError(void) {
    return t_lastError;
}

void SetLastError(DWORD code) {
    t_lastError = code;
}

BOOL CloseHandle(HANDLE object) {
    Lock lock(LayerMutex());
    std::shared_ptr<Object> found = LookUp(object);
    if (found == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (found->kind == Kind::Port) {
        ClosePortLocked(static_cast<PortObject*>(found.get()));
    }
    HandleTable().erase(reinterpret_cast<uintptr_t>(object));
    // A port's descriptors go with the last reference, which may be this
    // one; dropping it under the lock is fine, TtyClose takes no lock.
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    // The system uses only manual-reset events created non-signalled; an
    // auto-reset or signalled event would need semantics this layer lacks.
    if (attributes != nullptr || !manualReset || initialState) {
        Fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto event = std::make_shared<EventObject>();
    if (name != nullptr) {
        event->label = name;
    }
    Lock lock(LayerMutex());
    HANDLE handle = AddHandle(event);
    t_lastError = ERROR_SUCCESS;
    return handle;
}

static BOOL SetEventState(HANDLE event, bool signalled) {
    Lock lock(LayerMutex());
    auto found = Find<EventObject>(event, Kind::Event);
    if (found == nullptr) {
        return FALSE;
    }
    found->signalled = signalled;
    if (signalled) {
        WakeAll();
    }
    return TRUE;
}

BOOL SetEvent(HANDLE event) {
    return SetEventState(event, true);
}

BOOL ResetEvent(HANDLE event) {
    return SetEventState(event, false);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > 64 || objects == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (waitAll) {
        Fail(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    uint64_t deadline = DeadlineAfter(milliseconds);
    Lock lock(LayerMutex());
    // On the stack: the receiver waits once per byte, and a wait should not
    // cost an allocation.
    std::array<std::shared_ptr<Object>, 64> waited;
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<Object> object = LookUp(objects[i]);
        if (object == nullptr || object->kind == Kind::Port) {
            Fail(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_NOT_SUPPORTED);
            return WAIT_FAILED;
        }
        waited[i] = std::move(object);
    }
    // In virtual time only the clock decides when a time limit has passed:
    // a thread woken at the very instant of its deadline must still see the
    // signals of the threads woken with it.
    bool expired = milliseconds == 0;
    for (;;) {
        for (DWORD i = 0; i < count; ++i) {
            if (IsSignalled(*waited[i])) {
                return WAIT_OBJECT_0 + i;
            }
        }
        if (expired) {
            return WAIT_TIMEOUT;
        }
        expired = Block(lock, deadline);
    }
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &object, FALSE, milliseconds);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                    LPDWORD threadId) {
    if (attributes != nullptr || flags != 0) {
        Fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (routine == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        size_t size = std::max<size_t>(stackSize, StackFloor());
        // Page multiples only, on some systems.
        long page = sysconf(_SC_PAGESIZE);
        if (page > 0) {
            size = (size + static_cast<size_t>(page) - 1) / static_cast<size_t>(page) *
                   static_cast<size_t>(page);
        }
        pthread_attr_setstacksize(&attr, size);
    }

    auto thread = std::make_shared<ThreadObject>();
    auto* start = new ThreadStart{thread, routine, parameter};
    Lock lock(LayerMutex());
    thread->id = g_nextThreadId++;
    // Counted as running before it starts, so that virtual time cannot move
    // on between the creation and the thread's first step.
    if (IsVirtualClock()) {
        ++g_runningThreads;
    }
    pthread_t id;
    int rc = pthread_create(&id, &attr, ThreadMain, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        if (IsVirtualClock()) {
            --g_runningThreads;  // the caller still runs, so never zero here
        }
        Fail(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(rc));
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = thread->id;
    }
    return AddHandle(thread);
}

DWORD GetTickCount(void) {
    ClockState& clock = Clock();
    if (clock.isVirtual) {
        return static_cast<DWORD>(clock.tickStart + clock.virtualNow.load());
    }
    return static_cast<DWORD>(BootTimeMs());
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

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    // MB_OK with an icon is all there is: no window to own it, no buttons to
    // choose from.
    if (owner != nullptr || (type & ~0xF0u) != 0) {
        Fail(ERROR_NOT_SUPPORTED);
        return 0;
    }
    fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Error",
            text != nullptr ? text : "");
    fflush(stderr);
    return 1;  // IDOK
}
