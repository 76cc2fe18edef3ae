// The command line. Options come before, between or after the port and the
// debug word, so that an operator can add -t or --record to a command line
// already in use without re-ordering it. Every option is checked before
// anything is opened: a typing slip is refused, never taken for a port.
#include "app/options.h"

#include <cstring>

#include "common/output.h"

// The file of an option that takes one (--record, --report, --svg), from
// "--option=FILE" or the next word. A next word that is an option is not
// taken for a file: "--record -t" is a slip.
static BOOL ReadPath(int argc, char* argv[], int* index, const char* option, const char** path) {
    const char* word = argv[*index];
    size_t length = strlen(option);
    *path = NULL;
    if (word[length] == '=') {
        *path = word + length + 1;
    } else if (*index + 1 < argc) {
        *path = argv[++*index];
    }
    if (*path == NULL || (*path)[0] == '\0' || (*path)[0] == '-') {
        PrintError("cabletest: %s needs a file name\n", option);
        return FALSE;
    }
    return TRUE;
}

// TRUE when `word` is `option`, alone or with "=FILE".
static BOOL IsPathOption(const char* word, const char* option) {
    size_t length = strlen(option);
    return strncmp(word, option, length) == 0 && (word[length] == '\0' || word[length] == '=');
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
    } else if (IsPathOption(word, "--record")) {
        return ReadPath(argc, argv, index, "--record", &line->recordPath);
    } else if (IsPathOption(word, "--report")) {
        return ReadPath(argc, argv, index, "--report", &line->reportPath);
    } else if (IsPathOption(word, "--svg")) {
        return ReadPath(argc, argv, index, "--svg", &line->svgPath);
    } else {
        PrintError("cabletest: unknown option %s\n", word);
        return FALSE;
    }
    return TRUE;
}

// --report reads a file and opens no port: it goes with --svg alone.
static BOOL CheckReportOptions(const CommandLine* line) {
    if (line->svgPath != NULL && line->reportPath == NULL) {
        PrintError("cabletest: --svg goes with --report FILE\n");
        return FALSE;
    }
    if (line->reportPath != NULL &&
        (line->port != NULL || line->recordPath != NULL || line->timestamps || line->list)) {
        PrintError("cabletest: --report takes no port and no other option but --svg\n");
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
    return CheckReportOptions(line);
}
