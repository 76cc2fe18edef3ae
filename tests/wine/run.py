#!/usr/bin/env python3
"""Runs the Windows build's programs under Wine, each run in a prefix of its own made in a
temporary folder, whose only serial port, com12, is a pseudo-terminal: port detection is off
(mountmgr.sys) and every other port link is removed, since Wine's default com1 may be this
machine's console.

  run.py PROGRAM.exe [ARG...]            the toolchain's emulator: runs it, gives its exit code
  run.py --smoke CABLETEST.exe OBJDUMP   smoke runs of the program itself
"""
import os, pty, re, select, shutil, subprocess, sys, tempfile, threading, time

PORT = re.compile(r"(com|lpt)\d+|aux|prn")
ENV = dict(os.environ, WINEARCH=os.environ.get("WINEARCH", "win32"), WINEDEBUG="-all",
           WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;mountmgr.sys=d", DISPLAY="")


LINE = []  # the far end of com12


def make_prefix(folder):
    ENV["WINEPREFIX"] = os.path.join(folder, "prefix")
    subprocess.run(["wineboot", "-i"], env=ENV, timeout=240, capture_output=True, check=True)
    subprocess.run(["wineserver", "-w"], env=ENV, timeout=60)
    dos = os.path.join(ENV["WINEPREFIX"], "dosdevices")
    for name in filter(PORT.fullmatch, os.listdir(dos)):
        os.unlink(os.path.join(dos, name))
    master, slave = pty.openpty()
    os.symlink(os.ttyname(slave), os.path.join(dos, "com12"))
    os.close(slave)
    LINE.append(master)
    threading.Thread(target=drain, args=(master,), daemon=True).start()


def drain(master):  # keeps the far end of the line open and empty
    while True:
        try:
            os.read(master, 4096)
        except OSError:  # no opener at the moment
            time.sleep(0.05)


def verify():  # refuses to run with a port that is not one of our ptys
    dos = os.path.join(ENV["WINEPREFIX"], "dosdevices")
    for name in filter(PORT.fullmatch, os.listdir(dos)):
        if not os.path.realpath(os.path.join(dos, name)).startswith("/dev/pts/"):
            sys.exit("unsafe port in the wine prefix: " + name)
    if "/dev/ttyS" in open(os.path.join(ENV["WINEPREFIX"], "system.reg"), errors="replace").read():
        sys.exit("the wine prefix's registry names /dev/ttyS*")


def run(args, seconds=60, **kw):
    verify()
    return subprocess.run(["wine"] + args, env=ENV, timeout=seconds, start_new_session=True,
                          stdin=subprocess.DEVNULL, **kw)


def on_terminal(program, keys):
    """The prompt on Wine's console on a pty: types each key once as many prompts show as it
    asks for; the screen's text without the console's cursor movements and blanks."""
    verify()
    pid, fd = pty.fork()
    if pid == 0:
        os.execvpe("wine", ["wine", program], ENV)
    raw, csi = [b""], re.compile(rb"\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b[()][0-9A-B]|\x1b[=>]")
    text = lambda: csi.sub(b"", raw[0]).replace(b" ", b"").replace(b"\r", b"")

    def pump(until, end):
        while not until() and time.monotonic() < end:
            if select.select([fd], [], [], 0.2)[0]:
                raw[0] += os.read(fd, 4096)

    try:
        for prompts, key in keys:
            pump(lambda: text().count(b"number(1-9)") >= prompts, time.monotonic() + 60)
            time.sleep(0.5)  # typed before the key read begins, Wine's console would echo it
            os.write(fd, key)
        pump(lambda: text().count(b"number(1-9)") > len(keys) + 1, time.monotonic() + 30)
    finally:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    return text()


def list_ports(program):
    """--list from the registry's serial device map: none, then com12 (a pty) once the map
    names it. Wine's device data has no Ports class device for it, so no friendly name."""
    key = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
    subprocess.run(["wine", "reg", "delete", key, "/f"], env=ENV, timeout=60, capture_output=True)
    before = run([program, "--list"])
    subprocess.run(["wine", "reg", "add", key, "/v", r"\Device\Serial12", "/t", "REG_SZ", "/d",
                    "COM12", "/f"], env=ENV, timeout=60, capture_output=True, check=True)
    after = run([program, "--list"])
    return [("--list with an empty serial device map", (before.returncode, before.stdout) ==
             (0, b"no serial ports found\r\n")),
            ("--list names com12", (after.returncode, after.stdout) == (0, b"COM12\r\n"))]


def recording(program):
    """--record from com12 while bytes arrive on it, until the time limit ends the program: the
    file is a script for the simulated line (a first comment, then lines of the format with
    times that never go back, LF line ends) and holds only the bytes sent."""
    path = os.path.join(os.path.dirname(ENV["WINEPREFIX"]), "line.rec")

    def feed():
        for _ in range(6):
            time.sleep(1)
            os.write(LINE[0], b"UUUUU")
    threading.Thread(target=feed, daemon=True).start()
    try:
        run([program, "--record", "Z:" + path.replace("/", "\\"), "com12"], 8)
    except subprocess.TimeoutExpired:
        pass
    text = open(path, "rb").read().decode("ascii", "replace") if os.path.exists(path) else ""
    action = re.compile(r"(\d+) (bytes 1 1 [0-9a-f]{2}|(cable|cts|ring|rlsd) (on|off)|"
                        r"error (frame|overrun|parity|break)|unplug|replug)( +#.*)?")
    lines = text.split("\n")
    times = [int(m.group(1)) for m in map(action.fullmatch, lines[1:-1]) if m]
    valid = (text.startswith("# cabletest ") and lines[-1] == "" and "\r" not in text and
             all(action.fullmatch(line) or line.startswith("#") for line in lines[1:-1]) and
             times == sorted(times) and text.count(" bytes ") == text.count(" bytes 1 1 55"))
    print("     the recording: %d lines, %d bytes" % (len(lines) - 1, text.count(" bytes ")))
    return [("--record from com12: a script for the simulated line", valid)] + record_refusals(
        program)


def record_refusals(program):
    """--record into anything but a regular file (the null device, a serial port by its
    reserved name or in the device namespace, a folder) is refused with exit 1 and its line,
    before the banner: the port is never opened."""
    folder = os.path.dirname(ENV["WINEPREFIX"])
    device = "a device (a terminal, a serial port, the null device), not a regular file"
    cases = [("NUL", device), ("com1.rec", device), ("\\\\.\\COM12", device),
             ("Z:" + folder.replace("/", "\\"), "access denied")]
    checks = []
    for name, reason in cases:
        done = run([program, "--record", name, "com12"], 30, capture_output=True)
        want = "cabletest: cannot create the recording %s: %s" % (name, reason)
        checks.append(("--record %s is refused" % name[:12], done.returncode == 1 and
                       done.stdout == b"" and done.stderr.decode(errors="replace").startswith(want)))
    return checks


def smoke(program, objdump):
    dlls = set(re.findall(r"DLL Name: (\S+)", subprocess.run(
        [objdump, "-p", program], capture_output=True, text=True).stdout.lower()))
    checks = [("imports only what a bare Windows has", dlls and dlls <= {
        "kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll", "setupapi.dll"})]
    banner = b"Magnetic switch cable test program\r\n\r\nCtrl C to terminate\r\n"
    again = b"Please enter serial port number (1-9)  invalid port\r\n"
    refused = again * 3 + b"No console to read the port number from; give the port as the" \
                          b" first argument\r\n"
    too_long = "com" + "1" * 253  # 256 characters
    for args, shown, cause in (
            ([], b"", b""),
            (["com8"], b"Open com8 failed 2\r\n",
             b"com8: no such port; cabletest --list shows the ports\r\n"),
            ([too_long], b"Open %s failed 206\r\n" % too_long.encode(), b"")):
        got = run([program] + args)
        checks.append(("%.24s without a console" % args, (got.returncode, got.stdout) ==
                       (1, banner + shown + refused) and cause in got.stderr))
    checks += list_ports(program)
    checks += recording(program)
    try:  # monitors until the time limit ends it; every report is out already
        run([program, "com12", "DeBuG"], 5)
    except subprocess.TimeoutExpired as e:
        checks.append(("com12 opens through the device namespace, debug shows the handle",
                       re.match(rb"%sHandle = [0-9A-F]{8}\r\n" % banner, e.stdout or b"")))
    screen = on_terminal(program, [(1, b"a"), (2, b"\x1bOP"), (4, b"8")])
    checks.append(("keys at the prompt on Wine's console: a, F1 (0, 59), then 8: com8 is missing",
                   screen.count(b"invalidport") == 3 and b"(1-9);invalidport\nPleaseenterserial"
                   b"portnumber(1-9)8\nOpencom8failed2" in screen))
    for name, ok in checks:
        print("ok  " if ok else "FAIL", name)
    print("screen:", screen.decode(errors="replace"))
    return 0 if all(ok for _, ok in checks) else 1


def main():
    folder = tempfile.mkdtemp(prefix="cabletest-wine.")
    try:
        make_prefix(folder)
        if sys.argv[1] == "--smoke":
            return smoke(*sys.argv[2:4])
        return run(sys.argv[1:], 240).returncode
    finally:
        subprocess.run(["wineserver", "-k"], env=ENV, timeout=30)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
