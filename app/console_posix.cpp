// Console services of the port prompt on POSIX: the key read and the echo go
// to the controlling terminal itself (/dev/tty), so that they work with
// standard input and output redirected. The terminal is in raw mode while a
// key read waits and, inside a prompt, from the prompt's start to its end, so
// that keys typed ahead between two reads are neither echoed twice nor turned
// into signals. Whatever signal ends or stops the process meanwhile, the
// terminal gets its mode back first.
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

// Between ConsoleBeginPrompt and ConsoleEndPrompt: the key reads leave the
// terminal raw.
static int g_promptOpen = 0;

// What the signal handlers need to put the terminal back. The modes are
// written only while none of our handlers is installed.
static struct termios g_savedMode;
static struct termios g_rawMode;
// Raw mode is wanted whenever the process is in the foreground...
static volatile sig_atomic_t g_rawWanted = 0;
// ...and the terminal may be in it. Set before the mode is changed, so that a
// signal in between still puts the saved mode back.
static volatile sig_atomic_t g_rawSet = 0;
typedef void (*SignalHandler)(int);
static struct sigaction g_previousAction[NSIG];
static int g_handlerInstalled[NSIG];

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

// The saved mode back; also called from the signal handlers.
static void RestoreSavedMode(void) {
    if (g_rawSet) {
        SetMode(&g_savedMode);
        g_rawSet = 0;
    }
}

// Raw mode again after a stop, when it is still wanted. A job continued in
// the background leaves the mode to the shell that now has the terminal;
// the continuing into the foreground comes back here.
static void ResumeRawMode(void) {
    if (g_rawWanted && tcgetpgrp(g_terminal) == getpgrp()) {
        g_rawSet = 1;
        SetMode(&g_rawMode);
    }
}

// Puts a handler of ours on one signal; also called from the handlers
// themselves, so only async-signal-safe calls.
static int SetModeHandler(int sig, SignalHandler handler) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    // The prompt's own output may be blocked in a write when a stop and a
    // continue come: the write goes on rather than failing.
    action.sa_flags = SA_RESTART;
    sigfillset(&action.sa_mask);
    return sigaction(sig, &action, NULL);
}

// A signal while raw mode is wanted: the terminal gets its mode back, then
// the signal takes the course it would have taken without us, so that the
// process ends or stops as it would have (the exit status names the signal).
static void ModeSignalHandler(int sig) {
    int savedErrno = errno;
    RestoreSavedMode();
    sigaction(sig, &g_previousAction[sig], NULL);
    raise(sig);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    // The signal's own course happens here: the end of the process, a stop,
    // or the handler that was there before ours.
    sigprocmask(SIG_UNBLOCK, &unblock, NULL);

    // Still here: continued after a stop, or the previous handler returned.
    SetModeHandler(sig, ModeSignalHandler);
    ResumeRawMode();
    errno = savedErrno;
}

// Continued after a stop that we could not see coming (SIGSTOP), or that a
// shell's own mode followed: raw mode again.
static void ContinueSignalHandler(int sig) {
    (void)sig;
    int savedErrno = errno;
    ResumeRawMode();
    errno = savedErrno;
}

// Every signal that ends or stops the process by default gets the mode
// handler; so does any other that the system may have, since the handler
// leaves each signal its own course. Those that cannot be caught, and those
// ignored by default, are left alone.
static SignalHandler ModeHandlerFor(int sig) {
    if (sig == SIGCONT)
        return ContinueSignalHandler;
    if (sig == SIGKILL || sig == SIGSTOP || sig == SIGCHLD || sig == SIGURG || sig == SIGWINCH)
        return NULL;
    return ModeSignalHandler;
}

static void InstallModeHandlers(void) {
    for (int sig = 1; sig < NSIG; ++sig) {
        g_handlerInstalled[sig] = 0;
        SignalHandler handler = ModeHandlerFor(sig);
        // Fails for the signals that the C library keeps for itself.
        if (handler == NULL || sigaction(sig, NULL, &g_previousAction[sig]) != 0)
            continue;
        SignalHandler previous = g_previousAction[sig].sa_handler;
        // A signal the user has chosen to ignore (nohup) stays ignored; a
        // handler of someone else's on SIGCONT is not ours to replace.
        if (handler == ModeSignalHandler ? previous == SIG_IGN
                                         : previous != SIG_DFL && previous != SIG_IGN)
            continue;
        if (SetModeHandler(sig, handler) == 0)
            g_handlerInstalled[sig] = 1;
    }
}

static void RemoveModeHandlers(void) {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (g_handlerInstalled[sig])
            sigaction(sig, &g_previousAction[sig], NULL);
        g_handlerInstalled[sig] = 0;
    }
}

// Puts the terminal into raw mode until EndRawMode; nothing when it is
// already there. 0, or -1 when there is no terminal to put into it.
static int BeginRawMode(void) {
    if (g_rawWanted)
        return 0;
    if (ConsoleTerminal() < 0 || tcgetattr(g_terminal, &g_savedMode) != 0)
        return -1;

    g_rawMode = g_savedMode;
    // Only the input side changes: text printed while raw mode lasts, such as
    // the prompt's own lines, still gets the terminal's output processing.
    g_rawMode.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    g_rawMode.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | ISTRIP | BRKINT | PARMRK | INPCK);
    g_rawMode.c_cc[VMIN] = 1;
    g_rawMode.c_cc[VTIME] = 0;

    InstallModeHandlers();
    g_rawWanted = 1;
    g_rawSet = 1;
    if (SetMode(&g_rawMode) != 0) {
        g_rawWanted = 0;
        g_rawSet = 0;
        RemoveModeHandlers();
        return -1;
    }
    return 0;
}

static void EndRawMode(void) {
    if (!g_rawWanted)
        return;
    g_rawWanted = 0;
    RestoreSavedMode();
    RemoveModeHandlers();
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
    if (BeginRawMode() != 0)
        return -1;
    int key = WaitForKey();
    if (!g_promptOpen)
        EndRawMode();
    return key;
}

void ConsoleBeginPrompt(void) {
    g_promptOpen = 1;
    // Without a terminal now, the key read tries again and reports it.
    BeginRawMode();
}

void ConsoleEndPrompt(void) {
    g_promptOpen = 0;
    EndRawMode();
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
