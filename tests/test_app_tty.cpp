// The whole program on a pty as its line, in real time: bursts written to
// the pty are carriage passes, and reports sent to a file survive the
// program being ended by SIGINT, since every message is written out whole
// as it is printed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "harness.h"

namespace {

using cabletest_test::ComDeviceName;
using cabletest_test::LinkDevice;
using cabletest_test::Millis;
using cabletest_test::Process;
using cabletest_test::Pty;
using cabletest_test::RunOptions;
using cabletest_test::StdoutTo;
using cabletest_test::Stream;
using cabletest_test::TempDir;

const std::string kBanner = "Magnetic switch cable test program\n\nCtrl C to terminate\n";
const std::string kPass = "-->Carriage Pass\n";

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Waits, polling, until `text` holds `count` reports or the deadline passes.
template <typename Read>
bool WaitForPasses(Read read, int count, Millis deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (CountOf(read(), kPass) < count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(Millis(10));
    }
    return true;
}

class OnAPty : public ::testing::TestWithParam<StdoutTo> {};

TEST_P(OnAPty, EachBurstIsOnePassAndEveryReportSurvivesSigint) {
    TempDir dir;
    Pty line;
    ASSERT_TRUE(line.ok());
    ASSERT_NE(LinkDevice(dir.path(), ComDeviceName(3), line.slave_path()), "");

    RunOptions options;
    options.args = {"com3"};
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}, {"CABLETEST_CLOCK", "real"}};
    options.stdout_to = GetParam();
    options.stdout_file = dir.File("out");
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    ASSERT_TRUE(line.WaitForRawMode());
    // Past the start-up pause and the drain (about 150 ms): the line is
    // monitored from here on.
    std::this_thread::sleep_for(Millis(400));

    auto output = [&] { return process.Output(Stream::kStdout); };
    for (int burst = 1; burst <= 3; ++burst) {
        // A carriage gives a handful of bytes at once; the gap to the next
        // burst is well over the 750 ms that separate passes.
        ASSERT_TRUE(line.Write(std::string(6, '\x55')));
        ASSERT_TRUE(WaitForPasses(output, burst, Millis(5000))) << output();
        std::this_thread::sleep_for(Millis(900));
        EXPECT_EQ(CountOf(output(), kPass), burst);
    }

    ASSERT_TRUE(process.Signal(SIGINT));
    EXPECT_TRUE(process.WaitExit().KilledBy(SIGINT));
    EXPECT_EQ(output(), kBanner + kPass + kPass + kPass);
}

INSTANTIATE_TEST_SUITE_P(StandardOutput, OnAPty,
                         ::testing::Values(StdoutTo::kPipe, StdoutTo::kFile),
                         [](const ::testing::TestParamInfo<StdoutTo>& param) {
                             return param.param == StdoutTo::kPipe ? std::string("ToAPipe")
                                                                   : std::string("ToAFile");
                         });

}  // namespace
