// Test support for tests that run a real program: a temporary folder, a
// pseudo-terminal pair, and a child process with captured output and,
// optionally, a pty as its controlling terminal, so that a test can act as the
// person at the keyboard.
//
// Typical use (a prompt test):
//
//   cabletest_test::TempDir dir;
//   cabletest_test::Pty tty;                 // the operator's terminal
//   cabletest_test::Pty com1;                // stands in for a serial device
//   cabletest_test::LinkDevice(dir.path(), cabletest_test::ComDeviceName(1), com1.slave_path());
//
//   cabletest_test::RunOptions opt;
//   opt.terminal = &tty;                     // new session, tty is its controlling terminal
//   opt.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
//   cabletest_test::Process p;
//   ASSERT_TRUE(p.Start(opt)) << p.error();  // runs ProgramPath() with opt.args
//
//   ASSERT_TRUE(p.ReadUntil(cabletest_test::Stream::kStdout, "(1-9) ").found);
//   ASSERT_TRUE(tty.WaitForRawMode());       // the key read is waiting now
//   p.Type("a");                             // same as tty.Write("a")
//   EXPECT_TRUE(p.ReadUntil(cabletest_test::Stream::kTerminal, "a").found);   // the echo
//   EXPECT_TRUE(p.ReadUntil(cabletest_test::Stream::kStdout, " invalid port\n").found);
//   ...
//   p.Type("\x03");
//   cabletest_test::ExitStatus st = p.WaitExit();
//   EXPECT_TRUE(st.Exited(3)) << st.Describe();
//
// Rules worth knowing:
// - Every child runs in a session of its own (setsid), so it never touches the
//   terminal the tests were started from. Without RunOptions::terminal it has
//   no controlling terminal at all (open("/dev/tty") fails).
// - Keys typed before the program has put the terminal into raw mode go
//   through the terminal's line discipline (echoed by it, Ctrl-C becomes
//   SIGINT). Wait for Pty::WaitForRawMode() before typing at a key read.
// - Output read through ReadUntil is consumed: the next ReadUntil on the same
//   stream searches only what came after the match. Output(stream) returns
//   everything ever received on it.
// - With stdout on the pty (StdoutTo::kTerminal) the terminal's output
//   processing turns "\n" into "\r\n"; with stdout on a pipe it does not.
// - Every wait has a deadline (kDefaultDeadline unless given). A child still
//   running when the Process is destroyed, or when WaitExit's deadline passes,
//   is killed with SIGKILL and reaped.
// - The first Start() makes the test process ignore SIGPIPE, so that writing
//   to the stdin of a child that has just ended fails instead of killing the
//   test; the child gets the default action back.
// - Targets that run the program itself add `add_dependencies(<test>
//   cabletest)`: the compiled-in path does not make CMake build it.
// - Only fork and exec are used; the child calls async-signal-safe functions
//   only, so the harness is safe under ASan and TSan.
#ifndef CABLETEST_TESTS_SUPPORT_HARNESS_H
#define CABLETEST_TESTS_SUPPORT_HARNESS_H

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace cabletest_test {

using Millis = std::chrono::milliseconds;
constexpr Millis kDefaultDeadline{10000};

// The program under test: the environment variable CABLETEST_BINARY when set,
// else the CABLETEST_BINARY compile definition, else "" (tests should skip).
std::string ProgramPath();

// A fresh folder under $TMPDIR (or /tmp), removed with all its contents when
// the object goes away.
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

// Removes a file or a whole folder tree; symbolic links are removed, never
// followed. Returns false when something could not be removed.
bool RemoveTree(const std::string& path);

// Bytes received from one descriptor, with a read position for ReadUntil.
struct StreamBuffer {
    int fd = -1;
    std::string data;
    size_t cursor = 0;
    bool eof = false;
};

struct ReadResult {
    bool found = false;
    // From the previous read position to the end of the match, or, when not
    // found, everything received after the previous read position.
    std::string text;
};

// A pseudo-terminal pair. The master stays with the test (non-blocking,
// close-on-exec); the slave is only named, for a child or a device link.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }

    // Writes all bytes to the master (what the slave side then reads).
    bool Write(const std::string& bytes, Millis deadline = kDefaultDeadline);
    // Reads the master until `text` appears after the read position.
    ReadResult ReadUntil(const std::string& text, Millis deadline = kDefaultDeadline);
    // Reads whatever arrives until nothing has come for `quiet`; consumes it.
    std::string ReadQuiet(Millis quiet, Millis deadline = kDefaultDeadline);
    // Everything received on the master so far.
    const std::string& Output() const { return in_.data; }

    // The slave's terminal settings (read through the master, so that an
    // exclusive open of the slave by the program does not get in the way).
    bool GetAttr(termios* t) const;
    bool SetAttr(const termios& t) const;
    // Puts the slave into raw mode (as a serial device would be).
    bool SetRaw() const;
    // True while a key read waits: ICANON and ECHO both off.
    bool IsRaw() const;
    // Polls the settings until the slave is in raw mode, or back in line
    // mode, or the deadline passes.
    bool WaitForRawMode(Millis deadline = kDefaultDeadline) const;
    bool WaitForLineMode(Millis deadline = kDefaultDeadline) const;

    // Reads what is available now without waiting (for Process's pump).
    void Drain();
    StreamBuffer& buffer() { return in_; }

  private:
    int master_ = -1;
    std::string slave_path_;
    StreamBuffer in_;
};

// "ttyS<n-1>": the device file that the port name com<n> maps to inside
// CABLETEST_DEVICE_DIR.
std::string ComDeviceName(int n);

// Creates the symbolic link <dir>/<name> -> target (a pty slave, usually) and
// returns its path, or "" on failure. Folders in `name` (e.g. "pts/3") are
// created.
std::string LinkDevice(const std::string& dir, const std::string& name, const std::string& target);

enum class Stream { kStdout, kStderr, kTerminal };

enum class StdinFrom { kNull, kPipe, kTerminal };
enum class StdoutTo { kPipe, kFile, kTerminal };
enum class StderrTo { kPipe, kTerminal };

struct RunOptions {
    std::string program;  // "" means ProgramPath()
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env_set;
    std::vector<std::string> env_unset;
    bool clear_env = false;  // start from an empty environment, then env_set
    // The controlling terminal of the child's new session; null: none.
    Pty* terminal = nullptr;
    StdinFrom stdin_from = StdinFrom::kNull;
    StdoutTo stdout_to = StdoutTo::kPipe;
    std::string stdout_file;  // for StdoutTo::kFile; created or truncated
    StderrTo stderr_to = StderrTo::kPipe;
    std::string cwd;  // "" keeps the test's
};

struct ExitStatus {
    bool exited = false;  // ended by exit(); code is valid
    int code = -1;
    bool signaled = false;  // ended by a signal; signal is valid
    int signal = 0;
    bool timed_out = false;  // the deadline passed; the harness killed it
    bool Exited(int c) const { return exited && code == c; }
    bool KilledBy(int s) const { return signaled && signal == s && !timed_out; }
    std::string Describe() const;
};

// A child process running a program. Not copyable; the destructor kills a
// child that still runs.
class Process {
  public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts the program; false with error() set when it cannot (including a
    // failed exec).
    bool Start(const RunOptions& options);
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !reaped_; }

    // Types bytes on the controlling terminal (the pty master).
    bool Type(const std::string& bytes);
    // Writes to / closes the standard-input pipe (StdinFrom::kPipe).
    bool WriteStdin(const std::string& bytes);
    void CloseStdin();

    // Waits until `text` appears on the stream after its read position.
    ReadResult ReadUntil(Stream stream, const std::string& text,
                         Millis deadline = kDefaultDeadline);
    // Collects output until nothing has come on any stream for `quiet`;
    // returns and consumes what came on `stream`.
    std::string ReadQuiet(Stream stream, Millis quiet, Millis deadline = kDefaultDeadline);
    // Everything received on the stream so far (kStdout with StdoutTo::kFile:
    // the file's contents).
    std::string Output(Stream stream);

    bool Signal(int sig);
    // Waits for the end; on the deadline kills with SIGKILL and reports
    // timed_out. Collects the rest of the output (bounded) afterwards.
    ExitStatus WaitExit(Millis deadline = kDefaultDeadline);

  private:
    // Reads whatever is available on every stream, waiting at most
    // timeout_ms for something to arrive. Returns true if anything came.
    bool Pump(int timeout_ms);
    bool Reap(bool block);
    StreamBuffer* Buffer(Stream stream);

    pid_t pid_ = -1;
    bool reaped_ = false;
    ExitStatus status_;
    std::string error_;
    int stdin_fd_ = -1;
    StreamBuffer out_;
    StreamBuffer err_;
    Pty* terminal_ = nullptr;
    std::string stdout_file_;
};

}  // namespace cabletest_test

#endif  // CABLETEST_TESTS_SUPPORT_HARNESS_H
