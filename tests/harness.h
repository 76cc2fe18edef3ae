// The harness of the tests and the benchmark (POSIX): the program's texts, temporary folders,
// pseudo-terminals and the one process runner. A child asks for SIGKILL when the test dies (also
// when ctest kills it at its time limit) and leads a session, so a process group, of its own,
// which the harness kills when it is done with the child. Every wait is bounded.
#ifndef CABLETEST_TESTS_HARNESS_H
#define CABLETEST_TESTS_HARNESS_H

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
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
// A port that does not open, without a console to ask for another: the prompt, tried three times.
inline std::string Refused(const std::string& port, int code) {
    const std::string again = kPrompt + kInvalid;
    return kBanner + "Open " + port + " failed " + std::to_string(code) + "\n" + again + again +
           again + kNoConsole;
}

using Env = std::vector<std::pair<std::string, std::string>>;

inline std::string ProgramPath() {  // the program under test
    const char* path = getenv("CABLETEST_BINARY");
#ifdef CABLETEST_BINARY
    path = path && *path ? path : CABLETEST_BINARY;
#endif
    return path ? path : "";
}

inline std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline bool WriteFile(const std::string& path, const std::string& text) {
    return static_cast<bool>(std::ofstream(path, std::ios::binary) << text);
}

inline size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

inline std::string DeviceNumbers(const std::string& device) {  // "major:minor"
    struct stat st {};
    stat(device.c_str(), &st);
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

inline double Now() {  // seconds, monotonic
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct TempDir {
    const char* base = getenv("TMPDIR");
    std::string path = std::string(base && *base ? base : "/tmp") + "/cabletest.XXXXXX";
    TempDir() { mkdtemp(&path[0]); }
    ~TempDir() {  // depth first; links are removed, never followed
        auto remove = [](const char* p, const struct stat*, int, FTW*) { return ::remove(p), 0; };
        nftw(path.c_str(), remove, 16, FTW_DEPTH | FTW_PHYS);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// A pty pair: the test holds the master (non-blocking); the slave is opened by name.
struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    std::string slave = grantpt(master) || unlockpt(master) ? "" : ptsname(master);
    ~Pty() { Close(); }
    void Close() {  // the far end hangs up
        if (master >= 0)
            close(master);
        master = -1;
    }
    bool Write(const std::string& s) const {
        return write(master, s.data(), s.size()) == (ssize_t)s.size();
    }
    std::string Read() const {  // what the slave's side has written so far
        char chunk[4096];
        std::string got;
        for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
            got.append(chunk, static_cast<size_t>(n));
        return got;
    }
    termios Mode() const {  // the slave's settings
        termios t{};
        tcgetattr(master, &t);
        return t;
    }
    bool Kept(const termios& t) const {  // the slave's settings are still t
        const termios now = Mode();
        return memcmp(&t, &now, sizeof t) == 0;
    }
    bool Raw() const { return (Mode().c_lflag & (ICANON | ECHO)) == 0; }
    bool WaitRaw() const {
        for (double end = Now() + 10; !Raw() && Now() < end;)
            usleep(1000);
        return Raw();
    }
    bool Link(const std::string& dir, const std::string& name) const {  // dir/name -> slave
        for (size_t at = name.find('/'); at != std::string::npos; at = name.find('/', at + 1))
            mkdir((dir + "/" + name.substr(0, at)).c_str(), 0700);
        return !slave.empty() && symlink(slave.c_str(), (dir + "/" + name).c_str()) == 0;
    }
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
    std::string Text() const {
        return (timedOut ? "killed at the time limit; " : "") +
               (signal ? std::string("signal ") + strsignal(signal)
                       : "exit " + std::to_string(code));
    }
};

// In the child after fork: async-signal-safe calls only. Under job control the child leads the
// session, as a shell would, waits for the job and ends as it ended.
[[noreturn]] inline void Exec(pid_t parent, const Options& o, int out, int err, char** argv,
                              char** envp) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s)
        sigaction(s, &dfl, nullptr);  // an ignored signal would stay ignored after exec
    sigset_t mask;
    sigemptyset(&mask);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    int t = setsid() < 0 || !o.terminal ? -1 : open(o.terminal->slave.c_str(), O_RDWR);
    if (getppid() != parent || (o.terminal && (t < 0 || ioctl(t, TIOCSCTTY, 0) != 0)) ||
        dup2(open(o.stdinFile.c_str(), O_RDONLY), 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(127);
    pid_t leader = getpid(), job = o.jobControl ? fork() : 0;
    for (int st = 0; job > 0;)
        if (waitpid(job, &st, 0) == job)
            _exit(WIFEXITED(st) ? WEXITSTATUS(st) : (kill(leader, WTERMSIG(st)), 127));
    sigaddset(&mask, SIGTTOU);  // a background group takes the terminal with it blocked
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    if (o.jobControl && (prctl(PR_SET_PDEATHSIG, SIGKILL) || getppid() != leader || setpgid(0, 0) ||
                         tcsetpgrp(t, getpid())))
        _exit(127);
    sigprocmask(SIG_UNBLOCK, &mask, nullptr);
    execve(argv[0], argv, envp);
    _exit(127);
}

class Child {
  public:
    explicit Child(const Options& o) : terminal_(o.terminal), jobControl_(o.jobControl) {
        signal(SIGPIPE, SIG_IGN);
        std::vector<std::string> args = {o.program}, env;
        args.insert(args.end(), o.args.begin(), o.args.end());
        Env all = o.env;
        all.push_back({"CABLETEST_DEVICE_DIR", "/nonexistent-cabletest-devices"});
        all.push_back({"CABLETEST_SYSFS_DIR", "/nonexistent-cabletest-sysfs"});
        for (const auto& kv : all)  // the first of a name wins
            if (std::none_of(env.begin(), env.end(),
                             [&](auto& e) { return !e.rfind(kv.first + "=", 0); }))
                env.push_back(kv.first + "=" + kv.second);
        for (char** e = environ; *e; ++e)
            if (strncmp(*e, "CABLETEST_", 10) != 0)
                env.push_back(*e);
        std::vector<char*> argv, envp;
        for (auto* list : {&args, &env}) {
            for (auto& s : *list)
                (list == &args ? argv : envp).push_back(&s[0]);
            (list == &args ? argv : envp).push_back(nullptr);
        }
        int pipes[2][2];
        if (pipe2(pipes[0], O_CLOEXEC) != 0 || pipe2(pipes[1], O_CLOEXEC) != 0)
            return;
        pid_t parent = getpid();
        if ((pid_ = fork()) == 0)
            Exec(parent, o, pipes[0][1], pipes[1][1], argv.data(), envp.data());
        for (int i = 0; i < 2; ++i) {
            close(pipes[i][1]);
            fcntl(fds_[i] = pipes[i][0], F_SETFL, O_NONBLOCK);
        }
    }
    ~Child() {
        if (pid_ > 0 && !reaped_ && kill(-pid_, SIGKILL) == 0)  // a job dies with its leader
            Reap(true);
        for (int fd : fds_)
            close(fd);
    }
    Child(const Child&) = delete;
    pid_t pid() {  // the program: under job control, once it is the foreground job
        for (double end = Now() + 10; jobControl_ && pid_ > 0 && Now() < end; usleep(1000))
            if (tcgetpgrp(terminal_->master) > 0 && tcgetpgrp(terminal_->master) != pid_)
                return tcgetpgrp(terminal_->master);
        return jobControl_ ? -1 : pid_;
    }
    bool Pump(int ms) {  // reads what comes within ms; true if anything did
        pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};  // poll leaves out -1
        poll(p, 2, ms);
        bool got = false;
        char chunk[65536];
        for (int i = 0; i < 2; ++i) {
            ssize_t n = 1;
            for (; fds_[i] >= 0 && (n = read(fds_[i], chunk, sizeof chunk)) > 0; got = true)
                (i ? err : out).append(chunk, static_cast<size_t>(n)), lastRead = Now();
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                close(fds_[i]), fds_[i] = -1;
        }
        return got;
    }
    bool ReadUntil(const std::string& text, int ms = 10000) {  // after the previous match
        for (double end = Now() + ms / 1e3;; Pump(20)) {
            bool ended = Reap(false);
            size_t at = out.find(text, cursor_);
            if (at != std::string::npos)
                return cursor_ = at + text.size(), true;
            if (Now() >= end || (ended && fds_[0] < 0))
                return false;
        }
    }
    bool Signal(int sig) { return !reaped_ && pid() > 0 && kill(pid(), sig) == 0; }
    Status Wait(int ms = 30000) {  // killed at the limit
        for (double end = Now() + ms / 1e3; pid_ > 0 && !Reap(false); Pump(5))
            if (Now() >= end && kill(-pid_, SIGKILL) == 0)
                status_.timedOut = Reap(true);
        // What it wrote last; a grandchild holding the pipes may delay the end by a second.
        for (double end = Now() + 1; (fds_[0] >= 0 || fds_[1] >= 0) && Now() < end;)
            Pump(20);
        return status_;
    }
    std::string out, err;
    double lastRead = 0;  // when output last came

  private:
    bool Reap(bool block) {
        int st = 0;
        rusage use{};
        if (pid_ <= 0 || reaped_ || wait4(pid_, &st, block ? 0 : WNOHANG, &use) != pid_)
            return reaped_;
        status_.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        status_.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
        status_.cpu = use.ru_utime.tv_sec + use.ru_stime.tv_sec +
                      (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
        status_.maxRssKiB = use.ru_maxrss;
        return reaped_ = true;
    }
    Pty* terminal_;
    bool jobControl_, reaped_ = false;
    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    size_t cursor_ = 0;
    Status status_;
};

// A run as the unprivileged user nobody, in `groups`, where root would pass every check.
inline Options AsOther(Options o, const std::string& groups = "--clear-groups") {
    if (geteuid() == 0) {
        o.args.insert(o.args.begin(), {"--reuid=65534", "--regid=65534", groups, o.program});
        o.program = "/usr/bin/setpriv";
    }
    return o;
}

// The program run to its end on the simulated line in virtual time, playing `script`.
struct SimRun {
    Status status;
    std::string out, err, log;
};
inline SimRun RunSim(const std::string& script, std::vector<std::string> args = {"sim"},
                     Env env = {}, const std::string& program = ProgramPath()) {
    TempDir dir;
    WriteFile(dir / "script", script);
    env.insert(env.end(), {{"CABLETEST_CLOCK", "virtual"},
                           {"CABLETEST_SIM_SCRIPT", dir / "script"},
                           {"CABLETEST_SIM_LOG", dir / "log"},
                           {"CABLETEST_DEVICE_DIR", dir.path}});
    Options o(std::move(args), std::move(env));
    o.program = program;
    Child child(o);
    Status status = child.Wait(20000);
    return {status, child.out, child.err, ReadFile(dir / "log")};
}

// A random script for the simulated line: lines changing, bursts (often under way during a DTR or
// RTS pulse), errors, the device pulled out and plugged back in, then `end` at *endMs. *arrivals:
// the times at which bytes reach the line.
inline std::string RandomScript(std::mt19937& random, uint64_t* endMs,
                                std::set<uint64_t>* arrivals) {
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    static const char* const kLines[] = {"cable", "cts", "ring", "rlsd"};
    static const char* const kErrors[] = {"frame", "overrun", "parity", "break"};
    std::ostringstream script;
    uint64_t t = 0;
    for (int n = pick(5, 25); n > 0; --n) {
        t += pick(0, 2) == 0 ? pick(0, 40) : pick(0, 1) ? pick(0, 300) : pick(200, 1500);
        const int kind = pick(0, 19), count = pick(1, 30), gap = pick(1, 5);
        if (kind < 8) {
            script << t << " bytes " << count << " " << gap << " " << std::hex << pick(0, 255)
                   << std::dec << "\n";
            for (int i = 0; i < count; ++i)
                arrivals->insert(t + uint64_t(i) * gap);
        } else if (kind < 14) {
            script << t << " " << kLines[kind < 10 ? 0 : pick(1, 3)]
                   << (pick(0, 1) ? " on\n" : " off\n");
        } else if (kind < 17) {
            script << t << " error " << kErrors[pick(0, 3)] << "\n";
        } else {
            script << t << (kind == 17 ? " unplug\n" : " replug\n");
        }
    }
    *endMs = t + pick(100, 1500);
    return script.str() + std::to_string(*endMs) + " end\n";
}

// The random script of `seed`, as the properties over random scripts take them one by one.
inline std::string RandomScript(unsigned seed, uint64_t* endMs, std::set<uint64_t>* arrivals) {
    std::mt19937 random(seed);
    return RandomScript(random, endMs, arrivals);
}

}  // namespace harness

#endif  // CABLETEST_TESTS_HARNESS_H
