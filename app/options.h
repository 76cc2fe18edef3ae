// The command line: options may stand anywhere; the port and the debug word
// are the first and second words that are not options. A port name never
// starts with '-'.
#ifndef CABLETEST_APP_OPTIONS_H
#define CABLETEST_APP_OPTIONS_H

#include "platform/win32.h"

// What the command line asks for.
struct CommandLine {
    BOOL help;               // -h, --help
    BOOL version;            // --version
    BOOL list;               // -l, --list
    BOOL timestamps;         // -t, --timestamps
    const char* recordPath;  // --record FILE, or NULL
    const char* reportPath;  // --report FILE, or NULL
    const char* svgPath;     // --svg PICTURE, or NULL
    const char* port;        // the first word that is not an option, or NULL
    const char* debugWord;   // the second, or NULL
};

// Reads argv into *line. FALSE, with what is wrong on standard error, when
// an option is unknown or lacks its value; the caller adds the usage.
BOOL ReadCommandLine(int argc, char* argv[], CommandLine* line);

#endif  // CABLETEST_APP_OPTIONS_H
