"""Strangers that would fill the service's slots, and requests sent faster
than the line serves them: remote clients without the token have a small
quota of their own (8, 4 from one address) and 3 s to present it, in one line
of at most 1 KiB; local clients and authenticated ones keep their slots; one
write of many requests is split no further than the pending limit."""
import json
import socket
import threading
import time
import unittest

import rig
from hostile import VersionProbe, raw_tcp, token_file
from rig import Conn, Rig
from test_station_service import WebSocket

PENDING_REQUESTS_MAX = 256


def padded(token, size):
    """The token's request, its id making it `size` bytes long."""
    head = json.dumps({"class": "auth", "token": token, "id": ""})
    return head[:-2] + "x" * (size - len(head)) + '"}'


class StrangerFlood:
    """`count` TCP connections from 127.0.0.1 that never present a token,
    each opened again at once when the service closes it."""

    def __init__(self, port, count=64):
        self.port = port
        self.count = count
        self.opened = 0
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._run, daemon=True) for _ in range(count)]

    def __enter__(self):
        for t in self._threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        for t in self._threads:
            t.join(10)

    def _run(self):
        while not self._stop.is_set():
            try:
                s = raw_tcp(self.port, timeout=1)
            except OSError:
                self._stop.wait(0.01)
                continue
            self.opened += 1
            try:
                while not self._stop.is_set():
                    try:
                        if not s.recv(4096):
                            break
                    except socket.timeout:
                        continue
            except OSError:
                pass
            finally:
                s.close()


def tcp_from(address, port, timeout=10):
    """A TCP connection to the service from a source address of this machine's loopback."""
    return socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(address, 0))


class TcpConn(Conn):
    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""
        self.events = []
        self.progress = []


class Slots(unittest.TestCase):
    def setUp(self):
        self.r = Rig(self, start=False)
        path, self.token = token_file(self.r.dir)
        self.r.start_daemon(("--tcp", "127.0.0.1:0", "--token-file", path))
        self.port = int(self.r.wait_log(r"TCP port (\d+)").group(1))
        self.r.wait_open()

    def authenticated(self, address="127.0.0.2"):
        c = TcpConn(tcp_from(address, self.port))
        self.r.conns.append(c)
        self.assertEqual(c.request({"class": "auth", "id": 1, "token": self.token}),
                         {"class": "auth", "id": 1, "ok": True})
        return c

    def test_strangers_that_reconnect_lock_no_one_out(self):
        # Each row: a flood of strangers, and what others still get while it runs.
        rows = [
            ("a fresh local client", lambda: self.assertEqual(
                self.r.client().request({"class": "version", "id": "v"})["id"], "v")),
            ("an authenticated TCP client of another address", lambda: self.assertEqual(
                self.authenticated().request({"class": "version", "id": "v"})["id"], "v")),
            ("a local client beside 64 authenticated remote ones", self.full_remote_slots),
        ]
        with VersionProbe(self.r.sock) as probe, StrangerFlood(self.port, 80) as flood:
            rig.wait_for(lambda: flood.opened >= 200, 30, "the strangers to come and be refused")
            for what, served in rows:
                with self.subTest(what):
                    served()
            time.sleep(1)
        probe.check(self, bound=0.5)
        self.assertGreaterEqual(flood.opened, 200)
        # A burst of refusals costs a line of the log a second, not a line each.
        refusals = self.r.log_text().count("not yet authenticated")
        self.assertLess(refusals, flood.opened / 10, "a log line for each refusal")

    def full_remote_slots(self):
        remote = [self.authenticated("127.0.0.%d" % (3 + i // 4)) for i in range(64)]
        over = TcpConn(tcp_from("127.0.0.99", self.port))
        self.r.conns.append(over)
        a = over.request({"class": "auth", "id": 1, "token": self.token})
        if a["class"] == "auth":
            a = over.answer()
        self.assertIn("clients already", a["message"])
        self.assertTrue(over.closed())
        self.assertEqual(self.r.client().request({"class": "version", "id": "v"})["id"], "v")
        for c in remote:
            c.close()
        self.r.conns = [c for c in self.r.conns if c not in remote]

    def test_a_strangers_time_and_quota(self):
        # A stranger that never speaks: dropped after 3 s, not before.
        c = TcpConn(raw_tcp(self.port))
        self.r.conns.append(c)
        start = time.monotonic()
        self.assertIn("no token within 3 s", c.answer(timeout=10)["message"])
        self.assertTrue(c.closed(5))
        self.assertGreaterEqual(time.monotonic() - start, 2.5)
        self.assertLessEqual(time.monotonic() - start, 5.0)
        # Four of one address are held, the fifth refused at once; another address still gets in.
        rows = [("127.0.0.5", True)] * 4 + [("127.0.0.5", False), ("127.0.0.6", True)]
        held = []
        for i, (address, taken) in enumerate(rows):
            with self.subTest(i=i, address=address):
                c = TcpConn(tcp_from(address, self.port))
                self.r.conns.append(c)
                if taken:
                    self.assertFalse(self._ready(c), "a stranger within the quota was told something")
                    held.append(c)
                else:
                    start = time.monotonic()
                    self.assertIn("not yet authenticated", c.answer(timeout=5)["message"])
                    self.assertTrue(c.closed(2))
                    self.assertLess(time.monotonic() - start, 1.0)
        # A held stranger that presents the token (within its 3 s) leaves the strangers' quota.
        self.assertEqual(held[0].request({"class": "auth", "id": 1, "token": self.token})["ok"], True)
        c = TcpConn(tcp_from("127.0.0.5", self.port))
        self.r.conns.append(c)
        self.assertEqual(c.request({"class": "auth", "id": 1, "token": self.token})["ok"], True)

    @staticmethod
    def _ready(c, wait=0.1):
        import select
        return bool(select.select([c.sock], [], [], wait)[0])

    def test_one_line_before_the_token_and_one_kilobyte(self):
        # The line before the token: what comes of it.
        rows = [
            ("the token padded past 1 KiB", padded(self.token, 1100), "at most"),
            ("2 KiB without a line end", '{"class":"auth","token":"' + "t" * 2048, "at most"),
            ("the token within 1 KiB", padded(self.token, 900), None),
        ]
        for what, line, refused in rows:
            with self.subTest(what):
                c = TcpConn(raw_tcp(self.port))
                self.r.conns.append(c)
                c.send_raw(line.encode() + (b"" if "without" in what else b"\n"))
                a = c.answer(timeout=10)
                if refused:
                    self.assertEqual(a["class"], "error")
                    self.assertIn(refused, a["message"])
                    self.assertTrue(c.closed(5))
                else:
                    self.assertEqual(a["class"], "auth")
                    # Once authenticated, lines as long as any request.
                    c.send_raw(b'{"class":"version",' + b" " * 100000 + b'"id":"big"}\n')
                    self.assertEqual(c.answer()["id"], "big")

    def test_one_message_before_the_login_and_one_kilobyte(self):
        r = Rig(self, start=False)
        path, token = token_file(r.dir)
        r.start_daemon(("--http", "0", "--token-file", path))
        port = int(r.wait_log(r"the station: https?://[^:]+:(\d+)/").group(1))
        rows = [
            ("the token padded past 1 KiB", padded(token, 1100), True),
            ("the token within 1 KiB", padded(token, 900), False),
        ]
        for what, text, refused in rows:
            with self.subTest(what):
                ws = WebSocket(port)
                self.addCleanup(ws.close)
                self.assertEqual(ws.status, 101)
                ws.send_text(text)
                m = ws.message()
                if refused:
                    self.assertEqual(m["class"], "error")
                    self.assertIn("at most", m["message"])
                    self.assertIsNone(ws.message())
                else:
                    self.assertEqual(m["class"], "auth")
                    ws.send_text('{"class":"version",' + " " * 5000 + '"id":"big"}')
                    self.assertEqual(ws.message()["id"], "big")
        # WebSockets before their login are strangers too: four held, the fifth refused.
        held = [WebSocket(port) for _ in range(4)]
        for ws in held:
            self.addCleanup(ws.close)
            self.assertEqual(ws.status, 101)
        fifth = WebSocket(port)
        self.addCleanup(fifth.close)
        self.assertIn("not yet authenticated", fifth.message()["message"])
        self.assertIsNone(fifth.message())
        self.assertEqual(held[0].request({"class": "auth", "id": 1, "token": token})["ok"], True)

    def test_one_write_of_1500_requests_is_split_to_the_pending_limit(self):
        c = self.r.client()
        watcher = self.r.client()
        lines = b"".join(json.dumps({"class": "command", "command": "SS", "id": i}).encode() + b"\n"
                         for i in range(1500))
        self.assertGreater(len(lines), 29000)
        answered = []

        def read():
            while len(answered) < 1500:
                a = c.answer(timeout=60)
                if a is None:
                    return
                answered.append(a["id"])

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        c.send_raw(lines)
        worst = 0
        while reader.is_alive():
            worst = max(worst, watcher.request({"class": "devices"})["queued"])
            time.sleep(0.01)
        self.assertEqual(answered, list(range(1500)))
        self.assertLessEqual(worst, PENDING_REQUESTS_MAX)
        self.assertGreater(worst, 0, "the line never had a request queued")


if __name__ == "__main__":
    unittest.main()
