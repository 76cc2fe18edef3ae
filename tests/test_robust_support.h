// Helpers shared by the robustness tests of the real binary: what a child costs (CPU time and
// memory, from the kernel's own accounts), a pty whose master the test may close early, and runs
// on the simulated line in virtual time.
#ifndef CABLETEST_TESTS_TEST_ROBUST_SUPPORT_H
#define CABLETEST_TESTS_TEST_ROBUST_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace robust {

using namespace cabletest_test;

const std::string kBanner = "Magnetic switch cable test program\n\nCtrl C to terminate\n";
const std::string kPrompt = "Please enter serial port number (1-9) ";
const std::string kPass = "-->Carriage Pass\n";
const std::string kNoConsole =
    "No console to read the port number from; give the port as the first argument\n";
const std::string kFailedRound =
    "(1)Clear failed, erc = 31\n(2)ClearCommError\n(2)Clear failed, erc = 31\n";

// Sanitizers' shadow memory and quarantine make resident-memory figures meaningless.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// What a running process has used so far: CPU seconds, resident KiB; NaN when unknown, so that
// no comparison of them passes.
inline double RunningCpu(pid_t pid) {
    clockid_t clock;
    timespec t{};
    const bool ok = clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &t) == 0;
    return ok ? t.tv_sec + t.tv_nsec / 1e9 : NAN;
}
inline double RunningRssKiB(pid_t pid) {
    long size = 0, resident = -1;
    std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> size >> resident;
    return resident > 0 ? resident * (sysconf(_SC_PAGESIZE) / 1024.0) : NAN;
}

// A pty pair linked as <dir>/<name>, whose master the test owns outright and may close, as a
// device pulled out would. Untouched() is true while the line keeps the settings it was made with.
struct LinePty {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string slave;
    termios initial{};
    LinePty(const std::string& dir, const std::string& name) {
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 && ptsname(master) &&
            tcgetattr(master, &initial) == 0 && !LinkDevice(dir, name, ptsname(master)).empty())
            slave = ptsname(master);
    }
    ~LinePty() { Close(); }
    LinePty(const LinePty&) = delete;
    LinePty& operator=(const LinePty&) = delete;
    bool ok() const { return !slave.empty(); }
    bool Untouched() const {
        termios now{};
        return tcgetattr(master, &now) == 0 && memcmp(&now, &initial, sizeof now) == 0;
    }
    bool Write(const std::string& b) const {
        return write(master, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    }
    void Close() { master = master >= 0 ? close(master), -1 : -1; }
};

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The simulated line's log as (ms, "DTR on" / "RTS off" ...) pairs.
inline std::vector<std::pair<long, std::string>> LogEntries(const std::string& log) {
    std::vector<std::pair<long, std::string>> entries;
    std::istringstream in(log);
    long ms = 0;
    std::string line, state;
    while (in >> ms >> line >> state)
        entries.push_back({ms, line + " " + state});
    return entries;
}

// A run with `dir` as the device folder, clear of the caller's settings. With a clock, the
// simulated line takes its script from <dir>/script and logs to <dir>/log.
inline RunOptions Options(const std::string& dir, std::vector<std::string> args,
                          const std::string& clock = "") {
    RunOptions o;
    o.args = std::move(args);
    o.env_unset = {"CABLETEST_CLOCK", "CABLETEST_TICK_START", "CABLETEST_SIM_SCRIPT",
                   "CABLETEST_SIM_LOG"};
    o.env_set = {{"CABLETEST_DEVICE_DIR", dir}};
    if (!clock.empty())
        o.env_set.insert(o.env_set.end(), {{"CABLETEST_SIM_SCRIPT", dir + "/script"},
                                           {"CABLETEST_SIM_LOG", dir + "/log"},
                                           {"CABLETEST_CLOCK", clock}});
    return o;
}

struct Outcome {
    ExitStatus status;
    std::string out, err, log;
    double cpu = 0;
    long maxRssKiB = 0;
};

// Runs `program` (the program itself when "") with `args` to its end in a fresh folder, the
// simulated line in virtual time following `script`.
inline Outcome RunScript(const std::string& script, const std::vector<std::string>& args,
                         const std::string& program = "") {
    TempDir dir;
    Outcome run;
    EXPECT_TRUE(dir.WriteFile("script", script));
    RunOptions options = Options(dir.path(), args, "virtual");
    options.program = program;
    Process process;
    EXPECT_TRUE(process.Start(options)) << process.error();
    // The account of all children reaped: each test runs in a process of its own, so the
    // difference across WaitExit is what this one child used.
    const auto seconds = [](const rusage& u) {
        return u.ru_utime.tv_sec + u.ru_stime.tv_sec +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    run.status = process.WaitExit(Millis(100000));
    getrusage(RUSAGE_CHILDREN, &after);
    run.cpu = seconds(after) - seconds(before);
    run.maxRssKiB = after.ru_maxrss;
    run.out = process.Output(Stream::kStdout);
    run.err = process.Output(Stream::kStderr);
    run.log = dir.ReadFile("log");
    return run;
}

}  // namespace robust

#endif  // CABLETEST_TESTS_TEST_ROBUST_SUPPORT_H
