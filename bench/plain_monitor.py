#!/usr/bin/python3
# The benchmark's yardstick: the monitor's job done the plain way with
# pyserial, a read with a 0.2 s time-out, time.monotonic, ser.dtr and ser.dsr,
# so that the bench can set the program's figures beside it on the same pty.
# Reports passes and cable changes in the program's words. A pty has no modem
# lines: a DTR change or a DSR read that fails reports nothing, as in the
# program, and the 10 ms pause is kept.
#
#   plain_monitor.py <port>      (the bench gives it the pty it measures on)
import sys
import time

import serial

BURST_GAP_S = 0.100  # a byte closer than this to the last carries its burst on
NEW_PASS_S = 0.750  # a byte later than this after the last starts a new pass


def set_dtr(ser, on):
    try:
        ser.dtr = on
    except OSError:
        pass


def sample_cable(ser, cable):
    set_dtr(ser, True)
    time.sleep(0.010)
    try:
        dsr = ser.dsr
    except OSError:
        dsr = None
    set_dtr(ser, False)
    if dsr is not None and dsr != cable:
        print("Cable connected" if dsr else "Cable disconnected", flush=True)
        return dsr
    return cable


def main():
    ser = serial.Serial(sys.argv[1], 9600, timeout=0.2)
    set_dtr(ser, False)
    print("Ctrl C to terminate", flush=True)
    last = time.monotonic() - 1.0
    cable = False
    while True:
        if ser.read(1):
            now = time.monotonic()
            if now - last < BURST_GAP_S:
                last = now
            elif now - last > NEW_PASS_S:
                last = now
                print("-->Carriage Pass", flush=True)
        else:
            cable = sample_cable(ser, cable)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
