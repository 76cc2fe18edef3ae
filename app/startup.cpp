// Start-up and port selection: the command line names the port, or the
// operator presses a digit at the prompt; a port that will not open sends
// the operator back to the prompt.
#include <cstring>

#include "app/app.h"
#include "app/console.h"
#include "app/options.h"
#include "app/ports.h"
#include "app/report.h"
#include "common/output.h"
#include "serial/line.h"
#include "serial/platform_names.h"
#include "serial/record.h"

// CABLETEST_VERSION, written by the build (cmake/version.cmake).
#include "cabletest_version.h"

static const char kUsage[] =
    "Usage: cabletest [port [debug]]\n"
    "       cabletest [-t] [--record FILE] [port [debug]]\n"
    "       cabletest --list\n"
    "       cabletest --report FILE [--svg PICTURE]\n"
    "\n"
    "Tests a magnetic-switch cable on a serial port at 9600 baud. Prints\n"
    "\"-->Carriage Pass\" for each burst of bytes received and \"Cable connected\" or\n"
    "\"Cable disconnected\" when DSR, sampled under a 10 ms DTR pulse whenever the\n"
    "line is quiet, changes. Runs until Ctrl-C.\n"
    "\n"
    "  port   the serial port, up to 255 characters; without it the program asks\n"
    "         for a digit 1 to 9 (com1 to com9). comN is the N-th serial port (on\n"
    "         Linux /dev/ttyS<N-1>); on Linux any other name is a device under /dev,\n"
    "         such as ttyUSB0, ttyACM0, pts/3 or serial/by-id/usb-..., also given\n"
    "         as a path (/dev/ttyUSB0), and sim is the built-in simulated line (a\n"
    "         cable and a carriage played from CABLETEST_SIM_SCRIPT, or a\n"
    "         demonstration without it).\n"
    "  debug  (any letter case) also shows the device handle, each byte received\n"
    "         with its timing, and all four modem input lines.\n"
    "\n"
    "Options may stand anywhere on the command line.\n"
    "  -t, --timestamps  start every line after the banner with the local date\n"
    "                    and time to the millisecond\n"
    "  --record FILE     append to FILE everything seen on the line (bytes, line\n"
    "                    errors, modem lines, the port lost and back) as a script\n"
    "                    for the simulated line: CABLETEST_SIM_SCRIPT=FILE\n"
    "                    cabletest sim replays it. FILE is a regular file, created\n"
    "                    or added to; a device, FIFO, socket or folder is refused\n"
    "  --report FILE     summarise a shift and exit, opening no port: FILE is a\n"
    "                    recording (replayed on the simulated line, Linux build) or\n"
    "                    the program's output saved with -t; tells the passes, the\n"
    "                    cable's drop-outs, line errors and the port lost\n"
    "  --svg PICTURE     with --report: also draw the timeline into PICTURE (SVG)\n"
    "  -l, --list        the machine's serial ports, each with the name to give first;\n"
    "                    opens none of them (an open would raise DTR and RTS)\n"
    "  -h, --help        this text\n"
    "  --version         the program's version\n"
    "\n"
    "Environment (Linux):\n"
    "  CABLETEST_DEVICE_DIR  the folder port names are looked up in (default /dev)\n"
    "  CABLETEST_SYSFS_DIR   the device data --list reads (default /sys)\n"
    "  CABLETEST_SIM_SCRIPT  the script the simulated line plays\n"
    "  CABLETEST_SIM_LOG     a file each change of DTR or RTS is added to\n"
    "  CABLETEST_CLOCK       virtual: run on simulated time (only sim opens)\n"
    "  CABLETEST_TICK_START  the tick count at start on the virtual clock\n";

// The digit prompt, repeated until a valid key. Returns
// STARTUP_MONITOR with `portName` set to com1..com9, or an exit code.
static int AskForPort(char* portName, signed char* key) {
    int failedReads = 0;

    for (;;) {
        Print("Please enter serial port number (1-9) ");
        int read = ConsoleReadKey();
        if (read < 0) {
            // Without a console every read fails at once; asking for ever
            // would only fill the output.
            Print(" invalid port\n");
            if (++failedReads >= KEY_READ_ATTEMPTS) {
                Print(
                    "No console to read the port number from; give the port as the first "
                    "argument\n");
                return EXIT_NO_CONSOLE;
            }
            continue;
        }
        failedReads = 0;
        *key = (signed char)read;
        if (*key == 3) {
            return EXIT_CTRL_C;
        }
        ConsoleEcho((unsigned char)*key);
        if (!IsPortKey(*key)) {
            Print(" invalid port\n");
            continue;
        }
        Print("\n");
        strcpy(portName, "comx");
        portName[3] = (char)*key;
        return STARTUP_MONITOR;
    }
}

// The prompt with the console held in the key read's mode throughout, and
// given back before the port is opened or the program ends.
static int PromptForPort(char* portName, signed char* key) {
    ConsoleBeginPrompt();
    int result = AskForPort(portName, key);
    ConsoleEndPrompt();
    return result;
}

// The line context's start: the watcher's loop switch and the events the
// receiver and the watcher meet through.
static void CreateLineEvents(void) {
    g_running = 1;
    // Private to the process, so that two copies watching two ports do not
    // wake each other.
    g_rxReadyEvent = CreateEventA(NULL, TRUE, FALSE, PrivateEventName("RxRdyEvent"));
    g_queuedEvent = CreateEventA(NULL, TRUE, FALSE, PrivateEventName("QueuedEvent"));
    g_waitEvent = CreateEventA(NULL, TRUE, FALSE, PrivateEventName("WaitEvent"));
}

// The cause of a refused open, after its "Open <name> failed <code>" line. A
// name too long is refused before the platform sees it; only the start of it
// is repeated here, since the open's line gave it whole.
static void ExplainRefusal(const char* name, DWORD error) {
    if (error == ERROR_FILENAME_EXCED_RANGE) {
        PrintError("%.20s...: the name is longer than the %d characters a port name may have\n",
                   name, PORT_NAME_MAX);
    } else {
        ExplainOpenFailure(name, error);
    }
}

// Opens the port into g_port: first the one the command line names, if any,
// then whichever the operator chooses, asked again whenever one will not
// open. STARTUP_MONITOR once it is open, with its name in `portName`, else
// the prompt's exit code.
static int OpenSelectedPort(const char* argument, char* portName, signed char* key) {
    BOOL prompt = argument == NULL;
    for (;;) {
        if (prompt) {
            int result = PromptForPort(portName, key);
            if (result != STARTUP_MONITOR) {
                return result;
            }
        }
        // The argument is opened as it stands: OpenCommPort refuses a name
        // too long for portName whole, since a cut name could open another
        // port.
        const char* name = prompt ? portName : argument;
        g_port = OpenCommPort(name);
        if (g_port != INVALID_HANDLE_VALUE) {
            if (!prompt) {
                strcpy(portName, argument);  // fits: the open took it
            }
            return STARTUP_MONITOR;
        }
        // OpenCommPort has printed its line on standard output; the cause
        // follows it on standard error.
        ExplainRefusal(CommPortName(name), GetLastError());
        prompt = TRUE;
    }
}

// The comm-event watcher, to which the receiver hands its waits.
static void StartWatcher(void) {
    g_watchThread = CreateThread(NULL, 65536, CommWatchThread, NULL, 0, &g_watchThreadId);
    if (g_watchThread == NULL) {
        // Not shown: without a watcher the receiver still works, each
        // empty read waiting out its limit.
        DWORD threadError = GetLastError();
        (void)threadError;
    }
}

// What the command line asks for that ends the program before the port is
// chosen: a refusal, the usage, the version, the list of ports, a recording
// that cannot be created. STARTUP_MONITOR when the program is to go on.
static int HandleCommandLine(int argc, char* argv[], CommandLine* line) {
    if (!ReadCommandLine(argc, argv, line)) {
        PrintError("%s", kUsage);
        return EXIT_USAGE;
    }
    if (line->help) {
        Print("%s", kUsage);
        return 0;
    }
    if (line->version) {
        Print("cabletest %s\n", CABLETEST_VERSION);
        return 0;
    }
    if (line->list) {
        return ListSerialPorts();
    }
    if (line->reportPath != NULL) {
        return Report(line->reportPath, line->svgPath);
    }
    if (line->recordPath != NULL && !RecordCreate(line->recordPath)) {
        return EXIT_NO_RECORDING;
    }
    return STARTUP_MONITOR;
}

int StartUp(int argc, char* argv[], char* portName, signed char* key, BOOL* debugMode) {
    CommandLine line;
    int result = HandleCommandLine(argc, argv, &line);
    if (result != STARTUP_MONITOR) {
        return result;
    }

    CreateLineEvents();
    Print("Magnetic switch cable test program\n\n");
    Print("Ctrl C to terminate\n");
    if (line.timestamps) {
        StampLinesFromHere();
    }

    result = OpenSelectedPort(line.port, portName, key);
    if (result != STARTUP_MONITOR) {
        return result;
    }
    RecordStart(CommPortName(portName), CABLETEST_VERSION);
    if (g_port != NULL) {
        StartWatcher();
    }

    if (line.debugWord != NULL) {
        *debugMode = IsDebugWord(line.debugWord) ? 1 : 0;
    }

    Sleep(100);

    if (*debugMode) {
        Print("Handle = %08lX\n", (unsigned long)(ULONG_PTR)g_port);
    }
    return STARTUP_MONITOR;
}
