// Console output: formatted text to standard output (and notes to standard
// error), each message written out whole before the call returns, to a
// terminal, a file or a pipe alike, so that nothing printed is lost when the
// process is ended by a signal or the console interrupt.
#ifndef CABLETEST_COMMON_OUTPUT_H
#define CABLETEST_COMMON_OUTPUT_H

// From here on, every line that Print starts begins with the local date and
// time to the millisecond and a blank ("2026-12-07 14:03:22.517 "). Called at
// a line start.
void StampLinesFromHere(void);

// printf to standard output, then written out at once. Returns the count of
// characters, or a negative value when standard output cannot be written.
int Print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The same to standard error, for notes beside the reports: the reports on
// standard output stay as they are whatever the notes say.
int PrintError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif  // CABLETEST_COMMON_OUTPUT_H
