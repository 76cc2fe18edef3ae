// Console output of the whole program. Each message is pushed out as soon as
// it is formatted, whatever standard output is: an operator logging passes to
// a file or a pipe must not lose the last reports when the program is ended
// by Ctrl-C, which gives stdio no chance to flush.
//
// Time stamps are for an operator who reads a shift's output afterwards and
// needs to know when the carriage stopped or the cable dropped: the stamp is
// the time the line was printed.
#include "common/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32.h"

// Stamping is on; and whether the next character printed starts a line.
// Only the application thread prints.
static BOOL g_stampLines;
static BOOL g_atLineStart;

void StampLinesFromHere(void) {
    g_stampLines = TRUE;
    g_atLineStart = TRUE;
}

// "YYYY-MM-DD hh:mm:ss.mmm " into stamp (at least 32 bytes).
static int FormatStamp(char* stamp, size_t size) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return snprintf(stamp, size, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", (unsigned)now.wYear,
                    (unsigned)now.wMonth, (unsigned)now.wDay, (unsigned)now.wHour,
                    (unsigned)now.wMinute, (unsigned)now.wSecond, (unsigned)now.wMilliseconds);
}

// The text with the stamp before each line that it starts; the stamp is taken
// once, so that the lines of one message carry the same time. Returns the
// count of characters given to stdio.
static int WriteStamped(const char* text, size_t length) {
    char stamp[48];
    int stampLength = FormatStamp(stamp, sizeof stamp);
    int written = 0;
    const char* end = text + length;
    while (text < end) {
        if (g_atLineStart) {
            fwrite(stamp, 1, (size_t)stampLength, stdout);
            written += stampLength;
        }
        const char* newline = (const char*)memchr(text, '\n', (size_t)(end - text));
        const char* stop = newline != NULL ? newline + 1 : end;
        fwrite(text, 1, (size_t)(stop - text), stdout);
        written += (int)(stop - text);
        g_atLineStart = newline != NULL;
        text = stop;
    }
    return written;
}

// The message formatted in full first, since stamps go before its lines.
static int PrintStamped(const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(small, sizeof small, format, args);
    char* text = small;
    if (length >= (int)sizeof small) {
        text = (char*)malloc((size_t)length + 1);
        if (text != NULL) {
            vsnprintf(text, (size_t)length + 1, format, again);
        }
    }
    va_end(again);
    if (length < 0 || text == NULL) {
        return -1;
    }
    int written = WriteStamped(text, (size_t)length);
    if (text != small) {
        free(text);
    }
    return written;
}

int Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written = g_stampLines ? PrintStamped(format, args) : vfprintf(stdout, format, args);
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
