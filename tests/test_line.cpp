// The serial line's routines in-process, on the simulated line in virtual
// time: what the program's output cannot show (the line settings, which way a
// byte took, how many waits were started, a stale or empty watcher report).
// The recording trace sink tells the ways apart.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"
#include "serial/line.h"
#include "trace_record.h"

namespace {

// The trace of the receiver's ways and of the watcher, and the log after the open.
const std::string kAsk = "(1)ClearCommError\nReset RxRy\nSet Wait\n";
const std::string kDirect = "(1)ClearCommError\n(1)read 1 bytes direct\n";
const std::string kWaitFor = "->wait for 0001\n";
const std::string kReport = kWaitFor + "->Got event 0001\n->Reset CommWatch\n->Set RdRdy\n";
const std::string kAfterReport = "(2)Reset RxRy\n(2)read 1 bytes direct\n";
const std::string kLog = "0 RTS on\n";

// A stand-in for the watcher that answers every request after `delay` ms
// with mask 0, as a failed comm-event wait would.
DWORD WINAPI MaskZeroWatcher(LPVOID delay) {
    for (;;) {
        WaitForSingleObject(g_waitEvent, INFINITE);
        Sleep((DWORD)(ULONG_PTR)delay);
        ResetEvent(g_waitEvent);
        g_lastEventMask = 0;
        SetEvent(g_rxReadyEvent);
    }
}

class LineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("CABLETEST_CLOCK", "virtual", 1);  // before the layer's first tick
        setenv("CABLETEST_SIM_SCRIPT", dir_.File("script").c_str(), 1);
        setenv("CABLETEST_SIM_LOG", dir_.File("log").c_str(), 1);
        setenv("CABLETEST_DEVICE_DIR", dir_.path().c_str(), 1);
        TraceRecordClear();
        g_running = 1;
        g_rxReadyEvent = CreateEventA(NULL, TRUE, FALSE, "RxRdyEvent");
        g_queuedEvent = CreateEventA(NULL, TRUE, FALSE, "QueuedEvent");
        g_waitEvent = CreateEventA(NULL, TRUE, FALSE, "WaitEvent");
        ASSERT_TRUE(g_rxReadyEvent && g_queuedEvent && g_waitEvent);
    }

    void TearDown() override {
        // The watcher cannot be stopped, so it is parked: a new mask ends its
        // comm-event wait, and it then blocks for good on this test's
        // "WaitEvent", which is never set or closed again.
        if (g_watchThread != NULL) {
            Sleep(20);
            SetCommMask(g_port, 0);
            Sleep(20);
            g_watchThread = NULL;
        }
        if (g_port != NULL && g_port != INVALID_HANDLE_VALUE)
            CloseHandle(g_port);  // the simulated line takes one opener
    }

    // Opens the simulated line playing `script`; ticks count from the open.
    void OpenSim(const std::string& script) {
        ASSERT_TRUE(dir_.WriteFile("script", script));
        g_port = OpenCommPort("sim");
        ASSERT_NE(g_port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        openTick_ = GetTickCount();
    }

    void StartWatcher(LPTHREAD_START_ROUTINE routine = CommWatchThread, LPVOID arg = NULL) {
        g_watchThread = CreateThread(NULL, 65536, routine, arg, 0, &g_watchThreadId);
        ASSERT_NE(g_watchThread, nullptr);
    }

    DWORD Elapsed() const { return GetTickCount() - openTick_; }
    std::string Log() const { return dir_.ReadFile("log"); }

    cabletest_test::TempDir dir_;
    DWORD openTick_ = 0;
};

TEST_F(LineTest, OpenSetsEveryLineSettingAndCreatesTheRequestEvents) {
    OpenSim("");
    DCB dcb;
    memset(&dcb, 0x5A, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(g_port, &dcb));
    DWORD flags = 0;  // the bit fields as one word
    memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 8, sizeof flags);
    EXPECT_EQ(std::make_tuple(dcb.BaudRate, flags, dcb.XonLim, dcb.XoffLim, dcb.ByteSize,
                              dcb.Parity, dcb.StopBits, dcb.wReserved, dcb.wReserved1),
              std::make_tuple(9600u, 0x1001u, 2048, 512, 8, NOPARITY, ONESTOPBIT, 0, 0));
    EXPECT_EQ(std::make_tuple((BYTE)dcb.XonChar, (BYTE)dcb.XoffChar, (BYTE)dcb.ErrorChar,
                              (BYTE)dcb.EofChar, (BYTE)dcb.EvtChar),
              std::make_tuple(0x11, 0x13, 0xFF, 0xFE, 0xFD));
    COMMTIMEOUTS t;
    ASSERT_TRUE(GetCommTimeouts(g_port, &t));
    EXPECT_EQ(std::make_tuple(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                              t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                              t.WriteTotalTimeoutConstant),
              std::make_tuple(MAXDWORD, 0u, 0u, 0u, 5000u));
    DWORD mask = 0xFFFF;
    ASSERT_TRUE(GetCommMask(g_port, &mask));
    EXPECT_EQ(mask, 0u);  // armed by the watcher only
    EXPECT_TRUE(g_readRequest.hEvent && g_writeRequest.hEvent &&
                g_readRequest.hEvent != g_writeRequest.hEvent);
    EXPECT_EQ(Log(), kLog);  // DTR stays low
}

TEST_F(LineTest, WatcherWaitsOnlyWhenAskedAndOncePerRequest) {
    OpenSim("100 bytes 3\n1100 bytes 1\n1400 bytes 1\n");
    StartWatcher();
    Sleep(1000);
    EXPECT_EQ(TraceRecordText(), "");
    EXPECT_EQ(WaitForSingleObject(g_rxReadyEvent, 0), WAIT_TIMEOUT);
    BYTE bytes[4];
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(g_port, bytes, sizeof bytes, &count, &g_readRequest));
    EXPECT_EQ(count, 3u);  // left in the queue
    SetEvent(g_waitEvent);
    Sleep(50);
    SetEvent(g_waitEvent);  // during the wait: must not start a second one
    ASSERT_EQ(WaitForSingleObject(g_rxReadyEvent, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(Elapsed(), 1100u);
    EXPECT_EQ(g_lastEventMask & EV_RXCHAR, EV_RXCHAR);
    ResetEvent(g_rxReadyEvent);
    EXPECT_EQ(WaitForSingleObject(g_rxReadyEvent, 1000), WAIT_TIMEOUT);  // the byte at 1400
    EXPECT_EQ(WaitForSingleObject(g_waitEvent, 0), WAIT_TIMEOUT);        // taken
    EXPECT_EQ(TraceRecordText(), kReport);
}

// ReadCommByte calls in a row, each with its result and the tick it returns
// at; then the whole trace followed by the line's log.
struct Read {
    DWORD sleepBefore, limit, count, value, tick;
};
enum Watcher { kNone, kReal, kMaskZero };
struct ReceiveCase {
    const char* name;
    const char* script;
    Watcher watcher;
    std::vector<Read> reads;
    std::string traceAndLog;
};

class Receive : public LineTest, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(Receive, Case) {
    const ReceiveCase& c = GetParam();
    OpenSim(c.script);
    if (c.watcher != kNone)
        StartWatcher(c.watcher == kReal ? CommWatchThread : MaskZeroWatcher, (LPVOID)10);
    for (const Read& r : c.reads) {
        Sleep(r.sleepBefore);
        BYTE byte = 0;
        EXPECT_EQ(ReadCommByte(&byte, r.limit), r.count) << "call returning at " << r.tick;
        EXPECT_EQ(byte, r.count ? r.value : 0u) << r.tick;
        EXPECT_EQ(Elapsed(), r.tick);
    }
    EXPECT_EQ(TraceRecordText() + Log(), c.traceAndLog);
}

// clang-format off
const ReceiveCase kReceiveCases[] = {
    {"QueuedByteComesDirect", "0 bytes 1 1 5a\n", kReal, {{0, 200, 1, 0x5A, 0}}, kDirect + kLog},
    {"EmptyQueueWaitsTheLimit", "", kReal, {{0, 200, 0, 0, 200}}, kAsk + kWaitFor + kLog},
    {"ByteDuringTheWaitComesThroughTheWatcher", "120 bytes 1 1 a5\n", kReal,
     {{0, 200, 1, 0xA5, 120}}, kAsk + kReport + kAfterReport + kLog},
    // The first call gives up with its request outstanding; the byte at 80
    // is reported to nobody, and the next call must still get it, once.
    {"LateReportIsNotTakenForTheNextOne", "80 bytes 1 1 01\n", kReal,
     {{0, 50, 0, 0, 50}, {100, 200, 1, 0x01, 150}, {0, 200, 0, 0, 350}},
     kAsk + kReport + kDirect + kAsk + kWaitFor + kLog},
    {"LineErrorDropsRtsFor50msAndTheByteStillComes", "0 error frame\n0 bytes 1 1 33\n", kReal,
     {{0, 200, 1, 0x33, 50}, {0, 10, 0, 0, 60}},
     "(1)ClearCommError\n(1)Error reported 8, GetLastError() 0\n(1.1)Escape\n"
     "(1)read 1 bytes direct\n" + kAsk + kWaitFor + kLog + "0 RTS off\n50 RTS on\n"},
    // A report without EV_RXCHAR: the receiver looks at the line itself.
    {"ReportWithMaskZero", "5 bytes 1 1 c3\n", kMaskZero,
     {{0, 200, 1, 0xC3, 10}, {0, 200, 0, 0, 20}},
     kAsk + kAfterReport + kAsk + "(2)Reset RxRy\n" + kLog},
    // Nobody answers the request, so a byte during the wait does not end it.
    {"WithoutAWatcher", "0 bytes 1 1 11\n300 bytes 1 1 22\n", kNone,
     {{0, 200, 1, 0x11, 0}, {0, 200, 0, 0, 200}, {0, 200, 0, 0, 400}, {0, 200, 1, 0x22, 400}},
     kDirect + kAsk + kAsk + kDirect + kLog},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Line, Receive, ::testing::ValuesIn(kReceiveCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
