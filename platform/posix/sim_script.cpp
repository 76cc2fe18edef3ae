// Parser of the simulated line's script, and the built-in demonstration.
//
// One action a line: "<ms> <action> [fields]". '#' starts a comment, blank
// lines are allowed, times are ms since the port was opened and never go
// backwards. "repeat" and "end" close the script: an action after them could
// never run, so it is refused rather than silently ignored.
#include "platform/posix/sim_script.h"

#include <cstddef>

namespace posixlayer {

namespace {

// A token as it may be shown in a message: bounded in length and with
// anything unprintable escaped, since the text may be arbitrary bytes.
std::string Quote(const std::string& token) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    size_t shown = 0;
    for (unsigned char c : token) {
        if (shown == 24) {
            out += "...";
            break;
        }
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        ++shown;
    }
    out += "\"";
    return out;
}

// Decimal digits only, no sign, no junk; false when out of [0, max].
bool ParseDecimal(const std::string& token, uint64_t max, uint64_t* value) {
    if (token.empty() || token.size() > 20) {
        return false;
    }
    uint64_t v = 0;
    for (char c : token) {
        if (c < '0' || c > '9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (max - digit) / 10) {
            return false;
        }
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

// One or two hex digits, with an optional 0x.
bool ParseHexByte(const std::string& token, uint8_t* value) {
    std::string digits = token;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2) {
        return false;
    }
    unsigned v = 0;
    for (char c : digits) {
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        v = v * 16 + d;
    }
    *value = static_cast<uint8_t>(v);
    return true;
}

std::vector<std::string> Tokens(const std::string& line) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            tokens.push_back(line.substr(start, i - start));
        }
    }
    return tokens;
}

// "unexpected <token> after <word>", for fields beyond the `allowed` ones.
std::string Extra(const std::vector<std::string>& t, size_t allowed) {
    return "unexpected " + Quote(t[2 + allowed]) + " after " + t[1];
}

// cable, cts, ring, rlsd: on or off.
std::string ParseLineState(const std::vector<std::string>& t, SimAction* action) {
    const std::string& word = t[1];
    action->kind = word == "cable"  ? SimActionKind::Cable
                   : word == "cts"  ? SimActionKind::Cts
                   : word == "ring" ? SimActionKind::Ring
                                    : SimActionKind::Rlsd;
    const size_t fields = t.size() - 2;
    if (fields == 0) {
        return word + " needs on or off";
    }
    if (t[2] != "on" && t[2] != "off") {
        return word + " needs on or off, not " + Quote(t[2]);
    }
    if (fields > 1) {
        return Extra(t, 1);
    }
    action->on = t[2] == "on";
    return "";
}

// bytes <count> [<gap ms> [<hex value>]]
std::string ParseBytes(const std::vector<std::string>& t, SimAction* action) {
    action->kind = SimActionKind::Bytes;
    const size_t fields = t.size() - 2;
    uint64_t v = 0;
    if (fields == 0) {
        return "bytes needs a count";
    }
    if (!ParseDecimal(t[2], kSimMaxByteCount, &v) || v == 0) {
        return "byte count must be 1 to " + std::to_string(kSimMaxByteCount) + ", not " +
               Quote(t[2]);
    }
    action->count = static_cast<uint32_t>(v);
    if (fields >= 2) {
        if (!ParseDecimal(t[3], kSimMaxGapMs, &v) || v == 0) {
            return "gap must be 1 to " + std::to_string(kSimMaxGapMs) + " ms, not " + Quote(t[3]);
        }
        action->gapMs = static_cast<uint32_t>(v);
    }
    if (fields >= 3 && !ParseHexByte(t[4], &action->value)) {
        return "byte value must be hex 00 to ff, not " + Quote(t[4]);
    }
    if (fields > 3) {
        return Extra(t, 3);
    }
    return "";
}

// error frame|overrun|parity|break
std::string ParseError(const std::vector<std::string>& t, SimAction* action) {
    action->kind = SimActionKind::Error;
    const size_t fields = t.size() - 2;
    if (fields == 0) {
        return "error needs frame, overrun, parity or break";
    }
    const std::string& what = t[2];
    if (what == "frame") {
        action->error = SimLineError::Frame;
    } else if (what == "overrun") {
        action->error = SimLineError::Overrun;
    } else if (what == "parity") {
        action->error = SimLineError::Parity;
    } else if (what == "break") {
        action->error = SimLineError::Break;
    } else {
        return "error needs frame, overrun, parity or break, not " + Quote(what);
    }
    if (fields > 1) {
        return Extra(t, 1);
    }
    return "";
}

// unplug, replug, repeat, end: no fields.
std::string ParseBare(const std::vector<std::string>& t, SimAction* action) {
    const std::string& word = t[1];
    action->kind = word == "unplug"   ? SimActionKind::Unplug
                   : word == "replug" ? SimActionKind::Replug
                   : word == "repeat" ? SimActionKind::Repeat
                                      : SimActionKind::End;
    if (t.size() > 2) {
        return Extra(t, 0);
    }
    if (action->kind == SimActionKind::Repeat && action->atMs == 0) {
        return "repeat at 0 ms would replay the script without time passing";
    }
    return "";
}

// Parses the fields after the time into *action; returns "" or what is wrong.
std::string ParseAction(const std::vector<std::string>& t, SimAction* action) {
    const std::string& word = t[1];
    if (word == "cable" || word == "cts" || word == "ring" || word == "rlsd") {
        return ParseLineState(t, action);
    }
    if (word == "bytes") {
        return ParseBytes(t, action);
    }
    if (word == "error") {
        return ParseError(t, action);
    }
    if (word == "unplug" || word == "replug" || word == "repeat" || word == "end") {
        return ParseBare(t, action);
    }
    return "unknown action " + Quote(word);
}

// The tokens of the next line of text from *pos on, comments and a
// carriage return dropped; moves *pos past the line.
std::vector<std::string> NextLineTokens(const std::string& text, size_t* pos) {
    size_t eol = text.find('\n', *pos);
    if (eol == std::string::npos) {
        eol = text.size();
    }
    std::string line = text.substr(*pos, eol - *pos);
    *pos = eol + 1;
    size_t hash = line.find('#');
    if (hash != std::string::npos) {
        line.erase(hash);
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return Tokens(line);
}

// One timed action, not before `previous`; returns "" or what is wrong.
std::string ParseTimedAction(const std::vector<std::string>& t, uint64_t previous,
                             SimAction* action) {
    if (!ParseDecimal(t[0], kSimMaxTimeMs, &action->atMs)) {
        return "expected a time of 0 to " + std::to_string(kSimMaxTimeMs) + " ms, not " +
               Quote(t[0]);
    }
    if (action->atMs < previous) {
        return "time " + std::to_string(action->atMs) + " is before the time " +
               std::to_string(previous) + " of the action above";
    }
    if (t.size() < 2) {
        return "an action must follow the time";
    }
    return ParseAction(t, action);
}

}  // namespace

bool ParseSimScript(const std::string& text, std::vector<SimAction>* actions, std::string* error) {
    std::vector<SimAction> parsed;
    int closingLine = 0;  // the line of a repeat or end, once seen
    std::string closingWord;
    int number = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        std::vector<std::string> t = NextLineTokens(text, &pos);
        ++number;
        if (t.empty()) {
            continue;
        }
        std::string wrong;
        SimAction action;
        action.line = number;
        if (closingLine != 0) {
            wrong =
                "nothing can follow " + closingWord + " (line " + std::to_string(closingLine) + ")";
        } else {
            wrong = ParseTimedAction(t, parsed.empty() ? 0 : parsed.back().atMs, &action);
        }
        if (!wrong.empty()) {
            *error = "line " + std::to_string(number) + ": " + wrong;
            return false;
        }
        if (action.kind == SimActionKind::Repeat || action.kind == SimActionKind::End) {
            closingLine = number;
            closingWord = t[1];
        }
        parsed.push_back(action);
    }
    *actions = std::move(parsed);
    return true;
}

const char* SimDemoScript() {
    // Paced for the program's own rhythm: the cable is sampled after every
    // 200 ms without a byte, and a burst counts as a new carriage pass only
    // more than 750 ms after the previous one. Each change of DSR comes with
    // a different set of the other lines, so that debug mode shows them all.
    return "# The built-in demonstration of the simulated line; ten seconds, then again.\n"
           "300 cts on\n"
           "300 cable on       # Cable connected\n"
           "1500 bytes 20 2 55 # a carriage pass\n"
           "2600 bytes 30 3 aa # and another\n"
           "3500 error frame   # a line error: RTS dropped for 50 ms\n"
           "4000 rlsd on\n"
           "4500 cable off     # Cable disconnected\n"
           "5500 ring on\n"
           "5500 cts off\n"
           "6000 cable on      # Cable connected\n"
           "6800 bytes 10 1 ff # a carriage pass\n"
           "7600 error overrun\n"
           "8000 ring off\n"
           "8000 rlsd off\n"
           "8500 cable off     # Cable disconnected\n"
           "10000 repeat\n";
}

}  // namespace posixlayer
