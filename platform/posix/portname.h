// Which file a port name given to CreateFileA stands for. The mapping is a
// pure function (no I/O), so that it can be tested and fuzzed on its own;
// what the file is, console or not, is device_check.h's to tell.
#ifndef CABLETEST_PLATFORM_POSIX_PORTNAME_H
#define CABLETEST_PLATFORM_POSIX_PORTNAME_H

#include <string>

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

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_PORTNAME_H
