// Floods through the real binary: bytes back to back for two minutes of simulated time, and for
// seconds on a pty at full speed. Every byte is consumed (debug mode prints a line per byte read),
// memory stays flat, and the pass rule holds: a flood is one burst, so one pass.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "test_robust_support.h"

namespace {

using namespace robust;
using Clock = std::chrono::steady_clock;

// `count` bytes 0x55 1 ms apart from 1000 ms, then one byte 0x77 two seconds after them.
Outcome RunFlood(long count) {
    const long late = 1000 + count + 2000;
    const std::string flood = "0 cable on\n1000 bytes " + std::to_string(count) + " 1 55\n";
    return RunScript(
        flood + std::to_string(late) + " bytes 1 1 77\n" + std::to_string(late + 500) + " end\n",
        {"sim", "debug"});
}

TEST(Flood, TwoMinutesBackToBackOnTheSimulatedLine) {
    const Outcome small = RunFlood(1000);
    const long kCount = 120000, lastByte = 1000 + kCount - 1;
    const Outcome big = RunFlood(kCount);
    ASSERT_TRUE(small.status.Exited(0) && big.status.Exited(0)) << big.status.Describe();

    EXPECT_EQ(Count(big.out, ": received char 55\n"), static_cast<size_t>(kCount));
    EXPECT_EQ(Count(big.out, ": received char 77\n"), 1u);
    // One pass with the flood's first byte, one with the late byte; the cable once.
    std::istringstream lines(big.out);
    std::string reports;
    for (std::string line; std::getline(lines, line);)
        if (line.find("received char") == std::string::npos && line.rfind("Handle = ", 0) != 0)
            reports += line + "\n";
    EXPECT_EQ(reports,
              kBanner + "DSR -> on, CTS -> off, RING -> off, RLSD -> off\n" + kPass + kPass);
    EXPECT_EQ(Count(big.out.substr(0, big.out.find(kPass)), "received char"), 1u);
    // No cable sample while the bytes keep coming; the first 200 ms after the last one.
    for (const auto& entry : LogEntries(big.log))
        EXPECT_FALSE(entry.second == "DTR on" && entry.first > 1000 && entry.first < lastByte + 200)
            << "DTR pulsed at " << entry.first << " during the flood";
    EXPECT_NE(big.log.find("\n" + std::to_string(lastByte + 200) + " DTR on\n"), std::string::npos);
    // A flood 120 times longer needs no more than a little.
    EXPECT_TRUE(kSanitized || big.maxRssKiB - small.maxRssKiB < 1024)
        << small.maxRssKiB << " KiB after 1000 bytes, " << big.maxRssKiB << " after " << kCount;
}

TEST(Flood, SecondsAtFullSpeedOnAPty) {
    TempDir dir;
    LinePty line(dir.path(), "ttyS2");
    ASSERT_TRUE(line.ok());
    RunOptions options = Options(dir.path(), {"com3", "debug"});
    options.stdout_to = StdoutTo::kFile;
    options.stdout_file = dir.File("out");
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    ASSERT_TRUE(process.ReadUntil(Stream::kStdout, "Handle = ").found);
    std::this_thread::sleep_for(Millis(300));  // past the drain, on the real clock
    ASSERT_EQ(fcntl(line.master, F_SETFL, fcntl(line.master, F_GETFL) | O_NONBLOCK), 0);
    const double rssEarly = RunningRssKiB(process.pid());

    // Full speed for three seconds; then every byte is read, however long that takes.
    const std::string chunk(4096, '\x5a');
    size_t written = 0, seen = 0;
    for (const auto start = Clock::now(); Clock::now() - start < Millis(3000);) {
        pollfd p{line.master, POLLOUT, 0};
        const ssize_t n = poll(&p, 1, 50) > 0 ? write(line.master, chunk.data(), chunk.size()) : 0;
        written += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ASSERT_GT(written, 10000u);
    std::string out;
    for (const auto end = Clock::now() + Millis(60000); seen < written && Clock::now() < end;) {
        std::this_thread::sleep_for(Millis(100));
        out = dir.ReadFile("out");
        seen = Count(out, ": received char 5A\n");
    }
    EXPECT_EQ(seen, written) << "bytes read of those written";
    // One pass, unless the reader itself saw a burst gap between bytes (a loaded machine).
    long gap = 0, previous = -1, now = -1;
    std::istringstream lines(out);
    for (std::string text; std::getline(lines, text); previous = now)
        if (sscanf(text.c_str(), "%ld %*d: received char", &now) == 1 && previous >= 0)
            gap = std::max(gap, now - previous);
    const size_t passes = Count(out, kPass);
    EXPECT_TRUE(passes == 1 || (passes > 1 && gap >= 100)) << passes << " passes, gap " << gap;
    const double rssLate = RunningRssKiB(process.pid());
    EXPECT_TRUE(kSanitized || rssLate - rssEarly < 512) << rssEarly << " KiB early, " << rssLate;
    EXPECT_TRUE(process.running()) << "no crash";
}

}  // namespace
