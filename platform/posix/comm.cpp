// The Win32 serial-port operations of the POSIX layer: argument checks, the
// records Windows keeps per port (line settings, time-outs, event mask), the
// overlapped comm-event wait, and the dispatch to the tty or the simulated
// line.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/posix/layer.h"
#include "platform/posix/portname.h"

namespace posixlayer {
namespace {

// The status of a request that has not completed yet, as Windows keeps it in
// OVERLAPPED.Internal.
constexpr ULONG_PTR kStatusPending = 0x103;

std::shared_ptr<PortObject> FindPort(HANDLE handle) {
    return Find<PortObject>(handle, Kind::Port);
}

// A port that can be used: found, and its device not gone.
std::shared_ptr<PortObject> UsablePort(HANDLE handle) {
    std::shared_ptr<PortObject> port = FindPort(handle);
    if (port != nullptr && port->gone) {
        Fail(port->goneError);
        return nullptr;
    }
    return port;
}

// The same, for a call that reads or fills in a record of the caller's,
// which must be there.
std::shared_ptr<PortObject> UsablePort(HANDLE handle, const void* record) {
    std::shared_ptr<PortObject> port = UsablePort(handle);
    if (port != nullptr && record == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return port;
}

// A device or log file opened while a standard stream is closed would take
// its descriptor, and the program's reports would be written into it: on a
// serial device, sent down the line. A closed standard stream is given
// /dev/null first (open() takes the lowest free descriptor).
void KeepStandardStreamsTaken() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                close(null);
            }
        }
    }
}

void SetInitialRecords(PortObject* port) {
    DCB& dcb = port->dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = port->isSim ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    // Reads return at once with what is queued: the only read behaviour the
    // layer has.
    port->timeouts.ReadIntervalTimeout = MAXDWORD;
    port->timeouts.ReadTotalTimeoutMultiplier = 0;
    port->timeouts.ReadTotalTimeoutConstant = 0;
    port->timeouts.WriteTotalTimeoutMultiplier = 0;
    port->timeouts.WriteTotalTimeoutConstant = 0;
}

bool BackEndStatus(PortObject* port, DWORD* errors, DWORD* inQueue, DWORD* error) {
    return port->isSim ? SimStatus(port, errors, inQueue, error)
                       : TtyStatus(port, errors, inQueue, error);
}

}  // namespace

void CompleteCommWait(PortObject* port, DWORD mask, DWORD error) {
    CommWait& wait = port->wait;
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
    WakeAll();
}

void MarkGone(PortObject* port, DWORD error) {
    if (!port->gone) {
        port->gone = true;
        port->goneError = error;
    }
    // The first cause stands: a wait fails with the error every later call
    // gives.
    CompleteCommWait(port, 0, port->goneError);
    WakeAll();
}

void ClosePortLocked(PortObject* port) {
    CompleteCommWait(port, 0, ERROR_OPERATION_ABORTED);
    port->wait.active = false;
    if (port->isSim) {
        SimClose(port);
    } else if (port->tty != nullptr) {
        TtyInterruptWait(port);
    }
    // Nothing of the port is usable under another handle value.
    port->gone = true;
    port->goneError = ERROR_INVALID_HANDLE;
}

}  // namespace posixlayer

using namespace posixlayer;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creation, DWORD flags, HANDLE templateFile) {
    if (name == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Serial ports opened the one way the system opens them: read and write,
    // exclusive, existing, overlapped.
    DWORD attributeFlags = flags & ~FILE_ATTRIBUTE_NORMAL;
    if (access != (GENERIC_READ | GENERIC_WRITE) || shareMode != 0 || attributes != nullptr ||
        creation != OPEN_EXISTING || attributeFlags != FILE_FLAG_OVERLAPPED ||
        templateFile != nullptr) {
        Fail(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    KeepStandardStreamsTaken();
    const char* dir = getenv("CABLETEST_DEVICE_DIR");
    if (dir == nullptr || *dir == '\0') {
        dir = "/dev";
    }
    std::string path;
    PortKind kind = MapPortName(name, dir, &path);
    if (kind == PortKind::Invalid) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Virtual time cannot pass for a real device, whose bytes come in real
    // time.
    if (kind == PortKind::Device && IsVirtualClock()) {
        Fail(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }

    auto port = std::make_shared<PortObject>();
    port->name = name;
    port->isSim = kind == PortKind::Simulated;
    SetInitialRecords(port.get());

    Lock lock(LayerMutex());
    DWORD error = ERROR_GEN_FAILURE;
    bool opened = port->isSim ? SimOpen(port.get(), &error) : TtyOpen(path, port.get(), &error);
    if (!opened) {
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = AddHandle(port);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file);
    if (port == nullptr) {
        return FALSE;
    }
    if (inQueue == 0 || outQueue == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // The kernel's queues are its own; the sizes bound the simulated line's
    // receive queue and are kept for the record.
    port->inQueueSize = inQueue;
    port->outQueueSize = outQueue;
    return TRUE;
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file, dcb);
    if (port == nullptr) {
        return FALSE;
    }
    DCB state = port->dcb;
    if (!port->isSim) {
        DWORD error = ERROR_GEN_FAILURE;
        if (!TtyReadState(port.get(), &state, &error)) {
            return Fail(error);
        }
    }
    state.DCBlength = sizeof(DCB);
    *dcb = state;
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file, dcb);
    if (port == nullptr) {
        return FALSE;
    }
    DWORD error = ERROR_GEN_FAILURE;
    bool applied = port->isSim ? SimApplyState(port.get(), *dcb, &error)
                               : TtyApplyState(port.get(), *dcb, &error);
    if (!applied) {
        return Fail(error);
    }
    port->dcb = *dcb;
    port->dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file, timeouts);
    if (port == nullptr) {
        return FALSE;
    }
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file, timeouts);
    if (port == nullptr) {
        return FALSE;
    }
    // Reads here never block; any read time-out but "return at once with
    // what is queued" would be a promise the layer cannot keep. Nothing is
    // ever written, so the write time-outs are only kept.
    if (timeouts->ReadIntervalTimeout != MAXDWORD || timeouts->ReadTotalTimeoutMultiplier != 0 ||
        timeouts->ReadTotalTimeoutConstant != 0) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD mask) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file);
    if (port == nullptr) {
        return FALSE;
    }
    if ((mask & ~EV_RXCHAR) != 0) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    port->eventMask = mask;
    // On Windows a new mask ends a pending comm-event wait, with mask 0.
    if (port->wait.active && !port->wait.done) {
        CompleteCommWait(port.get(), 0, ERROR_SUCCESS);
        if (!port->isSim) {
            TtyInterruptWait(port.get());
        }
    }
    return TRUE;
}

BOOL GetCommMask(HANDLE file, LPDWORD mask) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file, mask);
    if (port == nullptr) {
        return FALSE;
    }
    *mask = port->eventMask;
    return TRUE;
}

BOOL WaitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file);
    if (port == nullptr) {
        return FALSE;
    }
    if (overlapped == nullptr) {
        return Fail(ERROR_NOT_SUPPORTED);  // only the overlapped form
    }
    if (mask == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // One wait at a time, and none without an event to wait for, as on
    // Windows.
    if ((port->wait.active && !port->wait.done) || port->eventMask == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD errors = 0;
    DWORD queued = 0;
    DWORD error = ERROR_GEN_FAILURE;
    if (!BackEndStatus(port.get(), &errors, &queued, &error)) {
        return Fail(error);
    }
    // The query took these from the driver; ClearCommError still reports
    // them.
    port->pendingErrors |= errors;
    if (queued > 0) {
        *mask = EV_RXCHAR;
        overlapped->Internal = ERROR_SUCCESS;
        overlapped->InternalHigh = 0;
        port->wait = CommWait();
        SignalEventHandle(overlapped->hEvent);
        return TRUE;
    }
    ResetEventHandle(overlapped->hEvent);
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    CommWait wait;
    wait.active = true;
    wait.request = overlapped;
    wait.maskOut = mask;
    port->wait = wait;
    return Fail(ERROR_IO_PENDING);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    Lock lock(LayerMutex());
    auto port = FindPort(file);
    if (port == nullptr) {
        return FALSE;
    }
    if (overlapped == nullptr || transferred == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    CommWait& pending = port->wait;
    if (pending.active && pending.request == overlapped) {
        if (!pending.done) {
            if (port->isSim) {
                // The simulated line completes the wait from the clock.
                while (wait && port->wait.active && !port->wait.done) {
                    Block(lock, kNever);
                }
            } else {
                do {
                    TtyWaitEvent(port.get(), lock, wait);
                } while (wait && port->wait.active && !port->wait.done);
            }
        }
        // Unless another thread collected it meanwhile, the wait is this
        // call's to collect; its result is in the request record either way.
        if (port->wait.active && port->wait.request == overlapped) {
            if (!port->wait.done) {
                return Fail(ERROR_IO_INCOMPLETE);
            }
            port->wait = CommWait();
        }
    }
    if (overlapped->Internal == kStatusPending) {
        return Fail(ERROR_IO_INCOMPLETE);
    }
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS) {
        return Fail(static_cast<DWORD>(overlapped->Internal));
    }
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    Lock lock(LayerMutex());
    if (read != nullptr) {
        *read = 0;
    }
    auto port = UsablePort(file);
    if (port == nullptr) {
        return FALSE;
    }
    if (overlapped == nullptr || (buffer == nullptr && toRead > 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD got = 0;
    DWORD error = ERROR_GEN_FAILURE;
    BYTE* bytes = static_cast<BYTE*>(buffer);
    bool ok = port->isSim ? SimRead(port.get(), bytes, toRead, &got, &error)
                          : TtyRead(port.get(), bytes, toRead, &got, &error);
    if (!ok) {
        overlapped->Internal = error;
        overlapped->InternalHigh = 0;
        return Fail(error);
    }
    // Completed at once: the count is valid now and the event is signalled,
    // as for an overlapped read that finishes synchronously on Windows.
    if (read != nullptr) {
        *read = got;
    }
    overlapped->Internal = ERROR_SUCCESS;
    overlapped->InternalHigh = got;
    SignalEventHandle(overlapped->hEvent);
    return TRUE;
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file);
    if (port == nullptr) {
        return FALSE;
    }
    DWORD found = 0;
    DWORD queued = 0;
    DWORD error = ERROR_GEN_FAILURE;
    if (!BackEndStatus(port.get(), &found, &queued, &error)) {
        return Fail(error);
    }
    found |= port->pendingErrors;
    port->pendingErrors = 0;
    if (errors != nullptr) {
        *errors = found;
    }
    if (status != nullptr) {
        memset(status, 0, sizeof *status);
        status->cbInQue = queued;
    }
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file);
    if (port == nullptr) {
        return FALSE;
    }
    if (function < SETRTS || function > CLRDTR) {
        return Fail(ERROR_NOT_SUPPORTED);  // XON/XOFF and break are not provided
    }
    DWORD error = ERROR_GEN_FAILURE;
    bool ok = port->isSim ? SimEscape(port.get(), function, &error)
                          : TtyEscape(port.get(), function, &error);
    return ok ? TRUE : Fail(error);
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
    Lock lock(LayerMutex());
    auto port = UsablePort(file, modemStatus);
    if (port == nullptr) {
        return FALSE;
    }
    DWORD status = 0;
    DWORD error = ERROR_GEN_FAILURE;
    bool ok = port->isSim ? SimModemStatus(port.get(), &status, &error)
                          : TtyModemStatus(port.get(), &status, &error);
    if (!ok) {
        return Fail(error);
    }
    *modemStatus = status;
    return TRUE;
}
