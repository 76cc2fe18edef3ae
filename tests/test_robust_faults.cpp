// The real binary under faults of the line and bad input: the device pulled out while monitoring,
// line errors of every kind, and every way a port cannot be had. Each case ends with nothing lost
// and no hang; "no busy loop" is the child's CPU time, measured.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "test_robust_support.h"

namespace {

using namespace robust;

// Runs the program (or the command `prefix`) without a console on `name`: it must refuse the port
// with `code`, and end with 1 after the prompt's three failed key reads.
void ExpectRefused(const std::string& name, int code, const std::string& devices,
                   const std::vector<std::string>& prefix = {}) {
    RunOptions options = Options(devices, prefix);
    if (!prefix.empty()) {
        options.program = prefix[0];
        options.args.erase(options.args.begin());
    }
    options.args.push_back(name);
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    const ExitStatus status = process.WaitExit();
    EXPECT_TRUE(status.Exited(1)) << status.Describe();
    const std::string again = kPrompt + " invalid port\n";
    EXPECT_EQ(process.Output(Stream::kStdout), kBanner + "Open " + name + " failed " +
                                                   std::to_string(code) + "\n" + again + again +
                                                   again + kNoConsole);
}

TEST(PulledOut, SimulatedUnplugForAMinuteTakesTimeNotCpu) {
    // Each round still takes the cable step's 10 ms; one without time passing would hang the clock.
    const Outcome run = RunScript("0 cable on\n1000 unplug\n61000 end\n", {"sim"});
    ASSERT_TRUE(run.status.Exited(0)) << run.status.Describe();
    std::string expected =
        kBanner + "Cable connected\n" + kFailedRound.substr(kFailedRound.find("(2)"));
    ASSERT_EQ(run.out.compare(0, expected.size(), expected), 0) << run.out.substr(0, 300);
    const size_t rounds = (run.out.size() - expected.size()) / kFailedRound.size();
    for (size_t i = 0; i < rounds; ++i)
        expected += kFailedRound;
    EXPECT_EQ(run.out, expected);
    EXPECT_TRUE(rounds >= 5990 && rounds <= 6000) << rounds;
    EXPECT_LT(run.cpu, 3.0) << "CPU seconds for a minute unplugged";
    EXPECT_EQ(run.log.find("1190 DTR"), std::string::npos) << "DTR pulsed without the device";
}

TEST(PulledOut, InRealTimeOnlyTheFailedQueriesAtLittleCost) {
    // The simulated line unplugged, and a pty whose other end is closed after a first pass.
    for (const bool pty : {false, true}) {
        SCOPED_TRACE(pty ? "pty" : "sim");
        TempDir dir;
        LinePty line(dir.path(), "ttyS0");
        ASSERT_TRUE(line.ok());
        ASSERT_TRUE(dir.WriteFile("script", "0 cable on\n200 bytes 3\n400 unplug\n"));
        Process process;
        ASSERT_TRUE(process.Start(Options(dir.path(), {pty ? "com1" : "sim"}, pty ? "" : "real")));
        if (pty) {
            ASSERT_TRUE(process.ReadUntil(Stream::kStdout, "Ctrl C to terminate\n").found);
            std::this_thread::sleep_for(Millis(600));  // past the drain, on the real clock
            ExpectRefused("com1", 5, dir.path());      // another copy: the line is held
            ASSERT_TRUE(line.Write("xxxxx"));          // and this one goes on reporting
            ASSERT_TRUE(process.ReadUntil(Stream::kStdout, kPass).found);
            line.Close();
        }
        ASSERT_TRUE(
            process.ReadUntil(Stream::kStdout, "(2)Clear failed, erc = 31\n", Millis(3000)).found)
            << process.Output(Stream::kStdout);
        const double cpu = RunningCpu(process.pid());
        const double rss = RunningRssKiB(process.pid());
        const std::string more = process.ReadQuiet(Stream::kStdout, Millis(2000), Millis(2000));
        EXPECT_LT(RunningCpu(process.pid()) - cpu, 0.2) << "CPU seconds in 2 s without the device";
        const double grown = RunningRssKiB(process.pid()) - rss;
        EXPECT_TRUE(kSanitized || grown < 256) << grown << " KiB grown without the device";
        // Only whole lines of the failed queries' texts, about a round per 10 ms.
        std::istringstream lines(more);
        for (std::string text; std::getline(lines, text);)
            EXPECT_NE(kFailedRound.find(text + "\n"), std::string::npos) << text;
        const size_t rounds = Count(more, "(1)Clear failed, erc = 31\n");
        EXPECT_TRUE(rounds > 50 && rounds <= 201) << rounds;
        EXPECT_TRUE(process.Signal(SIGTERM)) << "no crash";
        EXPECT_TRUE(process.WaitExit().KilledBy(SIGTERM));
    }
}

TEST(LineErrors, EveryKindIsAnsweredOnceAndNoByteIsLost) {
    // Four minutes of one error a second, the kinds in turn, each followed by a five-byte burst;
    // then all kinds at one instant, and errors in the middle of a long burst.
    static const char* const kKinds[] = {"frame", "overrun", "parity", "break"};
    const int kSingles = 240, burst = 1000 + 1000 * kSingles;
    std::string script = "0 cable on\n";
    for (int i = 0, t = 1000; i < kSingles; ++i, t += 1000)
        script += std::to_string(t) + " error " + kKinds[i % 4] + "\n" + std::to_string(t + 1) +
                  " bytes 5 1 " + std::to_string(10 + i % 80) + "\n";
    for (const char* kind : kKinds)
        script += std::to_string(burst) + " error " + kind + "\n";
    script += std::to_string(burst + 1) + " bytes 100 1 ee\n";
    for (int t = burst + 2; t < burst + 100; t += 7)
        script += std::to_string(t) + " error " + kKinds[t % 4] + "\n";
    const Outcome run =
        RunScript(script + std::to_string(burst + 2000) + " end\n", {"sim", "debug"});
    ASSERT_TRUE(run.status.Exited(0)) << run.status.Describe() << run.err;

    EXPECT_EQ(Count(run.out, ": received char "), kSingles * 5u + 100u) << "every byte is read";
    EXPECT_EQ(Count(run.out, kPass), kSingles + 1u) << "one pass per burst";
    EXPECT_EQ(run.out.find("Clear failed"), std::string::npos);
    // Every answer is RTS off for exactly 50 ms: one per error a second, then at least one more.
    long offAt = -1;
    size_t pulses = 0, pulsesBeforeBurst = 0;
    for (const auto& entry : LogEntries(run.log)) {
        if (entry.second == "RTS off") {
            ASSERT_EQ(offAt, -1) << "RTS dropped twice at " << entry.first;
            offAt = entry.first;
        } else if (entry.second == "RTS on" && offAt >= 0) {
            EXPECT_EQ(entry.first - offAt, 50) << "the drop at " << offAt;
            ++pulses;
            pulsesBeforeBurst += offAt < burst;
            offAt = -1;
        }
    }
    EXPECT_EQ(offAt, -1) << "RTS raised again";
    EXPECT_EQ(pulsesBeforeBurst, static_cast<size_t>(kSingles));
    EXPECT_GT(pulses, pulsesBeforeBurst);
}

TEST(PortRefused, EveryWayAPortCannotBeHadLeavesItAlone) {
    // Ptys wait in the device folder <tmp>/dev as ttyS0, outside it where ".." would lead, and as
    // ttyS1, locked by another program as share mode 0 asks (held by another copy: PulledOut).
    TempDir dir;
    const std::string dev = dir.File("dev");
    ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
    LinePty outside(dir.path(), "x"), inside(dev, "ttyS0"), held(dev, "ttyS1");
    ASSERT_TRUE(outside.ok() && inside.ok() && held.ok());
    const int holder = open(held.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(mkdir((dev + "/ttyS4").c_str(), 0755), 0);           // com5: a directory
    ASSERT_TRUE(dir.WriteFile("dev/ttyS5", "not a device\n"));     // com6: a regular file
    ASSERT_EQ(mkfifo((dev + "/ttyS6").c_str(), 0600), 0);          // com7: a pipe
    ASSERT_EQ(symlink("/dev/null", (dev + "/ttyS7").c_str()), 0);  // com8: not a tty
    ASSERT_EQ(symlink("ttyS4", (dev + "/ttyS8").c_str()), 0);      // com9: to the directory
    ASSERT_EQ(symlink("missing", (dev + "/dangle").c_str()), 0);

    std::vector<std::pair<std::string, int>> cases = {
        {"com2", 5},   {"com5", 1},    {"com6", 1},   {"com7", 1},     {"com8", 1},
        {"com9", 1},   {".", 1},       {"dangle", 2}, {"../x", 2},     {"./../x", 2},
        {"..", 2},     {"../../x", 2}, {"x/..", 2},   {"ttyS0/.", 2},  {"ttyS0/", 2},
        {"%n%n%n", 2}, {"%s%s%s", 2},  {"sim\n", 2},  {"\ncom1", 2},   {"\x1b[2J", 2},
        {"com1\t", 2}, {" com1", 2},   {"com1 ", 2},  {"\xff\xfe", 2}, {"\xc3\xa9", 2},
        {"com0", 2},   {"com01", 2},   {"COM-1", 2},  {"com1\\", 2},   {"com4", 2}};
    for (size_t length = 1; length <= 8; ++length)  // seven characters at most
        cases.push_back({std::string("abcdefgh").substr(0, length), length < 8 ? 2 : 206});
    // Kilobytes of odd characters are shown whole.
    const std::string odd = "%n%s\x1b[0m\xff/../\\\t\"'$(x)`;|&*?";
    for (size_t length : {8u, 1000u, 4095u, 4096u, 8191u}) {
        std::string name;
        while (name.size() < length)
            name += odd;
        cases.push_back({name.substr(0, length), 206});
    }
    for (const auto& c : cases)
        ExpectRefused(c.first, c.second, dev);
    // A regular file as the device folder: nothing below it exists, and it is left as it was.
    ExpectRefused("com6", 2, dev + "/ttyS5");
    EXPECT_EQ(dir.ReadFile("dev/ttyS5"), "not a device\n");

    // A device folder that cannot be searched; root searches any, so run as nobody then.
    std::vector<std::string> asOther;
    if (geteuid() == 0) {
        ASSERT_EQ(access("/usr/bin/setpriv", X_OK), 0) << "running as root without setpriv";
        ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
        asOther = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                   ProgramPath()};
    }
    ASSERT_EQ(chmod(dev.c_str(), 0), 0);
    ExpectRefused("com1", 5, dev, asOther);
    ASSERT_EQ(chmod(dev.c_str(), 0755), 0);  // so that the folder can be removed
    close(holder);
    EXPECT_TRUE(held.Untouched()) << "the refused open changed the line's settings";
    EXPECT_TRUE(outside.Untouched()) << "a name reached outside the folder";
    EXPECT_TRUE(inside.Untouched()) << "an odd name or the unsearchable folder opened ttyS0";
}

}  // namespace
