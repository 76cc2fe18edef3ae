// The simulated line's state and how it moves in time, shared by sim.cpp (the
// port) and sim_line.cpp (the script played against the clock). Not for use
// outside them.
#ifndef CABLETEST_PLATFORM_POSIX_SIM_LINE_H
#define CABLETEST_PLATFORM_POSIX_SIM_LINE_H

#include <cstdint>
#include <deque>
#include <vector>

#include "platform/posix/port.h"
#include "platform/posix/sim_script.h"

namespace posixlayer {

// A burst under way, kept as a stream rather than as queued bytes, so that a
// flood of millions of bytes costs neither memory nor time.
struct Stream {
    uint64_t start;  // provider time of the first byte
    uint32_t gapMs;
    uint32_t count;
    uint32_t delivered;
    uint8_t value;
    uint64_t Next() const { return start + static_cast<uint64_t>(delivered) * gapMs; }
};

struct SimLine {
    std::vector<SimAction> script;
    uint64_t openMs = 0;    // provider time of the first open: the script's 0 and the log's
    uint64_t roundMs = 0;   // provider time at which the current round began
    size_t nextAction = 0;  // index into script within the current round
    std::vector<Stream> streams;
    std::deque<BYTE> queue;
    DWORD pendingErrors = 0;  // CE_ bits not yet collected by a status call
    bool cable = false;
    bool cts = false;
    bool ring = false;
    bool rlsd = false;
    bool dtr = false;
    bool rts = false;
    bool unplugged = false;  // from an "unplug" until a "replug"
    int logFd = -1;
};

// Lock held, for the line and the port open on it (null while none is):
// When the line next changes in a way anyone can see, kNever for never.
uint64_t LineNextDue(const Port* port, const SimLine& line);
// Brings the line up to `now`, completing the port's comm-event wait or
// marking the port gone as the script says, or ending the process at "end".
// Without a port the script plays on all the same, and bytes that arrive go
// nowhere.
void AdvanceLine(Port* port, SimLine* line, uint64_t now);
// DTR and RTS as the port drives them, each change written to the log.
void SetDtr(SimLine* line, bool on);
void SetRts(SimLine* line, bool on);

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_SIM_LINE_H
