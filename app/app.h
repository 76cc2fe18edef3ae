// Start-up of the program: greeting, port selection (first argument or the
// digit prompt), opening the port, starting the watcher and the debug switch.
#ifndef CABLETEST_APP_APP_H
#define CABLETEST_APP_APP_H

#include "platform/win32.h"

// StartUp's result when the port is open and monitoring is to begin; any
// other result is the exit code the program ends with.
#define STARTUP_MONITOR (-1)

// Exit codes: Ctrl-C at the prompt, no console to prompt on, a recording
// that cannot be created, a command line that is refused, and a FILE or
// PICTURE of --report that will not do.
#define EXIT_CTRL_C 3
#define EXIT_NO_CONSOLE 1
#define EXIT_NO_RECORDING 1
#define EXIT_USAGE 2
#define EXIT_BAD_REPORT 1

// Key reads that may fail in a row before the prompt gives up.
#define KEY_READ_ATTEMPTS 3

// TRUE when `word` is "debug" in any ASCII letter case. Locale-independent
// on purpose: the switch must not depend on the operator's settings.
inline BOOL IsDebugWord(const char* word) {
    const char* expected = "debug";
    for (;; ++word, ++expected) {
        char c = *word;
        if (c >= 'A' && c <= 'Z') {
            c = (char)(c - 'A' + 'a');
        }
        if (c != *expected) {
            return FALSE;
        }
        if (c == '\0') {
            return TRUE;
        }
    }
}

// TRUE for the keys the prompt accepts, '1' to '9'.
inline BOOL IsPortKey(signed char key) {
    return key >= '1' && key <= '9';
}

// Steps of start-up up to the hand-over to the monitoring loop. Fills main's
// locals `portName` (PORT_NAME_MAX + 1 bytes), `key` and `debugMode`. Returns
// STARTUP_MONITOR when the port is open, else the exit code.
int StartUp(int argc, char* argv[], char* portName, signed char* key, BOOL* debugMode);

#endif  // CABLETEST_APP_APP_H
