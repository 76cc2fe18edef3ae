// What a port's device is to us at this moment, found the way the open finds
// it: shared by the listing and the cause of a refused open on POSIX.
#ifndef CABLETEST_APP_PORTS_POSIX_H
#define CABLETEST_APP_PORTS_POSIX_H

#include <sys/stat.h>

#include <string>

// What ProbePort found.
enum PortUse {
    PORT_FREE,            // opened and locked, and let go again
    PORT_IN_USE,          // held by another program
    PORT_SYSTEM_CONSOLE,  // carries the system console: never opened
    PORT_OWN_TERMINAL,    // the operator's own terminal: never opened
    PORT_NO_ACCESS,       // the open was refused for want of permission
    PORT_MISSING,         // no such file
    PORT_NOT_TERMINAL,    // a file that is no terminal
    PORT_UNKNOWN          // none of these could be told
};

// The folder port names are looked up in: CABLETEST_DEVICE_DIR, else /dev.
std::string DeviceFolder(void);

// The root of the kernel's device data: CABLETEST_SYSFS_DIR, else /sys.
std::string SysfsRoot(void);

// Looks at the device file at path as the open does: the console and the
// operator's terminal are never opened; anything else is opened without
// waiting and locked as the open locks it, then let go. *device gets the
// file's status when it has one.
enum PortUse ProbePort(const std::string& path, struct stat* device);

// The program that holds the device, from /proc: the owner of a lock on it
// (/proc/locks), else a process with it open. FALSE when /proc does not tell.
bool FindHolder(const struct stat& device, long* pid, std::string* program);

#endif  // CABLETEST_APP_PORTS_POSIX_H
