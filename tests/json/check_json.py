#!/usr/bin/env python3
"""kelvor --json against the simulated module.

Every object printed is validated against the shipped schema (JSON Schema
draft 2020-12, python3-jsonschema) over: every command of the command
reference run as its example shows it, a batch of mixed lines, a directory
run, a backup and its restore, a copy of users, a failed opening, --list-ports, --commands and
--version; long options before, between and after the short ones; and the
trace on standard error is the same byte for byte with and without --json.

For every command run, each hexadecimal value that the trace prints after the
call line (the answers, the success lines, the decoded records) must be a
value of the command's object: no value is printed that a program cannot read.

Usage: check_json.py --bin DIR --schema FILE
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import jsonschema

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import unittest_parts  # noqa: E402

ARGS = None
VALIDATOR = None
HEX = re.compile(r"0x([0-9a-f]+)")
SCORE = re.compile(r"((?:Identify|Verify) Succeed: 0x[0-9a-f]+) 0x[0-9a-f]+")
# The call line of a command names its keyword in parentheses: "Identify by scan(IS) ...".
CALL = re.compile(r"^\[API\] [^\n]*\([A-Z]{2,3}\)")


class Session:
    """A simulated module on a link in a scratch directory, and kelvor runs beside it."""

    def __init__(self, testcase, extra=()):
        self.dir = tempfile.mkdtemp(prefix="kelvor-json-")
        testcase.addCleanup(shutil.rmtree, self.dir, True)
        self.link = os.path.join(self.dir, "L")
        self.sim = subprocess.Popen(
            [os.path.join(ARGS.bin, "orvanti-sim"), "--link", self.link, "--state",
             os.path.join(self.dir, "state.db"), *extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        testcase.addCleanup(self.stop)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.link):
            if time.monotonic() > deadline or self.sim.poll() is not None:
                raise RuntimeError("the simulated module did not start")
            time.sleep(0.02)
        self.kelvor("-P", self.link, "-b", "115200", "-t", "3000", "-c", "SS")

    def stop(self):
        if self.sim.poll() is None:
            self.sim.terminate()
            self.sim.wait(10)

    def control(self, *args):
        subprocess.run([os.path.join(ARGS.bin, "orvanti-sim"), "--link", self.link, *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

    def kelvor(self, *args):
        r = subprocess.run([os.path.join(ARGS.bin, "kelvor"), *args], cwd=self.dir, capture_output=True,
                           timeout=120)
        return r.returncode, r.stdout.decode("utf-8"), r.stderr.decode("utf-8", "replace")

    def path(self, name):
        return os.path.join(self.dir, name)

    def enroll(self, user, finger=3):
        """Enrolls `user` by scan with `finger` on the sensor (option 0x71, add new)."""
        self.control("--place", str(finger))
        self.kelvor("-c", "ES", "-p1", str(user), "-f", "0x71")


def objects(testcase, out):
    """The JSON Lines of standard output, each valid against the schema."""
    found = []
    for line in out.splitlines():
        obj = json.loads(line)
        errors = sorted(VALIDATOR.iter_errors(obj), key=str)
        testcase.assertFalse(errors, "\n".join(f"{list(e.path)}: {e.message}" for e in errors) + "\n" + line)
        found.append(obj)
    return found


def integers(value):
    """Every integer anywhere in a JSON value."""
    if isinstance(value, bool):
        return set()
    if isinstance(value, int):
        return {value}
    if isinstance(value, dict):
        return set().union(*(integers(v) for v in value.values())) if value else set()
    if isinstance(value, list):
        return set().union(*(integers(v) for v in value)) if value else set()
    return set()


def printed_values(err):
    """The hexadecimal values of the trace after the call line, but for the packet and data dumps and
    the values of the call line itself (the command line's own, which answer messages repeat)."""
    values = set()
    given = None
    for line in err.splitlines():
        if given is None:
            if CALL.match(line) or line.startswith("[API] Send Command:"):
                given = {int(h, 16) for h in HEX.findall(line)}
            continue
        if "[COM]" in line or "[DATA]" in line:
            continue
        values |= {int(h, 16) for h in HEX.findall(line)}
    return values - (given or set())


def prepare_inputs(s):
    """The input files that the command reference's examples name."""
    s.enroll(5)
    s.control("--place", "3")
    s.kelvor("--json", "-c", "SI", "-o", "finger.bmp")
    s.control("--wiegand", "5", "--card", "5")
    s.kelvor("--json", "-c", "RT", "-p1", "5", "-o", "user5.tpl")
    shutil.copy(s.path("user5.tpl"), s.path("finger.tpl"))
    with open(s.path("user5.tpl"), "rb") as f:
        one = f.read()
    with open(s.path("two.tpl"), "wb") as f:
        f.write(one * 2)
    for name, size in [("password.bin", 18), ("passwords.bin", 36), ("memory.bin", 64), ("layout.bin", 7),
                       ("key.bin", 32), ("gpio.bin", 8), ("cardkey.bin", 12), ("firmware.bin", 256)]:
        with open(s.path(name), "wb") as f:
            f.write(bytes((i * 7 + 1) & 0xFF for i in range(size)))


# Commands that change what the others find (the lock, the firmware, the
# database) run last, in this order.
LAST = ["UG", "CA", "DT", "DS", "DSA", "DW", "DWA", "DP", "FP", "DA", "DAA", "MP", "LM", "UM"]


class EveryCommand(unittest.TestCase):
    def test_objects_are_valid_and_hold_every_printed_value(self):
        s = Session(self)
        prepare_inputs(s)
        rc, out, _ = s.kelvor("--json", "--commands")
        commands = [c["command"] for c in objects(self, out)[0]["commands"]]
        commands.sort(key=lambda k: LAST.index(k) + 1 if k in LAST else 0)
        self.assertGreater(len(commands), 90)
        for keyword in commands:
            with self.subTest(command=keyword):
                _, out, _ = s.kelvor("--json", "--commands", keyword)
                example = objects(self, out)[0]["commands"][0]["example"].split()[1:]
                s.control("--place", "3", "--wiegand", "5", "--card", "5")
                rc, out, err = s.kelvor("--json", "-x2", "-t", "3000", *example)
                found = objects(self, out)
                if len(found) == 1 and found[0]["result_name"] == "read_timeout":
                    # The simulator, starved on a loaded machine, may not answer within
                    # the time-out: what is checked here is the object of an answer.
                    rc, out, err = s.kelvor("--json", "-x2", "-t", "10000", *example)
                    found = objects(self, out)
                    print(f"{keyword}: the line was silent; run once more", file=sys.stderr)
                self.assertEqual(len(found), 1, out + err)
                obj = found[0]
                self.assertEqual(obj["command"], keyword)
                missing = printed_values(err) - integers(obj["values"]) - integers(obj["module_text"])
                self.assertFalse(missing, f"printed but not in values: {sorted(hex(v) for v in missing)}\n"
                                          f"{err}\n{out}")


class Runs(unittest.TestCase):
    def setUp(self):
        self.s = Session(self)

    def test_batch_of_mixed_lines(self):
        s = self.s
        s.enroll(7)
        with open(s.path("station.txt"), "w") as f:
            f.write("-c SS\n-c CT -p1 7\n-c VS -p1 99\n-c IS\n-c LT\n")
        s.control("--place", "3")
        rc, out, err = s.kelvor("--json", "--exit-code", "-F", "station.txt")
        found = objects(self, out)
        self.assertEqual([o["line"] for o in found], [1, 2, 3, 4, 5], err)
        self.assertEqual([o["outcome"] for o in found], ["ok", "ok", "refused", "ok", "ok"], err)
        self.assertEqual(rc, 2)
        self.assertEqual(found[0]["values"]["status_name"], "Module is in normal condition")
        self.assertEqual(found[1]["values"], {"user_id": 7, "templates": 1})
        self.assertEqual(found[3]["values"]["user_id"], 7)
        self.assertEqual(found[4]["values"]["user_ids"], [7])

    def test_batch_lines_keep_the_files_numbers(self):
        s = self.s
        first = ("-c SS".ljust(511) + "-c CT -p1 1").ljust(536)
        with open(s.path("long.txt"), "w") as f:
            f.write(first + "\n-c SS\n-c SR -f 0x71\n")
        rc, out, err = s.kelvor("--json", "-F", "long.txt")
        found = objects(self, out)
        self.assertEqual([(o["line"], o.get("part"), o["command"]) for o in found],
                         [(1, 1, "SS"), (1, 2, "CT"), (2, None, "SS"), (3, None, "SR")], err)

    def test_directory_run_gives_an_object_a_file(self):
        s = self.s
        s.enroll(3)
        s.control("--place", "3")
        os.mkdir(s.path("scans"))
        s.kelvor("-c", "SI", "-o", os.path.join("scans", "a.bmp"))
        with open(s.path(os.path.join("scans", "b.bmp")), "wb") as f:
            f.write(b"not an image")
        rc, out, err = s.kelvor("--json", "--exit-code", "-c", "II", "-i", "scans")
        found = objects(self, out)
        self.assertEqual([os.path.basename(o["file"]) for o in found], ["a.bmp", "b.bmp"], err)
        self.assertEqual(found[0]["outcome"], "ok")
        self.assertEqual(found[0]["values"]["user_id"], 3)
        self.assertEqual(found[1]["outcome"], "refused")
        self.assertEqual(found[1]["message"], "Err: Cannot open the bmp file")
        self.assertEqual(rc, 2)

    def test_files_written_and_module_text(self):
        s = self.s
        s.enroll(4)
        s.control("--fault", "text:hello\x01world")
        rc, out, err = s.kelvor("--json", "-c", "RT", "-p1", "4", "-o", "t.tpl")
        (obj,) = objects(self, out)
        with open(s.path("t.tpl"), "rb") as f:
            data = f.read()
        import hashlib
        self.assertEqual(obj["files"], [{"path": "t.tpl", "bytes": len(data),
                                         "sha256": hashlib.sha256(data).hexdigest()}])
        # The fault sends the line before every answer: the three of the opening, then RT's.
        self.assertEqual(obj["module_text"], ["[hello\x01world]"] * 4)

    def test_backup_and_restore(self):
        s = self.s
        for user in (1, 2):
            s.enroll(user, finger=user)
        rc, out, err = s.kelvor("--json", "--backup", "bk")
        (obj,) = objects(self, out)
        self.assertEqual(obj["kind"], "backup")
        self.assertEqual([u["user_id"] for u in obj["users"]], [1, 2], err)
        fresh = Session(self)
        shutil.copytree(s.path("bk"), fresh.path("bk"))
        rc, out, err = fresh.kelvor("--json", "--exit-code", "--restore", "bk")
        (obj,) = objects(self, out)
        self.assertEqual((obj["kind"], obj["outcome"], obj["restored"]), ("restore", "ok", 2), err)
        self.assertEqual([u["status"] for u in obj["users"]], ["restored", "restored"])
        self.assertEqual(rc, 0)

    def test_a_line_of_several_modules(self):
        s = Session(self, ("--modules", "1,2,7"))
        s.control("--module", "2", "--fault", "checksum,times=1")
        rc, out, err = s.kelvor("-n", "1", "-t", "300", "-x2", "--json", "--exit-code", "--scan", "1-9")
        found = objects(self, out)
        self.assertEqual([(o["kind"], o["module_id"], o["result_name"]) for o in found[:-1]],
                         [("scan_module", 1, "ok"), ("scan_module", 2, "checksum"), ("scan_module", 7, "ok")])
        self.assertEqual(found[0]["templates"], 0)
        self.assertEqual((found[-1]["kind"], found[-1]["modules"], found[-1]["checksum_errors"]),
                         ("scan", [1, 7], [2]))
        self.assertEqual(rc, 3)
        rc, out, err = s.kelvor("--json", "--modules", "1,7", "-c", "SR", "-f", "0x6d")
        self.assertEqual([(o["module_id"], o["values"]["value"]) for o in objects(self, out)], [(1, 1), (7, 7)], err)
        rc, out, err = s.kelvor("--json", "--exit-code", "--backup", "bus", "--modules", "1,7")
        self.assertEqual([(o["kind"], o["module_id"], o["outcome"]) for o in objects(self, out)],
                         [("backup", 1, "ok"), ("backup", 7, "ok")], err)

    def test_copy_of_users(self):
        s = Session(self, ("--modules", "1,2,3"))
        s.kelvor("-n", "1", "-m", "1", "-c", "SS")
        for user in (1, 2):
            s.enroll(user, finger=user)
        s.kelvor("-c", "AW", "-p1", "2", "-p2", "3")
        rc, out, err = s.kelvor("--json", "--backup", "bk")
        (obj,) = objects(self, out)
        self.assertEqual([u.get("admin_level") for u in obj["users"]], [None, 3], err)
        # Another finger under ID 1 on module 3: a conflict there.
        s.control("--module", "3", "--place", "5")
        s.kelvor("-m", "3", "-c", "ES", "-p1", "1")
        rc, out, err = s.kelvor("--json", "--exit-code", "--copy-users", "--from-module", "1", "--modules", "2,3")
        found = objects(self, out)
        self.assertEqual([(o["kind"], o.get("module_id"), o.get("user_id"), o.get("status")) for o in found],
                         [("copy_user", 2, 1, "copied"), ("copy_user", 2, 2, "copied"), ("copy", 2, None, None),
                          ("copy_user", 3, 1, "conflict"), ("copy_user", 3, 2, "copied"), ("copy", 3, None, None)],
                         err)
        self.assertEqual((found[1]["templates"], found[1]["admin_level"], found[1]["auth_policy"]), (1, 3, 0))
        self.assertEqual((found[3]["result_name"], found[3]["reason"]),
                         ("id_already_used", "the ID holds other templates on the module"))
        self.assertEqual([(o["copied"], o["conflicts"], o["outcome"], o["source"]) for o in (found[2], found[5])],
                         [(2, 0, "ok", {"module_id": 1}), (1, 1, "refused", {"module_id": 1})])
        self.assertIn("Source: module 1, 2 users", err)
        self.assertEqual(rc, 4)
        # The plan of a dry run from the backup: the same objects, nothing changed.
        rc, out, err = s.kelvor("--json", "--exit-code", "--copy-users", "--from", "bk", "--modules", "2",
                                "--dry-run", "--prune")
        found = objects(self, out)
        self.assertEqual([(o["kind"], o.get("status"), o["dry_run"]) for o in found],
                         [("copy_user", "unchanged", True), ("copy_user", "unchanged", True), ("copy", None, True)])
        self.assertEqual((found[-1]["source"], rc), ({"directory": "bk"}, 0))
        # A copy that cannot begin: one object for the copy as a whole.
        rc, out, err = s.kelvor("--json", "--exit-code", "--copy-users", "--from", "nothere", "--modules", "2")
        (obj,) = objects(self, out)
        self.assertEqual((obj["kind"], obj["outcome"], obj["message"]),
                         ("copy", "refused", "Err: Cannot read nothere/manifest.txt"))
        self.assertNotIn("module_id", obj)
        self.assertEqual(rc, 2)

    def test_a_module_answering_badly_and_one_that_does_not_answer(self):
        s = Session(self, ("--modules", "1,2,7"))
        s.control("--module", "2", "--fault", "truncate:10")
        rc, out, err = s.kelvor("-n", "1", "-t", "300", "--json", "--exit-code", "--scan", "1-9")
        found = objects(self, out)
        self.assertEqual([(o["module_id"], o["answer"]) for o in found[:-1]], [(1, "ok"), (2, "cut_short"), (7, "ok")])
        self.assertEqual((found[-1]["modules"], found[-1]["cut_short"]), ([1, 7], [2]))
        self.assertEqual(rc, 3)
        s.control("--module", "2", "--fault", "silence")
        for work in ("--backup", "--restore"):
            with self.subTest(work=work):
                rc, out, err = s.kelvor("-t", "300", "--json", "--exit-code", work, "bus", "--modules", "2")
                (obj,) = objects(self, out)
                self.assertEqual((obj["kind"], obj["module_id"], obj["outcome"]), (work[2:], 2, "link_failed"), err)
                self.assertEqual(rc, 3)

    def test_runs_that_are_no_module_command(self):
        s = self.s
        rc, out, _ = s.kelvor("--json", "--list-ports")
        self.assertEqual(objects(self, out)[0]["kind"], "ports")
        rc, out, _ = s.kelvor("--commands", "--json")
        self.assertEqual(objects(self, out)[0]["kind"], "commands")
        rc, out, _ = s.kelvor("--json", "--version")
        self.assertEqual(objects(self, out)[0]["kind"], "version")
        rc, out, _ = s.kelvor("--json-schema")
        with open(ARGS.schema, encoding="utf-8") as f:
            self.assertEqual(json.loads(out), json.load(f))

    def test_runs_that_fail_before_a_command(self):
        s = self.s
        cases = [
            (["-P", s.path("none"), "-c", "SS"], "link_failed", "Err: Cannot initialize sdk", True),
            (["-c", "SS", "--bogus"], "refused", "Err: Unknown option: --bogus (kelvor --help lists the options)",
             False),
            (["-x2"], "refused", "Err: No command", False),
            (["--backup"], "refused", "Err: --backup needs a directory", False),
        ]
        for args, outcome, message, reason in cases:
            with self.subTest(args=args):
                rc, out, err = s.kelvor("--json", "--exit-code", *args)
                (obj,) = objects(self, out)
                self.assertEqual((obj["outcome"], obj["message"]), (outcome, message), err)
                self.assertEqual("reason" in obj, reason)
                if reason:
                    self.assertIn(obj["reason"], err)
                self.assertEqual(rc, 3 if outcome == "link_failed" else 2)

    def test_long_options_anywhere(self):
        s = self.s
        for args in (["--json", "-x2", "-c", "SS"], ["-x2", "--json", "-c", "SS"], ["-x2", "-c", "SS", "--json"],
                     ["--exit-code", "-c", "SS", "--json"]):
            with self.subTest(args=args):
                rc, out, err = s.kelvor(*args)
                (obj,) = objects(self, out)
                self.assertEqual((obj["command"], obj["outcome"]), ("SS", "ok"), err)

    def test_trace_is_the_same_with_and_without_json(self):
        s = self.s
        s.enroll(6)
        with open(s.path("b.txt"), "w") as f:
            f.write("-c SS\n-c IS\n-c LT\n-c VS -p1 9\n-c LR -p1 0 -p2 1\n")
        for args in (["-x4", "-c", "SS"], ["-x2", "-c", "LT"], ["-x3", "-c", "RT", "-p1", "6", "-o", "x.tpl"],
                     ["-x2", "-F", "b.txt"], ["-x1", "-c", "VS", "-p1", "9"]):
            with self.subTest(args=args):
                s.control("--place", "3")
                _, plain_out, plain = s.kelvor(*args)
                s.control("--place", "3")
                _, out, with_json = s.kelvor("--json", *args)
                objects(self, out)
                self.assertEqual(SCORE.sub(r"\1", with_json), SCORE.sub(r"\1", plain))
                self.assertEqual(plain_out.strip(), "")


HELLO = "text:hello-from-module,times=1"


def module_text_of(found):
    """Every module text line of the objects, in order."""
    return [line for o in found for line in o.get("module_text", [])]


class ModuleText(unittest.TestCase):
    """The module's text lines with --json: in the object of the command during which they came, those of
    the opening in the first object of the run; never lost, never on a terminal as they came."""

    def test_text_of_the_opening_goes_to_the_first_object(self):
        s = Session(self)
        with open(s.path("two.txt"), "w") as f:
            f.write("-c SR -f 0x71\n-c SS\n")
        for args in (["-c", "SR", "-f", "0x71"], ["-F", "two.txt"]):
            with self.subTest(args=args):
                s.control("--fault", HELLO)
                rc, out, err = s.kelvor("--json", "-x2", *args)
                found = objects(self, out)
                self.assertEqual([o["module_text"] for o in found][:2],
                                 [["[hello-from-module]"], []][:len(found)], out + err)
                self.assertEqual(found[0]["values"]["value"], 0x35)
                # Without --json the line is on standard output, as before.
                s.control("--fault", HELLO)
                rc, out, err = s.kelvor("-x2", *args)
                self.assertEqual(out, "[hello-from-module]\r\n", err)

    def test_text_of_the_opening_in_directory_mode(self):
        s = Session(self)
        s.enroll(3)
        s.control("--place", "3")
        os.mkdir(s.path("scans"))
        for name in ("a.bmp", "b.bmp"):
            s.kelvor("-c", "SI", "-o", os.path.join("scans", name))
        s.control("--fault", HELLO)
        rc, out, err = s.kelvor("--json", "-c", "II", "-i", "scans")
        found = objects(self, out)
        self.assertEqual([(os.path.basename(o["file"]), o["module_text"]) for o in found],
                         [("a.bmp", ["[hello-from-module]"]), ("b.bmp", [])], out + err)

    def test_text_of_a_module_turned_to_goes_to_its_object(self):
        s = Session(self, ("--modules", "1,7"))
        for faulted, expected in ((7, [[], ["[hello-from-module]"]]), (1, [["[hello-from-module]"], []])):
            with self.subTest(module=faulted):
                s.control("--module", str(faulted), "--fault", HELLO)
                rc, out, err = s.kelvor("--json", "--modules", "1,7", "-c", "SR", "-f", "0x6d")
                found = objects(self, out)
                self.assertEqual([(o["module_id"], o["module_text"]) for o in found],
                                 list(zip([1, 7], expected)), out + err)

    def test_text_in_a_scan_a_backup_and_a_restore(self):
        s = Session(self, ("--modules", "1,7"))
        s.control("--module", "7", "--fault", HELLO)
        # 300 ms for the ID: the scan's own wait misses answers on a loaded machine.
        rc, out, err = s.kelvor("-n", "1", "-t", "300", "--json", "--scan", "7-7")
        found = objects(self, out)
        self.assertEqual(module_text_of(found), ["[hello-from-module]"], out + err)
        one = Session(self)
        one.enroll(2)
        one.control("--fault", HELLO)
        rc, out, err = one.kelvor("--json", "--backup", "bk")
        (obj,) = objects(self, out)
        self.assertEqual((obj["kind"], obj["module_text"]), ("backup", ["[hello-from-module]"]), err)
        one.kelvor("-c", "DA")
        one.control("--fault", HELLO)
        rc, out, err = one.kelvor("--json", "--restore", "bk")
        (obj,) = objects(self, out)
        self.assertEqual((obj["kind"], obj["restored"], obj["module_text"]), ("restore", 1, ["[hello-from-module]"]),
                         err)

    def on_terminal(self, s, *args):
        """kelvor with standard output and standard error on a terminal: the bytes that reached it."""
        import pty
        master, slave = pty.openpty()
        proc = subprocess.Popen([os.path.join(ARGS.bin, "kelvor"), *args], cwd=s.dir, stdin=subprocess.DEVNULL,
                                stdout=slave, stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        proc.wait(120)
        return shown

    def test_no_control_character_of_a_module_reaches_a_terminal(self):
        text = "\x1b]0;T\x07\x1b[31mRED\x7f\u009b0m"
        control = {0x07, 0x1b, 0x7f}
        s = Session(self, ("--modules", "7"))
        cases = [
            (("-n", "1", "-m", "7", "-x2", "-c", "SS"), False),
            (("-n", "1", "-t", "300", "--json", "--scan", "7-7"), True),
            (("-n", "1", "-m", "7", "--json", "-c", "SS"), True),
            (("-n", "1", "-m", "7", "--json", "--backup", "bk"), True),
        ]
        for args, json_lines in cases:
            with self.subTest(args=args):
                s.control("--module", "7", "--fault", "text:" + text + ",times=1")
                shown = self.on_terminal(s, *args)
                self.assertFalse(control & set(shown), shown)
                self.assertNotIn("\u009b".encode(), shown)
                if json_lines:
                    lines = shown.decode("utf-8", "replace").splitlines()
                    found = objects(self, "\n".join(line for line in lines if line.startswith("{")))
                    self.assertEqual(module_text_of(found), ["[" + text + "]"], shown)
                else:
                    self.assertIn(b"[^[]0;T^G^[[31mRED^?M-^[0m]", shown)


def main():
    global ARGS, VALIDATOR
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--schema", required=True)
    unittest_parts.add_option(parser)
    ARGS, rest = parser.parse_known_args()
    ARGS.bin = os.path.abspath(ARGS.bin)
    with open(ARGS.schema, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    VALIDATOR = jsonschema.Draft202012Validator(schema)
    unittest.main(argv=[sys.argv[0], *rest, *unittest_parts.classes_except(sys.modules[__name__], ARGS.others)],
                  verbosity=2)


if __name__ == "__main__":
    main()
