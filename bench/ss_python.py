"""The CPU time of one SS exchange from Python, in microseconds: the
package's Module.status() and a plain pyserial loop doing the same exchange
(the 13-byte packet written, the 13-byte answer read). The least mean of
three rounds counts.
    ss_python.py status PORT COUNT
    ss_python.py pyserial PORT COUNT"""
import sys
import time


def rounds(once, count):
    for _ in range(20):
        once()
    best = None
    for _ in range(3):
        t0 = time.process_time()
        for _ in range(count):
            once()
        mean = (time.process_time() - t0) * 1e6 / count
        best = mean if best is None else min(best, mean)
    return best


def status(port, count):
    import kelvor
    with kelvor.Module(port, timeout_ms=1000) as m:
        return rounds(m.status, count)


def pyserial(port, count):
    import serial
    packet = bytearray([0x40, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0A])
    packet[11] = sum(packet[:11]) & 0xFF
    packet = bytes(packet)
    with serial.Serial(port, 115200, timeout=1) as line:
        def once():
            line.write(packet)
            answer = line.read(13)
            if len(answer) != 13 or answer[10] != 0x61:
                raise SystemExit("SS failed")
        return rounds(once, count)


if __name__ == "__main__":
    mode, port, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    print("%.3f" % {"status": status, "pyserial": pyserial}[mode](port, count))
