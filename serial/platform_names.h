// Names that the program hands to the platform, made as each platform needs
// them: event names that stay private to the process, the path under which a
// serial port is opened, and the names that stand for devices. Each platform
// has its own source.
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

// TRUE when the platform opens path as a device by its name alone, which a
// file the program writes must never be: on Windows the device namespace
// ("\\.\com3", "\\?\" but for a drive or UNC path) and the reserved names
// (CON, CONIN$, CONOUT$, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in any
// letter case and folder, also with an extension or a colon), since even an
// open that writes nothing raises a serial port's DTR and RTS. On POSIX never:
// the layer looks at what a name leads to without opening it.
BOOL NamesADevice(LPCSTR path);

#endif  // CABLETEST_SERIAL_PLATFORM_NAMES_H
