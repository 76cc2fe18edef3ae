// The program under faults: signals at the prompt and while monitoring, standard output closed,
// full or without its reader, a flood, the device pulled out, and ports that cannot be had.
// Nothing reported is lost, nothing spins (the child's CPU time, measured), and the terminal and
// every device not opened are left as they were.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace harness;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory makes resident sizes meaningless
#else
constexpr bool kSanitized = false;
#endif

double Cpu(pid_t pid) {  // NaN when unknown, so that no comparison passes
    clockid_t clock;
    timespec t{};
    bool ok = clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &t) == 0;
    return ok ? t.tv_sec + t.tv_nsec / 1e9 : NAN;
}

// At the prompt every signal that ends the process restores the terminal first, and the process
// still dies of it. The tsan preset leaves out Signals.*: the sanitizer defers and re-delivers
// signals itself.
TEST(Signals, AtThePromptAndWhileMonitoringTheModeIsRestoredAndEveryReportKept) {
    rlimit core{};
    getrlimit(RLIMIT_CORE, &core);
    core.rlim_cur = 0;  // SIGXCPU leaves no core file behind
    setrlimit(RLIMIT_CORE, &core);
    for (bool monitoring : {false, true})
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGALRM, SIGUSR1, SIGXCPU}) {
            if (monitoring && sig != SIGINT && sig != SIGTERM && sig != SIGHUP)
                continue;
            SCOPED_TRACE(std::string(strsignal(sig)) + (monitoring ? " monitoring" : ""));
            TempDir dir;
            WriteFile(dir / "script", "0 cable on\n1000 bytes 3\n2000 bytes 3\n3000 bytes 3\n");
            Pty tty;
            const termios before = tty.Mode();
            Options o{{}, {{"CABLETEST_DEVICE_DIR", dir.path}}, &tty};
            if (monitoring)
                o = {{"sim"},
                     {{"CABLETEST_CLOCK", "virtual"}, {"CABLETEST_SIM_SCRIPT", dir / "script"}},
                     &tty};
            Child p(o);
            const std::string shown =
                kBanner + (monitoring ? kConnected + kPass + kPass + kPass : kPrompt);
            ASSERT_TRUE(p.ReadUntil(shown, 5000)) << p.out;
            ASSERT_TRUE(monitoring || tty.WaitRaw());
            ASSERT_TRUE(p.Signal(sig));
            EXPECT_TRUE(p.Wait().Killed(sig));
            EXPECT_EQ(p.out, shown);
            EXPECT_TRUE(tty.Kept(before)) << "the terminal's mode was not restored";
        }
}

bool Stopped(pid_t pid) {
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    for (double end = Now() + 5; ReadFile(stat).find(") T ") == std::string::npos; usleep(1000))
        if (Now() > end)
            return false;
    return true;
}

// As a job of a shell, so that a stop really stops: the terminal is restored for each stop,
// raw again on continuing, and the key read goes on.
TEST(Signals, EachStopAtThePromptRestoresTheTerminal) {
    Pty tty;
    const termios before = tty.Mode();
    Child p({{}, {}, &tty, true});
    ASSERT_TRUE(p.ReadUntil(kPrompt) && tty.WaitRaw()) << p.out;
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(p.Signal(SIGTSTP) && Stopped(p.pid())) << "round " << round;
        EXPECT_TRUE(tty.Kept(before)) << "stopped in raw mode, round " << round;
        ASSERT_TRUE(p.Signal(SIGCONT) && tty.WaitRaw());
    }
    // A stop that cannot be caught leaves the terminal raw; the shell puts its own mode back, and
    // continuing makes it raw again.
    ASSERT_TRUE(p.Signal(SIGSTOP) && Stopped(p.pid()));
    ASSERT_EQ(tcsetattr(tty.master, TCSANOW, &before), 0);
    ASSERT_TRUE(p.Signal(SIGCONT) && tty.WaitRaw());
    ASSERT_TRUE(tty.Write("z") && p.ReadUntil(kInvalid + kPrompt) && tty.WaitRaw()) << p.out;
    ASSERT_TRUE(p.Signal(SIGTERM));
    EXPECT_TRUE(p.Wait().Killed(SIGTERM));
    EXPECT_TRUE(tty.Kept(before));
}

TEST(Output, ClosedOrWithoutItsReaderIsNoCrashAndNoSpin) {
    const std::pair<const char*, int> cases[] = {
        {"{ \"$0\" \"$@\" >&-; echo \"status $?\" >&2; }", 0},
        // By default the first write after the reader has gone ends the program with SIGPIPE;
        // with it ignored, as some parents leave it, the writes fail and the program works on.
        {"{ \"$0\" \"$@\"; echo \"status $?\" >&2; } | head -c 100 >/dev/null", 128 + SIGPIPE},
        {"trap '' PIPE; { \"$0\" \"$@\"; echo \"status $?\" >&2; } | head -c 100 >/dev/null", 0}};
    for (const auto& c : cases) {
        SimRun run = RunSim("0 cable on\n1000 bytes 4000 1\n6000 end\n",
                            {"-c", c.first, ProgramPath(), "sim", "debug"}, {}, "/bin/sh");
        EXPECT_TRUE(run.status.Exited(0)) << c.first;
        EXPECT_EQ(run.err, "status " + std::to_string(c.second) + "\n") << c.first;
        EXPECT_LT(run.status.cpu, 3.0) << c.first;
        // The files the program opens must not take the closed stream's place.
        EXPECT_EQ(Count(run.log, " DTR ") + Count(run.log, " RTS "), Count(run.log, "\n"));
    }
}

TEST(Output, ClosedNeverSendsReportsDownTheLine) {
    TempDir dir;
    Pty line;
    ASSERT_TRUE(line.Link(dir.path, "ttyS0"));
    Options o({"-c", "exec \"$0\" com1 debug >&-", ProgramPath()},
              {{"CABLETEST_DEVICE_DIR", dir.path}});
    o.program = "/bin/sh";
    Child p(o);
    ASSERT_TRUE(line.WaitRaw());
    usleep(300000);  // past the handle line, on the real clock
    ASSERT_TRUE(line.Write("abc"));
    pollfd sent{line.master, POLLIN, 0};
    EXPECT_EQ(poll(&sent, 1, 300), 0) << "reports were sent down the line";
    EXPECT_TRUE(p.Signal(SIGTERM) && p.Wait().Killed(SIGTERM)) << "no crash";
}

// A flood of bytes 1 ms apart, a line each in debug mode, is far more than a pipe holds, and
// nobody reads for a while: the program blocks without spinning, then loses nothing. The flood is
// one pass, the byte 2 s after it another; no cable sample while the bytes come; memory stays flat.
TEST(Output, AFloodIntoAFullPipeBlocksWithoutSpinningAndLosesNothing) {
    TempDir dir;
    WriteFile(dir / "script", "0 cable on\n1000 bytes 20000 1 55\n23000 bytes 1 1 77\n23500 end\n");
    Child p({{"sim", "debug"},
             {{"CABLETEST_CLOCK", "virtual"},
              {"CABLETEST_SIM_SCRIPT", dir / "script"},
              {"CABLETEST_SIM_LOG", dir / "log"}}});
    // Blocked, a whole second goes by at next to no cost; a spinner takes far more of it even on a
    // loaded machine. Until the pipe is full the program works, so the first seconds may not count.
    bool quiet = false;
    for (double cpu = Cpu(p.pid()), end = Now() + 20; !quiet && Now() < end;) {
        usleep(1000000);
        const double now = Cpu(p.pid());
        quiet = now - cpu < 0.05;
        cpu = now;
    }
    EXPECT_TRUE(quiet) << "no second with the pipe full without spinning";
    Status status = p.Wait(60000);
    EXPECT_TRUE(status.Exited(0)) << status.Text();
    EXPECT_EQ(Count(p.out, ": received char 55\n"), 20000u);
    EXPECT_EQ(Count(p.out, ": received char 77\n"), 1u);
    EXPECT_EQ(Count(p.out, kPass), 2u);
    EXPECT_EQ(p.out.find(kPass), p.out.find("\n", p.out.find("received char")) + 1);
    EXPECT_NE(ReadFile(dir / "log").find("990 DTR off\n21199 DTR on\n"), std::string::npos);
    EXPECT_TRUE(kSanitized || status.maxRssKiB < 8192) << status.maxRssKiB << " KiB";
}

// A pty whose far end is closed after a pass, in real time: one report, then nothing at next to
// no cost until the name leads to a new pty, which is taken up, raw again, and reports a burst.
TEST(PulledOut, AHungUpPtyIsWaitedForQuietlyAndANewOneTakenUp) {
    TempDir dir;
    Pty line, again;
    ASSERT_TRUE(line.Link(dir.path, "ttyS0"));
    Child p({{"com1"}, {{"CABLETEST_DEVICE_DIR", dir.path}}});
    ASSERT_TRUE(line.WaitRaw());
    usleep(400000);  // past the start-up pause and the drain, on the real clock
    ASSERT_TRUE(line.Write("xxxxx") && p.ReadUntil(kPass)) << p.out;
    line.Close();  // its number is free for other ptys once the program lets go: no link to it
    ASSERT_EQ(unlink((dir / "ttyS0").c_str()), 0);
    ASSERT_TRUE(p.ReadUntil(Lost("com1"), 3000)) << p.out;
    const size_t away = p.out.size();
    const double cpu = Cpu(p.pid());
    for (double end = Now() + 3; Now() < end;)
        p.Pump(20);
    EXPECT_LT(Cpu(p.pid()) - cpu, 0.15) << "CPU seconds in 3 s without the device: 5 % of a core";
    EXPECT_EQ(p.out.size(), away) << p.out;
    ASSERT_TRUE(again.Link(dir.path, "ttyS0"));
    ASSERT_TRUE(again.WaitRaw() && p.ReadUntil("Port com1 back\n", 2000)) << p.out;
    usleep(200000);  // past the drain
    ASSERT_TRUE(again.Write("yyyyy") && p.ReadUntil(kPass)) << p.out;
    const std::string back = Lost("com1") + "Port com1 back\n" + kPass;  // after the query's text
    EXPECT_TRUE(p.out == kBanner + kPass + kFailedFirst + back ||
                p.out == kBanner + kPass + kFailedAfterWait + back)
        << p.out;
    EXPECT_TRUE(p.Signal(SIGTERM) && p.Wait().Killed(SIGTERM)) << "no crash";
}

// Gone as it opens and back at once: the watcher, whose first arming failed, serves the port
// that comes back, so each burst is read as it arrives and both are passes.
TEST(PulledOut, APortLostAsItOpensKeepsItsWatcher) {
    SimRun run =
        RunSim("0 unplug\n0 replug\n2130 bytes 5 1\n2890 bytes 5 1\n5130 end\n", {"sim", "debug"});
    EXPECT_TRUE(run.status.Exited(0));
    EXPECT_EQ(Count(run.out, kPass), 2u) << run.out;
    EXPECT_NE(run.out.find("\n1002130 0: received char 00\n" + kPass), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\n1002890 1002134: received char 00\n" + kPass), std::string::npos)
        << run.out;
}

// Refused in full ("Open <name> failed <code>", the name whole, however odd), and the devices
// in and beyond the folder are left alone. A folder that cannot be searched needs a user other
// than root.
TEST(PortRefused, EveryWayAPortCannotBeHadLeavesItAlone) {
    TempDir dir;
    const std::string dev = dir / "dev";
    Pty outside, inside;
    ASSERT_TRUE(!mkdir(dev.c_str(), 0755) && outside.Link(dir.path, "x") &&
                inside.Link(dev, "ttyS0"));
    const termios modes[2] = {outside.Mode(), inside.Mode()};
    std::string odd = "%n%s\x1b[0m\xff/../\\\t\"'$(x)`;|&*?";
    while (odd.size() < 8191)
        odd += odd;
    std::vector<std::pair<std::string, int>> cases = {
        {"../x", 2}, {"%n%n%n", 2}, {"\x1b[2J", 2}, {odd.substr(0, 8191), 206}};
    if (geteuid() == 0)
        cases.push_back({"com1", 5});  // last: the folder is made unsearchable for it
    for (const auto& c : cases) {
        Options o({c.first}, {{"CABLETEST_DEVICE_DIR", dev}});
        if (c.first == "com1") {
            ASSERT_TRUE(chmod(dir.path.c_str(), 0711) == 0 && chmod(dev.c_str(), 0) == 0);
            o = AsOther(o);
        }
        Child p(o);
        EXPECT_TRUE(p.Wait().Exited(1)) << c.first;
        EXPECT_EQ(p.out, Refused(c.first, c.second));
    }
    chmod(dev.c_str(), 0755);  // so that the folder can be removed
    EXPECT_TRUE(outside.Kept(modes[0])) << "a name reached outside the folder";
    EXPECT_TRUE(inside.Kept(modes[1])) << "an odd name or the locked folder opened ttyS0";
}

}  // namespace
