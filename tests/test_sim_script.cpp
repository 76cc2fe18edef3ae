// The simulated line's script parser: what each kind of line means, and that
// every malformed line is refused with its line number and what is wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/posix/sim_script.h"

using posixlayer::ParseSimScript;
using posixlayer::SimAction;
using posixlayer::SimActionKind;
using posixlayer::SimLineError;

namespace {

std::vector<SimAction> ParseOk(const std::string& text) {
    std::vector<SimAction> actions;
    std::string error;
    EXPECT_TRUE(ParseSimScript(text, &actions, &error)) << error;
    return actions;
}

std::string ParseError(const std::string& text) {
    std::vector<SimAction> actions;
    std::string error;
    EXPECT_FALSE(ParseSimScript(text, &actions, &error)) << text;
    return error;
}

TEST(SimScript, EveryKindOfActionWithCommentsAndBlankLines) {
    auto a = ParseOk(
        "# a whole script\n"
        "\n"
        "0 cable on\n"
        "   5\tcts on   # trailing comment\n"
        "5 ring off\r\n"
        "7 rlsd on\n"
        "10 bytes 3\n"
        "10 bytes 4 20\n"
        "11 bytes 1 60000 0xAB\n"
        "12 bytes 100000000 1 f\n"
        "20 error frame\n"
        "21 error overrun\n"
        "22 error parity\n"
        "23 error break\n"
        "30 unplug\n"
        "4294967295 end\n"
        "   # comment after the end is fine\n");
    ASSERT_EQ(a.size(), 14u);
    EXPECT_EQ(a[0].kind, SimActionKind::Cable);
    EXPECT_TRUE(a[0].on);
    EXPECT_EQ(a[0].line, 3);
    EXPECT_EQ(a[1].kind, SimActionKind::Cts);
    EXPECT_EQ(a[1].atMs, 5u);
    EXPECT_EQ(a[2].kind, SimActionKind::Ring);
    EXPECT_FALSE(a[2].on);
    EXPECT_EQ(a[3].kind, SimActionKind::Rlsd);
    // Defaults: 1 ms apart, value 00.
    EXPECT_EQ(a[4].kind, SimActionKind::Bytes);
    EXPECT_EQ(a[4].count, 3u);
    EXPECT_EQ(a[4].gapMs, 1u);
    EXPECT_EQ(a[4].value, 0);
    EXPECT_EQ(a[5].gapMs, 20u);
    EXPECT_EQ(a[5].value, 0);
    EXPECT_EQ(a[6].gapMs, 60000u);
    EXPECT_EQ(a[6].value, 0xAB);
    EXPECT_EQ(a[7].count, 100000000u);
    EXPECT_EQ(a[7].value, 0x0F);
    EXPECT_EQ(a[8].error, SimLineError::Frame);
    EXPECT_EQ(a[9].error, SimLineError::Overrun);
    EXPECT_EQ(a[10].error, SimLineError::Parity);
    EXPECT_EQ(a[11].error, SimLineError::Break);
    EXPECT_EQ(a[12].kind, SimActionKind::Unplug);
    EXPECT_EQ(a[13].kind, SimActionKind::End);
    EXPECT_EQ(a[13].atMs, 4294967295u);
    EXPECT_EQ(a[13].line, 16);
}

TEST(SimScript, EmptyAndCommentOnlyScriptsHaveNoActions) {
    EXPECT_TRUE(ParseOk("").empty());
    EXPECT_TRUE(ParseOk("\n\n# nothing\n   \n").empty());
}

TEST(SimScript, RepeatClosesTheScript) {
    auto a = ParseOk("10 cts on\n10 repeat");  // no final line feed
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[1].kind, SimActionKind::Repeat);
    EXPECT_EQ(a[1].atMs, 10u);
}

struct Malformed {
    const char* text;
    const char* message;  // the whole message expected
};

TEST(SimScript, MalformedLinesNameTheLineAndTheFault) {
    const Malformed cases[] = {
        {"frob", "line 1: expected a time of 0 to 4294967295 ms, not \"frob\""},
        {"\n\n-5 cable on", "line 3: expected a time of 0 to 4294967295 ms, not \"-5\""},
        {"12ms cable on", "line 1: expected a time of 0 to 4294967295 ms, not \"12ms\""},
        {"4294967296 end", "line 1: expected a time of 0 to 4294967295 ms, not \"4294967296\""},
        {"99999999999999999999999 end",
         "line 1: expected a time of 0 to 4294967295 ms, not \"99999999999999999999999\""},
        {"10", "line 1: an action must follow the time"},
        {"10 # just a time", "line 1: an action must follow the time"},
        {"10 Cable on", "line 1: unknown action \"Cable\""},
        {"10 blink", "line 1: unknown action \"blink\""},
        {"10 cable", "line 1: cable needs on or off"},
        {"10 cts yes", "line 1: cts needs on or off, not \"yes\""},
        {"10 ring on off", "line 1: unexpected \"off\" after ring"},
        {"10 rlsd", "line 1: rlsd needs on or off"},
        {"10 bytes", "line 1: bytes needs a count"},
        {"10 bytes 0", "line 1: byte count must be 1 to 100000000, not \"0\""},
        {"10 bytes 100000001", "line 1: byte count must be 1 to 100000000, not \"100000001\""},
        {"10 bytes 5x", "line 1: byte count must be 1 to 100000000, not \"5x\""},
        {"10 bytes 5 0", "line 1: gap must be 1 to 60000 ms, not \"0\""},
        {"10 bytes 5 60001", "line 1: gap must be 1 to 60000 ms, not \"60001\""},
        {"10 bytes 5 1 100", "line 1: byte value must be hex 00 to ff, not \"100\""},
        {"10 bytes 5 1 g", "line 1: byte value must be hex 00 to ff, not \"g\""},
        {"10 bytes 5 1 0x", "line 1: byte value must be hex 00 to ff, not \"0x\""},
        {"10 bytes 5 1 ff 3", "line 1: unexpected \"3\" after bytes"},
        {"10 error", "line 1: error needs frame, overrun, parity or break"},
        {"10 error noise", "line 1: error needs frame, overrun, parity or break, not \"noise\""},
        {"10 error frame now", "line 1: unexpected \"now\" after error"},
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
    for (const Malformed& c : cases) {
        EXPECT_EQ(ParseError(c.text), c.message) << "script: " << c.text;
    }
}

TEST(SimScript, RefusalLeavesNoActionsBehind) {
    std::vector<SimAction> actions = ParseOk("1 cts on");
    std::string error;
    EXPECT_FALSE(ParseSimScript("1 cts on\n2 cts maybe", &actions, &error));
    EXPECT_EQ(actions.size(), 1u);  // untouched
}

// The demonstration must show, within about ten seconds and with the
// program's own pacing, a connection, bursts far enough apart to count as
// separate passes, a line error, a disconnection, and different states of
// the other modem lines at each change of DSR, and then loop.
TEST(SimScript, DemonstrationShowsEveryReportAndLoops) {
    auto a = ParseOk(posixlayer::SimDemoScript());
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.back().kind, SimActionKind::Repeat);
    EXPECT_LE(a.back().atMs, 10000u);

    bool cable = false, cts = false, ring = false, rlsd = false;
    int connects = 0, disconnects = 0, errors = 0, bursts = 0;
    uint64_t lastBurstEnd = 0;
    std::vector<int> linesAtChange;  // CTS/RING/RLSD at each change of the cable
    for (const SimAction& x : a) {
        switch (x.kind) {
            case SimActionKind::Cable:
                ASSERT_NE(x.on, cable) << "line " << x.line << " changes nothing";
                cable = x.on;
                (x.on ? connects : disconnects)++;
                linesAtChange.push_back(int(cts) | (int(ring) << 1) | (int(rlsd) << 2));
                break;
            case SimActionKind::Cts:
                cts = x.on;
                break;
            case SimActionKind::Ring:
                ring = x.on;
                break;
            case SimActionKind::Rlsd:
                rlsd = x.on;
                break;
            case SimActionKind::Bytes:
                // Gaps under 100 ms keep a burst together; more than 750 ms
                // from the previous burst makes it a new pass.
                EXPECT_LT(x.gapMs, 100u);
                if (bursts > 0) {
                    EXPECT_GT(x.atMs - lastBurstEnd, 750u) << "line " << x.line;
                }
                lastBurstEnd = x.atMs + uint64_t(x.count - 1) * x.gapMs;
                ++bursts;
                break;
            case SimActionKind::Error:
                ++errors;
                break;
            default:
                break;
        }
    }
    EXPECT_GE(connects, 1);
    EXPECT_GE(disconnects, 1);
    EXPECT_GE(bursts, 2);
    EXPECT_GE(errors, 1);
    EXPECT_FALSE(cable) << "the loop must start again from a missing cable";
    // Debug mode shows the modem lines at each change of DSR: they should
    // not look the same every time.
    for (size_t i = 1; i < linesAtChange.size(); ++i) {
        EXPECT_NE(linesAtChange[i], linesAtChange[i - 1]) << "cable change " << i;
    }
}

}  // namespace
