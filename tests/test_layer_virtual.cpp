// The virtual clock: simulated time that stands still while any thread runs
// and jumps to the next deadline once every thread waits. Run with
// CABLETEST_CLOCK=virtual.
#include <gtest/gtest.h>
#include <time.h>

#include "serial/posix/layer.h"
#include "serial/win32.h"

namespace {

uint64_t RealMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

HANDLE NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

class VirtualClock : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(posixlayer::IsVirtualClock()); }
};

TEST_F(VirtualClock, StartsAtTheConfiguredTick) {
    // CABLETEST_TICK_START is unset here: the default start.
    EXPECT_GE(GetTickCount(), 1000000u);
}

TEST_F(VirtualClock, LongSleepTakesNoRealTime) {
    uint64_t realStart = RealMs();
    DWORD before = GetTickCount();
    Sleep(60000);
    EXPECT_EQ(GetTickCount() - before, 60000u);
    EXPECT_LT(RealMs() - realStart, 1000u);
}

TEST_F(VirtualClock, TimeStandsStillWhileRunning) {
    DWORD before = GetTickCount();
    volatile unsigned spin = 0;
    for (unsigned i = 0; i < 20000000; ++i) {
        spin = spin + i;
    }
    EXPECT_EQ(GetTickCount(), before);
}

TEST_F(VirtualClock, WaitTimesOutExactly) {
    HANDLE pair[2] = {NewEvent(), NewEvent()};
    DWORD before = GetTickCount();
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 250), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount() - before, 250u);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount() - before, 250u);
    CloseHandle(pair[0]);
    CloseHandle(pair[1]);
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

TEST_F(VirtualClock, SignalFromASleepingThreadArrivesAtItsTick) {
    HANDLE e = NewEvent();
    Job job{e, 30};
    DWORD before = GetTickCount();
    HANDLE thread = CreateThread(nullptr, 65536, SetAfter, &job, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(GetTickCount() - before, 30u);
    EXPECT_EQ(job.tickSet - before, 30u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(e);
}

TEST_F(VirtualClock, SignalAfterTheLimitIsNotSeen) {
    HANDLE e = NewEvent();
    Job job{e, 201};
    DWORD before = GetTickCount();
    HANDLE thread = CreateThread(nullptr, 65536, SetAfter, &job, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 200), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount() - before, 200u);
    // Manual reset: the late signal stays for the next wait.
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(GetTickCount() - before, 201u);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(e);
}

TEST_F(VirtualClock, ManySleepersWakeInDeadlineOrder) {
    HANDLE events[3] = {NewEvent(), NewEvent(), NewEvent()};
    Job jobs[3] = {{events[0], 70}, {events[1], 10}, {events[2], 40}};
    HANDLE threads[3];
    for (int i = 0; i < 3; ++i) {
        threads[i] = CreateThread(nullptr, 0, SetAfter, &jobs[i], 0, nullptr);
    }
    DWORD before = GetTickCount();
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(GetTickCount() - before, 10u);
    ResetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(GetTickCount() - before, 40u);
    for (int i = 0; i < 3; ++i) {
        WaitForSingleObject(threads[i], INFINITE);
        CloseHandle(threads[i]);
        CloseHandle(events[i]);
    }
}

TEST_F(VirtualClock, RealDevicesAreRefused) {
    // Bytes of a real device come in real time, which virtual time cannot
    // follow.
    EXPECT_EQ(CreateFileA("com1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// Last: it moves the clock's origin, which only a process with no other
// thread left may do.
TEST_F(VirtualClock, ZTickWrapsAt32Bits) {
    posixlayer::UseVirtualClockForTesting(true, 0xFFFFFF00u);
    DWORD before = GetTickCount();
    EXPECT_EQ(before, 0xFFFFFF00u);
    Sleep(0x180);
    DWORD after = GetTickCount();
    EXPECT_EQ(after, 0x80u);
    EXPECT_EQ(static_cast<DWORD>(after - before), 0x180u);
}

}  // namespace
