// The serial line: the process-wide line context shared by the application
// thread, the comm-event watcher and the byte receiver, and the routines that
// open the port, watch it and take bytes from it.
#ifndef CABLETEST_SERIAL_LINE_H
#define CABLETEST_SERIAL_LINE_H

#include "platform/win32.h"

// ---- the line context ---------------------------------------------------------
// All zero at program start and never freed. The threads meet only through
// the events below, which are all manual-reset; there are no locks.
// g_port changes only while the port is lost, and only between two of the
// watcher's rounds (CloseLostPort).

extern LONG g_running;             // the watcher loops while non-zero
extern OVERLAPPED g_readRequest;   // every one-byte read; hEvent "Reader"
extern OVERLAPPED g_writeRequest;  // hEvent "Writer"; nothing is transmitted
extern HANDLE g_port;              // the open device
extern HANDLE g_rxReadyEvent;      // "RxRdyEvent": a comm-event wait has ended
extern HANDLE g_queuedEvent;       // "QueuedEvent": second wake-up of the receive wait
extern HANDLE g_waitEvent;         // "WaitEvent": the receiver asks for a wait
extern DWORD g_lastEventMask;      // mask of the watcher's last comm-event wait
extern BYTE g_rxByte;              // receive buffer of the monitoring loop
extern HANDLE g_watchThread;
extern DWORD g_watchThreadId;
extern BOOL g_portLost;  // a line-status query failed: the device has gone

// Longest port name OpenCommPort takes: its device-name field holds 255
// characters and the terminator, and so does the start-up buffer of main.
#define PORT_NAME_MAX 255

// The name a port is opened and reported under: "com1" for a null or empty
// name, else the name itself.
const char* CommPortName(const char* name);

// Opens and configures the device (9600 8N1, no flow control, DTR low, RTS
// high, reads that return at once) and creates the request events. A null or
// empty name opens "com1". On failure prints "Open %s failed %d\n" and returns
// INVALID_HANDLE_VALUE with that code as the last error.
HANDLE OpenCommPort(const char* name);

// Lets the lost port go: closes g_port and, once a comm-event wait the
// watcher still had on it is over, leaves INVALID_HANDLE_VALUE there.
void CloseLostPort(void);

// One silent try to open the lost port again under its name, configured as
// OpenCommPort configures it and with the receive events armed. TRUE, with
// the port in g_port and g_portLost cleared, when it opened.
BOOL ReopenLostPort(const char* name);

// The comm-event watcher thread: answers each request on "WaitEvent" with one
// comm-event wait, whose mask it leaves in g_lastEventMask before it sets
// "RxRdyEvent". 0 when its event cannot be created, 1 when its loop ends; a
// port that fails to arm (lost as it opened) does not end it.
DWORD WINAPI CommWatchThread(LPVOID parameter);

// At most one received byte within timeoutMs: 1 when a byte was stored in
// buffer, 0 when none was.
DWORD ReadCommByte(BYTE* buffer, DWORD timeoutMs);

// RTS dropped for 50 ms and raised again.
void EscapePulse(void);

#endif  // CABLETEST_SERIAL_LINE_H
