// Handles and the per-thread last error of the POSIX provider, the mapping of
// errno values to Win32 codes, and MessageBoxA, the one call of the subset
// that needs neither an object nor the clock.
#include "platform/posix/handles.h"

#include <cerrno>
#include <cstdio>
#include <map>

namespace posixlayer {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

std::map<uintptr_t, std::shared_ptr<Object>>& HandleTable() {
    static std::map<uintptr_t, std::shared_ptr<Object>> table;
    return table;
}
// Small values that look like Windows handles and are never reused, so that
// a stale handle is refused rather than reaching another object.
uintptr_t g_nextHandle = 0x40;
// Files count apart, so that opening one does not move the handles of the
// objects opened after it (the port's handle is shown in debug output).
uintptr_t g_nextFileHandle = 0x10000000;

}  // namespace

DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

BOOL Fail(DWORD code) {
    t_lastError = code;
    return FALSE;
}

HANDLE AddHandle(std::shared_ptr<Object> object) {
    uintptr_t& next = object->kind == Kind::File ? g_nextFileHandle : g_nextHandle;
    uintptr_t value = next;
    next += 4;
    HandleTable()[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookUpHandle(HANDLE handle) {
    auto& table = HandleTable();
    auto it = table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.end()) {
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Object> FindHandle(HANDLE handle, Kind kind) {
    std::shared_ptr<Object> object = LookUpHandle(handle);
    if (object == nullptr || object->kind != kind) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return object;
}

}  // namespace posixlayer

using namespace posixlayer;

// ---- the Win32 operations -------------------------------------------------------------

DWORD GetLastError(void) {
    return t_lastError;
}

void SetLastError(DWORD code) {
    t_lastError = code;
}

BOOL CloseHandle(HANDLE object) {
    Lock lock(LayerMutex());
    std::shared_ptr<Object> found = LookUpHandle(object);
    if (found == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    found->HandleClosing();
    HandleTable().erase(reinterpret_cast<uintptr_t>(object));
    // An object goes with its last reference, which may be this one;
    // dropping it under the lock is fine, no destructor takes the lock.
    return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    // MB_OK with an icon is all there is: no window to own it, no buttons to
    // choose from.
    if (owner != nullptr || (type & ~0xF0u) != 0) {
        Fail(ERROR_NOT_SUPPORTED);
        return 0;
    }
    fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Error",
            text != nullptr ? text : "");
    fflush(stderr);
    return 1;  // IDOK
}
