// The line context (the state of the one serial line that the application
// thread, the watcher and the receiver share) and the opening of the port.
#include "serial/line.h"

#include <cstring>

#include "common/output.h"
#include "serial/platform_names.h"
#include "serial/record.h"

LONG g_running;
OVERLAPPED g_readRequest;
OVERLAPPED g_writeRequest;
HANDLE g_port;
HANDLE g_rxReadyEvent;
HANDLE g_queuedEvent;
HANDLE g_waitEvent;
DWORD g_lastEventMask;
BYTE g_rxByte;
HANDLE g_watchThread;
DWORD g_watchThreadId;

// SetCommState checks DCBlength against the record it was built for.
static_assert(sizeof(DCB) == 28, "DCB must have the Windows layout");

// Refuses a name too long for the device-name field (deviceName, of
// PORT_NAME_MAX + 1 bytes), then copies it there and forms the path the
// platform opens it under. FALSE, with the failure printed and set, when
// either step refuses.
static BOOL PreparePortName(const char* name, char* deviceName, char* devicePath,
                            size_t devicePathSize) {
    // A longer name is refused rather than cut: ttyUSB10 cut to ttyUSB1
    // would open somebody else's port. memchr looks no further than the
    // field, so nothing is read past a short buffer either.
    if (memchr(name, '\0', PORT_NAME_MAX + 1) == NULL) {
        Print("Open %s failed %d\n", name, (int)ERROR_FILENAME_EXCED_RANGE);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    strcpy(deviceName, name);

    // On Windows the device namespace, so that com10 and above open too;
    // messages keep the name the operator gave.
    if (!DevicePathForPort(deviceName, devicePath, devicePathSize)) {
        Print("Open %s failed %d\n", deviceName, (int)ERROR_FILENAME_EXCED_RANGE);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return TRUE;
}

// Every field is written, so the line does not depend on what the previous
// user of the port left behind. The flag word comes to 0x1001.
static void SetLineFormat(HANDLE port) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    GetCommState(port, &dcb);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;  // raised only to sample DSR
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.fDummy2 = 0;
    dcb.wReserved = 0;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = '\x11';
    dcb.XoffChar = '\x13';
    dcb.ErrorChar = '\xFF';
    dcb.EofChar = '\xFE';
    dcb.EvtChar = '\xFD';
    dcb.wReserved1 = 0;
    if (!SetCommState(port, &dcb)) {
        // The first call that can meet a device pulled out as it opens.
        RecordCallFailed();
    }
}

// A read returns at once with what is queued, possibly nothing: the receiver
// does its own waiting, through the watcher.
static void SetImmediateReads(HANDLE port) {
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    GetCommTimeouts(port, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 5000;
    SetCommTimeouts(port, &timeouts);
}

HANDLE OpenCommPort(const char* name) {
    char deviceName[PORT_NAME_MAX + 1];
    char devicePath[sizeof deviceName + 8];

    if (name == NULL || name[0] == '\0') {
        name = "com1";
    }
    if (!PreparePortName(name, deviceName, devicePath, sizeof devicePath)) {
        return INVALID_HANDLE_VALUE;
    }

    HANDLE port = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Print("Open %s failed %d\n", deviceName, (int)error);
        return INVALID_HANDLE_VALUE;
    }

    // No driver events until the watcher arms EV_RXCHAR.
    SetCommMask(port, 0);
    SetupComm(port, 4096, 4096);
    SetLineFormat(port);
    SetImmediateReads(port);

    g_readRequest.hEvent = CreateEventA(NULL, TRUE, FALSE, PrivateEventName("Reader"));
    g_writeRequest.hEvent = CreateEventA(NULL, TRUE, FALSE, PrivateEventName("Writer"));

    return port;
}
