// The timeline picture of --report --svg: one self-contained SVG out, 1200 px
// wide, with the time of day along the bottom and one band each for the
// carriage passes, the cable, the port and the line errors. Made from the same
// timeline as the summary.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "app/report.h"

#define PICTURE_WIDTH 1200
#define PICTURE_HEIGHT 250
#define PLOT_LEFT 130
#define PLOT_RIGHT 1180
// Passes in one column of this many px are drawn as a count, not one by one.
#define PASS_COLUMN_PX 2
#define PASS_TOP 36
#define PASS_BOTTOM 80
#define CABLE_TOP 90
#define CABLE_BOTTOM 120
#define PORT_TOP 130
#define PORT_BOTTOM 144
#define ERROR_TOP 154
#define AXIS_Y 182
// The narrowest a drop-out, a loss or an error is drawn, so that one of a
// second shows in a shift of hours.
#define NARROWEST_PX 2.0

static const char* const kCableColours[] = {"#bdbdbd", "#2e7d32", "#d32f2f"};
static const char* const kErrorColours[LINE_ERROR_KINDS] = {"#ef6c00", "#6a1b9a", "#0277bd",
                                                            "#000000"};
static const char kPassColour[] = "#1565c0";
static const char kLostColour[] = "#424242";

// The picture's text as it is made; written out whole once it is done.
struct PictureText {
    char* text;
    size_t length;
    size_t capacity;
    BOOL failed;  // memory ran out
};

// Grows the text to hold `more` bytes and a terminator; FALSE when memory
// runs out.
static BOOL Reserve(PictureText* out, size_t more) {
    if (out->length + more + 1 <= out->capacity) {
        return TRUE;
    }
    size_t capacity = out->capacity == 0 ? 1 << 16 : out->capacity;
    while (capacity < out->length + more + 1) {
        capacity *= 2;
    }
    char* grown = (char*)realloc(out->text, capacity);
    if (grown == NULL) {
        return FALSE;
    }
    out->text = grown;
    out->capacity = capacity;
    return TRUE;
}

static void Put(PictureText* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(NULL, 0, format, args);
    va_end(args);
    if (!out->failed && length >= 0 && Reserve(out, (size_t)length)) {
        vsnprintf(out->text + out->length, (size_t)length + 1, format, again);
        out->length += (size_t)length;
    } else {
        out->failed = TRUE;
    }
    va_end(again);
}

static double X(long long ms) {
    long long end = g_reportSource.endMs > 0 ? g_reportSource.endMs : 1;
    ms = ms < 0 ? 0 : ms > end ? end : ms;
    return PLOT_LEFT + (double)ms * (PLOT_RIGHT - PLOT_LEFT) / (double)end;
}

// Text as XML character data.
static void PutText(PictureText* out, const char* text) {
    for (; *text != '\0'; ++text) {
        unsigned char c = (unsigned char)*text;
        if (c == '&' || c == '<' || c == '>' || c == '"') {
            Put(out, "%s", c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : "&quot;");
        } else if (c >= 0x20 || c == '\t') {
            Put(out, "%c", c);
        }
    }
}

static void PutLabel(PictureText* out, int x, int y, int size, const char* text) {
    Put(out, "<text x=\"%d\" y=\"%d\" font-size=\"%d\">", x, y, size);
    PutText(out, text);
    Put(out, "%s", "</text>\n");
}

static void PutSpan(PictureText* out, long long fromMs, long long toMs, int top, int bottom,
                    const char* colour, double narrowest) {
    double left = X(fromMs), width = X(toMs) - left;
    if (width < narrowest) {
        left -= (narrowest - width) / 2;
        width = narrowest;
    }
    Put(out, "<rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" fill=\"%s\"/>\n", left, top,
        width, bottom - top, colour);
}

static void PutTitle(PictureText* out) {
    const ReportSource* source = &g_reportSource;
    char title[700], when[48], to[48];
    FormatWhen(source->endMs, to, sizeof to);
    if (source->startKnown) {
        int year, month, day;
        long long msOfDay;
        CalendarOf(0, &year, &month, &day, &msOfDay);
        FormatWhen(0, when, sizeof when);
        snprintf(title, sizeof title, "%s %s, %04d-%02d-%02d %s to %s",
                 source->port[0] != '\0' ? "Port" : "Log",
                 source->port[0] != '\0' ? source->port : source->path, year, month, day, when, to);
    } else {
        snprintf(title, sizeof title, "Script %s, from its start to %s", source->path, to);
    }
    PutLabel(out, 10, 22, 16, title);
}

// Passes one by one, or as a count per column where they crowd.
static void PutPasses(PictureText* out) {
    static int counts[(PLOT_RIGHT - PLOT_LEFT) / PASS_COLUMN_PX + 1];
    const int columns = (PLOT_RIGHT - PLOT_LEFT) / PASS_COLUMN_PX;
    int most = 0;
    memset(counts, 0, sizeof counts);
    for (size_t i = 0; i < g_reports.count; ++i) {
        if (g_reports.items[i].kind == REPORT_PASS) {
            int column = (int)((X(g_reports.items[i].atMs) - PLOT_LEFT) / PASS_COLUMN_PX);
            column = column < columns ? column : columns - 1;
            most = ++counts[column] > most ? counts[column] : most;
        }
    }
    PutLabel(out, 10, 62, 12, "carriage passes");
    for (size_t i = 0; most <= 1 && i < g_reports.count; ++i) {
        if (g_reports.items[i].kind == REPORT_PASS) {
            Put(out, "<rect x=\"%.2f\" y=\"%d\" width=\"1\" height=\"%d\" fill=\"%s\"/>\n",
                X(g_reports.items[i].atMs) - 0.5, PASS_TOP, PASS_BOTTOM - PASS_TOP, kPassColour);
        }
    }
    for (int column = 0; most > 1 && column < columns; ++column) {
        int height =
            counts[column] == 0 ? 0 : 2 + (PASS_BOTTOM - PASS_TOP - 2) * counts[column] / most;
        if (height > 0) {
            Put(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/>\n",
                PLOT_LEFT + column * PASS_COLUMN_PX, PASS_BOTTOM - height, PASS_COLUMN_PX, height,
                kPassColour);
        }
    }
    if (most > 1) {
        char note[96], span[48];
        FormatSpan(g_reportSource.endMs / columns, span, sizeof span);
        snprintf(note, sizeof note, "up to %d per %s", most, span);
        PutLabel(out, 10, 76, 10, note);
    }
}

// The spans of one kind (-1: every kind) in one colour, each at least
// `narrowest` px wide. Those less than `mergePx` apart become one rectangle,
// so that a shift of thousands of drop-outs stays a picture that a browser
// opens at once; the pixels are the same.
static void PutSpans(PictureText* out, const ReportList* list, int kind, int top, int bottom,
                     const char* colour, double narrowest, double mergePx) {
    long long mergeMs =
        (long long)(mergePx * (double)g_reportSource.endMs / (PLOT_RIGHT - PLOT_LEFT));
    long long fromMs = 0, toMs = -1;
    for (size_t i = 0; i <= list->count; ++i) {
        const ReportItem* span = i < list->count ? &list->items[i] : NULL;
        if (span != NULL && kind >= 0 && span->kind != kind) {
            continue;
        }
        if (span != NULL && toMs >= 0 && span->atMs - toMs <= mergeMs) {
            toMs = span->toMs > toMs ? span->toMs : toMs;
            continue;
        }
        if (toMs >= 0) {
            PutSpan(out, fromMs, toMs, top, bottom, colour, narrowest);
        }
        fromMs = span != NULL ? span->atMs : 0;
        toMs = span != NULL ? span->toMs : -1;
    }
}

static void PutBands(PictureText* out) {
    PutLabel(out, 10, 110, 12, "cable");
    // Drop-outs last, so that a short one stays in sight over its neighbours.
    for (int kind = CABLE_NOT_KNOWN; kind <= CABLE_DISCONNECTED; ++kind) {
        double narrowest = kind == CABLE_DISCONNECTED ? NARROWEST_PX : 0;
        PutSpans(out, &g_cableSpans, kind, CABLE_TOP, CABLE_BOTTOM, kCableColours[kind], narrowest,
                 narrowest > 0 ? narrowest : 0.5);
    }
    PutLabel(out, 10, 141, 12, "port lost");
    PutSpans(out, &g_lostSpans, -1, PORT_TOP, PORT_BOTTOM, kLostColour, NARROWEST_PX, NARROWEST_PX);
    PutLabel(out, 10, 166, 12, g_reportSource.errorsKnown ? "line errors" : "(no line errors)");
    for (size_t i = 0; i < g_lineErrors.count; ++i) {
        Put(out, "<path d=\"M%.2f %d l-4 14 h8 z\" fill=\"%s\"/>\n", X(g_lineErrors.items[i].atMs),
            ERROR_TOP, kErrorColours[g_lineErrors.items[i].kind]);
    }
}

// Tick steps of the time axis, the first that gives at most ten ticks.
static long long AxisStep(void) {
    static const long long kSteps[] = {100,      200,      500,     1000,    2000,    5000,
                                       10000,    15000,    30000,   60000,   120000,  300000,
                                       600000,   900000,   1800000, 3600000, 7200000, 10800000,
                                       21600000, 43200000, 86400000};
    size_t i = 0;
    while (i + 1 < sizeof kSteps / sizeof kSteps[0] && g_reportSource.endMs / kSteps[i] > 10) {
        ++i;
    }
    return kSteps[i];
}

static void PutAxis(PictureText* out) {
    Put(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"1\" fill=\"#000000\"/>\n", PLOT_LEFT,
        AXIS_Y, PLOT_RIGHT - PLOT_LEFT);
    long long step = AxisStep();
    long long origin = g_reportSource.startKnown ? g_reportSource.startMs : 0;
    long long first = (origin + step - 1) / step * step - origin;
    for (long long ms = first; ms <= g_reportSource.endMs; ms += step) {
        char label[48];
        int year, month, day;
        long long msOfDay = ms;
        if (g_reportSource.startKnown) {
            CalendarOf(ms, &year, &month, &day, &msOfDay);
        }
        if (g_reportSource.startKnown && step >= 60000) {
            snprintf(label, sizeof label, "%02lld:%02lld", msOfDay / 3600000, msOfDay / 60000 % 60);
        } else if (g_reportSource.startKnown) {
            snprintf(label, sizeof label, "%02lld:%02lld:%02lld", msOfDay / 3600000,
                     msOfDay / 60000 % 60, msOfDay / 1000 % 60);
        } else {
            snprintf(label, sizeof label, step < 1000 ? "%lld.%lld s" : "%lld s", ms / 1000,
                     ms % 1000 / 100);
        }
        Put(out, "<rect x=\"%.2f\" y=\"%d\" width=\"1\" height=\"6\" fill=\"#000000\"/>\n",
            X(ms) - 0.5, AXIS_Y);
        Put(out, "<text x=\"%.2f\" y=\"%d\" font-size=\"11\" text-anchor=\"middle\">%s</text>\n",
            X(ms), AXIS_Y + 20, label);
    }
}

static void PutLegend(PictureText* out) {
    static const char* const kNames[] = {"cable not known", "connected", "disconnected"};
    int x = PLOT_LEFT, y = PICTURE_HEIGHT - 22;
    for (int i = 0; i < 3; ++i, x += 130) {
        Put(out, "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"10\" fill=\"%s\"/>\n", x, y,
            kCableColours[i]);
        PutLabel(out, x + 18, y + 10, 11, kNames[i]);
    }
    Put(out, "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"10\" fill=\"%s\"/>\n", x, y,
        kLostColour);
    PutLabel(out, x + 18, y + 10, 11, "port lost");
    x += 100;
    for (int kind = 0; kind < LINE_ERROR_KINDS; ++kind, x += 80) {
        Put(out, "<path d=\"M%d %d l-4 11 h8 z\" fill=\"%s\"/>\n", x + 6, y - 1,
            kErrorColours[kind]);
        PutLabel(out, x + 14, y + 10, 11, kLineErrorWords[kind]);
    }
}

char* MakeTimeline(size_t* length) {
    PictureText picture = {NULL, 0, 0, FALSE};
    PictureText* out = &picture;
    Put(out,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
        "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\">\n"
        "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
        PICTURE_WIDTH, PICTURE_HEIGHT, PICTURE_WIDTH, PICTURE_HEIGHT);
    PutTitle(out);
    PutPasses(out);
    PutBands(out);
    PutAxis(out);
    PutLegend(out);
    Put(out, "%s", "</svg>\n");
    if (picture.failed) {
        free(picture.text);
        return NULL;
    }
    *length = picture.length;
    return picture.text;
}
