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

using cabletest_test::Stream;

const std::string kBanner = "Magnetic switch cable test program\n\nCtrl C to terminate\n";
const std::string kDebug = kBanner + "Handle\n";  // the handle's value taken out
const std::string kPass = "-->Carriage Pass\n";

// The log lines of DTR pulses at `from`, from + 210, ... up to `to`.
std::string Pulses(int from, int to) {
    std::string lines;
    for (int t = from; t <= to; t += 210)
        lines += std::to_string(t) + " DTR on\n" + std::to_string(t + 10) + " DTR off\n";
    return lines;
}

std::string Times(int n, const std::string& text) {
    std::string all;
    while (n-- > 0)
        all += text;
    return all;
}

// "<tick> <last pass tick>: received char 00" for each of `ticks`, as debug
// mode prints it; the program's ticks start at 1000000 unless set.
std::string Received(std::vector<std::pair<long, long>> ticks, const std::string& byte = "00") {
    std::string lines;
    for (const auto& t : ticks)
        lines += std::to_string(t.first) + " " + std::to_string(t.second) + ": received char " +
                 byte + "\n";
    return lines;
}

struct Scenario {
    const char* name;
    const char* script;  // must end the program
    std::vector<std::string> args;
    const char* tickStart;  // CABLETEST_TICK_START, or null for the default
    std::string out;
    std::string log;  // after the open's "0 RTS on"
};

class Monitor : public ::testing::TestWithParam<Scenario> {};

TEST_P(Monitor, Scenario) {
    const Scenario& s = GetParam();
    cabletest_test::TempDir dir;
    ASSERT_TRUE(dir.WriteFile("script", s.script));
    cabletest_test::RunOptions options;
    options.args = {"sim"};
    options.args.insert(options.args.end(), s.args.begin(), s.args.end());
    options.env_set = {{"CABLETEST_CLOCK", "virtual"},
                       {"CABLETEST_SIM_SCRIPT", dir.File("script")},
                       {"CABLETEST_SIM_LOG", dir.File("log")},
                       {"CABLETEST_DEVICE_DIR", dir.path()}};
    if (s.tickStart != nullptr)
        options.env_set.push_back({"CABLETEST_TICK_START", s.tickStart});
    else
        options.env_unset = {"CABLETEST_TICK_START"};
    cabletest_test::Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    cabletest_test::ExitStatus status = process.WaitExit(cabletest_test::Millis(20000));
    EXPECT_TRUE(status.Exited(0)) << status.Describe() << "\n" << process.Output(Stream::kStderr);
    static const std::regex handle("Handle = [0-9A-F]{8}\n");
    EXPECT_EQ(std::regex_replace(process.Output(Stream::kStdout), handle, "Handle\n"), s.out);
    EXPECT_EQ(dir.ReadFile("log"), "0 RTS on\n" + s.log);
}

// clang-format off
const Scenario kScenarios[] = {
    // Any word but "debug" is no debug switch.
    {"BurstAfterAQuietSpellIsOnePass", "1000 bytes 5\n3000 end\n", {"debugx"}, nullptr,
     kBanner + kPass, Pulses(350, 980) + Pulses(1204, 2894)},
    // The burst ends at 1002: 400 ms later is an echo, 800 ms later a pass.
    {"EchoesWithin750msDoNotCount",
     "1000 bytes 3\n1402 bytes 1 1 7f\n1802 bytes 1 1 80\n2500 end\n", {"debug"}, nullptr,
     kDebug + Received({{1001000, 0}}) + kPass + Received({{1001001, 1001000}, {1001002, 1001001}})
         + Received({{1001402, 1001002}}, "7F") + Received({{1001802, 1001002}}, "80") + kPass,
     Pulses(350, 980) + Pulses(1202, 1202) + Pulses(1602, 1602) + Pulses(2002, 2422)},
    {"BandEdges100And750AreIgnored751Counts",
     "1000 bytes 1\n1100 bytes 1\n1750 bytes 1\n1751 bytes 1\n2200 end\n", {"DEBUG"}, nullptr,
     kDebug + Received({{1001000, 0}}) + kPass
         + Received({{1001100, 1001000}, {1001750, 1001000}, {1001751, 1001000}}) + kPass,
     Pulses(350, 980) + Pulses(1300, 1720) + Pulses(1951, 2161)},
    // 100 bytes 40 ms apart: all dropped unseen, no pulse before 4010.
    {"BytesUnder50msApartKeepTheDrain", "0 cable on\n0 bytes 100 40\n4200 end\n", {""}, nullptr,
     kBanner, ""},
    // The tick wraps to 0 at 2000 ms, in the middle of the second burst.
    {"TickWrapGivesNoFalsePass",
     "1000 bytes 1\n1995 bytes 10\n2600 bytes 1\n2900 bytes 1\n3200 end\n", {"debug"}, "4294965296",
     kDebug + Received({{-1000, 0}}) + kPass + Received({{-5, -1000}}) + kPass
         + Received({{-4, -5}, {-3, -4}, {-2, -3}, {-1, -2}, {0, -1}, {1, 0}, {2, 1}, {3, 2},
                     {4, 3}, {600, 4}, {900, 4}}) + kPass,
     Pulses(350, 980) + Pulses(1200, 1830) + Pulses(2204, 2414) + Pulses(2800, 2800)
         + Pulses(3100, 3100)},
    {"FirstByteAt500IsNoPass", "500 bytes 1\n760 bytes 1\n1200 end\n", {"debug"}, "0",
     kDebug + Received({{500, 0}, {760, 0}}) + kPass,
     Pulses(350, 350) + Pulses(700, 700) + Pulses(960, 1170)},
    {"FirstByteAt751IsAPass", "751 bytes 1\n1200 end\n", {"debug"}, "0",
     kDebug + Received({{751, 0}}) + kPass, Pulses(350, 560) + Pulses(951, 1161)},
    {"EachCableChangeOnceAtTheNextQuietSample",
     "0 cable on\n700 cable off\n1500 cable on\n2000 end\n", {}, nullptr,
     kBanner + "Cable connected\nCable disconnected\nCable connected\n",
     Pulses(350, 1820)},
    {"MissingCableUnreportedUntilOncePresent", "1000 cts on\n1300 end\n", {"verbose"}, nullptr,
     kBanner, Pulses(350, 1190)},
    // Bytes every 150 ms from 1000 to 3850: no quiet 200 ms, so no pulse.
    {"NoSamplesWhileBytesKeepComing", "0 cable on\n1000 bytes 20 150\n5000 end\n", {}, nullptr,
     kBanner + "Cable connected\n" + Times(4, kPass),
     Pulses(350, 980) + Pulses(4050, 4900)},
    {"DebugShowsAllFourLinesAtTheSameMoments",
     "0 cable on\n0 cts on\n0 rlsd on\n400 ring on\n700 cable off\n1000 cts off\n1500 cable on\n"
     "2000 end\n", {"dEbUg"}, nullptr,
     kDebug + "DSR -> on, CTS -> on, RING -> off, RLSD -> on\n"
              "DSR -> off, CTS -> on, RING -> on, RLSD -> on\n"
              "DSR -> on, CTS -> off, RING -> on, RLSD -> on\n", Pulses(350, 1820)},
    // Error and byte come during the pulse at 980..990: the next receive
    // drops RTS 990..1040, then reads the byte.
    {"LineErrorDropsRtsFor50msAndTheByteCounts", "982 error frame\n982 bytes 1 1 42\n1500 end\n",
     {"debug"}, nullptr, kDebug + Received({{1001040, 0}}, "42") + kPass,
     Pulses(350, 980) + "990 RTS off\n1040 RTS on\n" + Pulses(1240, 1450)},
    // Pulled out during the receive that began at 990: the watcher's wait
    // ends with mask 0; then every round fails at once but for the 10 ms
    // of the cable step.
    {"UnplugIsNoCrashNoSpin", "1000 unplug\n1100 end\n", {}, nullptr,
     kBanner + "(2)ClearCommError\n(2)Clear failed, erc = 31\n"
         + Times(9, "(1)Clear failed, erc = 31\n(2)ClearCommError\n(2)Clear failed, erc = 31\n"),
     Pulses(350, 980)},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Sim, Monitor, ::testing::ValuesIn(kScenarios),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
