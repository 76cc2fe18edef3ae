// The harness of the tests and the benchmark (POSIX): the program's texts, temporary folders,
// pseudo-terminals and the one process runner. A child asks for SIGKILL when the test dies (also
// when ctest kills it at its time limit) and leads a session, so a process group, of its own,
// which the harness kills when it is done with the child. Every wait is bounded.
#ifndef CABLETEST_TESTS_HARNESS_H
#define CABLETEST_TESTS_HARNESS_H

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace harness {

inline const std::string kBanner = "Magnetic switch cable test program\n\nCtrl C to terminate\n";
inline const std::string kPrompt = "Please enter serial port number (1-9) ";
inline const std::string kInvalid = " invalid port\n";
inline const std::string kNoConsole =
    "No console to read the port number from; give the port as the first argument\n";
inline const std::string kPass = "-->Carriage Pass\n";
inline const std::string kConnected = "Cable connected\n";
inline const std::string kDisconnected = "Cable disconnected\n";
// A status query that fails while monitoring, at the receive's first check or after its wait.
inline const std::string kFailedFirst = "(1)Clear failed, erc = 31\n";
inline const std::string kFailedAfterWait = "(2)ClearCommError\n(2)Clear failed, erc = 31\n";
inline std::string Lost(const std::string& port) {
    return "Port " + port + " lost, waiting for it to come back\n";
}

using Env = std::vector<std::pair<std::string, std::string>>;

std::string ProgramPath();  // the program under test
std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& text);
size_t Count(const std::string& text, const std::string& part);
double Now();  // seconds, monotonic

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// A pty pair: the test holds the master (non-blocking); the slave is opened by name.
struct Pty {
    int master = -1;
    std::string slave;
    Pty();
    ~Pty() { Close(); }
    void Close();
    bool Write(const std::string& s) const {
        return write(master, s.data(), s.size()) == (ssize_t)s.size();
    }
    std::string Read() const;  // what the slave's side has written so far
    termios Mode() const;      // the slave's settings
    bool Raw() const { return (Mode().c_lflag & (ICANON | ECHO)) == 0; }
    bool WaitRaw() const;
    bool Link(const std::string& dir, const std::string& name) const;  // dir/name -> slave
};

struct Options {
    Options(std::vector<std::string> a = {}, Env e = {}, Pty* t = nullptr, bool jobs = false)
        : args(std::move(a)), env(std::move(e)), terminal(t), jobControl(jobs) {}
    std::vector<std::string> args;
    // Set in the child's environment (the first of a name wins). Every other CABLETEST_ variable
    // is dropped, and the device and sysfs folders are missing ones unless set, so no real port
    // is reached.
    Env env;
    Pty* terminal;    // the child's controlling terminal
    bool jobControl;  // run as the foreground job of a session leader on the terminal, as a
                      // shell would, so that a stop signal really stops the program
    std::string program = ProgramPath();
    std::string stdinFile = "/dev/null";
};

struct Status {
    int code = -1, signal = 0;
    bool timedOut = false;
    double cpu = 0;  // user and system seconds, waited-for children included
    long maxRssKiB = 0;
    bool Exited(int c) const { return code == c && !timedOut; }
    bool Killed(int s) const { return signal == s && !timedOut; }
    std::string Text() const;
};

class Child {
  public:
    explicit Child(const Options& options);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid();        // the program (under job control, once it is the foreground job)
    bool Pump(int ms);  // reads what comes within ms; true if anything did
    bool ReadUntil(const std::string& text, int ms = 10000);  // after the previous match
    bool Signal(int sig) { return !reaped_ && pid() > 0 && kill(pid(), sig) == 0; }
    Status Wait(int ms = 30000);  // killed at the limit
    std::string out, err;
    double lastRead = 0;  // when output last came

  private:
    bool Reap(bool block);
    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    Pty* terminal_;
    bool jobControl_, reaped_ = false;
    size_t cursor_ = 0;
    Status status_;
};

// The program run to its end on the simulated line in virtual time, playing `script`.
struct SimRun {
    Status status;
    std::string out, err, log;
};
SimRun RunSim(const std::string& script, std::vector<std::string> args = {"sim"}, Env env = {},
              const std::string& program = ProgramPath());

}  // namespace harness

#endif  // CABLETEST_TESTS_HARNESS_H
