// Helpers shared by the robustness tests of the real binary: what a child
// process costs (CPU time and memory, from the kernel's own accounts), a pty
// whose master the test can close at a moment of its choosing, and the
// environment of a run on the simulated line.
#ifndef CABLETEST_TESTS_TEST_ROBUST_SUPPORT_H
#define CABLETEST_TESTS_TEST_ROBUST_SUPPORT_H

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace robust {

const std::string kBanner = "Magnetic switch cable test program\n\nCtrl C to terminate\n";
const std::string kPrompt = "Please enter serial port number (1-9) ";
const std::string kInvalid = " invalid port\n";
const std::string kNoConsole =
    "No console to read the port number from; give the port as the first argument\n";
const std::string kPass = "-->Carriage Pass\n";

// What a run without a console prints after a failed open: the prompt, whose
// three failed key reads end the program with exit code 1.
inline std::string AfterFailedOpen() {
    return kPrompt + kInvalid + kPrompt + kInvalid + kPrompt + kInvalid + kNoConsole;
}

// CPU seconds (user and system) of all children reaped so far. Each test
// runs in a process of its own, so the difference across one WaitExit is what
// that one child used: the same account wait4() gives.
inline double ReapedChildrenCpu() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The largest resident set of any child reaped so far, in KiB.
inline long ReapedChildrenMaxRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

// CPU seconds used so far by a running process; -1 when it cannot be read.
inline double RunningCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');  // the command name may hold blanks
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

// A line of /proc/<pid>/status in KiB (VmRSS, VmHWM); -1 when missing.
inline long StatusKiB(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            return std::stol(line.substr(key.size() + 1));
        }
    }
    return -1;
}

// A pty pair whose master end the test owns outright and may close early,
// as a device pulled out would close the line.
class LinePty {
  public:
    LinePty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            const char* name = ptsname(master_);
            if (name != nullptr)
                slave_ = name;
        }
    }
    ~LinePty() { CloseMaster(); }
    LinePty(const LinePty&) = delete;
    LinePty& operator=(const LinePty&) = delete;

    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    int master() const { return master_; }
    const std::string& slave() const { return slave_; }
    bool Write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    void CloseMaster() {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    std::string slave_;
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

// True in a build with a sanitizer, whose shadow memory and quarantine make
// resident-memory figures meaningless.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The environment of a run on the simulated line in virtual time.
inline std::vector<std::pair<std::string, std::string>> SimEnv(const cabletest_test::TempDir& dir,
                                                               bool virtualClock = true) {
    std::vector<std::pair<std::string, std::string>> env = {
        {"CABLETEST_SIM_SCRIPT", dir.File("script")},
        {"CABLETEST_SIM_LOG", dir.File("log")},
        {"CABLETEST_DEVICE_DIR", dir.path()}};
    if (virtualClock)
        env.push_back({"CABLETEST_CLOCK", "virtual"});
    return env;
}

}  // namespace robust

#endif  // CABLETEST_TESTS_TEST_ROBUST_SUPPORT_H
