// The key read and the echo, through a probe program whose controlling terminal is a pty.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.h"

namespace ct = cabletest_test;
namespace {

ct::RunOptions Probe(ct::Pty* tty, int count, bool step = false) {
    ct::RunOptions o;
    o.program = CONSOLE_PROBE;
    o.args = {std::to_string(count), step ? "step" : ""};
    o.terminal = tty;  // null: a new session without a terminal
    o.stdin_from = step ? ct::StdinFrom::kPipe : ct::StdinFrom::kNull;
    return o;
}

// What a key read must give back: line mode, input flags, VMIN.
std::string Mode(const ct::Pty& tty) {
    termios t{};
    tty.GetAttr(&t);
    return std::to_string(t.c_lflag) + " " + std::to_string(t.c_iflag) + " " +
           std::to_string(t.c_cc[VMIN]);
}

std::string KeyLine(int key) {
    return "key " + std::to_string(key) + " echo " + std::to_string(key) + "\n";
}

// Standard input is a pipe, yet the keys come from the terminal, which is raw only
// while a read waits (with "step" the probe reads a byte of stdin between two keys).
TEST(ConsoleBinary, KeysComeFromTheTerminalAsPcCodes) {
    // F1, up, lone ESC, Ctrl-C (no signal), Ctrl-PgUp (modifier ignored), CR (no NL).
    // clang-format off
    const std::pair<std::string, std::vector<int>> keys[] = {
        {"a", {97}}, {"\x1bOP", {0, 59}}, {"\x1b[A", {224, 72}}, {"\x1b", {27}}, {"\x03", {3}},
        {"\x1b[5;5~", {224, 73}}, {"\r", {13}}};
    // clang-format on
    ct::Pty tty;
    const std::string before = Mode(tty);
    ct::Process p;
    ASSERT_TRUE(p.Start(Probe(&tty, 10, true))) << p.error();
    int left = 10;
    for (const auto& key : keys) {
        ASSERT_TRUE(tty.WaitForRawMode()) << "the probe never waited for a key";
        termios t;
        ASSERT_TRUE(tty.GetAttr(&t));
        EXPECT_EQ((t.c_lflag & (ECHO | ICANON | ISIG)) | (t.c_iflag & ICRNL), 0u);
        ASSERT_TRUE(p.Type(key.first));
        for (int code : key.second) {
            ASSERT_TRUE(p.ReadUntil(ct::Stream::kStdout, KeyLine(code)).found) << code;
            // The probe now waits on its stdin, after the read has returned.
            EXPECT_EQ(Mode(tty), before) << code;
            ASSERT_TRUE(--left == 0 || p.WriteStdin("\n"));
        }
    }
    EXPECT_TRUE(p.WaitExit().Exited(0));
    // Each code echoed once, byte for byte; the terminal itself echoed nothing.
    EXPECT_EQ(tty.ReadQuiet(std::chrono::milliseconds(50)),
              std::string("a\0;\xe0H\x1b\x03\xe0I\r", 10));
}

// A signal during the wait restores the mode before the probe dies of it. The kernel discards
// a stop (the process group is orphaned): the handler's way back must leave the read working.
TEST(ConsoleBinary, SignalsDuringTheWait) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGTSTP}) {
        SCOPED_TRACE(sig);
        ct::Pty tty;
        const std::string before = Mode(tty);
        ct::Process p;
        ASSERT_TRUE(p.Start(Probe(&tty, 1))) << p.error();
        ASSERT_TRUE(tty.WaitForRawMode());
        ASSERT_TRUE(p.Signal(sig));
        if (sig == SIGTSTP) {
            p.ReadQuiet(ct::Stream::kStdout, std::chrono::milliseconds(100));
            ASSERT_TRUE(p.Signal(SIGCONT));
            ASSERT_TRUE(tty.WaitForRawMode());
            ASSERT_TRUE(p.Type("z"));
        }
        ct::ExitStatus st = p.WaitExit();
        EXPECT_TRUE(sig == SIGTSTP ? st.Exited(0) : st.KilledBy(sig)) << st.Describe();
        EXPECT_EQ(p.Output(ct::Stream::kStdout), sig == SIGTSTP ? KeyLine('z') : "");
        EXPECT_EQ(Mode(tty), before);
    }
}

TEST(ConsoleBinary, WithoutATerminalEveryReadFailsAtOnce) {
    ct::Process p;
    ASSERT_TRUE(p.Start(Probe(nullptr, 3))) << p.error();
    EXPECT_TRUE(p.WaitExit(std::chrono::seconds(3)).Exited(0));  // killed if it waits
    EXPECT_EQ(p.Output(ct::Stream::kStdout), KeyLine(-1) + KeyLine(-1) + KeyLine(-1));
}

}  // namespace
