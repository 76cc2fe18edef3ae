// The POSIX layer's handles, events, waits and threads on the real clock:
// the Win32 contracts the system relies on, and the loud refusals of what the
// layer does not provide.
#include <gtest/gtest.h>
#include <time.h>

#include "platform/win32.h"

namespace {

HANDLE NewEvent(const char* name = nullptr) {
    return CreateEventA(nullptr, TRUE, FALSE, name);
}

uint64_t ClockMs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

TEST(RealEvents, ManualResetSeparateEvenUnderOneNameAndLowestIndexWins) {
    // Names are labels: two copies of the program must not share events.
    HANDLE pair[2] = {NewEvent("RxRdyEvent"), NewEvent("RxRdyEvent")};
    ASSERT_NE(pair[0], pair[1]);
    ASSERT_TRUE(SetEvent(pair[1]));
    EXPECT_EQ(WaitForSingleObject(pair[0], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(pair[1], INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_OBJECT_0 + 1) << "still signalled";
    ASSERT_TRUE(SetEvent(pair[0]));
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(pair[0]) && ResetEvent(pair[1]));
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_TIMEOUT);
    CloseHandle(pair[0]);
    CloseHandle(pair[1]);
}

TEST(RealTime, TickFollowsBootTimeAndATimeLimitIsKept) {
    EXPECT_LE(static_cast<DWORD>(GetTickCount() - static_cast<DWORD>(ClockMs(CLOCK_BOOTTIME))),
              50u);
    HANDLE pair[2] = {NewEvent(), NewEvent()};
    uint64_t start = ClockMs(CLOCK_MONOTONIC);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 60), WAIT_TIMEOUT);
    uint64_t took = ClockMs(CLOCK_MONOTONIC) - start;
    EXPECT_GE(took, 59u);
    EXPECT_LT(took, 2000u);
    CloseHandle(pair[0]);
    CloseHandle(pair[1]);
}

DWORD g_errorSeenByThread = 0xDEAD;

DWORD WINAPI SetAfterDelay(LPVOID event) {
    g_errorSeenByThread = GetLastError();
    Sleep(20);
    SetEvent(static_cast<HANDLE>(event));
    return 7;
}

TEST(RealThreads, AnotherThreadsSignalEndsTheWaitAndLastErrorIsPerThread) {
    HANDLE e = NewEvent();
    SetLastError(1234);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 65536, SetAfterDelay, e, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(e, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0) << "signalled when it ends";
    EXPECT_EQ(g_errorSeenByThread, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    CloseHandle(thread);
    CloseHandle(e);
}

// Each refused call: its failure value and its error code.
void ExpectRefused(bool failed, DWORD error, const char* what) {
    EXPECT_TRUE(failed) << what;
    EXPECT_EQ(GetLastError(), error) << what;
}

TEST(Refusals, OutsideTheSubsetAndStaleHandles) {
    const DWORD kNo = ERROR_NOT_SUPPORTED, kBad = ERROR_INVALID_PARAMETER,
                kGone = ERROR_INVALID_HANDLE;
    ExpectRefused(CreateEventA(nullptr, FALSE, FALSE, "auto") == nullptr, kNo, "auto reset");
    ExpectRefused(CreateEventA(nullptr, TRUE, TRUE, "on") == nullptr, kNo, "signalled");
    HANDLE pair[2] = {NewEvent(), NewEvent()};
    ExpectRefused(WaitForMultipleObjects(2, pair, TRUE, 0) == WAIT_FAILED, kNo, "wait all");
    ExpectRefused(WaitForMultipleObjects(0, pair, FALSE, 0) == WAIT_FAILED, kBad, "no handles");
    ExpectRefused(CreateThread(nullptr, 0, SetAfterDelay, nullptr, 4 /* CREATE_SUSPENDED */,
                               nullptr) == nullptr,
                  kNo, "suspended thread");
    ExpectRefused(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr) == nullptr, kBad,
                  "no routine");
    int window = 0;
    ExpectRefused(MessageBoxA(&window, "text", "caption", MB_ICONEXCLAMATION) == 0, kNo, "owner");
    EXPECT_EQ(MessageBoxA(nullptr, "Failed to create event for thread!", "Watch Error",
                          MB_ICONEXCLAMATION),
              1);

    ASSERT_TRUE(CloseHandle(pair[0]));
    ExpectRefused(!SetEvent(pair[0]), kGone, "stale SetEvent");
    ExpectRefused(!CloseHandle(pair[0]), kGone, "closed twice");
    ExpectRefused(WaitForSingleObject(pair[0], 0) == WAIT_FAILED, kGone, "stale wait");
    ExpectRefused(!ResetEvent(INVALID_HANDLE_VALUE), kGone, "bogus handle");
    DWORD mask = 0;
    ExpectRefused(!GetCommMask(pair[1], &mask), kGone, "an event taken for a port");
    CloseHandle(pair[1]);
}

TEST(Refusals, OpensOtherThanTheSystemsWay) {
    const DWORD rw = GENERIC_READ | GENERIC_WRITE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;
    const struct {
        DWORD access, share, creation, flags;
    } cases[] = {
        {GENERIC_READ, 0, OPEN_EXISTING, flags},
        {rw, 1 /* FILE_SHARE_READ */, OPEN_EXISTING, flags},
        {rw, 0, 2 /* CREATE_ALWAYS */, flags},
        {rw, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},  // not overlapped
    };
    for (const auto& c : cases) {
        ExpectRefused(CreateFileA("sim", c.access, c.share, nullptr, c.creation, c.flags,
                                  nullptr) == INVALID_HANDLE_VALUE,
                      ERROR_NOT_SUPPORTED, "sim");
    }
    ExpectRefused(
        CreateFileA(nullptr, rw, 0, nullptr, OPEN_EXISTING, flags, nullptr) == INVALID_HANDLE_VALUE,
        ERROR_INVALID_PARAMETER, "no name");
}

}  // namespace
