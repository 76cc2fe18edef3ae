// The Win32 serial-port operations of the POSIX provider, its top layer:
// argument checks, the records Windows keeps per port (line settings,
// time-outs, event mask) and the overlapped comm-event wait, on the port
// interface (port.h) whatever its back end.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/posix/device_check.h"
#include "platform/posix/port.h"
#include "platform/posix/portname.h"

namespace posixlayer {
namespace {

// The status of a request that has not completed yet, as Windows keeps it in
// OVERLAPPED.Internal.
constexpr ULONG_PTR kStatusPending = 0x103;

// What a call asks of its port before doing its own work.
struct Needs {
    // The device still there: every call but the collection of a result,
    // which a gone device still has.
    bool usable;
    // A record of the caller's that the call reads or fills in, which must
    // be there.
    bool record;
    const void* pointer;
};
constexpr Needs kUsable{true, false, nullptr};
constexpr Needs kEvenIfGone{false, false, nullptr};
Needs UsableWith(const void* record) {
    return Needs{true, true, record};
}

BOOL Result(DWORD error) {
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

// The preamble every comm call shares: the lock for the whole call, the port
// behind the handle and what the call needs of it, each refusal with its own
// error; then op(port, lock), whose result is the call's.
template <typename Op>
BOOL OnPort(HANDLE file, const Needs& needs, Op op) {
    Lock lock(LayerMutex());
    Port* port = Find<Port>(file, Kind::Port);
    if (port == nullptr) {
        return FALSE;
    }
    // Declared after the lock, so that a port closed meanwhile goes with the
    // lock still held.
    const Held held(port);
    if (needs.usable && port->gone) {
        return Fail(port->goneError);
    }
    if (needs.record && needs.pointer == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return op(*port, lock);
}

// The files that are not ports, each opened the one way the program opens
// it, shared for reading: appended to, written anew, or read. False when the
// call is none of them.
bool IsFileOpen(DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes, DWORD creation,
                DWORD flags, HANDLE templateFile, FileUse* use) {
    if (shareMode != FILE_SHARE_READ || attributes != nullptr || flags != FILE_ATTRIBUTE_NORMAL ||
        templateFile != nullptr) {
        return false;
    }
    if (access == FILE_APPEND_DATA && creation == OPEN_ALWAYS) {
        *use = FileUse::Append;
    } else if (access == GENERIC_WRITE && creation == CREATE_ALWAYS) {
        *use = FileUse::Replace;
    } else if (access == GENERIC_READ && creation == OPEN_EXISTING) {
        *use = FileUse::Read;
    } else {
        return false;
    }
    return true;
}

// Serial ports are opened the one way the system opens them: read and
// write, exclusive, existing, overlapped.
bool IsExclusiveOverlappedOpen(DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                               DWORD creation, DWORD flags, HANDLE templateFile) {
    const DWORD attributeFlags = flags & ~FILE_ATTRIBUTE_NORMAL;
    return access == (GENERIC_READ | GENERIC_WRITE) && shareMode == 0 && attributes == nullptr &&
           creation == OPEN_EXISTING && attributeFlags == FILE_FLAG_OVERLAPPED &&
           templateFile == nullptr;
}

// What a name opens; false with the last error set when it may not be
// opened.
bool PortForName(const char* name, PortKind* kind, std::string* path) {
    const char* dir = getenv("CABLETEST_DEVICE_DIR");
    if (dir == nullptr || *dir == '\0') {
        dir = "/dev";
    }
    *kind = MapPortName(name, dir, path);
    OpenRefusal refusal;
    refusal.path = *path;
    if (*kind == PortKind::Invalid) {
        refusal.verdict = DeviceVerdict::Missing;
        NoteOpenRefusal(refusal);
        Fail(ERROR_FILE_NOT_FOUND);
        return false;
    }
    // Virtual time cannot pass for a real device, whose bytes come in real
    // time.
    if (*kind == PortKind::Device && IsVirtualClock()) {
        refusal.verdict = DeviceVerdict::VirtualClock;
        NoteOpenRefusal(refusal);
        Fail(ERROR_NOT_SUPPORTED);
        return false;
    }
    return true;
}

// A comm event that has already happened: the request completes at once.
void CompleteAtOnce(Port& port, DWORD* mask, OVERLAPPED* overlapped) {
    *mask = EV_RXCHAR;
    overlapped->Internal = ERROR_SUCCESS;
    overlapped->InternalHigh = 0;
    port.wait = CommWait();
    SignalEventHandle(overlapped->hEvent);
}

// The request stays pending until the back end or the clock completes it.
void StartPending(Port& port, DWORD* mask, OVERLAPPED* overlapped) {
    ResetEventHandle(overlapped->hEvent);
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    CommWait wait;
    wait.active = true;
    wait.request = overlapped;
    wait.maskOut = mask;
    port.wait = wait;
}

// GetOverlappedResult's part for a pending comm-event wait on this request:
// waits for it (with wait) and collects it. ERROR_SUCCESS when the request's
// own record now tells the result.
DWORD CollectCommWait(Port& port, Lock& lock, OVERLAPPED* overlapped, bool wait) {
    if (!port.wait.active || port.wait.request != overlapped) {
        return ERROR_SUCCESS;
    }
    if (!port.wait.done) {
        port.AwaitCommEvent(lock, wait);
    }
    // Unless another thread collected it meanwhile, the wait is this call's
    // to collect; its result is in the request record either way.
    if (port.wait.active && port.wait.request == overlapped) {
        if (!port.wait.done) {
            return ERROR_IO_INCOMPLETE;
        }
        port.wait = CommWait();
    }
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace posixlayer

using namespace posixlayer;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creation, DWORD flags, HANDLE templateFile) {
    if (name == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    FileUse use = FileUse::Read;
    if (IsFileOpen(access, shareMode, attributes, creation, flags, templateFile, &use)) {
        return OpenFile(name, use);
    }
    if (!IsExclusiveOverlappedOpen(access, shareMode, attributes, creation, flags, templateFile)) {
        Fail(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    ClearOpenRefusal();
    PortKind kind = PortKind::Invalid;
    std::string path;
    if (!PortForName(name, &kind, &path)) {
        return INVALID_HANDLE_VALUE;
    }
    Lock lock(LayerMutex());
    DWORD error = ERROR_GEN_FAILURE;
    std::shared_ptr<Port> port =
        kind == PortKind::Simulated ? OpenSimPort(&error) : OpenTtyPort(path, &error);
    if (port == nullptr) {
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = AddHandle(port);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    return OnPort(file, kUsable, [&](Port& port, Lock&) {
        if (inQueue == 0 || outQueue == 0) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        // The kernel's queues are its own; the receive size bounds the
        // simulated line's queue, and nothing is ever sent.
        port.inQueueSize = inQueue;
        return TRUE;
    });
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    return OnPort(file, UsableWith(dcb), [&](Port& port, Lock&) {
        DCB state = port.dcb;
        const DWORD error = port.ReadState(&state);
        if (error != ERROR_SUCCESS) {
            return Fail(error);
        }
        state.DCBlength = sizeof(DCB);
        *dcb = state;
        return TRUE;
    });
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    return OnPort(file, UsableWith(dcb), [&](Port& port, Lock&) {
        const DWORD error = port.ApplyState(*dcb);
        if (error != ERROR_SUCCESS) {
            return Fail(error);
        }
        port.dcb = *dcb;
        port.dcb.DCBlength = sizeof(DCB);
        return TRUE;
    });
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    return OnPort(file, UsableWith(timeouts), [&](Port& port, Lock&) {
        *timeouts = port.timeouts;
        return TRUE;
    });
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    return OnPort(file, UsableWith(timeouts), [&](Port& port, Lock&) {
        // Reads here never block; any read time-out but "return at once
        // with what is queued" would be a promise the provider cannot keep.
        // Nothing is ever written, so the write time-outs are only kept.
        if (timeouts->ReadIntervalTimeout != MAXDWORD ||
            timeouts->ReadTotalTimeoutMultiplier != 0 || timeouts->ReadTotalTimeoutConstant != 0) {
            return Fail(ERROR_NOT_SUPPORTED);
        }
        port.timeouts = *timeouts;
        return TRUE;
    });
}

BOOL SetCommMask(HANDLE file, DWORD mask) {
    return OnPort(file, kUsable, [&](Port& port, Lock&) {
        if ((mask & ~EV_RXCHAR) != 0) {
            return Fail(ERROR_NOT_SUPPORTED);
        }
        port.eventMask = mask;
        // On Windows a new mask ends a pending comm-event wait, with mask 0.
        if (port.wait.active && !port.wait.done) {
            port.CompleteCommWait(0, ERROR_SUCCESS);
            port.InterruptWait();
        }
        return TRUE;
    });
}

BOOL GetCommMask(HANDLE file, LPDWORD mask) {
    return OnPort(file, UsableWith(mask), [&](Port& port, Lock&) {
        *mask = port.eventMask;
        return TRUE;
    });
}

BOOL WaitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped) {
    return OnPort(file, kUsable, [&](Port& port, Lock&) {
        if (overlapped == nullptr) {
            return Fail(ERROR_NOT_SUPPORTED);  // only the overlapped form
        }
        // One wait at a time, and none without an event to wait for, as on
        // Windows.
        if (mask == nullptr || (port.wait.active && !port.wait.done) || port.eventMask == 0) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        DWORD errors = 0;
        DWORD queued = 0;
        const DWORD error = port.Status(&errors, &queued);
        if (error != ERROR_SUCCESS) {
            return Fail(error);
        }
        // The query took these from the driver; ClearCommError still
        // reports them.
        port.pendingErrors |= errors;
        if (queued > 0) {
            CompleteAtOnce(port, mask, overlapped);
            return TRUE;
        }
        StartPending(port, mask, overlapped);
        return Fail(ERROR_IO_PENDING);
    });
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    return OnPort(file, kEvenIfGone, [&](Port& port, Lock& lock) {
        if (overlapped == nullptr || transferred == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        const DWORD error = CollectCommWait(port, lock, overlapped, wait != FALSE);
        if (error != ERROR_SUCCESS) {
            return Fail(error);
        }
        if (overlapped->Internal == kStatusPending) {
            return Fail(ERROR_IO_INCOMPLETE);
        }
        *transferred = static_cast<DWORD>(overlapped->InternalHigh);
        if (overlapped->Internal != ERROR_SUCCESS) {
            return Fail(static_cast<DWORD>(overlapped->Internal));
        }
        return TRUE;
    });
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read != nullptr) {
        *read = 0;
    }
    if (overlapped == nullptr) {
        return ReadFromFile(file, buffer, toRead, read);
    }
    return OnPort(file, kUsable, [&](Port& port, Lock&) {
        if (buffer == nullptr && toRead > 0) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        DWORD got = 0;
        const DWORD error = port.Read(static_cast<BYTE*>(buffer), toRead, &got);
        if (error != ERROR_SUCCESS) {
            overlapped->Internal = error;
            overlapped->InternalHigh = 0;
            return Fail(error);
        }
        // Completed at once: the count is valid now and the event is
        // signalled, as for an overlapped read that finishes synchronously
        // on Windows.
        if (read != nullptr) {
            *read = got;
        }
        overlapped->Internal = ERROR_SUCCESS;
        overlapped->InternalHigh = got;
        SignalEventHandle(overlapped->hEvent);
        return TRUE;
    });
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    return OnPort(file, kUsable, [&](Port& port, Lock&) {
        DWORD found = 0;
        DWORD queued = 0;
        const DWORD error = port.Status(&found, &queued);
        if (error != ERROR_SUCCESS) {
            return Fail(error);
        }
        found |= port.pendingErrors;
        port.pendingErrors = 0;
        if (errors != nullptr) {
            *errors = found;
        }
        if (status != nullptr) {
            memset(status, 0, sizeof *status);
            status->cbInQue = queued;
        }
        return TRUE;
    });
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    return OnPort(file, kUsable, [&](Port& port, Lock&) {
        if (function < SETRTS || function > CLRDTR) {
            return Fail(ERROR_NOT_SUPPORTED);  // XON/XOFF and break are not provided
        }
        return Result(port.Escape(function));
    });
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
    return OnPort(file, UsableWith(modemStatus), [&](Port& port, Lock&) {
        DWORD status = 0;
        const DWORD error = port.ModemStatus(&status);
        if (error != ERROR_SUCCESS) {
            return Fail(error);
        }
        *modemStatus = status;
        return TRUE;
    });
}
