// Signals and a troubled standard output, through the real binary. SIGINT, SIGTERM and SIGHUP at
// the prompt and while monitoring: the terminal's mode is restored, and a redirected output holds
// every report printed before. Standard output closed, full, or its reader gone: no spin.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "test_robust_support.h"

namespace {

using namespace robust;

TEST(Signals, TheTerminalModeIsRestoredAndEveryReportKept) {
    // At the prompt, in the key read's mode; and monitoring, after three passes, while virtual
    // time runs on with nothing more to print.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, kBanner + kPrompt}, {{"sim"}, kBanner + "Cable connected\n" + kPass + kPass + kPass}};
    const std::string script = "0 cable on\n1000 bytes 3\n2000 bytes 3\n3000 bytes 3\n";
    for (const auto& c : cases)
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + (c.first.empty() ? " at the prompt" : ""));
            TempDir dir;
            ASSERT_TRUE(dir.WriteFile("script", script));
            Pty tty;
            termios before{}, after{};
            ASSERT_TRUE(tty.GetAttr(&before));
            RunOptions options = Options(dir.path(), c.first, c.first.empty() ? "" : "virtual");
            options.terminal = &tty;
            options.stdout_to = StdoutTo::kFile;
            options.stdout_file = dir.File("out");
            Process process;
            ASSERT_TRUE(process.Start(options)) << process.error();
            // Each report reaches the file as it is printed, not when a buffer fills.
            ASSERT_TRUE(process.ReadUntil(Stream::kStdout, c.second).found) << dir.ReadFile("out");
            ASSERT_TRUE(!c.first.empty() || tty.WaitForRawMode());
            ASSERT_TRUE(process.Signal(sig));
            const ExitStatus status = process.WaitExit();
            EXPECT_TRUE(status.KilledBy(sig)) << status.Describe();
            EXPECT_EQ(dir.ReadFile("out"), c.second);
            ASSERT_TRUE(tty.GetAttr(&after));
            EXPECT_EQ(memcmp(&before, &after, sizeof after), 0) << "the mode was not restored";
        }
}

TEST(TroubledOutput, ClosedOrWithItsReaderGoneIsNoCrashLoopAndNoSpin) {
    std::string busyMinute;  // passes and cable changes
    for (int t = 1000; t < 60000; t += 1000)
        busyMinute += std::to_string(t) + " cable " + ((t / 1000) % 2 ? "on" : "off") + "\n" +
                      std::to_string(t + 100) + " bytes 200 1\n";
    const std::pair<const char*, int> cases[] = {
        {"{ \"$0\" \"$@\" >&-; echo \"status $?\" >&2; }", 0},
        // By default the first write after the reader has gone ends the program with SIGPIPE.
        {"{ \"$0\" \"$@\"; echo \"status $?\" >&2; } | head -c 100 >/dev/null", 128 + SIGPIPE},
        // With it ignored, as some parents leave it, the writes fail and the program works on.
        {"trap '' PIPE; { \"$0\" \"$@\"; echo \"status $?\" >&2; } | head -c 100 >/dev/null", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const Outcome run = RunScript(busyMinute + "61000 end\n",
                                      {"-c", c.first, ProgramPath(), "sim", "debug"}, "/bin/sh");
        EXPECT_TRUE(run.status.Exited(0)) << run.status.Describe();
        EXPECT_NE(run.err.find("status " + std::to_string(c.second) + "\n"), std::string::npos)
            << run.err;
        EXPECT_LT(run.cpu, 3.0);
        // The files the program opens must not take the closed stream's place.
        EXPECT_EQ(LogEntries(run.log).size(), Count(run.log, "\n")) << run.log.substr(0, 300);
    }
}

TEST(TroubledOutput, StandardOutputClosedNeverSendsReportsDownTheLine) {
    // The device opened while descriptor 1 is free must not become standard output.
    TempDir dir;
    LinePty line(dir.path(), "ttyS0");
    ASSERT_TRUE(line.ok());
    RunOptions options = Options(dir.path(), {"-c", "exec \"$0\" com1 debug >&-", ProgramPath()});
    options.program = "/bin/sh";
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    std::this_thread::sleep_for(Millis(600));  // past start-up and the drain
    ASSERT_TRUE(line.Write("abc"));
    std::this_thread::sleep_for(Millis(400));
    pollfd sent{line.master, POLLIN, 0};
    EXPECT_EQ(poll(&sent, 1, 0), 0) << "reports were sent down the line";
    EXPECT_TRUE(process.Signal(SIGTERM)) << "no crash";
    EXPECT_TRUE(process.WaitExit().KilledBy(SIGTERM));
}

TEST(TroubledOutput, AFullPipeBlocksWithoutSpinningAndLosesNothing) {
    // A line per byte: 20000 bytes are far more than a pipe holds, and nobody reads for a while.
    TempDir dir;
    ASSERT_TRUE(dir.WriteFile("script", "0 cable on\n1000 bytes 20000 1 33\n22000 end\n"));
    Process process;
    ASSERT_TRUE(process.Start(Options(dir.path(), {"sim", "debug"}, "virtual"))) << process.error();
    std::this_thread::sleep_for(Millis(1000));  // until the pipe is full
    const double cpu = RunningCpu(process.pid());
    std::this_thread::sleep_for(Millis(1000));
    EXPECT_LT(RunningCpu(process.pid()) - cpu, 0.05) << "CPU seconds in 1 s with the pipe full";
    const ExitStatus status = process.WaitExit(Millis(60000));
    EXPECT_TRUE(status.Exited(0)) << status.Describe();
    const std::string out = process.Output(Stream::kStdout);
    EXPECT_EQ(Count(out, ": received char 33\n"), 20000u);
    EXPECT_EQ(Count(out, kPass), 1u);
}

}  // namespace
