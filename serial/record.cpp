// The recording of the line, in the simulated line's script format. Times are
// ms since the port was opened, taken when the program made its observation:
// a byte at the read that took it, a line error at the status query that
// reported it, a modem line at the sample that showed it. Played back on the
// virtual clock, each arrives at the instant the program looks, so the
// program reads, reports and pulses exactly as it did.
//
// Each line goes out in one write as it is made, so that a recording ended by
// Ctrl-C or a pulled cable is still a valid script. The file is written
// through the Win32 file calls alone, and only when it is a regular file.
#include "serial/record.h"

#include <cstdarg>
#include <cstdio>

#include "common/output.h"
#include "serial/regular_file.h"

// Only the application thread records.
static HANDLE g_recordFile = INVALID_HANDLE_VALUE;
static DWORD g_recordStartTick;
// The modem input lines as the recording last left them.
static DWORD g_recordedModem;
// Bytes the program saw waiting and has not read yet, and when it saw them.
static DWORD g_unreadSeen;
static unsigned long g_unreadSeenTime;
// The first failed call since the last status query that answered (or
// since the open, at time 0, when it came before the recording started).
static BOOL g_recordStarted;
static BOOL g_callFailed;
static unsigned long g_callFailedTime;
// The loss of the port is in the recording, and the port not back yet.
static BOOL g_unplugRecorded;

// A status bit and its word in the script.
struct RecordedBit {
    DWORD bit;
    const char* word;
};

// The modem input lines, in the order in which changes at one instant are
// written.
static const RecordedBit kRecordedLines[] = {
    {MS_DSR_ON, "cable"}, {MS_CTS_ON, "cts"}, {MS_RING_ON, "ring"}, {MS_RLSD_ON, "rlsd"}};

static const RecordedBit kRecordedErrors[] = {
    {CE_FRAME, "frame"}, {CE_OVERRUN, "overrun"}, {CE_RXPARITY, "parity"}, {CE_BREAK, "break"}};

BOOL RecordCreate(const char* path) {
    // Only a regular file: a recording sent into a device would go down
    // somebody's line, and one into a FIFO could wait for ever on its reader.
    char why[160];
    HANDLE file = OpenRegularFile(path, REGULAR_FILE_APPEND, why, sizeof why, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        PrintError("cabletest: cannot create the recording %s: %s\n", path, why);
        return FALSE;
    }
    g_recordFile = file;
    return TRUE;
}

static unsigned long RecordTime(void) {
    return (unsigned long)(DWORD)(GetTickCount() - g_recordStartTick);
}

// One line of the recording, written out at once. A recording that cannot
// be written must not disturb the monitoring, so failures are dropped.
static void RecordLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
static void RecordLine(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0) {
        return;
    }
    if (length >= (int)sizeof line) {
        length = (int)sizeof line - 1;
        line[length - 1] = '\n';
    }
    DWORD written = 0;
    WriteFile(g_recordFile, line, (DWORD)length, &written, NULL);
}

// The port name as it may stand in a comment line: a control character in
// it would end the comment and make the rest a script line.
static void CommentSafe(const char* text, char* out, size_t size) {
    size_t i = 0;
    for (; text[i] != '\0' && i + 1 < size; ++i) {
        unsigned char c = (unsigned char)text[i];
        out[i] = c < 0x20 || c == 0x7f ? '?' : (char)c;
    }
    out[i] = '\0';
}

void RecordStart(const char* portName, const char* version) {
    if (g_recordFile == INVALID_HANDLE_VALUE) {
        return;
    }
    g_recordStartTick = GetTickCount();
    g_recordStarted = TRUE;
    g_recordedModem = 0;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[300];
    CommentSafe(portName, name, sizeof name);
    RecordLine(
        "# cabletest %s recording of the port %s, opened %04u-%02u-%02u %02u:%02u:%02u.%03u; "
        "times in ms since then\n",
        version, name, (unsigned)now.wYear, (unsigned)now.wMonth, (unsigned)now.wDay,
        (unsigned)now.wHour, (unsigned)now.wMinute, (unsigned)now.wSecond,
        (unsigned)now.wMilliseconds);
}

void RecordByte(BYTE value) {
    if (g_recordFile == INVALID_HANDLE_VALUE) {
        return;
    }
    RecordLine("%lu bytes 1 1 %02x\n", RecordTime(), (unsigned)value);
    if (g_unreadSeen > 0) {
        --g_unreadSeen;
    }
}

static void RecordLineErrors(unsigned long now, DWORD errors) {
    for (size_t i = 0; i < sizeof kRecordedErrors / sizeof kRecordedErrors[0]; ++i) {
        if ((errors & kRecordedErrors[i].bit) != 0) {
            RecordLine("%lu error %s\n", now, kRecordedErrors[i].word);
            errors &= ~kRecordedErrors[i].bit;
        }
    }
    if ((errors & CE_RXOVER) != 0) {
        RecordLine("# %lu error: receive queue overflow (CE_RXOVER), not in the script format\n",
                   now);
        errors &= ~CE_RXOVER;
    }
    if (errors != 0) {
        RecordLine("# %lu error bits 0x%04lX, not in the script format\n", now,
                   (unsigned long)errors);
    }
}

void RecordStatus(DWORD errors, DWORD queued) {
    if (g_recordFile == INVALID_HANDLE_VALUE) {
        return;
    }
    unsigned long now = RecordTime();
    RecordLineErrors(now, errors);
    g_unreadSeen = queued;
    g_unreadSeenTime = now;
    g_callFailed = FALSE;
}

void RecordByteWaiting(void) {
    if (g_recordFile == INVALID_HANDLE_VALUE || g_unreadSeen != 0) {
        return;
    }
    g_unreadSeen = 1;
    g_unreadSeenTime = RecordTime();
}

void RecordCallFailed(void) {
    if (g_recordFile == INVALID_HANDLE_VALUE || g_callFailed) {
        return;
    }
    g_callFailed = TRUE;
    g_callFailedTime = g_recordStarted ? RecordTime() : 0;
}

void RecordModemStatus(DWORD modemStatus) {
    if (g_recordFile == INVALID_HANDLE_VALUE) {
        return;
    }
    unsigned long now = RecordTime();
    for (size_t i = 0; i < sizeof kRecordedLines / sizeof kRecordedLines[0]; ++i) {
        DWORD bit = kRecordedLines[i].bit;
        if ((modemStatus & bit) != (g_recordedModem & bit)) {
            RecordLine("%lu %s %s\n", now, kRecordedLines[i].word,
                       (modemStatus & bit) != 0 ? "on" : "off");
        }
    }
    g_recordedModem = modemStatus & (MS_DSR_ON | MS_CTS_ON | MS_RING_ON | MS_RLSD_ON);
}

void RecordUnplug(void) {
    if (g_recordFile == INVALID_HANDLE_VALUE || g_unplugRecorded) {
        return;
    }
    g_unplugRecorded = TRUE;
    // Their values were never read; their being there is what the program
    // acted on.
    for (; g_unreadSeen > 0; --g_unreadSeen) {
        RecordLine("%lu bytes 1 1 00 # seen waiting, lost with the port before it was read\n",
                   g_unreadSeenTime);
    }
    // The program is sure of the loss only now, but calls that failed
    // before it already met the port gone: a replay must have it gone there.
    RecordLine("%lu unplug\n", g_callFailed ? g_callFailedTime : RecordTime());
    g_callFailed = FALSE;
}

void RecordReplug(void) {
    if (g_recordFile == INVALID_HANDLE_VALUE) {
        return;
    }
    g_unplugRecorded = FALSE;
    RecordLine("%lu replug\n", RecordTime());
}
