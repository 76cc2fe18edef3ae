// The trace sink: every step of the watcher and the byte receiver is reported
// here. The program's own sink discards everything; tests link one that
// records.
#ifndef CABLETEST_COMMON_TRACE_H
#define CABLETEST_COMMON_TRACE_H

// Takes a format and its arguments as printf does; returns what the sink
// wrote (0 for the discarding sink).
int Trace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif  // CABLETEST_COMMON_TRACE_H
