// Console services of the port prompt on Windows: the key read from the
// console's own input buffer, the one-byte echo to the console screen, and
// the input mode held for a whole prompt.
//
// Both go to the console devices (CONIN$, CONOUT$) rather than to the
// standard handles, so that the prompt still works when standard input or
// output is redirected, and the echo never sits in the C run-time's buffer.
#include "app/console.h"
#include "platform/win32.h"

namespace {

// Opened on first use and held for the rest of the run; a failed open is
// tried again on the next call, since a console may be attached later.
HANDLE g_consoleIn = INVALID_HANDLE_VALUE;
HANDLE g_consoleOut = INVALID_HANDLE_VALUE;

// The second code of a key without a character, handed out by the next read.
int g_pendingKeyCode = -1;

// Between ConsoleBeginPrompt and ConsoleEndPrompt the key reads leave the
// input in mode 0.
BOOL g_promptOpen = FALSE;
// The input's mode is 0 and g_savedInputMode is what it was before.
BOOL g_inputModeHeld = FALSE;
DWORD g_savedInputMode = 0;

HANDLE ConsoleDevice(HANDLE* cached, LPCSTR name) {
    if (*cached == INVALID_HANDLE_VALUE) {
        *cached = CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    }
    return *cached;
}

// Mode 0: no Ctrl-C processing (it arrives as the byte 3), no line editing,
// no echo. TRUE once the input is in it; nothing to do when it already was.
BOOL HoldInputMode(HANDLE input) {
    if (g_inputModeHeld)
        return TRUE;
    if (!GetConsoleMode(input, &g_savedInputMode) || !SetConsoleMode(input, 0))
        return FALSE;
    g_inputModeHeld = TRUE;
    return TRUE;
}

void ReleaseInputMode(void) {
    if (g_inputModeHeld)
        SetConsoleMode(g_consoleIn, g_savedInputMode);
    g_inputModeHeld = FALSE;
}

// The PC keyboard's code for the cursor block's keys, 0 for any other key.
int CursorKeyCode(WORD vk) {
    switch (vk) {
        case VK_UP:
            return 72;
        case VK_DOWN:
            return 80;
        case VK_LEFT:
            return 75;
        case VK_RIGHT:
            return 77;
        case VK_HOME:
            return 71;
        case VK_END:
            return 79;
        case VK_PRIOR:
            return 73;
        case VK_NEXT:
            return 81;
        case VK_INSERT:
            return 82;
        case VK_DELETE:
            return 83;
        default:
            return 0;
    }
}

// The PC keyboard's code for a key that gives no character, with its prefix
// in *prefix: 0 for F1 to F10, 0xE0 for F11, F12 and the cursor block. 0 when
// the key has no such code (a modifier or Caps Lock alone).
int ExtendedKeyCode(const KEY_EVENT_RECORD& key, int* prefix) {
    WORD vk = key.wVirtualKeyCode;
    if (vk >= VK_F1 && vk <= VK_F10) {
        *prefix = 0;
        return 59 + (vk - VK_F1);
    }
    if (vk == VK_F11 || vk == VK_F12) {
        *prefix = 0xE0;
        return vk == VK_F11 ? 133 : 134;
    }
    // The cursor block's prefix whether or not the console flags the key as
    // enhanced (Wine's terminal console does not for Home and End), so that
    // the codes are the same as the terminal decoder's on POSIX.
    *prefix = 0xE0;
    return CursorKeyCode(vk);
}

// Reads console records until a key press that gives a code: its character,
// or for a key without one its prefix, with the second code left in
// g_pendingKeyCode. -1 when the read fails.
int ReadKeyPress(HANDLE input) {
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!ReadConsoleInputA(input, &record, 1, &count))
            return -1;
        if (count != 1 || record.EventType != KEY_EVENT)
            continue;
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        // One code per record, whatever its repeat count.
        if (!key.bKeyDown)
            continue;
        unsigned char character = static_cast<unsigned char>(key.uChar.AsciiChar);
        if (character != 0)
            return character;
        int prefix = 0;
        int code = ExtendedKeyCode(key, &prefix);
        if (code == 0)
            continue;
        g_pendingKeyCode = code;
        return prefix;
    }
}

}  // namespace

int ConsoleReadKey(void) {
    if (g_pendingKeyCode >= 0) {
        int code = g_pendingKeyCode;
        g_pendingKeyCode = -1;
        return code;
    }
    HANDLE input = ConsoleDevice(&g_consoleIn, "CONIN$");
    if (input == INVALID_HANDLE_VALUE || !HoldInputMode(input))
        return -1;
    int result = ReadKeyPress(input);
    if (!g_promptOpen)
        ReleaseInputMode();
    return result;
}

void ConsoleBeginPrompt(void) {
    g_promptOpen = TRUE;
    // Without a console now, the key read tries again and reports it.
    HANDLE input = ConsoleDevice(&g_consoleIn, "CONIN$");
    if (input != INVALID_HANDLE_VALUE)
        HoldInputMode(input);
}

void ConsoleEndPrompt(void) {
    g_promptOpen = FALSE;
    ReleaseInputMode();
}

int ConsoleEcho(int byte) {
    HANDLE output = ConsoleDevice(&g_consoleOut, "CONOUT$");
    if (output == INVALID_HANDLE_VALUE)
        return -1;
    char character = static_cast<char>(byte);
    DWORD written = 0;
    if (!WriteConsoleA(output, &character, 1, &written, NULL) || written != 1)
        return -1;
    return byte & 0xFF;
}
