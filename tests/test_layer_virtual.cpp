// The virtual clock: simulated time that stands still while any thread runs
// and jumps to the next deadline once every thread waits. Run with
// CABLETEST_CLOCK=virtual.
#include <gtest/gtest.h>
#include <time.h>

#include "platform/posix/clock.h"
#include "platform/win32.h"

namespace {

uint64_t RealMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

HANDLE NewEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

struct Job {
    HANDLE event;
    DWORD delayMs;
    DWORD tickSet = 0;
};

DWORD WINAPI SetAfter(LPVOID parameter) {
    auto* job = static_cast<Job*>(parameter);
    Sleep(job->delayMs);
    job->tickSet = GetTickCount();
    SetEvent(job->event);
    return 0;
}

class VirtualClock : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(posixlayer::IsVirtualClock()); }
};

TEST_F(VirtualClock, SleepTakesNoRealTimeRunningNoVirtualTimeAndRealDevicesAreRefused) {
    EXPECT_GE(GetTickCount(), 1000000u) << "the default start";
    uint64_t realStart = RealMs();
    DWORD before = GetTickCount();
    Sleep(60000);
    EXPECT_EQ(GetTickCount() - before, 60000u);
    EXPECT_LT(RealMs() - realStart, 1000u);
    before = GetTickCount();
    for (volatile unsigned i = 0; i < 20000000; i = i + 1) {
    }
    EXPECT_EQ(GetTickCount(), before);
    // Bytes of a real device come in real time, which virtual time cannot follow.
    EXPECT_EQ(CreateFileA("com1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(VirtualClock, WaitsEndAtTheSignalsTickOrExactlyAtTheLimitAndTheLowestIndexWins) {
    HANDLE events[3] = {NewEvent(), NewEvent(), NewEvent()};
    Job jobs[3] = {{events[0], 70}, {events[1], 10}, {events[2], 40}};
    HANDLE threads[3];
    DWORD before = GetTickCount();
    for (int i = 0; i < 3; ++i) {
        threads[i] = CreateThread(nullptr, 0, SetAfter, &jobs[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    auto expectWait = [&](DWORD limit, DWORD result, DWORD at) {
        EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, limit), result) << at;
        EXPECT_EQ(GetTickCount() - before, at);
    };
    expectWait(5, WAIT_TIMEOUT, 5);
    expectWait(INFINITE, WAIT_OBJECT_0 + 1, 10);
    expectWait(0, WAIT_OBJECT_0 + 1, 10);  // manual reset: still signalled
    ResetEvent(events[1]);
    expectWait(29, WAIT_TIMEOUT, 39);
    expectWait(INFINITE, WAIT_OBJECT_0 + 2, 40);
    Sleep(31);
    expectWait(0, WAIT_OBJECT_0, 71);  // 0 and 2 signalled: the lower index
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(WaitForSingleObject(threads[i], INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(jobs[i].tickSet - before, jobs[i].delayMs);
        CloseHandle(threads[i]);
        CloseHandle(events[i]);
    }
}

// Last: it moves the clock's origin, which only a process with no other
// thread left may do.
TEST_F(VirtualClock, ZTickWrapsAt32Bits) {
    posixlayer::UseVirtualClockForTesting(true, 0xFFFFFF00u);
    DWORD before = GetTickCount();
    EXPECT_EQ(before, 0xFFFFFF00u);
    Sleep(0x180);
    EXPECT_EQ(GetTickCount(), 0x80u);
    EXPECT_EQ(static_cast<DWORD>(GetTickCount() - before), 0x180u);
}

}  // namespace
