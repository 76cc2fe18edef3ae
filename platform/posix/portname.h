// Which file a port name given to CreateFileA stands for, and which devices
// carry the system console and so must never be opened as a serial line.
//
// The name mapping is a pure function (no I/O), so that it can be tested and
// fuzzed on its own. The console lookup reads sysfs and is kept apart.
#ifndef CABLETEST_PLATFORM_POSIX_PORTNAME_H
#define CABLETEST_PLATFORM_POSIX_PORTNAME_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace posixlayer {

enum class PortKind {
    Simulated,  // the built-in simulated line; *path is left empty
    Device,     // a device file; *path names it
    Invalid,    // not a name that may be opened; *path is left empty
};

// Maps a port name to what it opens:
//   "comN"  (any letter case; N decimal, from 1, without a leading zero)
//           -> <dir>/ttyS<N-1>; N may have any number of digits: the
//           subtraction is done on the digits, so a huge N cannot overflow
//           (it names a device that does not exist).
//   "sim"   (any letter case) -> the simulated line.
//   "/dev/<rest>" (absolute, under /dev) -> <dir>/<rest>, so that a name
//           copied from the system (/dev/serial/by-id/...) is looked up in
//           the device folder like its relative form.
//   "/<other>" (absolute, outside /dev) -> itself, but only while <dir> is
//           /dev: with any other folder it is refused, so that nothing run
//           against a folder of its own reaches this machine's devices.
//   other   -> <dir>/<name>, e.g. ttyUSB10, ttyACM0, pts/3,
//           serial/by-id/usb-... . "com0" and "com01" are such other names:
//           they are not serial port numbers.
// <dir> is deviceDir (the caller passes CABLETEST_DEVICE_DIR when set, else
// "/dev"); a null or empty deviceDir means "/dev".
//
// Refused (Invalid): a null or empty name, an absolute name outside /dev
// while <dir> is another folder, a name with a ".." path component, and a
// name with a control character (below 0x20, or 0x7f), so that a name can
// never climb out of the folder it is looked up in or smuggle in a line
// break. Bytes from 0x80 up pass unchanged.
PortKind MapPortName(const char* name, const char* deviceDir, std::string* path);

// The device numbers (major, minor) that carry the system console, found
// under sysClassTty (normally "/sys/class/tty"): every terminal listed in
// console/active, followed through the "active" file of each (tty0 stands for
// the virtual terminal in front, tty1 for instance), plus /dev/tty (5:0) and
// /dev/console (5:1) themselves. Missing or unreadable files add nothing.
// Defined in tty.cpp, next to the open that uses it.
std::vector<std::pair<unsigned, unsigned>> ConsoleDeviceNumbers(const std::string& sysClassTty);

// Whether the device number is the calling process's controlling terminal,
// which is refused like a console. Defined in tty.cpp too.
bool IsControllingTerminal(dev_t rdev);

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_PORTNAME_H
