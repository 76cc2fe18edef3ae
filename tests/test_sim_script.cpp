// The simulated line's script parser: layout, number forms, defaults and
// limits, and every malformed line refused with its number and its fault.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/posix/sim_script.h"

using posixlayer::ParseSimScript;
using posixlayer::SimAction;
using posixlayer::SimActionKind;

namespace {

std::vector<SimAction> ParseOk(const std::string& text) {
    std::vector<SimAction> actions;
    std::string error;
    EXPECT_TRUE(ParseSimScript(text, &actions, &error)) << error;
    return actions;
}

std::string ParseError(const std::string& text) {
    std::vector<SimAction> actions(1);
    std::string error;
    EXPECT_FALSE(ParseSimScript(text, &actions, &error)) << text;
    EXPECT_EQ(actions.size(), 1u) << "a refusal leaves the actions as they were";
    return error;
}

// What a behaviour test of the line cannot tell apart: layout, number forms,
// defaults, limits and line numbers.
TEST(SimScript, CommentsBlankLinesDefaultsAndLimits) {
    EXPECT_TRUE(ParseOk("").empty());
    EXPECT_TRUE(ParseOk("\n\n# nothing\n   \n").empty());
    EXPECT_EQ(ParseOk("10 cts on\n10 repeat").size(), 2u) << "no final line feed";
    auto a = ParseOk(
        "# a whole script\n"
        "\n"
        "   5\tcts on   # trailing comment\n"
        "5 ring off\r\n"
        "10 bytes 3\n"
        "11 bytes 1 60000 0xAB\n"
        "12 bytes 100000000 1 f\n"
        "4294967295 end\n"
        "   # comment after the end is fine\n");
    ASSERT_EQ(a.size(), 6u);
    using std::make_tuple;
    EXPECT_EQ(make_tuple(a[0].kind, a[0].on, a[0].atMs, a[0].line),
              make_tuple(SimActionKind::Cts, true, uint64_t(5), 3));
    EXPECT_EQ(make_tuple(a[1].kind, a[1].on), make_tuple(SimActionKind::Ring, false));
    // By default 1 ms apart, value 00.
    EXPECT_EQ(make_tuple(a[2].count, a[2].gapMs, a[2].value), make_tuple(3u, 1u, uint8_t(0)));
    EXPECT_EQ(make_tuple(a[3].count, a[3].gapMs, a[3].value),
              make_tuple(1u, 60000u, uint8_t(0xAB)));
    EXPECT_EQ(make_tuple(a[4].count, a[4].value), make_tuple(100000000u, uint8_t(0x0F)));
    EXPECT_EQ(make_tuple(a[5].kind, a[5].atMs, a[5].line),
              make_tuple(SimActionKind::End, uint64_t(4294967295u), 8));
}

TEST(SimScript, MalformedLinesNameTheLineAndTheFault) {
    // clang-format off
    const struct {
        const char* text;
        const char* message;  // the whole message
    } cases[] = {
        {"\n\n-5 cable on", "line 3: expected a time of 0 to 4294967295 ms, not \"-5\""},
        {"12ms cable on", "line 1: expected a time of 0 to 4294967295 ms, not \"12ms\""},
        {"4294967296 end", "line 1: expected a time of 0 to 4294967295 ms, not \"4294967296\""},
        {"99999999999999999999999 end",
         "line 1: expected a time of 0 to 4294967295 ms, not \"99999999999999999999999\""},
        {"10", "line 1: an action must follow the time"},
        {"10 # just a time", "line 1: an action must follow the time"},
        {"10 Cable on", "line 1: unknown action \"Cable\""},
        {"10 cable", "line 1: cable needs on or off"},
        {"10 cts yes", "line 1: cts needs on or off, not \"yes\""},
        {"10 ring on off", "line 1: unexpected \"off\" after ring"},
        {"10 bytes", "line 1: bytes needs a count"},
        {"10 bytes 0", "line 1: byte count must be 1 to 100000000, not \"0\""},
        {"10 bytes 100000001", "line 1: byte count must be 1 to 100000000, not \"100000001\""},
        {"10 bytes 5x", "line 1: byte count must be 1 to 100000000, not \"5x\""},
        {"10 bytes 5 0", "line 1: gap must be 1 to 60000 ms, not \"0\""},
        {"10 bytes 5 60001", "line 1: gap must be 1 to 60000 ms, not \"60001\""},
        {"10 bytes 5 1 100", "line 1: byte value must be hex 00 to ff, not \"100\""},
        {"10 bytes 5 1 0x", "line 1: byte value must be hex 00 to ff, not \"0x\""},
        {"10 bytes 5 1 ff 3", "line 1: unexpected \"3\" after bytes"},
        {"10 error", "line 1: error needs frame, overrun, parity or break"},
        {"10 error noise", "line 1: error needs frame, overrun, parity or break, not \"noise\""},
        {"10 unplug now", "line 1: unexpected \"now\" after unplug"},
        {"10 end 0", "line 1: unexpected \"0\" after end"},
        {"0 repeat", "line 1: repeat at 0 ms would replay the script without time passing"},
        {"20 cable on\n10 cable off", "line 2: time 10 is before the time 20 of the action above"},
        {"5 repeat\n\n# fine\n5 cts on", "line 4: nothing can follow repeat (line 1)"},
        {"5 end\n9 end", "line 2: nothing can follow end (line 1)"},
        // Whatever the bytes, the message stays one printable line.
        {"10 \x01\x7f\"\\ on", "line 1: unknown action \"\\x01\\x7f\\x22\\x5c\""},
        {"10 aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
         "line 1: unknown action \"aaaaaaaaaaaaaaaaaaaaaaaa...\""},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(ParseError(c.text), c.message) << "script: " << c.text;
    }
}

}  // namespace
