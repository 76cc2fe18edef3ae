#!/usr/bin/env python3
"""Holds a pseudo-terminal open for a Wine run: the slave end is linked at
LINK (a dosdevices com entry), the master end is kept and drained until this
process is ended or its time limit passes, so that the port stays a live line
for the program under test.

Usage: pty_hold.py LINK SECONDS
Prints the slave's path once the link is in place.
"""
import os
import pty
import select
import sys
import time


def main():
    link, seconds = sys.argv[1], float(sys.argv[2])
    master, slave = pty.openpty()
    slave_path = os.ttyname(slave)
    # The program opens the slave by path; our own descriptor is not needed.
    os.close(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(slave_path, link)
    print(slave_path, flush=True)
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([master], [], [], min(left, 0.5))
        if ready:
            try:
                os.read(master, 4096)
            except OSError:
                # No slave open at the moment (EIO): wait for the next opener.
                time.sleep(0.05)
    os.unlink(link)


if __name__ == "__main__":
    main()
