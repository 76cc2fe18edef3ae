// The command line. Options come before, between or after the port and the
// debug word, so that an operator can add -t or --record to a command line
// already in use without re-ordering it. Every option is checked before
// anything is opened: a typing slip is refused, never taken for a port.
#include "app/options.h"

#include <cstring>

#include "common/output.h"

// The file of --record, from "--record=FILE" or the next word. A next word
// that is an option is not taken for a file: "--record -t" is a slip.
static BOOL ReadRecordPath(int argc, char* argv[], int* index, CommandLine* line) {
    const char* word = argv[*index];
    const char* path = NULL;
    if (word[8] == '=') {
        path = word + 9;
    } else if (*index + 1 < argc) {
        path = argv[++*index];
    }
    if (path == NULL || path[0] == '\0' || path[0] == '-') {
        PrintError("cabletest: --record needs a file name\n");
        return FALSE;
    }
    line->recordPath = path;
    return TRUE;
}

// One option at argv[*index]; moves *index past a value it takes. FALSE when
// it is refused.
static BOOL ReadOption(int argc, char* argv[], int* index, CommandLine* line) {
    const char* word = argv[*index];
    if (strcmp(word, "-h") == 0 || strcmp(word, "--help") == 0) {
        line->help = TRUE;
    } else if (strcmp(word, "--version") == 0) {
        line->version = TRUE;
    } else if (strcmp(word, "-l") == 0 || strcmp(word, "--list") == 0) {
        line->list = TRUE;
    } else if (strcmp(word, "-t") == 0 || strcmp(word, "--timestamps") == 0) {
        line->timestamps = TRUE;
    } else if (strcmp(word, "--record") == 0 || strncmp(word, "--record=", 9) == 0) {
        return ReadRecordPath(argc, argv, index, line);
    } else {
        PrintError("cabletest: unknown option %s\n", word);
        return FALSE;
    }
    return TRUE;
}

BOOL ReadCommandLine(int argc, char* argv[], CommandLine* line) {
    memset(line, 0, sizeof *line);
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            if (!ReadOption(argc, argv, &i, line)) {
                return FALSE;
            }
        } else if (line->port == NULL) {
            line->port = argv[i];
        } else if (line->debugWord == NULL) {
            line->debugWord = argv[i];
        }
    }
    return TRUE;
}
