// The simulated line `sim` on the virtual clock (the suite runs with CABLETEST_CLOCK=virtual), in
// this process: its lines, bytes and errors at their exact ticks through the Win32 operations;
// then the program's own line routines on it: the port's settings and every way a byte is
// received, with a stand-in for the watcher where the real one cannot be made to answer as
// needed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "serial/line.h"

namespace {

const DWORD kWait = 0xFFFFFFFF, kDtrOn = 0xFFFFFFFE, kDtrOff = 0xFFFFFFFD;

struct Sim : ::testing::Test {
    void SetUp() override {
        setenv("CABLETEST_SIM_SCRIPT", (dir / "script").c_str(), 1);
        setenv("CABLETEST_SIM_LOG", (dir / "log").c_str(), 1);
    }
    static HANDLE OpenSim() {
        return CreateFileA("sim", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    // Opens the line playing `script`, by the program's own routine or else as a port.
    HANDLE Open(const std::string& script, bool program = false) {
        harness::WriteFile(dir / "script", script);
        HANDLE port = program ? OpenCommPort("sim") : OpenSim();
        EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        t0 = GetTickCount();
        return port;
    }
    // At each of `ticks`: "<ms>[ lines on][ errors][ <queued>:<bytes read>]"; at kWait a
    // comm-event wait for a byte, as the watcher makes it: "wait <ms>[ pending] mask <m>[ error
    // <e>]"; kDtrOn and kDtrOff set DTR. Joined by "; ".
    std::string Observe(HANDLE port, const std::vector<DWORD>& ticks) {
        const DWORD bits[] = {MS_CTS_ON,  MS_RING_ON,  MS_RLSD_ON, MS_DSR_ON, CE_FRAME,
                              CE_OVERRUN, CE_RXPARITY, CE_BREAK,   CE_RXOVER};
        const char* names[] = {" cts",     " ring",   " rlsd",  " dsr",   " frame",
                               " overrun", " parity", " break", " rxover"};
        std::string seen;
        for (DWORD ms : ticks) {
            DWORD status = 0, error = 0, again = 0, n = 0, mask = 0;
            COMSTAT stat{};
            char bytes[64];
            OVERLAPPED request{};
            if (ms == kDtrOn || ms == kDtrOff) {
                EXPECT_TRUE(EscapeCommFunction(port, ms == kDtrOn ? SETDTR : CLRDTR));
                continue;
            }
            seen += seen.empty() ? "" : "; ";
            if (ms == kWait) {
                request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                BOOL ok = SetCommMask(port, EV_RXCHAR) && WaitCommEvent(port, &mask, &request);
                const bool pending = !ok && GetLastError() == ERROR_IO_PENDING;
                ok = ok || (pending && GetOverlappedResult(port, &request, &n, TRUE));
                seen += "wait " + std::to_string(GetTickCount() - t0) +
                        (pending ? " pending" : "") + " mask " + std::to_string(mask) +
                        (ok ? "" : " error " + std::to_string(GetLastError()));
                CloseHandle(request.hEvent);
                continue;
            }
            EXPECT_LE(GetTickCount() - t0, ms) << "the test itself went past its time";
            Sleep(t0 + ms - GetTickCount());
            EXPECT_TRUE(GetCommModemStatus(port, &status) && ClearCommError(port, &error, &stat) &&
                        ClearCommError(port, &again, nullptr) && again == 0 &&
                        ReadFile(port, bytes, sizeof bytes, &n, &request));
            seen += std::to_string(ms);
            for (size_t i = 0; i < 9; ++i)
                seen += ((i < 4 ? status : error) & bits[i]) ? names[i] : "";
            seen += (stat.cbInQue || n ? " " + std::to_string(stat.cbInQue) + ":" : "") +
                    std::string(bytes, n);
        }
        return seen;
    }
    harness::TempDir dir;
    DWORD t0 = 0;
};

TEST_F(Sim, LinesBytesAndErrorsAtTheirExactTicks) {
    // clang-format off
    const struct { const char* script; std::vector<DWORD> ticks; const char* seen; } timelines[] = {
        // The cable loops DTR back to DSR.
        {"100 cable on\n300 cable off\n", {0, kDtrOn, 99, 100, kDtrOff, 101, kDtrOn, 299, 300},
         "0; 99; 100 dsr; 101; 299 dsr; 300"},
        // Errors are reported once each.
        {"10 cts on\n10 error frame\n20 ring on\n20 error overrun\n30 rlsd on\n30 error parity\n"
         "40 cts off\n40 ring off\n40 error break\n50 rlsd off\n50 error frame\n50 error parity\n",
         {9, 10, 29, 30, 40, 50},
         "9; 10 cts frame; 29 cts ring overrun; 30 cts ring rlsd parity; 40 rlsd break; 50 frame parity"},
        // A pending wait ends at the byte's tick; with a byte queued, at once.
        {"250 bytes 3 10 41\n", {kWait, kWait, 250, 259, 260, 300},
         "wait 250 pending mask 1; wait 250 mask 1; 250 1:A; 259; 260 1:A; 300 1:A"},
        // Overlapping bursts keep their own pace; at one tick, in script order.
        {"10 bytes 3 10 61\n15 bytes 2 10 62\n20 bytes 1 1 63\n", {100}, "100 6:abacba"},
        {"10 bytes 16 1 61\n100 bytes 17 1 62\n", {99, 200},
         "99 16:aaaaaaaaaaaaaaaa; 200 rxover 16:bbbbbbbbbbbbbbbb"},
        // A day-long flood into a full queue costs neither memory nor time, and keeps its beat.
        {"10 bytes 100000000 1 55\n", {60000000, 60000005, 100000009, 100000010},
         "60000000 rxover 16:UUUUUUUUUUUUUUUU; 60000005 5:UUUUU; "
         "100000009 rxover 16:UUUUUUUUUUUUUUUU; 100000010"},
        {"10 cts on\n15 bytes 1 1 72\n20 cts off\n30 repeat\n", {9, 15, 20, 39, 40, 45, 50, 3015},
         "9; 15 cts 1:r; 20; 39; 40 cts; 45 cts 1:r; 50; 3015 cts rxover 16:rrrrrrrrrrrrrrrr"}};
    // clang-format on
    for (const auto& t : timelines) {
        HANDLE port = Open(t.script);
        ASSERT_TRUE(SetupComm(port, 16, 16));
        EXPECT_EQ(OpenSim(), INVALID_HANDLE_VALUE) << "one opener";
        EXPECT_EQ(Observe(port, t.ticks), t.seen) << t.script;
        EXPECT_TRUE(CloseHandle(port));
    }
}

// Unplugging ends a pending wait with a failure, and every later call; a byte due then comes
// first. The device cannot be opened (2) until its replug, while the script plays on; back, it is
// a new port on the same timeline, with nothing queued or pending. The old handle stays gone.
TEST_F(Sim, PulledOutItCannotBeOpenedUntilItsReplug) {
    HANDLE port = Open(
        "0 cable on\n110 bytes 1\n110 unplug\n150 cts on\n160 bytes 5\n"
        "170 error frame\n200 replug\n250 bytes 1 1 41\n");
    EXPECT_EQ(Observe(port, {kDtrOn, kWait, kWait}),
              "wait 110 pending mask 1; wait 110 mask 0 error 31");
    for (DWORD ms : {110, 199}) {
        Sleep(t0 + ms - GetTickCount());
        EXPECT_TRUE(OpenSim() == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND);
    }
    Sleep(1);
    HANDLE back = OpenSim();
    ASSERT_NE(back, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(Observe(back, {200, kDtrOn, 250}), "200 cts; 250 cts dsr 1:A");
    EXPECT_TRUE(!ClearCommError(port, nullptr, nullptr) && GetLastError() == ERROR_GEN_FAILURE);
    EXPECT_EQ(harness::ReadFile(dir / "log"), "0 DTR on\n200 DTR on\n");
    EXPECT_TRUE(CloseHandle(port) && CloseHandle(back));
    EXPECT_EQ(Observe(Open("10 cts on\n"), {10}), "10 cts") << "closed, it starts afresh";
}

// A stand-in for the watcher: answers each request 10 ms later with `mask`, as a wait that ended
// without a byte (0), or whose byte somebody else took (EV_RXCHAR), would.
DWORD WINAPI StandIn(LPVOID mask) {
    for (;;) {
        WaitForSingleObject(g_waitEvent, INFINITE);
        Sleep(10);
        ResetEvent(g_waitEvent);
        g_lastEventMask = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(mask));
        SetEvent(g_rxReadyEvent);
    }
}

struct Line : Sim {
    void SetUp() override {
        Sim::SetUp();
        g_running = 1;
        g_rxReadyEvent = CreateEventA(NULL, TRUE, FALSE, "RxRdyEvent");
        g_queuedEvent = CreateEventA(NULL, TRUE, FALSE, "QueuedEvent");
        g_waitEvent = CreateEventA(NULL, TRUE, FALSE, "WaitEvent");
    }
    void TearDown() override {  // a watcher cannot be stopped: a new mask ends its wait for good
        Sleep(20);
        SetCommMask(g_port, 0);
        Sleep(20);
        CloseHandle(g_port);
    }
};

TEST_F(Line, TheOpenSetsEverySettingAndLeavesDtrLow) {
    g_port = Open("", true);
    DCB d;
    memset(&d, 0x5A, sizeof d);
    DWORD flags = 0, mask = 0xFFFF;  // flags: the bit fields as one word
    COMMTIMEOUTS t;
    const COMMTIMEOUTS want = {MAXDWORD, 0, 0, 0, 5000};
    ASSERT_TRUE(GetCommState(g_port, &d) && GetCommTimeouts(g_port, &t) &&
                GetCommMask(g_port, &mask));
    memcpy(&flags, reinterpret_cast<const char*>(&d) + 8, sizeof flags);
    EXPECT_TRUE(d.DCBlength == sizeof d && d.BaudRate == 9600 && flags == 0x1001 &&
                d.XonLim == 2048 && d.XoffLim == 512 && d.ByteSize == 8 && d.Parity == NOPARITY &&
                d.StopBits == ONESTOPBIT && d.wReserved == 0 && d.wReserved1 == 0);
    EXPECT_EQ(std::string(&d.XonChar, 5), "\x11\x13\xff\xfe\xfd");
    EXPECT_EQ(memcmp(&t, &want, sizeof t), 0);
    EXPECT_EQ(mask, 0u) << "armed by the watcher only";
    EXPECT_TRUE(g_readRequest.hEvent && g_writeRequest.hEvent != g_readRequest.hEvent);
    EXPECT_EQ(harness::ReadFile(dir / "log"), "0 RTS on\n");
}

// ReadCommByte calls in a row, each after a sleep, with its limit, its result and the tick it
// returns at; then the line's log after the open's "0 RTS on".
struct Read {
    DWORD sleep, limit, count, value, tick;
};
struct ReceiveCase {
    const char* name;
    const char* script;
    int watcher;  // 0: none, 1: the real one, else a stand-in answering with mask watcher - 2
    std::vector<Read> reads;
    std::string log;
};

class Receive : public Line, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(Receive, Case) {
    const ReceiveCase& c = GetParam();
    g_port = Open(c.script, true);
    LPVOID mask = reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(c.watcher - 2));
    if (c.watcher != 0)
        g_watchThread = CreateThread(NULL, 65536, c.watcher == 1 ? CommWatchThread : StandIn, mask,
                                     0, &g_watchThreadId);
    for (const Read& r : c.reads) {
        Sleep(r.sleep);
        BYTE byte = 0;
        EXPECT_EQ(ReadCommByte(&byte, r.limit), r.count) << "returning at " << r.tick;
        EXPECT_EQ(byte, r.count ? r.value : 0u) << r.tick;
        EXPECT_EQ(GetTickCount() - t0, r.tick);
    }
    EXPECT_EQ(harness::ReadFile(dir / "log"), "0 RTS on\n" + c.log);
}

// clang-format off
const ReceiveCase kReceiveCases[] = {
    // The first call gives up with its request out; the byte at 80 still comes, once.
    {"LateReportIsNotTakenForTheNextRequest", "80 bytes 1 1 01\n", 1,
     {{0, 50, 0, 0, 50}, {100, 200, 1, 0x01, 150}, {0, 200, 0, 0, 350}}, ""},
    // A report without EV_RXCHAR: the receiver looks at the line itself.
    {"ReportWithoutAByte", "5 bytes 1 1 c3\n", 2, {{0, 200, 1, 0xC3, 10}, {0, 200, 0, 0, 20}}, ""},
    // A report of a byte that is not there: the empty read is answered like a line error.
    {"ReportOfAByteThatIsGone", "", 2 + EV_RXCHAR, {{0, 200, 0, 0, 60}}, "10 RTS off\n60 RTS on\n"},
    // Nobody answers the request, so a byte during the wait does not end it.
    {"WithoutAWatcher", "0 bytes 1 1 11\n300 bytes 1 1 22\n", 0,
     {{0, 200, 1, 0x11, 0}, {0, 200, 0, 0, 200}, {0, 200, 0, 0, 400}, {0, 200, 1, 0x22, 400}}, ""}};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Line, Receive, ::testing::ValuesIn(kReceiveCases),
                         [](const auto& i) { return std::string(i.param.name); });

// A script or log the line cannot use refuses the open, after one line on standard error.
TEST(SimRefused, EachReasonInOneLineOnStandardError) {
    harness::TempDir dir;
    const std::string bad = dir / "bad", fifo = dir / "fifo", none = dir / "none";
    ASSERT_TRUE(harness::WriteFile(bad, "10 cable on\n# fine so far\n20 cable sideways\n"));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // read under the lock, it would stop every thread
    const std::string why = ": No such file or directory\n";
    const struct {
        std::string variable, path, err;
        int code;
    } cases[] = {{"SCRIPT", bad,
                  "sim script " + bad + ": line 3: cable needs on or off, not \"sideways\"\n", 13},
                 {"SCRIPT", none, "sim script " + none + ": cannot be read" + why, 2},
                 {"SCRIPT", fifo,
                  "sim script " + fifo + ": not a regular file of at most 1048576 bytes\n", 13},
                 {"LOG", none + "/log", "sim log " + none + "/log: cannot be opened" + why, 2},
                 // Written under the lock: a FIFO without a reader (or one that stops reading)
                 // or a device could stop every thread.
                 {"LOG", fifo, "sim log " + fifo + ": not a regular file\n", 13},
                 {"LOG", "/dev/null", "sim log /dev/null: not a regular file\n", 13}};
    for (const auto& c : cases) {
        harness::SimRun run =
            harness::RunSim("", {"sim"}, {{"CABLETEST_SIM_" + c.variable, c.path}});
        EXPECT_TRUE(run.status.Exited(1) && run.err == c.err) << run.err;
        EXPECT_EQ(run.out, harness::Refused("sim", c.code));
    }
}

}  // namespace
