// Fuzz target for the port-name mapping of CreateFileA. The input is a port
// name, or a device folder, a NUL byte and a port name. Properties checked:
// - a name that is empty, has a ".." component or a control character, or is
//   absolute outside /dev while the folder is not /dev, is refused and names
//   no path;
// - only "sim" (any letter case) is the simulated line;
// - an absolute name outside /dev (folder /dev) is its own path;
// - any other name maps to a path that starts with the device folder and '/',
//   whose part after it has no ".." component, does not start with '/', and
//   is the name itself (for /dev/<rest>: rest), or ttyS<N-1> for comN
//   (checked by counting back up);
// - no folder, an empty folder and "/dev" are the same folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/posix/portname.h"

using posixlayer::MapPortName;
using posixlayer::PortKind;

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsSim(const std::string& name) {
    return name.size() == 3 && Lower(name[0]) == 's' && Lower(name[1]) == 'i' &&
           Lower(name[2]) == 'm';
}

bool HasDotDot(const std::string& s) {
    size_t start = 0;
    while (true) {
        size_t slash = s.find('/', start);
        size_t end = slash == std::string::npos ? s.size() : slash;
        if (s.compare(start, end - start, "..") == 0 && end - start == 2)
            return true;
        if (slash == std::string::npos)
            return false;
        start = slash + 1;
    }
}

bool HasControl(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

bool AllDigits(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// The N of "comN" when the name is one (digits from 1, no leading zero); "".
std::string ComNumber(const std::string& name) {
    if (name.size() < 4 || Lower(name[0]) != 'c' || Lower(name[1]) != 'o' ||
        Lower(name[2]) != 'm') {
        return "";
    }
    std::string n = name.substr(3);
    return (AllDigits(n) && n[0] != '0') ? n : "";
}

std::string PlusOne(std::string digits) {
    size_t i = digits.size();
    while (i > 0) {
        --i;
        if (digits[i] != '9') {
            ++digits[i];
            return digits;
        }
        digits[i] = '0';
    }
    return "1" + digits;
}

// Under /dev: "/dev" itself or "/dev/..." (not "/devices").
bool IsUnderDev(const std::string& name) {
    return name.compare(0, 4, "/dev") == 0 && (name.size() == 4 || name[4] == '/');
}

// A relative name's path after the folder: the name, or ttyS<N-1> for comN.
void CheckRelative(const std::string& name, const std::string& rest) {
    FUZZ_CHECK(!rest.empty() && rest[0] != '/', "the part after the folder is relative");
    FUZZ_CHECK(!HasDotDot(rest), "the part after the folder has no '..' component");
    FUZZ_CHECK(!HasControl(rest), "the part after the folder has no control character");

    const std::string n = ComNumber(name);
    if (n.empty()) {
        FUZZ_CHECK(rest == name, "a name that is not comN is taken as it is");
    } else {
        FUZZ_CHECK(rest.compare(0, 4, "ttyS") == 0, "comN is a ttyS device");
        const std::string m = rest.substr(4);
        FUZZ_CHECK(AllDigits(m) && (m == "0" || m[0] != '0'), "ttyS and a plain number");
        FUZZ_CHECK(PlusOne(m) == n, "comN is ttyS<N-1>");
    }
}

void CheckOne(const char* dir, const std::string& name) {
    std::string path = "junk left by the caller";
    PortKind kind = MapPortName(name.c_str(), dir, &path);

    std::string prefix = (dir == nullptr || dir[0] == '\0') ? "/dev" : dir;
    if (prefix.back() != '/')
        prefix += '/';
    const bool absolute = !name.empty() && name[0] == '/';
    const bool outside = absolute && !IsUnderDev(name);
    const bool refused =
        name.empty() || HasDotDot(name) || HasControl(name) || (outside && prefix != "/dev/");
    if (refused) {
        FUZZ_CHECK(kind == PortKind::Invalid, "a name that could leave the folder is refused");
        FUZZ_CHECK(path.empty(), "a refused name names no path");
        return;
    }
    if (IsSim(name)) {
        FUZZ_CHECK(kind == PortKind::Simulated, "sim in any case is the simulated line");
        FUZZ_CHECK(path.empty(), "the simulated line names no path");
        return;
    }
    FUZZ_CHECK(kind == PortKind::Device, "any other name is a device");
    if (outside) {
        FUZZ_CHECK(path == name, "an absolute name outside /dev is its own path");
        return;
    }

    FUZZ_CHECK(path.compare(0, prefix.size(), prefix) == 0, "the path starts with the folder, '/'");
    const std::string rest = path.substr(prefix.size());
    if (absolute) {
        const size_t start = name.find_first_not_of('/', 4);
        FUZZ_CHECK(rest == (start == std::string::npos ? "" : name.substr(start)),
                   "/dev/<rest> is <rest> in the folder");
        return;
    }
    CheckRelative(name, rest);
}

}  // namespace

extern "C" int CABLETEST_FUZZ_ENTRY(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    if (nul == std::string::npos) {
        // No folder given: the default, however it is spelt.
        CheckOne(nullptr, input);
        CheckOne("", input);
        CheckOne("/dev", input);
        CheckOne("/dev/", input);
        return 0;
    }
    const std::string dir = input.substr(0, nul);
    std::string name = input.substr(nul + 1);
    name = name.substr(0, name.find('\0'));  // a C string ends at its NUL
    CheckOne(dir.c_str(), name);
    return 0;
}
