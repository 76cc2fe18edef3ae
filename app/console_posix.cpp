// Console services of the port prompt on POSIX: the key read and the echo go
// to the controlling terminal itself (/dev/tty), so that they work with
// standard input and output redirected, and the terminal is in raw mode only
// while a key read waits.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "app/console.h"
#include "app/keydecode.h"

// How long a lone ESC waits for the rest of a sequence before it counts as
// the key 27, and how long a sequence that has begun waits for its next byte
// (longer, so that a slow remote link does not split a key into garbage).
static const int kLoneEscapeWaitMs = 50;
static const int kSequenceWaitMs = 300;

// The controlling terminal, opened once and kept.
static int g_terminal = -1;

static struct KeyDecoder g_keyDecoder;
// The second code of a two-code key, for the next read; -1 when none.
static int g_pendingCode = -1;

// What the signal handler needs to put the terminal back. Written only while
// the signals below are not handled by us.
static struct termios g_savedMode;
static struct termios g_rawMode;
static const int kWaitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
enum { WAIT_SIGNAL_COUNT = sizeof kWaitSignals / sizeof kWaitSignals[0] };
static struct sigaction g_previousAction[WAIT_SIGNAL_COUNT];
static int g_handlerInstalled[WAIT_SIGNAL_COUNT];

static int ConsoleTerminal(void) {
    if (g_terminal < 0)
        g_terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    return g_terminal;
}

static int SetMode(const struct termios* mode) {
    int result;
    do {
        result = tcsetattr(g_terminal, TCSANOW, mode);
    } while (result != 0 && errno == EINTR);
    return result;
}

static void WaitSignalHandler(int sig);

// Puts our handler on one signal; also called from the handler itself, so
// only async-signal-safe calls.
static int SetWaitHandler(int sig) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = WaitSignalHandler;
    sigfillset(&action.sa_mask);
    return sigaction(sig, &action, NULL);
}

static void InstallWaitHandlers(void) {
    for (int i = 0; i < WAIT_SIGNAL_COUNT; ++i) {
        g_handlerInstalled[i] = 0;
        if (sigaction(kWaitSignals[i], NULL, &g_previousAction[i]) != 0)
            continue;
        // A signal the user has chosen to ignore (nohup) stays ignored.
        if (g_previousAction[i].sa_handler == SIG_IGN)
            continue;
        if (SetWaitHandler(kWaitSignals[i]) == 0)
            g_handlerInstalled[i] = 1;
    }
}

static void RemoveWaitHandlers(void) {
    for (int i = 0; i < WAIT_SIGNAL_COUNT; ++i) {
        if (g_handlerInstalled[i])
            sigaction(kWaitSignals[i], &g_previousAction[i], NULL);
        g_handlerInstalled[i] = 0;
    }
}

// A signal during the wait: the terminal gets its mode back, then the signal
// takes the course it would have taken without us. A stop signal comes back
// here on continuing, and the wait goes on in raw mode.
static void WaitSignalHandler(int sig) {
    int savedErrno = errno;
    int index = -1;
    for (int i = 0; i < WAIT_SIGNAL_COUNT; ++i)
        if (kWaitSignals[i] == sig)
            index = i;
    if (index < 0)
        return;

    tcsetattr(g_terminal, TCSANOW, &g_savedMode);
    sigaction(sig, &g_previousAction[index], NULL);
    raise(sig);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    // The default action happens here: the end of the process, or a stop.
    sigprocmask(SIG_UNBLOCK, &unblock, NULL);

    // Still here: continued after a stop (or the previous action returned).
    SetWaitHandler(sig);
    tcsetattr(g_terminal, TCSANOW, &g_rawMode);
    errno = savedErrno;
}

// One byte from the terminal, waiting at most timeoutMs (-1: for ever).
// 1 with the byte, 0 on time-out, -1 when the terminal cannot be read.
static int ReadTerminalByte(int timeoutMs, unsigned char* byte) {
    for (;;) {
        struct pollfd p;
        p.fd = g_terminal;
        p.events = POLLIN;
        p.revents = 0;
        int ready = poll(&p, 1, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (ready == 0)
            return 0;
        if (!(p.revents & POLLIN))
            return -1;  // hung up or broken
        ssize_t n = read(g_terminal, byte, 1);
        if (n == 1)
            return 1;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        return -1;
    }
}

// Reads bytes until they make a key; the terminal is in raw mode throughout.
static int WaitForKey(void) {
    for (;;) {
        int timeoutMs = -1;
        if (KeyDecodePending(&g_keyDecoder))
            timeoutMs = KeyDecodeLoneEscape(&g_keyDecoder) ? kLoneEscapeWaitMs : kSequenceWaitMs;
        unsigned char byte = 0;
        struct KeyCodes codes;
        enum KeyDecodeStatus status;
        int got = ReadTerminalByte(timeoutMs, &byte);
        if (got < 0) {
            KeyDecodeReset(&g_keyDecoder);
            return -1;
        }
        if (got == 0)
            status = KeyDecodeFlush(&g_keyDecoder, &codes);
        else
            status = KeyDecodeFeed(&g_keyDecoder, byte, &codes);
        if (status != KEY_DECODE_KEY)
            continue;
        if (codes.count == 2)
            g_pendingCode = codes.code[1];
        return codes.code[0];
    }
}

int ConsoleReadKey(void) {
    if (g_pendingCode >= 0) {
        int code = g_pendingCode;
        g_pendingCode = -1;
        return code;
    }
    if (ConsoleTerminal() < 0)
        return -1;
    if (tcgetattr(g_terminal, &g_savedMode) != 0)
        return -1;

    g_rawMode = g_savedMode;
    g_rawMode.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    g_rawMode.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | ISTRIP | BRKINT | PARMRK | INPCK);
    g_rawMode.c_cc[VMIN] = 1;
    g_rawMode.c_cc[VTIME] = 0;

    InstallWaitHandlers();
    if (SetMode(&g_rawMode) != 0) {
        RemoveWaitHandlers();
        return -1;
    }
    int key = WaitForKey();
    SetMode(&g_savedMode);
    RemoveWaitHandlers();
    return key;
}

int ConsoleEcho(int byte) {
    if (ConsoleTerminal() < 0)
        return -1;
    unsigned char c = (unsigned char)byte;
    for (;;) {
        ssize_t n = write(g_terminal, &c, 1);
        if (n == 1)
            return c;
        if (n < 0 && errno == EINTR)
            continue;
        return -1;
    }
}
