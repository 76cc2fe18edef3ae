// Files other than ports, in the second layer of the POSIX provider: the one
// kind the program writes, a regular file opened to be appended to (the
// recording), with GetFileType and WriteFile on it; and the standard streams,
// whose descriptors no file the process opens may take.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/handles.h"

namespace posixlayer {
namespace {

// A file opened by CreateFileA. Only a regular file is opened, for the use
// asked; of any other kind the provider keeps a path-only descriptor, which
// tells what it is without the open that a device or a FIFO would act on.
class File : public Object {
  public:
    File(int descriptor, DWORD fileType, FileUse fileUse)
        : Object(Kind::File), fd(descriptor), type(fileType), use(fileUse) {}
    ~File() override { close(fd); }

    bool CanWrite() const { return type == FILE_TYPE_DISK && use != FileUse::Read; }
    bool CanRead() const { return type == FILE_TYPE_DISK && use == FileUse::Read; }

    const int fd;
    const DWORD type;
    const FileUse use;
};

// How a regular file is opened for each use, through its path-only
// descriptor: the same file, not the name again.
int OpenFlags(FileUse use) {
    switch (use) {
        case FileUse::Append:
            return O_WRONLY | O_APPEND;
        case FileUse::Replace:
            return O_WRONLY | O_TRUNC;
        case FileUse::Read:
            break;
    }
    return O_RDONLY;
}

// The Win32 code of a failed open: a folder missing on the way is a path not
// found, as Windows reports it. When the file itself may be what is missing
// (an existing one is asked for), that is told by its folder being there.
DWORD CreateError(int error, const char* path = nullptr) {
    if (error == ENOENT && path != nullptr) {
        std::string folder = path;
        const size_t slash = folder.find_last_of('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
        struct stat info {};
        if (stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    return error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(error);
}

// The file type Windows gives a handle of this kind; FILE_TYPE_UNKNOWN for a
// kind the provider does not open.
DWORD TypeOfMode(mode_t mode) {
    if (S_ISREG(mode)) {
        return FILE_TYPE_DISK;
    }
    if (S_ISCHR(mode)) {
        return FILE_TYPE_CHAR;
    }
    if (S_ISFIFO(mode) || S_ISSOCK(mode)) {
        return FILE_TYPE_PIPE;
    }
    return FILE_TYPE_UNKNOWN;
}

// An existing name, looked at through a path-only descriptor; a regular file
// is then opened through that very descriptor, so what was looked at is what
// is used. Null, with the error in *error, when it is refused.
std::shared_ptr<File> OpenExisting(const char* path, FileUse use, DWORD* error) {
    const int look = open(path, O_PATH | O_CLOEXEC);
    struct stat info {};
    if (look < 0 || fstat(look, &info) != 0) {
        *error = CreateError(errno, use == FileUse::Read ? path : nullptr);
        if (look >= 0) {
            close(look);
        }
        return nullptr;
    }
    const DWORD type = TypeOfMode(info.st_mode);
    if (type != FILE_TYPE_DISK) {
        // A folder cannot be opened as a file on Windows; a block device
        // would be a disk, which the provider does not write.
        *error = S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED;
        if (type == FILE_TYPE_UNKNOWN) {
            close(look);
            return nullptr;
        }
        return std::make_shared<File>(look, type, use);
    }
    const std::string same = "/proc/self/fd/" + std::to_string(look);
    const int fd = open(same.c_str(), OpenFlags(use) | O_NOCTTY | O_CLOEXEC);
    const int openError = errno;
    close(look);
    if (fd < 0) {
        *error = CreateError(openError);
        return nullptr;
    }
    return std::make_shared<File>(fd, FILE_TYPE_DISK, use);
}

// Descriptors 0 to 2 kept taken from the start of the process: a file opened
// while a standard stream is closed would take its descriptor, and the
// program's reports would go into it (into a serial device: down the line).
// As on Windows, where a file's handle is never a standard stream, a closed
// one is given /dev/null (open() takes the lowest free descriptor).
bool KeepStandardStreamsTaken() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                close(null);
            }
        }
    }
    return true;
}
[[maybe_unused]] const bool g_standardStreamsTaken = KeepStandardStreamsTaken();

}  // namespace

HANDLE OpenFile(const char* path, FileUse use) {
    // Created only when it does not exist: O_EXCL follows no link and
    // opens nothing that is already there.
    const int fd = use == FileUse::Read
                       ? -1
                       : open(path, OpenFlags(use) | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    const int createError = use == FileUse::Read ? EEXIST : errno;
    std::shared_ptr<File> file;
    DWORD error = ERROR_SUCCESS;
    if (fd >= 0) {
        file = std::make_shared<File>(fd, FILE_TYPE_DISK, use);
    } else if (createError == EEXIST) {
        file = OpenExisting(path, use, &error);
    } else {
        error = CreateError(createError);
    }
    if (file == nullptr) {
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }
    Lock lock(LayerMutex());
    HANDLE handle = AddHandle(file);
    // As OPEN_ALWAYS and CREATE_ALWAYS tell it on Windows.
    SetLastError(fd >= 0 || use == FileUse::Read ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return handle;
}

}  // namespace posixlayer

using namespace posixlayer;

DWORD GetFileType(HANDLE file) {
    Lock lock(LayerMutex());
    Object* object = LookUpHandle(file);
    if (object == nullptr || (object->kind != Kind::File && object->kind != Kind::Port)) {
        Fail(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    // A serial port is a character device, as on Windows.
    return object->kind == Kind::Port ? FILE_TYPE_CHAR : static_cast<File*>(object)->type;
}

namespace {

// All of it, or the failure's code.
DWORD WriteAll(int fd, const char* bytes, DWORD toWrite, LPDWORD written) {
    *written = 0;
    while (*written < toWrite) {
        const ssize_t n = write(fd, bytes + *written, toWrite - *written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? Win32ErrorFromErrno(errno) : ERROR_GEN_FAILURE;
        }
        *written += static_cast<DWORD>(n);
    }
    return ERROR_SUCCESS;
}

}  // namespace

BOOL posixlayer::ReadFromFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read) {
    File* source = nullptr;
    {
        Lock lock(LayerMutex());
        Object* object = LookUpHandle(file);
        if (object == nullptr) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        // A port is read overlapped only; a file only when it is a regular
        // one opened to be read.
        if (object->kind == Kind::Port) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (object->kind != Kind::File || !static_cast<File*>(object)->CanRead()) {
            return Fail(ERROR_NOT_SUPPORTED);
        }
        if (read == nullptr || (buffer == nullptr && toRead != 0)) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        source = static_cast<File*>(object);
        Hold(source);  // read with the lock let go, as WriteFile writes
    }
    ssize_t n = -1;
    do {
        n = ::read(source->fd, buffer, toRead);
    } while (n < 0 && errno == EINTR);
    const DWORD error = n < 0 ? Win32ErrorFromErrno(errno) : ERROR_SUCCESS;
    {
        Lock lock(LayerMutex());
        LetGo(source);
    }
    // At the end of the file a read succeeds with 0 bytes, as on Windows.
    *read = n > 0 ? static_cast<DWORD>(n) : 0;
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    File* target = nullptr;
    {
        Lock lock(LayerMutex());
        Object* object = LookUpHandle(file);
        if (object == nullptr) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        // Nothing is ever written to a port, nor to a file that is not a
        // regular one.
        if (object->kind != Kind::File || !static_cast<File*>(object)->CanWrite() ||
            overlapped != nullptr) {
            return Fail(ERROR_NOT_SUPPORTED);
        }
        if (written == nullptr || (buffer == nullptr && toWrite != 0)) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        target = static_cast<File*>(object);
        // Written with the lock let go; a CloseHandle meanwhile leaves the
        // descriptor open until the write is over.
        Hold(target);
    }
    const DWORD error = WriteAll(target->fd, static_cast<const char*>(buffer), toWrite, written);
    {
        Lock lock(LayerMutex());
        LetGo(target);
    }
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}
