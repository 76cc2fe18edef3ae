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

using cabletest_test::Millis;

const std::string kPass = "-->Carriage Pass\n";

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST(OnAPty, EachBurstIsOnePassAndEveryReportInAFileSurvivesSigint) {
    cabletest_test::TempDir dir;
    cabletest_test::Pty line;
    ASSERT_TRUE(line.ok());
    ASSERT_NE(
        cabletest_test::LinkDevice(dir.path(), cabletest_test::ComDeviceName(3), line.slave_path()),
        "");
    cabletest_test::RunOptions options;
    options.args = {"com3"};
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}, {"CABLETEST_CLOCK", "real"}};
    options.stdout_to = cabletest_test::StdoutTo::kFile;
    options.stdout_file = dir.File("out");
    cabletest_test::Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    ASSERT_TRUE(line.WaitForRawMode());
    std::this_thread::sleep_for(Millis(400));  // past the start-up pause and the drain

    for (int burst = 1; burst <= 3; ++burst) {
        // A carriage's handful of bytes at once; the next burst comes well
        // over 750 ms later.
        ASSERT_TRUE(line.Write(std::string(6, '\x55')));
        const auto end = std::chrono::steady_clock::now() + Millis(5000);
        while (CountOf(dir.ReadFile("out"), kPass) < burst) {
            ASSERT_LT(std::chrono::steady_clock::now(), end) << dir.ReadFile("out");
            std::this_thread::sleep_for(Millis(10));
        }
        std::this_thread::sleep_for(Millis(900));
        EXPECT_EQ(CountOf(dir.ReadFile("out"), kPass), burst);
    }
    ASSERT_TRUE(process.Signal(SIGINT));
    EXPECT_TRUE(process.WaitExit().KilledBy(SIGINT));
    EXPECT_EQ(dir.ReadFile("out"), "Magnetic switch cable test program\n\nCtrl C to terminate\n" +
                                       kPass + kPass + kPass);
}

}  // namespace
