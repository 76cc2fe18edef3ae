// Regular files opened through the Win32 file calls, which tell what a name
// is before anything on it acts: a name that is a device by itself is refused
// before any open, and a handle that is not a disk file is closed unused.
#include "serial/regular_file.h"

#include <cstdio>

#include "serial/platform_names.h"

// What a refused open says, by the Win32 code it failed with.
static const char* OpenFailureText(DWORD error, int use) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return use == REGULAR_FILE_READ ? "no such file" : "no such folder";
        case ERROR_PATH_NOT_FOUND:
            return "no such folder";
        case ERROR_ACCESS_DENIED:
            return use == REGULAR_FILE_READ
                       ? "access denied (a folder, or a file this user may not read)"
                       : "access denied (a folder, or a file or folder this user may not write)";
        case ERROR_FILENAME_EXCED_RANGE:
            return "the name is too long";
        case ERROR_NOT_SUPPORTED:
            return "not a regular file";
        default:
            return "it cannot be opened";
    }
}

// The same for a name that opened but is not a regular file.
static const char* FileTypeText(DWORD type) {
    switch (type) {
        case FILE_TYPE_CHAR:
            return "a device (a terminal, a serial port, the null device), not a regular file";
        case FILE_TYPE_PIPE:
            return "a pipe or a socket, not a regular file";
        default:
            return "not a regular file";
    }
}

HANDLE OpenRegularFile(const char* path, int use, char* why, size_t size, BOOL* existed) {
    if (NamesADevice(path)) {
        snprintf(why, size, "%s", FileTypeText(FILE_TYPE_CHAR));
        return INVALID_HANDLE_VALUE;
    }
    DWORD access = use == REGULAR_FILE_READ      ? GENERIC_READ
                   : use == REGULAR_FILE_REPLACE ? GENERIC_WRITE
                                                 : FILE_APPEND_DATA;
    DWORD creation = use == REGULAR_FILE_READ      ? OPEN_EXISTING
                     : use == REGULAR_FILE_REPLACE ? CREATE_ALWAYS
                                                   : OPEN_ALWAYS;
    HANDLE file =
        CreateFileA(path, access, FILE_SHARE_READ, NULL, creation, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE) {
        snprintf(why, size, "%s (error %lu)", OpenFailureText(error, use), (unsigned long)error);
        return INVALID_HANDLE_VALUE;
    }
    if (existed != NULL) {
        *existed = use == REGULAR_FILE_READ || error == ERROR_ALREADY_EXISTS;
    }
    DWORD type = GetFileType(file);
    if (type != FILE_TYPE_DISK) {
        CloseHandle(file);
        snprintf(why, size, "%s", FileTypeText(type));
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

BOOL WriteRegularFile(HANDLE file, const char* text, size_t length, char* why, size_t size) {
    while (length > 0) {
        DWORD part = length > 0x10000000u ? 0x10000000u : (DWORD)length;
        DWORD written = 0;
        if (!WriteFile(file, text, part, &written, NULL) || written == 0) {
            DWORD error = GetLastError();
            snprintf(why, size, "it cannot be written (error %lu)", (unsigned long)error);
            return FALSE;
        }
        text += written;
        length -= written;
    }
    return TRUE;
}
