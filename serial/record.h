// The recording of the line (--record FILE): everything the program observed
// on the line, written as it happens in the simulated line's script format,
// so that the line's behaviour can be taken home and replayed exactly with
// CABLETEST_SIM_SCRIPT=FILE on the port sim. Platform-neutral: a recording
// made on Windows replays on the simulated line elsewhere.
//
// Every call but RecordCreate does nothing while no recording is open.
#ifndef CABLETEST_SERIAL_RECORD_H
#define CABLETEST_SERIAL_RECORD_H

#include "platform/win32.h"

// Opens FILE for appending, creating it when it does not exist; a regular
// file only. FALSE, with "cabletest: cannot create the recording FILE:
// <reason>" on standard error, when it cannot be opened or is anything else
// (a device, a FIFO, a socket, a folder), which is then left as it was.
BOOL RecordCreate(const char* path);

// The port is open: the recording's time 0. Writes the comment line that
// names the program's version, the port and the time of day.
void RecordStart(const char* portName, const char* version);

// A byte the program read from the line: "<ms> bytes 1 1 <hex>".
void RecordByte(BYTE value);

// A status query that answered: its error bits ("<ms> error
// frame|overrun|parity|break", and a comment for bits that have no word in
// the script format) and the count of bytes it saw waiting.
void RecordStatus(DWORD errors, DWORD queued);

// The watcher reported a byte waiting.
void RecordByteWaiting(void);

// A call on the port failed. The port may have been lost from this moment
// on (from the open, when it comes before RecordStart): the next
// RecordUnplug dates the loss from the first failure since the last status
// query that answered.
void RecordCallFailed(void);

// One modem status sample taken with DTR raised: each input line that
// changed since the last sample ("<ms> cable|cts|ring|rlsd on|off"), DSR as
// the cable, which loops DTR back to it. All lines start off, as on the
// simulated line.
void RecordModemStatus(DWORD modemStatus);

// The port lost, and open again: "<ms> unplug", "<ms> replug". RecordUnplug
// is called where the loss is certain (a failed status query or read), at
// once, so that a run ended right after still has it; only its first call
// per loss writes. Bytes the program saw waiting but lost with the port
// before it read them go in just before the unplug, at the time they were
// seen, so that a replay has them waiting there too.
void RecordUnplug(void);
void RecordReplug(void);

#endif  // CABLETEST_SERIAL_RECORD_H
