"""--report on the Windows build under Wine: a log saved with -t (CR LF line ends, as the Windows
program writes it) is summarised and drawn; a recording, which needs the simulated line, is
refused with exit code 2 and a line that points to the Linux build, and no picture is left."""
import os

LOG = (b"Magnetic switch cable test program\r\n\r\nCtrl C to terminate\r\n"
       b"2026-12-07 06:00:00.360 Cable connected\r\n"
       b"2026-12-07 06:00:01.500 -->Carriage Pass\r\n"
       b"2026-12-07 06:00:03.500 -->Carriage Pass\r\n"
       b"2026-12-07 06:00:03.942 Cable disconnected\r\n"
       b"2026-12-07 06:00:04.572 Cable connected\r\n"
       b"2026-12-07 06:00:06.000 Port com12 lost, waiting for it to come back\r\n"
       b"2026-12-07 06:00:07.000 Port com12 back\r\n")
RECORDING = (b"# cabletest 1.0.0 recording of the port com12, opened 2026-12-07 06:00:00.000; "
             b"times in ms since then\n300 cable on\n1500 bytes 1 1 55\n")


def checks(run, program, folder):
    """run(args, seconds=60) runs `wine program args...`; folder is seen by Wine as Z:folder."""
    def path(name):
        return os.path.join(folder, name)

    def wine(name):
        return "Z:" + path(name).replace("/", "\\")

    for name, text in (("shift.log", LOG), ("shift.rec", RECORDING)):
        with open(path(name), "wb") as f:
            f.write(text)
    log = run(["--report", wine("shift.log"), "--svg", wine("shift.svg")])
    picture = open(path("shift.svg"), "rb").read() if os.path.exists(path("shift.svg")) else b""
    refused = run(["--report", wine("shift.rec"), "--svg", wine("refused.svg")])
    return [
        ("--report of a log: the port, the passes, the drop-out and the loss",
         log.returncode == 0 and log.stdout.startswith(b"Log ") and
         b" of the port com12, from 2026-12-07 06:00:00.360 to 06:00:07.000 " in log.stdout and
         b"\r\nCarriage passes: 2, one every 2.00 s" in log.stdout and
         b"1 drop-out:\r\n  06:00:03.942  0.63 s   0.44 s after a carriage pass\r\n" in log.stdout
         and b"\r\nPort lost: once, 06:00:06.000 for 1.00 s\r\n" in log.stdout),
        ("--report --svg of a log: the picture", picture.startswith(b"<?xml") and
         b'width="1200"' in picture and picture.endswith(b"</svg>\n")),
        ("--report of a recording: refused with exit code 2, no picture",
         refused.returncode == 2 and refused.stdout == b"" and b"use the Linux build" in
         refused.stderr and not os.path.exists(path("refused.svg")))]
