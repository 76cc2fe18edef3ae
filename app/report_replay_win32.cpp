// The replay behind --report on Windows: this build has no simulated line, so
// a recording or a script is refused with the way to a build that has one.
// The operator's log (-t) is summarised on every build.
#include "app/report.h"
#include "common/output.h"

int ReplayScript(const char* path, char* text, size_t length) {
    (void)text;
    (void)length;
    PrintError(
        "cabletest: %s is a recording or a script of the simulated line, which this Windows "
        "build does not have: use the Linux build to report on it (a log saved with -t is "
        "reported here)\n",
        path);
    return EXIT_USAGE;
}
