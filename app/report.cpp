// --report: reads FILE, tells a log from a recording, gathers the stamped
// reports of either into one timeline and hands it to the summary and the
// picture. A PICTURE is checked before anything else, as --record's FILE is,
// and nothing is left behind when the FILE will not do.
#include "app/report.h"

#include <cstdlib>
#include <cstring>

#include "common/output.h"
#include "serial/regular_file.h"

ReportSource g_reportSource;
ReportList g_reports;
ReportList g_lineErrors;
ReportList g_cableSpans;
ReportList g_lostSpans;

const char* const kLineErrorWords[LINE_ERROR_KINDS] = {"frame", "overrun", "parity", "break"};

static const char kBannerLine[] = "Magnetic switch cable test program";
// A stamp: "YYYY-MM-DD hh:mm:ss.mmm".
static const char kStampShape[] = "dddd-dd-dd dd:dd:dd.ddd";
#define STAMP_LENGTH 23

BOOL ReportAppend(ReportList* list, long long atMs, long long toMs, int kind) {
    if (list->count == list->capacity) {
        size_t capacity = list->capacity == 0 ? 256 : list->capacity * 2;
        ReportItem* items = (ReportItem*)realloc(list->items, capacity * sizeof *items);
        if (items == NULL) {
            return FALSE;
        }
        list->items = items;
        list->capacity = capacity;
    }
    ReportItem* event = &list->items[list->count++];
    event->atMs = atMs;
    event->toMs = toMs;
    event->kind = kind;
    return TRUE;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
static long long DaysFromCivil(long long year, unsigned month, unsigned day) {
    year -= month <= 2;
    long long era = (year >= 0 ? year : year - 399) / 400;
    unsigned yearOfEra = (unsigned)(year - era * 400);
    unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + (long long)dayOfEra - 719468;
}

static void CivilFromDays(long long days, int* year, int* month, int* day) {
    days += 719468;
    long long era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned dayOfEra = (unsigned)(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned mp = (5 * dayOfYear + 2) / 153;
    *day = (int)(dayOfYear - (153 * mp + 2) / 5 + 1);
    *month = (int)(mp < 10 ? mp + 3 : mp - 9);
    *year = (int)(yearOfEra + era * 400 + (*month <= 2));
}

void CalendarOf(long long ms, int* year, int* month, int* day, long long* msOfDay) {
    long long at = g_reportSource.startMs + ms;
    long long days = (at >= 0 ? at : at - 86399999) / 86400000;
    *msOfDay = at - days * 86400000;
    CivilFromDays(days, year, month, day);
}

static int Digits(const char* text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

BOOL ReadStamp(const char* line, long long* ms) {
    for (int i = 0; i < STAMP_LENGTH; ++i) {
        BOOL digit = line[i] >= '0' && line[i] <= '9';
        if (kStampShape[i] == 'd' ? !digit : line[i] != kStampShape[i]) {
            return FALSE;
        }
    }
    int month = Digits(line + 5, 2), day = Digits(line + 8, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31) {
        return FALSE;
    }
    long long days = DaysFromCivil(Digits(line, 4), (unsigned)month, (unsigned)day);
    *ms = ((days * 24 + Digits(line + 11, 2)) * 60 + Digits(line + 14, 2)) * 60000 +
          Digits(line + 17, 2) * 1000 + Digits(line + 20, 3);
    return TRUE;
}

// The name in "Port <name> lost, ..." and "Port <name> back", kept when no
// other source names the port.
static void TakePortName(const char* name, size_t length) {
    if (g_reportSource.port[0] == '\0' && length < sizeof g_reportSource.port) {
        memcpy(g_reportSource.port, name, length);
        g_reportSource.port[length] = '\0';
    }
}

// Which report a printed line is, or -1. Debug mode shows the cable as DSR.
static int ReportKindOf(const char* text) {
    static const char kLost[] = " lost, waiting for it to come back";
    size_t length = strlen(text);
    if (strcmp(text, "-->Carriage Pass") == 0) {
        return REPORT_PASS;
    }
    if (strcmp(text, "Cable connected") == 0 || strncmp(text, "DSR -> on,", 10) == 0) {
        return REPORT_CONNECTED;
    }
    if (strcmp(text, "Cable disconnected") == 0 || strncmp(text, "DSR -> off,", 11) == 0) {
        return REPORT_DISCONNECTED;
    }
    if (strncmp(text, "Port ", 5) != 0) {
        return -1;
    }
    if (length > 5 + sizeof kLost - 1 && strcmp(text + length - (sizeof kLost - 1), kLost) == 0) {
        TakePortName(text + 5, length - 5 - (sizeof kLost - 1));
        return REPORT_LOST;
    }
    if (length > 10 && strcmp(text + length - 5, " back") == 0) {
        TakePortName(text + 5, length - 10);
        return REPORT_BACK;
    }
    return -1;
}

size_t ReadStampedOutput(char* text, long long originMs) {
    size_t reports = 0;
    BOOL stamped = FALSE;
    for (char* line = text; *line != '\0';) {
        char* newline = strchr(line, '\n');
        char* next = newline != NULL ? newline + 1 : line + strlen(line);
        if (newline != NULL) {
            *newline = '\0';
        }
        size_t length = strlen(line);
        if (length > 0 && line[length - 1] == '\r') {  // a log from Windows
            line[length - 1] = '\0';
        }
        long long ms = 0;
        if (ReadStamp(line, &ms) && line[STAMP_LENGTH] == ' ') {
            if (!stamped && originMs == -1) {
                originMs = ms;
                g_reportSource.startMs = ms;
            }
            stamped = TRUE;
            ms -= originMs;
            g_reportSource.endMs = ms > g_reportSource.endMs ? ms : g_reportSource.endMs;
            int kind = ReportKindOf(line + STAMP_LENGTH + 1);
            if (kind >= 0 && ReportAppend(&g_reports, ms, ms, kind)) {
                ++reports;
            }
        }
        line = next;
    }
    return reports;
}

void ReadRecordingHeader(const char* text) {
    static const char kFirst[] = "# cabletest ", kPort[] = " recording of the port ",
                      kOpened[] = ", opened ";
    const char* line = strstr(text, kFirst);
    for (; line != NULL && line != text && line[-1] != '\n'; line = strstr(line + 1, kFirst)) {
    }
    const char* end = line != NULL ? strchr(line, '\n') : NULL;
    const char* port = line != NULL ? strstr(line, kPort) : NULL;
    const char* opened = port != NULL ? strstr(port, kOpened) : NULL;
    if (line == NULL || port == NULL || opened == NULL || (end != NULL && opened > end)) {
        return;
    }
    size_t versionLength = (size_t)(port - line) - (sizeof kFirst - 1);
    size_t portLength = (size_t)(opened - port) - (sizeof kPort - 1);
    long long startMs = 0;
    if (!ReadStamp(opened + sizeof kOpened - 1, &startMs) ||
        versionLength >= sizeof g_reportSource.version ||
        portLength >= sizeof g_reportSource.port) {
        return;
    }
    memcpy(g_reportSource.version, line + sizeof kFirst - 1, versionLength);
    g_reportSource.version[versionLength] = '\0';
    memcpy(g_reportSource.port, port + sizeof kPort - 1, portLength);
    g_reportSource.port[portLength] = '\0';
    g_reportSource.startMs = startMs;
    g_reportSource.startKnown = TRUE;
}

// The program's own output: its banner, or a stamped line, shows it.
static BOOL IsProgramOutput(const char* text) {
    for (const char* line = text; *line != '\0';) {
        long long ms = 0;
        if (strncmp(line, kBannerLine, sizeof kBannerLine - 1) == 0 || ReadStamp(line, &ms)) {
            return TRUE;
        }
        const char* newline = strchr(line, '\n');
        line = newline != NULL ? newline + 1 : line + strlen(line);
    }
    return FALSE;
}

static int ReadLog(const char* path, char* text) {
    g_reportSource.isLog = TRUE;
    g_reportSource.startKnown = TRUE;
    if (ReadStampedOutput(text, -1) == 0) {
        PrintError(
            "cabletest: %s holds no stamped report: give the program's output saved with -t, or "
            "a recording\n",
            path);
        return EXIT_BAD_REPORT;
    }
    return 0;
}

// FILE whole, NUL-terminated, into *text; NULL after its line on standard
// error when it cannot be read or is no regular file.
static char* ReadWholeFile(const char* path, size_t* length) {
    char why[160];
    HANDLE file = OpenRegularFile(path, REGULAR_FILE_READ, why, sizeof why, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        PrintError("cabletest: cannot read %s: %s\n", path, why);
        return NULL;
    }
    char* text = NULL;
    size_t size = 0, capacity = 0;
    BOOL read = TRUE;
    for (DWORD got = 1; read && got > 0; size += got) {
        if (size + 65536 + 1 > capacity) {
            capacity = capacity == 0 ? 1 << 20 : capacity * 2;
            char* more = (char*)realloc(text, capacity);
            if (more == NULL) {
                snprintf(why, sizeof why, "out of memory");
                read = FALSE;
                break;
            }
            text = more;
        }
        got = 0;
        if (!ReadFile(file, text + size, 65536, &got, NULL)) {
            DWORD error = GetLastError();
            snprintf(why, sizeof why, "it cannot be read (error %lu)", (unsigned long)error);
            read = FALSE;
        }
    }
    CloseHandle(file);
    if (!read) {
        PrintError("cabletest: cannot read %s: %s\n", path, why);
        free(text);
        return NULL;
    }
    text[size] = '\0';
    *length = size;
    return text;
}

static BOOL Blank(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n') {
            return FALSE;
        }
    }
    return TRUE;
}

static void CloseSpan(long long fromMs, long long toMs, int kind) {
    ReportList* spans = &g_cableSpans;
    if (toMs <= fromMs) {
        return;
    }
    if (spans->count > 0 && spans->items[spans->count - 1].kind == kind) {
        spans->items[spans->count - 1].toMs = toMs;
        return;
    }
    ReportAppend(spans, fromMs, toMs, kind);
}

// The cable's state from report to report, not known while the port is away.
static void BuildSpans(void) {
    int state = CABLE_NOT_KNOWN;
    BOOL lost = FALSE;
    long long fromMs = 0, lostFromMs = 0, endMs = g_reportSource.endMs;
    for (size_t i = 0; i < g_reports.count; ++i) {
        const ReportItem* event = &g_reports.items[i];
        long long at = event->atMs < fromMs ? fromMs : event->atMs > endMs ? endMs : event->atMs;
        CloseSpan(fromMs, at, lost ? CABLE_NOT_KNOWN : state);
        fromMs = at;
        if (event->kind == REPORT_CONNECTED) {
            state = CABLE_CONNECTED;
        } else if (event->kind == REPORT_DISCONNECTED) {
            state = CABLE_DISCONNECTED;
        } else if (event->kind == REPORT_LOST && !lost) {
            lost = TRUE;
            lostFromMs = at;
        } else if (event->kind == REPORT_BACK && lost) {
            lost = FALSE;
            ReportAppend(&g_lostSpans, lostFromMs, at, 0);
        }
    }
    CloseSpan(fromMs, endMs, lost ? CABLE_NOT_KNOWN : state);
    if (lost) {
        ReportAppend(&g_lostSpans, lostFromMs, endMs, 1);  // not back by the end
    }
}

static int ReadReports(const char* path) {
    size_t length = 0;
    char* text = ReadWholeFile(path, &length);
    if (text == NULL) {
        return EXIT_BAD_REPORT;
    }
    int result = 0;
    g_reportSource.path = path;
    if (Blank(text, length)) {
        PrintError("cabletest: %s is empty: give a recording, a script or a log\n", path);
        result = EXIT_BAD_REPORT;
    } else if (IsProgramOutput(text)) {
        result = ReadLog(path, text);
    } else {
        result = ReplayScript(path, text, length);
    }
    free(text);
    if (result == 0) {
        BuildSpans();
    }
    return result;
}

// Refused before anything else is done, and without a trace: the picture is
// created empty only when it was not there, and removed again on a refusal.
static BOOL CheckPicture(const char* path, BOOL* existed) {
    char why[160];
    HANDLE file = OpenRegularFile(path, REGULAR_FILE_APPEND, why, sizeof why, existed);
    if (file == INVALID_HANDLE_VALUE) {
        PrintError("cabletest: cannot write the picture %s: %s\n", path, why);
        return FALSE;
    }
    CloseHandle(file);
    return TRUE;
}

static int WritePicture(const char* path) {
    char why[160] = "out of memory";
    size_t length = 0;
    char* text = MakeTimeline(&length);
    HANDLE file = text == NULL ? INVALID_HANDLE_VALUE
                               : OpenRegularFile(path, REGULAR_FILE_REPLACE, why, sizeof why, NULL);
    BOOL written =
        file != INVALID_HANDLE_VALUE && WriteRegularFile(file, text, length, why, sizeof why);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    free(text);
    if (!written) {
        PrintError("cabletest: cannot write the picture %s: %s\n", path, why);
        return EXIT_BAD_REPORT;
    }
    return 0;
}

int Report(const char* path, const char* picturePath) {
    BOOL pictureExisted = FALSE;
    if (picturePath != NULL && strcmp(picturePath, path) == 0) {
        PrintError("cabletest: the picture %s would overwrite the FILE it reports on\n", path);
        return EXIT_BAD_REPORT;
    }
    if (picturePath != NULL && !CheckPicture(picturePath, &pictureExisted)) {
        return EXIT_BAD_REPORT;
    }
    int result = ReadReports(path);
    if (result == 0 && picturePath != NULL) {
        result = WritePicture(picturePath);
    }
    if (result != 0) {
        if (picturePath != NULL && !pictureExisted) {
            remove(picturePath);
        }
        return result;
    }
    PrintSummary();
    return 0;
}
