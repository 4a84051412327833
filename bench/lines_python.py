"""Two lines at once from one Python process: scan_image() on a Module of
each, in a thread each, started together, each timed against the wire time
of the bytes of its exchange at the line's rate (10 bits a character: the
command packet, the answer packet, the image record and its end code).

    lines_python.py PORT_A PORT_B ROUNDS
prints: wire_s took_a_s took_b_s share_a_% share_b_%   (the least share of the rounds for each line)
"""
import sys
import threading
import time

import kelvor

BAUD = 115200
IMAGE_RECORD = 0x1201C  # the header and 256 x 288 pixels
WIRE_S = (13 + 13 + IMAGE_RECORD + 1) * 10 / BAUD


def main(ports, rounds):
    modules = [kelvor.Module(p, BAUD, timeout_ms=5000) for p in ports]
    try:
        for m in modules:
            m.scan_image()  # the simulator's first scan of a finger is slow: not timed
        worst = [None, None]
        start = threading.Barrier(len(modules))
        took = [0.0, 0.0]

        def scan(i):
            start.wait()
            t0 = time.monotonic()
            image = modules[i].scan_image()
            took[i] = time.monotonic() - t0
            if image.width != 256:
                raise SystemExit("scan_image() gave a wrong image")

        for _ in range(rounds):
            threads = [threading.Thread(target=scan, args=(i,)) for i in range(len(modules))]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            for i in range(len(modules)):
                if worst[i] is None or took[i] > worst[i]:
                    worst[i] = took[i]
    finally:
        for m in modules:
            m.close()
    print("%.2f %.2f %.2f %.2f %.2f" % (WIRE_S, worst[0], worst[1], 100 * WIRE_S / worst[0], 100 * WIRE_S / worst[1]))


if __name__ == "__main__":
    main(sys.argv[1:3], int(sys.argv[3]))
