// The key decoder: terminal byte sequences of every accepted form to PC key
// codes, sequences arriving in pieces, the lone ESC, and unknown or broken
// sequences that must leave nothing behind. Arbitrary input is the fuzz
// target's job.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/keydecode.h"

namespace {

using Codes = std::vector<int>;

// Feeds the bytes, flushing at the end (the wait for more timed out), and
// returns every code produced.
Codes Decode(KeyDecoder* d, const std::string& bytes) {
    Codes out;
    KeyCodes codes;
    for (unsigned char b : bytes) {
        codes.count = -1;
        KeyDecodeStatus st = KeyDecodeFeed(d, b, &codes);
        if (st == KEY_DECODE_KEY) {
            out.insert(out.end(), codes.code, codes.code + codes.count);
        } else {
            EXPECT_EQ(codes.count, -1) << "codes written without a key";
            EXPECT_EQ(st == KEY_DECODE_MORE, KeyDecodePending(d) != 0);
        }
    }
    if (KeyDecodePending(d) && KeyDecodeFlush(d, &codes) == KEY_DECODE_KEY)
        out.insert(out.end(), codes.code, codes.code + codes.count);
    EXPECT_FALSE(KeyDecodePending(d));
    return out;
}

Codes F(int n) {
    return {n <= 10 ? 0 : 0xE0, n <= 10 ? 58 + n : 122 + n};
}
Codes E(int code) {
    return {0xE0, code};
}
const int kUp = 72, kDown = 80, kLeft = 75, kRight = 77;
const int kHome = 71, kEnd = 79, kPgUp = 73, kPgDn = 81, kIns = 82, kDel = 83;

// Each key with every form (after the ESC) that terminals send for it: xterm
// and VT220 SS3 and CSI, with and without modifiers, rxvt's ^, the Linux
// console's [[A..E, the keypad in application mode; ESC with a plain byte is
// Alt with that key.
struct Key {
    Codes codes;
    std::vector<std::string> forms;
};
// clang-format off
const std::vector<Key> kKeys = {
    {F(1), {"OP", "O5P", "[1;5P", "[P", "[11~", "[[A"}}, {F(2), {"OQ", "O1;2Q", "[12~", "[[B"}},
    {F(3), {"OR", "[13~", "[[C"}}, {F(4), {"OS", "[1;2S", "[14~", "[[D"}},
    {F(5), {"[15~", "[15;5~", "[[E"}}, {F(6), {"[17~"}}, {F(7), {"[18~"}}, {F(8), {"[19~"}},
    {F(9), {"[20~"}}, {F(10), {"[21~", "[21^"}}, {F(11), {"[23~"}}, {F(12), {"[24~", "[24;2~"}},
    {E(kUp), {"[A", "OA", "[1;5A"}}, {E(kDown), {"[B", "OB"}}, {E(kRight), {"[C", "OC"}},
    {E(kLeft), {"[D", "OD", "[1;4D"}}, {E(kHome), {"[H", "OH", "[1;5H", "[7~", "[1~"}},
    {E(kEnd), {"[F", "OF", "[8~", "[4~"}}, {E(kIns), {"[2~"}}, {E(kDel), {"[3~", "[3;3~"}},
    {E(kPgUp), {"[5~"}}, {E(kPgDn), {"[6~", "[6;5~"}},
    {{'0'}, {"Op"}}, {{'5'}, {"Ou", "5"}}, {{'9'}, {"Oy"}}, {{13}, {"OM"}}, {{'-'}, {"Om"}},
    {{'x'}, {"x"}}, {{3}, {"\x03"}}};
// clang-format on

TEST(KeyDecode, EveryAcceptedFormGivesItsCodesWholeOrInPieces) {
    for (const Key& k : kKeys) {
        for (const std::string& form : k.forms) {
            const std::string bytes = "\x1b" + form;
            KeyDecoder d = {};
            EXPECT_EQ(Decode(&d, bytes), k.codes) << form;
            EXPECT_EQ(Decode(&d, "z"), Codes{'z'}) << form;  // nothing left behind
            if (k.codes.size() != 2)
                continue;
            // In pieces: more is needed up to the final byte, and only that gives the key.
            KeyCodes codes;
            for (size_t i = 0; i + 1 < bytes.size(); ++i)
                ASSERT_EQ(KeyDecodeFeed(&d, bytes[i], &codes), KEY_DECODE_MORE) << form << i;
            ASSERT_EQ(KeyDecodeFeed(&d, bytes.back(), &codes), KEY_DECODE_KEY) << form;
            EXPECT_EQ(Codes(codes.code, codes.code + codes.count), k.codes) << form;
        }
    }
}

TEST(KeyDecode, PlainBytesLoneEscapesAndSeveralKeys) {
    // Every byte but ESC is a key of its own, control bytes included.
    // clang-format off
    const std::pair<std::string, Codes> cases[] = {
        {"a", {'a'}}, {"5", {'5'}}, {"\x03", {3}}, {"\x7f", {0x7F}}, {std::string(1, '\0'), {0}},
        {"\r", {13}}, {"\xe0", {0xE0}}, {"\xff", {0xFF}}, {"[", {'['}}, {"O", {'O'}},
        {"\x1b", {27}}, {"\x1b\x1b", {27, 27}}, {"\x1b\x1b[B", {27, 0xE0, kDown}},
        {"1\x1b[A2", {'1', 0xE0, kUp, '2'}}};
    // clang-format on
    for (const auto& c : cases) {
        KeyDecoder d = {};
        EXPECT_EQ(Decode(&d, c.first), c.second);
    }
    // The ESC alone is known only when the wait ends; once a sequence has
    // begun it is no longer alone.
    KeyDecoder d = {};
    KeyCodes codes;
    EXPECT_EQ(KeyDecodeFeed(&d, 0x1B, &codes), KEY_DECODE_MORE);
    EXPECT_TRUE(KeyDecodeLoneEscape(&d));
    ASSERT_EQ(KeyDecodeFlush(&d, &codes), KEY_DECODE_KEY);
    EXPECT_EQ(Codes(codes.code, codes.code + codes.count), Codes{27});
    EXPECT_EQ(KeyDecodeFlush(&d, &codes), KEY_DECODE_NOTHING);
    KeyDecodeFeed(&d, 0x1B, &codes);
    KeyDecodeFeed(&d, '[', &codes);
    EXPECT_TRUE(KeyDecodePending(&d));
    EXPECT_FALSE(KeyDecodeLoneEscape(&d));
}

TEST(KeyDecode, UnknownAndBrokenSequencesLeaveNothingBehind) {
    // Unknown, or cut off by the time-out: swallowed whole, however long.
    // clang-format off
    const std::string swallowed[] = {
        "[Z", "[E", "[99~", "[~", "[200~", "[?1;2c", "[>5A", "[1:5A", "[1 q", "[23$", "OZ", "O2~",
        "[[Z", "[[1A", "[99999999999999999999~", "[" + std::string(200, '1') + "A",
        "[" + std::string(100, ';') + "~", "[", "O", "[1;5", "[["};
    // Broken by a control byte, which is a key of its own, or by a new ESC,
    // which starts again.
    const std::pair<std::string, Codes> broken[] = {
        {"[1\x03", {3}}, {"O\r", {13}}, {"[2\x7f", {0x7F}}, {"[\xc3", {0xC3}},
        {"[1;\x1b[B", E(kDown)}, {"[2\x1b", {27}}};
    // clang-format on
    std::vector<std::pair<std::string, Codes>> cases(broken, std::end(broken));
    for (const std::string& s : swallowed)
        cases.push_back({s, {}});
    for (const auto& c : cases) {
        KeyDecoder d = {};
        EXPECT_EQ(Decode(&d, "\x1b" + c.first), c.second) << c.first;
        EXPECT_EQ(Decode(&d, "q"), Codes{'q'}) << c.first;
        // With a key hard on its heels instead of the time-out: its ESC ends
        // whatever was under way.
        Codes then = c.second;
        then.insert(then.end(), {0, 60});
        EXPECT_EQ(Decode(&d, "\x1b" + c.first + "\x1bOQ"), then) << c.first << " then F2";
    }
}

}  // namespace
