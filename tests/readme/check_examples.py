#!/usr/bin/env python3
"""Runs the example sessions of the README files and manual pages and compares
what they print with what the documents show.

A session is a fenced block of the info string `console` in Markdown, or the
EXAMPLES section of a manual page. Each runs in a fresh directory with the
built programs first on PATH: a line "$ COMMAND" is run by bash with both
output streams together, and the lines after it up to the next "$ " are what
it must print. A command ending in "&" (the simulated module, the service)
runs in the background, its output set aside, and the session goes on once its
link (or socket) is there; whatever is still running at the end of a session
is stopped.

Only what legitimately varies is normalised, in the document and the run
alike: match scores, clock times, elapsed times, event times and process IDs. Manual pages
show commands without output: there each command must run without an error
line of the tool ("Err:"), of the library ("[ERR]") or of socat, unless the page says it
is expected with a trailing "# fails".
"""
import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile

NORMALISERS = [
    # Match scores: the second value of a success line of identification or verification.
    (re.compile(r"((?:Identify|Verify) Succeed: 0x[0-9a-f]+) 0x[0-9a-f]+"), r"\1 SCORE"),
    # Clock readings and log times.
    (re.compile(r"\b\d\d:\d\d:\d\d\b"), "HH:MM:SS"),
    (re.compile(r"\b\d+(\.\d+)? (ms|s)\b"), "T"),
    (re.compile(r"\(PID \d+\)"), "(PID N)"),
    # Scores as the Python package and its examples print them.
    (re.compile(r"\b(score[ =])\d+"), r"\1SCORE"),
    # The same in the objects of --json: scores, wall times, clock readings.
    (re.compile(r'("score": ?)\d+'), r"\1SCORE"),
    (re.compile(r'("elapsed_ms": ?)\d+'), r"\1T"),
    (re.compile(r"\b\d{4}-\d\d-\d\dT"), "YYYY-MM-DDT"),
    # The service's event times, to the millisecond.
    (re.compile(r"(YYYY-MM-DDT)\d\d:\d\d:\d\d\.\d{3}Z"), r"\1HH:MM:SS.mmmZ"),
]


def normalise(text):
    for pattern, replacement in NORMALISERS:
        text = pattern.sub(replacement, text)
    return text


def markdown_sessions(path):
    """(line number, lines) of every console block."""
    sessions = []
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines):
        if lines[i].strip() == "```console":
            start = i + 1
            j = start
            while j < len(lines) and lines[j].strip() != "```":
                j += 1
            sessions.append((start + 1, lines[start:j]))
            i = j
        i += 1
    return sessions


def man_sessions(path):
    """The EXAMPLES section of a manual page as one session of commands."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    m = re.search(r"^\.SH EXAMPLES\n(.*?)(?=^\.SH )", text, re.M | re.S)
    if not m:
        return []
    commands = []
    nofill = False
    for line in m.group(1).split("\n"):
        if line.startswith(".nf"):
            nofill = True
            continue
        if line.startswith(".fi"):
            nofill = False
            continue
        if line.startswith(".B "):
            line = line[3:]
        elif not nofill or line.startswith("."):
            continue
        commands.append("$ " + line.replace("\\-", "-").replace("\\(aq", "'"))
    return [(m.start(), commands)]


def link_of(command):
    """What a background command makes that the session waits for: the
    simulated module's link, or the service's socket."""
    words = shlex.split(command.rstrip("&"))
    for k, w in enumerate(words[:-1]):
        if w == "--link":
            return "[ -L {0} ] && [ -e {0} ]".format(shlex.quote(words[k + 1]))
        if w == "--socket":
            return "[ -S {0} ]".format(shlex.quote(words[k + 1]))
    return None


def run_session(lines, bindir, with_output, path=()):
    script = ["set -u", 'export PATH="%s:$PATH"' % ":".join([bindir, *path]), "exec 2>&1"]
    expected = []
    for line in lines:
        if not line.startswith("$ "):
            expected.append(line)
            continue
        command = line[2:]
        expected.append(line)
        script.append("printf '%%s\\n' %s" % shlex.quote(line))
        if command.rstrip().endswith("&"):
            ready = link_of(command)
            script.append("%s >/dev/null 2>&1 &" % command.rstrip().rstrip("&"))
            if ready:
                script.append("for i in $(seq 500); do %s && break; sleep 0.01; done" % ready)
        else:
            script.append("{ %s\n} </dev/null" % command)
    script.append("kill $(jobs -p) 2>/dev/null; wait")
    with tempfile.TemporaryDirectory(prefix="kelvor-example-") as work:
        try:
            run = subprocess.run(
                ["bash", "-c", "\n".join(script)],
                cwd=work,
                stdout=subprocess.PIPE,
                stdin=subprocess.DEVNULL,
                timeout=240,
                env=dict(os.environ, TZ="UTC", LC_ALL="C"),
            )
            got = run.stdout.decode("utf-8", "backslashreplace")
        except subprocess.TimeoutExpired as e:
            got = (e.stdout or b"").decode("utf-8", "backslashreplace") + "\n(the session did not end)\n"
    return "\n".join(expected) + "\n", got


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="folder of the built kelvor and orvanti-sim")
    parser.add_argument("--path", action="append", default=[],
                        help="a folder put on PATH after --bin (the Python examples, the interpreter)")
    parser.add_argument("--skip", action="append", default=[],
                        help="sessions that contain this text are not run (a part not built)")
    parser.add_argument("--update", action="store_true",
                        help="write what the sessions printed back into the Markdown documents")
    parser.add_argument("documents", nargs="+")
    args = parser.parse_args()
    bindir = os.path.abspath(args.bin)
    path = [os.path.abspath(p) for p in args.path]
    failed = 0
    count = 0
    left_out = 0
    for doc in args.documents:
        man = not doc.endswith(".md")
        sessions = man_sessions(doc) if man else markdown_sessions(doc)
        kept = [(w, l) for w, l in sessions if not any(t in "\n".join(l) for t in args.skip)]
        left_out += len(sessions) - len(kept)
        sessions = kept
        if args.update and not man:
            with open(doc, encoding="utf-8") as f:
                text = f.read().split("\n")
            for where, lines in reversed(sessions):
                _, got = run_session(lines, bindir, True, path)
                text[where - 1 : where - 1 + len(lines)] = got.rstrip("\n").split("\n")
            with open(doc, "w", encoding="utf-8") as f:
                f.write("\n".join(text))
            continue
        for where, lines in sessions:
            count += 1
            expected, got = run_session(lines, bindir, not man, path)
            name = "%s:%d" % (doc, where)
            if man:
                bad = [
                    l
                    for l in got.split("\n")
                    if ("Err:" in l or "[ERR]" in l or "did not end" in l or re.search(r"socat\[\d+\] E ", l))
                ]
                expected_failures = sum(1 for l in lines if l.rstrip().endswith("# fails"))
                if len(bad) > expected_failures:
                    failed += 1
                    print("FAILED %s: an example reports an error\n%s" % (name, got))
                continue
            if normalise(got).rstrip("\n") != normalise(expected).rstrip("\n"):
                failed += 1
                import difflib

                diff = difflib.unified_diff(
                    expected.split("\n"), got.split("\n"), "document", "run", lineterm=""
                )
                print("FAILED %s\n%s\n" % (name, "\n".join(diff)))
    print("%d passed, %d failed" % (count - failed, failed))
    if count == 0 and left_out > 0 and not failed:
        # Every session needs what this build left out (the Python package):
        # reported as skipped, not as passed. The build that has it runs them.
        print("%d left out (--skip)" % left_out)
        return SKIPPED
    return 1 if failed or count == 0 else 0


# The exit status of a document all of whose sessions were left out (CTest's SKIP_RETURN_CODE).
SKIPPED = 77

if __name__ == "__main__":
    sys.exit(main())
