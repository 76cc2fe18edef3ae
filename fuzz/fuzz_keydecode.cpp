// Fuzz target for the key decoder of the port prompt. The input is what a
// terminal might send; its first 8 bytes, when present, also choose where the
// wait for the rest of a sequence times out (a flush). Properties checked:
// - every key is one code 0..255, or a PC extended-key pair (0 with 59..68,
//   0xE0 with a navigation key, F11 or F12);
// - the state stays bounded and agrees with the status returned;
// - no key is invented: a two-code key takes at least three bytes;
// - the decoder keeps no state outside its struct, so input split anywhere
//   (a copy of the struct carried on) gives the same keys;
// - bytes without ESC come through unchanged, one key each;
// - whatever came before, Ctrl-C is the key 3 and ESC [ A is Up.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/keydecode.h"
#include "fuzz/fuzz_check.h"

namespace {

const unsigned char kEsc = 0x1B;

bool IsExtendedPair(int prefix, int code) {
    if (prefix == 0)
        return code >= 59 && code <= 68;
    if (prefix != 0xE0)
        return false;
    switch (code) {
        case 71:
        case 72:
        case 73:
        case 75:
        case 77:
        case 79:
        case 80:
        case 81:
        case 82:
        case 83:
        case 133:
        case 134:
            return true;
        default:
            return false;
    }
}

void CheckState(const KeyDecoder& d) {
    FUZZ_CHECK(d.heldLength >= 0 && d.heldLength <= KEY_DECODE_MAX_SEQUENCE,
               "held length within the buffer");
    FUZZ_CHECK(d.overflowed == 0 || d.overflowed == 1, "overflow flag is a flag");
    FUZZ_CHECK(d.heldLength == 0 || d.held[0] == kEsc, "a held sequence starts with ESC");
    FUZZ_CHECK(!d.overflowed || d.heldLength == KEY_DECODE_MAX_SEQUENCE,
               "overflow only with a full buffer");
    FUZZ_CHECK((KeyDecodePending(&d) != 0) == (d.heldLength > 0), "pending means bytes held");
    FUZZ_CHECK((KeyDecodeLoneEscape(&d) != 0) == (d.heldLength == 1), "lone ESC means one held");
}

void CheckKey(const KeyCodes& k) {
    FUZZ_CHECK(k.count == 1 || k.count == 2, "a key has one or two codes");
    if (k.count == 1) {
        FUZZ_CHECK(k.code[0] >= 0 && k.code[0] <= 255, "a one-code key is a byte");
    } else {
        FUZZ_CHECK(IsExtendedPair(k.code[0], k.code[1]), "a two-code key is a PC extended key");
    }
}

struct Run {
    std::vector<KeyCodes> keys;
    size_t bytesFed = 0;
};

// Feeds one byte and checks what comes back against the state before and after.
void Feed(KeyDecoder* d, unsigned char byte, Run* run) {
    const bool wasIdle = d->heldLength == 0;
    const bool wasLoneEscape = d->heldLength == 1;
    KeyCodes k;
    std::memset(&k, 0x5A, sizeof k);
    KeyDecodeStatus status = KeyDecodeFeed(d, byte, &k);
    ++run->bytesFed;
    CheckState(*d);
    switch (status) {
        case KEY_DECODE_MORE:
            FUZZ_CHECK(KeyDecodePending(d), "MORE leaves a sequence under way");
            break;
        case KEY_DECODE_NOTHING:
            FUZZ_CHECK(!KeyDecodePending(d), "NOTHING leaves no sequence under way");
            break;
        case KEY_DECODE_KEY:
            CheckKey(k);
            if (KeyDecodePending(d)) {
                FUZZ_CHECK(byte == kEsc && wasLoneEscape && k.count == 1 && k.code[0] == kEsc &&
                               KeyDecodeLoneEscape(d),
                           "a key with a sequence still under way is only ESC ESC");
            }
            run->keys.push_back(k);
            break;
        default:
            FUZZ_CHECK(false, "status is one of the three");
    }
    if (wasIdle && byte != kEsc) {
        FUZZ_CHECK(status == KEY_DECODE_KEY && k.count == 1 && k.code[0] == byte,
                   "a byte outside a sequence is its own key");
    }
}

void Flush(KeyDecoder* d, Run* run) {
    const bool wasLoneEscape = d->heldLength == 1;
    KeyCodes k;
    std::memset(&k, 0x5A, sizeof k);
    KeyDecodeStatus status = KeyDecodeFlush(d, &k);
    CheckState(*d);
    FUZZ_CHECK(d->heldLength == 0 && d->overflowed == 0, "a flush resets the decoder");
    if (wasLoneEscape) {
        FUZZ_CHECK(status == KEY_DECODE_KEY && k.count == 1 && k.code[0] == kEsc,
                   "a lone ESC flushed is the key 27");
        run->keys.push_back(k);
    } else {
        FUZZ_CHECK(status == KEY_DECODE_NOTHING, "a partial sequence flushed gives nothing");
    }
}

bool SameKeys(const std::vector<KeyCodes>& a, const std::vector<KeyCodes>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].count != b[i].count || a[i].code[0] != b[i].code[0])
            return false;
        if (a[i].count == 2 && a[i].code[1] != b[i].code[1])
            return false;
    }
    return true;
}

// The last key that `bytes` give after whatever state *d is in (a copy).
KeyCodes LastKeyAfter(KeyDecoder d, const char* bytes) {
    Run run;
    for (const char* p = bytes; *p; ++p)
        Feed(&d, static_cast<unsigned char>(*p), &run);
    FUZZ_CHECK(!run.keys.empty(), "a complete key sequence gives a key");
    FUZZ_CHECK(!KeyDecodePending(&d), "a complete key sequence leaves nothing under way");
    return run.keys.back();
}

}  // namespace

extern "C" int CABLETEST_FUZZ_ENTRY(const uint8_t* data, size_t size) {
    uint64_t flushAt = 0;  // bit i: the wait times out after byte i (mod 64)
    uint64_t splitAt = 0;  // bit i: the input is cut after byte i (mod 64)
    if (size >= 8) {
        for (int i = 0; i < 8; ++i)
            flushAt = flushAt << 8 | data[i];
        splitAt = flushAt * 0x9E3779B97F4A7C15ull;
        data += 8;
        size -= 8;
    }

    KeyDecoder whole;
    KeyDecodeReset(&whole);
    CheckState(whole);
    Run wholeRun;

    // The same input again, but the decoder is moved to a fresh struct at
    // every cut, as if each piece were read by another call.
    KeyDecoder piece;
    std::memset(&piece, 0, sizeof piece);
    Run pieceRun;

    bool hasEscape = false;
    for (size_t i = 0; i < size; ++i) {
        hasEscape = hasEscape || data[i] == kEsc;
        Feed(&whole, data[i], &wholeRun);
        Feed(&piece, data[i], &pieceRun);

        const bool timedOut = (flushAt >> (i % 64) & 1) && KeyDecodePending(&whole);
        if (timedOut) {
            Flush(&whole, &wholeRun);
            Flush(&piece, &pieceRun);
        }
        if (splitAt >> (i % 64) & 1) {
            KeyDecoder moved;
            std::memcpy(&moved, &piece, sizeof moved);
            std::memset(&piece, 0xA5, sizeof piece);
            piece = moved;
        }

        // Ctrl-C must always get through, whatever is under way.
        KeyDecoder probe = whole;
        Run probeRun;
        Feed(&probe, 3, &probeRun);
        FUZZ_CHECK(probeRun.keys.size() == 1 && probeRun.keys[0].count == 1 &&
                       probeRun.keys[0].code[0] == 3 && !KeyDecodePending(&probe),
                   "Ctrl-C is the key 3 in any state");
    }
    Flush(&whole, &wholeRun);
    Flush(&piece, &pieceRun);

    FUZZ_CHECK(SameKeys(wholeRun.keys, pieceRun.keys), "input split anywhere gives the same keys");

    size_t bytesNeeded = 0;
    for (const KeyCodes& k : wholeRun.keys)
        bytesNeeded += k.count == 2 ? 3 : 1;
    FUZZ_CHECK(bytesNeeded <= size, "no key without the bytes for it");

    if (!hasEscape) {
        FUZZ_CHECK(wholeRun.keys.size() == size, "without ESC every byte is one key");
        for (size_t i = 0; i < size; ++i) {
            FUZZ_CHECK(wholeRun.keys[i].count == 1 && wholeRun.keys[i].code[0] == data[i],
                       "without ESC every byte is itself");
        }
    }

    // The decoder finds its feet again after anything: re-run the input
    // without the final flush and then send a known key.
    KeyDecoder again;
    KeyDecodeReset(&again);
    Run againRun;
    for (size_t i = 0; i < size; ++i)
        Feed(&again, data[i], &againRun);
    KeyCodes up = LastKeyAfter(again, "\x1b[A");
    FUZZ_CHECK(up.count == 2 && up.code[0] == 0xE0 && up.code[1] == 72, "ESC [ A is Up");
    KeyCodes f1 = LastKeyAfter(again, "\x1bOP");
    FUZZ_CHECK(f1.count == 2 && f1.code[0] == 0 && f1.code[1] == 59, "ESC O P is F1");
    return 0;
}
