// Test support: temporary folders, pty pairs and child processes (see harness.h).
#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <iterator>

extern char** environ;

namespace cabletest_test {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
    auto left = std::chrono::duration_cast<Millis>(end - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<decltype(left)>(left, 1000000));
}

void CloseFd(int* fd) {
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Waits up to timeout_ms for input on any of the buffers, then reads what is there without
// blocking; true if bytes came. EIO is a pty master whose slave has no opener for now (which
// may be reopened: not an end); it reports POLLHUP at once, so do not spin on it.
bool PumpBuffers(std::initializer_list<StreamBuffer*> buffers, int timeout_ms) {
    pollfd p[3];
    nfds_t n = 0;
    for (StreamBuffer* b : buffers)
        if (b && b->fd >= 0 && !b->eof)
            p[n++] = {b->fd, POLLIN, 0};
    int r = n ? poll(p, n, timeout_ms) : 0;
    bool got = false;
    char chunk[4096];
    for (StreamBuffer* b : buffers) {
        while (b && b->fd >= 0 && !b->eof) {
            ssize_t k = read(b->fd, chunk, sizeof chunk);
            if (k > 0)
                b->data.append(chunk, static_cast<size_t>(k));
            else if (k == 0 || (errno != EINTR && errno != EAGAIN && errno != EIO))
                b->eof = true;
            else if (errno != EINTR)
                break;
            got = got || k > 0;
        }
    }
    if (!got && timeout_ms > 0 && (r > 0 || n == 0))
        usleep(std::min(timeout_ms, 2) * 1000);
    return got;
}

// Moves the read position past the first `text` after it, or with no text to the end.
ReadResult Take(StreamBuffer* b, const std::string* text = nullptr) {
    size_t at = text ? b->data.find(*text, b->cursor) : b->data.size();
    if (at == std::string::npos)
        return ReadResult();
    size_t from = std::exchange(b->cursor, text ? at + text->size() : at);
    return ReadResult{text != nullptr, b->data.substr(from, b->cursor - from)};
}

bool WriteAll(int fd, const std::string& bytes, Millis deadline) {
    auto end = Clock::now() + deadline;
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        pollfd p = {fd, POLLOUT, 0};
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno == EAGAIN && RemainingMs(end) > 0)
            poll(&p, 1, std::min(RemainingMs(end), 50));
        else if (n == 0 || errno != EINTR)
            return false;
    }
    return true;
}

}  // namespace

std::string ProgramPath() {
    const char* env = getenv("CABLETEST_BINARY");
    return env && *env ? env : CABLETEST_BINARY;
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/cabletest.XXXXXX";
    if (mkdtemp(&templ[0]))
        path_ = templ;
}

TempDir::~TempDir() {  // depth first; links are removed, never followed
    auto remove_one = [](const char* p, const struct stat*, int, FTW*) { return remove(p), 0; };
    if (!path_.empty())
        nftw(path_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

bool TempDir::WriteFile(const std::string& name, const std::string& contents) const {
    std::ofstream f(File(name), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(f << contents);
}

std::string TempDir::ReadFile(const std::string& name) const {
    return ReadWhole(File(name));
}

Pty::Pty() {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (m >= 0 && grantpt(m) == 0 && unlockpt(m) == 0 && ptsname_r(m, name, sizeof name) == 0)
        slave_path_ = name;
    else
        CloseFd(&m);
    master_ = in_.fd = m;
}

Pty::~Pty() {
    CloseFd(&master_);
}

bool Pty::Write(const std::string& bytes, Millis deadline) {
    return master_ >= 0 && WriteAll(master_, bytes, deadline);
}

std::string Pty::ReadQuiet(Millis quiet, Millis deadline) {
    auto end = Clock::now() + deadline, last = Clock::now();
    while (Clock::now() - last < quiet && RemainingMs(end) > 0)
        if (PumpBuffers({&in_}, 5))
            last = Clock::now();
    return Take(&in_).text;
}

bool Pty::WaitForRawMode(Millis deadline) const {
    auto end = Clock::now() + deadline;
    while (!IsRaw() && RemainingMs(end) > 0)
        usleep(1000);
    return IsRaw();
}

std::string LinkDevice(const std::string& dir, const std::string& name, const std::string& target) {
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', ++slash))
        mkdir((dir + "/" + name.substr(0, slash)).c_str(), 0700);  // a failure fails symlink
    std::string link = dir + "/" + name;
    unlink(link.c_str());
    return symlink(target.c_str(), link.c_str()) == 0 ? link : "";
}

std::string ExitStatus::Describe() const {
    std::string s = timed_out ? "timed out and killed; " : "";
    if (signal > 0)
        return s + "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    return s + (code >= 0 ? "exit code " + std::to_string(code) : "not ended");
}

Process::~Process() {
    if (running() && kill(pid_, SIGKILL) == 0)
        Reap(true);
    for (int* fd : {&stdin_fd_, &out_.fd, &err_.fd})
        CloseFd(fd);
}

bool Process::Start(const RunOptions& o) {
    std::string program = o.program.empty() ? ProgramPath() : o.program;
    error_ = pid_ > 0                          ? "already started"
             : program.empty()                 ? "no program to run (CABLETEST_BINARY unset)"
             : o.terminal && !o.terminal->ok() ? "no terminal"
                                               : "";
    if (!error_.empty())
        return false;
    signal(SIGPIPE, SIG_IGN);
    // All the child needs is made here: after fork it calls async-signal-safe functions only.
    std::vector<std::string> argv_s = {program}, env_s, drop = o.env_unset;
    argv_s.insert(argv_s.end(), o.args.begin(), o.args.end());
    for (auto& kv : o.env_set)
        drop.push_back(kv.first);
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (std::find(drop.begin(), drop.end(), entry.substr(0, entry.find('='))) == drop.end())
            env_s.push_back(entry);
    }
    for (auto& kv : o.env_set)
        env_s.push_back(kv.first + "=" + kv.second);
    std::vector<char*> argv, envp;
    for (auto& a : argv_s)
        argv.push_back(&a[0]);
    for (auto& e : env_s)
        envp.push_back(&e[0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const char* slave = o.terminal ? o.terminal->slave_path().c_str() : nullptr;
    const char* out_file = o.stdout_to == StdoutTo::kFile ? o.stdout_file.c_str() : nullptr;
    enum { kIn, kOut, kErr, kExec };
    int fds[4][2] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
    auto close_all = [&] {
        for (auto& pair : fds)
            for (int& fd : pair)
                CloseFd(&fd);
    };
    bool ok = pipe2(fds[kExec], O_CLOEXEC) == 0 && pipe2(fds[kErr], O_CLOEXEC) == 0 &&
              (o.stdin_from != StdinFrom::kPipe || pipe2(fds[kIn], O_CLOEXEC) == 0) &&
              (out_file || pipe2(fds[kOut], O_CLOEXEC) == 0);
    pid_t pid = ok ? fork() : -1;
    if (pid < 0) {
        error_ = std::string("set-up failed: ") + strerror(errno);
        close_all();
        return false;
    }
    if (pid == 0) {
        // A session of its own, so that it never reaches the terminal the tests run in.
        auto fail = [&](int step) {
            int e[2] = {step, errno};
            (void)!write(fds[kExec][1], e, sizeof e);
            _exit(127);
        };
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s = 1; s < NSIG; ++s)
            signal(s, SIG_DFL);  // an ignored one would stay ignored after exec
        if (setsid() < 0)
            fail(0);
        int tty = slave ? open(slave, O_RDWR) : -1;
        if (slave && (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0))
            fail(1);
        int in = fds[kIn][0] >= 0 ? fds[kIn][0] : open("/dev/null", O_RDONLY | O_CLOEXEC);
        int out = out_file ? open(out_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                           : fds[kOut][1];
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(fds[kErr][1], 2) < 0)
            fail(2);
        if (tty > 2)
            close(tty);
        execve(argv[0], argv.data(), envp.data());
        fail(3);
    }
    pid_ = pid;
    for (int* fd : {&fds[kExec][1], &fds[kIn][0], &fds[kOut][1], &fds[kErr][1]})
        CloseFd(fd);
    int e[2] = {4, ETIMEDOUT};  // read() gets 0 once exec has closed the pipe
    pollfd p = {fds[kExec][0], POLLIN, 0};
    bool failed = TEMP_FAILURE_RETRY(poll(&p, 1, 10000)) <= 0
                      ? kill(pid, SIGKILL) == 0
                      : TEMP_FAILURE_RETRY(read(fds[kExec][0], e, sizeof e)) > 0;
    if (failed) {
        const char* const steps[] = {"setsid", "terminal", "redirection", "exec", "exec in time"};
        error_ = std::string(steps[std::min(e[0], 4)]) + " failed in the child: " + strerror(e[1]);
        close_all();
        Reap(true);
        return false;
    }
    std::swap(stdin_fd_, fds[kIn][1]);
    std::swap(out_.fd, fds[kOut][0]);
    std::swap(err_.fd, fds[kErr][0]);
    close_all();
    for (int fd : {stdin_fd_, out_.fd, err_.fd})
        if (fd >= 0)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    terminal_ = o.terminal;
    stdout_file_ = out_file ? o.stdout_file : "";
    return true;
}

bool Process::WriteStdin(const std::string& bytes) {
    return stdin_fd_ >= 0 && WriteAll(stdin_fd_, bytes, kDefaultDeadline);
}

void Process::CloseStdin() {
    CloseFd(&stdin_fd_);
}

StreamBuffer* Process::Buffer(Stream stream) {
    if (stream == Stream::kStdout && !stdout_file_.empty())
        out_.data = ReadWhole(stdout_file_);
    if (stream == Stream::kTerminal)
        return terminal_ ? &terminal_->in_ : nullptr;
    return stream == Stream::kStdout ? &out_ : &err_;
}

bool Process::Pump(int timeout_ms) {
    return PumpBuffers({&out_, &err_, terminal_ ? &terminal_->in_ : nullptr}, timeout_ms);
}

ReadResult Process::ReadUntil(Stream stream, const std::string& text, Millis deadline) {
    auto end = Clock::now() + deadline;
    for (;;) {
        Pump(0);
        StreamBuffer* b = Buffer(stream);
        ReadResult r = b ? Take(b, &text) : ReadResult();
        if (!b || r.found)
            return r;
        // Once the child is gone and its pipe at its end (or it is the terminal), no more comes.
        bool ended = reaped_ || Reap(false);
        if (RemainingMs(end) == 0 ||
            (ended && (b->eof || b->fd < 0 || stream == Stream::kTerminal)))
            return Take(b);
        Pump(std::min(RemainingMs(end), 20));
    }
}

std::string Process::ReadQuiet(Stream stream, Millis quiet, Millis deadline) {
    auto end = Clock::now() + deadline, last = Clock::now();
    while (Clock::now() - last < quiet && RemainingMs(end) > 0)
        if (Pump(5))
            last = Clock::now();
    StreamBuffer* b = Buffer(stream);
    return b ? Take(b).text : "";
}

std::string Process::Output(Stream stream) {
    Pump(0);
    StreamBuffer* b = Buffer(stream);
    return b ? b->data : "";
}

bool Process::Reap(bool block) {
    int st = 0;
    pid_t r = running() ? TEMP_FAILURE_RETRY(waitpid(pid_, &st, block ? 0 : WNOHANG)) : 0;
    if (r > 0 && r == pid_) {
        reaped_ = true;
        status_.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        status_.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    }
    return reaped_;
}

ExitStatus Process::WaitExit(Millis deadline) {
    auto end = Clock::now() + deadline;
    while (running() && !Reap(false)) {
        if (RemainingMs(end) > 0)
            Pump(std::min(RemainingMs(end), 5));
        else
            status_.timed_out = kill(pid_, SIGKILL) == 0 && Reap(true);
    }
    // What the child wrote last; a grandchild holding the pipes open may delay us by 1 s.
    end = Clock::now() + Millis(1000);
    while (((out_.fd >= 0 && !out_.eof) || (err_.fd >= 0 && !err_.eof)) && RemainingMs(end) > 0)
        Pump(20);
    Pump(0);
    return status_;
}

}  // namespace cabletest_test
