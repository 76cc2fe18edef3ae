// The real binary under faults of the line and bad input: the device pulled
// out while monitoring (the simulated line's unplug, and a pty whose other
// end is closed), line errors in numbers, a port held by another program,
// port names of every length and with odd characters, ports that are not
// terminals, and a device folder that cannot be searched. Each case ends with
// nothing lost and no hang; "no busy loop" is the child's CPU time, measured.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "test_robust_support.h"

namespace {

using cabletest_test::ExitStatus;
using cabletest_test::LinkDevice;
using cabletest_test::Millis;
using cabletest_test::Process;
using cabletest_test::RunOptions;
using cabletest_test::Stream;
using cabletest_test::TempDir;
using namespace robust;

// Runs the program without a console on `name` in `dir`; it must refuse the
// port and end after the prompt's three failed key reads. Returns the code
// in "Open <name> failed <code>", or -1 when the output is not that.
int FailedOpenCode(const std::string& name, const std::string& dir,
                   const std::vector<std::string>& prefix = {}) {
    RunOptions options;
    if (!prefix.empty()) {
        options.program = prefix[0];
        options.args.assign(prefix.begin() + 1, prefix.end());
        options.args.push_back(cabletest_test::ProgramPath());
    }
    options.args.push_back(name);
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir}};
    options.env_unset = {"CABLETEST_CLOCK", "CABLETEST_SIM_SCRIPT"};
    Process process;
    if (!process.Start(options)) {
        ADD_FAILURE() << process.error();
        return -1;
    }
    ExitStatus status = process.WaitExit();
    const std::string out = process.Output(Stream::kStdout);
    EXPECT_TRUE(status.Exited(1)) << name << ": " << status.Describe() << "\n" << out;
    const std::string head = kBanner + "Open " + name + " failed ";
    const std::string tail = "\n" + AfterFailedOpen();
    if (out.size() < head.size() + tail.size() || out.compare(0, head.size(), head) != 0 ||
        out.compare(out.size() - tail.size(), tail.size(), tail) != 0) {
        ADD_FAILURE() << "unexpected output for \"" << name << "\":\n" << out;
        return -1;
    }
    return std::stoi(out.substr(head.size(), out.size() - head.size() - tail.size()));
}

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b);
}

// True when `text` is whole lines, each one of the texts of a failed query.
bool OnlyFailedQueries(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos)
            return false;
        const std::string line = text.substr(at, end - at);
        if (line != "(1)Clear failed, erc = 31" && line != "(2)ClearCommError" &&
            line != "(2)Clear failed, erc = 31") {
            return false;
        }
        at = end + 1;
    }
    return true;
}

// ---- the device pulled out ----------------------------------------------------

TEST(PulledOut, SimulatedUnplugForAMinuteCostsTimeNotCpu) {
    // A minute without the device, in virtual time: every round must still
    // take the cable step's 10 ms (6000 rounds), never go round without time
    // passing (which would hang the virtual clock), and cost little CPU.
    TempDir dir;
    ASSERT_TRUE(dir.WriteFile("script", "0 cable on\n1000 unplug\n61000 end\n"));
    RunOptions options;
    options.args = {"sim"};
    options.env_set = SimEnv(dir);
    options.env_unset = {"CABLETEST_TICK_START"};
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    const double cpuBefore = ReapedChildrenCpu();
    ExitStatus status = process.WaitExit(Millis(30000));
    const double cpu = ReapedChildrenCpu() - cpuBefore;
    ASSERT_TRUE(status.Exited(0)) << status.Describe();

    const std::string out = process.Output(Stream::kStdout);
    const std::string start = kBanner + "Cable connected\n";
    ASSERT_EQ(out.compare(0, start.size(), start), 0) << out.substr(0, 300);
    const std::string round =
        "(1)Clear failed, erc = 31\n(2)ClearCommError\n(2)Clear failed, erc = 31\n";
    const std::string first = "(2)ClearCommError\n(2)Clear failed, erc = 31\n";
    std::string rest = out.substr(start.size());
    ASSERT_EQ(rest.compare(0, first.size(), first), 0) << rest.substr(0, 200);
    rest = rest.substr(first.size());
    ASSERT_EQ(rest.size() % round.size(), 0u) << "only the failed queries' texts, whole";
    const size_t rounds = rest.size() / round.size();
    EXPECT_EQ(rest, [&] {
        std::string all;
        for (size_t i = 0; i < rounds; ++i)
            all += round;
        return all;
    }());
    EXPECT_GE(rounds, 5990u);
    EXPECT_LE(rounds, 6000u);
    EXPECT_LT(cpu, 3.0) << "CPU seconds for a minute unplugged";
    // DTR is pulsed only while the device was there.
    const std::string log = dir.ReadFile("log");
    EXPECT_EQ(log.find("1190 DTR"), std::string::npos) << log;
}

TEST(PulledOut, SimulatedUnplugInRealTimeIsNoBusyLoop) {
    TempDir dir;
    ASSERT_TRUE(dir.WriteFile("script", "0 cable on\n200 bytes 3\n400 unplug\n"));
    RunOptions options;
    options.args = {"sim"};
    options.env_set = SimEnv(dir, false);
    options.env_unset = {"CABLETEST_CLOCK", "CABLETEST_TICK_START"};
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    ASSERT_TRUE(process.ReadUntil(Stream::kStdout, "(2)Clear failed, erc = 31\n").found);
    const double cpuStart = RunningCpu(process.pid());
    const long rssStart = StatusKiB(process.pid(), "VmRSS");
    std::string more = process.ReadQuiet(Stream::kStdout, Millis(2000), Millis(2000));
    const double cpu = RunningCpu(process.pid()) - cpuStart;
    const long rssEnd = StatusKiB(process.pid(), "VmRSS");
    EXPECT_TRUE(process.running()) << "no crash";
    EXPECT_LT(cpu, 0.2) << "CPU seconds in 2 s without the device";
    if (!kSanitized) {
        EXPECT_LT(rssEnd - rssStart, 256) << "KiB grown while unplugged";
    }
    // About one round per 10 ms, each with the texts of the failed queries.
    const size_t rounds = Count(more, "(1)Clear failed, erc = 31\n");
    EXPECT_GT(rounds, 50u);
    EXPECT_LE(rounds, 201u);
    EXPECT_EQ(Count(more, "(2)Clear failed, erc = 31\n"), Count(more, "(2)ClearCommError\n"));
    EXPECT_TRUE(process.Signal(SIGTERM));
    EXPECT_TRUE(process.WaitExit().KilledBy(SIGTERM));
}

TEST(PulledOut, PtyWhoseOtherEndIsClosedEndsInFailedQueriesNotASpin) {
    TempDir dir;
    LinePty line;
    ASSERT_TRUE(line.ok());
    ASSERT_FALSE(LinkDevice(dir.path(), cabletest_test::ComDeviceName(1), line.slave()).empty());
    RunOptions options;
    options.args = {"com1"};
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
    options.env_unset = {"CABLETEST_CLOCK"};
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    ASSERT_TRUE(process.ReadUntil(Stream::kStdout, "Ctrl C to terminate\n").found);
    // A pass first, so the line is known to work, then the device goes.
    std::this_thread::sleep_for(Millis(600));
    ASSERT_TRUE(line.Write(std::string(5, 'x')));
    ASSERT_TRUE(process.ReadUntil(Stream::kStdout, kPass).found) << process.Output(Stream::kStdout);
    line.CloseMaster();

    ASSERT_TRUE(process.ReadUntil(Stream::kStdout, "Clear failed, erc = 31\n", Millis(3000)).found)
        << process.Output(Stream::kStdout);
    const double cpuStart = RunningCpu(process.pid());
    std::string more = process.ReadQuiet(Stream::kStdout, Millis(2000), Millis(2000));
    const double cpu = RunningCpu(process.pid()) - cpuStart;
    EXPECT_TRUE(process.running()) << "no crash";
    EXPECT_LT(cpu, 0.2) << "CPU seconds in 2 s after the hang-up";
    // Only the failed queries' texts, whole lines, and no new pass.
    EXPECT_TRUE(OnlyFailedQueries(more)) << more.substr(0, 400);
    EXPECT_GT(Count(more, "(1)Clear failed, erc = 31\n"), 50u) << more.substr(0, 400);
    EXPECT_TRUE(process.Signal(SIGTERM));
    EXPECT_TRUE(process.WaitExit().KilledBy(SIGTERM));
}

// ---- line errors in numbers --------------------------------------------------

TEST(LineErrors, FourMinutesOfErrorsOfEveryKindLoseNoByteAndEachIsAnswered) {
    // One error a second, the four kinds in turn, each followed by a
    // five-byte burst; then errors of all kinds at one instant and errors in
    // the middle of a long burst.
    static const char* const kKinds[] = {"frame", "overrun", "parity", "break"};
    std::string script = "0 cable on\n";
    const int kSingles = 240;
    for (int i = 0; i < kSingles; ++i) {
        const int t = 1000 + 1000 * i;
        script += std::to_string(t) + " error " + kKinds[i % 4] + "\n";
        script += std::to_string(t + 1) + " bytes 5 1 " + std::to_string(10 + i % 80) + "\n";
    }
    const int burst = 1000 + 1000 * kSingles;  // all kinds at once, then a burst
    for (const char* kind : kKinds)
        script += std::to_string(burst) + " error " + kind + "\n";
    script += std::to_string(burst + 1) + " bytes 100 1 ee\n";
    for (int t = burst + 2; t < burst + 100; t += 7) {
        script += std::to_string(t) + " error " + kKinds[t % 4] + "\n";
    }
    script += std::to_string(burst + 2000) + " end\n";

    TempDir dir;
    ASSERT_TRUE(dir.WriteFile("script", script));
    RunOptions options;
    options.args = {"sim", "debug"};
    options.env_set = SimEnv(dir);
    options.env_unset = {"CABLETEST_TICK_START"};
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    ExitStatus status = process.WaitExit(Millis(60000));
    ASSERT_TRUE(status.Exited(0)) << status.Describe() << process.Output(Stream::kStderr);
    const std::string out = process.Output(Stream::kStdout);

    EXPECT_EQ(Count(out, ": received char "), kSingles * 5u + 100u) << "every byte is read";
    EXPECT_EQ(Count(out, ": received char EE\n"), 100u);
    EXPECT_EQ(Count(out, kPass), kSingles + 1u) << "one pass per burst";
    EXPECT_EQ(out.find("Clear failed"), std::string::npos);

    // Every answer is RTS off for exactly 50 ms; one per error a second.
    const std::string log = dir.ReadFile("log");
    long offAt = -1;
    size_t pulses = 0, pulsesBeforeBurst = 0;
    for (const auto& entry : LogEntries(log)) {
        const long t = entry.first;
        if (entry.second == "RTS off") {
            ASSERT_EQ(offAt, -1) << "RTS dropped twice at " << t;
            offAt = t;
        } else if (entry.second == "RTS on" && offAt >= 0) {
            EXPECT_EQ(t - offAt, 50) << "the drop at " << offAt;
            ++pulses;
            if (offAt < burst)
                ++pulsesBeforeBurst;
            offAt = -1;
        }
    }
    EXPECT_EQ(offAt, -1) << "RTS raised again";
    EXPECT_EQ(pulsesBeforeBurst, static_cast<size_t>(kSingles));
    EXPECT_GE(pulses, pulsesBeforeBurst + 1);
}

// ---- ports that cannot be had --------------------------------------------------

TEST(PortRefused, HeldByAnotherProgramIsRefusedAndLeftAlone) {
    TempDir dir;
    LinePty line;
    ASSERT_TRUE(line.ok());
    ASSERT_FALSE(LinkDevice(dir.path(), "ttyS1", line.slave()).empty());
    termios before{};
    ASSERT_EQ(tcgetattr(line.master(), &before), 0);

    // Another program holding the device with a lock, as share mode 0 asks.
    const int holder = open(line.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(FailedOpenCode("com2", dir.path()), 5);
    termios after{};
    ASSERT_EQ(tcgetattr(line.master(), &after), 0);
    EXPECT_TRUE(SameSettings(before, after)) << "the refused open changed the line's settings";
    close(holder);

    // Another copy of this program monitoring the line: the second copy is
    // refused, and the first goes on reporting.
    RunOptions options;
    options.args = {"com2"};
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
    options.env_unset = {"CABLETEST_CLOCK"};
    Process first;
    ASSERT_TRUE(first.Start(options)) << first.error();
    ASSERT_TRUE(first.ReadUntil(Stream::kStdout, "Ctrl C to terminate\n").found);
    std::this_thread::sleep_for(Millis(400));
    EXPECT_EQ(FailedOpenCode("com2", dir.path()), 5);
    std::this_thread::sleep_for(Millis(500));
    ASSERT_TRUE(line.Write("abc"));
    EXPECT_TRUE(first.ReadUntil(Stream::kStdout, kPass).found) << first.Output(Stream::kStdout);
    EXPECT_TRUE(first.Signal(SIGTERM));
    EXPECT_TRUE(first.WaitExit().KilledBy(SIGTERM));
}

TEST(PortRefused, FilesThatAreNotTerminalsAreRefusedUnopened) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.File("ttyS4").c_str(), 0755), 0);           // a directory
    ASSERT_TRUE(dir.WriteFile("ttyS5", "not a device\n"));          // a regular file
    ASSERT_EQ(mkfifo(dir.File("ttyS6").c_str(), 0600), 0);          // a pipe
    ASSERT_EQ(symlink("/dev/null", dir.File("ttyS7").c_str()), 0);  // a device, not a tty
    ASSERT_EQ(symlink("ttyS4", dir.File("ttyS8").c_str()), 0);      // a link to the directory
    ASSERT_EQ(symlink("missing", dir.File("dangle").c_str()), 0);
    for (const char* name : {"com5", "com6", "com7", "com8", "com9", "."}) {
        EXPECT_EQ(FailedOpenCode(name, dir.path()), 1) << name;
    }
    EXPECT_EQ(FailedOpenCode("dangle", dir.path()), 2);
    // A regular file given as the device folder: nothing below it exists.
    EXPECT_EQ(FailedOpenCode("com6", dir.File("ttyS5")), 2);
    EXPECT_EQ(dir.ReadFile("ttyS5"), "not a device\n");
}

TEST(PortRefused, ADeviceFolderThatCannotBeSearched) {
    TempDir dir;
    const std::string devices = dir.File("devices");
    ASSERT_EQ(mkdir(devices.c_str(), 0755), 0);
    LinePty line;
    ASSERT_TRUE(line.ok());
    ASSERT_FALSE(LinkDevice(devices, "ttyS0", line.slave()).empty());
    ASSERT_EQ(chmod(devices.c_str(), 0), 0);
    std::vector<std::string> asOther;
    if (geteuid() == 0) {
        // Root searches any folder; run the program as nobody instead.
        if (access("/usr/bin/setpriv", X_OK) != 0) {
            chmod(devices.c_str(), 0755);
            GTEST_SKIP() << "running as root without setpriv";
        }
        ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
        asOther = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    termios before{};
    ASSERT_EQ(tcgetattr(line.master(), &before), 0);
    EXPECT_EQ(FailedOpenCode("com1", devices, asOther), 5);
    termios after{};
    ASSERT_EQ(tcgetattr(line.master(), &after), 0);
    EXPECT_TRUE(SameSettings(before, after));
    ASSERT_EQ(chmod(devices.c_str(), 0755), 0);  // so that the folder can be removed
}

// ---- names ------------------------------------------------------------------

TEST(PortNames, OddShortNamesNeverReachOutsideTheFolder) {
    // The device folder is <tmp>/dev; a pty waits just outside it, where a
    // name with ".." would lead, and inside it as ttyS0.
    TempDir dir;
    const std::string devices = dir.File("dev");
    ASSERT_EQ(mkdir(devices.c_str(), 0755), 0);
    LinePty outside, inside;
    ASSERT_TRUE(outside.ok() && inside.ok());
    ASSERT_FALSE(LinkDevice(dir.path(), "x", outside.slave()).empty());
    ASSERT_FALSE(LinkDevice(devices, "ttyS0", inside.slave()).empty());
    termios outsideBefore{}, insideBefore{};
    ASSERT_EQ(tcgetattr(outside.master(), &outsideBefore), 0);
    ASSERT_EQ(tcgetattr(inside.master(), &insideBefore), 0);

    struct Case {
        std::string name;
        int code;
    };
    const std::vector<Case> cases = {
        {"../x", 2},     {"./../x", 2},  {"..", 2},         {"x/..", 2},    {"ttyS0/.", 2},
        {"ttyS0/", 2},   {"%n%n%n", 2},  {"%s%s%s", 2},     {"sim\n", 2},   {"\ncom1", 2},
        {"\x1b[2J", 2},  {"com1\t", 2},  {" com1", 2},      {"com1 ", 2},   {"\xff\xfe", 2},
        {"\xc3\xa9", 2}, {"com0", 2},    {"com01", 2},      {"COM-1", 2},   {"com1\\", 2},
        {"a", 2},        {"ab", 2},      {"abc", 2},        {"abcd", 2},    {"abcde", 2},
        {"abcdef", 2},   {"abcdefg", 2}, {"abcdefgh", 206}, {"../../x", 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FailedOpenCode(c.name, devices), c.code) << "name \"" << c.name << "\"";
    }
    termios after{};
    ASSERT_EQ(tcgetattr(outside.master(), &after), 0);
    EXPECT_TRUE(SameSettings(outsideBefore, after)) << "a name reached outside the folder";
    ASSERT_EQ(tcgetattr(inside.master(), &after), 0);
    EXPECT_TRUE(SameSettings(insideBefore, after)) << "an odd name opened ttyS0";
}

TEST(PortNames, KilobytesOfOddCharactersAreShownWholeAndRefused) {
    TempDir dir;
    const std::string odd = "%n%s\x1b[0m\xff/../\\\t\"'$(x)`;|&*?";
    for (size_t length : {8u, 1000u, 4095u, 4096u, 8191u}) {
        std::string name;
        while (name.size() < length)
            name += odd;
        name.resize(length);
        EXPECT_EQ(FailedOpenCode(name, dir.path()), 206) << length;
    }
}

}  // namespace
