// The serial ports of a Windows machine for --list: the COM ports in the
// registry's serial device map, with the friendly names of the Ports class's
// devices; and the cause of a refused open, which Windows tells by its code
// alone.
#include "platform/win32.h"

// After <windows.h>, which it needs.
#include <setupapi.h>
#include <stdlib.h>
#include <string.h>

#include "app/natural_order.h"
#include "app/ports.h"
#include "common/output.h"

// The Ports (COM and LPT) device class, {4d36e978-e325-11ce-bfc1-08002be10318}.
static const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

#define LISTED_PORTS_MAX 256
#define LISTED_TEXT_MAX 256

struct ListedPort {
    char name[LISTED_TEXT_MAX];          // "COM3", as the map gives it
    char friendlyName[LISTED_TEXT_MAX];  // "" when the device data has none
};

static struct ListedPort g_listedPorts[LISTED_PORTS_MAX];
static int g_listedPortCount;

// The COM ports of the serial device map: one value per port, its data the
// port's name.
static void ReadSerialDeviceMap(void) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0; g_listedPortCount < LISTED_PORTS_MAX; ++index) {
        // The value's data goes straight into the next free record, which
        // counts only when the data is a name.
        struct ListedPort* port = &g_listedPorts[g_listedPortCount];
        char valueName[LISTED_TEXT_MAX];
        DWORD valueNameSize = sizeof valueName;
        DWORD type = 0;
        DWORD dataSize = sizeof port->name - 1;
        LONG result = RegEnumValueA(key, index, valueName, &valueNameSize, NULL, &type,
                                    (BYTE*)port->name, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != ERROR_SUCCESS || type != REG_SZ || dataSize == 0) {
            continue;
        }
        port->name[dataSize] = '\0';
        port->friendlyName[0] = '\0';
        if (port->name[0] != '\0') {
            ++g_listedPortCount;
        }
    }
    RegCloseKey(key);
}

static struct ListedPort* FindListedPort(const char* name) {
    for (int i = 0; i < g_listedPortCount; ++i) {
        if (_stricmp(g_listedPorts[i].name, name) == 0) {
            return &g_listedPorts[i];
        }
    }
    return NULL;
}

// The "PortName" of one device of the Ports class, from its device key.
static BOOL DevicePortName(HDEVINFO devices, SP_DEVINFO_DATA* device, char* name, DWORD size) {
    HKEY key = SetupDiOpenDevRegKey(devices, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    DWORD type = 0;
    DWORD length = size - 1;
    LONG result = RegQueryValueExA(key, "PortName", NULL, &type, (BYTE*)name, &length);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) {
        return FALSE;
    }
    name[length] = '\0';
    return TRUE;
}

// Friendly names ("USB Serial Port (COM3)") from the present devices of the
// Ports class, matched to the map's ports by their PortName.
static void ReadFriendlyNames(void) {
    HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, NULL, NULL, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        char portName[LISTED_TEXT_MAX];
        if (!DevicePortName(devices, &device, portName, sizeof portName)) {
            continue;
        }
        struct ListedPort* port = FindListedPort(portName);
        if (port == NULL) {
            continue;
        }
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, &type,
                                               (BYTE*)port->friendlyName,
                                               sizeof port->friendlyName - 1, NULL) ||
            type != REG_SZ) {
            port->friendlyName[0] = '\0';
        }
        port->friendlyName[sizeof port->friendlyName - 1] = '\0';
    }
    SetupDiDestroyDeviceInfoList(devices);
}

static int CompareListedPorts(const void* a, const void* b) {
    return NaturalCompare(((const struct ListedPort*)a)->name, ((const struct ListedPort*)b)->name);
}

int ListSerialPorts(void) {
    g_listedPortCount = 0;
    ReadSerialDeviceMap();
    ReadFriendlyNames();
    qsort(g_listedPorts, (size_t)g_listedPortCount, sizeof g_listedPorts[0], CompareListedPorts);
    if (g_listedPortCount == 0) {
        Print("no serial ports found\n");
    }
    for (int i = 0; i < g_listedPortCount; ++i) {
        if (g_listedPorts[i].friendlyName[0] != '\0') {
            Print("%s  %s\n", g_listedPorts[i].name, g_listedPorts[i].friendlyName);
        } else {
            Print("%s\n", g_listedPorts[i].name);
        }
    }
    return 0;
}

// Windows tells a port that is held by another program and one that the user
// may not open by the same code, 5; held is by far the usual case for a COM
// port. Other codes have no cause line.
void ExplainOpenFailure(LPCSTR name, DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND) {
        PrintError("%s: no such port; cabletest --list shows the ports\n", name);
    } else if (error == ERROR_ACCESS_DENIED) {
        PrintError("%s: in use by another program\n", name);
    }
}
