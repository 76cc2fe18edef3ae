// Console output of the whole program. Each message is pushed out as soon as
// it is formatted, whatever standard output is: an operator logging passes to
// a file or a pipe must not lose the last reports when the program is ended
// by Ctrl-C, which gives stdio no chance to flush.
#include "common/output.h"

#include <cstdarg>
#include <cstdio>

int Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written = vfprintf(stdout, format, args);
    va_end(args);
    // One flush per message: the message reaches the file in one write as
    // long as it fits the stdio buffer, so a reader never sees half of it.
    if (fflush(stdout) != 0 && written >= 0) {
        written = -1;
    }
    return written;
}

int PrintError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written = vfprintf(stderr, format, args);
    va_end(args);
    if (fflush(stderr) != 0 && written >= 0) {
        written = -1;
    }
    return written;
}
