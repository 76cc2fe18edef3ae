// The Windows checks' serial device map: makes HKLM\HARDWARE\DEVICEMAP\SERIALCOMM hold exactly
// the values given as NAME=DATA arguments (none: an empty map), as a driver would at start-up.
//
// HKLM\HARDWARE is volatile, and a volatile key takes only volatile subkeys, which reg.exe cannot
// create; with Wine's port detection off nothing else creates them. A volatile key lives as long
// as the wineserver does, so the checks keep one server running across this and the listings.
#include <windows.h>

#include <cstdio>
#include <cstring>

static HKEY CreateVolatileKey(HKEY parent, const char* name) {
    HKEY key = NULL;
    LONG result = RegCreateKeyExA(parent, name, 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL,
                                  &key, NULL);
    if (result != ERROR_SUCCESS) {
        fprintf(stderr, "devicemap: cannot create %s: %ld\n", name, result);
        return NULL;
    }
    return key;
}

int main(int argc, char* argv[]) {
    HKEY map = CreateVolatileKey(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP");
    if (map == NULL) {
        return 1;
    }
    // Starts from an empty map: the key goes with its values.
    LONG deleted = RegDeleteKeyA(map, "SERIALCOMM");
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
        fprintf(stderr, "devicemap: cannot empty SERIALCOMM: %ld\n", deleted);
        return 1;
    }
    HKEY serial = CreateVolatileKey(map, "SERIALCOMM");
    if (serial == NULL) {
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        char* data = strchr(argv[i], '=');
        if (data == NULL) {
            fprintf(stderr, "devicemap: not NAME=DATA: %s\n", argv[i]);
            return 2;
        }
        *data++ = '\0';
        LONG result =
            RegSetValueExA(serial, argv[i], 0, REG_SZ, (const BYTE*)data, (DWORD)strlen(data) + 1);
        if (result != ERROR_SUCCESS) {
            fprintf(stderr, "devicemap: cannot set %s: %ld\n", argv[i], result);
            return 1;
        }
    }
    RegCloseKey(serial);
    RegCloseKey(map);
    return 0;
}
