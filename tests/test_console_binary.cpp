// The key read and the echo as a person at a terminal meets them: a probe
// program runs with a pty as its controlling terminal; the test types into the
// master and reads the echo there, and the codes from the probe's stdout.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <chrono>
#include <string>

#include "harness.h"

namespace ct = cabletest_test;

namespace {

const tcflag_t kLineFlags = ECHO | ICANON | ISIG;

ct::RunOptions ProbeOptions(ct::Pty* tty, int count) {
    ct::RunOptions o;
    o.program = CONSOLE_PROBE;
    o.args = {std::to_string(count)};
    o.terminal = tty;
    return o;
}

std::string KeyLine(int key, int echo) {
    return "key " + std::to_string(key) + " echo " + std::to_string(echo) + "\n";
}

// Types `bytes` once the probe waits in raw mode and expects the given codes.
void TypeAndExpect(ct::Process& p, ct::Pty& tty, const std::string& bytes,
                   std::initializer_list<int> codes) {
    ASSERT_TRUE(tty.WaitForRawMode()) << "the probe never waited for a key";
    ASSERT_TRUE(p.Type(bytes));
    for (int code : codes) {
        ct::ReadResult r = p.ReadUntil(ct::Stream::kStdout, KeyLine(code, code));
        ASSERT_TRUE(r.found) << "expected code " << code << ", got: " << r.text;
    }
}

TEST(ConsoleBinary, KeysComeFromTheTerminalAsPcCodes) {
    ct::Pty tty;
    ASSERT_TRUE(tty.ok());
    ct::Process p;
    // Standard input is /dev/null: the keys must still come from the terminal.
    ASSERT_TRUE(p.Start(ProbeOptions(&tty, 10))) << p.error();

    TypeAndExpect(p, tty, "a", {97});
    TypeAndExpect(p, tty, "\x1bOP", {0, 59});       // F1
    TypeAndExpect(p, tty, "\x1b[A", {224, 72});     // up arrow
    TypeAndExpect(p, tty, "\x1b", {27});            // a lone ESC
    TypeAndExpect(p, tty, "\x03", {3});             // Ctrl-C is a key, not a signal
    TypeAndExpect(p, tty, "\x1b[5;5~", {224, 73});  // Ctrl-PgUp, the modifier ignored
    TypeAndExpect(p, tty, "\r", {13});              // no CR to NL translation

    ct::ExitStatus st = p.WaitExit();
    EXPECT_TRUE(st.Exited(0)) << st.Describe();
    // Each code echoed once, byte for byte; the terminal itself echoed
    // nothing.
    std::string expected("a\0;\xe0H\x1b\x03\xe0I\r", 10);
    EXPECT_EQ(tty.ReadQuiet(std::chrono::milliseconds(50)), expected);
}

TEST(ConsoleBinary, TerminalModeRestoredAfterEveryRead) {
    ct::Pty tty;
    ASSERT_TRUE(tty.ok());
    termios before;
    ASSERT_TRUE(tty.GetAttr(&before));
    ASSERT_EQ(before.c_lflag & kLineFlags, kLineFlags);

    ct::RunOptions o = ProbeOptions(&tty, 3);
    o.args.push_back("step");
    o.stdin_from = ct::StdinFrom::kPipe;
    ct::Process p;
    ASSERT_TRUE(p.Start(o)) << p.error();

    const char* keys[] = {"x", "\x03", "\x1b"};  // one code each
    for (const char* key : keys) {
        ASSERT_TRUE(tty.WaitForRawMode());
        termios raw;
        ASSERT_TRUE(tty.GetAttr(&raw));
        EXPECT_EQ(raw.c_lflag & kLineFlags, 0u);
        EXPECT_EQ(raw.c_iflag & ICRNL, 0u);

        ASSERT_TRUE(p.Type(key));
        ASSERT_TRUE(p.ReadUntil(ct::Stream::kStdout, "\n").found);
        // The probe now waits on its stdin, after the read has returned.
        termios after;
        ASSERT_TRUE(tty.GetAttr(&after));
        EXPECT_EQ(after.c_lflag, before.c_lflag) << "after key " << key[0];
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
        if (key != keys[2]) {
            ASSERT_TRUE(p.WriteStdin("\n"));
        }
    }
    EXPECT_TRUE(p.WaitExit().Exited(0));
}

TEST(ConsoleBinary, SignalDuringTheWaitRestoresTheModeFirst) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        ct::Pty tty;
        ASSERT_TRUE(tty.ok());
        termios before;
        ASSERT_TRUE(tty.GetAttr(&before));
        ct::Process p;
        ASSERT_TRUE(p.Start(ProbeOptions(&tty, 1))) << p.error();
        ASSERT_TRUE(tty.WaitForRawMode());

        ASSERT_TRUE(p.Signal(sig));
        ct::ExitStatus st = p.WaitExit();
        EXPECT_TRUE(st.KilledBy(sig)) << st.Describe();
        termios after;
        ASSERT_TRUE(tty.GetAttr(&after));
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
    }
}

// The probe's process group is orphaned (its parent is in another session),
// so the kernel discards the stop itself: what is left to see is that the
// handler's way back (raw mode again, the read going on) works.
TEST(ConsoleBinary, StopSignalDuringTheWaitLeavesTheReadWorking) {
    ct::Pty tty;
    ASSERT_TRUE(tty.ok());
    ct::Process p;
    ASSERT_TRUE(p.Start(ProbeOptions(&tty, 1))) << p.error();
    ASSERT_TRUE(tty.WaitForRawMode());

    ASSERT_TRUE(p.Signal(SIGTSTP));
    p.ReadQuiet(ct::Stream::kStdout, std::chrono::milliseconds(100));
    ASSERT_TRUE(p.Signal(SIGCONT));
    TypeAndExpect(p, tty, "z", {'z'});
    ct::ExitStatus st = p.WaitExit();
    EXPECT_TRUE(st.Exited(0)) << st.Describe();
    EXPECT_EQ(tty.ReadQuiet(std::chrono::milliseconds(50)), "z");  // the probe's echo only
}

TEST(ConsoleBinary, WithoutATerminalEveryReadFailsAtOnce) {
    ct::RunOptions o;
    o.program = CONSOLE_PROBE;
    o.args = {"3"};  // no terminal: a new session without one
    auto start = std::chrono::steady_clock::now();
    ct::Process p;
    ASSERT_TRUE(p.Start(o)) << p.error();
    ct::ExitStatus st = p.WaitExit();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(st.Exited(0)) << st.Describe();
    EXPECT_EQ(p.Output(ct::Stream::kStdout), KeyLine(-1, -1) + KeyLine(-1, -1) + KeyLine(-1, -1));
    EXPECT_LT(took, std::chrono::seconds(3));
}

}  // namespace
