// The serial line's routines in-process, on the simulated line in virtual
// time: what the watcher and the receiver do that the program's output cannot
// show (which way a byte took, how often a wait was started, what happens
// without a watcher). The recording trace sink tells the ways apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "serial/line.h"
#include "trace_record.h"

namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool IsSignalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class LineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Before the layer first reads the clock (CTest sets it too).
        setenv("CABLETEST_CLOCK", "virtual", 1);
        char folder[] = "/tmp/cabletest-line-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        scriptPath_ = dir_ + "/script";
        logPath_ = dir_ + "/log";
        setenv("CABLETEST_SIM_SCRIPT", scriptPath_.c_str(), 1);
        setenv("CABLETEST_SIM_LOG", logPath_.c_str(), 1);
        setenv("CABLETEST_DEVICE_DIR", dir_.c_str(), 1);
        TraceRecordClear();

        g_running = 1;
        g_rxReadyEvent = CreateEventA(NULL, TRUE, FALSE, "RxRdyEvent");
        g_queuedEvent = CreateEventA(NULL, TRUE, FALSE, "QueuedEvent");
        g_waitEvent = CreateEventA(NULL, TRUE, FALSE, "WaitEvent");
        ASSERT_NE(g_rxReadyEvent, nullptr);
        ASSERT_NE(g_queuedEvent, nullptr);
        ASSERT_NE(g_waitEvent, nullptr);
    }

    void TearDown() override {
        if (g_watchThread != NULL) {
            // The watcher is never stopped (the program has no way to), so
            // it is parked: in virtual time a Sleep returns only once every
            // thread is blocked; a new mask ends a comm-event wait under
            // way, after which the watcher blocks on this test's
            // "WaitEvent". That event is never set or closed again, so the
            // watcher sleeps for good and leaves later tests alone.
            Sleep(20);
            SetCommMask(g_port, 0);
            Sleep(20);
            g_waitEvent = NULL;
            g_watchThread = NULL;
        }
        if (g_port != NULL && g_port != INVALID_HANDLE_VALUE)
            CloseHandle(g_port);
        g_port = NULL;
        for (HANDLE* event : {&g_rxReadyEvent, &g_queuedEvent, &g_waitEvent, &g_readRequest.hEvent,
                              &g_writeRequest.hEvent}) {
            if (*event != NULL)
                CloseHandle(*event);
            *event = NULL;
        }
        g_lastEventMask = 0;
        std::remove(scriptPath_.c_str());
        std::remove(logPath_.c_str());
        rmdir(dir_.c_str());
    }

    // Opens the simulated line playing `script`, the tick of the open kept
    // in openTick_.
    void OpenSim(const std::string& script) {
        std::ofstream(scriptPath_) << script;
        g_port = OpenCommPort("sim");
        ASSERT_NE(g_port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        openTick_ = GetTickCount();
    }

    void StartWatcher() {
        g_watchThread = CreateThread(NULL, 65536, CommWatchThread, NULL, 0, &g_watchThreadId);
        ASSERT_NE(g_watchThread, nullptr);
    }

    DWORD Elapsed() const { return GetTickCount() - openTick_; }
    std::string Log() const { return ReadWhole(logPath_); }

    std::string dir_;
    std::string scriptPath_;
    std::string logPath_;
    DWORD openTick_ = 0;
};

// ---- opening --------------------------------------------------------------------

TEST_F(LineTest, OpenSetsEveryLineSettingAndCreatesTheRequestEvents) {
    OpenSim("");
    DCB dcb;
    memset(&dcb, 0x5A, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(g_port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    DWORD flags = 0;
    memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 8, sizeof flags);
    EXPECT_EQ(flags, 0x1001u);
    EXPECT_EQ(dcb.fDtrControl, (DWORD)DTR_CONTROL_DISABLE);
    EXPECT_EQ(dcb.fRtsControl, (DWORD)RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.XonLim, 2048);
    EXPECT_EQ(dcb.XoffLim, 512);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ((BYTE)dcb.XonChar, 0x11);
    EXPECT_EQ((BYTE)dcb.XoffChar, 0x13);
    EXPECT_EQ((BYTE)dcb.ErrorChar, 0xFF);
    EXPECT_EQ((BYTE)dcb.EofChar, 0xFE);
    EXPECT_EQ((BYTE)dcb.EvtChar, 0xFD);
    EXPECT_EQ(dcb.wReserved, 0);
    EXPECT_EQ(dcb.wReserved1, 0);

    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(GetCommTimeouts(g_port, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5000u);

    DWORD mask = 0xFFFF;
    ASSERT_TRUE(GetCommMask(g_port, &mask));
    EXPECT_EQ(mask, 0u);  // armed by the watcher only

    EXPECT_NE(g_readRequest.hEvent, nullptr);
    EXPECT_NE(g_writeRequest.hEvent, nullptr);
    EXPECT_NE(g_readRequest.hEvent, g_writeRequest.hEvent);
    EXPECT_FALSE(IsSignalled(g_readRequest.hEvent));

    // DTR stays low, RTS goes high; a read right away finds nothing.
    EXPECT_EQ(Log(), "0 RTS on\n");
    BYTE byte = 0;
    DWORD count = 7;
    EXPECT_TRUE(ReadFile(g_port, &byte, 1, &count, &g_readRequest));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Elapsed(), 0u);
}

TEST_F(LineTest, NamesLongerThanSevenCharactersAreRefusedNotCut) {
    // Seven characters reach the device layer, which refuses a real device
    // in virtual time; eight never get that far.
    EXPECT_EQ(OpenCommPort("ttyUSB1"), INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    for (const std::string& name :
         {std::string("ttyUSB10"), std::string("simsimsim"), std::string(5000, 'x')}) {
        EXPECT_EQ(OpenCommPort(name.c_str()), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE) << name.size();
    }
    // A refused open creates nothing.
    EXPECT_EQ(g_readRequest.hEvent, nullptr);
    EXPECT_EQ(g_writeRequest.hEvent, nullptr);
}

// ---- the watcher --------------------------------------------------------------------

TEST_F(LineTest, WatcherDoesNothingWithoutARequest) {
    OpenSim("100 bytes 3\n");
    StartWatcher();
    Sleep(1000);
    EXPECT_EQ(TraceRecordText(), "");
    EXPECT_FALSE(IsSignalled(g_rxReadyEvent));
    DWORD errors = 0;
    COMSTAT status;
    ASSERT_TRUE(ClearCommError(g_port, &errors, &status));
    EXPECT_EQ(status.cbInQue, 3u);  // left in the driver's queue
}

TEST_F(LineTest, WatcherAnswersARequestWithOneWaitThatEndsWithTheByte) {
    OpenSim("100 bytes 1\n");
    StartWatcher();
    Sleep(10);
    SetEvent(g_waitEvent);
    ASSERT_EQ(WaitForSingleObject(g_rxReadyEvent, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(Elapsed(), 100u);
    EXPECT_EQ(g_lastEventMask & EV_RXCHAR, EV_RXCHAR);
    EXPECT_FALSE(IsSignalled(g_waitEvent));  // the request was taken
    EXPECT_EQ(TraceRecordText(),
              "->wait for 0001\n->Got event 0001\n->Reset CommWatch\n->Set RdRdy\n");
}

TEST_F(LineTest, ASecondRequestDuringAWaitStartsNoSecondWait) {
    OpenSim("100 bytes 1\n400 bytes 1\n");
    StartWatcher();
    SetEvent(g_waitEvent);
    Sleep(50);  // the watcher is in its comm-event wait now
    SetEvent(g_waitEvent);
    ASSERT_EQ(WaitForSingleObject(g_rxReadyEvent, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(Elapsed(), 100u);
    ResetEvent(g_rxReadyEvent);
    // The second request went with the first wait: the byte at 400 is left
    // alone.
    EXPECT_EQ(WaitForSingleObject(g_rxReadyEvent, 1000), WAIT_TIMEOUT);
    EXPECT_EQ(CountOf(TraceRecordText(), "->wait for"), 1);
    EXPECT_EQ(CountOf(TraceRecordText(), "->Set RdRdy"), 1);
}

// ---- the receiver -------------------------------------------------------------------

TEST_F(LineTest, AQueuedByteComesAtOnceWithoutTheHandshake) {
    OpenSim("0 bytes 1 1 5a\n");
    StartWatcher();
    SetEvent(g_rxReadyEvent);  // an old report, which must stay untouched
    BYTE byte = 0;
    EXPECT_EQ(ReadCommByte(&byte, 200), 1u);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(Elapsed(), 0u);
    EXPECT_TRUE(IsSignalled(g_rxReadyEvent));
    EXPECT_FALSE(IsSignalled(g_waitEvent));
    EXPECT_FALSE(IsSignalled(g_readRequest.hEvent));
    EXPECT_EQ(TraceRecordText(), "(1)ClearCommError\n(1)read 1 bytes direct\n");
}

TEST_F(LineTest, AnEmptyQueueWaitsTheWholeLimitAfterOneRequest) {
    OpenSim("");
    StartWatcher();
    BYTE byte = 0x77;
    EXPECT_EQ(ReadCommByte(&byte, 200), 0u);
    EXPECT_EQ(Elapsed(), 200u);
    EXPECT_EQ(byte, 0x77);
    EXPECT_EQ(TraceRecordText(), "(1)ClearCommError\nReset RxRy\nSet Wait\n->wait for 0001\n");
}

TEST_F(LineTest, AByteDuringTheWaitComesThroughTheWatcher) {
    OpenSim("120 bytes 1 1 a5\n");
    StartWatcher();
    BYTE byte = 0;
    EXPECT_EQ(ReadCommByte(&byte, 200), 1u);
    EXPECT_EQ(byte, 0xA5);
    EXPECT_EQ(Elapsed(), 120u);
    EXPECT_FALSE(IsSignalled(g_rxReadyEvent));
    EXPECT_FALSE(IsSignalled(g_readRequest.hEvent));
    EXPECT_EQ(TraceRecordText(),
              "(1)ClearCommError\nReset RxRy\nSet Wait\n"
              "->wait for 0001\n->Got event 0001\n->Reset CommWatch\n->Set RdRdy\n"
              "(2)Reset RxRy\n(2)read 1 bytes direct\n");
}

TEST_F(LineTest, ALateReportIsNotTakenForTheNextOne) {
    // The first call gives up at 50 ms with its request outstanding; the
    // byte at 80 is then reported to nobody, and the next call must still
    // get it, once.
    OpenSim("80 bytes 1 1 01\n");
    StartWatcher();
    BYTE byte = 0;
    EXPECT_EQ(ReadCommByte(&byte, 50), 0u);
    Sleep(100);
    EXPECT_EQ(ReadCommByte(&byte, 200), 1u);
    EXPECT_EQ(byte, 0x01);
    EXPECT_EQ(Elapsed(), 150u);
    EXPECT_EQ(ReadCommByte(&byte, 200), 0u);
    EXPECT_EQ(Elapsed(), 350u);
}

TEST_F(LineTest, ALineErrorDropsRtsFor50msAndTheByteStillComes) {
    OpenSim("0 error frame\n0 bytes 1 1 33\n");
    StartWatcher();
    BYTE byte = 0;
    EXPECT_EQ(ReadCommByte(&byte, 200), 1u);
    EXPECT_EQ(byte, 0x33);
    EXPECT_EQ(Elapsed(), 50u);
    EXPECT_EQ(Log(), "0 RTS on\n0 RTS off\n50 RTS on\n");
    const std::string trace = TraceRecordText();
    EXPECT_EQ(trace.rfind("(1)ClearCommError\n(1)Error reported 8, GetLastError() ", 0), 0u)
        << trace;
    EXPECT_NE(trace.find("\n(1.1)Escape\n(1)read 1 bytes direct\n"), std::string::npos) << trace;
    // Reported once: the next look at the line finds no error.
    TraceRecordClear();
    EXPECT_EQ(ReadCommByte(&byte, 10), 0u);
    EXPECT_EQ(TraceRecordText().find("Error reported"), std::string::npos);
}

// A stand-in for the watcher that reports every request with mask 0, as a
// comm-event wait that failed would, after the given delay.
DWORD WINAPI MaskZeroWatcher(LPVOID delay) {
    for (;;) {  // parked like the real one at the end of the test
        WaitForSingleObject(g_waitEvent, INFINITE);
        Sleep((DWORD)(ULONG_PTR)delay);
        ResetEvent(g_waitEvent);
        g_lastEventMask = 0;
        SetEvent(g_rxReadyEvent);
    }
}

TEST_F(LineTest, AReportWithoutRxcharLooksAtTheLineItself) {
    // The byte at 5 ms is queued by the time the report comes at 10 ms.
    OpenSim("5 bytes 1 1 c3\n");
    g_watchThread = CreateThread(NULL, 65536, MaskZeroWatcher, (LPVOID)10, 0, &g_watchThreadId);
    ASSERT_NE(g_watchThread, nullptr);
    BYTE byte = 0;
    EXPECT_EQ(ReadCommByte(&byte, 200), 1u);
    EXPECT_EQ(byte, 0xC3);
    EXPECT_EQ(Elapsed(), 10u);
    EXPECT_EQ(TraceRecordText(),
              "(1)ClearCommError\nReset RxRy\nSet Wait\n(2)Reset RxRy\n(2)read 1 bytes direct\n");
    // Nothing queued: the report gives 0 at once.
    TraceRecordClear();
    EXPECT_EQ(ReadCommByte(&byte, 200), 0u);
    EXPECT_EQ(Elapsed(), 20u);
    EXPECT_EQ(TraceRecordText(), "(1)ClearCommError\nReset RxRy\nSet Wait\n(2)Reset RxRy\n");
}

TEST_F(LineTest, WithoutAWatcherQueuedBytesComeAndEmptyWaitsTakeTheLimit) {
    OpenSim("0 bytes 1 1 11\n300 bytes 1 1 22\n");
    BYTE byte = 0;
    EXPECT_EQ(ReadCommByte(&byte, 200), 1u);
    EXPECT_EQ(byte, 0x11);
    EXPECT_EQ(Elapsed(), 0u);
    EXPECT_EQ(ReadCommByte(&byte, 200), 0u);
    EXPECT_EQ(Elapsed(), 200u);
    // Nobody answers the request, so a byte during the wait does not end it.
    EXPECT_EQ(ReadCommByte(&byte, 200), 0u);
    EXPECT_EQ(Elapsed(), 400u);
    EXPECT_EQ(ReadCommByte(&byte, 200), 1u);
    EXPECT_EQ(byte, 0x22);
    EXPECT_EQ(Elapsed(), 400u);
}

TEST_F(LineTest, EscapePulseDropsRtsFor50ms) {
    OpenSim("");
    Sleep(30);
    EscapePulse();
    EXPECT_EQ(Elapsed(), 80u);
    EXPECT_EQ(Log(), "0 RTS on\n30 RTS off\n80 RTS on\n");
}

}  // namespace
