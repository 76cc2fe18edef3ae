// Event names, port paths and device names for the real Win32 API.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "serial/platform_names.h"

LPCSTR PrivateEventName(LPCSTR label) {
    // Per thread: the watcher names its own event while the application
    // thread may be naming others.
    static thread_local char name[64];
    int length = snprintf(name, sizeof name, "cabletest-%lu-%s",
                          static_cast<unsigned long>(GetCurrentProcessId()), label);
    // A label too long for the buffer would be cut and could meet another
    // label's name: such an event goes unnamed, which is private as well.
    if (length < 0 || static_cast<size_t>(length) >= sizeof name)
        return NULL;
    return name;
}

BOOL DevicePathForPort(LPCSTR name, char* out, size_t size) {
    if (size == 0)
        return FALSE;
    int length = snprintf(out, size, "\\\\.\\%s", name);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        out[0] = '\0';
        return FALSE;
    }
    return TRUE;
}

// A path component that Windows takes for a reserved device: its base name
// (up to the first '.' or ':', trailing blanks dropped) is one of them.
static BOOL IsReservedName(const char* part) {
    static const char* const kFixed[] = {"CON", "CONIN$", "CONOUT$", "PRN", "AUX", "NUL"};
    char base[8];
    size_t length = strcspn(part, ".:");
    while (length > 0 && part[length - 1] == ' ')
        --length;
    if (length == 0 || length >= sizeof base)
        return FALSE;
    for (size_t i = 0; i < length; ++i)
        base[i] = (char)toupper((unsigned char)part[i]);
    base[length] = '\0';
    for (const char* fixed : kFixed)
        if (strcmp(base, fixed) == 0)
            return TRUE;
    return length == 4 && (strncmp(base, "COM", 3) == 0 || strncmp(base, "LPT", 3) == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

static BOOL IsSeparator(char c) {
    return c == '\\' || c == '/';
}

BOOL NamesADevice(LPCSTR path) {
    if (IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == '.' || path[2] == '?') &&
        IsSeparator(path[3])) {
        const char* rest = path + 4;
        BOOL drive = isalpha((unsigned char)rest[0]) && rest[1] == ':';
        BOOL unc = _strnicmp(rest, "UNC", 3) == 0 && IsSeparator(rest[3]);
        return path[2] == '.' || !(drive || unc);
    }
    const char* last = path;
    for (const char* c = path; *c != '\0'; ++c)
        if (IsSeparator(*c) || (c == path + 1 && *c == ':'))
            last = c + 1;
    return IsReservedName(last);
}
