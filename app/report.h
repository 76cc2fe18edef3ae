// --report FILE [--svg PICTURE]: what happened on the line during a shift, in
// words and in a timeline picture. The summary is made from the program's own
// stamped reports: those of an operator's log saved with -t, or those that the
// replay of a recording prints. The pass rule and the cable rule stay in the
// monitoring loop; nothing here decides what a pass or a cable change is.
#ifndef CABLETEST_APP_REPORT_H
#define CABLETEST_APP_REPORT_H

#include <cstddef>
#include <cstdio>

#include "app/app.h"
#include "platform/win32.h"

// What a report line says, and the cable's state as the summary draws it.
#define REPORT_PASS 0
#define REPORT_CONNECTED 1
#define REPORT_DISCONNECTED 2
#define REPORT_LOST 3
#define REPORT_BACK 4
#define CABLE_NOT_KNOWN 0
#define CABLE_CONNECTED 1
#define CABLE_DISCONNECTED 2

// Line errors by their word in the script format.
#define LINE_ERROR_KINDS 4

// A report, a line error or a span of the timeline; times are ms from the
// start of the record.
struct ReportItem {
    long long atMs;
    long long toMs;  // spans only
    int kind;
};

struct ReportList {
    ReportItem* items;
    size_t count;
    size_t capacity;
};

// Where the reports came from and the stretch of time they cover.
struct ReportSource {
    const char* path;
    BOOL isLog;         // the program's own output, not a replay
    BOOL startKnown;    // startMs is a time of day: times are told as such
    long long startMs;  // the start, in ms of the calendar (days since 1970 * 86400000 + ...)
    long long endMs;    // the end, from the start
    BOOL errorsKnown;   // the line errors are in g_lineErrors (a recording's lines)
    char port[256];     // "" when not known
    char version[64];   // the recording program's, "" when not known
};

extern ReportSource g_reportSource;
extern ReportList g_reports;     // REPORT_* in time order
extern ReportList g_lineErrors;  // kind: 0 frame, 1 overrun, 2 parity, 3 break
extern ReportList g_cableSpans;  // CABLE_*, back to back from 0 to endMs
extern ReportList g_lostSpans;   // the port away

extern const char* const kLineErrorWords[LINE_ERROR_KINDS];

// The whole of --report; returns the exit code.
int Report(const char* path, const char* picturePath);

// Appends to a list; FALSE when memory runs out.
BOOL ReportAppend(ReportList* list, long long atMs, long long toMs, int kind);

// "YYYY-MM-DD hh:mm:ss.mmm " at the start of `line`: *ms in ms of the calendar.
BOOL ReadStamp(const char* line, long long* ms);

// The program's standard output with -t: every stamped report into g_reports,
// with times from the first stamp, or from `originMs` when it is not -1.
// Returns the count of stamped reports.
size_t ReadStampedOutput(char* text, long long originMs);

// The recording or script `text` (of FILE `path`) replayed through the program
// itself: fills g_reportSource, g_reports and g_lineErrors. Returns 0, or the
// exit code after its line on standard error.
int ReplayScript(const char* path, char* text, size_t length);

// The recording's first line, when it is one: port, version and start.
void ReadRecordingHeader(const char* text);

// The summary on standard output, and the timeline picture's text (to be
// freed; NULL when memory runs out), `*length` bytes.
void PrintSummary(void);
char* MakeTimeline(size_t* length);

// "hh:mm:ss.mmm" (with the date on another day than the start's) or "12.345 s".
void FormatWhen(long long ms, char* out, size_t size);
// "0.42 s", "12.3 s", "12 min 4 s", "8 h 00 min 12 s".
void FormatSpan(long long ms, char* out, size_t size);
// The calendar date and time of day of a time from the start.
void CalendarOf(long long ms, int* year, int* month, int* day, long long* msOfDay);

#endif  // CABLETEST_APP_REPORT_H
