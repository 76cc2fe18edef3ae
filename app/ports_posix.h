// Where a POSIX machine keeps its ports, and who uses a port's device, as the
// system tells without opening it: shared by the listing and the cause of a
// refused open on POSIX.
#ifndef CABLETEST_APP_PORTS_POSIX_H
#define CABLETEST_APP_PORTS_POSIX_H

#include <sys/stat.h>

#include <string>

// The folder port names are looked up in: CABLETEST_DEVICE_DIR, else /dev.
std::string DeviceFolder(void);

// The root of the kernel's device data: CABLETEST_SYSFS_DIR, else /sys.
std::string SysfsRoot(void);

// The program known to hold the device found at path: the owner of a lock on
// it in /proc/locks, else of a UUCP lock file for its name. *text gets
// "in use by <program> (pid <n>)", or "in use by another program" when /proc
// does not tell the program. FALSE when no holder is known; a process that
// merely has the device open is not one.
bool FindHolder(const struct stat& device, const std::string& path, std::string* text);

// Whether another process has the device open, as far as /proc lets us see.
bool OpenElsewhere(const struct stat& device);

#endif  // CABLETEST_APP_PORTS_POSIX_H
