// Test support for tests that run a real program: temporary folders, pty pairs, and child
// processes with captured output and, optionally, a pty as controlling terminal:
//
//   Pty tty;  RunOptions opt;  opt.terminal = &tty;  opt.env_set = {{"CABLETEST_DEVICE_DIR", d}};
//   Process p;  ASSERT_TRUE(p.Start(opt)) << p.error();  // ProgramPath() with opt.args
//   ASSERT_TRUE(p.ReadUntil(Stream::kStdout, "(1-9) ").found);
//   ASSERT_TRUE(tty.WaitForRawMode());  // typed before that, keys meet the line discipline
//   p.Type("\x03");  EXPECT_TRUE(p.WaitExit().Exited(3));
// A child gets a session of its own (setsid) and no controlling terminal but opt.terminal.
// Every wait is bounded; a child left running is killed (SIGKILL) and reaped. Start() makes
// the test ignore SIGPIPE. Only fork and exec are used (safe under ASan and TSan).
#ifndef CABLETEST_TESTS_SUPPORT_HARNESS_H
#define CABLETEST_TESTS_SUPPORT_HARNESS_H

#include <signal.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace cabletest_test {

using Millis = std::chrono::milliseconds;
constexpr Millis kDefaultDeadline{10000};

// $CABLETEST_BINARY, else the CABLETEST_BINARY compile definition (tests/support.cmake).
std::string ProgramPath();

// A fresh folder under $TMPDIR (or /tmp), removed with its contents at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    bool WriteFile(const std::string& name, const std::string& contents) const;
    std::string ReadFile(const std::string& name) const;  // "" when missing
  private:
    std::string path_;
};

// Bytes received from one descriptor; ReadUntil and ReadQuiet consume from `cursor` on.
struct StreamBuffer {
    int fd = -1;
    std::string data;
    size_t cursor = 0;
    bool eof = false;
};

struct ReadResult {
    bool found = false;
    std::string text;  // up to the end of the match; all that came when not found
};

// A pty pair: the test keeps the master (non-blocking, close-on-exec); the slave is only named.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string& slave_path() const { return slave_path_; }

    bool Write(const std::string& bytes, Millis deadline = kDefaultDeadline);
    std::string ReadQuiet(Millis quiet, Millis deadline = kDefaultDeadline);
    // The slave's settings, read through the master (an exclusive open does not matter).
    bool GetAttr(termios* t) const { return master_ >= 0 && tcgetattr(master_, t) == 0; }
    // True while a key read waits: ICANON and ECHO both off.
    bool IsRaw() const {
        termios t;
        return GetAttr(&t) && !(t.c_lflag & (ICANON | ECHO));
    }
    bool WaitForRawMode(Millis deadline = kDefaultDeadline) const;

  private:
    friend class Process;
    int master_ = -1;
    std::string slave_path_;
    StreamBuffer in_;
};

// The device file that com<n> maps to inside CABLETEST_DEVICE_DIR.
inline std::string ComDeviceName(int n) {
    return "ttyS" + std::to_string(n - 1);
}

// Links <dir>/<name> to target, making the folders in `name` ("pts/3"); "" on failure.
std::string LinkDevice(const std::string& dir, const std::string& name, const std::string& target);

enum class Stream { kStdout, kStderr, kTerminal };
enum class StdinFrom { kNull, kPipe };
enum class StdoutTo { kPipe, kFile };  // kFile: Output(kStdout) reads it; stderr is a pipe

struct RunOptions {
    std::string program;  // "" means ProgramPath()
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env_set;
    std::vector<std::string> env_unset;
    Pty* terminal = nullptr;  // the controlling terminal of the child's session
    StdinFrom stdin_from = StdinFrom::kNull;
    StdoutTo stdout_to = StdoutTo::kPipe;
    std::string stdout_file;  // for StdoutTo::kFile; created or truncated
};

struct ExitStatus {
    int code = -1;           // the exit code, if it exited
    int signal = 0;          // the signal that ended it, if one did
    bool timed_out = false;  // the harness killed it at the deadline
    bool Exited(int c) const { return code >= 0 && code == c; }
    bool KilledBy(int s) const { return signal > 0 && signal == s && !timed_out; }
    std::string Describe() const;
};

class Process {
  public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Start(const RunOptions& options);  // false with error() set when it cannot
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !reaped_; }

    bool Type(const std::string& bytes) { return terminal_ && terminal_->Write(bytes); }
    bool WriteStdin(const std::string& bytes);
    void CloseStdin();

    ReadResult ReadUntil(Stream stream, const std::string& text,
                         Millis deadline = kDefaultDeadline);
    // Reads until nothing has come for `quiet` (on any stream).
    std::string ReadQuiet(Stream stream, Millis quiet, Millis deadline = kDefaultDeadline);
    std::string Output(Stream stream);

    bool Signal(int sig) { return running() && kill(pid_, sig) == 0; }
    ExitStatus WaitExit(Millis deadline = kDefaultDeadline);  // SIGKILL at it: timed_out

  private:
    bool Pump(int timeout_ms);  // true if anything came
    bool Reap(bool block);
    StreamBuffer* Buffer(Stream stream);
    pid_t pid_ = -1;
    bool reaped_ = false;
    ExitStatus status_;
    std::string error_;
    int stdin_fd_ = -1;
    StreamBuffer out_, err_;
    Pty* terminal_ = nullptr;
    std::string stdout_file_;
};

}  // namespace cabletest_test

#endif  // CABLETEST_TESTS_SUPPORT_HARNESS_H
