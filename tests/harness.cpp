// The harness of the tests and the benchmark: folders, ptys and the process runner.
#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

extern char** environ;

namespace harness {

std::string ProgramPath() {
    const char* path = getenv("CABLETEST_BINARY");
#ifdef CABLETEST_BINARY
    path = path && *path ? path : CABLETEST_BINARY;
#endif
    return path ? path : "";
}

std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
    return static_cast<bool>(std::ofstream(path, std::ios::binary) << text);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    path = std::string(base && *base ? base : "/tmp") + "/cabletest.XXXXXX";
    mkdtemp(&path[0]);
}

TempDir::~TempDir() {  // depth first; links are removed, never followed
    auto remove = [](const char* p, const struct stat*, int, FTW*) { return ::remove(p), 0; };
    nftw(path.c_str(), remove, 16, FTW_DEPTH | FTW_PHYS);
}

Pty::Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name, sizeof name) == 0)
        slave = name;
}

void Pty::Close() {
    if (master >= 0)
        close(master);
    master = -1;
}

std::string Pty::Read() const {
    std::string got;
    char chunk[4096];
    for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
        got.append(chunk, static_cast<size_t>(n));
    return got;
}

termios Pty::Mode() const {
    termios t{};
    tcgetattr(master, &t);
    return t;
}

bool Pty::WaitRaw() const {
    for (double end = Now() + 10; !Raw() && Now() < end;)
        usleep(1000);
    return Raw();
}

bool Pty::Link(const std::string& dir, const std::string& name) const {
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', ++slash))
        mkdir((dir + "/" + name.substr(0, slash)).c_str(), 0700);
    return !slave.empty() && symlink(slave.c_str(), (dir + "/" + name).c_str()) == 0;
}

std::string Status::Text() const {
    return (timedOut ? "killed at the time limit; " : "") +
           (signal ? std::string("signal ") + strsignal(signal) : "exit " + std::to_string(code));
}

namespace {

// The session leader of a job-control run, as a shell: waits for the job, ends as it ended.
[[noreturn]] void LeadJob(pid_t job) {
    int st = 0;
    while (waitpid(job, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(st))
        kill(getpid(), WTERMSIG(st));
    _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 127);
}

// In the child after fork: async-signal-safe calls only.
[[noreturn]] void Exec(pid_t parent, const Options& o, int out, int err, char** argv, char** envp) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s)
        sigaction(s, &dfl, nullptr);  // an ignored signal would stay ignored after exec
    sigset_t mask;
    sigemptyset(&mask);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    setsid();
    int t = o.terminal ? open(o.terminal->slave.c_str(), O_RDWR) : -1;
    if ((o.terminal && (t < 0 || ioctl(t, TIOCSCTTY, 0) != 0)) ||
        dup2(open(o.stdinFile.c_str(), O_RDONLY), 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(127);
    if (o.jobControl) {
        pid_t leader = getpid(), job = fork();
        if (job != 0)
            job > 0 ? LeadJob(job) : _exit(127);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        sigaddset(&mask, SIGTTOU);  // a background group takes the terminal with it blocked
        sigprocmask(SIG_BLOCK, &mask, nullptr);
        if (getppid() != leader || setpgid(0, 0) != 0 || tcsetpgrp(t, getpid()) != 0)
            _exit(127);
        sigprocmask(SIG_UNBLOCK, &mask, nullptr);
    }
    execve(argv[0], argv, envp);
    _exit(127);
}

}  // namespace

Child::Child(const Options& o) : terminal_(o.terminal), jobControl_(o.jobControl) {
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
    for (auto& a : args)
        argv.push_back(&a[0]);
    for (auto& e : env)
        envp.push_back(&e[0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
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

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        kill(-pid_, SIGKILL);  // its session's first group; a job dies with its leader
        Reap(true);
    }
    for (int fd : fds_)
        close(fd);
}

pid_t Child::pid() {
    for (double end = Now() + 10; jobControl_ && pid_ > 0 && Now() < end; usleep(1000)) {
        pid_t job = tcgetpgrp(terminal_->master);
        if (job > 0 && job != pid_)
            return job;
    }
    return jobControl_ ? -1 : pid_;
}

bool Child::Pump(int ms) {
    pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};  // poll leaves out -1
    poll(p, 2, ms);
    bool got = false;
    char chunk[65536];
    for (int i = 0; i < 2; ++i) {
        ssize_t n = 1;
        while (fds_[i] >= 0 && (n = read(fds_[i], chunk, sizeof chunk)) > 0) {
            (i ? err : out).append(chunk, static_cast<size_t>(n));
            got = true;
            lastRead = Now();
        }
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            close(fds_[i]);
            fds_[i] = -1;
        }
    }
    return got;
}

bool Child::ReadUntil(const std::string& text, int ms) {
    for (double end = Now() + ms / 1e3;; Pump(20)) {
        bool ended = Reap(false);
        size_t at = out.find(text, cursor_);
        if (at != std::string::npos) {
            cursor_ = at + text.size();
            return true;
        }
        if (Now() >= end || (ended && fds_[0] < 0))
            return false;
    }
}

bool Child::Reap(bool block) {
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

Status Child::Wait(int ms) {
    for (double end = Now() + ms / 1e3; pid_ > 0 && !Reap(false); Pump(5))
        if (Now() >= end && kill(-pid_, SIGKILL) == 0)
            status_.timedOut = Reap(true);
    // What it wrote last; a grandchild holding the pipes may delay the end by a second.
    for (double end = Now() + 1; (fds_[0] >= 0 || fds_[1] >= 0) && Now() < end;)
        Pump(20);
    return status_;
}

SimRun RunSim(const std::string& script, std::vector<std::string> args, Env env,
              const std::string& program) {
    TempDir dir;
    WriteFile(dir / "script", script);
    env.insert(env.end(), {{"CABLETEST_CLOCK", "virtual"},
                           {"CABLETEST_SIM_SCRIPT", dir / "script"},
                           {"CABLETEST_SIM_LOG", dir / "log"},
                           {"CABLETEST_DEVICE_DIR", dir.path}});
    Options o(std::move(args), std::move(env));
    o.program = program;
    Child child(o);
    Status status = child.Wait(60000);
    return {status, child.out, child.err, ReadFile(dir / "log")};
}

}  // namespace harness
