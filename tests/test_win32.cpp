// The Win32 contract the program relies on, through platform/win32.h alone: on POSIX against our
// own provider (on both clocks), on Windows against the system itself (under Wine in the Windows
// build). Events are manual-reset, a wait for any gives the lowest signalled index, waits end at
// the signal or at their limit across the tick's wrap, and a port opens once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32.h"
#ifndef _WIN32
#include "harness.h"

// The virtual clock starts 20 ms before the tick's wrap: set before its first tick is read.
static const int g_nearTheWrap = setenv("CABLETEST_TICK_START", "4294967276", 0);
#endif

namespace {

const bool kVirtual = getenv("CABLETEST_CLOCK") && !strcmp(getenv("CABLETEST_CLOCK"), "virtual");

HANDLE NewEvent(const char* name = nullptr) {
    return CreateEventA(nullptr, TRUE, FALSE, name);
}

TEST(Win32Events, ManualResetAndTheLowestSignalledIndex) {
    HANDLE e[3] = {NewEvent(), NewEvent(), NewEvent()};
    ASSERT_TRUE(e[0] && e[1] && e[2] && SetEvent(e[2]) && SetEvent(e[1]));
    EXPECT_EQ(WaitForSingleObject(e[2], INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 1) << "still signalled";
    ASSERT_TRUE(ResetEvent(e[1]) && ResetEvent(e[2]) && SetEvent(e[0]));
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, e + 1, FALSE, 0), WAIT_TIMEOUT);
    for (HANDLE h : e)
        EXPECT_TRUE(CloseHandle(h));
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
    SetEvent(job->event);
    return 7;
}

// Threads set three events at 10, 40 and 70 ms: exact on the virtual clock; in real time five
// times as long, the tick may lag its 16 ms granularity, and a busy machine makes waits late.
TEST(Win32Time, WaitsEndAtTheSignalOrAtTheLimitAcrossTheWrap) {
    const DWORD k = kVirtual ? 1 : 5, start = GetTickCount();
    EXPECT_TRUE(!kVirtual || start == 0xFFFFFFECu) << "CABLETEST_TICK_START: before the wrap";
    auto onTime = [&](DWORD at, DWORD ms) {
        return kVirtual ? at == ms : at + 16 >= ms * k && at < ms * k + 1000;
    };
    auto at = [&](DWORD ms) { return onTime(GetTickCount() - start, ms); };
    HANDLE e[3] = {NewEvent(), NewEvent(), NewEvent()}, threads[3];
    Job jobs[3] = {{e[0], 70 * k}, {e[1], 10 * k}, {e[2], 40 * k}};
    SetLastError(1234);
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(threads[i] = CreateThread(nullptr, 0, SetLater, &jobs[i], 0, nullptr), nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 5 * k), WAIT_TIMEOUT);
    EXPECT_TRUE(at(5));
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(at(10) && ResetEvent(e[1]));
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 15 * k), WAIT_TIMEOUT);
    EXPECT_TRUE(at(25));
    EXPECT_EQ(WaitForSingleObject(e[2], INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(at(40) && ResetEvent(e[2]));
    EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(at(70));
    EXPECT_EQ(GetLastError(), 1234u) << "the last error is the thread's own";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(WaitForSingleObject(threads[i], 10000), WAIT_OBJECT_0) << "ended: signalled";
        EXPECT_TRUE(jobs[i].lastError == 0 && onTime(jobs[i].setAt - start, jobs[i].delay / k));
        EXPECT_TRUE(CloseHandle(threads[i]) && CloseHandle(e[i]));
    }
    Sleep(30 * k);
    EXPECT_TRUE(at(100)) << GetTickCount() - start;
}

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
    EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE) << "share mode 0: one opener";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    DCB dcb{}, got{};
    dcb.DCBlength = got.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb) && SetupComm(port, 4096, 4096));
    dcb.BaudRate = 9600;
    dcb.fBinary = dcb.fRtsControl = 1;
    dcb.fDtrControl = dcb.fOutxCtsFlow = dcb.fOutX = dcb.fInX = 0;
    dcb.ByteSize = 8;
    dcb.Parity = dcb.StopBits = 0;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    ASSERT_TRUE(GetCommState(port, &got));
    EXPECT_TRUE(got.BaudRate == 9600 && got.ByteSize == 8 && got.Parity == 0 && got.StopBits == 0);
    COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 5000}, back;
    ASSERT_TRUE(SetCommTimeouts(port, &t) && GetCommTimeouts(port, &back));
    EXPECT_EQ(memcmp(&t, &back, sizeof t), 0);
    DWORD mask = 0, errors = 99, n = 99;
    EXPECT_TRUE(SetCommMask(port, EV_RXCHAR) && GetCommMask(port, &mask) && mask == EV_RXCHAR);
    COMSTAT stat;
    EXPECT_TRUE(ClearCommError(port, &errors, &stat) && errors == 0 && stat.cbInQue == 0);
    char bytes[8];
    OVERLAPPED read = {};
    read.hEvent = NewEvent();
    const DWORD before = GetTickCount();
    EXPECT_TRUE(ReadFile(port, bytes, 1, &n, &read)) << GetLastError();
    EXPECT_TRUE(n == 0 && GetTickCount() - before < 500) << "an empty line reads at once";
#ifndef _WIN32
    ASSERT_TRUE(pty.Write("ab\r\x03"));  // no translation, no signal characters
    for (DWORD end = GetTickCount() + 5000; stat.cbInQue < 4 && GetTickCount() < end; Sleep(1))
        ClearCommError(port, nullptr, &stat);
    EXPECT_TRUE(ReadFile(port, bytes, 8, &n, &read) && stat.cbInQue == 4);
    EXPECT_EQ(std::string(bytes, n), "ab\r\x03");
#endif
    EXPECT_TRUE(CloseHandle(port) && CloseHandle(port = OpenPort(name))) << "closed: free";
    CloseHandle(read.hEvent);
}

#ifndef _WIN32
// What the provider does not give fails loudly; its event names are labels, private to the
// process; stale handles are refused.
TEST(Win32Refusals, OutsideTheSubsetAndStaleHandles) {
    auto refused = [](bool failed, DWORD error) { return failed && GetLastError() == error; };
    const DWORD no = ERROR_NOT_SUPPORTED, bad = ERROR_INVALID_PARAMETER,
                gone = ERROR_INVALID_HANDLE;
    HANDLE e[2] = {NewEvent("RxRdyEvent"), NewEvent("RxRdyEvent")};
    EXPECT_TRUE(SetEvent(e[0]) && WaitForSingleObject(e[1], 0) == WAIT_TIMEOUT) << "one name";
    EXPECT_TRUE(refused(!CreateEventA(nullptr, FALSE, FALSE, nullptr), no)) << "auto reset";
    EXPECT_TRUE(refused(!CreateEventA(nullptr, TRUE, TRUE, nullptr), no)) << "signalled";
    EXPECT_TRUE(refused(WaitForMultipleObjects(2, e, TRUE, 0) == WAIT_FAILED, no)) << "all";
    EXPECT_TRUE(refused(!CreateThread(nullptr, 0, SetLater, nullptr, 4, nullptr), no));
    const DWORD rw = GENERIC_READ | GENERIC_WRITE, ov = FILE_FLAG_OVERLAPPED;
    const DWORD opens[][4] = {{GENERIC_READ, 0, OPEN_EXISTING, ov},
                              {rw, 1, OPEN_EXISTING, ov},
                              {rw, 0, 2, ov},
                              {rw, 0, OPEN_EXISTING, 0}};
    for (const auto& o : opens)
        EXPECT_TRUE(refused(
            CreateFileA("sim", o[0], o[1], nullptr, o[2], o[3], nullptr) == INVALID_HANDLE_VALUE,
            no))
            << o[0] << " " << o[1] << " " << o[3];
    EXPECT_TRUE(refused(OpenPort(nullptr) == INVALID_HANDLE_VALUE, bad));
    ASSERT_TRUE(CloseHandle(e[0]));
    EXPECT_TRUE(refused(!SetEvent(e[0]), gone) && refused(!CloseHandle(e[0]), gone));
    DWORD mask = 0;
    EXPECT_TRUE(refused(!GetCommMask(e[1], &mask), gone)) << "an event taken for a port";
}
#endif

}  // namespace
