"""The CPU time of one SS exchange from Python, in microseconds: the
package's Module.status() and a plain pyserial loop doing the same exchange
(the 13-byte packet written, the 13-byte answer read), each against the floor
of system calls (bench/ss_floor.cpp's loop, loaded from LOOP).

The machine's noise comes in phases longer than a run of one loop, so the
loops take turns in one process: runs of 50 exchanges, the floor, status()
and pyserial one after the other, a round at a time. Each round gives the
ratio of each loop to the floor of the same moment; the median of those
ratios counts, beside the median of each loop's own runs.
    ss_python.py PORT ROUNDS LOOP
prints: floor_us status_us pyserial_us status_ratio pyserial_ratio
(pyserial's two are "-" without python3-serial)."""
import ctypes
import os
import statistics
import sys
import termios
import time
import tty

RUN = 50


def timed(once):
    t0 = time.process_time()
    for _ in range(RUN):
        once()
    return (time.process_time() - t0) * 1e6 / RUN


def main(port, rounds, loop):
    import kelvor
    floor_loop = ctypes.CDLL(loop).ss_floor_run
    floor_loop.restype = ctypes.c_double
    floor_loop.argtypes = (ctypes.c_int, ctypes.c_int)
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd, termios.TCSANOW)

    def floor():
        us = floor_loop(fd, RUN)
        if us < 0:
            raise SystemExit("SS failed (floor)")
        return us

    try:
        import serial
        packet = bytearray([0x40, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0A])
        packet[11] = sum(packet[:11]) & 0xFF
        packet = bytes(packet)
        line = serial.Serial(port, 115200, timeout=1)

        def raw():
            line.write(packet)
            answer = line.read(13)
            if len(answer) != 13 or answer[10] != 0x61:
                raise SystemExit("SS failed (pyserial)")
    except ImportError:
        raw = None
    runs = {"floor": [], "status": [], "pyserial": []}
    with kelvor.Module(port, timeout_ms=1000) as m:
        for _ in range(20):
            floor(), m.status(), raw and raw()
        for _ in range(rounds):
            runs["floor"].append(floor())
            runs["status"].append(timed(m.status))
            if raw:
                runs["pyserial"].append(timed(raw))
    os.close(fd)

    def ratio(name):
        if not runs[name]:
            return "-"
        return "%.3f" % statistics.median(x / f for x, f in zip(runs[name], runs["floor"]))

    def median(name):
        return "%.3f" % statistics.median(runs[name]) if runs[name] else "-"

    print(median("floor"), median("status"), median("pyserial"), ratio("status"), ratio("pyserial"))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), sys.argv[3])
