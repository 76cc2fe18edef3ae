// The program as an operator meets it: start-up, the port prompt on a terminal (a pty the test
// types into), ports as ptys in a temporary device folder, and monitoring on the simulated line
// in virtual time, with its standard output and the line's DTR/RTS log compared exactly.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using namespace harness;

const std::string kAgain = kPrompt + kInvalid;

// A first argument is tried before the prompt; the operator's own terminal is refused as a port.
// Keys are echoed but Ctrl-C, others than 1 to 9 refused (F1 is two keys, 0 and 59), a port that
// will not open asks again, and Ctrl-C ends the program with 3, the terminal restored.
TEST(Prompt, KeysAreRefusedOrOpenTheirPortAndCtrlCEnds) {
    Pty tty;
    TempDir dir;
    ASSERT_TRUE(tty.Link(dir.path, "mine"));
    Child p({{"mine"}, {{"CABLETEST_DEVICE_DIR", dir.path}}, &tty});
    for (const char* key : {"a", "0", "\x1bOP", "7", "\x03"}) {
        for (int n = key[0] == '7' ? 2 : 1; n > 0; --n)
            ASSERT_TRUE(p.ReadUntil(kPrompt) && tty.WaitRaw()) << p.out;
        ASSERT_TRUE(tty.Write(key));
    }
    EXPECT_TRUE(p.Wait().Exited(3));
    EXPECT_EQ(tty.Read(), std::string("a0\0;7", 5));
    EXPECT_FALSE(tty.Raw());
    EXPECT_EQ(p.out, kBanner + "Open mine failed 5\n" + kAgain + kAgain + kAgain + kAgain +
                         kPrompt + "\nOpen com7 failed 2\n" + kPrompt);
}

// Raw from the moment the prompt shows until it is done, its failed opens aside: keys typed ahead
// are echoed once, by the program, and a Ctrl-C right behind another key is the key 3, no SIGINT.
TEST(Prompt, KeysTypedAheadMeetARawTerminal) {
    Pty tty;
    TempDir dir;
    Child p({{}, {{"CABLETEST_DEVICE_DIR", dir.path}}, &tty});
    ASSERT_TRUE(p.ReadUntil(kPrompt)) << p.out;
    EXPECT_TRUE(tty.Raw());
    ASSERT_TRUE(tty.Write("a5"));  // no com5
    ASSERT_TRUE(p.ReadUntil(kInvalid + kPrompt + "\nOpen com5 failed 2\n" + kPrompt)) << p.out;
    EXPECT_TRUE(tty.Raw());
    ASSERT_TRUE(tty.Write("x\x03"));
    EXPECT_TRUE(p.Wait().Exited(3));
    EXPECT_EQ(tty.Read(), "a5x");
    EXPECT_FALSE(tty.Raw());
}

// The port is a pty: raw 9600 8N1 without flow control, no modem lines, so no cable report; a
// burst of bytes is one pass, in real time. Every report is out before SIGINT ends the program.
TEST(Prompt, FiveOpensCom5AndABurstIsOnePass) {
    Pty tty, line;
    TempDir dir;
    ASSERT_TRUE(line.Link(dir.path, "ttyS4"));
    Child p({{}, {{"CABLETEST_DEVICE_DIR", dir.path}}, &tty});
    ASSERT_TRUE(p.ReadUntil(kPrompt) && tty.WaitRaw() && tty.Write("5") && line.WaitRaw()) << p.out;
    termios t = line.Mode();
    EXPECT_TRUE(cfgetispeed(&t) == B9600 && cfgetospeed(&t) == B9600);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              tcflag_t{CS8 | CREAD | CLOCAL});
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK),
              0u);
    EXPECT_EQ((t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) | (t.c_oflag & OPOST), 0u);
    usleep(400000);  // past the start-up pause and the drain, on the real clock
    ASSERT_TRUE(line.Write("UUUUUU") && p.ReadUntil(kPass, 5000));
    p.Pump(300);
    EXPECT_TRUE(p.Signal(SIGINT) && p.Wait().Killed(SIGINT));
    EXPECT_EQ(p.out, kBanner + kPrompt + "\n" + kPass);
    EXPECT_EQ(tty.Read(), "5");
}

TEST(Prompt, AFirstArgumentSkipsItEvenEmpty) {
    Pty tty, line;
    TempDir dir;
    ASSERT_TRUE(line.Link(dir.path, "ttyS0"));
    Child p({{""}, {{"CABLETEST_DEVICE_DIR", dir.path}}, &tty});  // "" is com1
    ASSERT_TRUE(line.WaitRaw());
    EXPECT_TRUE(p.Signal(SIGINT) && p.Wait().Killed(SIGINT));
    EXPECT_EQ(p.out, kBanner);
}

TEST(WithoutConsole, KeysComeNotFromStandardInputAndLongNamesAreRefusedWhole) {
    TempDir dir;
    Pty usb1, usb10;  // a name of 256 characters cut short would open ttyUSB1
    const std::string tooLong = "ttyUSB1" + std::string(249, '0');
    ASSERT_TRUE(usb1.Link(dir.path, "ttyUSB1") && usb10.Link(dir.path, "ttyUSB10"));
    ASSERT_TRUE(WriteFile(dir / "keys", "1111\n"));
    for (const std::string& name : {std::string(), tooLong}) {
        Options o({name, "debug"}, {{"CABLETEST_DEVICE_DIR", dir.path}});
        o.args.resize(name.empty() ? 0 : 2);
        o.stdinFile = dir / "keys";
        Child p(o);
        EXPECT_TRUE(p.Wait().Exited(1));
        EXPECT_EQ(p.out, kBanner + (name.empty() ? "" : "Open " + name + " failed 206\n") + kAgain +
                             kAgain + kAgain + kNoConsole);
    }
    EXPECT_FALSE(usb1.Raw() || usb10.Raw());
    Child help({{"--help", "sim"}}), version({{"--version"}});
    EXPECT_TRUE(help.Wait().Exited(0) && version.Wait().Exited(0));
    EXPECT_EQ(help.out.rfind("Usage: cabletest [port [debug]]\n", 0), 0u) << help.out;
    EXPECT_EQ(help.out.find("Magnetic"), std::string::npos);
    // In a git checkout the build adds the commit: "cabletest 1.0.0 (git 6b8ddd1)".
    const std::string v = "cabletest " CABLETEST_EXPECTED_VERSION;
    EXPECT_TRUE(version.out == v + "\n" || version.out.rfind(v + " (git ", 0) == 0) << version.out;
}

// The built-in demonstration on the virtual clock: a round of ten seconds shows every report.
TEST(Demonstration, ShowsEveryReportAndLoops) {
    Child p({{"sim"}, {{"CABLETEST_CLOCK", "virtual"}}});
    const std::string round =
        kConnected + kPass + kPass + kDisconnected + kConnected + kPass + kDisconnected;
    EXPECT_TRUE(p.ReadUntil(round + round, 20000));
    EXPECT_EQ(p.out.substr(0, kBanner.size() + round.size() * 2), kBanner + round + round);
}

// The monitoring loop on the simulated line. Every run opens the port at 0, pauses 100 ms and
// drains until 150; then each quiet 200 ms is followed by a 10 ms DTR pulse: 350, 560, 770...
std::string Pulses(int from, int to) {  // the log's DTR pulses from `from`, 210 ms apart
    return from > to ? ""
                     : std::to_string(from) + " DTR on\n" + std::to_string(from + 10) +
                           " DTR off\n" + Pulses(from + 210, to);
}

// Debug mode's line per byte: "<tick> <last pass tick>: received char <hex>".
std::string Got(std::vector<std::pair<long, long>> ticks, const std::string& byte = "00") {
    std::string lines;
    for (const auto& t : ticks)
        lines += std::to_string(t.first) + " " + std::to_string(t.second) + ": received char " +
                 byte + "\n";
    return lines;
}

struct Scenario {
    const char* name;
    const char* script;             // ends the program
    std::vector<std::string> args;  // "sim" and maybe a second
    const char* tickStart;          // CABLETEST_TICK_START
    std::string out, log;           // the log after the open's "0 RTS on"
};

class Monitor : public ::testing::TestWithParam<Scenario> {};

TEST_P(Monitor, Scenario) {
    const Scenario& s = GetParam();
    SimRun run = RunSim(s.script, s.args, {{"CABLETEST_TICK_START", s.tickStart}});
    EXPECT_TRUE(run.status.Exited(0)) << run.status.Text() << run.err;
    static const std::regex handle("Handle = [0-9A-F]{8}\n");
    EXPECT_EQ(std::regex_replace(run.out, handle, "Handle\n"), s.out);
    EXPECT_EQ(run.log, "0 RTS on\n" + s.log);
}

const std::string kDebug = kBanner + "Handle\n";
std::string Times(int n, const std::string& text) {
    return n > 0 ? text + Times(n - 1, text) : "";
}

// clang-format off
const Scenario kScenarios[] = {
    // Any word but "debug" is no debug switch.
    {"ABurstAfterAQuietSpellIsOnePass", "1000 bytes 5\n3000 end\n", {"sim", "debugx"}, "1000000",
     kBanner + kPass, Pulses(350, 980) + Pulses(1204, 2894)},
    // The burst ends at 1002: 400 ms later is an echo, 800 ms later a pass.
    {"EchoesWithin750msDoNotCount", "1000 bytes 3\n1402 bytes 1 1 7f\n1802 bytes 1 1 80\n2500 end\n",
     {"sim", "debug"}, "1000000",
     kDebug + Got({{1001000, 0}}) + kPass + Got({{1001001, 1001000}, {1001002, 1001001}}) +
         Got({{1001402, 1001002}}, "7F") + Got({{1001802, 1001002}}, "80") + kPass,
     Pulses(350, 980) + Pulses(1202, 1202) + Pulses(1602, 1602) + Pulses(2002, 2422)},
    {"BandEdges100And750AreIgnored751Counts",
     "1000 bytes 1\n1100 bytes 1\n1750 bytes 1\n1751 bytes 1\n2200 end\n", {"sim", "DEBUG"}, "1000000",
     kDebug + Got({{1001000, 0}}) + kPass +
         Got({{1001100, 1001000}, {1001750, 1001000}, {1001751, 1001000}}) + kPass,
     Pulses(350, 980) + Pulses(1300, 1720) + Pulses(1951, 2161)},
    // 100 bytes 40 ms apart: all dropped unseen, no pulse before 4010.
    {"BytesUnder50msApartKeepTheDrainGoing", "0 cable on\n0 bytes 100 40\n4200 end\n", {"sim", ""},
     "1000000", kBanner, ""},
    // The tick wraps to 0 at 2000 ms, in the middle of the second burst.
    {"TheTicksWrapGivesNoFalsePass",
     "1000 bytes 1\n1995 bytes 10\n2600 bytes 1\n2900 bytes 1\n3200 end\n", {"sim", "debug"}, "4294965296",
     kDebug + Got({{-1000, 0}}) + kPass + Got({{-5, -1000}}) + kPass +
         Got({{-4, -5}, {-3, -4}, {-2, -3}, {-1, -2}, {0, -1}, {1, 0}, {2, 1}, {3, 2}, {4, 3},
              {600, 4}, {900, 4}}) + kPass,
     Pulses(350, 980) + Pulses(1200, 1830) + Pulses(2204, 2414) + Pulses(2800, 2800) +
         Pulses(3100, 3100)},
    {"AFirstByteAt500IsNoPass", "500 bytes 1\n760 bytes 1\n1200 end\n", {"sim", "debug"}, "0",
     kDebug + Got({{500, 0}, {760, 0}}) + kPass,
     Pulses(350, 350) + Pulses(700, 700) + Pulses(960, 1170)},
    {"EachCableChangeOnceAtTheNextQuietSample",
     "0 cable on\n700 cable off\n1500 cable on\n2000 end\n", {"sim"}, "1000000",
     kBanner + kConnected + kDisconnected + kConnected, Pulses(350, 1820)},
    {"AMissingCableIsUnreportedUntilOncePresent", "1000 cts on\n1300 end\n", {"sim", "verbose"}, "1000000",
     kBanner, Pulses(350, 1190)},
    // Bytes every 150 ms from 1000 to 3850: no quiet 200 ms, so no pulse.
    {"NoSamplesWhileBytesKeepComing", "0 cable on\n1000 bytes 20 150\n5000 end\n", {"sim"}, "1000000",
     kBanner + kConnected + Times(4, kPass), Pulses(350, 980) + Pulses(4050, 4900)},
    {"DebugShowsAllFourLinesAtTheSameMoments",
     "0 cable on\n0 cts on\n0 rlsd on\n400 ring on\n700 cable off\n1000 cts off\n1500 cable on\n"
     "2000 end\n", {"sim", "dEbUg"}, "1000000",
     kDebug + "DSR -> on, CTS -> on, RING -> off, RLSD -> on\n"
              "DSR -> off, CTS -> on, RING -> on, RLSD -> on\n"
              "DSR -> on, CTS -> off, RING -> on, RLSD -> on\n", Pulses(350, 1820)},
    // Error and bytes come during the pulse at 980..990: the next receive drops RTS 990..1040,
    // then reads the 40 bytes queued by then.
    {"ALineErrorDropsRtsFor50msAndNoByteIsLost", "982 error frame\n982 bytes 40 1 42\n1500 end\n",
     {"sim", "debug"}, "1000000",
     kDebug + Got({{1001040, 0}}, "42") + kPass + Times(39, Got({{1001040, 1001040}}, "42")),
     Pulses(350, 980) + "990 RTS off\n1040 RTS on\n" + Pulses(1240, 1450)},
    // Pulled out for good during the receive that began at 990: its wait ends with a failure,
    // reported once; then silence, and no pulse, for a minute.
    {"PulledOutForAMinuteOneReportAndNoPulse", "0 cable on\n1000 unplug\n61000 end\n", {"sim"},
     "1000000", kBanner + kConnected + kFailedAfterWait + Lost("sim"), Pulses(350, 980)},
    // Pulled out during the pulse at 1202: its end and the sample fail unseen, the next receive's
    // first query fails. Tried at 1712 and 2212, opened at 2712 (RTS up, DTR down), drained; the
    // cable pulled out meanwhile is reported at the first quiet sample.
    {"BackAfterAPullOutTheCableChangeIsReported",
     "0 cable on\n1000 bytes 3\n1205 unplug\n2000 cable off\n2300 replug\n2800 bytes 3\n3500 end\n",
     {"sim"}, "1000000", kBanner + kConnected + kPass + kFailedFirst + Lost("sim") + "Port sim back\n" +
         kPass + kDisconnected,
     Pulses(350, 980) + "1202 DTR on\n2712 RTS on\n" + Pulses(3002, 3422)},
    // Away from 1100 to 1600: the last pass tick carries over, so 698 ms after the burst's end is
    // an echo and 758 ms a pass. The tick start is decimal, not octal.
    {"BackAfterAPullOutThePassRuleGoesOn",
     "0 cable on\n1000 bytes 3\n1100 unplug\n1550 replug\n1700 bytes 1\n1760 bytes 1\n2000 end\n",
     {"sim", "debug"}, "01000000",
     kDebug + "DSR -> on, CTS -> off, RING -> off, RLSD -> off\n" + Got({{1001000, 0}}) + kPass +
         Got({{1001001, 1001000}, {1001002, 1001001}}) + kFailedAfterWait + Lost("sim") +
         "Port sim back\n" + Got({{1001700, 1001002}, {1001760, 1001002}}) + kPass,
     Pulses(350, 980) + "1600 RTS on\n" + Pulses(1960, 1960)},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Sim, Monitor, ::testing::ValuesIn(kScenarios),
                         [](const auto& i) { return std::string(i.param.name); });

}  // namespace
