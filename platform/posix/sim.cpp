// The simulated serial line `sim`: a cable and a carriage played from a
// script (CABLETEST_SIM_SCRIPT, or the built-in demonstration), behind the
// same port interface as a tty, with DTR and RTS logged to CABLETEST_SIM_LOG.
//
// The open line is the clock's DueSource: the clock asks it when its next
// action or byte is due and has it catch up, so that a wait on the line ends
// when the byte arrives, in real or virtual time. Every operation on the port
// catches the line up first as well (sim_line.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/posix/sim_line.h"

namespace posixlayer {
namespace {

// Beyond this a script file is surely not a script.
constexpr size_t kMaxScriptBytes = 1 << 20;

class SimPort final : public Port, public DueSource {
  public:
    explicit SimPort(std::unique_ptr<SimLine> line);
    ~SimPort() override { ReleaseOnClose(); }

    DWORD ApplyState(const DCB& dcb) override;
    DWORD Read(BYTE* buffer, DWORD size, DWORD* got) override;
    DWORD Status(DWORD* errors, DWORD* inQueue) override;
    DWORD Escape(DWORD function) override;
    DWORD ModemStatus(DWORD* status) override;

    uint64_t NextDue() const override;
    void Fire(uint64_t now) override;

  protected:
    void LookForCommEvent(Lock& lock, bool block) override;
    void ReleaseOnClose() override;

  private:
    SimLine* CatchUp(DWORD* error);

    std::unique_ptr<SimLine> line_;
};

SimPort* g_openLine = nullptr;  // the one open simulated line

void ScriptUnreadable(const char* path, int error) {
    std::fprintf(stderr, "sim script %s: cannot be read: %s\n", path, std::strerror(error));
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
        std::fprintf(stderr, "sim script %s: not a regular file of at most %zu bytes\n", path,
                     kMaxScriptBytes);
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
            std::fprintf(stderr, "sim script %s: larger than %zu bytes\n", path, kMaxScriptBytes);
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

bool LoadScript(std::vector<SimAction>* script, DWORD* error) {
    std::string text;
    std::string name;
    if (!ReadScript(&text, &name, error)) {
        return false;
    }
    std::string wrong;
    if (!ParseSimScript(text, script, &wrong)) {
        std::fprintf(stderr, "sim script %s: %s\n", name.c_str(), wrong.c_str());
        *error = ERROR_INVALID_DATA;
        return false;
    }
    return true;
}

// The DTR/RTS log, when one is asked for; -1 for none.
bool OpenLog(int* logFd, DWORD* error) {
    *logFd = -1;
    const char* logPath = std::getenv("CABLETEST_SIM_LOG");
    if (logPath == nullptr || *logPath == '\0') {
        return true;
    }
    *logFd = open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (*logFd < 0) {
        int saved = errno;
        std::fprintf(stderr, "sim log %s: cannot be opened: %s\n", logPath, std::strerror(saved));
        *error = Win32ErrorFromErrno(saved);
        return false;
    }
    return true;
}

// The simulated line starts with RTS low: nothing raised it.
SimPort::SimPort(std::unique_ptr<SimLine> line)
    : Port(RTS_CONTROL_DISABLE), line_(std::move(line)) {}

void SimPort::ReleaseOnClose() {
    if (line_ == nullptr) {
        return;
    }
    if (line_->logFd >= 0) {
        close(line_->logFd);
    }
    line_.reset();
    if (g_openLine == this) {
        g_openLine = nullptr;
        SetDueSource(nullptr);
    }
}

// Every operation first catches the line up with the clock: in real time
// nothing else applies the script between two waits.
SimLine* SimPort::CatchUp(DWORD* error) {
    if (line_ == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (AdvanceLine(*this, line_.get(), NowMs())) {
        WakeAll();
    }
    if (gone) {
        *error = goneError;
        return nullptr;
    }
    return line_.get();
}

uint64_t SimPort::NextDue() const {
    return line_ != nullptr ? LineNextDue(*this, *line_) : kNever;
}

void SimPort::Fire(uint64_t now) {
    if (line_ != nullptr && AdvanceLine(*this, line_.get(), now)) {
        WakeAll();
    }
}

// The clock completes the wait, as the byte arrives: all there is to do is
// wait for it.
void SimPort::LookForCommEvent(Lock& lock, bool block) {
    if (block) {
        Block(lock, kNever);
    }
}

DWORD SimPort::ApplyState(const DCB& record) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    if ((record.fDtrControl != DTR_CONTROL_DISABLE && record.fDtrControl != DTR_CONTROL_ENABLE) ||
        (record.fRtsControl != RTS_CONTROL_DISABLE && record.fRtsControl != RTS_CONTROL_ENABLE)) {
        return ERROR_NOT_SUPPORTED;
    }
    SetDtr(line, record.fDtrControl == DTR_CONTROL_ENABLE);
    SetRts(line, record.fRtsControl == RTS_CONTROL_ENABLE);
    return ERROR_SUCCESS;
}

DWORD SimPort::Read(BYTE* buffer, DWORD size, DWORD* got) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    DWORD n = 0;
    while (n < size && !line->queue.empty()) {
        buffer[n++] = line->queue.front();
        line->queue.pop_front();
    }
    *got = n;
    return ERROR_SUCCESS;
}

DWORD SimPort::Status(DWORD* errors, DWORD* inQueue) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    *errors = line->pendingErrors;
    line->pendingErrors = 0;
    *inQueue = static_cast<DWORD>(line->queue.size());
    return ERROR_SUCCESS;
}

DWORD SimPort::Escape(DWORD function) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    switch (function) {
        case SETRTS:
        case CLRRTS:
            SetRts(line, function == SETRTS);
            return ERROR_SUCCESS;
        case SETDTR:
        case CLRDTR:
            SetDtr(line, function == SETDTR);
            return ERROR_SUCCESS;
        default:
            return ERROR_NOT_SUPPORTED;
    }
}

DWORD SimPort::ModemStatus(DWORD* status) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    DWORD s = 0;
    if (line->cts) {
        s |= MS_CTS_ON;
    }
    if (line->cable && line->dtr) {
        s |= MS_DSR_ON;  // the cable loops DTR back to DSR
    }
    if (line->ring) {
        s |= MS_RING_ON;
    }
    if (line->rlsd) {
        s |= MS_RLSD_ON;
    }
    *status = s;
    return ERROR_SUCCESS;
}

}  // namespace

std::shared_ptr<Port> OpenSimPort(DWORD* error) {
    if (g_openLine != nullptr) {
        *error = ERROR_ACCESS_DENIED;  // share mode 0: one opener at a time
        return nullptr;
    }
    auto line = std::make_unique<SimLine>();
    if (!LoadScript(&line->script, error) || !OpenLog(&line->logFd, error)) {
        return nullptr;
    }
    line->openMs = NowMs();
    line->passMs = line->openMs;
    auto port = std::make_shared<SimPort>(std::move(line));
    g_openLine = port.get();
    SetDueSource(port.get());
    return port;
}

}  // namespace posixlayer
