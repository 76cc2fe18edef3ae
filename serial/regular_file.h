// The files the program reads and writes besides its port: a recording, and
// --report's FILE and PICTURE. Regular files only: a device opened by mistake
// would have its DTR and RTS raised by the open alone and could be written
// to, and a FIFO could keep the program waiting for ever.
#ifndef CABLETEST_SERIAL_REGULAR_FILE_H
#define CABLETEST_SERIAL_REGULAR_FILE_H

#include <cstddef>

#include "platform/win32.h"

// What a regular file is opened for.
#define REGULAR_FILE_APPEND 0   // created, or added to at its end
#define REGULAR_FILE_REPLACE 1  // created, or emptied and written anew
#define REGULAR_FILE_READ 2     // an existing one, read

// Opens `path` for `use` through the Win32 file calls, when it is a regular
// file (or, but to read, none yet). Else INVALID_HANDLE_VALUE, with why in
// `why` ("no such folder (error 3)", "a pipe or a socket, not a regular
// file", ...), and whatever is there left as it was. *existed, when asked
// for, tells whether the file was there before.
HANDLE OpenRegularFile(const char* path, int use, char* why, size_t size, BOOL* existed);

// All of `length` bytes from `text`; FALSE with why in `why` when not.
BOOL WriteRegularFile(HANDLE file, const char* text, size_t length, char* why, size_t size);

#endif  // CABLETEST_SERIAL_REGULAR_FILE_H
