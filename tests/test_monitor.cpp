// The whole program on the simulated line in virtual time: scripted bursts,
// cable changes, line errors and an unplugged device, with the program's
// standard output and the line's DTR/RTS log compared exactly.
//
// Timeline of every run: the port opens at 0; start-up sleeps 100 ms; the
// drain's 50 ms wait ends at 150; from then on every quiet 200 ms is followed
// by a 10 ms DTR pulse, so a quiet line is pulsed at 350, 560, 770, ...
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using cabletest_test::ExitStatus;
using cabletest_test::Millis;
using cabletest_test::Process;
using cabletest_test::RunOptions;
using cabletest_test::Stream;
using cabletest_test::TempDir;

const char kBanner[] = "Magnetic switch cable test program\n\nCtrl C to terminate\n";

struct SimRun {
    ExitStatus status;
    std::string out;  // standard output, the handle line of debug mode taken out
    std::string handleLine;
    std::string log;
    std::string err;
};

// Runs the program on `sim` playing `script` (which must end the program)
// with the given further arguments.
SimRun RunSim(const std::string& script, std::vector<std::string> moreArgs = {},
              std::vector<std::pair<std::string, std::string>> moreEnv = {}) {
    TempDir dir;
    SimRun run;
    EXPECT_TRUE(dir.WriteFile("script", script));
    RunOptions options;
    options.args = {"sim"};
    options.args.insert(options.args.end(), moreArgs.begin(), moreArgs.end());
    options.env_set = {{"CABLETEST_CLOCK", "virtual"},
                       {"CABLETEST_SIM_SCRIPT", dir.File("script")},
                       {"CABLETEST_SIM_LOG", dir.File("log")},
                       {"CABLETEST_DEVICE_DIR", dir.path()}};
    options.env_set.insert(options.env_set.end(), moreEnv.begin(), moreEnv.end());
    options.env_unset = {"CABLETEST_TICK_START"};
    Process process;
    if (!process.Start(options)) {
        ADD_FAILURE() << process.error();
        return run;
    }
    run.status = process.WaitExit(Millis(20000));
    run.out = process.Output(Stream::kStdout);
    run.err = process.Output(Stream::kStderr);
    run.log = dir.ReadFile("log");
    std::smatch match;
    static const std::regex handle("Handle = [0-9A-F]{8}\n");
    if (std::regex_search(run.out, match, handle)) {
        run.handleLine = match.str();
        run.out = match.prefix().str() + match.suffix().str();
    }
    return run;
}

// The log lines of DTR pulses at `from`, from + 210, ... up to `to`.
std::string Pulses(int from, int to) {
    std::string lines;
    for (int t = from; t <= to; t += 210) {
        lines += std::to_string(t) + " DTR on\n" + std::to_string(t + 10) + " DTR off\n";
    }
    return lines;
}

#define EXPECT_ENDED_BY_SCRIPT(run) \
    EXPECT_TRUE((run).status.Exited(0)) << (run).status.Describe() << "\n" << (run).err

// ---- carriage passes -------------------------------------------------------------------

TEST(CarriagePass, ABurstAfterAQuietSpellIsOnePass) {
    SimRun run = RunSim("1000 bytes 5\n3000 end\n");
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, std::string(kBanner) + "-->Carriage Pass\n");
    EXPECT_EQ(run.log, "0 RTS on\n" + Pulses(350, 980) + Pulses(1204, 2894));
}

TEST(CarriagePass, EchoesWithin750msOfTheBurstDoNotCountLaterBytesDo) {
    // Burst ends at 1002; 1402 is 400 ms later (ignored), 1802 is 800 ms
    // later (a new pass).
    SimRun run =
        RunSim("1000 bytes 3\n1402 bytes 1 1 7f\n1802 bytes 1 1 80\n2500 end\n", {"debug"});
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, std::string(kBanner) +
                           "1001000 0: received char 00\n"
                           "-->Carriage Pass\n"
                           "1001001 1001000: received char 00\n"
                           "1001002 1001001: received char 00\n"
                           "1001402 1001002: received char 7F\n"
                           "1001802 1001002: received char 80\n"
                           "-->Carriage Pass\n");
}

TEST(CarriagePass, BandEdgesAt100And750AreIgnoredAnd751Counts) {
    SimRun run =
        RunSim("1000 bytes 1\n1100 bytes 1\n1750 bytes 1\n1751 bytes 1\n2200 end\n", {"debug"});
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, std::string(kBanner) +
                           "1001000 0: received char 00\n"
                           "-->Carriage Pass\n"
                           "1001100 1001000: received char 00\n"
                           "1001750 1001000: received char 00\n"
                           "1001751 1001000: received char 00\n"
                           "-->Carriage Pass\n");
}

TEST(CarriagePass, BytesLessThan50msApartFromTheStartKeepTheProgramInTheDrain) {
    // 100 bytes 40 ms apart, the last at 3960: all dropped unseen, and no
    // DTR pulse until the drain's wait runs out at 4010.
    SimRun run = RunSim("0 cable on\n0 bytes 100 40\n4200 end\n");
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, kBanner);
    EXPECT_EQ(run.log, "0 RTS on\n");
}

TEST(CarriagePass, TheTickCountersWrapGivesNoFalsePass) {
    // The tick wraps to 0 at 2000 ms, in the middle of the second burst.
    SimRun run = RunSim("1000 bytes 1\n1995 bytes 10\n2600 bytes 1\n2900 bytes 1\n3200 end\n",
                        {"debug"}, {{"CABLETEST_TICK_START", "4294965296"}});
    EXPECT_ENDED_BY_SCRIPT(run);
    std::string expected = std::string(kBanner) + "-1000 0: received char 00\n-->Carriage Pass\n";
    expected += "-5 -1000: received char 00\n-->Carriage Pass\n";
    for (int tick = -4; tick <= 4; ++tick) {
        expected += std::to_string(tick) + " " + std::to_string(tick - 1) + ": received char 00\n";
    }
    expected += "600 4: received char 00\n";
    expected += "900 4: received char 00\n-->Carriage Pass\n";
    EXPECT_EQ(run.out, expected);
}

TEST(CarriagePass, TheFirstByteIsAPassOnlyWhenTheTickStandsAbove750) {
    SimRun early =
        RunSim("500 bytes 1\n760 bytes 1\n1200 end\n", {"debug"}, {{"CABLETEST_TICK_START", "0"}});
    EXPECT_ENDED_BY_SCRIPT(early);
    EXPECT_EQ(early.out, std::string(kBanner) +
                             "500 0: received char 00\n"
                             "760 0: received char 00\n"
                             "-->Carriage Pass\n");

    SimRun later = RunSim("751 bytes 1\n1200 end\n", {"debug"}, {{"CABLETEST_TICK_START", "0"}});
    EXPECT_ENDED_BY_SCRIPT(later);
    EXPECT_EQ(later.out, std::string(kBanner) + "751 0: received char 00\n-->Carriage Pass\n");
}

// ---- the cable -----------------------------------------------------------------------------

TEST(Cable, EachChangeIsReportedOnceAtTheNextQuietSample) {
    SimRun run = RunSim("0 cable on\n700 cable off\n1500 cable on\n2000 end\n");
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, std::string(kBanner) +
                           "Cable connected\n"     // sample at 350
                           "Cable disconnected\n"  // sample at 770
                           "Cable connected\n");   // sample at 1610
    EXPECT_EQ(run.log, "0 RTS on\n" + Pulses(350, 1820));
}

TEST(Cable, AMissingCableIsNotReportedUntilItHasBeenPresent) {
    SimRun run = RunSim("1000 cts on\n1300 end\n");
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, kBanner);
    EXPECT_EQ(run.log, "0 RTS on\n" + Pulses(350, 1190));
}

TEST(Cable, NoSamplesWhileBytesKeepComing) {
    // Bytes every 150 ms from 1000 to 3850: no quiet 200 ms, so no pulse;
    // the pass rule gives a pass every 900 ms of such a stream.
    SimRun run = RunSim("0 cable on\n1000 bytes 20 150\n5000 end\n");
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, std::string(kBanner) + "Cable connected\n" +
                           "-->Carriage Pass\n-->Carriage Pass\n"
                           "-->Carriage Pass\n-->Carriage Pass\n");
    EXPECT_EQ(run.log, "0 RTS on\n" + Pulses(350, 980) + Pulses(4050, 4900));
}

TEST(Cable, DebugModeShowsAllFourLinesAtTheSameMoments) {
    SimRun run = RunSim(
        "0 cable on\n0 cts on\n0 rlsd on\n400 ring on\n700 cable off\n"
        "1000 cts off\n1500 cable on\n2000 end\n",
        {"debug"});
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, std::string(kBanner) +
                           "DSR -> on, CTS -> on, RING -> off, RLSD -> on\n"
                           "DSR -> off, CTS -> on, RING -> on, RLSD -> on\n"
                           "DSR -> on, CTS -> off, RING -> on, RLSD -> on\n");
    EXPECT_EQ(run.log, "0 RTS on\n" + Pulses(350, 1820));
}

// ---- the debug switch ----------------------------------------------------------------------

TEST(DebugSwitch, TheWordDebugInAnyCaseShowsTheHandle) {
    for (const char* word : {"debug", "DEBUG", "dEbUg"}) {
        SimRun run = RunSim("300 end\n", {word});
        EXPECT_ENDED_BY_SCRIPT(run);
        EXPECT_NE(run.handleLine, "") << word;
        // Printed once, right after the banner: nothing else comes by 300.
        EXPECT_EQ(run.out, kBanner) << word;
    }
    for (const char* word : {"verbose", "debugx", ""}) {
        SimRun run = RunSim("1000 bytes 1\n1300 end\n", {word});
        EXPECT_ENDED_BY_SCRIPT(run);
        EXPECT_EQ(run.handleLine, "") << word;
        EXPECT_EQ(run.out, std::string(kBanner) + "-->Carriage Pass\n") << word;
    }
}

// ---- line errors and a device that goes away -----------------------------------------------

TEST(LineErrors, RtsDropsFor50msBeforeTheByteIsReadAndTheByteCounts) {
    // Error and byte come during the pulse at 980..990: the next receive
    // sees the error first, drops RTS 990..1040, then reads the byte.
    SimRun run = RunSim("982 error frame\n982 bytes 1 1 42\n1500 end\n", {"debug"});
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, std::string(kBanner) + "1001040 0: received char 42\n-->Carriage Pass\n");
    EXPECT_EQ(run.log,
              "0 RTS on\n" + Pulses(350, 980) + "990 RTS off\n1040 RTS on\n" + Pulses(1240, 1450));
}

TEST(LineErrors, EveryKindOfErrorIsAnsweredOnce) {
    SimRun run = RunSim(
        "400 error overrun\n1000 error parity\n1000 error break\n1600 error frame\n2000 end\n");
    EXPECT_ENDED_BY_SCRIPT(run);
    EXPECT_EQ(run.out, kBanner);
    // Each error waits for the next look at the line, which comes after the
    // next pulse; two errors at one moment are one report.
    EXPECT_EQ(run.log, "0 RTS on\n" + Pulses(350, 560) + "570 RTS off\n620 RTS on\n" +
                           Pulses(820, 1030) + "1040 RTS off\n1090 RTS on\n" + Pulses(1290, 1710) +
                           "1720 RTS off\n1770 RTS on\n" + Pulses(1970, 1970));
}

TEST(Unplug, NoCrashNoSpinAndTheTextsOfTheFailedQueries) {
    // Pulled out during the receive that began at 990: the watcher's wait
    // ends with mask 0. From then on each round fails at once and costs
    // only the cable step's 10 ms.
    SimRun run = RunSim("1000 unplug\n1100 end\n");
    EXPECT_ENDED_BY_SCRIPT(run);
    std::string expected = std::string(kBanner) + "(2)ClearCommError\n(2)Clear failed, erc = 31\n";
    for (int round = 0; round < 9; ++round) {
        expected += "(1)Clear failed, erc = 31\n(2)ClearCommError\n(2)Clear failed, erc = 31\n";
    }
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.log, "0 RTS on\n" + Pulses(350, 980));
}

}  // namespace
