// The line settings of the tty back end, between the Win32 record (DCB) and
// termios, both ways. Pure functions (no I/O), so that the subset the back end
// provides can be tested on its own.
//
// The subset is the line the program itself sets up: 9600 baud, 8 data bits,
// no parity, one stop bit, binary, no parity checking, no flow control of any
// kind (CTS, DSR, DSR sensitivity, XON/XOFF), no error or null character
// replacement, no abort on error, DTR and RTS each enabled or disabled. Every
// other record is refused with ERROR_NOT_SUPPORTED; fields that only matter
// for something refused (the XON/XOFF limits and characters, the error, end
// and event characters) are not looked at.
#ifndef CABLETEST_PLATFORM_POSIX_TTY_SETTINGS_H
#define CABLETEST_PLATFORM_POSIX_TTY_SETTINGS_H

#include <termios.h>

#include "platform/win32.h"

namespace posixlayer {

// Whether the record asks for the one line the back end provides.
bool DcbInTtySubset(const DCB& dcb);

// The record as termios: *current made a raw line (bytes pass unchanged, no
// echo, no signals, no flow control, reception whatever the modem lines say)
// at the record's rate and framing, where a read wakes on one byte. False,
// with *error ERROR_NOT_SUPPORTED and *out untouched, for a record outside
// the subset.
bool TermiosFromDcb(const DCB& dcb, const struct termios& current, struct termios* out,
                    DWORD* error);

// Whether a device took what was asked: tcsetattr succeeds when any part of
// a change was taken, and a driver may keep a framing or rate of its own.
bool TermiosTaken(const struct termios& asked, const struct termios& taken);

// What the device runs at, into the record: rate, byte size, parity and stop
// bits; the rest of *dcb stays. A rate other than 9600 leaves BaudRate as it
// was.
void DcbFromTermios(const struct termios& t, DCB* dcb);

// The modem lines (TIOCM_ bits) the record asks raised and lowered.
void ModemLinesFromDcb(const DCB& dcb, int* set, int* clear);

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_TTY_SETTINGS_H
