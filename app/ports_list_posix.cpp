// The serial ports of a Linux machine for --list: the tty devices that have a
// driver behind them in sysfs, what the kernel knows of each, the stable
// names udev gives them, and whether they are in use, all without opening
// any of them.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "app/natural_order.h"
#include "app/ports.h"
#include "app/ports_posix.h"
#include "common/output.h"
#include "platform/posix/device_check.h"

// One port as listed.
struct ListedPort {
    std::string name;     // under the device folder
    std::string summary;  // driver, USB ids, use; ", " between
    std::vector<std::string> details;
};

// The first line of a small sysfs file, "" when it cannot be read.
static std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

static std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != NULL ? resolved : "";
}

static std::vector<std::string> FolderEntries(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == NULL) {
        return names;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            names.push_back(entry->d_name);
        }
    }
    closedir(dir);
    return names;
}

// For std::sort: the names in natural order.
static bool NaturalLess(const std::string& a, const std::string& b) {
    return NaturalCompare(a.c_str(), b.c_str()) < 0;
}

// A legacy port, ttyS<n>.
static bool IsLegacyName(const std::string& name) {
    return name.size() > 4 && name.compare(0, 4, "ttyS") == 0 &&
           name.find_first_not_of("0123456789", 4) == std::string::npos;
}

// The tty devices with a driver behind them. The 8250 driver makes ttyS
// devices for ports that may not be there; those without a UART have port
// type 0 (unknown).
static std::vector<std::string> SerialTtyNames(const std::string& sysClassTty) {
    std::vector<std::string> names;
    for (const std::string& name : FolderEntries(sysClassTty)) {
        const std::string entry = sysClassTty + "/" + name;
        if (access((entry + "/device").c_str(), F_OK) != 0) {
            continue;
        }
        if (IsLegacyName(name) && atol(ReadLine(entry + "/type").c_str()) == 0) {
            continue;
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

// The driver of the device, looked for from the device up: recent kernels
// put a serial-core port and controller of their own between a UART and its
// driver.
static std::string DriverName(const std::string& device) {
    std::string dir = RealPath(device);
    for (int level = 0; level < 4 && dir.size() > 1; ++level) {
        char target[PATH_MAX];
        ssize_t length = readlink((dir + "/driver").c_str(), target, sizeof target - 1);
        if (length > 0) {
            const std::string link(target, (size_t)length);
            if (link.find("/serial-base/") == std::string::npos) {
                return link.substr(link.rfind('/') + 1);
            }
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
    return "";
}

// The USB device above the tty device, if any: the first folder up that has
// idVendor, within sysfs.
static std::string UsbDeviceFolder(const std::string& device, const std::string& sysfs) {
    std::string dir = RealPath(device);
    const std::string root = RealPath(sysfs);
    for (int level = 0; level < 8 && !root.empty() && dir.size() > root.size() + 1 &&
                        dir.compare(0, root.size(), root) == 0 && dir[root.size()] == '/';
         ++level) {
        if (access((dir + "/idVendor").c_str(), F_OK) == 0) {
            return dir;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
    return "";
}

// "usb: 0403:6001 FTDI / FT232R USB UART / serial A50285BI", with what the
// device tells of itself; *ids gets "0403:6001".
static std::string UsbDetails(const std::string& usb, std::string* ids) {
    *ids = ReadLine(usb + "/idVendor") + ":" + ReadLine(usb + "/idProduct");
    std::string text = "usb: " + *ids;
    const char* separator = " ";
    for (const char* file : {"manufacturer", "product", "serial"}) {
        const std::string value = ReadLine(usb + "/" + file);
        if (!value.empty()) {
            text += separator + (std::string(file) == "serial" ? "serial " + value : value);
            separator = " / ";
        }
    }
    return text;
}

// The names udev gave the device in a folder of links (serial/by-id,
// serial/by-path), as names the program takes: "by-id: serial/by-id/...".
static void AddLinkNames(const std::string& linkFolder, const struct stat& device,
                         std::vector<std::string>* details) {
    const std::string folder = DeviceFolder() + "/serial/" + linkFolder;
    std::vector<std::string> links = FolderEntries(folder);
    std::sort(links.begin(), links.end(), NaturalLess);
    for (const std::string& link : links) {
        struct stat target;
        if (stat((folder + "/" + link).c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
            target.st_rdev == device.st_rdev) {
            details->push_back(linkFolder + ": serial/" + linkFolder + "/" + link);
        }
    }
}

// "in use by NAME (pid N)", "console", and so on, from the provider's check
// and what the system tells of the device's users; "" for a port that is
// free or cannot be looked at. Nothing here opens the device: an open would
// raise DTR and RTS on it, which resets many a board at the far end.
static std::string UseText(const posixlayer::DeviceCheck& check, const std::string& path) {
    std::string text;
    switch (check.verdict) {
        case posixlayer::DeviceVerdict::SystemConsole:
            return "console";
        case posixlayer::DeviceVerdict::OwnTerminal:
            return "console (your own terminal)";
        case posixlayer::DeviceVerdict::Usable:
            if (FindHolder(check.info, path, &text)) {
                return text;
            }
            return OpenElsewhere(check.info) ? "in use by another program" : "";
        default:
            return "";
    }
}

static void AddToSummary(std::string* summary, const std::string& item) {
    if (!item.empty()) {
        *summary += (summary->empty() ? "" : ", ") + item;
    }
}

// What is known of the tty device `name` (its sysfs name).
static struct ListedPort DescribePort(const std::string& sysfs, const std::string& name) {
    struct ListedPort port;
    port.name = name;
    // sysfs spells a '/' in a device name as '!'.
    std::replace(port.name.begin(), port.name.end(), '!', '/');
    const std::string device = sysfs + "/class/tty/" + name + "/device";
    AddToSummary(&port.summary, DriverName(device));
    const std::string usb = UsbDeviceFolder(device, sysfs);
    if (!usb.empty()) {
        std::string ids;
        port.details.push_back(UsbDetails(usb, &ids));
        AddToSummary(&port.summary, "usb " + ids);
    }
    const std::string path = DeviceFolder() + "/" + port.name;
    posixlayer::DeviceCheck check = posixlayer::CheckDevice(path);
    posixlayer::ReleaseDeviceCheck(&check);
    if (S_ISCHR(check.info.st_mode)) {
        AddLinkNames("by-id", check.info, &port.details);
        AddLinkNames("by-path", check.info, &port.details);
        AddToSummary(&port.summary, UseText(check, path));
    }
    return port;
}

static void PrintPort(const struct ListedPort& port) {
    std::string first = port.name;
    // comN opens ttyS<N-1>; a number too long for a long is no port anyway.
    if (IsLegacyName(port.name) && port.name.size() < 14) {
        first += " (com" + std::to_string(atol(port.name.c_str() + 4) + 1) + ")";
    }
    if (!port.summary.empty()) {
        first += "  " + port.summary;
    }
    Print("%s\n", first.c_str());
    for (const std::string& line : port.details) {
        Print("  %s\n", line.c_str());
    }
}

int ListSerialPorts(void) {
    const std::string sysfs = SysfsRoot();
    const std::vector<std::string> names = SerialTtyNames(sysfs + "/class/tty");
    if (names.empty()) {
        Print("no serial ports found\n");
    }
    for (const std::string& name : names) {
        PrintPort(DescribePort(sysfs, name));
    }
    return 0;
}
