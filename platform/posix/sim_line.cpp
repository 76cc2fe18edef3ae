// The simulated line played against the clock: scripted actions and byte
// arrivals in time order, and the DTR/RTS log.
//
// The line is driven lazily: nothing runs by itself. Every operation on the
// port, and the clock through the port's DueSource, first brings the line up
// to the current time. At one instant, bytes of bursts already under way
// arrive before the actions scripted for that instant, which apply in file
// order; a burst's first byte arrives as its action applies. Arrivals into a
// full receive queue are counted, not stepped through.
#include "platform/posix/sim_line.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace posixlayer {
namespace {

// A driver has a largest receive queue of its own, whatever SetupComm asks;
// this one keeps a flood from growing the process without bound.
constexpr size_t kMaxQueueBytes = 1 << 20;

// Time of the next scripted action, or kNever. A pulled-out line plays on
// too: a replug or an end may come, and the input lines are as the script
// has set them when the device is back.
uint64_t NextActionTime(const SimLine& line) {
    if (line.nextAction >= line.script.size()) {
        return kNever;
    }
    return line.roundMs + line.script[line.nextAction].atMs;
}

// The stream whose next byte is due first (the earliest started on a tie),
// or -1 when none is under way.
int EarliestStream(const SimLine& line) {
    int best = -1;
    for (size_t i = 0; i < line.streams.size(); ++i) {
        if (best < 0 || line.streams[i].Next() < line.streams[best].Next()) {
            best = static_cast<int>(i);
        }
    }
    return best;
}

void DropFinishedStreams(SimLine* line) {
    std::vector<Stream> live;
    for (const Stream& s : line->streams) {
        if (s.delivered < s.count) {
            live.push_back(s);
        }
    }
    line->streams.swap(live);
}

void LogLine(SimLine* line, const char* name, bool on) {
    if (line->logFd < 0) {
        return;
    }
    char text[64];
    int n = std::snprintf(text, sizeof text, "%llu %s %s\n",
                          static_cast<unsigned long long>(NowMs() - line->openMs), name,
                          on ? "on" : "off");
    // One write per line, so that a reader of the log never sees half of
    // one; a log that cannot be written must not disturb the line itself.
    while (write(line->logFd, text, static_cast<size_t>(n)) < 0 && errno == EINTR) {
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

size_t QueueCapacity(const Port* port) {
    return port != nullptr && port->inQueueSize < kMaxQueueBytes ? port->inQueueSize
                                                                 : kMaxQueueBytes;
}

void DeliverByte(Port* port, SimLine* line, Stream* stream) {
    ++stream->delivered;
    if (port == nullptr) {
        return;  // with no port open, nobody receives it, as on a real line
    }
    if (line->queue.size() < QueueCapacity(port)) {
        line->queue.push_back(stream->value);
        if ((port->eventMask & EV_RXCHAR) != 0) {
            port->CompleteCommWait(EV_RXCHAR, ERROR_SUCCESS);
        }
    } else {
        line->pendingErrors |= CE_RXOVER;
    }
}

// With the receive queue full, every arrival up to `until` is lost: count
// them instead of stepping through them one by one.
void DropArrivalsUntil(SimLine* line, uint64_t until) {
    for (Stream& s : line->streams) {
        if (s.Next() > until) {
            continue;
        }
        uint64_t due = (until - s.start) / s.gapMs + 1;
        if (due > s.count) {
            due = s.count;
        }
        s.delivered = static_cast<uint32_t>(due);
        line->pendingErrors |= CE_RXOVER;
    }
    DropFinishedStreams(line);
}

[[noreturn]] void EndProgram() {
    // Other threads are blocked inside the provider, holding nothing a
    // normal exit could wait for safely; leave at once, as the console
    // interrupt would, but with the output written out.
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
}

// The device is pulled out: what was under way on it goes, and the port
// open on it is gone for good, as a removed device's handle is.
void Unplug(Port* port, SimLine* line) {
    line->unplugged = true;
    line->streams.clear();
    line->queue.clear();
    if (port != nullptr) {
        port->MarkGone(ERROR_GEN_FAILURE);
    }
}

// Applies one scripted action due at provider time `at`. While the device
// is away, bytes and line errors reach nobody.
void ApplyAction(Port* port, SimLine* line, const SimAction& action, uint64_t at) {
    switch (action.kind) {
        case SimActionKind::Cable:
            line->cable = action.on;
            break;
        case SimActionKind::Cts:
            line->cts = action.on;
            break;
        case SimActionKind::Ring:
            line->ring = action.on;
            break;
        case SimActionKind::Rlsd:
            line->rlsd = action.on;
            break;
        case SimActionKind::Bytes:
            if (!line->unplugged) {
                line->streams.push_back(Stream{at, action.gapMs, action.count, 0, action.value});
            }
            break;
        case SimActionKind::Error:
            if (!line->unplugged) {
                line->pendingErrors |= ErrorBit(action.error);
            }
            break;
        case SimActionKind::Unplug:
            Unplug(port, line);
            break;
        case SimActionKind::Replug:
            line->unplugged = false;
            break;
        case SimActionKind::Repeat:
            line->roundMs = at;
            line->nextAction = 0;
            return;
        case SimActionKind::End:
            EndProgram();
    }
    ++line->nextAction;
}

// The next byte of the earliest stream arrives (or, with the queue full,
// every arrival up to the next action or `now` is counted as lost).
void ArriveNext(Port* port, SimLine* line, int streamIndex, uint64_t actionAt, uint64_t now) {
    if (line->queue.size() >= QueueCapacity(port)) {
        DropArrivalsUntil(line, actionAt < now ? actionAt : now);
        return;
    }
    Stream* stream = &line->streams[streamIndex];
    DeliverByte(port, line, stream);
    if (stream->delivered == stream->count) {
        DropFinishedStreams(line);
    }
}

}  // namespace

uint64_t LineNextDue(const Port* port, const SimLine& line) {
    uint64_t due = NextActionTime(line);
    // Arrivals into a full queue change nothing anyone can see until the
    // queue is read, and every read catches the line up first.
    if (line.queue.size() < QueueCapacity(port)) {
        int i = EarliestStream(line);
        if (i >= 0 && line.streams[i].Next() < due) {
            due = line.streams[i].Next();
        }
    }
    return due;
}

void AdvanceLine(Port* port, SimLine* line, uint64_t now) {
    for (;;) {
        const uint64_t actionAt = NextActionTime(*line);
        const int streamIndex = EarliestStream(*line);
        const uint64_t byteAt = streamIndex < 0 ? kNever : line->streams[streamIndex].Next();
        if (byteAt <= actionAt && byteAt <= now) {
            ArriveNext(port, line, streamIndex, actionAt, now);
            continue;
        }
        if (actionAt > now) {
            return;
        }
        ApplyAction(port, line, line->script[line->nextAction], actionAt);
        if (port != nullptr && port->gone) {
            port = nullptr;  // pulled out: nothing more reaches it
        }
    }
}

void SetDtr(SimLine* line, bool on) {
    if (line->dtr != on) {
        line->dtr = on;
        LogLine(line, "DTR", on);
    }
}

void SetRts(SimLine* line, bool on) {
    if (line->rts != on) {
        line->rts = on;
        LogLine(line, "RTS", on);
    }
}

}  // namespace posixlayer
