// The machine's serial ports as the operator meets them: the listing of
// --list, and the cause of a refused open in words. Both look at the system's
// own device data, so each platform has its own source.
#ifndef CABLETEST_APP_PORTS_H
#define CABLETEST_APP_PORTS_H

#include "platform/win32.h"

// Prints the serial ports of the machine, sorted by name in natural order
// (ttyS2 before ttyS10). Each port is a block: a first line that starts with
// the name to give the program, then a short summary; further lines indented
// by two spaces. "no serial ports found" when there are none. Returns the
// program's exit code, 0.
int ListSerialPorts(void);

// After "Open <name> failed <error>": one line on standard error that names
// the cause and what to do about it, when the cause is known; nothing
// otherwise.
void ExplainOpenFailure(LPCSTR name, DWORD error);

#endif  // CABLETEST_APP_PORTS_H
