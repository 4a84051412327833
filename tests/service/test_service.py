#!/usr/bin/env python3
"""kelvord against the simulated module, with clients of the raw protocol (and,
in test_clients.py, kelvor --server and --watch):
answers in order and to their own client, clients at once while a command is
long, events to every watcher, a line lost and opened again, malformed
requests, the TCP token, the socket's permissions, a client that stops
reading, a line of several modules, the line's settings followed. Every line
a client sends or gets is checked against the protocol's schema.

Usage: test_service.py --bin DIR --schema-dir DIR [unittest options]
"""
import argparse
import base64
import json
import os
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import unittest_parts  # noqa: E402
from rig import Conn, Rig, wait_for  # noqa: E402
from test_clients import PythonClient, ServerRuns, Watching  # noqa: E402,F401  (kelvor's own clients)
from test_station_service import People, StationRequests, StationSecurity  # noqa: E402,F401


def command(name, id=None, **members):
    obj = {"class": "command", "command": name}
    if id is not None:
        obj["id"] = id
    obj.update(members)
    return obj


def kelvor_object(answer):
    """A command answer without what the service adds: kelvor --json's object."""
    obj = dict(answer)
    for name in ("class", "id", "output", "trace"):
        obj.pop(name, None)
    obj["elapsed_ms"] = 0
    return obj


class Basics(unittest.TestCase):
    def test_version_devices_and_answers_in_order(self):
        r = Rig(self)
        r.wait_open()
        c = r.client()
        v = c.request({"class": "version", "id": "v"})
        self.assertEqual(v["id"], "v")
        self.assertEqual(v["protocol"], 2)
        rc, out, _ = r.kelvor("--version")
        self.assertEqual("kelvor " + v["version"], out.strip())
        d = c.request({"class": "devices", "id": 2})
        self.assertEqual((d["state"], d["baud"], d["network"], d["port"]), ("open", 115200, False, r.link))
        self.assertEqual(d["modules"], [{"module_id": None, "state": "ok", "status": 48,
                                         "status_name": "Module is in normal condition"}])
        # Many requests in one write: one answer each, in their order, each with its id.
        batch = [command("SS", id=1), {"class": "version", "id": 2}, command("CT", id=3, p1=5),
                 {"class": "devices", "id": 4}, command("SR", id=5, flag=0x71), "not json",
                 command("LT", id=7)]
        c.send_raw(b"".join((json.dumps(o) if isinstance(o, dict) else o).encode() + b"\n" for o in batch))
        answers = [c.answer() for _ in batch]
        self.assertEqual([a["class"] for a in answers],
                         ["command", "version", "command", "devices", "command", "error", "command"])
        self.assertEqual([a["id"] for a in answers], [1, 2, 3, 4, 5, None, 7])
        self.assertEqual(answers[0]["values"], {"status": 48, "status_name": "Module is in normal condition"})
        self.assertEqual(answers[2]["result_name"], "not_found")
        self.assertEqual(answers[4]["values"]["value"], 0x35)

    def test_malformed_requests_are_answered_and_the_connection_goes_on(self):
        r = Rig(self)
        c = r.client()
        rows = [
            (b"{", "no JSON"),
            (b'"a string"', "a JSON object"),
            (b'{"class":"bogus","id":9}', 'unknown class "bogus"'),
            (b'{"class":"command","command":"SS","p1":"one"}', '"p1" must be an integer'),
            (b'{"class":"command","command":"QQQ"}', 'unknown command keyword "QQQ"'),
            (b'{"class":"command","command":"SS","input":"%%%"}', "no base64"),
            (b'{"class":"watch","enable":1}', '"enable" must be true or false'),
            (b'{"class":"backup","directory":7}', '"directory" must be a string'),
            (b'{"class":"backup","path":""}', '"path" is the path of a directory'),
            (b'{"class":"backup","directory":"../x"}', '"directory" is a name'),
            (b'{"class":"backup","of_list":true}', '"of_list" goes with a "module_id"'),
            (b'{"class":"restore","files":[{"name":"m","data":"AAAA"}],"progress":1}', '"progress" must be true'),
            (b'{"class":"copy_users","targets":[2]}', 'names one source'),
            (b'{"class":"copy_users","from_module":1,"from":"d","files":[]}', 'names one source'),
            (b'{"class":"copy_users","from":"d"}', 'carries the backup\'s "files"'),
            (b'{"class":"copy_users","from":"d","files":[{"name":"../m","data":""}]}', "no name of a backup"),
            (b'{"class":"copy_users","from_module":1,"targets":[2,2]}', "named twice"),
            (b'{"class":"copy_users","from_module":1,"targets":[0]}', '"targets" is a list of module IDs'),
            (b'{"class":"copy_users","from_module":1,"users":[[5,3]]}', "counts up"),
            (b'{"class":"copy_users","from_module":1,"users":[0]}', '"users" is a list'),
            (b'{"class":"copy_users","from_module":1,"dry_run":"yes"}', '"dry_run" must be true or false'),
            (b'{"class":"copy_users","from_module":1,"files":[]}', '"files" go with "from"'),
            (b'{"class":"copy_users","from_module":1,"replace":true,"bogus":1}', 'unknown member "bogus"'),
            (b"\xff\xfe", "no JSON"),
            (b"[" * 100000, "nests deeper"),
            (b"x" * (8 * 1024 * 1024 + 10), "longer than 8388608 bytes"),
            # A backup the line takes, but larger than what the service hands over either way.
            (b'{"class":"restore","files":[{"name":"a","data":"' + base64.b64encode(bytes(5 * 1024 * 1024 + 3)) +
             b'"}]}', "more than 5242880 bytes"),
        ]
        for line, message in rows:
            with self.subTest(line=line[:40]):
                c.send_raw(line + b"\n")
                a = c.answer()
                self.assertEqual(a["class"], "error")
                self.assertIn(message, a["message"])
        self.assertEqual(c.request({"class": "version", "id": 1})["class"], "version")
        self.assertEqual(c.request(command("SS", id=2))["outcome"], "ok")
        # A blank line is no request; a line ended CR LF is one.
        c.send_raw(b"\n\r\n" + json.dumps({"class": "version", "id": 3}).encode() + b"\r\n")
        self.assertEqual(c.answer()["id"], 3)

    def test_a_command_answer_is_kelvors_object(self):
        r = Rig(self, start=False)
        rows = [("SS",), ("SR", "-f", "0x71"), ("CT", "-p1", "5"), ("LT",), ("ML",), ("0x3F",),
                ("MW", "-p1", "0x100", "-p2", "5"), ("MR", "-p1", "0x100", "-p2", "5")]
        with open(os.path.join(r.dir, "five.bin"), "wb") as f:
            f.write(b"hello")
        direct = []
        for row in rows:
            args = list(row)
            if row[0] == "MW":
                args += ["-i", "five.bin"]
            if row[0] == "MR":
                args += ["-o", "back.bin"]
            rc, out, err = r.kelvor("--json", "-P", r.link, "-b", "115200", "-x3", "-c", *args)
            direct.append((json.loads(out), err))
        with open(os.path.join(r.dir, "back.bin"), "rb") as f:
            back = f.read()
        r.start_daemon()
        c = r.client()
        for row, (obj, err) in zip(rows, direct):
            with self.subTest(command=row):
                req = command(row[0], id=row[0], trace=3)
                for flag, name in (("-f", "flag"), ("-p1", "p1"), ("-p2", "p2")):
                    if flag in row:
                        req[name] = int(row[row.index(flag) + 1], 0)
                if row[0] == "MW":
                    req.update(input=base64.b64encode(b"hello").decode(), input_file="five.bin")
                if row[0] == "MR":
                    req["output_file"] = "back.bin"
                a = c.request(req)
                self.assertEqual(kelvor_object(a), dict(obj, elapsed_ms=0))
                self.assertEqual(a["trace"], err)
                if row[0] == "MR":
                    self.assertEqual(base64.b64decode(a["output"]), back)
                else:
                    self.assertEqual(a["output"], "")


class Works(unittest.TestCase):
    def test_a_copy_sends_progress_and_holds_neither_clients_nor_watchers(self):
        r = Rig(self, sim_args=("--modules", "1,2,3"), daemon_args=("--modules", "1,2,3"))
        r.wait_open()
        c = r.client()
        for finger, user in (("3", 5), ("4", 6), ("5", 7)):
            r.control("--place", finger, "--module", "1")
            self.assertEqual(c.request(command("ES", p1=user, flag=0x71, module_id=1))["outcome"], "ok")
        watcher = r.client()
        watcher.request({"class": "watch"})
        other = r.client()
        c.send({"class": "copy_users", "id": "cp", "from_module": 1, "targets": [2, 3], "progress": True})
        first = c.recv(30)
        self.assertEqual((first["class"], first["id"], first["tool"]), ("progress", "cp", "copy_users"))
        # The copy is under way: other clients are answered, and see the line busy.
        self.assertTrue(other.request({"class": "devices"})["busy"])
        progress = [first]
        while True:
            o = c.recv(60)
            if o["class"] != "progress":
                answer = o
                break
            progress.append(o)
        self.assertEqual((answer["class"], answer["id"], answer["result"], answer["partial"]),
                         ("copy_users", "cp", 0, False))
        users = [o["object"] for o in progress if "object" in o and o["object"]["kind"] == "copy_user"]
        self.assertEqual(users, [o for o in answer["objects"] if o["kind"] == "copy_user"])
        self.assertEqual(sorted((u["module_id"], u["user_id"], u["status"]) for u in users),
                         [(m, u, "copied") for m in (2, 3) for u in (5, 6, 7)])
        counts = [(o["done"], o["total"]) for o in progress if "done" in o]
        self.assertEqual(counts, [(n, 6) for n in range(1, 7)])
        # The watcher was held by nothing: an identification after the copy reaches it.
        c.request(command("SW", flag=0x84, p2=0x31, module_id=3))
        r.control("--place", "4", "--module", "3")
        e = watcher.event(kind="identify", timeout=20)
        self.assertEqual((e["module_id"], e["user_id"]), (3, 6))
        # What the service refuses, and a restore of a damaged backup, are answered; the line goes on.
        a = c.request({"class": "copy_users", "from_module": 1, "targets": [2], "users": [5]})
        self.assertEqual(a["class"], "copy_users", a)
        self.assertEqual(c.progress, [], "progress only when asked")
        self.assertEqual([o["status"] for o in a["objects"] if o["kind"] == "copy_user"], ["unchanged"])
        backup = c.request({"class": "backup", "module_id": 2, "directory": "there", "trace": 1, "progress": True})
        # Each user as it is done, then the object, named as the client names the backup.
        self.assertEqual([p["user"]["file"] for p in c.progress if "user" in p],
                         ["there/user-%08d.tpl" % u for u in (5, 6, 7)])
        self.assertEqual([p["object"] for p in c.progress if "object" in p], backup["objects"])
        self.assertEqual((backup["result"], [f["name"] for f in backup["files"]]),
                         (0, ["manifest.txt", "user-00000005.tpl", "user-00000006.tpl", "user-00000007.tpl"]))
        self.assertEqual(backup["objects"][0]["directory"], "there")
        self.assertEqual(backup["objects"][0]["users"][0]["file"], "there/user-00000005.tpl")
        files = [dict(f, data=base64.b64encode(b"damaged").decode()) if f["name"] == "user-00000006.tpl" else f
                 for f in backup["files"]]
        a = c.request({"class": "restore", "module_id": 3, "directory": "there", "files": files, "trace": 1})
        self.assertEqual((a["result_name"], a["objects"][0]["outcome"]), ("front_end_refused", "refused"))
        self.assertIn("there/user-00000006.tpl is damaged", a["trace"])
        self.assertNotIn("kelvord-", a["trace"] + json.dumps(a["objects"]))
        self.assertEqual(c.request(command("SS", module_id=2))["outcome"], "ok")


class Clients(unittest.TestCase):
    def test_a_long_command_holds_nobody_and_answers_go_to_their_own_client(self):
        # The status check answers 1.5 s late: meanwhile others connect, ask
        # and queue; each gets its own answer.
        r = Rig(self, line_args=("-b", "115200", "-t", "3000"))
        r.wait_open()
        r.control("--fault", "slow:1500,cmd=4,times=1")
        slow = r.client()
        slow.send(command("SS", id="slow"))
        time.sleep(0.2)
        started = time.monotonic()
        other = r.client()
        self.assertEqual(other.request({"class": "version", "id": "v"})["id"], "v")
        d = other.request({"class": "devices"})
        self.assertTrue(d["busy"] or d["queued"])
        self.assertLess(time.monotonic() - started, 0.5)
        other.send(command("SR", id="sr", flag=0x71))
        a = slow.answer()
        self.assertEqual((a["id"], a["command"], a["outcome"]), ("slow", "SS", "ok"))
        b = other.answer()
        self.assertEqual((b["id"], b["command"], b["values"]["value"]), ("sr", "SR", 0x35))

    def test_many_clients_in_parallel_get_their_own_answers(self):
        r = Rig(self)
        c = r.client()
        r.control("--place", "3")
        self.assertEqual(c.request(command("ES", p1=5, flag=0x71))["outcome"], "ok")
        failures = []

        def run(n):
            try:
                conn = r.client()
                for k in range(20):
                    user = 5 if (n + k) % 2 == 0 else 100 + n
                    a = conn.request(command("CT", id=[n, k], p1=user))
                    expected = "ok" if user == 5 else "not_found"
                    if a["id"] != [n, k] or a["result_name"] != expected or a["values"]["user_id"] != user:
                        failures.append((n, k, a))
                conn.close()
            except Exception as e:  # noqa: BLE001
                failures.append((n, repr(e)))

        threads = [threading.Thread(target=run, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(failures, [])

    def test_a_client_gone_mid_command_affects_nobody(self):
        r = Rig(self, line_args=("-b", "115200", "-t", "3000"))
        r.control("--fault", "slow:800,cmd=4,times=1")
        gone = r.client()
        gone.send(command("SS", id="gone"))
        gone.send(command("SS", id="never"))
        time.sleep(0.1)
        gone.close()
        c = r.client()
        for k in range(3):
            self.assertEqual(c.request(command("SS", id=k))["id"], k)
        self.assertIsNone(r.daemon.poll())

    def test_a_client_that_stops_reading_is_dropped(self):
        r = Rig(self, daemon_args=("--client-buffer", "4096"))
        deaf = r.client()
        deaf.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        request = json.dumps({"class": "version"}).encode() + b"\n"
        # It keeps asking and never reads: its answers pile up beyond the kernel's
        # buffers and then beyond the service's bound.
        try:
            for _ in range(200):
                deaf.sock.sendall(request * 500)
        except OSError:
            pass  # dropped while still sending
        r.wait_log(r"dropped: it does not read")
        self.assertTrue(deaf.closed(10))
        # The others go on.
        self.assertEqual(r.client().request({"class": "version", "id": 1})["id"], 1)


class Events(unittest.TestCase):
    def test_free_scan_identifications_reach_every_watcher(self):
        r = Rig(self)
        c = r.client()
        r.control("--place", "3")
        self.assertEqual(c.request(command("ES", p1=5, flag=0x71))["outcome"], "ok")
        watchers = [r.client() for _ in range(3)]
        for w in watchers:
            a = w.request({"class": "watch", "id": "w"})
            self.assertEqual((a["enable"], a["line"]), (True, "open"))
        self.assertEqual(c.request(command("SW", flag=0x84, p2=0x31))["outcome"], "ok")
        r.control("--place", "3")
        for w in watchers:
            e = w.event(kind="identify")
            self.assertEqual((e["user_id"], e["module_id"]), (5, None))
            self.assertGreater(e["score"], 0)
        r.control("--place", "7")
        for w in watchers:
            w.event(kind="not_found")
        # The unwatching client got none, and one that stops watching gets no more.
        self.assertEqual(c.events, [])
        self.assertFalse(watchers[0].request({"class": "watch", "enable": False})["enable"])
        watchers[0].events.clear()
        r.control("--place", "3")
        watchers[1].event(kind="identify")
        self.assertEqual(watchers[0].request({"class": "version"})["class"], "version")
        self.assertEqual(watchers[0].events, [])

    def test_unsolicited_packets_after_a_command(self):
        r = Rig(self)
        w = r.client()
        w.request({"class": "watch"})
        r.control("--fault", "unsolicited:2")
        self.assertEqual(w.request(command("SS"))["outcome"], "ok")
        for _ in range(2):
            e = w.event(timeout=5, kind="not_found")
            self.assertEqual(e["module_id"], None)


class LostLine(unittest.TestCase):
    def test_a_killed_simulator_is_lost_then_reopened(self):
        r = Rig(self)
        r.wait_open()
        w = r.client()
        w.request({"class": "watch"})
        r.kill_sim()
        e = w.event(kind="line", timeout=30)
        self.assertEqual((e["state"], e["port"]), ("lost", r.link))
        self.assertIn("reason", e)
        d = w.request({"class": "devices"})
        self.assertEqual(d["state"], "lost")
        # A command meanwhile gets the answer of a run whose port cannot be opened.
        a = w.request(command("SS", trace=1))
        self.assertEqual((a["outcome"], a["result_name"], a["message"]),
                         ("link_failed", "port_open", "Err: Cannot initialize sdk"))
        self.assertRegex(a["trace"], r"^\[OrvantiCom\.cpp\(132\)\] Err: Cannot initialize sdk\n       ")
        r.start_sim()
        e = w.event(kind="line", timeout=30)
        self.assertEqual(e["state"], "reopened")
        self.assertEqual(w.request(command("SS"))["outcome"], "ok")
        self.assertIsNone(r.daemon.poll())

    def test_a_silent_module_is_found_by_the_heartbeat(self):
        r = Rig(self, daemon_args=("--heartbeat", "1"), line_args=("-b", "115200", "-t", "200"))
        r.wait_open()
        w = r.client()
        w.request({"class": "watch"})
        r.control("--fault", "silence")
        e = w.event(kind="line", timeout=30)
        self.assertEqual(e["state"], "lost")
        self.assertIn("no module answers", e["reason"])
        r.control("--fault", "none")
        self.assertEqual(w.event(kind="line", timeout=30)["state"], "reopened")


class NetworkLine(unittest.TestCase):
    """kelvord on a line behind ser2net, as rfc2217:// and as socket://:
    commands answered, free-scan identifications to a watcher, and ser2net
    stopped (as an operator does, as a crash does) and started again on the
    same ports: the line is lost, opened again, and answers again."""

    def test_a_line_over_the_network_lost_with_its_server_and_reopened(self):
        rows = [("rfc2217", signal.SIGTERM), ("socket", signal.SIGKILL)]
        for kind, sig in rows:
            with self.subTest(kind=kind):
                r = Rig(self, start=False)
                server = rig.Ser2net(r.dir, r.link)
                self.addCleanup(server.stop)
                url = getattr(server, kind)
                r.start_daemon(port=url)
                r.wait_open()
                c = r.client()
                d = c.request({"class": "devices"})
                self.assertEqual((d["state"], d["port"], d["baud"]), ("open", url, 115200))
                self.assertEqual(c.request(command("SS"))["values"]["status"], 48)
                self.assertEqual(c.request(command("SR", flag=0x71))["values"]["value"], 0x35)
                r.control("--place", "3")
                self.assertEqual(c.request(command("ES", p1=5, flag=0x71))["outcome"], "ok")
                w = r.client()
                self.assertEqual(w.request({"class": "watch"})["line"], "open")
                self.assertEqual(c.request(command("SW", flag=0x84, p2=0x31))["outcome"], "ok")
                r.control("--place", "3")
                e = w.event(kind="identify")
                self.assertEqual(e["user_id"], 5)

                server.stop(sig)
                e = w.event(kind="line", timeout=30)
                self.assertEqual((e["state"], e["port"]), ("lost", url))
                self.assertRegex(e["reason"], r"^the connection to 127\.0\.0\.1:%d is gone \(.+\)$"
                                 % (server.telnet if kind == "rfc2217" else server.raw))
                # Meanwhile a command is answered as one whose port cannot be
                # opened, and the service says why it cannot.
                a = c.request(command("SS"))
                self.assertEqual((a["outcome"], a["result_name"]), ("link_failed", "port_open"))
                wait_for(lambda: "refused" in c.request({"class": "devices"})["reason"], 10,
                         "the reason of a refused connection")
                self.assertIsNone(r.daemon.poll())

                server.start()
                self.assertEqual(w.event(kind="line", timeout=30)["state"], "reopened")
                self.assertEqual(c.request(command("SS"))["outcome"], "ok")
                r.control("--place", "3")
                self.assertEqual(w.event(kind="identify")["user_id"], 5)
                log = r.log_text()
                self.assertIn("line lost: ", log)
                self.assertIn("line reopened: " + url, log)
                r.stop()


class Listening(unittest.TestCase):
    def test_socket_permissions_and_the_default_place(self):
        r = Rig(self)
        self.assertEqual(stat.S_IMODE(os.stat(r.sock).st_mode), 0o660)
        # A second service for the same socket is refused; the first goes on.
        second = subprocess.run([os.path.join(rig.BIN, "kelvord"), "--foreground", "-P", r.link, "-b", "115200",
                                 "--socket", r.sock], capture_output=True, timeout=30)
        self.assertEqual(second.returncode, 1)
        self.assertIn(b"served by another kelvord", second.stderr)
        self.assertEqual(r.client().request({"class": "version", "id": 1})["id"], 1)
        r.stop()
        # Under $XDG_RUNTIME_DIR/kelvord, named after the port; a stale socket is replaced.
        runtime = os.path.join(r.dir, "run")
        os.mkdir(runtime, 0o700)
        stale = socket.socket(socket.AF_UNIX)
        os.mkdir(os.path.join(runtime, "kelvord"), 0o700)
        stale.bind(os.path.join(runtime, "kelvord", "L.sock"))
        stale.close()
        r.start_sim()
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        env.pop("RUNTIME_DIRECTORY", None)
        r.start_daemon(socket_arg=False, env=env)
        path = os.path.join(runtime, "kelvord", "L.sock")
        wait_for(lambda: r.log_text().count("serving") >= 2, 10, "the second service")
        c = Conn(path)
        r.conns.append(c)
        self.assertEqual(c.request({"class": "version", "id": 1})["id"], 1)
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o660)

    def test_tcp_clients_present_the_token(self):
        r = Rig(self, start=False)
        token = os.path.join(r.dir, "token")
        with open(token, "w") as f:
            f.write("s3cret-token-for-the-tests\n")
        os.chmod(token, 0o644)
        refused = subprocess.run([os.path.join(rig.BIN, "kelvord"), "--foreground", "-P", r.link, "-b", "115200",
                                  "--socket", r.sock, "--tcp", "127.0.0.1:0", "--token-file", token],
                                 capture_output=True, timeout=30)
        self.assertEqual(refused.returncode, 2)
        self.assertIn(b"may be read by others (mode 0644)", refused.stderr)
        os.chmod(token, 0o600)
        r.start_daemon(("--tcp", "127.0.0.1:0", "--token-file", token))
        port = int(r.wait_log(r"TCP port (\d+)").group(1))
        rows = [
            ({"class": "auth", "token": "wrong-token-wrong-token"}, "wrong token"),
            ({"class": "auth", "token": "s3cret-token-for-the-tests-and-more"}, "wrong token"),
            ({"class": "version"}, "present the token first"),
        ]
        for first, message in rows:
            with self.subTest(first=first):
                c = Conn(tcp=("127.0.0.1", port))
                r.conns.append(c)
                a = c.request(first)
                self.assertEqual(a["class"], "error")
                self.assertIn(message, a["message"])
                self.assertTrue(c.closed())
        c = Conn(tcp=("127.0.0.1", port))
        r.conns.append(c)
        self.assertEqual(c.request({"class": "auth", "id": 1, "token": "s3cret-token-for-the-tests"}),
                         {"class": "auth", "id": 1, "ok": True})
        self.assertEqual(c.request(command("SS", id=2))["outcome"], "ok")


class SharedLine(unittest.TestCase):
    def test_a_line_of_several_modules(self):
        r = Rig(self, sim_args=("--modules", "1,2,7"), daemon_args=("--modules", "1,2,7"))
        r.wait_open()
        c = r.client()
        d = c.request({"class": "devices"})
        self.assertTrue(d["network"])
        self.assertEqual([(m["module_id"], m["state"]) for m in d["modules"]], [(1, "ok"), (2, "ok"), (7, "ok")])
        a = c.request(command("SS"))
        self.assertEqual(a["class"], "error")
        self.assertIn("module_id", a["message"])
        r.control("--place", "3", "--module", "7")
        a = c.request(command("ES", p1=5, flag=0x71, module_id=7))
        self.assertEqual((a["outcome"], a["module_id"]), ("ok", 7))
        self.assertEqual(c.request(command("CT", p1=5, module_id=2))["result_name"], "not_found")
        self.assertEqual(c.request(command("CT", p1=5, module_id=7))["values"]["templates"], 1)
        scan = c.request({"class": "scan", "first": 1, "last": 8})
        self.assertEqual(scan["objects"][-1]["modules"], [1, 2, 7])
        c.request({"class": "watch"})
        self.assertEqual(c.request(command("SW", flag=0x84, p2=0x31, module_id=7))["outcome"], "ok")
        r.control("--place", "3", "--module", "7")
        e = c.event(kind="identify")
        self.assertEqual((e["module_id"], e["user_id"]), (7, 5))

    def test_the_line_follows_a_new_rate(self):
        r = Rig(self)
        c = r.client()
        self.assertEqual(c.request(command("SW", flag=0x71, p2=0x34))["outcome"], "ok")
        self.assertEqual(c.request({"class": "devices"})["baud"], 57600)
        self.assertEqual(c.request(command("SR", flag=0x71))["values"]["value"], 0x34)
        a = c.request(command("SW", flag=0x76, p2=0x31))
        self.assertEqual(a["outcome"], "ok")
        self.assertTrue(c.request({"class": "devices"})["hex_text"])
        self.assertEqual(c.request(command("SS"))["outcome"], "ok")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--schema-dir", required=True)
    unittest_parts.add_option(parser)
    args, rest = parser.parse_known_args()
    rig.setup(args.bin, args.schema_dir)
    unittest.main(argv=[sys.argv[0], *rest, *unittest_parts.classes_except(sys.modules[__name__], args.others)],
                  verbosity=2)


if __name__ == "__main__":
    main()
