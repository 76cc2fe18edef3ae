// The port-name mapping of CreateFileA: from the name the operator typed to
// the device file (or the simulated line). Pure: no I/O.
#include "platform/posix/portname.h"

#include <cstring>

namespace posixlayer {

namespace {

bool EqualsIgnoreCase(const char* text, size_t length, const char* lower) {
    if (std::strlen(lower) != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lower[i]) {
            return false;
        }
    }
    return true;
}

// The digits of N after "com", when the name is a serial port number: all
// decimal digits, at least one, no leading zero (so not 0 either).
bool IsComNumber(const char* name, size_t length) {
    if (length < 4 || !EqualsIgnoreCase(name, 3, "com")) {
        return false;
    }
    if (name[3] < '1' || name[3] > '9') {
        return false;
    }
    for (size_t i = 4; i < length; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    return true;
}

// N-1 on decimal digits, so that no N is too large. The input is >= 1.
std::string DecrementDecimal(std::string digits) {
    size_t i = digits.size();
    while (i > 0) {
        --i;
        if (digits[i] != '0') {
            --digits[i];
            break;
        }
        digits[i] = '9';
    }
    if (digits.size() > 1 && digits[0] == '0') {
        digits.erase(0, 1);
    }
    return digits;
}

bool HasDotDotComponent(const char* name, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || name[i] == '/') {
            if (i - start == 2 && name[start] == '.' && name[start + 1] == '.') {
                return true;
            }
            start = i + 1;
        }
    }
    return false;
}

bool HasControlCharacter(const char* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

// The folder with exactly one slash at its end.
std::string FolderWithSlash(const char* deviceDir) {
    std::string dir = (deviceDir == nullptr || deviceDir[0] == '\0') ? "/dev" : deviceDir;
    if (dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

// An absolute name: under /dev it is looked up in the folder; elsewhere it is
// itself, but only when the folder is /dev.
PortKind MapAbsoluteName(const char* name, const std::string& dir, std::string* path) {
    const size_t length = std::strlen(name);
    if (std::strncmp(name, "/dev", 4) == 0 && (length == 4 || name[4] == '/')) {
        size_t rest = 4;
        while (name[rest] == '/') {
            ++rest;
        }
        *path = dir + (name + rest);
        return PortKind::Device;
    }
    if (dir != "/dev/") {
        return PortKind::Invalid;
    }
    *path = name;
    return PortKind::Device;
}

}  // namespace

PortKind MapPortName(const char* name, const char* deviceDir, std::string* path) {
    path->clear();
    if (name == nullptr || name[0] == '\0') {
        return PortKind::Invalid;
    }
    const size_t length = std::strlen(name);
    if (HasControlCharacter(name, length) || HasDotDotComponent(name, length)) {
        return PortKind::Invalid;
    }
    if (EqualsIgnoreCase(name, length, "sim")) {
        return PortKind::Simulated;
    }

    const std::string dir = FolderWithSlash(deviceDir);
    if (name[0] == '/') {
        return MapAbsoluteName(name, dir, path);
    }
    if (IsComNumber(name, length)) {
        *path = dir + "ttyS" + DecrementDecimal(std::string(name + 3, length - 3));
    } else {
        *path = dir + name;
    }
    return PortKind::Device;
}

}  // namespace posixlayer
