// The key decoder: terminal byte sequences of every accepted form to PC key
// codes, sequences arriving in pieces, the lone ESC, and unknown or broken
// sequences that must leave nothing behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/keydecode.h"

namespace {

int F(int n) {
    return n <= 10 ? 58 + n : 122 + n;
}

std::vector<int> Fn(int n) {
    return {n <= 10 ? 0 : 0xE0, F(n)};
}
std::vector<int> Ext(int code) {
    return {0xE0, code};
}

const int kUp = 72, kDown = 80, kLeft = 75, kRight = 77;
const int kHome = 71, kEnd = 79, kPgUp = 73, kPgDn = 81, kIns = 82, kDel = 83;

// Feeds the bytes, flushing at the end when asked (the wait for more timed
// out), and returns every code produced, flattened.
std::vector<int> Decode(KeyDecoder* d, const std::string& bytes, bool flush) {
    std::vector<int> out;
    KeyCodes codes;
    for (unsigned char b : bytes) {
        codes.count = -1;
        KeyDecodeStatus st = KeyDecodeFeed(d, b, &codes);
        if (st == KEY_DECODE_KEY) {
            EXPECT_TRUE(codes.count == 1 || codes.count == 2);
            for (int i = 0; i < codes.count; ++i)
                out.push_back(codes.code[i]);
        } else {
            EXPECT_EQ(codes.count, -1) << "codes written without a key";
            EXPECT_EQ(st == KEY_DECODE_MORE, KeyDecodePending(d) != 0);
        }
    }
    if (flush && KeyDecodePending(d)) {
        if (KeyDecodeFlush(d, &codes) == KEY_DECODE_KEY)
            for (int i = 0; i < codes.count; ++i)
                out.push_back(codes.code[i]);
        EXPECT_FALSE(KeyDecodePending(d));
    }
    return out;
}

struct Case {
    const char* name;
    std::string bytes;
    std::vector<int> codes;
};

std::string Esc(const std::string& rest) {
    return "\x1b" + rest;
}

std::vector<Case> KnownKeys() {
    std::vector<Case> c = {
        // xterm and VT220 PF keys, plain and with modifiers.
        {"SS3 F1", Esc("OP"), Fn(1)},
        {"SS3 F2", Esc("OQ"), Fn(2)},
        {"SS3 F3", Esc("OR"), Fn(3)},
        {"SS3 F4", Esc("OS"), Fn(4)},
        {"SS3 F1 old modifier", Esc("O5P"), Fn(1)},
        {"SS3 F2 modifier", Esc("O1;2Q"), Fn(2)},
        {"CSI F1 modifier", Esc("[1;5P"), Fn(1)},
        {"CSI F4 modifier", Esc("[1;2S"), Fn(4)},
        {"CSI F1 bare", Esc("[P"), Fn(1)},
        // VT220 / xterm / rxvt numbered function keys.
        {"F1 tilde", Esc("[11~"), Fn(1)},
        {"F2 tilde", Esc("[12~"), Fn(2)},
        {"F3 tilde", Esc("[13~"), Fn(3)},
        {"F4 tilde", Esc("[14~"), Fn(4)},
        {"F5", Esc("[15~"), Fn(5)},
        {"F6", Esc("[17~"), Fn(6)},
        {"F7", Esc("[18~"), Fn(7)},
        {"F8", Esc("[19~"), Fn(8)},
        {"F9", Esc("[20~"), Fn(9)},
        {"F10", Esc("[21~"), Fn(10)},
        {"F11", Esc("[23~"), Fn(11)},
        {"F12", Esc("[24~"), Fn(12)},
        {"F5 ctrl", Esc("[15;5~"), Fn(5)},
        {"F12 shift", Esc("[24;2~"), Fn(12)},
        {"F10 rxvt ctrl", Esc("[21^"), Fn(10)},
        // Linux console.
        {"linux F1", Esc("[[A"), Fn(1)},
        {"linux F2", Esc("[[B"), Fn(2)},
        {"linux F3", Esc("[[C"), Fn(3)},
        {"linux F4", Esc("[[D"), Fn(4)},
        {"linux F5", Esc("[[E"), Fn(5)},
        {"linux Home", Esc("[1~"), Ext(kHome)},
        {"linux End", Esc("[4~"), Ext(kEnd)},
        // Cursor keys, normal and application mode, with modifiers.
        {"CSI up", Esc("[A"), Ext(kUp)},
        {"CSI down", Esc("[B"), Ext(kDown)},
        {"CSI right", Esc("[C"), Ext(kRight)},
        {"CSI left", Esc("[D"), Ext(kLeft)},
        {"SS3 up", Esc("OA"), Ext(kUp)},
        {"SS3 down", Esc("OB"), Ext(kDown)},
        {"SS3 right", Esc("OC"), Ext(kRight)},
        {"SS3 left", Esc("OD"), Ext(kLeft)},
        {"ctrl up", Esc("[1;5A"), Ext(kUp)},
        {"shift alt left", Esc("[1;4D"), Ext(kLeft)},
        // Editing keys.
        {"CSI Home", Esc("[H"), Ext(kHome)},
        {"CSI End", Esc("[F"), Ext(kEnd)},
        {"SS3 Home", Esc("OH"), Ext(kHome)},
        {"SS3 End", Esc("OF"), Ext(kEnd)},
        {"ctrl Home", Esc("[1;5H"), Ext(kHome)},
        {"rxvt Home", Esc("[7~"), Ext(kHome)},
        {"rxvt End", Esc("[8~"), Ext(kEnd)},
        {"Ins", Esc("[2~"), Ext(kIns)},
        {"Del", Esc("[3~"), Ext(kDel)},
        {"alt Del", Esc("[3;3~"), Ext(kDel)},
        {"PgUp", Esc("[5~"), Ext(kPgUp)},
        {"PgDn", Esc("[6~"), Ext(kPgDn)},
        {"ctrl PgDn", Esc("[6;5~"), Ext(kPgDn)},
        // Keypad in application mode gives its character.
        {"keypad 0", Esc("Op"), {'0'}},
        {"keypad 5", Esc("Ou"), {'5'}},
        {"keypad 9", Esc("Oy"), {'9'}},
        {"keypad Enter", Esc("OM"), {13}},
        {"keypad minus", Esc("Om"), {'-'}},
        // Plain bytes, control bytes included.
        {"letter", "a", {'a'}},
        {"digit", "5", {'5'}},
        {"ctrl-c", "\x03", {3}},
        {"DEL", "\x7f", {0x7F}},
        {"NUL", std::string(1, '\0'), {0}},
        {"CR", "\r", {13}},
        {"high byte", "\xe0", {0xE0}},
        {"0xFF", "\xff", {0xFF}},
        {"bracket alone", "[", {'['}},
        {"O alone", "O", {'O'}},
        // ESC with a character is Alt with that key.
        {"alt x", Esc("x"), {'x'}},
        {"alt 5", Esc("5"), {'5'}},
        {"alt ctrl-c", Esc("\x03"), {3}},
        // A lone ESC, decided by the time-out.
        {"lone ESC", Esc(""), {27}},
        {"ESC ESC", Esc("\x1b"), {27, 27}},
        {"ESC then a sequence", Esc(Esc("[B")), {27, 0xE0, kDown}},
        // Several keys in one read.
        {"three keys", "1" + Esc("[A") + "2", {'1', 0xE0, kUp, '2'}},
    };
    return c;
}

TEST(KeyDecode, EveryAcceptedFormGivesItsCodes) {
    for (const Case& c : KnownKeys()) {
        KeyDecoder d;
        KeyDecodeReset(&d);
        EXPECT_EQ(Decode(&d, c.bytes, true), c.codes) << c.name;
        // Nothing left behind: the next byte is a key of its own.
        EXPECT_EQ(Decode(&d, "z", false), std::vector<int>{'z'}) << c.name;
    }
}

TEST(KeyDecode, SequenceFedInPiecesNeedsMoreUntilItsFinalByte) {
    for (const Case& c : KnownKeys()) {
        if (c.bytes.size() < 3 || c.bytes[0] != '\x1b' || c.codes.size() != 2)
            continue;
        KeyDecoder d = {};
        KeyCodes codes;
        for (size_t i = 0; i + 1 < c.bytes.size(); ++i)
            ASSERT_EQ(KeyDecodeFeed(&d, static_cast<unsigned char>(c.bytes[i]), &codes),
                      KEY_DECODE_MORE)
                << c.name << " byte " << i;
        ASSERT_EQ(KeyDecodeFeed(&d, static_cast<unsigned char>(c.bytes.back()), &codes),
                  KEY_DECODE_KEY)
            << c.name;
        EXPECT_EQ(std::vector<int>(codes.code, codes.code + codes.count), c.codes) << c.name;
        EXPECT_FALSE(KeyDecodePending(&d)) << c.name;
    }
}

TEST(KeyDecode, LoneEscapeIsKnownOnlyWhenTheWaitEnds) {
    KeyDecoder d = {};
    KeyCodes codes;
    EXPECT_EQ(KeyDecodeFeed(&d, 0x1B, &codes), KEY_DECODE_MORE);
    EXPECT_TRUE(KeyDecodeLoneEscape(&d));
    ASSERT_EQ(KeyDecodeFlush(&d, &codes), KEY_DECODE_KEY);
    EXPECT_EQ(codes.count, 1);
    EXPECT_EQ(codes.code[0], 27);
    // A flush with nothing held gives nothing.
    EXPECT_EQ(KeyDecodeFlush(&d, &codes), KEY_DECODE_NOTHING);
    // Once the sequence has begun, the ESC is no longer alone.
    KeyDecodeFeed(&d, 0x1B, &codes);
    KeyDecodeFeed(&d, '[', &codes);
    EXPECT_TRUE(KeyDecodePending(&d));
    EXPECT_FALSE(KeyDecodeLoneEscape(&d));
}

TEST(KeyDecode, UnknownAndBrokenSequencesLeaveNothingBehind) {
    const Case cases[] = {
        {"shift-tab", Esc("[Z"), {}},
        {"keypad begin", Esc("[E"), {}},
        {"unknown tilde number", Esc("[99~"), {}},
        {"tilde without number", Esc("[~"), {}},
        {"bracketed paste start", Esc("[200~"), {}},
        {"device attributes answer", Esc("[?1;2c"), {}},
        {"private marker", Esc("[>5A"), {}},
        {"sub-parameter", Esc("[1:5A"), {}},
        {"intermediate byte", Esc("[1 q"), {}},
        {"rxvt shift F1", Esc("[23$"), {}},
        {"SS3 unknown", Esc("OZ"), {}},
        {"SS3 with tilde", Esc("O2~"), {}},
        {"linux prefix unknown", Esc("[[Z"), {}},
        {"linux prefix with digits", Esc("[[1A"), {}},
        {"huge number", Esc("[99999999999999999999~"), {}},
        {"overlong", Esc("[" + std::string(200, '1') + "A"), {}},
        {"overlong parameters", Esc("[" + std::string(100, ';') + "~"), {}},
        // Cut off by the time-out.
        {"CSI alone", Esc("["), {}},
        {"SS3 alone", Esc("O"), {}},
        {"partial parameters", Esc("[1;5"), {}},
        {"linux prefix alone", Esc("[["), {}},
        // Broken by a control byte, which is a key of its own.
        {"broken by ctrl-c", Esc("[1\x03"), {3}},
        {"broken by CR", Esc("O\r"), {13}},
        {"broken by DEL", Esc("[2\x7f"), {0x7F}},
        {"broken by high byte", Esc("[\xc3"), {0xC3}},
        // Broken by a new ESC, which starts again.
        {"new sequence", Esc("[1;" + Esc("[B")), {0xE0, kDown}},
        {"new lone ESC", Esc("[2" + Esc("")), {27}},
    };
    for (const Case& c : cases) {
        KeyDecoder d = {};
        EXPECT_EQ(Decode(&d, c.bytes, true), c.codes) << c.name;
        EXPECT_FALSE(KeyDecodePending(&d)) << c.name;
        EXPECT_EQ(Decode(&d, "q", false), std::vector<int>{'q'}) << c.name;
        // The same with a key hard on its heels instead of the time-out: the
        // ESC of the next key ends whatever was under way.
        KeyDecoder e = {};
        std::vector<int> expected = c.codes;
        expected.push_back(0);
        expected.push_back(F(2));
        EXPECT_EQ(Decode(&e, c.bytes + Esc("OQ"), true), expected) << c.name << " then F2";
    }
}

// Any byte stream: the state stays bounded, every key is well formed, and a
// flush always brings the decoder back to its start.
TEST(KeyDecode, ArbitraryBytesKeepTheDecoderSound) {
    KeyDecoder d = {};
    KeyCodes codes;
    unsigned state = 12345;
    // Bytes from a pool weighted towards the ones that build sequences.
    const std::string pool =
        std::string("\x1b\x1b\x1b[[[OOO;;0123456789~~^ABCDEFHPQRSZpyM?$ \x03\x7f\xe0") +
        std::string(1, '\0');
    for (int round = 0; round < 20000; ++round) {
        int n = 1 + static_cast<int>((state = state * 1103515245u + 12345u) >> 16) % 12;
        for (int i = 0; i < n; ++i) {
            state = state * 1103515245u + 12345u;
            unsigned r = state >> 16;
            unsigned char b = (r & 1) ? static_cast<unsigned char>(pool[r % pool.size()])
                                      : static_cast<unsigned char>(r >> 3);
            KeyDecodeStatus st = KeyDecodeFeed(&d, b, &codes);
            ASSERT_GE(d.heldLength, 0);
            ASSERT_LE(d.heldLength, KEY_DECODE_MAX_SEQUENCE);
            if (st == KEY_DECODE_KEY) {
                ASSERT_TRUE(codes.count == 1 || codes.count == 2);
                for (int k = 0; k < codes.count; ++k) {
                    ASSERT_GE(codes.code[k], 0);
                    ASSERT_LE(codes.code[k], 255);
                }
                if (codes.count == 2) {
                    ASSERT_TRUE(codes.code[0] == 0 || codes.code[0] == 0xE0);
                }
            }
        }
        if (round % 3 == 0) {
            KeyDecodeFlush(&d, &codes);
            ASSERT_FALSE(KeyDecodePending(&d));
            ASSERT_EQ(KeyDecodeFeed(&d, 'k', &codes), KEY_DECODE_KEY);
            ASSERT_EQ(codes.code[0], 'k');
        }
    }
}

}  // namespace
