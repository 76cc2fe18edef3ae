// The POSIX layer's handles, events, waits and threads on the real clock:
// the Win32 contracts the system relies on, and the loud refusals of what the
// layer does not provide.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>

#include "serial/win32.h"

namespace {

HANDLE NewEvent(const char* name = nullptr) { return CreateEventA(nullptr, TRUE, FALSE, name); }

TEST(RealEvents, ManualResetStaysSignalledUntilReset) {
    HANDLE e = NewEvent("Reader");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);  // still signalled
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(RealEvents, SameNameGivesSeparateEvents) {
    // Names are labels: two copies of the program must not share events, nor
    // two events created under one name here.
    HANDLE a = NewEvent("RxRdyEvent");
    HANDLE b = NewEvent("RxRdyEvent");
    ASSERT_NE(a, b);
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(RealEvents, LowestSignalledIndexWins) {
    HANDLE pair[2] = {NewEvent(), NewEvent()};
    SetEvent(pair[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(pair[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_OBJECT_0);
    CloseHandle(pair[0]);
    CloseHandle(pair[1]);
}

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

TEST(RealEvents, TimeLimitIsKept) {
    HANDLE pair[2] = {NewEvent(), NewEvent()};
    uint64_t start = MonotonicMs();
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 60), WAIT_TIMEOUT);
    uint64_t took = MonotonicMs() - start;
    EXPECT_GE(took, 59u);
    EXPECT_LT(took, 2000u);
    CloseHandle(pair[0]);
    CloseHandle(pair[1]);
}

struct SetLater {
    HANDLE event;
    DWORD delayMs;
};

DWORD WINAPI SetAfterDelay(LPVOID parameter) {
    auto* job = static_cast<SetLater*>(parameter);
    Sleep(job->delayMs);
    SetEvent(job->event);
    return 7;
}

TEST(RealThreads, AnotherThreadsSignalEndsTheWait) {
    HANDLE e = NewEvent();
    SetLater job{e, 20};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 65536, SetAfterDelay, &job, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(e, 5000), WAIT_OBJECT_0);
    // A thread's handle is signalled when it ends.
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(e);
}

std::atomic<DWORD> g_errorSeenByThread{0};

DWORD WINAPI ReadOwnLastError(LPVOID) {
    g_errorSeenByThread = GetLastError();
    return 0;
}

TEST(RealThreads, LastErrorBelongsToEachThread) {
    SetLastError(1234);
    HANDLE thread = CreateThread(nullptr, 0, ReadOwnLastError, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(g_errorSeenByThread.load(), 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    CloseHandle(thread);
}

TEST(RealTime, TickFollowsBootTime) {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    DWORD expected = static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000 +
                                        static_cast<uint64_t>(ts.tv_nsec) / 1000000);
    EXPECT_LE(static_cast<DWORD>(GetTickCount() - expected), 50u);
    DWORD before = GetTickCount();
    Sleep(30);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - before), 30u);
}

// ---- what the layer refuses -------------------------------------------------------------

TEST(Refusals, OnlyManualResetNonSignalledEvents) {
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "auto"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, TRUE, "signalled"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(Refusals, WaitsOutsideTheSubsetFail) {
    HANDLE pair[2] = {NewEvent(), NewEvent()};
    EXPECT_EQ(WaitForMultipleObjects(2, pair, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(WaitForMultipleObjects(0, pair, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(pair[0]);
    CloseHandle(pair[1]);
}

TEST(Refusals, StaleAndBogusHandles) {
    HANDLE e = NewEvent();
    ASSERT_TRUE(CloseHandle(e));
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_FALSE(ResetEvent(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // A handle of one kind is not taken for another.
    HANDLE other = NewEvent();
    DWORD mask = 0;
    EXPECT_FALSE(GetCommMask(other, &mask));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(other);
}

DWORD WINAPI Nothing(LPVOID) { return 0; }

TEST(Refusals, ThreadsAndMessageBoxes) {
    EXPECT_EQ(CreateThread(nullptr, 0, Nothing, nullptr, 4 /* CREATE_SUSPENDED */, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    int dummyWindow = 0;
    EXPECT_EQ(MessageBoxA(&dummyWindow, "text", "caption", MB_ICONEXCLAMATION), 0);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(MessageBoxA(nullptr, "Failed to create event for thread!", "Watch Error",
                          MB_ICONEXCLAMATION),
              1);
}

TEST(Refusals, OpensOtherThanTheSystemsWay) {
    const DWORD rw = GENERIC_READ | GENERIC_WRITE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;
    struct Case {
        DWORD access, share, creation, flags;
    } cases[] = {
        {GENERIC_READ, 0, OPEN_EXISTING, flags},
        {rw, 1 /* FILE_SHARE_READ */, OPEN_EXISTING, flags},
        {rw, 0, 2 /* CREATE_ALWAYS */, flags},
        {rw, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},  // not overlapped
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(CreateFileA("sim", c.access, c.share, nullptr, c.creation, c.flags, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    }
    EXPECT_EQ(CreateFileA(nullptr, rw, 0, nullptr, OPEN_EXISTING, flags, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
