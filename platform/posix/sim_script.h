// The script language of the simulated serial line: a pure parser from text
// to a list of timed actions, and the built-in demonstration script. No I/O
// here, so that the parser can be tested and fuzzed on its own.
#ifndef CABLETEST_PLATFORM_POSIX_SIM_SCRIPT_H
#define CABLETEST_PLATFORM_POSIX_SIM_SCRIPT_H

#include <cstdint>
#include <string>
#include <vector>

namespace posixlayer {

enum class SimActionKind { Cable, Cts, Ring, Rlsd, Bytes, Error, Unplug, Replug, Repeat, End };
enum class SimLineError { Frame, Overrun, Parity, Break };

// Bounds of the numbers a script may hold. A time is a 32-bit tick count at
// most; a burst is bounded so that a typing slip cannot schedule a flood that
// outlives the machine, and a gap of 0 would put a whole burst into one
// instant, which no serial line can do.
constexpr uint64_t kSimMaxTimeMs = 4294967295u;
constexpr uint32_t kSimMaxByteCount = 100000000u;
constexpr uint32_t kSimMaxGapMs = 60000u;

struct SimAction {
    uint64_t atMs = 0;  // ms after the start of the script's round
    SimActionKind kind = SimActionKind::Cable;
    int line = 0;                              // where it stands in the script, for messages
    bool on = false;                           // Cable, Cts, Ring, Rlsd
    uint32_t count = 0;                        // Bytes
    uint32_t gapMs = 1;                        // Bytes
    uint8_t value = 0;                         // Bytes
    SimLineError error = SimLineError::Frame;  // Error
};

// Parses a whole script. On success fills *actions (in time order, which is
// file order) and returns true; otherwise returns false with *error set to
// "line N: <what is wrong>".
bool ParseSimScript(const std::string& text, std::vector<SimAction>* actions, std::string* error);

// The script played when none is named: it loops for ever and shows every
// kind of report within about ten seconds.
const char* SimDemoScript();

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_SIM_SCRIPT_H
