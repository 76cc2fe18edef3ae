// Signals and a troubled standard output, through the real binary. SIGINT,
// SIGTERM and SIGHUP at the prompt and while monitoring: the terminal's mode
// is back as it was, and output redirected to a file holds every report
// printed before the signal. Standard output closed, a pipe nobody reads, a
// pipe whose reader has gone: no crash loop and no spin.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "harness.h"
#include "test_robust_support.h"

namespace {

using cabletest_test::ExitStatus;
using cabletest_test::Millis;
using cabletest_test::Process;
using cabletest_test::Pty;
using cabletest_test::RunOptions;
using cabletest_test::StdoutTo;
using cabletest_test::Stream;
using cabletest_test::TempDir;
using namespace robust;

bool SameMode(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cflag == b.c_cflag && a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

TEST(Signals, AtThePromptTheTerminalModeIsRestoredAndTheOutputKept) {
    for (int sig : kSignals) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        Pty tty;
        ASSERT_TRUE(tty.ok());
        termios before{};
        ASSERT_TRUE(tty.GetAttr(&before));
        RunOptions options;
        options.terminal = &tty;
        options.stdout_to = StdoutTo::kFile;
        options.stdout_file = dir.File("out");
        options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
        Process process;
        ASSERT_TRUE(process.Start(options)) << process.error();
        ASSERT_TRUE(process.ReadUntil(Stream::kStdout, kPrompt).found);
        ASSERT_TRUE(tty.WaitForRawMode());
        ASSERT_TRUE(process.Signal(sig));
        ExitStatus status = process.WaitExit();
        EXPECT_TRUE(status.KilledBy(sig)) << status.Describe();
        termios after{};
        ASSERT_TRUE(tty.GetAttr(&after));
        EXPECT_TRUE(SameMode(before, after)) << "the terminal is left in the key read's mode";
        EXPECT_EQ(dir.ReadFile("out"), kBanner + kPrompt);
    }
}

TEST(Signals, WhileMonitoringEveryReportBeforeTheSignalIsInTheFile) {
    for (int sig : kSignals) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        // Three passes, then the line stays quiet for ever (virtual time
        // runs on at full speed, with nothing more to print).
        ASSERT_TRUE(
            dir.WriteFile("script", "0 cable on\n1000 bytes 3\n2000 bytes 3\n3000 bytes 3\n"));
        Pty tty;
        ASSERT_TRUE(tty.ok());
        termios before{};
        ASSERT_TRUE(tty.GetAttr(&before));
        RunOptions options;
        options.args = {"sim"};
        options.terminal = &tty;
        options.stdout_to = StdoutTo::kFile;
        options.stdout_file = dir.File("out");
        options.env_set = SimEnv(dir);
        Process process;
        ASSERT_TRUE(process.Start(options)) << process.error();
        const std::string expected = kBanner + "Cable connected\n" + kPass + kPass + kPass;
        // Each report reaches the file when printed, not when a buffer fills.
        ASSERT_TRUE(process.ReadUntil(Stream::kStdout, expected).found) << dir.ReadFile("out");
        ASSERT_TRUE(process.Signal(sig));
        ExitStatus status = process.WaitExit();
        EXPECT_TRUE(status.KilledBy(sig)) << status.Describe();
        EXPECT_EQ(dir.ReadFile("out"), expected);
        termios after{};
        ASSERT_TRUE(tty.GetAttr(&after));
        EXPECT_TRUE(SameMode(before, after)) << "monitoring changed the terminal's mode";
    }
}

// Runs the program through /bin/sh -c `shell` with the program path as $0
// and a script on the simulated line in virtual time; returns the status and
// the CPU time it took.
struct ShellRun {
    ExitStatus status;
    double cpu = 0;
    std::string out, err, log;
};

ShellRun RunThroughShell(const std::string& shell, const std::string& script,
                         std::vector<std::string> args) {
    TempDir dir;
    ShellRun run;
    EXPECT_TRUE(dir.WriteFile("script", script));
    RunOptions options;
    options.program = "/bin/sh";
    options.args = {"-c", shell, cabletest_test::ProgramPath()};
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.env_set = SimEnv(dir);
    Process process;
    if (!process.Start(options)) {
        ADD_FAILURE() << process.error();
        return run;
    }
    const double before = ReapedChildrenCpu();
    run.status = process.WaitExit(Millis(60000));
    run.cpu = ReapedChildrenCpu() - before;
    run.out = process.Output(Stream::kStdout);
    run.err = process.Output(Stream::kStderr);
    run.log = dir.ReadFile("log");
    return run;
}

// A minute of passes and cable changes, then the end.
std::string BusyMinute() {
    std::string script;
    for (int t = 1000; t < 60000; t += 1000) {
        script += std::to_string(t) + " cable " + ((t / 1000) % 2 ? "on" : "off") + "\n";
        script += std::to_string(t + 100) + " bytes 20 1\n";
    }
    return script + "61000 end\n";
}

TEST(TroubledOutput, StandardOutputClosedIsNoCrashAndNoSpin) {
    ShellRun run = RunThroughShell("exec \"$0\" \"$@\" >&-", BusyMinute(), {"sim", "debug"});
    EXPECT_TRUE(run.status.Exited(0)) << run.status.Describe() << run.err;
    EXPECT_LT(run.cpu, 3.0);
    // The files the program opens must not take the closed stream's place.
    EXPECT_EQ(run.log.find("Carriage"), std::string::npos) << run.log.substr(0, 300);
    EXPECT_EQ(run.log.find("DSR"), std::string::npos) << run.log.substr(0, 300);
}

TEST(TroubledOutput, StandardOutputClosedNeverSendsReportsDownTheLine) {
    // The device opened while descriptor 1 is free must not become standard
    // output: the program never transmits.
    TempDir dir;
    LinePty line;
    ASSERT_TRUE(line.ok());
    ASSERT_FALSE(cabletest_test::LinkDevice(dir.path(), "ttyS0", line.slave()).empty());
    RunOptions options;
    options.program = "/bin/sh";
    options.args = {"-c", "exec \"$0\" com1 debug >&-", cabletest_test::ProgramPath()};
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
    options.env_unset = {"CABLETEST_CLOCK"};
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    std::this_thread::sleep_for(Millis(600));  // past start-up and the drain
    ASSERT_TRUE(line.Write("abc"));
    std::this_thread::sleep_for(Millis(400));
    char sent[256];
    ASSERT_EQ(fcntl(line.master(), F_SETFL, O_NONBLOCK), 0);
    const ssize_t n = read(line.master(), sent, sizeof sent);
    EXPECT_LE(n, 0) << "sent down the line: " << std::string(sent, n > 0 ? n : 0);
    EXPECT_TRUE(process.running());
    EXPECT_TRUE(process.Signal(SIGTERM));
    EXPECT_TRUE(process.WaitExit().KilledBy(SIGTERM));
}

TEST(TroubledOutput, APipeWhoseReaderHasGoneEndsTheProgramOnce) {
    // The default: the first write after the reader has gone ends the
    // program with SIGPIPE; the shell reports the status of the program.
    ShellRun run =
        RunThroughShell("{ \"$0\" \"$@\"; echo \"status $?\" >&2; } | head -c 100 >/dev/null",
                        BusyMinute(), {"sim", "debug"});
    EXPECT_TRUE(run.status.Exited(0)) << run.status.Describe();
    EXPECT_NE(run.err.find("status " + std::to_string(128 + SIGPIPE)), std::string::npos)
        << run.err;
    // With SIGPIPE ignored, as some parents leave it, the writes fail and
    // the program works on to the script's end without spinning.
    run = RunThroughShell(
        "trap '' PIPE; { \"$0\" \"$@\"; echo \"status $?\" >&2; } | head -c 100 >/dev/null",
        BusyMinute(), {"sim", "debug"});
    EXPECT_TRUE(run.status.Exited(0)) << run.status.Describe();
    EXPECT_NE(run.err.find("status 0"), std::string::npos) << run.err;
    EXPECT_LT(run.cpu, 3.0);
}

TEST(TroubledOutput, AFullPipeBlocksWithoutSpinningAndLosesNothing) {
    // Debug mode prints a line per byte: 20000 bytes are far more than a
    // pipe holds. Nobody reads until the program has been stuck a while.
    TempDir dir;
    ASSERT_TRUE(dir.WriteFile("script", "0 cable on\n1000 bytes 20000 1 33\n22000 end\n"));
    RunOptions options;
    options.args = {"sim", "debug"};
    options.env_set = SimEnv(dir);
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    std::this_thread::sleep_for(Millis(1000));  // until the pipe is full
    const double cpuStart = RunningCpu(process.pid());
    std::this_thread::sleep_for(Millis(1000));
    const double cpu = RunningCpu(process.pid()) - cpuStart;
    EXPECT_LT(cpu, 0.05) << "CPU seconds in 1 s with the pipe full";
    ExitStatus status = process.WaitExit(Millis(60000));
    EXPECT_TRUE(status.Exited(0)) << status.Describe();
    const std::string out = process.Output(Stream::kStdout);
    EXPECT_EQ(Count(out, ": received char 33\n"), 20000u);
    EXPECT_EQ(Count(out, kPass), 1u);
}

}  // namespace
