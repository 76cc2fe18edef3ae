// Performance figures of the program on a pty in real time, and of the
// virtual clock: pass-report latency, idle CPU, throughput, peak memory, and
// simulated seconds per real second. Prints one table. Not a test: the
// figures depend on the machine and on what else runs on it.
//
//   cabletest-bench <path to cabletest> [bursts] [idle seconds]
//
// The program is run on a pty slave reached through a temporary device
// folder (never a real serial port), with its standard output on a pipe that
// this program reads and time-stamps.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void SleepFor(double seconds) {
    timespec t;
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - t.tv_sec) * 1e9);
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "cabletest-bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Time on a CPU in seconds, to the nanosecond (/proc/<pid>/schedstat), for
// spans where the clock-tick accounting of /proc/<pid>/stat is too coarse.
double RunSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns = 0;
    if (!(in >> ns))
        return CpuSeconds(pid);
    return ns / 1e9;
}

long StatusKiB(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

// The program under measurement, on a pty of its own.
struct Subject {
    pid_t pid = -1;
    int master = -1;  // the far end of the line
    int out = -1;     // the program's standard output
    int peek = -1;    // the slave, opened to count its input queue (FIONREAD)
    std::string dir;
    std::string pending;  // output read but not yet matched
    double lastReadAt = 0;

    void Start(const std::string& program, bool debug) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            Die("pty");
        const std::string slave = ptsname(master);
        char tmpl[] = "/tmp/cabletest-bench.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            Die("mkdtemp");
        dir = tmpl;
        if (symlink(slave.c_str(), (dir + "/ttyS0").c_str()) != 0)
            Die("symlink");
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            Die("pipe");
        pid = fork();
        if (pid < 0)
            Die("fork");
        if (pid == 0) {
            setsid();
            dup2(pipeFds[1], 1);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            setenv("CABLETEST_DEVICE_DIR", dir.c_str(), 1);
            unsetenv("CABLETEST_CLOCK");
            if (debug) {
                execl(program.c_str(), program.c_str(), "com1", "debug", (char*)nullptr);
            } else {
                execl(program.c_str(), program.c_str(), "com1", (char*)nullptr);
            }
            _exit(127);
        }
        close(pipeFds[1]);
        out = pipeFds[0];
        fcntl(out, F_SETFL, O_NONBLOCK);
        fcntl(master, F_SETFL, O_NONBLOCK);
        // Root passes the program's TIOCEXCL; the open only counts the queue.
        peek = open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (!WaitFor("Ctrl C to terminate\n", 5.0))
            Die("the program did not start");
        SleepFor(0.5);  // start-up's 100 ms and the drain
    }

    // Reads output until `text` appears; the time it was seen, or -1.
    double WaitForAt(const std::string& text, double timeout, double* seenAt) {
        const double end = Now() + timeout;
        for (;;) {
            // Checked after every read, so a match is dated by the read
            // that completed it.
            size_t at = pending.find(text);
            if (at != std::string::npos) {
                pending.erase(0, at + text.size());
                *seenAt = lastReadAt;
                return lastReadAt;
            }
            double left = end - Now();
            if (left <= 0)
                return -1;
            pollfd p{out, POLLIN, 0};
            timespec limit;
            limit.tv_sec = static_cast<time_t>(left);
            limit.tv_nsec = static_cast<long>((left - limit.tv_sec) * 1e9);
            if (ppoll(&p, 1, &limit, nullptr) > 0) {
                char buf[65536];
                ssize_t n = read(out, buf, sizeof buf);
                lastReadAt = Now();
                if (n > 0)
                    pending.append(buf, static_cast<size_t>(n));
                if (n == 0)
                    return -1;
            }
        }
    }
    bool WaitFor(const std::string& text, double timeout) {
        double t = 0;
        return WaitForAt(text, timeout, &t) >= 0;
    }
    // Reads and counts occurrences of `text` for `seconds`.
    size_t Drain(const std::string& text, double seconds) {
        size_t count = 0;
        const double end = Now() + seconds;
        do {
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, seconds > 0 ? 20 : 0) > 0) {
                char buf[65536];
                ssize_t n = read(out, buf, sizeof buf);
                if (n > 0)
                    pending.append(buf, static_cast<size_t>(n));
            }
            for (size_t at = pending.find(text); at != std::string::npos; at = pending.find(text)) {
                ++count;
                pending.erase(0, at + text.size());
            }
            if (pending.size() > text.size())
                pending.erase(0, pending.size() - text.size());
        } while (Now() < end);
        return count;
    }
    int Queued() const {
        int n = 0;
        return peek >= 0 && ioctl(peek, FIONREAD, &n) == 0 ? n : -1;
    }
    void Stop() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        close(master);
        close(out);
        if (peek >= 0)
            close(peek);
        unlink((dir + "/ttyS0").c_str());
        rmdir(dir.c_str());
    }
};

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * (v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Writes as fast as the line takes it for `seconds`; returns the bytes the
// program consumed per second (written, less what is still queued).
double Flood(Subject& s, double seconds, size_t* written, const std::string& count = "",
             size_t* counted = nullptr) {
    static const std::string chunk(4096, 'z');
    *written = 0;
    const int queuedBefore = s.Queued();
    const double start = Now();
    while (Now() - start < seconds) {
        pollfd p{s.master, POLLOUT, 0};
        if (poll(&p, 1, 20) > 0) {
            ssize_t n = write(s.master, chunk.data(), chunk.size());
            if (n > 0)
                *written += static_cast<size_t>(n);
        }
        if (counted != nullptr) {
            *counted += s.Drain(count, 0.0);
        } else {
            char buf[65536];
            while (read(s.out, buf, sizeof buf) > 0) {
            }
        }
    }
    const double elapsed = Now() - start;
    const int queuedAfter = s.Queued();
    return (static_cast<double>(*written) - (queuedAfter - queuedBefore)) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: cabletest-bench <path to cabletest> [bursts] [idle s]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string program = argv[1];
    const int bursts = argc > 2 ? std::atoi(argv[2]) : 200;
    const double idleSeconds = argc > 3 ? std::atof(argv[3]) : 20.0;

    // 1. Latency of the pass report, and idle cost, on one run.
    Subject s;
    s.Start(program, false);
    std::vector<double> latency;
    std::fprintf(stderr, "latency: %d bursts, 0.8 s apart\n", bursts);
    for (int i = 0; i < bursts; ++i) {
        // A burst of five bytes 1 ms apart; the clock starts at the first.
        const double t0 = Now();
        if (write(s.master, "x", 1) != 1)
            Die("write");
        double seenAt = 0;
        bool seen = false;
        for (int k = 0; k < 4; ++k) {
            seen = seen || s.WaitForAt("-->Carriage Pass\n", 0.001, &seenAt) >= 0;
            if (write(s.master, "x", 1) != 1)
                Die("write");
        }
        if (!seen && s.WaitForAt("-->Carriage Pass\n", 2.0, &seenAt) < 0)
            Die("no pass report");
        latency.push_back((seenAt - t0) * 1000.0);
        // Bursts are passes only more than 750 ms apart; vary the phase
        // against the program's 210 ms cycle.
        SleepFor(0.8 + (i % 7) * 0.013);
    }
    std::fprintf(stderr, "idle: %.0f s on a quiet line\n", idleSeconds);
    const double cpu0 = RunSeconds(s.pid);
    const double ticks0 = CpuSeconds(s.pid);
    SleepFor(idleSeconds);
    const double idleCpu = RunSeconds(s.pid) - cpu0;
    const double idleTicks = CpuSeconds(s.pid) - ticks0;

    // 2. Throughput: the line kept full for five seconds.
    std::fprintf(stderr, "throughput: 5 s at full speed\n");
    size_t written = 0;
    const double rate = Flood(s, 5.0, &written);
    SleepFor(1.0);
    const int leftOver = s.Queued();
    const long peakKiB = StatusKiB(s.pid, "VmHWM");
    s.Stop();

    // 3. The same flood in debug mode, counting one line per byte read, to
    // show that nothing is lost at that rate either.
    std::fprintf(stderr, "throughput, debug mode: 3 s, every byte counted\n");
    Subject d;
    d.Start(program, true);
    size_t debugWritten = 0;
    size_t counted = 0;
    const double debugRate = Flood(d, 3.0, &debugWritten, ": received char 7A\n", &counted);
    // Bytes still queued are read and counted after the writing stops.
    size_t more;
    while ((more = d.Drain(": received char 7A\n", 1.0)) > 0)
        counted += more;
    const long debugPeakKiB = StatusKiB(d.pid, "VmHWM");
    d.Stop();

    // 4. The virtual clock: ten simulated minutes of passes, cable changes,
    // line errors and a long flood.
    std::fprintf(stderr, "virtual clock: 10 simulated minutes\n");
    char tmpl[] = "/tmp/cabletest-bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        Die("mkdtemp");
    const std::string vdir = tmpl;
    const std::string script = vdir + "/script";
    {
        std::ofstream f(script);
        for (int t = 1000; t < 600000; t += 1000) {
            f << t << " cable " << ((t / 5000) % 2 ? "off" : "on") << "\n";
            f << t + 100 << " bytes 20 1\n";
            if (t % 7000 == 0)
                f << t + 300 << " error frame\n";
            if (t == 300000)
                f << t + 400 << " bytes 100000 1\n";
        }
        f << "600000 end\n";
    }
    const double v0 = Now();
    pid_t v = fork();
    if (v == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        setenv("CABLETEST_CLOCK", "virtual", 1);
        setenv("CABLETEST_SIM_SCRIPT", script.c_str(), 1);
        setenv("CABLETEST_DEVICE_DIR", vdir.c_str(), 1);
        execl(program.c_str(), program.c_str(), "sim", (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    rusage vUsage{};
    wait4(v, &status, 0, &vUsage);
    const double vReal = Now() - v0;
    const double vCpu = vUsage.ru_utime.tv_sec + vUsage.ru_stime.tv_sec +
                        (vUsage.ru_utime.tv_usec + vUsage.ru_stime.tv_usec) / 1e6;
    unlink(script.c_str());
    rmdir(vdir.c_str());
    const bool vOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;

    std::printf("| figure | what it measures | result | target |\n");
    std::printf("|---|---|---|---|\n");
    std::printf(
        "| pass-report latency, median | write of a burst's first byte to the report line on "
        "standard output (pipe), %zu bursts on a pty | %.2f ms | < 1 ms |\n",
        latency.size(), Percentile(latency, 0.5));
    std::printf(
        "| pass-report latency, 99th percentile | as above | %.2f ms (max %.2f) | < 12 ms |\n",
        Percentile(latency, 0.99), Percentile(latency, 1.0));
    std::printf(
        "| idle CPU | time on a CPU (schedstat, all threads) on a quiet line, measured "
        "over %.0f s and scaled to one minute (user + system by clock ticks: %.2f s/min) "
        "| %.4f s/min | < 0.3 s/min |\n",
        idleSeconds, idleTicks * 60.0 / idleSeconds, idleCpu * 60.0 / idleSeconds);
    std::printf(
        "| throughput | bytes consumed per second with the pty kept full for 5 s "
        "(nothing is lost on a pty: the writer waits), %zu bytes; %d still queued 1 s "
        "later | %.0f bytes/s | >= 96000 bytes/s |\n",
        written, leftOver, rate);
    std::printf(
        "| throughput, debug mode | the same for 3 s with a line printed per byte: "
        "bytes written / bytes reported read (%.0f bytes/s) | %zu / %zu | all read |\n",
        debugRate, debugWritten, counted);
    std::printf(
        "| peak resident memory | VmHWM of the program after the runs above (debug "
        "run: %ld KiB) | %ld KiB | < 4096 KiB |\n",
        debugPeakKiB, peakKiB);
    std::printf(
        "| virtual clock | simulated seconds per real second, 600 s of passes, cable "
        "changes, errors and a 100000-byte flood on `sim`%s; CPU %.2f s | %.0f | |\n",
        vOk ? "" : " (DID NOT END WITH 0)", vCpu, 600.0 / vReal);
    return 0;
}
