// The second layer of the POSIX provider: the per-thread last error and the
// errno-to-Win32 mapping, the objects behind handles and the handle table,
// and the events that overlapped requests signal. Built on the clock only.
// Not for use outside platform/posix/ and the provider's own tests.
#ifndef CABLETEST_PLATFORM_POSIX_HANDLES_H
#define CABLETEST_PLATFORM_POSIX_HANDLES_H

#include <memory>

#include "platform/posix/clock.h"
#include "platform/win32.h"

namespace posixlayer {

// ---- errors -------------------------------------------------------------------

DWORD Win32ErrorFromErrno(int error);
// Sets the thread's last error and returns FALSE, for the common failure path.
BOOL Fail(DWORD code);

// ---- objects and handles --------------------------------------------------------

enum class Kind { Event, Thread, Port, File };

// What a handle stands for. Each kind is defined by the file that creates it.
class Object {
  public:
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // Lock held: whether a wait on the object is over. Only events and
    // threads are waitable.
    virtual bool Signalled() const { return false; }
    // Lock held: CloseHandle takes the handle away. Calls that looked the
    // object up before may still hold it.
    virtual void HandleClosing() {}

    const Kind kind;
    // Lock held: how many calls use the object with the lock released
    // meanwhile (see Held).
    int holds = 0;
};

// Adds an object to the handle table (lock held) and returns its handle.
HANDLE AddHandle(std::shared_ptr<Object> object);
// Looks a handle up (lock held); null when there is none, the last error
// untouched. The object is the table's: valid while the lock is held, or
// while it is Held.
Object* LookUpHandle(HANDLE handle);
// Looks a handle up (lock held); null with ERROR_INVALID_HANDLE when it is not
// an object of that kind.
Object* FindHandle(HANDLE handle, Kind kind);
template <typename T>
T* Find(HANDLE handle, Kind kind) {
    return static_cast<T*>(FindHandle(handle, kind));
}

// For a call that may release the lock while it uses an object (a wait): a
// CloseHandle meanwhile takes the handle away at once, and the object only
// when the last such call lets go of it. Lock held.
void Hold(Object* object);
void LetGo(Object* object);
// Hold and LetGo for a scope, made and dropped with the lock held.
struct Held {
    explicit Held(Object* o) : object(o) { Hold(o); }
    ~Held() { LetGo(object); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    Object* const object;
};

// ---- files (files.cpp) -------------------------------------------------------------

// What CreateFileA opens a file for: to append to (FILE_APPEND_DATA,
// OPEN_ALWAYS), to write anew (GENERIC_WRITE, CREATE_ALWAYS) or to read
// (GENERIC_READ, OPEN_EXISTING).
enum class FileUse { Append, Replace, Read };

// CreateFileA of a file: a regular file is created (but to read) or opened
// for the use; any other kind that is there is not opened but gets a handle
// that tells its type and refuses reads and writes; a folder fails with
// ERROR_ACCESS_DENIED, a block device with ERROR_NOT_SUPPORTED.
HANDLE OpenFile(const char* path, FileUse use);

// ReadFile without an overlapped record: on a regular file opened to be read.
BOOL ReadFromFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read);

// ---- events (events.cpp) -----------------------------------------------------------

// Lock held: signals the event behind a handle, if it is one (the event of an
// OVERLAPPED request). Unknown handles are ignored, as a null hEvent is.
void SignalEventHandle(HANDLE event);
void ResetEventHandle(HANDLE event);

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_HANDLES_H
