// Event names, port paths and device names for the POSIX layer, which keeps
// event names as labels, maps port names itself and tells a device from a
// file by what is there.
#include <cstring>

#include "serial/platform_names.h"

LPCSTR PrivateEventName(LPCSTR label) {
    return label;
}

BOOL DevicePathForPort(LPCSTR name, char* out, size_t size) {
    size_t length = strlen(name);
    if (length >= size) {
        if (size > 0)
            out[0] = '\0';
        return FALSE;
    }
    memcpy(out, name, length + 1);
    return TRUE;
}

BOOL NamesADevice(LPCSTR path) {
    (void)path;
    return FALSE;
}
