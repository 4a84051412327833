"""The CPU time of kelvor's batch lines against the floor of one SS exchange.

The machine's noise comes in phases longer than one run, so the runs take
turns, a round at a time: the floor loop (ss_floor), a batch of 1000 SS lines
and the same with --json (each of the two going first every other round), and
a batch of one line (the program's start and the opening, which a line does
not cost). Each round gives its own ratios; their
medians count, beside the median of each run. The CPU time of a run is its
own (wait4), user and system.
    batch_cpu.py BIN PORT ROUNDS
(the batches run in the current directory, whose kelvor.cfg names the port)
prints: floor_us line_us line_ratio plain_ms json_ms json_percent single_ms"""
import os
import statistics
import subprocess
import sys


def cpu_ms(argv):
    """One run's CPU time, its output thrown away."""
    null = os.open(os.devnull, os.O_WRONLY)
    pid = os.fork()
    if pid == 0:
        os.dup2(null, 1)
        os.dup2(null, 2)
        os.execv(argv[0], argv)
    os.close(null)
    _, status, usage = os.wait4(pid, 0)
    return (usage.ru_utime + usage.ru_stime) * 1e3


def main(bin_dir, port, rounds):
    kelvor = os.path.join(bin_dir, "kelvor")
    with open("batch", "w") as f:
        f.write("-c SS\n" * 1000)
    with open("batch1", "w") as f:
        f.write("-c SS\n")
    runs = {"floor": [], "plain": [], "json": [], "single": []}
    for _ in range(rounds):
        out = subprocess.run([os.path.join(bin_dir, "ss_floor"), port, "1000"], capture_output=True, text=True,
                             check=True).stdout
        runs["floor"].append(float(out))
        # The two batches compared take turns at going first.
        pair = [("plain", []), ("json", ["--json"])]
        for name, extra in pair if len(runs["plain"]) % 2 == 0 else reversed(pair):
            runs[name].append(cpu_ms([kelvor] + extra + ["-F", "batch"]))
        runs["single"].append(cpu_ms([kelvor, "-F", "batch1"]))
    lines = [(p - s) * 1e3 / 999 for p, s in zip(runs["plain"], runs["single"])]
    line_ratio = statistics.median(x / f for x, f in zip(lines, runs["floor"]))
    json_ratio = statistics.median(j / p for j, p in zip(runs["json"], runs["plain"]))
    m = {k: statistics.median(v) for k, v in runs.items()}
    print("%.3f %.3f %.3f %.2f %.2f %.2f %.3f" % (m["floor"], statistics.median(lines), line_ratio, m["plain"],
                                                  m["json"], 100 * (json_ratio - 1), m["single"]))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
