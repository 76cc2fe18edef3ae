#!/usr/bin/env python3
"""Runs the Windows build's programs under Wine, each run in a prefix of its own made in a
temporary folder, whose only serial ports are links to pseudo-terminals: port detection is off
(mountmgr.sys) and every other port link is removed, since Wine's default com1 may be this
machine's console.

  run.py PROGRAM.exe [ARG...]                       the toolchain's emulator: runs it, gives its
                                                    exit code
  run.py --smoke CABLETEST.exe OBJDUMP DEVICEMAP.exe  the texts, --list and the prompt
  run.py --line CABLETEST.exe                       the program on its line: bursts, a second copy,
                                                    the port lost and back, a recording

Each check prints "ok", "FAIL" or "skip" (a case that only Windows itself can show, with the
reason); the run fails when any check fails.

Three things about Wine decide how the programs are run here:
- the wineserver and the services that the first program of a prefix starts inherit that
  program's standard streams; a captured stream then stays open (a capture waits out its time
  limit) and, once its pipe is full, blocks the server and with it every program. So one
  persistent server is started with its streams on /dev/null, and the first program runs
  uncaptured.
- the registry's HKLM\\HARDWARE is volatile and dies with the server; the serial device map is
  written there by devicemap.exe, under that same server.
- on a pty a comm-event wait ends at once with error 995 and mask 0, so the program prints
  "(2)ClearCommError" many times a second; the line checks count them and do not mind them.
"""
import os, pty, re, select, shutil, signal, subprocess, sys, tempfile, threading, time

PORT = re.compile(r"(com|lpt)\d+|aux|prn")
ENV = dict(os.environ, WINEARCH=os.environ.get("WINEARCH", "win32"), WINEDEBUG="-all",
           WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;mountmgr.sys=d", DISPLAY="")
BANNER = b"Magnetic switch cable test program\r\n\r\nCtrl C to terminate\r\n"
MASTERS = {}  # port name -> the far end of its pty
DRAINS = {}  # port name -> the thread that reads the far end empty
FOLDER = [""]


def make_prefix(folder, ports):
    FOLDER[0] = folder
    ENV["WINEPREFIX"] = os.path.join(folder, "prefix")
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineboot", "-i"], env=ENV, timeout=240, check=True, **quiet)
    subprocess.run(["wineserver", "-w"], env=ENV, timeout=60)
    dos = os.path.join(ENV["WINEPREFIX"], "dosdevices")
    for name in filter(PORT.fullmatch, os.listdir(dos)):
        os.unlink(os.path.join(dos, name))
    for name in ports:
        plug(name)
    subprocess.run(["wineserver", "-p"], env=ENV, timeout=60, check=True, **quiet)
    # Starts the services under the persistent server, away from any capture.
    subprocess.run(["wine", "cmd", "/c", "exit"], env=ENV, timeout=240, **quiet)


def plug(name):
    """A new pty under the port's link; the far end is kept open and read empty."""
    master, slave = pty.openpty()
    link = os.path.join(ENV["WINEPREFIX"], "dosdevices", name)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    os.close(slave)
    MASTERS[name] = master
    DRAINS[name] = threading.Thread(target=drain, args=(name, master), daemon=True)
    DRAINS[name].start()


def unplug(name):
    """The port's device gone, as when an adapter is pulled out: the pty and its link. The far
    end closes only once no read is under way on it, so its drain closes it."""
    os.unlink(os.path.join(ENV["WINEPREFIX"], "dosdevices", name))
    del MASTERS[name]
    DRAINS.pop(name).join(5)


def drain(name, master):  # keeps the far end of the line open and empty
    while MASTERS.get(name) == master:
        if select.select([master], [], [], 0.05)[0]:
            try:
                os.read(master, 4096)
            except OSError:  # no opener at the moment
                time.sleep(0.05)
    os.close(master)


def send(name, data):
    os.write(MASTERS[name], data)


def verify():  # refuses to run with a port that is not one of our ptys
    dos = os.path.join(ENV["WINEPREFIX"], "dosdevices")
    for name in filter(PORT.fullmatch, os.listdir(dos)):
        if not os.path.realpath(os.path.join(dos, name)).startswith("/dev/pts/"):
            sys.exit("unsafe port in the wine prefix: " + name)
    if "/dev/ttyS" in open(os.path.join(ENV["WINEPREFIX"], "system.reg"), errors="replace").read():
        sys.exit("the wine prefix's registry names /dev/ttyS*")


def run(args, seconds=60):
    """A program run to its end, its output captured."""
    verify()
    return subprocess.run(["wine"] + args, env=ENV, timeout=seconds, start_new_session=True,
                          stdin=subprocess.DEVNULL, capture_output=True)


def start(args, output):
    """A program started in a session of its own, its standard output into a file."""
    verify()
    return subprocess.Popen(["wine"] + args, env=ENV, start_new_session=True,
                            stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.DEVNULL)


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


def on_terminal(program, keys):
    """The prompt on Wine's console on a pty: types each key once as many prompts show as it
    asks for. The screen's text without the console's cursor movements and blanks, and the exit
    code when the program ended by itself within a few seconds of the last key, else None."""
    verify()
    pid, fd = pty.fork()
    if pid == 0:
        os.execvpe("wine", ["wine", program], ENV)
    raw, csi = [b""], re.compile(rb"\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b[()][0-9A-B]|\x1b[=>]")
    text = lambda: csi.sub(b"", raw[0]).replace(b" ", b"").replace(b"\r", b"")
    ended = []

    def pump(until, end):
        while not until() and time.monotonic() < end:
            if select.select([fd], [], [], 0.2)[0]:
                try:
                    raw[0] += os.read(fd, 4096)
                except OSError:  # the program has ended
                    time.sleep(0.2)
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                ended.append(os.waitstatus_to_exitcode(status))
                return

    try:
        for prompts, key in keys:
            pump(lambda: text().count(b"number(1-9)") >= prompts, time.monotonic() + 60)
            time.sleep(0.5)  # typed before the key read begins, Wine's console would echo it
            os.write(fd, key)
        pump(lambda: text().count(b"number(1-9)") > len(keys) + 1, time.monotonic() + 10)
    finally:
        if not ended:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        os.close(fd)
    return text(), (ended or [None])[0]


# ---- --smoke: the texts, the listing and the prompt ----------------------------------------

def imports(program, objdump):
    text = subprocess.run([objdump, "-p", program], capture_output=True, text=True).stdout
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", text)}
    return [("imports only what a bare Windows has (%s)" % " ".join(sorted(dlls)),
             bool(dlls) and dlls <= {"kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll",
                                     "setupapi.dll"})]


def refusals(program):
    """Without a console the prompt gives up after three failed key reads, exit code 1."""
    checks = []
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
        checks.append(("%.24s without a console: banner, refusal, exit 1" % args,
                       (got.returncode, got.stdout) == (1, BANNER + shown + refused) and
                       cause in got.stderr))
    return checks


def list_ports(program, devicemap):
    """--list from the registry's serial device map: none, then the map's ports in number
    order. Wine's device data has no Ports class device for them, so no friendly names."""
    def listing(*values):
        made = run([devicemap] + list(values))
        got = run([program, "--list"])
        return made.returncode, got.returncode, got.stdout

    return [("--list with an empty serial device map",
             listing() == (0, 0, b"no serial ports found\r\n")),
            ("--list names the map's ports in number order",
             listing(r"\Device\Serial12=COM12", r"\Device\Serial2=COM2",
                     r"\Device\Serial10=COM10") == (0, 0, b"COM2\r\nCOM10\r\nCOM12\r\n"))]


def prompt(program):
    screen, _ = on_terminal(program, [(1, b"a"), (2, b"\x1bOP"), (4, b"8")])
    print("     the screen:", screen.decode(errors="replace").replace("\n", "|"))
    checks = [("keys at the prompt on Wine's console: a, F1 (0, 59), then 8: com8 is missing",
               screen.count(b"invalidport") == 3 and b"(1-9);invalidport\nPleaseenterserial"
               b"portnumber(1-9)8\nOpencom8failed2" in screen)]
    screen, code = on_terminal(program, [(1, b"\x03")])
    name = "Ctrl-C at the prompt ends the program with code 3, nothing echoed"
    if code == 0:
        checks.append((name, None, "Wine's console ends the program on Ctrl-C with code 0, where"
                       " Windows gives the key read the key 3"))
    else:
        checks.append((name, code == 3 and screen.endswith(b"number(1-9)")))
    return checks


def record_refusals(program):
    """--record into anything but a regular file (the null device, a serial port by its
    reserved name or in the device namespace, a folder) is refused with exit 1 and its line,
    before the banner: the port is never opened."""
    device = "a device (a terminal, a serial port, the null device), not a regular file"
    cases = [("NUL", device), ("com1.rec", device), ("\\\\.\\COM12", device),
             (wine_path(FOLDER[0]), "access denied")]
    checks = []
    for name, reason in cases:
        done = run([program, "--record", name, "com12"], 30)
        want = "cabletest: cannot create the recording %s: %s" % (name, reason)
        checks.append(("--record %s is refused" % name[:12], done.returncode == 1 and
                       done.stdout == b"" and done.stderr.decode(errors="replace").startswith(want)))
    return checks


def smoke(program, objdump, devicemap):
    make_prefix(tempfile.mkdtemp(prefix="smoke.", dir=FOLDER[0]), [])
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import report  # the checks of --report, which need no port
    summary = report.checks(lambda args, seconds=60: run([program] + args, seconds), program,
                            FOLDER[0])
    return (imports(program, objdump) + refusals(program) + record_refusals(program) +
            list_ports(program, devicemap) + summary + prompt(program))


# ---- --line: the program on its line -------------------------------------------------------

class Watched:
    """One copy of the program, monitoring a port, its standard output into a file."""

    def __init__(self, program, args, name):
        self.path = os.path.join(FOLDER[0], name + ".out")
        self.output = open(self.path, "wb")
        self.process = start([program] + args, self.output)

    def text(self):
        return open(self.path, "rb").read()

    def wait_for(self, pattern, count=1, seconds=10):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if len(re.findall(pattern, self.text())) >= count:
                return True
            time.sleep(0.05)
        return False

    def cpu_seconds(self):  # all threads
        folder = "/proc/%d/task" % self.process.pid
        return sum(int(open("%s/%s/schedstat" % (folder, task)).read().split()[0])
                   for task in os.listdir(folder)) / 1e9

    def interrupt(self, seconds=10):
        """SIGINT, as Ctrl-C in its terminal: its exit code, or None when it went on."""
        os.killpg(self.process.pid, signal.SIGINT)
        try:
            return self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(30)


def bursts(name, count, data=b"UUUUU", apart=1.0):
    for _ in range(count):
        send(name, data)
        time.sleep(apart)


REPORT = re.compile(rb"-->Carriage Pass|Handle = [0-9A-F]{8}|-?\d+ -?\d+: received char [0-9A-F]{2}|"
                    rb"\(2\)ClearCommError|\([12]\)Clear failed, erc = \d+|"
                    rb"Port com12 (lost, waiting for it to come back|back)")


def whole_lines(text):
    """Every line ends in CR LF and is one of the program's reports."""
    if not text.startswith(BANNER) or not text.endswith(b"\r\n"):
        return False
    return all(REPORT.fullmatch(line) for line in text[len(BANNER):-2].split(b"\r\n"))


def same_port_twice(program):
    """Windows refuses a second open of a port that is held; Wine lets it open."""
    second = Watched(program, ["com12", "debug"], "second-com12")
    try:
        opened = second.wait_for(rb"Handle = ", 1, 5)
        refused = b"Open com12 failed 5\r\n" in second.text()
    finally:
        second.kill()
    if opened:
        return [("a second copy on the held com12 is refused (5)", None,
                 "Wine lets a second copy open a port that the first holds")]
    return [("a second copy on the held com12 is refused (5)", refused)]


def monitoring(program):
    """com12 in debug mode beside a copy on com3: bursts, the drain, the idle cost, the port
    lost and back, SIGINT."""
    send("com12", b"UUU")  # on the line before the program looks: the drain's
    first = Watched(program, ["com12", "debug"], "com12")
    other = Watched(program, ["com3", "DEBUG"], "com3")
    checks = []
    try:
        started = first.wait_for(rb"Handle = [0-9A-F]{8}\r\n") and other.wait_for(rb"Handle = ")
        checks.append(("com12 and com3 open through the device namespace; the handle line",
                       started and re.match(rb"%sHandle = [0-9A-F]{8}\r\n" % BANNER,
                                            first.text())))
        time.sleep(1)
        checks += same_port_twice(program)
        idle_start, quiet_start = first.cpu_seconds(), first.text().count(b"(2)ClearCommError")
        time.sleep(3)
        idle = (first.cpu_seconds() - idle_start) / 3
        errors = (first.text().count(b"(2)ClearCommError") - quiet_start) / 3
        print("     idle: %.1f %% of a core, %.0f (2)ClearCommError lines a second" %
              (idle * 100, errors))
        bursts("com12", 3)
        send("com3", b"A")
        # One burst of 30 bytes 30 ms apart, longer than 750 ms: each carries it on.
        for _ in range(30):
            send("com12", b"U")
            time.sleep(0.03)
        time.sleep(1)
        text = first.text()
        checks.append(("4 bursts give 4 passes and 45 received char lines, the drained bytes none",
                       text.count(b"-->Carriage Pass") == 4 and
                       len(re.findall(rb"received char 55", text)) == 45))
        checks.append(("the copy on com3 sees its own byte and none of com12's",
                       re.findall(rb"received char ([0-9A-F]{2})", other.text()) == [b"41"] and
                       b"received char 41" not in text))
        checks.append(("the program still runs", first.process.poll() is None))
        unplug("com12")
        lost = first.wait_for(rb"Port com12 lost, waiting for it to come back\r\n")
        plug("com12")
        back = first.wait_for(rb"Port com12 back\r\n")
        time.sleep(1)
        bursts("com12", 1)
        checks.append(("com12 lost, back, and a pass again",
                       lost and back and first.wait_for(rb"back\r\n(.|\n)*-->Carriage Pass", 1, 3)))
        code = first.interrupt()
        checks.append(("SIGINT ends it", code is not None))
        if code == 0:
            checks.append(("Ctrl-C ends it with 0xC000013A", None,
                           "Wine ends a console program on Ctrl-C with code 0"))
        else:
            checks.append(("Ctrl-C ends it with 0xC000013A", code in (0xC000013A, -1073741510)))
        checks.append(("the file holds every report in whole lines", whole_lines(first.text())))
    finally:
        first.kill()
        other.kill()
    if not all(check[1] for check in checks if len(check) == 2):
        shown = [l for l in first.text().split(b"\r\n") if l != b"(2)ClearCommError"]
        print("     com12's reports but (2)ClearCommError:", b"|".join(shown).decode())
    return checks


def recording(program):
    """--record from com12 while bytes arrive on it, until the time limit ends the program: the
    file is a script for the simulated line (a first comment, then lines of the format with
    times that never go back, LF line ends) and holds only the bytes sent."""
    path = os.path.join(FOLDER[0], "line.rec")
    recorder = Watched(program, ["--record", wine_path(path), "com12"], "recorder")
    try:
        recorder.wait_for(rb"Ctrl C to terminate\r\n")
        time.sleep(1)
        bursts("com12", 5)
    finally:
        recorder.kill()
    text = open(path, "rb").read().decode("ascii", "replace") if os.path.exists(path) else ""
    action = re.compile(r"(\d+) (bytes 1 1 [0-9a-f]{2}|(cable|cts|ring|rlsd) (on|off)|"
                        r"error (frame|overrun|parity|break)|unplug|replug)( +#.*)?")
    lines = text.split("\n")
    times = [int(m.group(1)) for m in map(action.fullmatch, lines[1:-1]) if m]
    valid = (text.startswith("# cabletest ") and lines[-1] == "" and "\r" not in text and
             all(action.fullmatch(line) or line.startswith("#") for line in lines[1:-1]) and
             times == sorted(times) and text.count(" bytes 1 1 55") == 25 and
             text.count(" bytes ") == 25)
    print("     the recording: %d lines, %d bytes" % (len(lines) - 1, text.count(" bytes ")))
    return [("--record from com12: a script for the simulated line with the 25 bytes", valid)]


def line(program):
    make_prefix(tempfile.mkdtemp(prefix="line.", dir=FOLDER[0]), ["com3", "com12"])
    return recording(program) + monitoring(program)


def report(checks):
    """Prints each check; a check of three is a skip, its third the reason."""
    for check in checks:
        if len(check) == 3:
            print("skip", check[0] + ":", check[2])
        else:
            print("ok  " if check[1] else "FAIL", check[0])
    return 0 if all(len(check) == 3 or check[1] for check in checks) else 1


def main():
    FOLDER[0] = tempfile.mkdtemp(prefix="cabletest-wine.")
    try:
        if sys.argv[1] == "--smoke":
            return report(smoke(*sys.argv[2:5]))
        if sys.argv[1] == "--line":
            return report(line(sys.argv[2]))
        make_prefix(FOLDER[0], ["com12"])
        return subprocess.run(["wine"] + sys.argv[1:], env=ENV, timeout=240,
                              start_new_session=True).returncode
    finally:
        if "WINEPREFIX" in ENV:
            subprocess.run(["wineserver", "-k"], env=ENV, timeout=30)
        shutil.rmtree(FOLDER[0], ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
