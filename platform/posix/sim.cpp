// The simulated serial line `sim`: a cable and a carriage played from a
// script, behind the same comm operations as a tty.
//
// The line is driven lazily: nothing runs by itself. Every operation on the
// port, and the clock's scheduler through SimNextDue/SimFire, first brings the
// line up to the current time, applying scripted actions and byte arrivals in
// time order. At one instant, bytes of bursts already under way arrive before
// the actions scripted for that instant, which apply in file order; a burst's
// first byte arrives as its action applies.
//
// Bursts are kept as streams (start, gap, count, delivered) rather than as
// queued bytes, and arrivals into a full receive queue are counted, not
// stepped through, so that a flood of millions of bytes costs neither memory
// nor time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/posix/layer.h"
#include "platform/posix/sim_script.h"

namespace posixlayer {

namespace {

// Beyond this a script file is surely not a script.
constexpr size_t kMaxScriptBytes = 1 << 20;
// A driver has a largest receive queue of its own, whatever SetupComm asks;
// this one keeps a flood from growing the process without bound.
constexpr size_t kMaxQueueBytes = 1 << 20;

struct Stream {
    uint64_t start;  // layer time of the first byte
    uint32_t gapMs;
    uint32_t count;
    uint32_t delivered;
    uint8_t value;
    uint64_t Next() const { return start + static_cast<uint64_t>(delivered) * gapMs; }
};

}  // namespace

struct SimLine {
    std::vector<SimAction> script;
    uint64_t openMs = 0;    // layer time of the open: the script's 0
    uint64_t passMs = 0;    // layer time at which the current pass began
    size_t nextAction = 0;  // index into script within the current pass
    std::vector<Stream> streams;
    std::deque<BYTE> queue;
    DWORD pendingErrors = 0;  // CE_ bits not yet collected by SimStatus
    bool cable = false;
    bool cts = false;
    bool ring = false;
    bool rlsd = false;
    bool dtr = false;
    bool rts = false;
    bool unplugged = false;
    int logFd = -1;
};

namespace {

PortObject* g_simPort = nullptr;  // the one open simulated line

// Time of the next scripted action that can still run, or kNever.
uint64_t NextActionTime(const SimLine& sim) {
    if (sim.nextAction >= sim.script.size()) {
        return kNever;
    }
    if (sim.unplugged) {
        // A pulled-out line only ends the program, if the script says so;
        // "end" can only be the last action.
        const SimAction& last = sim.script.back();
        return last.kind == SimActionKind::End ? sim.passMs + last.atMs : kNever;
    }
    return sim.passMs + sim.script[sim.nextAction].atMs;
}

// The stream whose next byte is due first (the earliest started on a tie),
// or -1 when none is under way.
int EarliestStream(const SimLine& sim) {
    int best = -1;
    for (size_t i = 0; i < sim.streams.size(); ++i) {
        if (best < 0 || sim.streams[i].Next() < sim.streams[best].Next()) {
            best = static_cast<int>(i);
        }
    }
    return best;
}

void DropFinishedStreams(SimLine* sim) {
    std::vector<Stream> live;
    for (const Stream& s : sim->streams) {
        if (s.delivered < s.count) {
            live.push_back(s);
        }
    }
    sim->streams.swap(live);
}

void LogLine(SimLine* sim, const char* line, bool on) {
    if (sim->logFd < 0) {
        return;
    }
    char text[64];
    int n = std::snprintf(text, sizeof text, "%llu %s %s\n",
                          static_cast<unsigned long long>(NowMs() - sim->openMs), line,
                          on ? "on" : "off");
    // One write per line, so that a reader of the log never sees half of
    // one; a log that cannot be written must not disturb the line itself.
    while (write(sim->logFd, text, static_cast<size_t>(n)) < 0 && errno == EINTR) {
    }
}

void SetDtr(SimLine* sim, bool on) {
    if (sim->dtr != on) {
        sim->dtr = on;
        LogLine(sim, "DTR", on);
    }
}

void SetRts(SimLine* sim, bool on) {
    if (sim->rts != on) {
        sim->rts = on;
        LogLine(sim, "RTS", on);
    }
}

DWORD ErrorBit(SimLineError error) {
    switch (error) {
        case SimLineError::Frame:
            return CE_FRAME;
        case SimLineError::Overrun:
            return CE_OVERRUN;
        case SimLineError::Parity:
            return CE_RXPARITY;
        case SimLineError::Break:
            return CE_BREAK;
    }
    return CE_FRAME;
}

size_t QueueCapacity(const PortObject* port) {
    return port->inQueueSize < kMaxQueueBytes ? port->inQueueSize : kMaxQueueBytes;
}

void DeliverByte(PortObject* port, SimLine* sim, Stream* stream) {
    if (sim->queue.size() < QueueCapacity(port)) {
        sim->queue.push_back(stream->value);
        if ((port->eventMask & EV_RXCHAR) != 0) {
            CompleteCommWait(port, EV_RXCHAR, ERROR_SUCCESS);
        }
    } else {
        sim->pendingErrors |= CE_RXOVER;
    }
    ++stream->delivered;
}

// With the receive queue full, every arrival up to `until` is lost: count
// them instead of stepping through them one by one.
void DropArrivalsUntil(SimLine* sim, uint64_t until) {
    for (Stream& s : sim->streams) {
        if (s.Next() > until) {
            continue;
        }
        uint64_t due = (until - s.start) / s.gapMs + 1;
        if (due > s.count) {
            due = s.count;
        }
        s.delivered = static_cast<uint32_t>(due);
        sim->pendingErrors |= CE_RXOVER;
    }
    DropFinishedStreams(sim);
}

// Applies one scripted action due at layer time `at`.
void ApplyAction(PortObject* port, SimLine* sim, const SimAction& action, uint64_t at) {
    switch (action.kind) {
        case SimActionKind::Cable:
            sim->cable = action.on;
            break;
        case SimActionKind::Cts:
            sim->cts = action.on;
            break;
        case SimActionKind::Ring:
            sim->ring = action.on;
            break;
        case SimActionKind::Rlsd:
            sim->rlsd = action.on;
            break;
        case SimActionKind::Bytes:
            sim->streams.push_back(Stream{at, action.gapMs, action.count, 0, action.value});
            break;
        case SimActionKind::Error:
            sim->pendingErrors |= ErrorBit(action.error);
            break;
        case SimActionKind::Unplug:
            sim->unplugged = true;
            sim->streams.clear();
            sim->queue.clear();
            MarkGone(port, ERROR_GEN_FAILURE);
            break;
        case SimActionKind::Repeat:
            sim->passMs = at;
            sim->nextAction = 0;
            return;
        case SimActionKind::End:
            // Other threads are blocked inside the layer, holding nothing a
            // normal exit could wait for safely; leave at once, as the
            // console interrupt would, but with the output written out.
            std::fflush(stdout);
            std::fflush(stderr);
            _exit(0);
    }
    ++sim->nextAction;
}

// Brings the line up to `now`. Returns true when anything changed that a
// blocked thread might be waiting for.
bool Advance(PortObject* port, SimLine* sim, uint64_t now) {
    bool changed = false;
    for (;;) {
        uint64_t actionAt = NextActionTime(*sim);
        int streamIndex = EarliestStream(*sim);
        uint64_t byteAt = streamIndex < 0 ? kNever : sim->streams[streamIndex].Next();
        if (byteAt <= actionAt && byteAt <= now) {
            changed = true;
            if (sim->queue.size() >= QueueCapacity(port)) {
                DropArrivalsUntil(sim, actionAt < now ? actionAt : now);
                continue;
            }
            Stream* stream = &sim->streams[streamIndex];
            DeliverByte(port, sim, stream);
            if (stream->delivered == stream->count) {
                DropFinishedStreams(sim);
            }
            continue;
        }
        if (actionAt > now) {
            break;
        }
        changed = true;
        if (sim->unplugged) {
            sim->nextAction = sim->script.size() - 1;  // only "end" is left to run
        }
        ApplyAction(port, sim, sim->script[sim->nextAction], actionAt);
    }
    return changed;
}

// Every operation first catches the line up with the clock: in real time
// nothing else applies the script between two waits.
SimLine* CatchUp(PortObject* port, DWORD* error) {
    SimLine* sim = port->sim;
    if (sim == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (Advance(port, sim, NowMs())) {
        WakeAll();
    }
    if (port->gone) {
        *error = port->goneError;
        return nullptr;
    }
    return sim;
}

bool ReadScript(std::string* text, std::string* name, DWORD* error) {
    const char* path = std::getenv("CABLETEST_SIM_SCRIPT");
    if (path == nullptr || *path == '\0') {
        *name = "the built-in script";
        *text = SimDemoScript();
        return true;
    }
    *name = path;
    // Read under the layer's lock: a regular file only, since a pipe or a
    // terminal could keep every thread of the program waiting.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int saved = errno;
        std::fprintf(stderr, "sim script %s: cannot be read: %s\n", path, std::strerror(saved));
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
    text->clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            int saved = errno;
            close(fd);
            std::fprintf(stderr, "sim script %s: cannot be read: %s\n", path, std::strerror(saved));
            *error = Win32ErrorFromErrno(saved);
            return false;
        }
        if (n == 0) {
            break;
        }
        text->append(buffer, static_cast<size_t>(n));
        if (text->size() > kMaxScriptBytes) {
            close(fd);
            std::fprintf(stderr, "sim script %s: larger than %zu bytes\n", path, kMaxScriptBytes);
            *error = ERROR_INVALID_DATA;
            return false;
        }
    }
    close(fd);
    return true;
}

}  // namespace

bool SimOpen(PortObject* port, DWORD* error) {
    if (g_simPort != nullptr) {
        *error = ERROR_ACCESS_DENIED;  // share mode 0: one opener at a time
        return false;
    }
    std::string text;
    std::string name;
    if (!ReadScript(&text, &name, error)) {
        return false;
    }
    std::vector<SimAction> script;
    std::string wrong;
    if (!ParseSimScript(text, &script, &wrong)) {
        std::fprintf(stderr, "sim script %s: %s\n", name.c_str(), wrong.c_str());
        *error = ERROR_INVALID_DATA;
        return false;
    }
    int logFd = -1;
    const char* logPath = std::getenv("CABLETEST_SIM_LOG");
    if (logPath != nullptr && *logPath != '\0') {
        logFd = open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (logFd < 0) {
            int saved = errno;
            std::fprintf(stderr, "sim log %s: cannot be opened: %s\n", logPath,
                         std::strerror(saved));
            *error = Win32ErrorFromErrno(saved);
            return false;
        }
    }
    SimLine* sim = new SimLine;
    sim->script = std::move(script);
    sim->openMs = NowMs();
    sim->passMs = sim->openMs;
    sim->logFd = logFd;
    port->sim = sim;
    port->isSim = true;
    g_simPort = port;
    return true;
}

void SimClose(PortObject* port) {
    SimLine* sim = port->sim;
    if (sim == nullptr) {
        return;
    }
    if (sim->logFd >= 0) {
        close(sim->logFd);
    }
    delete sim;
    port->sim = nullptr;
    if (g_simPort == port) {
        g_simPort = nullptr;
    }
}

bool SimApplyState(PortObject* port, const DCB& dcb, DWORD* error) {
    SimLine* sim = CatchUp(port, error);
    if (sim == nullptr) {
        return false;
    }
    if ((dcb.fDtrControl != DTR_CONTROL_DISABLE && dcb.fDtrControl != DTR_CONTROL_ENABLE) ||
        (dcb.fRtsControl != RTS_CONTROL_DISABLE && dcb.fRtsControl != RTS_CONTROL_ENABLE)) {
        *error = ERROR_NOT_SUPPORTED;
        return false;
    }
    SetDtr(sim, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    SetRts(sim, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    return true;
}

bool SimRead(PortObject* port, BYTE* buffer, DWORD size, DWORD* got, DWORD* error) {
    SimLine* sim = CatchUp(port, error);
    if (sim == nullptr) {
        return false;
    }
    DWORD n = 0;
    while (n < size && !sim->queue.empty()) {
        buffer[n++] = sim->queue.front();
        sim->queue.pop_front();
    }
    *got = n;
    return true;
}

bool SimStatus(PortObject* port, DWORD* errors, DWORD* inQueue, DWORD* error) {
    SimLine* sim = CatchUp(port, error);
    if (sim == nullptr) {
        return false;
    }
    *errors = sim->pendingErrors;
    sim->pendingErrors = 0;
    *inQueue = static_cast<DWORD>(sim->queue.size());
    return true;
}

bool SimEscape(PortObject* port, DWORD function, DWORD* error) {
    SimLine* sim = CatchUp(port, error);
    if (sim == nullptr) {
        return false;
    }
    switch (function) {
        case SETRTS:
            SetRts(sim, true);
            return true;
        case CLRRTS:
            SetRts(sim, false);
            return true;
        case SETDTR:
            SetDtr(sim, true);
            return true;
        case CLRDTR:
            SetDtr(sim, false);
            return true;
        default:
            *error = ERROR_NOT_SUPPORTED;
            return false;
    }
}

bool SimModemStatus(PortObject* port, DWORD* status, DWORD* error) {
    SimLine* sim = CatchUp(port, error);
    if (sim == nullptr) {
        return false;
    }
    DWORD s = 0;
    if (sim->cts) {
        s |= MS_CTS_ON;
    }
    if (sim->cable && sim->dtr) {
        s |= MS_DSR_ON;  // the cable loops DTR back to DSR
    }
    if (sim->ring) {
        s |= MS_RING_ON;
    }
    if (sim->rlsd) {
        s |= MS_RLSD_ON;
    }
    *status = s;
    return true;
}

uint64_t SimNextDue() {
    if (g_simPort == nullptr || g_simPort->sim == nullptr) {
        return kNever;
    }
    const SimLine& sim = *g_simPort->sim;
    uint64_t due = NextActionTime(sim);
    // Arrivals into a full queue change nothing anyone can see until the
    // queue is read, and every read catches the line up first.
    if (sim.queue.size() < QueueCapacity(g_simPort)) {
        int i = EarliestStream(sim);
        if (i >= 0 && sim.streams[i].Next() < due) {
            due = sim.streams[i].Next();
        }
    }
    return due;
}

void SimFire(uint64_t now) {
    if (g_simPort == nullptr || g_simPort->sim == nullptr) {
        return;
    }
    if (Advance(g_simPort, g_simPort->sim, now)) {
        WakeAll();
    }
}

}  // namespace posixlayer
