#!/usr/bin/env python3
"""The port prompt of the Windows program on Wine's console on a terminal:
console_keys.py PROGRAM.exe LOG

Runs the program with a pseudo-terminal as its controlling terminal (Wine
then gives it a console that draws on the terminal and reads key presses from
it), types 'a', F1, '0' and '5' one at a time, each after the prompt that
asks for it, and checks what the console shows: each key echoed, F1 counted
as two keys (0 and 59, which echoes as ';'), each of them refused with
" invalid port", and '5' opening com5. The prefix given by WINEPREFIX has no
com5, so the open fails with 2 and shows the name. Exit status 0 when all
holds; the screen text goes to LOG.
"""
import os
import pty
import re
import select
import signal
import sys
import time

PROMPT = b"Pleaseenterserialportnumber(1-9)"
KEYS = [b"a", b"\x1bOP", b"0", b"5"]
PROMPTS_BEFORE = [1, 2, 4, 5]  # prompts on the screen before each key is typed
DONE = b"Opencom5failed2"
CSI = re.compile(rb"\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b[()][0-9A-B]|\x1b[=>]")


def screen_text(raw):
    # Wine's console redraws with cursor movements, blanks included (it moves
    # over them): the characters in order, without blanks, are compared.
    return CSI.sub(b"", raw).replace(b"\r", b"").replace(b" ", b"")


def main():
    program, log = sys.argv[1], sys.argv[2]
    # Only ever in a prefix that prefix.sh made: a default one maps com1 to
    # /dev/ttyS0.
    prefix = os.environ.get("WINEPREFIX", "")
    if not os.path.isdir(os.path.join(prefix, "dosdevices")) or \
            "mountmgr.sys=d" not in os.environ.get("WINEDLLOVERRIDES", ""):
        print("  refusing to run outside a prefix made by prefix.sh")
        return 1
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp("wine", ["wine", program])
    raw = b""

    def pump_until(test, seconds):
        nonlocal raw
        deadline = time.monotonic() + seconds
        while not test(screen_text(raw)):
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            ready, _, _ = select.select([fd], [], [], min(left, 0.2))
            if ready:
                try:
                    raw += os.read(fd, 4096)
                except OSError:
                    return test(screen_text(raw))
        return True

    ok = True
    try:
        for key, prompts in zip(KEYS, PROMPTS_BEFORE):
            if not pump_until(lambda s: s.count(PROMPT) >= prompts, 60):
                print("  no prompt number %d on the screen" % prompts)
                ok = False
                break
            # The key read may not have begun when the prompt shows: a key
            # typed before it reaches Wine's console while the console is
            # still in its line mode, and Wine echoes it there as well.
            time.sleep(0.5)
            os.write(fd, key)
        if ok and not pump_until(lambda s: DONE in s, 30):
            print("  com5 was not opened after '5'")
            ok = False
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(fd)
    text = screen_text(raw)
    with open(log, "wb") as f:
        f.write(text)
    if ok:
        expected = [
            PROMPT + b"ainvalidport\n",
            PROMPT + b";invalidport\n",
            PROMPT + b"0invalidport\n",
            PROMPT + b"5\n" + DONE,
        ]
        at = 0
        for piece in expected:
            found = text.find(piece, at)
            if found < 0:
                print("  not on the screen in order: %r" % piece)
                ok = False
                break
            at = found + len(piece)
        if text.count(b"invalidport") != 4:
            print("  expected 4 refusals, got %d" % text.count(b"invalidport"))
            ok = False
    if not ok:
        print("  screen: %r" % text)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
