// Console services of the port prompt: one key read from the terminal itself,
// one byte echoed straight to it, and the prompt's hold on the terminal's
// mode. Each platform has its own source.
#ifndef CABLETEST_APP_CONSOLE_H
#define CABLETEST_APP_CONSOLE_H

// The next key press, without echo and without waiting for Enter, read from
// the console keyboard even when standard input is redirected. A key with a
// character gives its byte (Ctrl-C gives 3); a key without one gives two codes
// on two calls, 0 or 0xE0 and then the PC keyboard's extended code, the
// second at once. -1 when no key can be read.
int ConsoleReadKey(void);

// Writes one byte straight to the console screen, unbuffered and untranslated.
// Returns the byte, or -1 when it cannot be written.
int ConsoleEcho(int byte);

// The prompt's hold on the console: from ConsoleBeginPrompt to
// ConsoleEndPrompt the console stays in the key read's mode between two key
// reads as well, so that keys typed ahead are neither echoed by the console
// nor taken as an interrupt; output is processed as usual throughout. Outside
// a prompt each key read gives the mode back as it returns. The mode the
// console had is back after ConsoleEndPrompt and, on POSIX, whenever a signal
// ends or stops the process in between (raw again on continuing).
void ConsoleBeginPrompt(void);
void ConsoleEndPrompt(void);

#endif  // CABLETEST_APP_CONSOLE_H
