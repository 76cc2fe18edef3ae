// What every serial port of the POSIX provider shares, whatever its back end:
// the records of a fresh port, the end of a pending comm-event wait, a device
// that is gone, and the closing of the handle.
#include "platform/posix/port.h"

#include <cstring>

namespace posixlayer {

Port::Port(DWORD rtsControl) : Object(Kind::Port) {
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = rtsControl;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    // Reads return at once with what is queued: the only read behaviour the
    // provider has.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
}

void Port::CompleteCommWait(DWORD mask, DWORD error) {
    if (!wait.active || wait.done) {
        return;
    }
    wait.done = true;
    // As on Windows, the mask reaches the caller's word when the wait ends,
    // not when it is collected.
    if (wait.maskOut != nullptr) {
        *wait.maskOut = mask;
    }
    wait.request->Internal = error;
    wait.request->InternalHigh = 0;
    SignalEventHandle(wait.request->hEvent);
    Wake(&wait);
}

void Port::MarkGone(DWORD error) {
    if (!gone) {
        gone = true;
        goneError = error;
    }
    // The first cause stands: a wait fails with the error every later call
    // gives.
    CompleteCommWait(0, goneError);
}

void Port::HandleClosing() {
    CompleteCommWait(0, ERROR_OPERATION_ABORTED);
    wait.active = false;
    ReleaseOnClose();
    // Nothing of the port is usable under another handle value.
    gone = true;
    goneError = ERROR_INVALID_HANDLE;
}

void Port::AwaitCommEvent(Lock& lock, bool block) {
    do {
        LookForCommEvent(lock, block);
    } while (block && wait.active && !wait.done);
}

DWORD Port::ReadState(DCB*) {
    return ERROR_SUCCESS;  // the record is all there is
}

}  // namespace posixlayer
