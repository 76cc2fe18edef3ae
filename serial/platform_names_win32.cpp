// Event names and port paths for the real Win32 API.
#include <cstdio>

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
