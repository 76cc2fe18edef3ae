// The simulated line `sim` through the Win32 operations, on the virtual
// clock: the cable's loop from DTR to DSR, scripted lines, bytes and errors at
// their exact ticks, unplugging, the DTR/RTS log, refused opens, `end`, and
// the built-in demonstration.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/posix/clock.h"
#include "platform/win32.h"

namespace {

// Before main and before any thread: the whole process runs on the virtual
// clock, however it is started.
const bool g_virtualClock = (posixlayer::UseVirtualClockForTesting(true, 1000000), true);

HANDLE OpenSim() {
    return CreateFileA("sim", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

constexpr DWORD kWait = 0xFFFFFFFF;

class SimLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(g_virtualClock);
        setenv("CABLETEST_DEVICE_DIR", dir_.path().c_str(), 1);  // never /dev
        unsetenv("CABLETEST_SIM_LOG");
    }
    void TearDown() override { Close(); }
    void Close() {  // a failing CloseHandle(INVALID_HANDLE_VALUE) does no harm
        CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
    }
    std::string ScriptFile(const std::string& text) {
        EXPECT_TRUE(dir_.WriteFile("script", text));
        return dir_.File("script");
    }
    // Opens `sim` on a script; time 0 of the script is the returned tick.
    DWORD Open(const std::string& script) {
        Close();
        setenv("CABLETEST_SIM_SCRIPT", ScriptFile(script).c_str(), 1);
        port_ = OpenSim();
        EXPECT_NE(port_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        return GetTickCount();
    }
    void At(DWORD t0, DWORD ms) {
        ASSERT_LE(GetTickCount() - t0, ms) << "the test itself went past its time";
        Sleep(t0 + ms - GetTickCount());
        ASSERT_EQ(GetTickCount() - t0, ms);
    }
    std::string Read(DWORD upTo) {
        std::string got(upTo, '\0');
        OVERLAPPED request{};
        DWORD n = 0;
        EXPECT_TRUE(ReadFile(port_, &got[0], upTo, &n, &request)) << GetLastError();
        got.resize(n);
        return got;
    }
    // "<ms>[ lines on][ errors][ <queued>:<bytes read>]" at `ms` after t0.
    std::string Observe(DWORD t0, DWORD ms) {
        At(t0, ms);
        // clang-format off
        const std::pair<DWORD, const char*> names[] = {
            {MS_CTS_ON, " cts"}, {MS_RING_ON, " ring"}, {MS_RLSD_ON, " rlsd"}, {MS_DSR_ON, " dsr"},
            {CE_FRAME, " frame"}, {CE_OVERRUN, " overrun"}, {CE_RXPARITY, " parity"},
            {CE_BREAK, " break"}, {CE_RXOVER, " rxover"}};
        // clang-format on
        DWORD status = 0xDEAD, error = 0xDEAD, again = 0xDEAD;
        COMSTAT stat{};
        EXPECT_TRUE(GetCommModemStatus(port_, &status) && ClearCommError(port_, &error, &stat) &&
                    ClearCommError(port_, &again, nullptr))
            << GetLastError();
        EXPECT_EQ(again, 0u) << "each error is reported once";
        DWORD queued = stat.cbInQue;
        std::string seen = std::to_string(ms), bytes = Read(64);
        for (size_t i = 0; i < 9; ++i) {
            seen += ((i < 4 ? status : error) & names[i].first) ? names[i].second : "";
        }
        return seen + (queued || !bytes.empty() ? " " + std::to_string(queued) + ":" + bytes : "");
    }
    // Observations at each of `ticks` (kWait: a wait instead), joined by "; ".
    std::string Observe(DWORD t0, const std::vector<DWORD>& ticks) {
        std::string seen;
        for (DWORD ms : ticks) {
            seen +=
                (seen.empty() ? "" : "; ") + (ms == kWait ? "wait " + Wait(t0) : Observe(t0, ms));
        }
        return seen;
    }
    // A comm-event wait for a byte, to its end, as the program's watcher
    // does: "<ms>[ pending] mask <m>[ error <e>]".
    std::string Wait(DWORD t0) {
        EXPECT_TRUE(SetCommMask(port_, EV_RXCHAR));
        OVERLAPPED request{};
        request.hEvent = CreateEventA(nullptr, TRUE, FALSE, "CommWatch");
        DWORD mask = 0xDEAD, count = 0;
        std::string pending;
        BOOL ok = WaitCommEvent(port_, &mask, &request);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            pending = " pending";
            ok = GetOverlappedResult(port_, &request, &count, TRUE);
        }
        std::string seen = std::to_string(GetTickCount() - t0) + pending + " mask " +
                           std::to_string(mask) +
                           (ok ? "" : " error " + std::to_string(GetLastError()));
        CloseHandle(request.hEvent);
        return seen;
    }

    cabletest_test::TempDir dir_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(SimLineTest, DsrFollowsDtrOnlyWhileTheCableIsPresent) {
    DWORD t0 = Open("100 cable on\n300 cable off\n");
    EXPECT_EQ(OpenSim(), INVALID_HANDLE_VALUE) << "one opener at a time";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    std::string seen = Observe(t0, 0);
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    seen += "; " + Observe(t0, {99, 100});
    ASSERT_TRUE(EscapeCommFunction(port_, CLRDTR) && EscapeCommFunction(port_, SETRTS));
    seen += "; " + Observe(t0, 101);  // RTS is not looped
    DCB dcb{};                        // DTR by the line settings, as the program's open does
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    seen += "; " + Observe(t0, {102, 299, 300});
    EXPECT_EQ(seen, "0; 99; 100 dsr; 101; 102 dsr; 299 dsr; 300");
}

TEST_F(SimLineTest, ScriptedLinesBytesAndErrorsAtTheirExactTicks) {
    // clang-format off
    const struct {
        const char* script;
        std::vector<DWORD> ticks;
        const char* seen;
    } timelines[] = {
        {"10 cts on\n20 ring on\n30 rlsd on\n40 cts off\n40 ring off\n50 rlsd off\n",
         {9, 10, 29, 30, 40, 50}, "9; 10 cts; 29 cts ring; 30 cts ring rlsd; 40 rlsd; 50"},
        {"10 error frame\n20 error overrun\n30 error parity\n40 error break\n"
         "50 error frame\n50 error parity\n",
         {9, 10, 20, 30, 40, 50}, "9; 10 frame; 20 overrun; 30 parity; 40 break; 50 frame parity"},
        // A pending wait ends at the tick of the byte; with a byte queued, at once.
        {"250 bytes 3 10 41\n", {kWait, kWait, 250, 259, 260, 300},
         "wait 250 pending mask 1; wait 250 mask 1; 250 1:A; 259; 260 1:A; 300 1:A"},
        // Overlapping bursts merge in time order; at one tick, in script order.
        {"10 bytes 3 10 61\n15 bytes 2 10 62\n20 bytes 1 1 63\n", {100}, "100 6:abacba"},
        {"10 bytes 16 1 61\n100 bytes 17 1 62\n", {99, 200},
         "99 16:aaaaaaaaaaaaaaaa; 200 rxover 16:bbbbbbbbbbbbbbbb"},
        // A day-long flood into a full queue costs neither memory nor time,
        // and keeps its own beat and its end.
        {"10 bytes 100000000 1 55\n", {60000000, 60000005, 100000009, 100000010},
         "60000000 rxover 16:UUUUUUUUUUUUUUUU; 60000005 5:UUUUU; "
         "100000009 rxover 16:UUUUUUUUUUUUUUUU; 100000010"},
        {"10 cts on\n15 bytes 1 1 72\n20 cts off\n30 repeat\n",
         {9, 15, 20, 39, 40, 45, 50, 3010, 3015},
         "9; 15 cts 1:r; 20; 39; 40 cts; 45 cts 1:r; 50; "
         "3010 cts rxover 16:rrrrrrrrrrrrrrrr; 3015 cts 1:r"},
        // Unplug ends a pending wait with a failure; a byte due then comes first.
        {"100 unplug\n200 cts on\n", {kWait}, "wait 100 pending mask 0 error 31"},
        {"110 bytes 1\n110 unplug\n", {kWait}, "wait 110 pending mask 1"},
    };
    // clang-format on
    for (const auto& t : timelines) {
        DWORD t0 = Open(t.script);
        ASSERT_TRUE(SetupComm(port_, 16, 16));
        EXPECT_EQ(Observe(t0, t.ticks), t.seen) << t.script;
    }
}

TEST_F(SimLineTest, AfterUnplugEveryOperationFailsUntilANewOpen) {
    DWORD t0 = Open("100 unplug\n");
    At(t0, 100);
    DWORD word = 0;
    OVERLAPPED request{};
    DCB dcb{};
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    auto expectGone = [](BOOL ok, const char* what) {
        EXPECT_FALSE(ok) << what;
        EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE) << what;
    };
    expectGone(GetCommModemStatus(port_, &word), "GetCommModemStatus");
    expectGone(ClearCommError(port_, &word, nullptr), "ClearCommError");
    expectGone(ReadFile(port_, &word, 1, &word, &request), "ReadFile");
    expectGone(EscapeCommFunction(port_, SETDTR), "EscapeCommFunction");
    expectGone(SetCommState(port_, &dcb), "SetCommState");
    expectGone(SetCommMask(port_, EV_RXCHAR), "SetCommMask");
    expectGone(WaitCommEvent(port_, &word, &request), "WaitCommEvent");
    Close();
    port_ = OpenSim();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "a new open plays the script afresh";
    EXPECT_EQ(Observe(GetTickCount(), 0), "0");
}

TEST_F(SimLineTest, TheLogHoldsEachChangeOfDtrAndRtsAtOnce) {
    ASSERT_TRUE(dir_.WriteFile("lines.log", "earlier run\n"));
    setenv("CABLETEST_SIM_LOG", dir_.File("lines.log").c_str(), 1);
    DWORD t0 = Open("");
    At(t0, 5);
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    EXPECT_EQ(dir_.ReadFile("lines.log"), "earlier run\n5 DTR on\n") << "written at once";
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));  // no change, no line
    At(t0, 15);
    ASSERT_TRUE(EscapeCommFunction(port_, CLRDTR) && EscapeCommFunction(port_, SETRTS));
    At(t0, 65);
    ASSERT_TRUE(EscapeCommFunction(port_, CLRRTS));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_TRUE(SetCommState(port_, &dcb));  // again: nothing changes
    EXPECT_EQ(dir_.ReadFile("lines.log"),
              "earlier run\n5 DTR on\n15 DTR off\n15 RTS on\n65 RTS off\n65 DTR on\n65 RTS on\n");
}

TEST_F(SimLineTest, RefusedOpensSayWhyInOneLineOnStandardError) {
    const std::string bad = dir_.File("bad"), fifo = dir_.File("fifo"), good = ScriptFile("");
    const std::string missing = dir_.File("missing"), log = dir_.File("no/such/folder/log");
    ASSERT_TRUE(dir_.WriteFile("bad", "10 cable on\n# fine so far\n20 cable sideways\n"));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // read under the lock, it would stop every thread
    const std::string notFound = "No such file or directory\n";
    const struct {
        std::string script, log;
        DWORD error;
        std::string message;
    } cases[] = {
        {bad, "", ERROR_INVALID_DATA,
         "sim script " + bad + ": line 3: cable needs on or off, not \"sideways\"\n"},
        {good, log, ERROR_FILE_NOT_FOUND, "sim log " + log + ": cannot be opened: " + notFound},
        {missing, "", ERROR_FILE_NOT_FOUND,
         "sim script " + missing + ": cannot be read: " + notFound},
        {fifo, "", ERROR_INVALID_DATA,
         "sim script " + fifo + ": not a regular file of at most 1048576 bytes\n"},
    };
    for (const auto& c : cases) {
        setenv("CABLETEST_SIM_SCRIPT", c.script.c_str(), 1);
        c.log.empty() ? unsetenv("CABLETEST_SIM_LOG")
                      : setenv("CABLETEST_SIM_LOG", c.log.c_str(), 1);
        fflush(stderr);
        int saved = dup(2), fd = open(dir_.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        dup2(fd, 2);
        close(fd);
        HANDLE port = OpenSim();
        DWORD error = GetLastError();
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        EXPECT_EQ(port, INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, c.error) << c.script;
        EXPECT_EQ(dir_.ReadFile("err"), c.message);
    }
    Open("10 cts on\n");  // nothing stays half open
}

// Not a test of its own: the child of the next test, waiting in the layer on
// two threads, as the program does, until the script's `end`.
TEST_F(SimLineTest, DISABLED_WaitsUntilTheScriptEnds) {
    port_ = OpenSim();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    std::printf("written before the end, not yet flushed");
    auto sleeper = [](LPVOID) -> DWORD {
        Sleep(1000000);
        return 0;
    };
    ASSERT_NE(CreateThread(nullptr, 65536, sleeper, nullptr, 0, nullptr), nullptr);
    Wait(0);
    ADD_FAILURE() << "still running after the end";
}

TEST_F(SimLineTest, EndFlushesStandardOutputAndExitsWithZero) {
    cabletest_test::RunOptions options;
    options.program = "/proc/self/exe";
    options.args = {"--gtest_filter=*DISABLED_WaitsUntilTheScriptEnds",
                    "--gtest_also_run_disabled_tests"};
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir_.path()},
                       {"CABLETEST_SIM_SCRIPT", ScriptFile("50 cts on\n700 end\n")}};
    options.stdout_to = cabletest_test::StdoutTo::kFile;
    options.stdout_file = dir_.File("stdout");
    cabletest_test::Process child;
    ASSERT_TRUE(child.Start(options)) << child.error();
    cabletest_test::ExitStatus status = child.WaitExit(cabletest_test::Millis(10000));
    EXPECT_TRUE(status.Exited(0)) << status.Describe();
    std::string out = child.Output(cabletest_test::Stream::kStdout);
    EXPECT_NE(out.find("written before the end, not yet flushed"), std::string::npos) << out;
}

// The built-in script, sampled every 10 ms with DTR up: within ten seconds a
// connection, bursts more than 750 ms apart (carriage passes), a line error,
// a disconnection, and then the same again.
TEST_F(SimLineTest, TheDemonstrationShowsEveryReportWithinTenSecondsAndLoops) {
    unsetenv("CABLETEST_SIM_SCRIPT");
    DWORD t0 = GetTickCount(), lastByte = 0u - 1000, dsr = 0;
    port_ = OpenSim();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    std::string reports;
    for (DWORD ms = 0; ms <= 11000; ms += 10) {
        At(t0, ms);
        DWORD errors = 0, status = 0;
        COMSTAT stat{};
        ASSERT_TRUE(ClearCommError(port_, &errors, &stat) && GetCommModemStatus(port_, &status));
        reports += errors != 0 ? "error " : "";
        if (stat.cbInQue != 0) {
            reports += ms - lastByte > 750 ? "pass " : "";
            lastByte = ms;
            Read(64);
        }
        if ((status & MS_DSR_ON) != dsr) {
            dsr = status & MS_DSR_ON;
            reports += dsr ? "connected " : "disconnected ";
        }
    }
    EXPECT_EQ(reports,
              "connected pass pass error disconnected connected pass error disconnected "
              "connected ");
}

}  // namespace
