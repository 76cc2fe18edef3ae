// Turns the bytes a terminal sends for key presses into PC keyboard codes, for
// the key read of the port prompt. Pure: no I/O, no clock, no globals; the
// caller owns the state and the waiting.
//
// A byte that does not start an escape sequence is that key. A key without a
// character arrives as an escape sequence and becomes two codes, as the PC
// keyboard gives them:
//   F1..F10       0    then 59..68
//   F11, F12      0xE0 then 133, 134
//   Up Down Left Right            0xE0 then 72 80 75 77
//   Home End PgUp PgDn Ins Del    0xE0 then 71 79 73 81 82 83
// Accepted forms: CSI (ESC [) and SS3 (ESC O) with or without numeric
// parameters (xterm's modifier forms such as ESC [1;5A or ESC O5P; the
// modifier is ignored), ESC [ n ~ (VT220, Linux console, xterm, rxvt's
// ESC [ n ^ as well), the Linux console's ESC [ [ A..E for F1..F5, and the
// keypad in application mode (ESC O p..y and friends), which gives its
// character. ESC followed by a byte that cannot start a sequence is how
// terminals send Alt with a key: that byte is the key. Any other complete
// sequence is unknown and yields nothing; it is swallowed whole, however long.
// A sequence broken by a control byte is dropped and the control byte is a key
// of its own (so Ctrl-C always gets through); a new ESC drops the sequence and
// starts another.
//
// Use: feed the bytes one at a time. While KeyDecodePending() is true a
// sequence is under way: wait a short time for the next byte and, if none
// comes, call KeyDecodeFlush(), which makes a lone ESC the key 27 and drops a
// partial sequence. Any byte sequence is accepted; the state is bounded.
#ifndef CABLETEST_APP_KEYDECODE_H
#define CABLETEST_APP_KEYDECODE_H

enum {
    // Longest sequence kept for decoding, ESC included; longer ones are
    // unknown and discarded up to their final byte.
    KEY_DECODE_MAX_SEQUENCE = 32
};

enum KeyDecodeStatus {
    KEY_DECODE_NOTHING,  // byte taken, no key, no sequence under way
    KEY_DECODE_MORE,     // a sequence is under way: feed more, or flush
    KEY_DECODE_KEY       // *codes holds a key (a sequence may be under way)
};

struct KeyDecoder {
    unsigned char held[KEY_DECODE_MAX_SEQUENCE];  // the sequence so far, from its ESC
    int heldLength;                               // 0: no sequence under way
    int overflowed;  // the sequence outgrew held[] and is being discarded
};

struct KeyCodes {
    int count;    // 1 for a key with a character, 2 for one without
    int code[2];  // 0..255
};

// Puts a decoder into its starting state (a zeroed struct is that state too).
void KeyDecodeReset(struct KeyDecoder* decoder);

// Takes one byte. On KEY_DECODE_KEY *codes holds the key; otherwise *codes is
// left alone. A KEY result can leave a new sequence under way (after ESC ESC
// the first is the key 27 and the second starts a sequence).
enum KeyDecodeStatus KeyDecodeFeed(struct KeyDecoder* decoder, unsigned char byte,
                                   struct KeyCodes* codes);

// True while bytes of an unfinished sequence are held.
int KeyDecodePending(const struct KeyDecoder* decoder);

// True when only the ESC itself is held: the wait that decides between the
// key 27 and a sequence is under way.
int KeyDecodeLoneEscape(const struct KeyDecoder* decoder);

// The wait for more bytes timed out: a lone ESC gives KEY_DECODE_KEY with 27;
// a partial sequence is dropped (KEY_DECODE_NOTHING). The decoder is reset.
enum KeyDecodeStatus KeyDecodeFlush(struct KeyDecoder* decoder, struct KeyCodes* codes);

#endif  // CABLETEST_APP_KEYDECODE_H
