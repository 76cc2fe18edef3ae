// The simulated line's files: the script it plays (CABLETEST_SIM_SCRIPT, or
// the built-in demonstration) and the DTR/RTS log (CABLETEST_SIM_LOG), each
// checked as it is opened, with one line on standard error for a refusal.
#include "platform/posix/sim_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/device_check.h"
#include "platform/posix/handles.h"

namespace posixlayer {
namespace {

// Beyond this a script file is surely not a script.
constexpr size_t kMaxScriptBytes = 1 << 20;

}  // namespace

void RefuseWith(const std::string& reason) {
    OpenRefusal refusal;
    refusal.verdict = DeviceVerdict::SimulatedLine;
    refusal.reason = reason;
    NoteOpenRefusal(refusal);
}

namespace {

void ScriptUnreadable(const char* path, int error) {
    RefuseWith(std::string("sim script ") + path + ": cannot be read: " + std::strerror(error));
}

// Opened under the provider's lock: a regular file only, since a pipe or a
// terminal could keep every thread of the program waiting.
bool OpenScript(const char* path, int* fdOut, DWORD* error) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int saved = errno;
        ScriptUnreadable(path, saved);
        *error = Win32ErrorFromErrno(saved);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > static_cast<off_t>(kMaxScriptBytes)) {
        close(fd);
        RefuseWith(std::string("sim script ") + path + ": not a regular file of at most " +
                   std::to_string(kMaxScriptBytes) + " bytes");
        *error = ERROR_INVALID_DATA;
        return false;
    }
    *fdOut = fd;
    return true;
}

bool ReadScriptFile(const char* path, int fd, std::string* text, DWORD* error) {
    text->clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            int saved = errno;
            ScriptUnreadable(path, saved);
            *error = Win32ErrorFromErrno(saved);
            return false;
        }
        if (n == 0) {
            return true;
        }
        text->append(buffer, static_cast<size_t>(n));
        if (text->size() > kMaxScriptBytes) {
            RefuseWith(std::string("sim script ") + path + ": larger than " +
                       std::to_string(kMaxScriptBytes) + " bytes");
            *error = ERROR_INVALID_DATA;
            return false;
        }
    }
}

bool ReadScript(std::string* text, std::string* name, DWORD* error) {
    const char* path = std::getenv("CABLETEST_SIM_SCRIPT");
    if (path == nullptr || *path == '\0') {
        *name = "the built-in script";
        *text = SimDemoScript();
        return true;
    }
    *name = path;
    int fd = -1;
    if (!OpenScript(path, &fd, error)) {
        return false;
    }
    const bool read = ReadScriptFile(path, fd, text, error);
    close(fd);
    return read;
}

void LogNotRegular(const char* path, DWORD* error) {
    RefuseWith(std::string("sim log ") + path + ": not a regular file");
    *error = ERROR_INVALID_DATA;
}

}  // namespace

bool LoadScript(std::vector<SimAction>* script, DWORD* error) {
    std::string text;
    std::string name;
    if (!ReadScript(&text, &name, error)) {
        return false;
    }
    std::string wrong;
    if (!ParseSimScript(text, script, &wrong)) {
        RefuseWith("sim script " + name + ": " + wrong);
        *error = ERROR_INVALID_DATA;
        return false;
    }
    return true;
}

// The DTR/RTS log, when one is asked for; -1 for none. Written under the
// provider's lock, so only a regular file will do: a FIFO or a terminal could
// keep every thread of the program waiting. Opened without waiting, so that a
// FIFO without a reader is refused at once (ENXIO) rather than waited on.
bool OpenLog(int* logFd, DWORD* error) {
    *logFd = -1;
    const char* logPath = std::getenv("CABLETEST_SIM_LOG");
    if (logPath == nullptr || *logPath == '\0') {
        return true;
    }
    const int fd =
        open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        const int saved = errno;
        if (saved == ENXIO) {
            LogNotRegular(logPath, error);
            return false;
        }
        RefuseWith(std::string("sim log ") + logPath +
                   ": cannot be opened: " + std::strerror(saved));
        *error = Win32ErrorFromErrno(saved);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        LogNotRegular(logPath, error);
        return false;
    }
    *logFd = fd;
    return true;
}

}  // namespace posixlayer
