// The simulated line `sim` through the Win32 operations, on the virtual
// clock: the cable's loop from DTR to DSR, the scripted modem lines, bytes
// and errors at their exact ticks, unplugging, the DTR/RTS log, refused
// scripts, `end` and `repeat`, and the demonstration script played against
// the program's own rhythm.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"
#include "serial/posix/layer.h"
#include "serial/win32.h"

namespace {

constexpr DWORD kTickStart = 1000000;

// Before main and before any thread: the whole test process runs on the
// virtual clock, however it is started.
const bool g_virtualClock = (posixlayer::UseVirtualClockForTesting(true, kTickStart), true);

HANDLE OpenSim() {
    return CreateFileA("sim", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

class SimLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(g_virtualClock);
        // No port name may ever reach /dev.
        setenv("CABLETEST_DEVICE_DIR", dir_.path().c_str(), 1);
        unsetenv("CABLETEST_SIM_LOG");
        unsetenv("CABLETEST_SIM_SCRIPT");
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
    }

    std::string ScriptFile(const std::string& text, const std::string& name = "script") {
        EXPECT_TRUE(dir_.WriteFile(name, text));
        return dir_.File(name);
    }
    // Opens `sim` on a script; time 0 of the script is the returned tick.
    DWORD Open(const std::string& script) {
        setenv("CABLETEST_SIM_SCRIPT", ScriptFile(script).c_str(), 1);
        port_ = OpenSim();
        EXPECT_NE(port_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        return GetTickCount();
    }
    // Sleeps until `ms` after the open tick.
    void At(DWORD openTick, DWORD ms) {
        DWORD now = GetTickCount();
        ASSERT_LE(now - openTick, ms) << "the test itself went past its time";
        Sleep(openTick + ms - now);
        ASSERT_EQ(GetTickCount() - openTick, ms);
    }
    DWORD Modem() {
        DWORD status = 0xDEAD;
        EXPECT_TRUE(GetCommModemStatus(port_, &status)) << GetLastError();
        return status;
    }
    DWORD Errors(DWORD* inQueue = nullptr) {
        DWORD errors = 0xDEAD;
        COMSTAT stat{};
        EXPECT_TRUE(ClearCommError(port_, &errors, &stat)) << GetLastError();
        if (inQueue != nullptr) {
            *inQueue = stat.cbInQue;
        }
        return errors;
    }
    std::string Read(DWORD upTo) {
        std::string got(upTo, '\0');
        OVERLAPPED request{};
        DWORD n = 0;
        EXPECT_TRUE(ReadFile(port_, &got[0], upTo, &n, &request)) << GetLastError();
        got.resize(n);
        return got;
    }

    cabletest_test::TempDir dir_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

// ---- a comm-event wait on another thread, as the program's watcher does ------

struct PendingWait {
    HANDLE port = nullptr;
    bool wentPending = false;
    BOOL result = FALSE;
    DWORD error = 0;
    DWORD mask = 0xDEAD;
    DWORD tick = 0;
};

DWORD WINAPI WaitRoutine(LPVOID parameter) {
    PendingWait* w = static_cast<PendingWait*>(parameter);
    OVERLAPPED request{};
    request.hEvent = CreateEventA(nullptr, TRUE, FALSE, "CommWatch");
    BOOL now = WaitCommEvent(w->port, &w->mask, &request);
    w->wentPending = !now && GetLastError() == ERROR_IO_PENDING;
    if (w->wentPending) {
        DWORD count = 0;
        w->result = GetOverlappedResult(w->port, &request, &count, TRUE);
        w->error = w->result ? ERROR_SUCCESS : GetLastError();
    }
    w->tick = GetTickCount();
    CloseHandle(request.hEvent);
    return 0;
}

// Runs one comm-event wait on a thread of its own and returns when it ends.
PendingWait WaitOnThread(HANDLE port) {
    PendingWait w;
    w.port = port;
    EXPECT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 65536, WaitRoutine, &w, 0, &id);
    EXPECT_NE(thread, nullptr);
    if (thread != nullptr) {
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    return w;
}

// ---- the lines ----------------------------------------------------------------

TEST_F(SimLineTest, DsrFollowsDtrOnlyWhileTheCableIsPresent) {
    DWORD t0 = Open("100 cable on\n300 cable off\n");
    EXPECT_EQ(Modem(), 0u) << "every input starts off";
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    EXPECT_EQ(Modem() & MS_DSR_ON, 0u) << "no cable, no loop";

    At(t0, 99);
    EXPECT_EQ(Modem() & MS_DSR_ON, 0u);
    At(t0, 100);
    EXPECT_EQ(Modem(), MS_DSR_ON) << "DSR only: the cable loops nothing else";
    ASSERT_TRUE(EscapeCommFunction(port_, CLRDTR));
    EXPECT_EQ(Modem() & MS_DSR_ON, 0u);
    ASSERT_TRUE(EscapeCommFunction(port_, SETRTS));
    EXPECT_EQ(Modem() & MS_DSR_ON, 0u) << "RTS is not looped";

    // DTR by the line settings, as the program's open does.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(Modem() & MS_DSR_ON, MS_DSR_ON);
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(Modem() & MS_DSR_ON, 0u);

    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    At(t0, 299);
    EXPECT_EQ(Modem() & MS_DSR_ON, MS_DSR_ON);
    At(t0, 300);
    EXPECT_EQ(Modem() & MS_DSR_ON, 0u) << "cable gone while DTR is still up";
}

TEST_F(SimLineTest, CtsRingAndRlsdFollowTheScript) {
    DWORD t0 = Open(
        "10 cts on\n"
        "20 ring on\n"
        "30 rlsd on\n"
        "40 cts off\n"
        "40 ring off\n"
        "50 rlsd off\n");
    const struct {
        DWORD at;
        DWORD status;
    } steps[] = {
        {9, 0},
        {10, MS_CTS_ON},
        {20, MS_CTS_ON | MS_RING_ON},
        {29, MS_CTS_ON | MS_RING_ON},
        {30, MS_CTS_ON | MS_RING_ON | MS_RLSD_ON},
        {40, MS_RLSD_ON},
        {50, 0},
    };
    for (const auto& step : steps) {
        At(t0, step.at);
        EXPECT_EQ(Modem(), step.status) << "at " << step.at << " ms";
    }
}

TEST_F(SimLineTest, LineSettingsOutsideTheSubsetAreRefused) {
    Open("0 cable on\n");
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    DCB handshake = dcb;
    handshake.fDtrControl = DTR_CONTROL_HANDSHAKE;
    EXPECT_FALSE(SetCommState(port_, &handshake));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    DCB toggle = dcb;
    toggle.fRtsControl = RTS_CONTROL_TOGGLE;
    toggle.fDtrControl = DTR_CONTROL_ENABLE;
    EXPECT_FALSE(SetCommState(port_, &toggle));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Modem(), 0u) << "DTR untouched by a refused state";
}

TEST_F(SimLineTest, OnlyOneOpenerAtATime) {
    Open("");
    EXPECT_EQ(OpenSim(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(port_));
    port_ = OpenSim();
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << "closing frees the line";
}

// ---- received bytes -------------------------------------------------------------

TEST_F(SimLineTest, APendingWaitEndsAtTheScriptedTickOfTheFirstByte) {
    DWORD t0 = Open("250 bytes 3 10 41\n");
    PendingWait w = WaitOnThread(port_);
    EXPECT_TRUE(w.wentPending);
    EXPECT_TRUE(w.result) << w.error;
    EXPECT_EQ(w.mask, EV_RXCHAR);
    EXPECT_EQ(w.tick - t0, 250u);

    DWORD queued = 0;
    EXPECT_EQ(Errors(&queued), 0u);
    EXPECT_EQ(queued, 1u);
    EXPECT_EQ(Read(4), "A");
    EXPECT_EQ(Read(4), "") << "an empty queue reads nothing at once";
    At(t0, 259);
    Errors(&queued);
    EXPECT_EQ(queued, 0u);
    At(t0, 260);
    Errors(&queued);
    EXPECT_EQ(queued, 1u);
    At(t0, 500);
    Errors(&queued);
    EXPECT_EQ(queued, 2u);
    EXPECT_EQ(Read(4), "AA");
}

TEST_F(SimLineTest, AQueuedByteEndsAWaitAtOnceAndValuesDefaultToZero) {
    DWORD t0 = Open("5 bytes 2\n");
    At(t0, 6);
    PendingWait w = WaitOnThread(port_);
    EXPECT_FALSE(w.wentPending);
    EXPECT_EQ(w.mask, EV_RXCHAR);
    EXPECT_EQ(Read(8), std::string(2, '\0'));
}

TEST_F(SimLineTest, OverlappingBurstsArriveInTimeOrder) {
    DWORD t0 = Open(
        "10 bytes 3 10 61\n"   // a at 10, 20, 30
        "15 bytes 2 10 62\n"   // b at 15, 25
        "20 bytes 1 1 63\n");  // c at 20, after the a due then
    At(t0, 100);
    EXPECT_EQ(Read(16), "abacba");
}

TEST_F(SimLineTest, AFullQueueDropsBytesAndReportsOverrunOnce) {
    DWORD t0 = Open("10 bytes 40 1 7f\n");
    ASSERT_TRUE(SetupComm(port_, 16, 16));
    At(t0, 25);
    DWORD queued = 0;
    EXPECT_EQ(Errors(&queued), 0u) << "16 bytes by 25 ms: full, nothing lost yet";
    EXPECT_EQ(queued, 16u);
    At(t0, 26);
    EXPECT_EQ(Errors(&queued), CE_RXOVER);
    EXPECT_EQ(Errors(&queued), 0u) << "reported once";
    EXPECT_EQ(Read(64), std::string(16, '\x7f'));
    At(t0, 100);
    Errors(&queued);
    EXPECT_EQ(queued, 16u) << "the burst went on meanwhile";
}

TEST_F(SimLineTest, AFloodIntoAFullQueueCostsNeitherMemoryNorTime) {
    DWORD t0 = Open("10 bytes 100000000 1 55\n");
    ASSERT_TRUE(SetupComm(port_, 16, 16));
    At(t0, 60000000);  // most of a day of line time, 60 million bytes
    DWORD queued = 0;
    EXPECT_EQ(Errors(&queued), CE_RXOVER);
    EXPECT_EQ(queued, 16u);
    EXPECT_EQ(Read(16), std::string(16, 'U'));
    // Bytes come again on the burst's own beat once there is room.
    At(t0, 60000005);
    Errors(&queued);
    EXPECT_EQ(queued, 5u);
    // And the burst ends on time: 10 + 100000000 - 1 ms is its last byte.
    EXPECT_EQ(Read(16).size(), 5u);
    At(t0, 100000009);
    Errors(&queued);
    EXPECT_EQ(queued, 16u);
    EXPECT_EQ(Read(16).size(), 16u);
    At(t0, 100000010);
    Errors(&queued);
    EXPECT_EQ(queued, 0u);
}

// ---- line errors, unplugging ----------------------------------------------------

TEST_F(SimLineTest, EachLineErrorIsReportedOnceByTheNextQuery) {
    DWORD t0 = Open(
        "10 error frame\n"
        "20 error overrun\n"
        "30 error parity\n"
        "40 error break\n"
        "50 error frame\n"
        "50 error parity\n");
    const struct {
        DWORD at;
        DWORD errors;
    } steps[] = {{10, CE_FRAME},
                 {20, CE_OVERRUN},
                 {30, CE_RXPARITY},
                 {40, CE_BREAK},
                 {50, CE_FRAME | CE_RXPARITY}};
    EXPECT_EQ(Errors(), 0u);
    for (const auto& step : steps) {
        At(t0, step.at);
        EXPECT_EQ(Errors(), step.errors) << "at " << step.at << " ms";
        EXPECT_EQ(Errors(), 0u) << "again at " << step.at << " ms";
    }
}

TEST_F(SimLineTest, UnplugEndsAPendingWaitWithAFailureAndFailsEverythingAfter) {
    DWORD t0 = Open("100 unplug\n200 cts on\n300 bytes 5\n");
    PendingWait w = WaitOnThread(port_);
    EXPECT_TRUE(w.wentPending);
    EXPECT_FALSE(w.result);
    EXPECT_EQ(w.error, ERROR_GEN_FAILURE);
    EXPECT_EQ(w.mask, 0u);
    EXPECT_EQ(w.tick - t0, 100u);

    At(t0, 400);
    auto expectGone = [](BOOL ok, const char* what) {
        EXPECT_FALSE(ok) << what;
        EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE) << what;
    };
    DWORD word = 0;
    COMSTAT stat{};
    BYTE b = 0;
    OVERLAPPED request{};
    expectGone(GetCommModemStatus(port_, &word), "GetCommModemStatus");
    expectGone(ClearCommError(port_, &word, &stat), "ClearCommError");
    expectGone(ReadFile(port_, &b, 1, &word, &request), "ReadFile");
    expectGone(EscapeCommFunction(port_, SETDTR), "EscapeCommFunction");
    DCB dcb{};
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    expectGone(SetCommState(port_, &dcb), "SetCommState");
    expectGone(SetCommMask(port_, EV_RXCHAR), "SetCommMask");
    expectGone(WaitCommEvent(port_, &word, &request), "WaitCommEvent");
    EXPECT_TRUE(CloseHandle(port_));
    port_ = OpenSim();
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << "a new open plays the script afresh";
}

TEST_F(SimLineTest, AByteDueAtTheInstantOfUnplugArrivesFirst) {
    DWORD t0 = Open("100 bytes 2 10 31\n110 unplug\n");
    At(t0, 100);
    EXPECT_EQ(Read(4), "1");
    PendingWait w = WaitOnThread(port_);
    EXPECT_TRUE(w.result) << "the byte at 110 ends the wait before the line goes";
    EXPECT_EQ(w.mask, EV_RXCHAR);
    EXPECT_EQ(w.tick - t0, 110u);
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(SimLineTest, RepeatReplaysTheScriptFromItsOwnTime) {
    DWORD t0 = Open(
        "10 cts on\n"
        "15 bytes 1 1 01\n"
        "20 cts off\n"
        "30 repeat\n");
    const struct {
        DWORD at;
        DWORD cts;
        DWORD queued;
    } steps[] = {{9, 0, 0},
                 {10, MS_CTS_ON, 0},
                 {15, MS_CTS_ON, 1},
                 {20, 0, 1},
                 {39, 0, 1},
                 {40, MS_CTS_ON, 1},
                 {45, MS_CTS_ON, 2},
                 {50, 0, 2},
                 {3010, MS_CTS_ON, 100},
                 {3015, MS_CTS_ON, 101}};
    for (const auto& step : steps) {
        At(t0, step.at);
        DWORD queued = 0;
        Errors(&queued);
        EXPECT_EQ(Modem(), step.cts) << "at " << step.at << " ms";
        EXPECT_EQ(queued, step.queued) << "at " << step.at << " ms";
    }
}

// ---- the log ----------------------------------------------------------------------

TEST_F(SimLineTest, TheLogHoldsEachChangeOfDtrAndRtsAtOnce) {
    std::string log = dir_.File("lines.log");
    ASSERT_TRUE(dir_.WriteFile("lines.log", "earlier run\n"));
    setenv("CABLETEST_SIM_LOG", log.c_str(), 1);
    DWORD t0 = Open("");
    EXPECT_EQ(dir_.ReadFile("lines.log"), "earlier run\n") << "the open changes nothing";

    At(t0, 5);
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    EXPECT_EQ(dir_.ReadFile("lines.log"), "earlier run\n5 DTR on\n") << "written at once";
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));  // no change, no line
    At(t0, 15);
    ASSERT_TRUE(EscapeCommFunction(port_, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(port_, SETRTS));
    At(t0, 65);
    ASSERT_TRUE(EscapeCommFunction(port_, CLRRTS));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_TRUE(SetCommState(port_, &dcb));  // again: nothing changes
    EXPECT_EQ(dir_.ReadFile("lines.log"),
              "earlier run\n"
              "5 DTR on\n"
              "15 DTR off\n"
              "15 RTS on\n"
              "65 RTS off\n"
              "65 DTR on\n"
              "65 RTS on\n");
}

TEST_F(SimLineTest, ALogThatCannotBeOpenedRefusesTheOpen) {
    setenv("CABLETEST_SIM_LOG", dir_.File("no/such/folder/log").c_str(), 1);
    setenv("CABLETEST_SIM_SCRIPT", ScriptFile("").c_str(), 1);
    EXPECT_EQ(OpenSim(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// ---- refused scripts ----------------------------------------------------------------

// What an open writes on standard error.
std::string OpenCapturingStderr(HANDLE* port, const std::string& file) {
    fflush(stderr);
    int saved = dup(2);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    dup2(fd, 2);
    close(fd);
    *port = OpenSim();
    DWORD error = GetLastError();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    SetLastError(error);
    std::string text;
    FILE* in = fopen(file.c_str(), "r");
    if (in != nullptr) {
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) {
            text.append(buffer, n);
        }
        fclose(in);
    }
    return text;
}

TEST_F(SimLineTest, AMalformedScriptIsRefusedWithOneLineNamingItsFault) {
    const struct {
        const char* script;
        const char* message;
    } cases[] = {
        {"10 cable on\n# fine so far\n20 cable sideways\n", "line 3: cable needs on or off"},
        {"10 bytes 0\n", "line 1: byte count must be 1 to"},
        {"30 cts on\n20 cts off\n", "line 2: time 20 is before"},
        {"0 repeat\n", "line 1: repeat at 0 ms"},
    };
    for (const auto& c : cases) {
        std::string path = ScriptFile(c.script);
        setenv("CABLETEST_SIM_SCRIPT", path.c_str(), 1);
        HANDLE port = nullptr;
        std::string err = OpenCapturingStderr(&port, dir_.File("stderr"));
        EXPECT_EQ(port, INVALID_HANDLE_VALUE) << c.script;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA) << c.script;
        EXPECT_NE(err.find(path), std::string::npos) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        ASSERT_FALSE(err.empty());
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    }
    // Nothing stays half open: a good script opens now.
    Open("10 cts on\n");
}

TEST_F(SimLineTest, AMissingScriptFileIsNotFound) {
    setenv("CABLETEST_SIM_SCRIPT", dir_.File("missing").c_str(), 1);
    HANDLE port = nullptr;
    std::string err = OpenCapturingStderr(&port, dir_.File("stderr"));
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(err.find(dir_.File("missing")), std::string::npos) << err;
}

TEST_F(SimLineTest, AScriptThatIsNotARegularFileIsRefusedWithoutWaiting) {
    // Read with the layer's lock held, a pipe with no writer would stop
    // every thread of the program.
    std::string fifo = dir_.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("CABLETEST_SIM_SCRIPT", fifo.c_str(), 1);
    HANDLE port = nullptr;
    std::string err = OpenCapturingStderr(&port, dir_.File("stderr"));
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_NE(err.find(fifo), std::string::npos) << err;
}

// ---- end ----------------------------------------------------------------------------

// Not a test of its own: the child that SimEnd starts. It waits in the layer
// on two threads, as the program does, until the script's `end`.
TEST(SimEndChild, DISABLED_WaitsUntilTheScriptEnds) {
    HANDLE port = OpenSim();
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    std::printf("written before the end, not yet flushed");
    PendingWait w;
    w.port = port;
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 65536, WaitRoutine, &w, 0, &id);
    ASSERT_NE(thread, nullptr);
    Sleep(1000000);
    ADD_FAILURE() << "still running after the end";
}

TEST_F(SimLineTest, EndFlushesStandardOutputAndExitsWithZero) {
    cabletest_test::RunOptions options;
    options.program = "/proc/self/exe";
    options.args = {"--gtest_filter=SimEndChild.DISABLED_WaitsUntilTheScriptEnds",
                    "--gtest_also_run_disabled_tests"};
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir_.path()},
                       {"CABLETEST_SIM_SCRIPT", ScriptFile("50 cts on\n700 end\n")}};
    options.env_unset = {"CABLETEST_SIM_LOG"};
    options.stdout_to = cabletest_test::StdoutTo::kFile;
    options.stdout_file = dir_.File("stdout");
    cabletest_test::Process child;
    ASSERT_TRUE(child.Start(options)) << child.error();
    cabletest_test::ExitStatus status = child.WaitExit(cabletest_test::Millis(10000));
    EXPECT_TRUE(status.Exited(0)) << status.Describe() << "\n"
                                  << child.Output(cabletest_test::Stream::kStderr);
    std::string out = child.Output(cabletest_test::Stream::kStdout);
    EXPECT_NE(out.find("written before the end, not yet flushed"), std::string::npos) << out;
    EXPECT_EQ(out.find("still running"), std::string::npos) << out;
}

// ---- the demonstration ------------------------------------------------------------

// Plays the built-in script against the program's own rhythm: a receive with
// a 200 ms limit, and on a quiet line a 10 ms DTR pulse with a DSR sample; a
// byte more than 750 ms after the last burst is a carriage pass.
TEST_F(SimLineTest, TheDemonstrationShowsEveryReportWithinTenSecondsAndLoops) {
    DWORD t0 = GetTickCount();
    port_ = OpenSim();  // no script named: the built-in one
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    OVERLAPPED wait{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, "CommWatch");
    DWORD mask = 0;
    bool pending = false;
    DWORD lastPass = 0;
    bool first = true;
    DWORD dsr = 0;
    std::vector<std::string> reports;
    while (GetTickCount() - t0 < 11000) {
        DWORD errors = 0;
        COMSTAT stat{};
        ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
        if (errors != 0) {
            reports.push_back("error");
        }
        bool byte = stat.cbInQue > 0;
        if (!byte) {
            if (!pending) {
                BOOL now = WaitCommEvent(port_, &mask, &wait);
                pending = !now;
                ASSERT_TRUE(now || GetLastError() == ERROR_IO_PENDING);
            }
            if (pending && WaitForSingleObject(wait.hEvent, 200) == WAIT_OBJECT_0) {
                DWORD count = 0;
                ASSERT_TRUE(GetOverlappedResult(port_, &wait, &count, FALSE));
                pending = false;
                continue;  // the queue is looked at again
            }
        }
        if (byte) {
            ASSERT_EQ(Read(1).size(), 1u);
            DWORD now = GetTickCount();
            if (first || now - lastPass > 750) {
                reports.push_back("pass");
                lastPass = now;
            } else if (now - lastPass < 100) {
                lastPass = now;
            }
            first = false;
            continue;
        }
        ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
        Sleep(10);
        DWORD status = Modem();
        ASSERT_TRUE(EscapeCommFunction(port_, CLRDTR));
        if ((status & MS_DSR_ON) != dsr) {
            dsr = status & MS_DSR_ON;
            reports.push_back(dsr ? "connected" : "disconnected");
        }
    }
    if (pending) {
        SetCommMask(port_, EV_RXCHAR);  // ends the wait
    }
    CloseHandle(wait.hEvent);
    std::string all;
    for (const std::string& r : reports) {
        all += r + " ";
    }
    EXPECT_EQ(all,
              "connected pass pass error disconnected connected pass error disconnected "
              "connected ");
}

}  // namespace
