// Handles and the per-thread last error of the POSIX provider, the mapping of
// errno values to Win32 codes, and MessageBoxA, the one call of the subset
// that needs neither an object nor the clock.
#include "platform/posix/handles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace posixlayer {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// Handles are small values that look like Windows handles, 0x40 and every
// fourth one on, never reused, so that a stale handle is refused rather than
// reaching another object. Each has its slot, empty once it is closed: a
// look-up is an index, and the program makes only a few handles an hour.
// Files count apart, from kFirstFileHandle, so that opening one does not
// move the handles of the objects opened after it (the port's handle is
// shown in debug output).
constexpr uintptr_t kFirstHandle = 0x40;
constexpr uintptr_t kFirstFileHandle = 0x10000000;
constexpr uintptr_t kHandleStep = 4;

std::vector<std::shared_ptr<Object>>& HandleTable() {
    static std::vector<std::shared_ptr<Object>> table;
    return table;
}

std::vector<std::shared_ptr<Object>>& FileHandleTable() {
    static std::vector<std::shared_ptr<Object>> table;
    return table;
}

// Objects whose handle was closed while a call held them.
std::vector<std::shared_ptr<Object>>& ClosedButHeld() {
    static std::vector<std::shared_ptr<Object>> held;
    return held;
}

std::shared_ptr<Object>* Slot(HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    const bool file = value >= kFirstFileHandle;
    const uintptr_t first = file ? kFirstFileHandle : kFirstHandle;
    auto& table = file ? FileHandleTable() : HandleTable();
    if (value < first || (value - first) % kHandleStep != 0 ||
        (value - first) / kHandleStep >= table.size()) {
        return nullptr;
    }
    return &table[(value - first) / kHandleStep];
}

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
    const bool file = object->kind == Kind::File;
    auto& table = file ? FileHandleTable() : HandleTable();
    table.push_back(std::move(object));
    return reinterpret_cast<HANDLE>((file ? kFirstFileHandle : kFirstHandle) +
                                    (table.size() - 1) * kHandleStep);
}

Object* LookUpHandle(HANDLE handle) {
    std::shared_ptr<Object>* slot = Slot(handle);
    return slot != nullptr ? slot->get() : nullptr;
}

Object* FindHandle(HANDLE handle, Kind kind) {
    Object* object = LookUpHandle(handle);
    if (object == nullptr || object->kind != kind) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return object;
}

void Hold(Object* object) {
    ++object->holds;
}

void LetGo(Object* object) {
    if (--object->holds > 0) {
        return;
    }
    auto& held = ClosedButHeld();
    auto it = std::find_if(held.begin(), held.end(), [object](const std::shared_ptr<Object>& o) {
        return o.get() == object;
    });
    if (it != held.end()) {
        held.erase(it);  // no destructor takes the lock
    }
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
    std::shared_ptr<Object>* slot = Slot(object);
    if (slot == nullptr || *slot == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    (*slot)->HandleClosing();
    if ((*slot)->holds > 0) {
        ClosedButHeld().push_back(std::move(*slot));
    }
    // An object goes with its last reference, which may be this one;
    // dropping it under the lock is fine, no destructor takes the lock.
    slot->reset();
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
