// Terminal key sequences to PC keyboard codes; see keydecode.h for the forms
// accepted and how a caller drives the decoder.
#include "app/keydecode.h"

#include <string.h>

static const unsigned char kEscape = 0x1B;

// Second codes of the PC keyboard for the keys without a character.
static const int kCodeF1 = 59;  // F1..F10 are 59..68
static const int kCodeF11 = 133;
static const int kCodeF12 = 134;
static const int kCodeHome = 71;
static const int kCodeUp = 72;
static const int kCodePageUp = 73;
static const int kCodeLeft = 75;
static const int kCodeRight = 77;
static const int kCodeEnd = 79;
static const int kCodeDown = 80;
static const int kCodePageDown = 81;
static const int kCodeInsert = 82;
static const int kCodeDelete = 83;

void KeyDecodeReset(struct KeyDecoder* decoder) {
    memset(decoder, 0, sizeof *decoder);
}

int KeyDecodePending(const struct KeyDecoder* decoder) {
    return decoder->heldLength > 0;
}

int KeyDecodeLoneEscape(const struct KeyDecoder* decoder) {
    return decoder->heldLength == 1;
}

static enum KeyDecodeStatus OneCode(int code, struct KeyCodes* codes) {
    codes->count = 1;
    codes->code[0] = code;
    codes->code[1] = 0;
    return KEY_DECODE_KEY;
}

static enum KeyDecodeStatus TwoCodes(int code, struct KeyCodes* codes) {
    codes->count = 2;
    // F1..F10 have the prefix 0; F11, F12 and the separate navigation keys
    // have 0xE0.
    codes->code[0] = (code >= kCodeF1 && code < kCodeF1 + 10) ? 0 : 0xE0;
    codes->code[1] = code;
    return KEY_DECODE_KEY;
}

static int FunctionKey(int n) {
    if (n >= 1 && n <= 10)
        return kCodeF1 + n - 1;
    if (n == 11)
        return kCodeF11;
    if (n == 12)
        return kCodeF12;
    return 0;
}

// The key of ESC [ n ~ (VT220, Linux console, xterm, rxvt); 0 if none.
static int TildeKey(int n) {
    switch (n) {
        case 1:  // VT220 Find, Linux console Home
        case 7:  // rxvt
            return kCodeHome;
        case 2:
            return kCodeInsert;
        case 3:
            return kCodeDelete;
        case 4:  // VT220 Select, Linux console End
        case 8:  // rxvt
            return kCodeEnd;
        case 5:
            return kCodePageUp;
        case 6:
            return kCodePageDown;
        case 11:
        case 12:
        case 13:
        case 14:
        case 15:
            return FunctionKey(n - 10);
        case 17:
        case 18:
        case 19:
        case 20:
        case 21:
            return FunctionKey(n - 11);
        case 23:
            return kCodeF11;
        case 24:
            return kCodeF12;
        default:
            return 0;
    }
}

// The key named by a final byte alone (CSI or SS3, parameters being
// modifiers); 0 if none.
static int LetterKey(unsigned char final) {
    switch (final) {
        case 'A':
            return kCodeUp;
        case 'B':
            return kCodeDown;
        case 'C':
            return kCodeRight;
        case 'D':
            return kCodeLeft;
        case 'H':
            return kCodeHome;
        case 'F':
            return kCodeEnd;
        case 'P':
        case 'Q':
        case 'R':
        case 'S':
            return FunctionKey(final - 'P' + 1);
        default:
            return 0;
    }
}

// The character of a keypad key in application mode (ESC O x); -1 if none.
static int KeypadCharacter(unsigned char final) {
    if (final >= 'p' && final <= 'y')
        return '0' + (final - 'p');
    switch (final) {
        case 'j':
            return '*';
        case 'k':
            return '+';
        case 'l':
            return ',';
        case 'm':
            return '-';
        case 'n':
            return '.';
        case 'o':
            return '/';
        case 'M':
            return '\r';
        case 'X':
            return '=';
        default:
            return -1;
    }
}

// The first numeric parameter of `param` into *first (-1 when there is
// none). FALSE when a byte other than a digit or ';' is among them.
static int FirstParameter(const unsigned char* param, int paramLength, int* first) {
    // Only plain numeric parameters name keys; private markers, sub-
    // parameters and intermediate bytes belong to sequences we do not know.
    int value = -1;
    int firstDone = 0;
    *first = -1;
    for (int i = 0; i < paramLength; ++i) {
        unsigned char c = param[i];
        if (c >= '0' && c <= '9') {
            if (value < 0)
                value = 0;
            if (value < 1000)
                value = value * 10 + (c - '0');
        } else if (c == ';') {
            if (!firstDone)
                *first = value;
            firstDone = 1;
            value = -1;
        } else {
            return 0;
        }
    }
    if (!firstDone)
        *first = value;
    return 1;
}

// Decodes a complete sequence: held[0] is ESC, held[1] '[' or 'O', then the
// parameter bytes, then `final`.
static enum KeyDecodeStatus DecodeSequence(const struct KeyDecoder* d, unsigned char final,
                                           struct KeyCodes* codes) {
    unsigned char intro = d->held[1];
    const unsigned char* param = d->held + 2;
    int paramLength = d->heldLength - 2;

    if (intro == '[' && paramLength == 1 && param[0] == '[') {
        // Linux console F1..F5.
        if (final >= 'A' && final <= 'E')
            return TwoCodes(FunctionKey(final - 'A' + 1), codes);
        return KEY_DECODE_NOTHING;
    }

    int first;
    if (!FirstParameter(param, paramLength, &first))
        return KEY_DECODE_NOTHING;

    if (intro == '[' && (final == '~' || final == '^')) {
        int key = TildeKey(first);
        return key ? TwoCodes(key, codes) : KEY_DECODE_NOTHING;
    }
    int key = LetterKey(final);
    if (key)
        return TwoCodes(key, codes);
    if (intro == 'O' && paramLength == 0) {
        int c = KeypadCharacter(final);
        if (c >= 0)
            return OneCode(c, codes);
    }
    return KEY_DECODE_NOTHING;
}

// Holds `byte` as the ESC of a new sequence.
static enum KeyDecodeStatus StartSequence(struct KeyDecoder* d, unsigned char byte) {
    d->held[0] = byte;
    d->heldLength = 1;
    return KEY_DECODE_MORE;
}

// The byte after a lone ESC: a sequence's introducer, another ESC or a key
// sent with Alt.
static enum KeyDecodeStatus FeedAfterEscape(struct KeyDecoder* d, unsigned char byte,
                                            struct KeyCodes* codes) {
    if (byte == '[' || byte == 'O') {
        d->held[1] = byte;
        d->heldLength = 2;
        return KEY_DECODE_MORE;
    }
    if (byte == kEscape)
        return OneCode(kEscape, codes);  // the new ESC stays held
    KeyDecodeReset(d);
    return OneCode(byte, codes);  // Alt with a key
}

// A byte after ESC and its introducer: more of the sequence, its final byte,
// or a byte that breaks it off.
static enum KeyDecodeStatus FeedSequenceByte(struct KeyDecoder* d, unsigned char byte,
                                             struct KeyCodes* codes) {
    if (byte == kEscape) {
        // A new sequence cuts the unfinished one off.
        KeyDecodeReset(d);
        return StartSequence(d, byte);
    }

    // The Linux console's ESC [ [ takes exactly one more byte, which lies in
    // the final range but must not end the sequence as '[' itself would.
    int linuxPrefix = d->heldLength == 2 && d->held[1] == '[' && byte == '[';

    if ((byte >= 0x20 && byte <= 0x3F) || linuxPrefix) {
        // Parameter or intermediate byte.
        if (d->heldLength < KEY_DECODE_MAX_SEQUENCE)
            d->held[d->heldLength++] = byte;
        else
            d->overflowed = 1;
        return KEY_DECODE_MORE;
    }

    if (byte >= 0x40 && byte <= 0x7E) {
        enum KeyDecodeStatus status = KEY_DECODE_NOTHING;
        if (!d->overflowed)
            status = DecodeSequence(d, byte, codes);
        KeyDecodeReset(d);
        return status;
    }

    // A control byte, DEL or a byte above 0x7F cannot be part of a sequence:
    // the sequence is dropped and the byte is a key by itself.
    KeyDecodeReset(d);
    return OneCode(byte, codes);
}

enum KeyDecodeStatus KeyDecodeFeed(struct KeyDecoder* d, unsigned char byte,
                                   struct KeyCodes* codes) {
    // Keep the struct's invariants even if a caller handed us garbage.
    if (d->heldLength < 0 || d->heldLength > KEY_DECODE_MAX_SEQUENCE)
        KeyDecodeReset(d);

    if (d->heldLength == 0) {
        if (byte != kEscape)
            return OneCode(byte, codes);
        return StartSequence(d, byte);
    }
    if (d->heldLength == 1)
        return FeedAfterEscape(d, byte, codes);
    return FeedSequenceByte(d, byte, codes);
}

enum KeyDecodeStatus KeyDecodeFlush(struct KeyDecoder* d, struct KeyCodes* codes) {
    int lone = d->heldLength == 1;
    KeyDecodeReset(d);
    return lone ? OneCode(kEscape, codes) : KEY_DECODE_NOTHING;
}
