"""kelvor's own clients of kelvord: `kelvor --server SOCKET` against a direct
run of the same command line (two simulated modules from the same state, one
driven directly, one through the service: the same standard output, trace,
exit status and files), and `kelvor --watch` through the service and on a
port of its own."""
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import rig
from rig import Rig, check, wait_for

SCORE = re.compile(r"((?:Identify|Verify) Succeed: 0x[0-9a-f]+) 0x[0-9a-f]+")


def normalise(text):
    """What legitimately differs between two runs: match scores and wall times."""
    text = SCORE.sub(r"\1 SCORE", text)
    text = re.sub(r'"score":\d+', '"score":S', text)
    text = re.sub(r'"elapsed_ms":\d+', '"elapsed_ms":T', text)
    # The modules' clocks: two simulators log the same events a second apart.
    text = re.sub(r"\b\d\d:\d\d:\d\d\b", "HH:MM:SS", text)
    text = re.sub(r'"time":"[^"]*"', '"time":T', text)
    return text


class Pair:
    """Two simulated modules from the same state: one for direct runs, one
    behind kelvord for the runs through it; each with a working directory."""

    def __init__(self, testcase, sim_args=(), daemon_args=(), line=("-b", "115200", "-t", "5000")):
        self.direct = Rig(testcase, sim_args=sim_args, start=False)
        self.served = Rig(testcase, sim_args=sim_args, daemon_args=daemon_args)
        self.line = list(line)
        for r in (self.direct, self.served):
            os.makedirs(os.path.join(r.dir, "work"))

    def control(self, *args):
        self.direct.control(*args)
        self.served.control(*args)

    def both(self, *args, files=()):
        """The command line run directly and through the service, in their own directories."""
        a = self.direct.kelvor("-P", self.direct.link, *self.line, *args, cwd=os.path.join(self.direct.dir, "work"))
        b = self.served.kelvor("--server", self.served.sock, *args, cwd=os.path.join(self.served.dir, "work"))
        made = []
        for r in (self.direct, self.served):
            contents = {}
            for f in files:
                path = os.path.join(r.dir, "work", f)
                contents[f] = open(path, "rb").read() if os.path.exists(path) else None
                if f.endswith(".log") and contents[f] is not None:
                    contents[f] = len(contents[f])  # records with the modules' clock times
            made.append(contents)
        return (a[0], normalise(a[1]), normalise(a[2]), made[0]), (b[0], normalise(b[1]), normalise(b[2]), made[1])

    def write(self, name, data):
        for r in (self.direct, self.served):
            with open(os.path.join(r.dir, "work", name), "wb") as f:
                f.write(data)


class ServerRuns(unittest.TestCase):
    def assert_same(self, pair, args, files=(), place=None):
        if place:
            pair.control("--place", place)
        direct, served = pair.both(*args, files=files)
        self.assertEqual(served, direct, "kelvor %s" % " ".join(args))
        return direct

    def test_commands_of_every_family_as_a_direct_run(self):
        pair = Pair(self)
        pair.write("five.bin", b"hello")
        pair.write("key.bin", bytes(range(32)))
        pair.write("layout.bin", bytes(7))
        os.makedirs(os.path.join(pair.direct.dir, "work", "probes"))
        os.makedirs(os.path.join(pair.served.dir, "work", "probes"))
        rows = [
            (("-x2", "-c", "SS"), (), None),
            (("-x3", "-c", "SR", "-f", "0x71"), (), None),
            (("-x2", "-c", "SW", "-f", "0x66", "-p2", "0x35"), (), None),
            (("-x2", "-c", "ES", "-p1", "5", "-f", "0x71"), (), "3"),
            (("-x2", "-c", "ES", "-p1", "5", "-f", "0x70"), (), "3"),
            (("-x2", "-c", "IS"), (), "3"),
            (("-x2", "-c", "VS", "-p1", "6"), (), "3"),
            (("-x4", "-c", "CT", "-p1", "5"), (), None),
            (("-x2", "-c", "LT"), (), None),
            (("-x2", "-c", "RT", "-p1", "5", "-o", "user5.bin"), ("user5.bin",), None),
            (("-x2", "-c", "SI", "-o", "finger.bmp"), ("finger.bmp",), "4"),
            (("-x2", "-c", "EI", "-p1", "7", "-i", "finger.bmp"), (), None),
            (("-x2", "-c", "II", "-i", "finger.bmp"), (), None),
            (("-x2", "-c", "ET", "-p1", "8", "-p2", "384", "-i", "missing.bin"), (), None),
            (("-x2", "-c", "VT", "-p1", "1", "-p2", "4"), (), None),
            (("-x2", "-c", "SI", "-o", "nowhere/x.bmp"), (), None),
            (("-x2", "-c", "AW", "-p1", "5", "-p2", "2"), (), None),
            (("-x2", "-c", "UW", "-p1", "5", "-p2", "3"), (), None),
            (("-x2", "-c", "UL", "-p2", "3", "-o", "rejected.bin"), ("rejected.bin",), None),
            (("-x2", "-c", "TW", "-p1", "0x0c0732", "-p2", "0x1e0f09"), (), None),
            (("-x2", "-c", "LN"), (), None),
            (("-x2", "-c", "LR", "-p2", "10", "-o", "records.log"), ("records.log",), None),
            (("-x2", "-c", "MW", "-p1", "0x100", "-p2", "5", "-i", "five.bin"), (), None),
            (("-x2", "-c", "MR", "-p1", "0x100", "-p2", "5", "-o", "back.bin"), ("back.bin",), None),
            (("-x2", "-c", "KW", "-i", "key.bin"), (), None),
            (("-x2", "-c", "OW", "-f", "3", "-p1", "0x100227", "-p2", "0x640032"), (), None),
            (("-x2", "-c", "OR", "-f", "3", "-p1", "0x27"), (), None),
            (("-x2", "-c", "GR", "-p1", "0"), (), None),
            (("-x2", "-c", "WW", "-f", "1", "-p1", "0x1a0112", "-p2", "0x55"), (), None),
            (("-x2", "-c", "WR", "-f", "1"), (), None),
            (("-x2", "-c", "WRX", "-o", "format.bin"), ("format.bin",), None),
            (("-x2", "-c", "CR", "-f", "1", "-o", "card.bin"), ("card.bin",), None),
            (("-x2", "-c", "CLW", "-i", "layout.bin"), (), None),
            (("-x2", "-c", "LM"), (), None),
            (("-x2", "-c", "IS"), (), None),
            (("-x4", "-c", "0x3F"), (), None),
            (("--exit-code", "-x1", "-c", "DT", "-p1", "99"), (), None),
            (("--json", "-x0", "-c", "CT", "-p1", "5"), (), None),
            (("--json", "-x1", "-c", "SI", "-o", "probes/p.bmp"), ("probes/p.bmp",), "3"),
            (("--json", "-x2", "-c", "II", "-i", "probes"), (), None),
            (("-x2", "-c", "QQ"), (), None),
        ]
        for args, files, place in rows:
            with self.subTest(args=" ".join(args)):
                self.assert_same(pair, args, files, place)

    def test_a_batch_file_and_exit_statuses(self):
        pair = Pair(self)
        batch = b"-c SS\n-c CT -p1 5\n# a note\n-c ES -p1 5 -f 0x71\n-c VS -p1 5\n" + b"-c LT " + b"x" * 520 + b"\n"
        pair.write("batch.txt", batch)
        self.assert_same(pair, ("--exit-code", "-x2", "-F", "batch.txt"), place="3")
        self.assert_same(pair, ("--json", "--exit-code", "-x2", "-F", "batch.txt"), place="3")
        self.assert_same(pair, ("-x2", "-F", "no-such-batch.txt"))

    def test_a_line_of_several_modules_and_its_scan(self):
        pair = Pair(self, sim_args=("--modules", "1,2,7"), daemon_args=("--modules", "1,2,7"),
                    line=("-b", "115200", "-t", "5000", "-n", "1"))
        pair.served.wait_open()
        self.assert_same(pair, ("-x2", "-t", "100", "--scan", "1-8"))
        self.assert_same(pair, ("--json", "-x2", "-t", "100", "--scan", "1-8"))
        pair.control("--place", "3", "--module", "7")
        self.assert_same(pair, ("-x2", "-m", "7", "-c", "ES", "-p1", "5", "-f", "0x71"))
        self.assert_same(pair, ("-x2", "--modules", "1,2,7", "-c", "CT", "-p1", "5"))
        self.assert_same(pair, ("--json", "-x1", "--modules", "1,7", "-c", "CT", "-p1", "5"))

    def test_copies_backups_and_restores_as_a_direct_run(self):
        pair = Pair(self, sim_args=("--modules", "1,2,3"), daemon_args=("--modules", "1,2,3"),
                    line=("-b", "115200", "-t", "5000", "-n", "1"))
        pair.served.wait_open()
        for finger, user in (("3", "5"), ("4", "6")):
            pair.control("--place", finger, "--module", "1")
            self.assert_same(pair, ("-x1", "-m", "1", "-c", "ES", "-p1", user, "-f", "0x71"))
        pair.control("--place", "4", "--module", "3")
        self.assert_same(pair, ("-x1", "-m", "3", "-c", "ES", "-p1", "6", "-f", "0x71"))
        saved = ("saved/manifest.txt", "saved/user-00000005.tpl", "saved/user-00000006.tpl")
        both = ("both/module-00002/manifest.txt", "both/module-00002/user-00000005.tpl",
                "both/module-00003/manifest.txt")
        copy = ("--modules", "2,3", "--copy-users", "--from-module", "1")
        rows = [
            # The plan, then the copy (a conflict on module 3 kept), then one that changes nothing.
            (("--json", "--exit-code", "-x1", *copy, "--dry-run"), ()),
            (("--exit-code", "-x1", *copy), ()),
            (("--json", "--exit-code", "-x1", *copy), ()),
            (("--json", "--exit-code", "-x1", *copy, "--replace", "--users", "6"), ()),
            (("-x1", "-m", "1", "--backup", "saved"), saved),
            (("--json", "--exit-code", "-x1", "-m", "1", "--backup", "saved"), saved),
            (("--json", "-x1", "--modules", "2,3", "--backup", "both"), both),
            (("-x1", "-m", "2", "-c", "DT", "-p1", "5"), ()),
            (("--json", "--exit-code", "-x1", "-m", "2", "--restore", "saved"), ()),
            (("--exit-code", "-x1", "-m", "3", "--restore", "saved"), ()),
            (("--json", "--exit-code", "-x1", "-m", "2", "--restore", "missing"), ()),
            (("-x1", "-m", "2", "-c", "DT", "-p1", "6"), ()),
            (("--json", "--exit-code", "-x1", "-m", "2", "--copy-users", "--from", "saved", "--users", "6"), ()),
            (("--exit-code", "-x1", "--modules", "2,3", "--copy-users", "--from", "saved", "--prune"), ()),
            (("--exit-code", "-x1", "-m", "2", "--copy-users", "--from", "missing"), ()),
        ]
        for args, files in rows:
            with self.subTest(args=" ".join(args)):
                direct = self.assert_same(pair, args, files)
                for f in files:
                    self.assertIsNotNone(direct[3][f], f)
        # What the runs found is what the modules hold: the same users on both lines.
        self.assert_same(pair, ("--json", "-x1", "--modules", "1,2,3", "-c", "LT"))

    def test_refusals_of_the_client(self):
        r = Rig(self)
        rows = [
            (("--server", os.path.join(r.dir, "none.sock"), "-c", "SS"),
             r"\] Err: Cannot initialize sdk\n       The service kelvord does not answer on .*none\.sock: "
             r"No such file or directory\n$"),
            (("--server", r.sock, "-B", "-c", "SS"), r"-B reaches every module at once"),
            (("--server", r.sock, "-c", "SS", "-w"), r"--watch prints what the modules send"),
            (("--server", r.sock), r"Err: No argument"),
            (("--server", r.sock, "-x2"), r"Err: No command"),
        ]
        for args, pattern in rows:
            with self.subTest(args=" ".join(args)):
                status, out, err = r.kelvor("--exit-code", *args)
                self.assertEqual(status, 3 if "none.sock" in args[1] else 2, err)
                self.assertRegex(err, pattern)


class Watching(unittest.TestCase):
    def watch(self, args, cwd):
        p = subprocess.Popen([os.path.join(rig.BIN, "kelvor"), *args], cwd=cwd, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        self.addCleanup(lambda: p.poll() is None and (p.kill(), p.wait()))
        return p

    def read_lines(self, p, count, seconds=20):
        lines = []
        deadline = time.monotonic() + seconds
        os.set_blocking(p.stdout.fileno(), False)
        buffer = b""
        while len(lines) < count and time.monotonic() < deadline:
            chunk = p.stdout.read()
            if chunk:
                buffer += chunk
                *done, buffer = buffer.split(b"\n")
                lines += [d.decode() for d in done]
            else:
                time.sleep(0.02)
        return lines

    def test_watch_through_the_service_as_lines_and_as_objects(self):
        r = Rig(self)
        c = r.client()
        r.control("--place", "3")
        c.request({"class": "command", "command": "ES", "p1": 5, "flag": 0x71})
        r.control("--place", "none")
        c.request({"class": "command", "command": "SW", "flag": 0x84, "p2": 0x31})
        plain = self.watch(["--server", r.sock, "--watch"], r.dir)
        objects = self.watch(["--server", r.sock, "--watch", "--json"], r.dir)
        time.sleep(0.5)
        r.control("--place", "3")
        time.sleep(0.5)
        r.control("--place", "7")
        lines = self.read_lines(plain, 2)
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z identify: user 5, score \d+$")
        self.assertRegex(lines[1], r"Z not_found$")
        events = [check(json.loads(line)) for line in self.read_lines(objects, 2)]
        self.assertEqual([(e["kind"], e.get("user_id")) for e in events], [("identify", 5), ("not_found", None)])
        r.kill_sim()
        self.assertRegex(self.read_lines(plain, 1)[0], r"Z line lost: .*/L: the port is gone")
        # The service goes: the watch ends with an error line and a link failure.
        r.daemon.terminate()
        self.assertEqual(plain.wait(10), 1)
        self.assertIn("Err: The service kelvord on", plain.stderr.read().decode())

    def test_watch_on_a_port_of_its_own(self):
        r = Rig(self, start=False)
        r.control("--place", "3")
        work = os.path.join(r.dir, "work")
        os.mkdir(work)
        r.kelvor("-P", r.link, "-b", "115200", "-c", "ES", "-p1", "5", "-f", "0x71", cwd=work)
        r.control("--place", "none")
        r.kelvor("-c", "SW", "-f", "0x84", "-p2", "0x31", cwd=work)
        p = self.watch(["--watch", "--json"], work)
        time.sleep(0.5)
        r.control("--place", "3")
        e = check(json.loads(self.read_lines(p, 1)[0]))
        self.assertEqual((e["kind"], e["user_id"]), ("identify", 5))
        r.kill_sim(signal.SIGTERM)
        e = check(json.loads(self.read_lines(p, 1)[0]))
        self.assertEqual((e["kind"], e["state"]), ("line", "lost"))
        self.assertEqual(p.wait(10), 1)


class PythonClient(unittest.TestCase):
    """kelvor.Client: commands with the values of --json, the exceptions of
    kelvor.Module, files both ways, and the line's events with a time-out."""

    def setUp(self):
        try:
            import kelvor
        except ImportError as e:  # the package is built with the suite (KELVOR_PYTHON)
            self.skipTest("the Python package is not built: %s" % e)
        self.kelvor = kelvor

    def test_copies_backups_and_restores_with_progress(self):
        kelvor = self.kelvor
        pair = Pair(self, sim_args=("--modules", "1,2,3"), daemon_args=("--modules", "1,2,3"),
                    line=("-b", "115200", "-t", "5000", "-n", "1"))
        pair.served.wait_open()
        for finger, user in (("3", 5), ("4", 6)):
            pair.control("--place", finger, "--module", "1")
            pair.both("-x1", "-m", "1", "-c", "ES", "-p1", str(user), "-f", "0x71")
        told = []
        with kelvor.Client(pair.served.sock) as c:
            served = c.copy_users([2, 3], from_module=1, progress=lambda done, total: told.append((done, total)))
            self.assertEqual(told, [(n, 4) for n in range(1, 5)])
            saved = os.path.join(pair.served.dir, "saved")
            backup = c.backup(saved, module_id=1)
            self.assertEqual(backup["kind"], "backup")
            with self.assertRaises(FileExistsError):
                c.backup(saved, module_id=1)
            c.command("DT", 5, module_id=3)
            told.clear()
            restore = c.restore(saved, module_id=3, progress=lambda done, total: told.append((done, total)))
            self.assertEqual([(u["user_id"], u["status"]) for u in restore["users"]],
                             [(5, "restored"), (6, "skipped")])
            self.assertEqual(told, [(1, 2), (2, 2)])
            again = c.copy_users([2, 3], from_backup=saved, users=[range(5, 7)], dry_run=True)
            self.assertEqual({r.status for r in again}, {"unchanged"})
            with self.assertRaises(kelvor.KelvorError):
                c.copy_users([2], from_backup=os.path.join(pair.served.dir, "missing"))
        # The same results as kelvor.Module's on the other line, where the backup is the one written here.
        with kelvor.Module(pair.direct.link, network=True, module_id=1, timeout_ms=1000) as m:
            direct = m.copy_users([2, 3], from_module=1)
            self.assertEqual(served, direct)
            self.assertEqual([(r.module_id, r.user_id, r.status) for r in
                              m.copy_users([3], from_backup=saved, users=[5])], [(3, 5, "unchanged")])
        self.assertEqual(sorted(os.listdir(saved)), ["manifest.txt", "user-00000005.tpl", "user-00000006.tpl"])

    def test_commands_exceptions_and_files(self):
        kelvor = self.kelvor
        r = Rig(self)
        r.control("--place", "3")
        with kelvor.Client(r.sock) as c:
            self.assertEqual(c.version()["protocol"], 2)
            self.assertEqual(c.command("SS").values["status_name"], "Module is in normal condition")
            self.assertEqual(c.command("ES", 5, flag=0x71).values, {"user_id": 5})
            found = c.command("IS")
            self.assertEqual(found.values["user_id"], 5)
            self.assertEqual(c.last_values, found.values)
            rows = [(("VS", 6), kelvor.NotFound, "not_found"), (("CT", 9), kelvor.NotFound, "not_found"),
                    ((0x3F,), kelvor.Unknown, "unknown")]
            for args, error, name in rows:
                with self.subTest(args=args):
                    with self.assertRaises(error) as caught:
                        c.command(*args)
                    self.assertEqual(caught.exception.name, name)
                    self.assertIsInstance(caught.exception, kelvor.ModuleError)
            c.command("MW", 0x100, 5, input=b"hello")
            self.assertEqual(c.command("MR", 0x100, 5, output=True).output, b"hello")
            image = c.command("SI", output=True, trace=2)
            self.assertEqual(image.output[:2], b"BM")
            self.assertIn("[API] Scan Image(SI)", image.trace)
            with self.assertRaises(ValueError):  # the front end's refusal: no input given
                c.command("ET", 8, 384)
            with self.assertRaises(ValueError):  # the service's: no such command
                c.command("QQQ")
        self.assertTrue(c.closed)
        with self.assertRaises(kelvor.LinkError):
            kelvor.Client(os.path.join(r.dir, "none.sock"))

    def test_events_with_a_time_out_and_a_line_lost(self):
        kelvor = self.kelvor
        r = Rig(self)
        r.wait_open()
        c = kelvor.Client(r.sock, timeout=30)
        self.addCleanup(c.close)
        r.control("--place", "3")
        c.command("ES", 5, flag=0x71)
        r.control("--place", "none")
        c.command("SW", flag=0x84, p2=0x31)
        started = time.monotonic()
        self.assertEqual(list(c.events(timeout=0.5)), [])
        self.assertGreaterEqual(time.monotonic() - started, 0.5)
        r.control("--place", "3")
        events = c.events(timeout=10)
        e = next(events)
        self.assertEqual((e["kind"], e["user_id"]), ("identify", 5))
        r.kill_sim()
        e = next(e for e in c.events(timeout=10) if e["kind"] == "line")
        self.assertEqual(e["state"], "lost")
        with self.assertRaises(kelvor.PortOpen) as caught:
            c.command("SS")
        self.assertIn("No such device", caught.exception.reason or "")
        r.daemon.terminate()
        r.daemon.wait(10)
        with self.assertRaises(kelvor.LinkError):
            c.command("SS")
