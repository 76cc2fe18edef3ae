// Fuzz target for the simulated line's script parser. The input is a script.
// Properties checked:
// - an accepted script has times that never go backwards and stay within the
//   32-bit tick range, counts and gaps within their bounds, line numbers
//   rising and inside the text, and "repeat" or "end" only as its last action;
// - what was accepted, written out again in a plain form (and once more with
//   comments, blank lines, tabs and CR LF line ends), parses to the same actions;
// - parsing depends only on the lines so far: a script cut after any line is
//   accepted with the first actions, and a refused script is refused at the
//   same line with the same message when everything after that line is cut off;
// - a refusal is one printable line, "line N: ...", with N a line of the text,
//   bounded in length, and leaves the caller's action list alone.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/posix/sim_script.h"

using posixlayer::SimAction;
using posixlayer::SimActionKind;
using posixlayer::SimLineError;

namespace {

const char* KindWord(SimActionKind kind) {
    switch (kind) {
        case SimActionKind::Cable:
            return "cable";
        case SimActionKind::Cts:
            return "cts";
        case SimActionKind::Ring:
            return "ring";
        case SimActionKind::Rlsd:
            return "rlsd";
        case SimActionKind::Bytes:
            return "bytes";
        case SimActionKind::Error:
            return "error";
        case SimActionKind::Unplug:
            return "unplug";
        case SimActionKind::Replug:
            return "replug";
        case SimActionKind::Repeat:
            return "repeat";
        case SimActionKind::End:
            return "end";
    }
    FUZZ_CHECK(false, "action kind is one of the ten");
    return "";
}

const char* ErrorWord(SimLineError error) {
    switch (error) {
        case SimLineError::Frame:
            return "frame";
        case SimLineError::Overrun:
            return "overrun";
        case SimLineError::Parity:
            return "parity";
        case SimLineError::Break:
            return "break";
    }
    FUZZ_CHECK(false, "line error is one of the four");
    return "";
}

bool HasOnOff(SimActionKind k) {
    return k == SimActionKind::Cable || k == SimActionKind::Cts || k == SimActionKind::Ring ||
           k == SimActionKind::Rlsd;
}

// One action as a script line; `noisy` adds the decorations the language allows.
std::string Line(const SimAction& a, bool noisy) {
    static const char kHex[] = "0123456789abcdef";
    const char* sep = noisy ? " \t " : " ";
    std::string s = (noisy ? "\t" : "") + std::to_string(a.atMs) + sep + KindWord(a.kind);
    if (HasOnOff(a.kind)) {
        s += sep;
        s += a.on ? "on" : "off";
    } else if (a.kind == SimActionKind::Bytes) {
        s += sep + std::to_string(a.count) + sep + std::to_string(a.gapMs) + sep;
        if (noisy)
            s += "0X";
        s += kHex[a.value >> 4];
        s += kHex[a.value & 15];
    } else if (a.kind == SimActionKind::Error) {
        s += sep;
        s += ErrorWord(a.error);
    }
    return s;
}

bool SameAction(const SimAction& a, const SimAction& b) {
    if (a.atMs != b.atMs || a.kind != b.kind)
        return false;
    if (HasOnOff(a.kind))
        return a.on == b.on;
    if (a.kind == SimActionKind::Bytes)
        return a.count == b.count && a.gapMs == b.gapMs && a.value == b.value;
    if (a.kind == SimActionKind::Error)
        return a.error == b.error;
    return true;
}

size_t CountLines(const std::string& text) {
    size_t n = 1;
    for (char c : text)
        n += c == '\n';
    return n;
}

// The text up to and including the `lines`-th line break (all of it when
// there are fewer).
std::string FirstLines(const std::string& text, size_t lines) {
    size_t pos = 0;
    for (size_t i = 0; i < lines; ++i) {
        pos = text.find('\n', pos);
        if (pos == std::string::npos)
            return text;
        ++pos;
    }
    return text.substr(0, pos);
}

void CheckAccepted(const std::string& text, const std::vector<SimAction>& actions) {
    const size_t lines = CountLines(text);
    uint64_t previousTime = 0;
    int previousLine = 0;
    for (size_t i = 0; i < actions.size(); ++i) {
        const SimAction& a = actions[i];
        FUZZ_CHECK(a.atMs >= previousTime, "times never go backwards");
        FUZZ_CHECK(a.atMs <= posixlayer::kSimMaxTimeMs, "a time fits the tick counter");
        FUZZ_CHECK(a.line > previousLine && static_cast<size_t>(a.line) <= lines,
                   "line numbers rise and lie inside the text");
        if (a.kind == SimActionKind::Bytes) {
            FUZZ_CHECK(a.count >= 1 && a.count <= posixlayer::kSimMaxByteCount,
                       "a byte count is within its bounds");
            FUZZ_CHECK(a.gapMs >= 1 && a.gapMs <= posixlayer::kSimMaxGapMs,
                       "a gap is within its bounds");
        }
        if (a.kind == SimActionKind::Repeat || a.kind == SimActionKind::End) {
            FUZZ_CHECK(i + 1 == actions.size(), "repeat and end close the script");
        }
        if (a.kind == SimActionKind::Repeat) {
            FUZZ_CHECK(a.atMs > 0, "repeat takes time");
        }
        previousTime = a.atMs;
        previousLine = a.line;
    }
}

void CheckRefused(const std::string& text, const std::string& error, size_t* lineNumber) {
    FUZZ_CHECK(error.compare(0, 5, "line ") == 0, "a refusal names the line");
    size_t i = 5;
    size_t n = 0;
    while (i < error.size() && error[i] >= '0' && error[i] <= '9' && n < 1000000000) {
        n = n * 10 + static_cast<size_t>(error[i] - '0');
        ++i;
    }
    FUZZ_CHECK(i > 5 && error.compare(i, 2, ": ") == 0, "the line number, then ': '");
    FUZZ_CHECK(n >= 1 && n <= CountLines(text), "the named line is in the text");
    FUZZ_CHECK(error.size() > i + 2 && error.size() <= 240, "a refusal is short but says why");
    for (unsigned char c : error) {
        FUZZ_CHECK(c >= 0x20 && c < 0x7f, "a refusal is one printable line");
    }
    *lineNumber = n;
}

bool Parse(const std::string& text, std::vector<SimAction>* actions, std::string* error) {
    SimAction sentinel;
    sentinel.atMs = 12345;
    sentinel.kind = SimActionKind::Unplug;
    std::vector<SimAction> out{sentinel};
    std::string why = "untouched";
    bool ok = posixlayer::ParseSimScript(text, &out, &why);
    if (ok) {
        FUZZ_CHECK(why == "untouched", "success leaves the error text alone");
    } else {
        FUZZ_CHECK(out.size() == 1 && out[0].atMs == 12345, "a refusal leaves the actions alone");
        out.clear();
    }
    *actions = out;
    *error = why;
    return ok;
}

}  // namespace

extern "C" int CABLETEST_FUZZ_ENTRY(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<SimAction> actions;
    std::string error;
    const bool ok = Parse(text, &actions, &error);

    // Where to cut the script for the prefix property: a line picked by the input.
    const size_t lines = CountLines(text);
    const size_t cut = size == 0 ? 0 : data[size / 2] % (lines + 1);

    if (ok) {
        CheckAccepted(text, actions);

        for (bool noisy : {false, true}) {
            std::string again;
            for (size_t i = 0; i < actions.size(); ++i) {
                if (noisy)
                    again += "# written out again\r\n\r\n";
                again += Line(actions[i], noisy);
                if (noisy && i % 2)
                    again += "   # 1 cable on";
                again += noisy ? "\r\n" : "\n";
            }
            std::vector<SimAction> reparsed;
            std::string why;
            FUZZ_CHECK(Parse(again, &reparsed, &why), "an accepted script written out is accepted");
            FUZZ_CHECK(reparsed.size() == actions.size(), "written out: as many actions");
            for (size_t i = 0; i < actions.size(); ++i) {
                FUZZ_CHECK(SameAction(actions[i], reparsed[i]), "written out: the same actions");
            }
        }

        std::vector<SimAction> head;
        std::string why;
        const std::string prefix = FirstLines(text, cut);
        FUZZ_CHECK(Parse(prefix, &head, &why),
                   "the first lines of an accepted script are accepted");
        FUZZ_CHECK(head.size() <= actions.size(), "the first lines give no extra action");
        for (size_t i = 0; i < head.size(); ++i) {
            FUZZ_CHECK(SameAction(head[i], actions[i]) && head[i].line == actions[i].line,
                       "the first lines give the first actions");
        }
    } else {
        size_t bad = 0;
        CheckRefused(text, error, &bad);

        std::vector<SimAction> head;
        std::string why;
        FUZZ_CHECK(Parse(FirstLines(text, bad - 1), &head, &why),
                   "the lines before a refused one are accepted");
        FUZZ_CHECK(!Parse(FirstLines(text, bad), &head, &why) && why == error,
                   "cut after the refused line: the same refusal");
    }
    return 0;
}
