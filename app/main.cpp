// The program's entry: start-up, then the monitoring loop, which never
// returns. The program ends at the port prompt or by the console interrupt.
#include "app/app.h"
#include "app/monitor.h"
#include "serial/line.h"

int main(int argc, char* argv[]) {
    char portName[PORT_NAME_MAX + 1];
    signed char key = 0;
    BOOL debugMode = 0;
    DWORD lastPassTick = 0;
    DWORD cableState = 0;

    int exitCode = StartUp(argc, argv, portName, &key, &debugMode);
    if (exitCode != STARTUP_MONITOR) {
        // The normal exit, which flushes standard output.
        return exitCode;
    }
    MonitorLoop(portName, debugMode, &lastPassTick, &cableState);
}
