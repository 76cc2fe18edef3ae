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
BOOL g_portLost;

// How long a lost port's close waits for the watcher to finish its round: a
// driver ends a pending comm-event wait when the handle is closed, so this
// is only a guard against one that does not.
#define WATCH_ROUND_LIMIT_MS 1000

// SetCommState checks DCBlength against the record it was built for.
static_assert(sizeof(DCB) == 28, "DCB must have the Windows layout");

// Refuses a name too long for the device-name field (deviceName, of
// PORT_NAME_MAX + 1 bytes), then copies it there and forms the path the
// platform opens it under. FALSE, with the failure set, when either step
// refuses.
static BOOL PreparePortName(const char* name, char* deviceName, char* devicePath,
                            size_t devicePathSize) {
    // A longer name is refused rather than cut: a cut name could open
    // somebody else's port. memchr looks no further than the
    // field, so nothing is read past a short buffer either.
    if (memchr(name, '\0', PORT_NAME_MAX + 1) == NULL) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    strcpy(deviceName, name);

    // On Windows the device namespace, so that com10 and above open too;
    // messages keep the name the operator gave.
    if (!DevicePathForPort(deviceName, devicePath, devicePathSize)) {
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

const char* CommPortName(const char* name) {
    return (name == NULL || name[0] == '\0') ? "com1" : name;
}

// The open and the line settings shared by the first open and the reopen of
// a lost port; nothing printed. INVALID_HANDLE_VALUE, with the last error
// set, when the port does not open.
static HANDLE OpenConfiguredPort(const char* name) {
    char deviceName[PORT_NAME_MAX + 1];
    char devicePath[sizeof deviceName + 8];

    if (!PreparePortName(name, deviceName, devicePath, sizeof devicePath)) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE port = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }

    // No driver events until the watcher arms EV_RXCHAR.
    SetCommMask(port, 0);
    SetupComm(port, 4096, 4096);
    SetLineFormat(port);
    SetImmediateReads(port);
    return port;
}

HANDLE OpenCommPort(const char* name) {
    name = CommPortName(name);
    HANDLE port = OpenConfiguredPort(name);
    if (port == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Print("Open %s failed %d\n", name, (int)error);
        // The caller looks for the cause by this code; printing may have
        // changed it.
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }

    g_readRequest.hEvent = CreateEventA(NULL, TRUE, FALSE, PrivateEventName("Reader"));
    g_writeRequest.hEvent = CreateEventA(NULL, TRUE, FALSE, PrivateEventName("Writer"));

    return port;
}

void CloseLostPort(void) {
    // The close ends a comm-event wait the watcher has on the port. While a
    // request is still set the watcher's round is not over, and the round
    // may still use the handle it took from g_port.
    CloseHandle(g_port);
    if (g_watchThread != NULL && WaitForSingleObject(g_waitEvent, 0) == WAIT_OBJECT_0) {
        HANDLE roundOver[2] = {g_rxReadyEvent, g_watchThread};
        WaitForMultipleObjects(2, roundOver, FALSE, WATCH_ROUND_LIMIT_MS);
    }
    g_port = INVALID_HANDLE_VALUE;
}

BOOL ReopenLostPort(const char* name) {
    HANDLE port = OpenConfiguredPort(CommPortName(name));
    if (port == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    // The watcher armed the first port when it started; a new handle starts
    // with no events. The request events stay as they were.
    SetCommMask(port, EV_RXCHAR);
    g_port = port;
    g_portLost = FALSE;
    return TRUE;
}
