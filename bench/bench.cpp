// Performance figures of the program on a pty in real time, beside those of
// a plain pyserial script doing the same job (plain_monitor.py), and of the
// virtual clock: pass-report latency, idle CPU, throughput, peak memory, and
// simulated seconds per real second. Prints one table. Not a test: the
// figures depend on the machine and on what else runs on it.
//
//   cabletest-bench <path to cabletest> [bursts] [idle seconds]
//   cabletest-bench --virtual <runs> <cabletest>...   (builds side by side)
//
// The program and the script are run by the tests' harness, each on a pty
// slave of its own reached through a temporary device folder (never a real
// serial port), with standard output on a pipe that this program reads and
// time-stamps.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using harness::Now;

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

// Time on a CPU of all the process's threads in seconds, to the nanosecond
// (/proc/<pid>/task/*/schedstat), for spans where the clock-tick accounting
// of /proc/<pid>/stat is too coarse.
double RunSeconds(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return CpuSeconds(pid);
    unsigned long long total = 0;
    while (dirent* entry = readdir(dir)) {
        std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
        unsigned long long ns = 0;
        if (entry->d_name[0] != '.' && in >> ns)
            total += ns;
    }
    closedir(dir);
    return total / 1e9;
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

harness::Options Run(std::vector<std::string> args, const std::string& deviceDir,
                     const std::string& program) {
    harness::Options o(std::move(args), {{"CABLETEST_DEVICE_DIR", deviceDir}});
    if (!program.empty())
        o.program = program;
    return o;
}

// What is measured, on a pty of its own reached as com1 (dir/ttyS0): the
// program, or with `program` given another monitor, which is handed the pty
// as dir/ttyS0 in its arguments' place of "@".
struct Subject {
    harness::TempDir dir;
    harness::Pty line;  // the master is the far end of the line
    bool linked = line.Link(dir.path, "ttyS0");
    harness::Child child;
    int peek = -1;  // the slave, opened to count its input queue (FIONREAD)

    explicit Subject(std::vector<std::string> args, const std::string& program = "")
        : child(Run(PortInPlace(std::move(args), dir / "ttyS0"), dir.path, program)) {
        if (!linked)
            Die("pty");
        // Root passes the program's TIOCEXCL; the open only counts the queue.
        peek = open(line.slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (!Take("Ctrl C to terminate\n", 5.0))
            Die("the program did not start");
        SleepFor(0.5);  // start-up's 100 ms and the drain
    }
    ~Subject() {
        if (peek >= 0)
            close(peek);
    }
    static std::vector<std::string> PortInPlace(std::vector<std::string> args,
                                                const std::string& port) {
        std::replace(args.begin(), args.end(), std::string("@"), port);
        return args;
    }

    // Reads output until `text` appears and drops it with what came before.
    // A match is dated by the read that completed it.
    bool Take(const std::string& text, double timeout, double* seenAt = nullptr) {
        for (const double end = Now() + timeout;; child.Pump(1)) {
            size_t at = child.out.find(text);
            if (at != std::string::npos) {
                child.out.erase(0, at + text.size());
                if (seenAt != nullptr)
                    *seenAt = child.lastRead;
                return true;
            }
            if (Now() >= end)
                return false;
        }
    }
    // Reads and counts occurrences of `text` for `seconds`.
    size_t Drain(const std::string& text, double seconds) {
        size_t count = 0;
        const double end = Now() + seconds;
        do {
            child.Pump(seconds > 0 ? 20 : 0);
            std::string& out = child.out;
            count += harness::Count(out, text);
            size_t last = out.rfind(text);
            out.erase(0, last == std::string::npos ? 0 : last + text.size());
            if (out.size() > text.size())
                out.erase(0, out.size() - text.size());
        } while (Now() < end);
        return count;
    }
    int Queued() const {
        int n = 0;
        return peek >= 0 && ioctl(peek, FIONREAD, &n) == 0 ? n : -1;
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
        pollfd p{s.line.master, POLLOUT, 0};
        if (poll(&p, 1, 20) > 0) {
            ssize_t n = write(s.line.master, chunk.data(), chunk.size());
            if (n > 0)
                *written += static_cast<size_t>(n);
        }
        if (counted != nullptr) {
            *counted += s.Drain(count, 0.0);
        } else {
            s.child.Pump(0);
            s.child.out.clear();
        }
    }
    const double elapsed = Now() - start;
    const int queuedAfter = s.Queued();
    return (static_cast<double>(*written) - (queuedAfter - queuedBefore)) / elapsed;
}

// ---- the virtual clock's scenarios ------------------------------------------------

struct Scenario {
    const char* name;
    double simulatedSeconds;
    std::string script;
};

std::string QuietLine() {
    return "0 cable on\n600000 end\n";
}

std::string PassEverySecond() {
    std::ostringstream s;
    s << "0 cable on\n";
    for (int t = 1000; t < 600000; t += 1000)
        s << t << " bytes 20 1\n";
    s << "600000 end\n";
    return s.str();
}

std::string Flood() {
    return "0 cable on\n1000 bytes 100000 1\n102000 end\n";
}

// Eight hours as --record writes them: a burst of 12 bytes 2 ms apart every
// 10 s, one line a byte, the cable seen at the first sample.
std::string EightHourRecording() {
    std::ostringstream s;
    s << "# cabletest recording of the port sim, opened 2000-01-01 00:00:00.000; times in ms "
         "since then\n350 cable on\n";
    for (long t = 10000; t < 28800000; t += 10000)
        for (int i = 0; i < 12; ++i)
            s << t + 2 * i << " bytes 1 1 55\n";
    s << "28800000 end\n";
    return s.str();
}

std::vector<Scenario> VirtualScenarios() {
    return {{"a quiet line, cable on", 600, QuietLine()},
            {"a pass of 20 bytes every second", 600, PassEverySecond()},
            {"a 100000-byte flood 1 ms apart, and 1 s after it", 102, Flood()},
            {"an 8-hour recording, 12 bytes 2 ms apart every 10 s", 28800, EightHourRecording()}};
}

double Median(std::vector<double> v) {
    return Percentile(std::move(v), 0.5);
}

// Each scenario run `runs` times on each program, interleaved (every program
// in turn, then the next scenario, then the next round), so that the load of
// the machine falls on all alike. The median real time of each, in
// seconds[scenario][program], and whether every program gave the same output
// and DTR/RTS log as the first, in same[scenario].
void MeasureVirtual(const std::vector<std::string>& programs, int runs,
                    std::vector<std::vector<double>>* seconds, std::vector<bool>* same) {
    const std::vector<Scenario> scenarios = VirtualScenarios();
    std::vector<std::vector<std::vector<double>>> times(
        scenarios.size(), std::vector<std::vector<double>>(programs.size()));
    same->assign(scenarios.size(), true);
    std::vector<std::string> reference(scenarios.size());
    for (int r = 0; r < runs; ++r)
        for (size_t i = 0; i < scenarios.size(); ++i)
            for (size_t p = 0; p < programs.size(); ++p) {
                const double t0 = Now();
                harness::SimRun run =
                    harness::RunSim(scenarios[i].script, {"sim"}, {}, programs[p]);
                times[i][p].push_back(Now() - t0);
                const std::string seen =
                    run.status.Exited(0) ? run.out + "\n--log--\n" + run.log : "(failed)";
                if (r == 0 && p == 0)
                    reference[i] = seen;
                else if (seen != reference[i] || seen == "(failed)")
                    (*same)[i] = false;
            }
    seconds->assign(scenarios.size(), std::vector<double>(programs.size()));
    for (size_t i = 0; i < scenarios.size(); ++i)
        for (size_t p = 0; p < programs.size(); ++p)
            (*seconds)[i][p] = Median(times[i][p]);
}

// --virtual: the scenarios on several builds of the program, side by side.
void CompareVirtual(const std::vector<std::string>& programs, int runs) {
    std::vector<std::vector<double>> seconds;
    std::vector<bool> same;
    MeasureVirtual(programs, runs, &seconds, &same);
    const std::vector<Scenario> scenarios = VirtualScenarios();
    std::printf("| scenario (simulated s) |");
    for (const std::string& program : programs)
        std::printf(" %s: real s (sim s per real s) |", program.c_str());
    std::printf(" same output and log |\n|---|");
    for (size_t p = 0; p < programs.size(); ++p)
        std::printf("---|");
    std::printf("---|\n");
    for (size_t i = 0; i < scenarios.size(); ++i) {
        std::printf("| %s (%.0f) |", scenarios[i].name, scenarios[i].simulatedSeconds);
        for (size_t p = 0; p < programs.size(); ++p)
            std::printf(" %.3f (%.0f) |", seconds[i][p],
                        scenarios[i].simulatedSeconds / seconds[i][p]);
        std::printf(" %s |\n", same[i] ? "yes" : "NO");
    }
}

// ---- the real clock on a pty, beside the plain script ----------------------------

// One burst of five bytes 1 ms apart; the time from its first byte to the
// pass report, in ms.
double BurstLatency(Subject& s) {
    const double t0 = Now();
    if (!s.line.Write("x"))
        Die("write");
    double seenAt = 0;
    bool seen = false;
    for (int k = 0; k < 4; ++k) {
        seen = seen || s.Take(harness::kPass, 0.001, &seenAt);
        if (!s.line.Write("x"))
            Die("write");
    }
    if (!seen && !s.Take(harness::kPass, 2.0, &seenAt))
        Die("no pass report");
    return (seenAt - t0) * 1000.0;
}

struct RealFigures {
    std::vector<double> latency;
    double idleCpu = 0, idleTicks = 0;
    long peakKiB = 0;
};

// The bursts go to each subject in turn, and the idle span is the same for
// all, so that the load of the machine falls on all alike.
void MeasureLatencyAndIdle(const std::vector<Subject*>& subjects, int bursts, double idleSeconds,
                           std::vector<RealFigures>* figures) {
    figures->assign(subjects.size(), RealFigures());
    std::fprintf(stderr, "latency: %d bursts, 0.8 s apart\n", bursts);
    for (int i = 0; i < bursts; ++i) {
        for (size_t k = 0; k < subjects.size(); ++k)
            (*figures)[k].latency.push_back(BurstLatency(*subjects[k]));
        // Bursts are passes only more than 750 ms apart; vary the phase
        // against the program's 210 ms cycle.
        SleepFor(0.8 + (i % 7) * 0.013);
    }
    std::fprintf(stderr, "idle: %.0f s on a quiet line\n", idleSeconds);
    std::vector<double> cpu0, ticks0;
    for (Subject* s : subjects) {
        cpu0.push_back(RunSeconds(s->child.pid()));
        ticks0.push_back(CpuSeconds(s->child.pid()));
    }
    SleepFor(idleSeconds);
    for (size_t k = 0; k < subjects.size(); ++k) {
        (*figures)[k].idleCpu = RunSeconds(subjects[k]->child.pid()) - cpu0[k];
        (*figures)[k].idleTicks = CpuSeconds(subjects[k]->child.pid()) - ticks0[k];
        (*figures)[k].peakKiB = StatusKiB(subjects[k]->child.pid(), "VmHWM");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: cabletest-bench <path to cabletest> [bursts] [idle s]\n       "
                     "cabletest-bench --virtual <runs> <cabletest>...\n");
        return 2;
    }
    if (std::strcmp(argv[1], "--virtual") == 0 && argc > 3) {
        CompareVirtual(std::vector<std::string>(argv + 3, argv + argc), std::atoi(argv[2]));
        return 0;
    }
    setenv("CABLETEST_BINARY", argv[1], 1);  // the harness's program under test
    const int bursts = argc > 2 ? std::atoi(argv[2]) : 200;
    const double idleSeconds = argc > 3 ? std::atof(argv[3]) : 20.0;

    // 1. Latency of the pass report and idle cost, the program and the plain
    // script side by side.
    std::unique_ptr<Subject> s(new Subject({"com1"}));
    std::unique_ptr<Subject> plain(new Subject({"@"}, CABLETEST_PLAIN_MONITOR));
    std::vector<RealFigures> real;
    MeasureLatencyAndIdle({s.get(), plain.get()}, bursts, idleSeconds, &real);
    plain.reset();

    // 2. Throughput: the line kept full for five seconds.
    std::fprintf(stderr, "throughput: 5 s at full speed\n");
    size_t written = 0;
    const double rate = Flood(*s, 5.0, &written);
    SleepFor(1.0);
    const int leftOver = s->Queued();
    const long peakKiB = StatusKiB(s->child.pid(), "VmHWM");
    s.reset();

    // 3. The same flood in debug mode, counting one line per byte read, to
    // show that nothing is lost at that rate either.
    std::fprintf(stderr, "throughput, debug mode: 3 s, every byte counted\n");
    std::unique_ptr<Subject> d(new Subject({"com1", "debug"}));
    size_t debugWritten = 0;
    size_t counted = 0;
    const double debugRate = Flood(*d, 3.0, &debugWritten, ": received char 7A\n", &counted);
    // Bytes still queued are read and counted after the writing stops.
    size_t more;
    while ((more = d->Drain(": received char 7A\n", 1.0)) > 0)
        counted += more;
    const long debugPeakKiB = StatusKiB(d->child.pid(), "VmHWM");
    d.reset();

    // 4. The virtual clock's scenarios, five runs each, interleaved.
    std::fprintf(stderr, "virtual clock: four scenarios, five runs each\n");
    std::vector<std::vector<double>> vSeconds;
    std::vector<bool> vSame;
    MeasureVirtual({argv[1]}, 5, &vSeconds, &vSame);

    const RealFigures& p = real[0];
    const RealFigures& q = real[1];
    std::printf("| figure | what it measures | result | target | plain script | ratio |\n");
    std::printf("|---|---|---|---|---|---|\n");
    std::printf(
        "| pass-report latency, median | write of a burst's first byte to the report line on "
        "standard output (pipe), %zu bursts on a pty | %.2f ms | < 1 ms | %.2f ms | %.2f |\n",
        p.latency.size(), Median(p.latency), Median(q.latency),
        Median(p.latency) / Median(q.latency));
    std::printf(
        "| pass-report latency, 99th percentile | as above | %.2f ms (max %.2f) | < 12 ms | "
        "%.2f ms | %.2f |\n",
        Percentile(p.latency, 0.99), Percentile(p.latency, 1.0), Percentile(q.latency, 0.99),
        Percentile(p.latency, 0.99) / Percentile(q.latency, 0.99));
    std::printf(
        "| idle CPU | time on a CPU of all threads (schedstat of each task) on a quiet line, "
        "over %.0f s, per minute (user + system by clock ticks: %.2f s/min) | %.4f s/min | "
        "< 0.3 s/min | %.4f s/min | %.2f |\n",
        idleSeconds, p.idleTicks * 60.0 / idleSeconds, p.idleCpu * 60.0 / idleSeconds,
        q.idleCpu * 60.0 / idleSeconds, p.idleCpu / q.idleCpu);
    std::printf(
        "| peak resident memory | VmHWM after the latency and idle runs | %ld KiB | < 4096 KiB | "
        "%ld KiB | %.2f |\n",
        p.peakKiB, q.peakKiB, static_cast<double>(p.peakKiB) / static_cast<double>(q.peakKiB));
    std::printf(
        "| throughput | bytes consumed per second with the pty kept full for 5 s "
        "(nothing is lost on a pty: the writer waits), %zu bytes; %d still queued 1 s "
        "later; VmHWM then %ld KiB | %.0f bytes/s | >= 96000 bytes/s | | |\n",
        written, leftOver, peakKiB, rate);
    std::printf(
        "| throughput, debug mode | the same for 3 s with a line printed per byte: "
        "bytes written / bytes reported read (%.0f bytes/s; VmHWM %ld KiB) | %zu / %zu | "
        "all read | | |\n",
        debugRate, debugPeakKiB, debugWritten, counted);
    const std::vector<Scenario> scenarios = VirtualScenarios();
    for (size_t i = 0; i < scenarios.size(); ++i)
        std::printf(
            "| virtual clock: %s | simulated s per real s, %.0f simulated s on `sim`, median "
            "of runs (%.3f s)%s | %.0f | | | |\n",
            scenarios[i].name, scenarios[i].simulatedSeconds, vSeconds[i][0],
            vSame[i] ? "" : " (OUTPUT DIFFERED)", scenarios[i].simulatedSeconds / vSeconds[i][0]);
    return 0;
}
