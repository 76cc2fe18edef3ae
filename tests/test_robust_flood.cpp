// Floods through the real binary: bytes back to back for two minutes of
// simulated time, and for seconds on a pty at full speed. Every byte must be
// consumed (debug mode prints one line per byte read), memory must stay flat,
// and the pass rule holds: a flood is one burst, so one pass.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "harness.h"
#include "test_robust_support.h"

namespace {

using cabletest_test::ExitStatus;
using cabletest_test::LinkDevice;
using cabletest_test::Millis;
using cabletest_test::Process;
using cabletest_test::RunOptions;
using cabletest_test::StdoutTo;
using cabletest_test::Stream;
using cabletest_test::TempDir;
using namespace robust;
using Clock = std::chrono::steady_clock;

struct FloodRun {
    ExitStatus status;
    std::string out;
    std::string log;
    long maxRssKiB = 0;
};

// A flood of `count` bytes 1 ms apart from 1000 ms, then one byte 0x77 two
// seconds after it, in debug mode.
FloodRun RunFlood(unsigned count) {
    TempDir dir;
    FloodRun run;
    const unsigned after = 1000 + count + 2000;
    EXPECT_TRUE(dir.WriteFile("script", "0 cable on\n1000 bytes " + std::to_string(count) +
                                            " 1 55\n" + std::to_string(after) + " bytes 1 1 77\n" +
                                            std::to_string(after + 500) + " end\n"));
    RunOptions options;
    options.args = {"sim", "debug"};
    options.env_set = SimEnv(dir);
    options.env_unset = {"CABLETEST_TICK_START"};
    options.stdout_to = StdoutTo::kFile;
    options.stdout_file = dir.File("out");
    Process process;
    if (!process.Start(options)) {
        ADD_FAILURE() << process.error();
        return run;
    }
    run.status = process.WaitExit(Millis(100000));
    run.maxRssKiB = ReapedChildrenMaxRssKiB();
    run.out = dir.ReadFile("out");
    run.log = dir.ReadFile("log");
    return run;
}

TEST(Flood, TwoMinutesBackToBackOnTheSimulatedLine) {
    const FloodRun small = RunFlood(1000);
    ASSERT_TRUE(small.status.Exited(0)) << small.status.Describe();
    const unsigned kCount = 120000;
    const FloodRun big = RunFlood(kCount);
    ASSERT_TRUE(big.status.Exited(0)) << big.status.Describe();

    EXPECT_EQ(Count(big.out, ": received char 55\n"), kCount) << "every byte consumed";
    EXPECT_EQ(Count(big.out, ": received char 77\n"), 1u);
    // One pass for the flood, one for the late byte; the cable once.
    std::string reports;
    for (size_t at = 0, end; at < big.out.size(); at = end + 1) {
        end = big.out.find('\n', at);
        if (end == std::string::npos)
            end = big.out.size();
        const std::string line = big.out.substr(at, end - at + 1);
        if (line.find("received char") == std::string::npos && line.compare(0, 9, "Handle = ") != 0)
            reports += line;
    }
    EXPECT_EQ(reports,
              kBanner + "DSR -> on, CTS -> off, RING -> off, RLSD -> off\n" + kPass + kPass);
    // The pass comes with the flood's first byte, the second with the late one.
    const size_t firstPass = big.out.find(kPass);
    ASSERT_NE(firstPass, std::string::npos);
    EXPECT_EQ(Count(big.out.substr(0, firstPass), "received char"), 1u);
    // No cable sample while the bytes keep coming; the first 200 ms after
    // the last one.
    const long lastByte = 1000 + static_cast<long>(kCount) - 1;
    for (const auto& entry : LogEntries(big.log)) {
        const long t = entry.first;
        EXPECT_FALSE(entry.second == "DTR on" && t > 1000 && t < lastByte + 200)
            << "DTR pulsed at " << t << " during the flood";
    }
    EXPECT_NE(big.log.find("\n" + std::to_string(lastByte + 200) + " DTR on\n"), std::string::npos);
    // Memory flat: a flood 120 times longer needs no more than a little.
    if (!kSanitized) {
        EXPECT_LT(big.maxRssKiB - small.maxRssKiB, 1024)
            << small.maxRssKiB << " KiB after 1000 bytes, " << big.maxRssKiB << " after " << kCount;
    }
}

TEST(Flood, SecondsAtFullSpeedOnAPty) {
    TempDir dir;
    LinePty line;
    ASSERT_TRUE(line.ok());
    ASSERT_FALSE(LinkDevice(dir.path(), cabletest_test::ComDeviceName(3), line.slave()).empty());
    RunOptions options;
    options.args = {"com3", "debug"};
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
    options.env_unset = {"CABLETEST_CLOCK"};
    options.stdout_to = StdoutTo::kFile;
    options.stdout_file = dir.File("out");
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    ASSERT_TRUE(process.ReadUntil(Stream::kStdout, "Handle = ").found);
    std::this_thread::sleep_for(Millis(300));  // past the drain, on the real clock
    ASSERT_EQ(fcntl(line.master(), F_SETFL, fcntl(line.master(), F_GETFL) | O_NONBLOCK), 0);

    // Write as fast as the line takes it for three seconds.
    const std::string chunk(4096, '\x5a');
    size_t written = 0;
    long rssEarly = -1;
    const auto start = Clock::now();
    while (Clock::now() - start < Millis(3000)) {
        if (rssEarly < 0 && Clock::now() - start > Millis(500)) {
            rssEarly = StatusKiB(process.pid(), "VmRSS");
        }
        pollfd p{line.master(), POLLOUT, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = write(line.master(), chunk.data(), chunk.size());
        if (n > 0)
            written += static_cast<size_t>(n);
    }
    ASSERT_GT(written, 10000u);

    // Every byte is read, however long that takes after the writing stops.
    size_t seen = 0;
    std::string out;
    const auto deadline = Clock::now() + Millis(60000);
    while (Clock::now() < deadline) {
        out = dir.ReadFile("out");
        seen = Count(out, ": received char 5A\n");
        if (seen >= written)
            break;
        std::this_thread::sleep_for(Millis(100));
    }
    const long rssLate = StatusKiB(process.pid(), "VmRSS");
    EXPECT_EQ(seen, written) << "bytes read of those written";
    EXPECT_EQ(Count(out, kPass), 1u) << "the flood is one burst";
    if (!kSanitized) {
        EXPECT_LT(rssLate - rssEarly, 512)
            << rssEarly << " KiB early in the flood, " << rssLate << " at its end";
    }
    RecordProperty("bytes", static_cast<int>(written));
    EXPECT_TRUE(process.Signal(SIGTERM));
    EXPECT_TRUE(process.WaitExit().KilledBy(SIGTERM));
}

}  // namespace
