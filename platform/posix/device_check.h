// The one look at a port's device, shared by the open, the cause of a refused
// open and --list, and the provider's record of why the last open of a port
// was refused. The device is taken by a path-only descriptor (O_PATH), which
// opens nothing: that descriptor is checked, and the open goes through it
// (/proc/self/fd/N), so that what was checked is what is opened even when a
// link under the port's name is pointed elsewhere meanwhile.
//
// The app may use this header (its POSIX sources do); the rest of the
// provider stays behind win32.h.
#ifndef CABLETEST_PLATFORM_POSIX_DEVICE_CHECK_H
#define CABLETEST_PLATFORM_POSIX_DEVICE_CHECK_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace posixlayer {

// What the look at a device (or the open after it) found.
enum class DeviceVerdict {
    Usable,         // a character device that may be opened
    Missing,        // no such file, or a name the mapping refuses
    NotTerminal,    // no terminal device: info tells what it is
    SystemConsole,  // carries the system console, or is a virtual console
    OwnTerminal,    // the operator's own terminal (or /dev/tty, which is it)
    NoAccess,       // the open was refused for want of permission
    InUse,          // the open found the device held by another program
    VirtualClock,   // a device while the clock is virtual, where only sim opens
    SimulatedLine,  // the simulated line refused: reason says why
    Unknown,        // none of these: err tells what failed
};

struct DeviceCheck {
    DeviceVerdict verdict = DeviceVerdict::Unknown;
    int pathFd = -1;      // the O_PATH descriptor while it is held
    struct stat info {};  // the file's status, once it was found
    int err = 0;          // errno of the failure, where one failed
};

// Takes the file at path by an O_PATH descriptor (links followed) and checks
// that descriptor: a character device that is neither a console nor the
// operator's own terminal is Usable, and keeps its descriptor for the open;
// for any other verdict the descriptor is already closed.
DeviceCheck CheckDevice(const std::string& path);
// Closes the descriptor of a check, if it still has one.
void ReleaseDeviceCheck(DeviceCheck* check);

// The device numbers (major, minor) that carry the system console, found
// under sysClassTty (normally "/sys/class/tty"): every terminal listed in
// console/active, followed through the "active" file of each (tty0 stands for
// the virtual terminal in front, tty1 for instance), plus /dev/tty (5:0) and
// /dev/console (5:1) themselves. Missing or unreadable files add nothing.
std::vector<std::pair<unsigned, unsigned>> ConsoleDeviceNumbers(const std::string& sysClassTty);

// Whether the device number is the calling process's controlling terminal,
// which is refused like a console.
bool IsControllingTerminal(dev_t rdev);

// Why the last CreateFileA of a port was refused. verdict is Usable when the
// last open succeeded or failed before a port was looked for.
struct OpenRefusal {
    DeviceVerdict verdict = DeviceVerdict::Usable;
    std::string path;     // the device file, "" for a name the mapping refused
    struct stat info {};  // the device as it was checked, where it was found
    std::string reason;   // the simulated line's own words, one line
    int err = 0;          // errno of the failure, where a call failed
};

// The provider's side: the record is cleared as each open starts and set by
// the part that refused it.
void ClearOpenRefusal();
void NoteOpenRefusal(const OpenRefusal& refusal);
// The app's side: the record of the last refused open.
OpenRefusal LastOpenRefusal();

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_DEVICE_CHECK_H
