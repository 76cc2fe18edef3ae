// Event names and port paths for the POSIX layer, which keeps event names as
// labels and maps port names itself.
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
