// The Win32 contract the program relies on, through platform/win32.h alone: on POSIX against our
// own provider on both clocks, on Windows against the system itself (under Wine in the Windows
// build): manual-reset events, the lowest signalled index, waits that end at the signal or at
// their limit across the tick's wrap, threads, and a port that opens once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/win32.h"
#ifndef _WIN32
#include "harness.h"

// The virtual clock starts 20 ms before the tick's wrap: set before its first tick is read.
static const int g_nearTheWrap = setenv("CABLETEST_TICK_START", "4294967276", 0);
#endif

namespace {

const bool kVirtual = getenv("CABLETEST_CLOCK") && !strcmp(getenv("CABLETEST_CLOCK"), "virtual");
#ifdef _WIN32
const bool kWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
const bool kWine = false;
#endif

HANDLE NewEvent(const char* name = nullptr) {
    return CreateEventA(nullptr, TRUE, FALSE, name);
}

struct Job {
    HANDLE event;
    DWORD delay, lastError = 99, setAt = 0;
};

DWORD WINAPI SetLater(LPVOID parameter) {
    Job* job = static_cast<Job*>(parameter);
    job->lastError = GetLastError();
    Sleep(job->delay);
    job->setAt = GetTickCount();
    return SetEvent(job->event);
}

// Threads set three events at 10, 40 and 70 ms: exact on the virtual clock; in real time forty
// times as long, so that a loaded machine that starts a thread or a wait late still keeps their
// order, the tick may lag its 16 ms granularity, and a busy machine makes waits late.
TEST(Win32Events, ManualResetTheLowestIndexAndWaitsToTheSignalOrTheLimit) {
    const DWORD k = kVirtual ? 1 : 40, start = GetTickCount();
    EXPECT_TRUE(!kVirtual || start == 0xFFFFFFECu) << "CABLETEST_TICK_START: before the wrap";
    auto onTime = [&](DWORD at, DWORD ms) {
        return kVirtual ? at == ms : at + 16 >= ms * k && at < ms * k + 2000;
    };
    auto at = [&](DWORD ms) { return onTime(GetTickCount() - start, ms); };
    HANDLE e[3] = {NewEvent(), NewEvent(), NewEvent()}, threads[3];
    Job jobs[3] = {{e[0], 70 * k}, {e[1], 10 * k}, {e[2], 40 * k}};
    SetLastError(1234);
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(threads[i] = CreateThread(nullptr, 0, SetLater, &jobs[i], 0, nullptr), nullptr);
    EXPECT_TRUE(WaitForMultipleObjects(3, e, FALSE, 5 * k) == WAIT_TIMEOUT && at(5));
    EXPECT_TRUE(WaitForMultipleObjects(3, e, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 && at(10));
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 1) << "still signalled";
    EXPECT_TRUE(ResetEvent(e[1]) && WaitForMultipleObjects(3, e, FALSE, 15 * k) == WAIT_TIMEOUT);
    EXPECT_TRUE(at(25) && WaitForSingleObject(e[2], INFINITE) == WAIT_OBJECT_0 && at(40));
    EXPECT_TRUE(WaitForSingleObject(e[0], INFINITE) == WAIT_OBJECT_0 && at(70));
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0) << "0 and 2: the lower";
    EXPECT_EQ(GetLastError(), 1234u) << "the last error is the thread's own";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(WaitForSingleObject(threads[i], 10000), WAIT_OBJECT_0) << "ended: signalled";
        EXPECT_TRUE(jobs[i].lastError == 0 && onTime(jobs[i].setAt - start, jobs[i].delay / k));
        EXPECT_TRUE(CloseHandle(threads[i]) && CloseHandle(e[i]));
    }
    Sleep(30 * k);
    EXPECT_TRUE(at(100)) << GetTickCount() - start;
}

struct Released {
    HANDLE go;
    std::atomic<int>* woken;
    int rank = -1;
};

DWORD WINAPI RunWhenReleased(LPVOID parameter) {
    Released* r = static_cast<Released*>(parameter);
    if (WaitForSingleObject(r->go, INFINITE) == WAIT_OBJECT_0)
        r->rank = (*r->woken)++;
    return 0;
}

// One event releases three waiting threads. On the virtual clock they run one at a time, in the
// order they began to wait, so that a scripted run goes the same way every time; elsewhere in
// any order.
TEST(Win32Events, ThreadsReleasedTogetherRunInTheOrderTheyWaitedOnTheVirtualClock) {
    const DWORD k = kVirtual ? 1 : 40;
    std::atomic<int> woken{0};
    HANDLE go = NewEvent(), threads[3];
    Released r[3] = {{go, &woken}, {go, &woken}, {go, &woken}};
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(threads[i] = CreateThread(nullptr, 0, RunWhenReleased, &r[i], 0, nullptr),
                  nullptr);
        Sleep(k);  // waiting before the next one starts
    }
    EXPECT_EQ(woken.load(), 0);
    EXPECT_TRUE(SetEvent(go));
    for (HANDLE t : threads)
        EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    int ranks[3] = {r[0].rank, r[1].rank, r[2].rank};
    if (!kVirtual)  // each once, in any order
        std::sort(ranks, ranks + 3);
    EXPECT_TRUE(ranks[0] == 0 && ranks[1] == 1 && ranks[2] == 2);
    for (HANDLE t : threads)
        EXPECT_TRUE(CloseHandle(t));
    EXPECT_TRUE(CloseHandle(go));
}

#ifndef _WIN32
struct Waited {
    HANDLE event;
    DWORD limit, result = 0, endedAt = 0;
};

DWORD WINAPI WaitOut(LPVOID parameter) {
    Waited* w = static_cast<Waited*>(parameter);
    w->result = WaitForSingleObject(w->event, w->limit);
    w->endedAt = GetTickCount();
    return 0;
}

// Windows leaves a wait on a handle closed under it undefined; here the handle goes at once and
// the object only with the wait, which runs out its limit (the sanitizers watch the memory).
TEST(Win32Events, AHandleClosedUnderAWaitGoesAtOnceAndItsObjectWithTheWait) {
    const DWORD k = kVirtual ? 1 : 40, start = GetTickCount();
    Waited w{NewEvent(), 50 * k};
    HANDLE waiter = CreateThread(nullptr, 0, WaitOut, &w, 0, nullptr);
    ASSERT_NE(waiter, nullptr);
    Sleep(10 * k);
    EXPECT_TRUE(CloseHandle(w.event));
    EXPECT_FALSE(SetEvent(w.event) || CloseHandle(w.event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(waiter) + 1)))
        << "between two handles";
    EXPECT_EQ(WaitForSingleObject(waiter, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(w.result, WAIT_TIMEOUT);
    EXPECT_TRUE(!kVirtual || w.endedAt - start == 50) << w.endedAt - start;
    EXPECT_TRUE(CloseHandle(waiter));
}
#endif

HANDLE OpenPort(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// A pty as the port: com5 made here on POSIX; on Windows com12, from the Wine runner.
TEST(Win32Port, OpensOnceTakesTheProgramsSettingsAndReadsWithoutWaiting) {
#ifdef _WIN32
    const char *name = "\\\\.\\com12", *missing = "\\\\.\\com8";
#else
    harness::TempDir dir;
    harness::Pty pty;
    ASSERT_TRUE(pty.Link(dir.path, "ttyS4") &&
                !setenv("CABLETEST_DEVICE_DIR", dir.path.c_str(), 1));
    const char *name = "com5", *missing = "com8";
#endif
    HANDLE port = OpenPort(name);
    if (kVirtual) {  // a device's bytes come in real time, which virtual time cannot follow
        EXPECT_TRUE(port == INVALID_HANDLE_VALUE && GetLastError() == ERROR_NOT_SUPPORTED);
        return;
    }
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(OpenPort(missing) == INVALID_HANDLE_VALUE &&
                GetLastError() == ERROR_FILE_NOT_FOUND);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb) && SetupComm(port, 4096, 4096));
    dcb.BaudRate = 9600;
    dcb.fBinary = dcb.fRtsControl = 1;
    dcb.fDtrControl = dcb.fOutxCtsFlow = dcb.fOutX = dcb.fInX = 0;
    dcb.ByteSize = 8;
    dcb.Parity = dcb.StopBits = 0;
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 5000};
    ASSERT_TRUE(SetCommState(port, &dcb) && SetCommTimeouts(port, &t)) << GetLastError();
    memset(&dcb, 0, sizeof dcb);
    DWORD mask = 0, errors = 99, n = 99;
    COMSTAT stat;
    EXPECT_TRUE(GetCommState(port, &dcb) && dcb.BaudRate == 9600 && dcb.ByteSize == 8);
    EXPECT_TRUE(SetCommMask(port, EV_RXCHAR) && GetCommMask(port, &mask) && mask == EV_RXCHAR);
    EXPECT_TRUE(ClearCommError(port, &errors, &stat) && errors == 0 && stat.cbInQue == 0);
    if (kWine)
        GTEST_SKIP() << "Wine lets a second opener have the port, and ends an overlapped read "
                        "later even when the time-outs ask it to return at once";
    EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE) << "share mode 0: one opener";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    char bytes[8];
    OVERLAPPED read = {};
    read.hEvent = NewEvent();
    const DWORD before = GetTickCount();
    EXPECT_TRUE(ReadFile(port, bytes, 1, &n, &read)) << GetLastError();
    EXPECT_TRUE(n == 0 && GetTickCount() - before < 500) << "an empty line reads at once";
    EXPECT_TRUE(CloseHandle(port) && CloseHandle(port = OpenPort(name))) << "closed: free";
}

#ifndef _WIN32
// What the provider does not give fails loudly: another way to open, settings it cannot keep, an
// event that is not manual-reset and non-signalled, a wait for all. Event names are labels.
TEST(Win32Refusals, OutsideTheSubset) {
    const DWORD rw = GENERIC_READ | GENERIC_WRITE, ov = FILE_FLAG_OVERLAPPED;
    const DWORD opens[][4] = {{GENERIC_READ, 0, OPEN_EXISTING, ov},
                              {rw, 1, OPEN_EXISTING, ov},
                              {rw, 0, 2, ov},
                              {rw, 0, OPEN_EXISTING, 0}};
    for (const auto& o : opens)
        EXPECT_EQ(CreateFileA("sim", o[0], o[1], nullptr, o[2], o[3], nullptr),
                  INVALID_HANDLE_VALUE);
    HANDLE sim = OpenPort("sim"), e[2] = {NewEvent("RxRdyEvent"), NewEvent("RxRdyEvent")};
    DCB d{};
    ASSERT_TRUE(GetCommState(sim, &d));
    d.fRtsControl = RTS_CONTROL_TOGGLE;
    EXPECT_FALSE(SetCommState(sim, &d) || EscapeCommFunction(sim, 7 /* SETBREAK */));
    EXPECT_TRUE(SetEvent(e[0]) && WaitForSingleObject(e[1], 0) == WAIT_TIMEOUT) << "one name";
    EXPECT_FALSE(CreateEventA(nullptr, FALSE, FALSE, nullptr) ||
                 CreateEventA(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(WaitForMultipleObjects(2, e, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// The one file written is a regular one, appended to; a device's handle only tells its type, and
// nothing is written to it nor to a port. A folder is refused as Windows refuses it.
TEST(Win32Files, ARegularFileIsAppendedToAndNothingElseWritten) {
    harness::TempDir dir;
    auto open = [](const std::string& path) {
        return CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    DWORD n = 0;
    HANDLE file = open(dir / "f");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "created";
    EXPECT_TRUE(GetFileType(file) == FILE_TYPE_DISK && WriteFile(file, "ab", 2, &n, nullptr) &&
                n == 2 && CloseHandle(file));
    file = open(dir / "f");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(WriteFile(file, "c", 1, &n, nullptr) && CloseHandle(file));
    EXPECT_EQ(harness::ReadFile(dir / "f"), "abc");
    HANDLE null = open("/dev/null"), sim = OpenPort("sim");
    EXPECT_TRUE(GetFileType(null) == FILE_TYPE_CHAR && GetFileType(sim) == FILE_TYPE_CHAR);
    EXPECT_FALSE(WriteFile(null, "x", 1, &n, nullptr) || WriteFile(sim, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(open(dir.path) == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(null) && CloseHandle(sim));
}
#endif

}  // namespace
