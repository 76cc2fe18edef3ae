// Names that the program hands to the platform, made as each platform needs
// them: event names that stay private to the process, and the path under
// which a serial port is opened. Each platform has its own source.
#ifndef CABLETEST_SERIAL_PLATFORM_NAMES_H
#define CABLETEST_SERIAL_PLATFORM_NAMES_H

#include <cstddef>

#include "platform/win32.h"

// The name to give CreateEventA for the event known as label ("RxRdyEvent").
// On Windows a named event is a system-wide object that a second copy of the
// program would open too, so the name is made unique to this process
// ("cabletest-<process id>-<label>"); the POSIX layer keeps names as labels
// only, so there it is the label itself. The result stays valid until the
// calling thread asks for the next name.
LPCSTR PrivateEventName(LPCSTR label);

// Writes the path under which the port name is opened into out: on Windows
// the device namespace "\\.\" before the name, so that com10 and above open
// as well as com1 to com9; on POSIX the name itself (the layer maps it).
// FALSE, with out left empty, when it does not fit in size bytes.
BOOL DevicePathForPort(LPCSTR name, char* out, size_t size);

#endif  // CABLETEST_SERIAL_PLATFORM_NAMES_H
