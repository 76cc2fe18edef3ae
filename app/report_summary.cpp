// The summary of --report on standard output: the record's port and time,
// the carriage passes, the cable's drop-outs and whether they followed a
// pass (a cable that breaks as it flexes), the line errors and the port lost.
// Every figure is counted from the reports themselves.
#include <cstring>

#include "app/report.h"
#include "common/output.h"

// Drop-outs and losses listed one by one; the rest are only counted.
#define LISTED_AT_MOST 20
// A drop-out this soon after a pass may be the carriage's doing.
#define AFTER_PASS_MS 1000

void FormatWhen(long long ms, char* out, size_t size) {
    if (!g_reportSource.startKnown) {
        snprintf(out, size, "%lld.%03lld s", ms / 1000, ms % 1000);
        return;
    }
    int year, month, day, firstYear, firstMonth, firstDay;
    long long msOfDay, firstMsOfDay;
    CalendarOf(ms, &year, &month, &day, &msOfDay);
    CalendarOf(0, &firstYear, &firstMonth, &firstDay, &firstMsOfDay);
    int length = 0;
    if (year != firstYear || month != firstMonth || day != firstDay) {
        length = snprintf(out, size, "%04d-%02d-%02d ", year, month, day);
    }
    snprintf(out + length, size - (size_t)length, "%02lld:%02lld:%02lld.%03lld", msOfDay / 3600000,
             msOfDay / 60000 % 60, msOfDay / 1000 % 60, msOfDay % 1000);
}

void FormatSpan(long long ms, char* out, size_t size) {
    ms = ms < 0 ? 0 : ms;
    if (ms < 10000) {
        snprintf(out, size, "%lld.%02lld s", ms / 1000, ms % 1000 / 10);
    } else if (ms < 60000) {
        snprintf(out, size, "%lld.%lld s", ms / 1000, ms % 1000 / 100);
    } else if (ms < 3600000) {
        snprintf(out, size, "%lld min %lld s", ms / 60000, ms / 1000 % 60);
    } else {
        snprintf(out, size, "%lld h %02lld min %lld s", ms / 3600000, ms / 60000 % 60,
                 ms / 1000 % 60);
    }
}

static void PrintHeader(void) {
    const ReportSource* source = &g_reportSource;
    char from[48], to[48], span[48];
    FormatWhen(0, from, sizeof from);
    FormatWhen(source->endMs, to, sizeof to);
    FormatSpan(source->endMs, span, sizeof span);
    if (!source->startKnown) {
        Print("Script %s, replayed from its start to %s (%s); times are from its start\n",
              source->path, to, span);
        return;
    }
    int year, month, day;
    long long msOfDay;
    CalendarOf(0, &year, &month, &day, &msOfDay);
    if (source->isLog) {
        Print("Log %s%s%s, from %04d-%02d-%02d %s to %s (%s)\n", source->path,
              source->port[0] != '\0' ? " of the port " : "", source->port, year, month, day, from,
              to, span);
    } else {
        Print("Port %s, recorded by cabletest %s from %04d-%02d-%02d %s to %s (%s)\n", source->port,
              source->version, year, month, day, from, to, span);
    }
}

static void PrintPasses(void) {
    size_t count = 0;
    long long first = 0, last = 0, shortest = 0, longest = 0;
    for (size_t i = 0; i < g_reports.count; ++i) {
        const ReportItem* event = &g_reports.items[i];
        if (event->kind != REPORT_PASS) {
            continue;
        }
        long long gap = event->atMs - last;
        if (count == 0) {
            first = event->atMs;
        } else {
            shortest = count == 1 || gap < shortest ? gap : shortest;
            longest = gap > longest ? gap : longest;
        }
        last = event->atMs;
        ++count;
    }
    char when[48], average[48], low[48], high[48];
    FormatWhen(first, when, sizeof when);
    if (count < 2) {
        Print(count == 0 ? "Carriage passes: none\n" : "Carriage passes: 1, at %s\n", when);
        return;
    }
    FormatSpan((last - first) / (long long)(count - 1), average, sizeof average);
    FormatSpan(shortest, low, sizeof low);
    FormatSpan(longest, high, sizeof high);
    Print("Carriage passes: %lu, one every %s on average (shortest gap %s, longest %s)\n",
          (unsigned long)count, average, low, high);
}

// The last pass before `atMs`, and how long before; -1 when none.
static long long SincePass(size_t reportIndex, long long atMs) {
    for (size_t i = reportIndex; i-- > 0;) {
        if (g_reports.items[i].kind == REPORT_PASS) {
            return atMs - g_reports.items[i].atMs;
        }
    }
    return -1;
}

// One drop-out: the report at `index` and the next connected one. TRUE when
// it began within AFTER_PASS_MS of a pass.
static BOOL DropOut(size_t index, BOOL listed, long long* longest, size_t* longestIndex) {
    long long atMs = g_reports.items[index].atMs, toMs = g_reportSource.endMs;
    size_t next = index + 1;
    for (; next < g_reports.count && g_reports.items[next].kind != REPORT_CONNECTED; ++next) {
    }
    toMs = next < g_reports.count ? g_reports.items[next].atMs : toMs;
    if (toMs - atMs > *longest) {
        *longest = toMs - atMs;
        *longestIndex = index;
    }
    long long since = SincePass(index, atMs);
    BOOL afterPass = since >= 0 && since <= AFTER_PASS_MS;
    if (listed) {
        char when[48], span[48], pass[64] = "";
        FormatWhen(atMs, when, sizeof when);
        FormatSpan(toMs - atMs, span, sizeof span);
        if (afterPass) {
            strcpy(pass, "   ");
            FormatSpan(since, pass + 3, 24);
            strcat(pass, " after a carriage pass");
        }
        Print("  %s  %s%s%s\n", when, span, next < g_reports.count ? "" : ", to the end", pass);
    }
    return afterPass;
}

// The time spent in one state of the cable.
static long long CableTime(int state) {
    long long total = 0;
    for (size_t i = 0; i < g_cableSpans.count; ++i) {
        if (g_cableSpans.items[i].kind == state) {
            total += g_cableSpans.items[i].toMs - g_cableSpans.items[i].atMs;
        }
    }
    return total;
}

static size_t CountReports(int kind) {
    size_t count = 0;
    for (size_t i = 0; i < g_reports.count; ++i) {
        count += g_reports.items[i].kind == kind;
    }
    return count;
}

static void PrintDropOuts(size_t count) {
    size_t seen = 0, afterPass = 0, longestIndex = 0;
    long long longest = -1;
    for (size_t i = 0; i < g_reports.count; ++i) {
        if (g_reports.items[i].kind == REPORT_DISCONNECTED) {
            afterPass += DropOut(i, seen < LISTED_AT_MOST, &longest, &longestIndex);
            ++seen;
        }
    }
    if (count > LISTED_AT_MOST) {
        Print("  and %lu more; the longest:\n", (unsigned long)(count - LISTED_AT_MOST));
        DropOut(longestIndex, TRUE, &longest, &longestIndex);
    }
    if (count == 1) {
        Print("  it began %s 1 s after a carriage pass\n", afterPass ? "within" : "more than");
    } else {
        Print("  %lu of the %lu drop-outs began within 1 s after a carriage pass\n",
              (unsigned long)afterPass, (unsigned long)count);
    }
}

static void PrintCable(void) {
    if (CountReports(REPORT_CONNECTED) == 0) {
        Print(
            "Cable: never reported connected (a cable missing from the start is reported once it "
            "has been connected)\n");
        return;
    }
    long long connected = CableTime(CABLE_CONNECTED);
    long long sampled = connected + CableTime(CABLE_DISCONNECTED);
    size_t dropOuts = CountReports(REPORT_DISCONNECTED);
    char on[48], all[48];
    FormatSpan(connected, on, sizeof on);
    FormatSpan(sampled, all, sizeof all);
    long long tenths = sampled > 0 ? connected * 1000 / sampled : 1000;
    Print("Cable: connected %s of the %s it was sampled (%lld.%lld %%); ", on, all, tenths / 10,
          tenths % 10);
    if (dropOuts == 0) {
        Print("no drop-out\n");
        return;
    }
    Print(dropOuts == 1 ? "1 drop-out:\n" : "%lu drop-outs:\n", (unsigned long)dropOuts);
    PrintDropOuts(dropOuts);
}

static void PrintLineErrors(void) {
    static const char* const kNames[LINE_ERROR_KINDS] = {"framing", "overrun", "parity", "break"};
    if (!g_reportSource.errorsKnown) {
        Print("Line errors: a console log does not show them (a recording does)\n");
        return;
    }
    size_t counts[LINE_ERROR_KINDS] = {0};
    long long first[LINE_ERROR_KINDS] = {0};
    for (size_t i = g_lineErrors.count; i-- > 0;) {
        ++counts[g_lineErrors.items[i].kind];
        first[g_lineErrors.items[i].kind] = g_lineErrors.items[i].atMs;
    }
    if (g_lineErrors.count == 0) {
        Print("Line errors: none\n");
        return;
    }
    char text[512] = "Line errors:", absent[128] = "";
    int absentCount = 0;
    for (int kind = 0; kind < LINE_ERROR_KINDS; ++kind) {
        char part[96], when[48];
        FormatWhen(first[kind], when, sizeof when);
        if (counts[kind] != 0) {
            snprintf(part, sizeof part, "%s %lu %s (first %s)", strlen(text) > 12 ? "," : "",
                     (unsigned long)counts[kind], kNames[kind], when);
            strcat(text, part);
            continue;
        }
        // "no overrun, parity or break"
        snprintf(part, sizeof part, "%s%s", absentCount == 0 ? "" : ", ", kNames[kind]);
        strcat(absent, part);
        ++absentCount;
    }
    char* lastComma = strrchr(absent, ',');
    if (absentCount > 1 && lastComma != NULL) {
        memmove(lastComma + 3, lastComma + 1, strlen(lastComma + 1) + 1);
        memcpy(lastComma, " or", 3);
    }
    Print("%s%s%s\n", text, absentCount > 0 ? ", no " : "", absent);
}

static void PrintPortLost(void) {
    size_t count = g_lostSpans.count;
    if (count == 0) {
        Print("Port lost: never\n");
        return;
    }
    if (count == 1) {
        Print("Port lost: once, ");
    } else {
        Print(count == 2 ? "Port lost: twice:\n  " : "Port lost: %lu times:\n  ",
              (unsigned long)count);
    }
    for (size_t i = 0; i < count && i < LISTED_AT_MOST; ++i) {
        const ReportItem* span = &g_lostSpans.items[i];
        char when[48], length[48];
        FormatWhen(span->atMs, when, sizeof when);
        FormatSpan(span->toMs - span->atMs, length, sizeof length);
        Print("%s%s for %s%s\n", i == 0 ? "" : "  ", when, length,
              span->kind != 0 ? ", not back by the end" : "");
    }
    if (count > LISTED_AT_MOST) {
        Print("  and %lu more\n", (unsigned long)(count - LISTED_AT_MOST));
    }
}

void PrintSummary(void) {
    PrintHeader();
    PrintPasses();
    PrintCable();
    PrintLineErrors();
    PrintPortLost();
}
