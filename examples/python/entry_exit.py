#!/usr/bin/env python3
"""An attendance PC with two readers, one at the entry and one at the exit,
each on a port of its own: each reader identifies fingers in a thread of its
own (the two wait for fingers at the same time), and the PC prints who came
in and who went out.

Usage: entry_exit.py ENTRY_PORT EXIT_PORT [EVENTS]
With EVENTS it ends after that many fingers at each reader, else at Ctrl-C.
Exit status 0, or 3 when a reader cannot be reached or fails.
"""
import datetime
import queue
import sys
import threading
import time

import kelvor

# A finger left on the sensor is one passage, not one a scan.
SAME_USER_SECONDS = 5


def reader(module, side, events, said, stop):
    """Identifies the fingers at one reader and says what it saw: (side, user ID or None)."""
    seen, last, last_at = 0, None, 0.0
    while not stop.is_set() and (events is None or seen < events):
        try:
            user = module.identify().user_id
        except kelvor.NotFound:
            user = None
        except (kelvor.Timeout, kelvor.ScanFailed):
            continue  # no finger within the module's wait, or a poor scan: wait again
        except kelvor.LinkError as e:
            if not stop.is_set():
                said.put((side, e))
            return
        now = time.monotonic()
        if user is not None and user == last and now - last_at < SAME_USER_SECONDS:
            continue
        last, last_at = user, now
        seen += 1
        said.put((side, user))
    said.put((side, "done"))


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    events = int(argv[3]) if len(argv) == 4 else None
    try:
        readers = {"entry": kelvor.Module(argv[1], timeout_ms=5000), "exit": kelvor.Module(argv[2], timeout_ms=5000)}
    except kelvor.LinkError as e:
        print(f"no reader: {e}", file=sys.stderr)
        return 3
    said, stop = queue.Queue(), threading.Event()
    threads = [threading.Thread(target=reader, args=(m, side, events, said, stop)) for side, m in readers.items()]
    for t in threads:
        t.start()
    status, running = 0, len(threads)
    try:
        while running:
            try:
                side, what = said.get(timeout=0.5)  # a short wait: Ctrl-C comes through
            except queue.Empty:
                continue
            at = datetime.datetime.now().strftime("%H:%M:%S")
            if what == "done":
                running -= 1
            elif isinstance(what, Exception):
                print(f"{at} the {side} reader failed: {what}", file=sys.stderr)
                status, running = 3, running - 1
            elif what is None:
                print(f"{at} unknown finger at the {side}")
            else:
                print(f"{at} user {what} {'came in' if side == 'entry' else 'went out'}", flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        # Each reader's wait for a finger ends at once; the other's is its own.
        stop.set()
        for m in readers.values():
            m.interrupt()
        for t in threads:
            t.join()
        for m in readers.values():
            m.close()
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
