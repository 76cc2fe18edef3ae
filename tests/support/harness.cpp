// Test support: temporary folders, pty pairs and child processes for tests
// that run a real program. See harness.h for how to use it.
#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

extern char** environ;

namespace cabletest_test {
namespace {

using SteadyClock = std::chrono::steady_clock;

int RemainingMs(SteadyClock::time_point end) {
    auto left = std::chrono::duration_cast<Millis>(end - SteadyClock::now()).count();
    if (left <= 0)
        return 0;
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

void CloseFd(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Reads what is available without blocking; marks EOF (EIO on a pty master
// whose slave has no opener counts as EOF too). Returns true if bytes came.
bool ReadAvailable(StreamBuffer* b) {
    if (b->fd < 0 || b->eof)
        return false;
    bool got = false;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(b->fd, chunk, sizeof chunk);
        if (n > 0) {
            b->data.append(chunk, static_cast<size_t>(n));
            got = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // 0 is the end of a pipe; EIO is a pty master whose slave is closed
        // for now, which may be reopened, so that one is not final.
        if (n < 0 && errno == EIO)
            break;
        b->eof = true;
        break;
    }
    return got;
}

// Looks for `text` after the read position; on success moves the position
// past it.
bool TakeMatch(StreamBuffer* b, const std::string& text, ReadResult* r) {
    size_t at = b->data.find(text, b->cursor);
    if (at == std::string::npos)
        return false;
    size_t end = at + text.size();
    r->found = true;
    r->text = b->data.substr(b->cursor, end - b->cursor);
    b->cursor = end;
    return true;
}

ReadResult TakeRest(StreamBuffer* b) {
    ReadResult r;
    r.text = b->data.substr(b->cursor);
    b->cursor = b->data.size();
    return r;
}

bool WriteAll(int fd, const std::string& bytes, SteadyClock::time_point end) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int left = RemainingMs(end);
            if (left == 0)
                return false;
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, std::min(left, 50));
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

std::string ProgramPath() {
    const char* env = getenv("CABLETEST_BINARY");
    if (env && *env)
        return env;
#ifdef CABLETEST_BINARY
    return CABLETEST_BINARY;
#else
    return "";
#endif
}

// --- TempDir -------------------------------------------------------------

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/cabletest.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()))
        path_ = buf.data();
}

TempDir::~TempDir() {
    if (!path_.empty())
        RemoveTree(path_);
}

bool TempDir::WriteFile(const std::string& name, const std::string& contents) const {
    std::ofstream f(File(name), std::ios::binary | std::ios::trunc);
    f << contents;
    return static_cast<bool>(f);
}

std::string TempDir::ReadFile(const std::string& name) const {
    std::ifstream f(File(name), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return unlink(path.c_str()) == 0;
    bool ok = true;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                continue;
            ok = RemoveTree(path + "/" + e->d_name) && ok;
        }
        closedir(d);
    }
    return rmdir(path.c_str()) == 0 && ok;
}

// --- Pty -----------------------------------------------------------------

Pty::Pty() {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0)
        return;
    if (fcntl(m, F_SETFD, FD_CLOEXEC) != 0 || grantpt(m) != 0 || unlockpt(m) != 0 ||
        !SetNonBlocking(m)) {
        close(m);
        return;
    }
    char name[128];
    if (ptsname_r(m, name, sizeof name) != 0) {
        close(m);
        return;
    }
    master_ = m;
    slave_path_ = name;
    in_.fd = m;
}

Pty::~Pty() {
    CloseFd(&master_);
}

bool Pty::Write(const std::string& bytes, Millis deadline) {
    if (master_ < 0)
        return false;
    return WriteAll(master_, bytes, SteadyClock::now() + deadline);
}

void Pty::Drain() {
    ReadAvailable(&in_);
}

ReadResult Pty::ReadUntil(const std::string& text, Millis deadline) {
    auto end = SteadyClock::now() + deadline;
    ReadResult r;
    for (;;) {
        Drain();
        if (TakeMatch(&in_, text, &r))
            return r;
        int left = RemainingMs(end);
        if (left == 0 || master_ < 0)
            return TakeRest(&in_);
        pollfd p = {master_, POLLIN, 0};
        // A master without slave opener reports POLLHUP at once; do not spin.
        if (poll(&p, 1, std::min(left, 20)) > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN))
            usleep(2000);
    }
}

std::string Pty::ReadQuiet(Millis quiet, Millis deadline) {
    auto end = SteadyClock::now() + deadline;
    auto last = SteadyClock::now();
    for (;;) {
        size_t before = in_.data.size();
        Drain();
        if (in_.data.size() != before)
            last = SteadyClock::now();
        if (SteadyClock::now() - last >= quiet || RemainingMs(end) == 0)
            break;
        pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, 5) > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN))
            usleep(2000);
    }
    return TakeRest(&in_).text;
}

bool Pty::GetAttr(termios* t) const {
    return master_ >= 0 && tcgetattr(master_, t) == 0;
}

bool Pty::SetAttr(const termios& t) const {
    return master_ >= 0 && tcsetattr(master_, TCSANOW, &t) == 0;
}

bool Pty::SetRaw() const {
    termios t;
    if (!GetAttr(&t))
        return false;
    cfmakeraw(&t);
    return SetAttr(t);
}

bool Pty::IsRaw() const {
    termios t;
    return GetAttr(&t) && !(t.c_lflag & ICANON) && !(t.c_lflag & ECHO);
}

bool Pty::WaitForRawMode(Millis deadline) const {
    auto end = SteadyClock::now() + deadline;
    for (;;) {
        if (IsRaw())
            return true;
        if (RemainingMs(end) == 0)
            return false;
        usleep(1000);
    }
}

bool Pty::WaitForLineMode(Millis deadline) const {
    auto end = SteadyClock::now() + deadline;
    for (;;) {
        termios t;
        if (GetAttr(&t) && (t.c_lflag & ICANON) && (t.c_lflag & ECHO))
            return true;
        if (RemainingMs(end) == 0)
            return false;
        usleep(1000);
    }
}

std::string ComDeviceName(int n) {
    return "ttyS" + std::to_string(n - 1);
}

std::string LinkDevice(const std::string& dir, const std::string& name, const std::string& target) {
    std::string link = dir + "/" + name;
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
        std::string sub = dir + "/" + name.substr(0, slash);
        if (mkdir(sub.c_str(), 0700) != 0 && errno != EEXIST)
            return "";
    }
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0)
        return "";
    return link;
}

// --- Process -------------------------------------------------------------

std::string ExitStatus::Describe() const {
    std::ostringstream s;
    if (timed_out)
        s << "timed out and killed; ";
    if (exited)
        s << "exit code " << code;
    else if (signaled)
        s << "signal " << signal << " (" << strsignal(signal) << ")";
    else
        s << "not ended";
    return s.str();
}

Process::~Process() {
    if (running()) {
        kill(pid_, SIGKILL);
        Reap(true);
    }
    CloseFd(&stdin_fd_);
    CloseFd(&out_.fd);
    CloseFd(&err_.fd);
}

bool Process::Start(const RunOptions& o) {
    if (pid_ > 0) {
        error_ = "already started";
        return false;
    }
    // A write to the stdin of a child that has just ended must fail, not
    // kill the test.
    signal(SIGPIPE, SIG_IGN);
    std::string program = o.program.empty() ? ProgramPath() : o.program;
    if (program.empty()) {
        error_ = "no program to run (CABLETEST_BINARY unset)";
        return false;
    }
    bool need_tty = o.terminal || o.stdin_from == StdinFrom::kTerminal ||
                    o.stdout_to == StdoutTo::kTerminal || o.stderr_to == StderrTo::kTerminal;
    if (need_tty && (!o.terminal || !o.terminal->ok())) {
        error_ = "a terminal stream without a usable RunOptions::terminal";
        return false;
    }

    // Everything the child needs is prepared here: after fork it may only
    // call async-signal-safe functions.
    std::vector<std::string> argv_s;
    argv_s.push_back(program);
    argv_s.insert(argv_s.end(), o.args.begin(), o.args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    std::vector<std::string> env_s;
    if (!o.clear_env) {
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            std::string key = entry.substr(0, entry.find('='));
            bool drop = std::find(o.env_unset.begin(), o.env_unset.end(), key) != o.env_unset.end();
            for (auto& kv : o.env_set)
                drop = drop || kv.first == key;
            if (!drop)
                env_s.push_back(entry);
        }
    }
    for (auto& kv : o.env_set)
        env_s.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& e : env_s)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    std::string slave = o.terminal ? o.terminal->slave_path() : "";
    const char* slave_c = slave.c_str();
    const char* cwd_c = o.cwd.empty() ? nullptr : o.cwd.c_str();

    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    int exec_pipe[2] = {-1, -1};
    int null_fd = -1, file_fd = -1;
    auto close_all = [&] {
        for (int* fd : {&in_pipe[0], &in_pipe[1], &out_pipe[0], &out_pipe[1], &err_pipe[0],
                        &err_pipe[1], &exec_pipe[0], &exec_pipe[1], &null_fd, &file_fd})
            CloseFd(fd);
    };
    bool ok = pipe2(exec_pipe, O_CLOEXEC) == 0;
    if (ok && o.stdin_from == StdinFrom::kPipe)
        ok = pipe2(in_pipe, O_CLOEXEC) == 0;
    if (ok && o.stdin_from == StdinFrom::kNull)
        ok = (null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;
    if (ok && o.stdout_to == StdoutTo::kPipe)
        ok = pipe2(out_pipe, O_CLOEXEC) == 0;
    if (ok && o.stdout_to == StdoutTo::kFile)
        ok = (file_fd =
                  open(o.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) >= 0;
    if (ok && o.stderr_to == StderrTo::kPipe)
        ok = pipe2(err_pipe, O_CLOEXEC) == 0;
    if (!ok) {
        error_ = std::string("set-up failed: ") + strerror(errno);
        close_all();
        return false;
    }

    pid_t pid = fork();
    if (pid < 0) {
        error_ = std::string("fork failed: ") + strerror(errno);
        close_all();
        return false;
    }
    if (pid == 0) {
        // The child: a session of its own, so that it can never reach the
        // terminal the tests run in; the pty, if any, as its terminal.
        int step = 0;
        auto fail = [&](int what) {
            int e[2] = {what, errno};
            ssize_t unused = write(exec_pipe[1], e, sizeof e);
            (void)unused;
            _exit(127);
        };
        sigset_t all;
        sigemptyset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE, SIGTTIN, SIGTTOU, SIGCHLD,
                      SIGALRM})
            signal(s, SIG_DFL);
        step = 1;
        if (setsid() < 0)
            fail(step);
        int tty = -1;
        if (slave_c[0]) {
            step = 2;
            tty = open(slave_c, O_RDWR);
            if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0)
                fail(step);
        }
        step = 3;
        int in = o.stdin_from == StdinFrom::kPipe   ? in_pipe[0]
                 : o.stdin_from == StdinFrom::kNull ? null_fd
                                                    : tty;
        int out = o.stdout_to == StdoutTo::kPipe   ? out_pipe[1]
                  : o.stdout_to == StdoutTo::kFile ? file_fd
                                                   : tty;
        int err = o.stderr_to == StderrTo::kPipe ? err_pipe[1] : tty;
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            fail(step);
        if (tty > 2)
            close(tty);
        step = 4;
        if (cwd_c && chdir(cwd_c) != 0)
            fail(step);
        step = 5;
        execve(argv[0], argv.data(), envp.data());
        fail(step);
    }

    pid_ = pid;
    CloseFd(&exec_pipe[1]);
    CloseFd(&in_pipe[0]);
    CloseFd(&out_pipe[1]);
    CloseFd(&err_pipe[1]);
    CloseFd(&null_fd);
    CloseFd(&file_fd);
    int e[2] = {0, 0};
    ssize_t n;
    do {
        n = read(exec_pipe[0], e, sizeof e);
    } while (n < 0 && errno == EINTR);
    CloseFd(&exec_pipe[0]);
    if (n > 0) {
        static const char* const kSteps[] = {"?",           "setsid", "controlling terminal",
                                             "redirection", "chdir",  "exec"};
        error_ = std::string(kSteps[e[0] >= 0 && e[0] <= 5 ? e[0] : 0]) +
                 " failed in the child: " + strerror(e[1]);
        CloseFd(&in_pipe[1]);
        CloseFd(&out_pipe[0]);
        CloseFd(&err_pipe[0]);
        Reap(true);
        return false;
    }
    stdin_fd_ = in_pipe[1];
    out_.fd = out_pipe[0];
    err_.fd = err_pipe[0];
    if (out_.fd >= 0)
        SetNonBlocking(out_.fd);
    if (err_.fd >= 0)
        SetNonBlocking(err_.fd);
    if (stdin_fd_ >= 0)
        SetNonBlocking(stdin_fd_);
    terminal_ = o.terminal;
    if (o.stdout_to == StdoutTo::kFile)
        stdout_file_ = o.stdout_file;
    return true;
}

bool Process::Type(const std::string& bytes) {
    return terminal_ && terminal_->Write(bytes);
}

bool Process::WriteStdin(const std::string& bytes) {
    return stdin_fd_ >= 0 && WriteAll(stdin_fd_, bytes, SteadyClock::now() + kDefaultDeadline);
}

void Process::CloseStdin() {
    CloseFd(&stdin_fd_);
}

StreamBuffer* Process::Buffer(Stream stream) {
    switch (stream) {
        case Stream::kStdout:
            if (!stdout_file_.empty()) {
                std::ifstream f(stdout_file_, std::ios::binary);
                std::ostringstream s;
                s << f.rdbuf();
                out_.data = s.str();
            }
            return &out_;
        case Stream::kStderr:
            return &err_;
        case Stream::kTerminal:
            return terminal_ ? &terminal_->buffer() : nullptr;
    }
    return nullptr;
}

bool Process::Pump(int timeout_ms) {
    pollfd p[3];
    int n = 0;
    if (out_.fd >= 0 && !out_.eof)
        p[n++] = {out_.fd, POLLIN, 0};
    if (err_.fd >= 0 && !err_.eof)
        p[n++] = {err_.fd, POLLIN, 0};
    if (terminal_ && terminal_->ok())
        p[n++] = {terminal_->master(), POLLIN, 0};
    if (n > 0) {
        int r = poll(p, n, timeout_ms);
        // A master without a slave opener, or a pipe at its end, wakes poll
        // at once; keep the loop from spinning.
        bool hup_only = r > 0;
        for (int i = 0; i < n; ++i)
            if (p[i].revents & POLLIN)
                hup_only = false;
        if (hup_only)
            usleep(std::min(timeout_ms, 2) * 1000);
    } else if (timeout_ms > 0) {
        usleep(std::min(timeout_ms, 5) * 1000);
    }
    bool got = ReadAvailable(&out_);
    got = ReadAvailable(&err_) || got;
    if (terminal_) {
        size_t before = terminal_->buffer().data.size();
        terminal_->Drain();
        got = got || terminal_->buffer().data.size() != before;
    }
    return got;
}

ReadResult Process::ReadUntil(Stream stream, const std::string& text, Millis deadline) {
    auto end = SteadyClock::now() + deadline;
    ReadResult r;
    for (;;) {
        Pump(0);
        StreamBuffer* b = Buffer(stream);
        if (!b)
            return r;
        if (TakeMatch(b, text, &r))
            return r;
        // Once the child is gone and its pipe is at its end, nothing more can
        // come (a terminal can still be read, but no one writes to it).
        bool ended = reaped_ || Reap(false);
        if (RemainingMs(end) == 0 ||
            (ended && (b->eof || b->fd < 0 || stream == Stream::kTerminal)))
            return TakeRest(b);
        Pump(std::min(RemainingMs(end), 20));
    }
}

std::string Process::ReadQuiet(Stream stream, Millis quiet, Millis deadline) {
    auto end = SteadyClock::now() + deadline;
    auto last = SteadyClock::now();
    for (;;) {
        if (Pump(5))
            last = SteadyClock::now();
        if (SteadyClock::now() - last >= quiet || RemainingMs(end) == 0)
            break;
    }
    StreamBuffer* b = Buffer(stream);
    return b ? TakeRest(b).text : "";
}

std::string Process::Output(Stream stream) {
    Pump(0);
    StreamBuffer* b = Buffer(stream);
    return b ? b->data : "";
}

bool Process::Signal(int sig) {
    return running() && kill(pid_, sig) == 0;
}

bool Process::Reap(bool block) {
    if (pid_ <= 0 || reaped_)
        return reaped_;
    int st = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &st, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid_)
        return false;
    reaped_ = true;
    if (WIFEXITED(st)) {
        status_.exited = true;
        status_.code = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
        status_.signaled = true;
        status_.signal = WTERMSIG(st);
    }
    return true;
}

ExitStatus Process::WaitExit(Millis deadline) {
    if (pid_ <= 0)
        return status_;
    auto end = SteadyClock::now() + deadline;
    while (!Reap(false)) {
        if (RemainingMs(end) == 0) {
            kill(pid_, SIGKILL);
            Reap(true);
            status_.timed_out = true;
            break;
        }
        Pump(std::min(RemainingMs(end), 5));
    }
    // What the child wrote last; a grandchild holding the pipes open must not
    // hold the test up for long.
    auto drain_end = SteadyClock::now() + Millis(1000);
    while (((out_.fd >= 0 && !out_.eof) || (err_.fd >= 0 && !err_.eof)) &&
           RemainingMs(drain_end) > 0)
        Pump(std::min(RemainingMs(drain_end), 20));
    if (terminal_)
        terminal_->Drain();
    return status_;
}

}  // namespace cabletest_test
