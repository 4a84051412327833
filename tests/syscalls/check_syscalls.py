#!/usr/bin/env python3
"""The system calls of one exchange, counted with strace against the simulated
module on a pseudo-terminal: a batch line (-c SS) costs a poll for stale bytes
(so that nothing left over is taken as the answer), the write of the packet, a
poll for the answer and its read, and nothing else. Counted as the difference
between batches of two lengths, so that the opening and closing drop out: a
call made once an exchange shows as one a line or more, while what differs
from run to run (a file opened once more) stays far below.

Usage: check_syscalls.py --bin DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# Per batch line: the calls that must be there, and how many.
EXPECTED = {"poll": 2, "write": 1, "read": 1}
# A call made once an exchange adds one a line; a difference of runs, not of
# lines, adds a few over the 500 lines between the two batches.
SLACK = 0.25
# Calls that an exchange must not make at all (ioctl: the driver's queue, the
# line's settings; the clock and sleeps: waits that poll does).
FORBIDDEN = ("ioctl", "nanosleep", "clock_nanosleep", "select", "pselect6", "fcntl", "rt_sigaction")


def counts(strace_out):
    found = {}
    for line in open(strace_out):
        parts = line.split()
        if len(parts) >= 5 and re.match(r"^[0-9.]+$", parts[0]) and parts[-1] != "total":
            calls = [p for p in parts[1:-1] if p.isdigit()]
            if len(calls) >= 2:
                found[parts[-1]] = int(calls[1])
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    args = parser.parse_args()
    strace = shutil.which("strace")
    if not strace:
        print("strace is needed (Debian: strace)", file=sys.stderr)
        return 1
    work = tempfile.mkdtemp(prefix="kelvor-syscalls-")
    link = os.path.join(work, "L")
    sim = subprocess.Popen([os.path.join(args.bin, "orvanti-sim"), "--link", link, "--state",
                            os.path.join(work, "state.db")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(link):
            if time.monotonic() > deadline or sim.poll() is not None:
                print("the simulated module did not start", file=sys.stderr)
                return 1
            time.sleep(0.02)
        kelvor = os.path.join(args.bin, "kelvor")
        # Under the sanitizers: the leak check at exit stops the process's
        # threads by tracing them, which it cannot do under strace.
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
        per = {}
        for lines in (100, 600):
            batch = os.path.join(work, f"b{lines}")
            with open(batch, "w") as f:
                f.write("-c SS\n" * lines)
            # The least of three runs: on a loaded machine an answer may come
            # in two pieces, which costs a poll and a read more in that run.
            least = None
            for _ in range(3):
                out = os.path.join(work, f"s{lines}")
                r = subprocess.run([strace, "-f", "-c", "-o", out, kelvor, "-P", link, "-b", "115200", "-t", "3000",
                                    "-x0", "--exit-code", "-F", batch], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, timeout=120, env=env)
                if r.returncode != 0:
                    print(f"kelvor -F of {lines} lines: status {r.returncode}", file=sys.stderr)
                    return 1
                found = counts(out)
                least = found if least is None else {
                    name: min(least.get(name, 0), found.get(name, 0)) for name in set(least) | set(found)}
            per[lines] = least
        failures = []
        for name in sorted(set(per[100]) | set(per[600])):
            delta = (per[600].get(name, 0) - per[100].get(name, 0)) / 500
            want = EXPECTED.get(name)
            if want is not None and abs(delta - want) >= SLACK:
                failures.append(f"{name}: {delta:g} a line, not {want}")
            if name in FORBIDDEN and delta >= SLACK:
                failures.append(f"{name}: {delta:g} a line, none expected")
            if delta:
                print(f"{name:16s} {delta:g} a line")
        for name in EXPECTED:
            if name not in per[600]:
                failures.append(f"{name}: never called")
        if failures:
            print("\n".join(failures), file=sys.stderr)
            return 1
        print("system calls per exchange: as expected")
        return 0
    finally:
        sim.terminate()
        sim.wait(10)
        shutil.rmtree(work, True)


if __name__ == "__main__":
    sys.exit(main())
