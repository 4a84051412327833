"""kelvord's directory of people, the requests the station uses (a command's
steps and image, backup and restore) and the station's HTTP and WebSocket
rules, against the simulated module. Run from test_service.py; every object is
checked against the protocol's schema."""
import base64
import hashlib
import http.client
import json
import os
import re
import socket
import struct
import subprocess
import time
import unittest

import rig
from rig import Rig, check, wait_for

CSP = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
       "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")


def station_port(r):
    return int(r.wait_log(r"the station: http://[^:]+:(\d+)/").group(1))


def station_token(r):
    """The token kelvord made at its start, from the station's address it logged."""
    return r.wait_log(r"the station: http://[^/]+/#token=([0-9a-f]{64})\n").group(1)


class WebSocket:
    """A WebSocket client of the station, enough for text messages both ways."""

    def __init__(self, port, origin="auto", host=None):
        self.host = host or "localhost:%d" % port
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        key = base64.b64encode(os.urandom(16)).decode()
        lines = ["GET /ws HTTP/1.1", "Host: " + self.host, "Upgrade: websocket", "Connection: Upgrade",
                 "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
        if origin == "auto":
            origin = "http://" + self.host
        if origin is not None:
            lines.append("Origin: " + origin)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            data = self.sock.recv(4096)
            if not data:
                break
            head += data
        head, _, self.buffer = head.partition(b"\r\n\r\n")
        self.status = int(head.split(b" ")[1]) if head else 0
        self.headers = head.decode("latin-1")
        if self.status == 101:
            accept = base64.b64encode(hashlib.sha1((key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode())
                                      .digest()).decode()
            assert "Sec-WebSocket-Accept: " + accept in self.headers, self.headers

    def send_text(self, text):
        data = text.encode()
        mask = os.urandom(4)
        n = len(data)
        head = bytes([0x81])
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(data)) if n < 65536 else \
            (int.from_bytes(data, "big") ^ int.from_bytes((mask * (n // 4 + 1))[:n], "big")).to_bytes(n, "big")
        self.sock.sendall(head + mask + masked)

    def send(self, obj):
        self.send_text(json.dumps(check(obj)))

    def _read(self, n):
        while len(self.buffer) < n:
            data = self.sock.recv(1 << 20)
            if not data:
                raise EOFError
            self.buffer += data
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def message(self):
        """The next text message as an object checked against the schema; None once closed."""
        try:
            while True:
                b0, b1 = self._read(2)
                n = b1 & 0x7F
                if n == 126:
                    n = struct.unpack(">H", self._read(2))[0]
                elif n == 127:
                    n = struct.unpack(">Q", self._read(8))[0]
                payload = self._read(n)
                if b0 & 0x0F == 0x8:
                    return None
                if b0 & 0x0F == 0x1:
                    return check(json.loads(payload))
        except (EOFError, ConnectionResetError, socket.timeout):
            return None

    def request(self, obj):
        self.send(obj)
        while True:
            m = self.message()
            if m is None or m["class"] not in ("event", "step"):
                return m

    def close(self):
        self.sock.close()


def get(port, path, host=None, method="GET"):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    c.putrequest(method, path, skip_host=True)
    c.putheader("Host", host or "localhost:%d" % port)
    c.endheaders()
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, dict(r.getheaders()), body


class People(unittest.TestCase):
    def test_set_list_remove_and_kept_across_a_restart(self):
        r = Rig(self, daemon_args=["--directory", "people.db"])
        c = r.client()
        a = c.request({"class": "person_set", "id": 1, "user_id": 5, "name": " Ann Lee ", "note": "desk 2"})
        self.assertEqual((a["person"]["user_id"], a["person"]["name"], a["person"]["note"]), (5, "Ann Lee", "desk 2"))
        c.request({"class": "person_set", "user_id": 4294967295, "name": "Åsa"})
        c.request({"class": "person_set", "user_id": 5, "name": "Ann Lee-Moss"})
        refused = [
            ({"class": "person_set", "user_id": 6, "name": "a\u001b[2Jb"}, "control character"),
            ({"class": "person_set", "user_id": 6, "name": "  "}, "the name is empty"),
            ({"class": "person_set", "user_id": 6, "name": "x" * 201}, "longer than 200 bytes"),
        ]
        for request, message in refused:
            c.send_raw(json.dumps(request).encode() + b"\n")  # past the schema, as any client may send
            e = c.answer()
            self.assertEqual(e["class"], "error")
            self.assertIn(message, e["message"])
        people = c.request({"class": "people"})["people"]
        self.assertEqual([(p["user_id"], p["name"]) for p in people], [(5, "Ann Lee-Moss"), (4294967295, "Åsa")])
        self.assertEqual(c.request({"class": "person_remove", "user_id": 4294967295})["removed"], True)
        self.assertEqual(c.request({"class": "person_remove", "user_id": 77})["removed"], False)
        self.assertEqual(os.stat(os.path.join(r.dir, "people.db")).st_mode & 0o777, 0o600)
        r.stop()
        r.start_daemon(["--directory", "people.db"])
        c = r.client()
        self.assertEqual([(p["user_id"], p["name"]) for p in c.request({"class": "people"})["people"]],
                         [(5, "Ann Lee-Moss")])

    def test_without_a_directory_the_requests_say_so(self):
        r = Rig(self)
        e = r.client().request({"class": "people", "id": "p"})
        self.assertEqual((e["class"], e["id"]), ("error", "p"))
        self.assertIn("--directory FILE", e["message"])

    def test_identifications_carry_the_name_to_watchers_and_kelvor_watch(self):
        r = Rig(self, daemon_args=["--directory", "people.db"])
        c = r.client()
        r.control("--place", "3")
        self.assertEqual(c.request({"class": "command", "command": "ES", "p1": 5, "flag": 0x71})["outcome"], "ok")
        r.control("--place", "4")
        self.assertEqual(c.request({"class": "command", "command": "ES", "p1": 6, "flag": 0x71})["outcome"], "ok")
        c.request({"class": "person_set", "user_id": 5, "name": "Ann Lee"})
        r.control("--place", "none")
        w = r.client()
        w.request({"class": "watch"})
        c.request({"class": "command", "command": "SW", "flag": 0x84, "p2": 0x31})
        watch = subprocess.Popen([os.path.join(rig.BIN, "kelvor"), "--server", r.sock, "--watch"], cwd=r.dir,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: watch.poll() is None and (watch.kill(), watch.wait()))
        time.sleep(0.5)
        r.control("--place", "3")
        e = w.event(kind="identify")
        self.assertEqual((e["user_id"], e["name"]), (5, "Ann Lee"))
        r.control("--place", "4")
        e = w.event(kind="identify")
        self.assertEqual(e["user_id"], 6)
        self.assertNotIn("name", e)  # nobody named user 6
        line = watch.stdout.readline().decode()
        self.assertRegex(line, r"Z identify: user 5 \(Ann Lee\), score \d+$")
        self.assertRegex(watch.stdout.readline().decode(), r"Z identify: user 6, score \d+$")


class StationRequests(unittest.TestCase):
    def test_an_enrollment_step_by_step_with_its_image(self):
        r = Rig(self)
        c = r.client()
        # Two scans per enrollment, SCAN_SUCCESS after each.
        c.request({"class": "command", "command": "SW", "flag": 0x65, "p2": 0x31})
        c.request({"class": "command", "command": "SW", "flag": 0x75, "p2": 0x31})
        r.control("--place", "3")
        c.send({"class": "command", "id": "e", "command": "ES", "p1": 5, "flag": 0x71, "steps": True,
                "read_image": True})
        steps = []
        while True:
            o = c.recv(30)
            if o["class"] != "step":
                break
            self.assertEqual(o["id"], "e")
            steps.append(o["flag_name"])
        self.assertEqual(steps, ["scan_success", "ok", "scan_success", "ok"])
        self.assertEqual((o["outcome"], o["values"]["user_id"]), ("ok", 5))
        image = o["image"]
        self.assertEqual((image["command"], image["outcome"]), ("RI", "ok"))
        bmp = base64.b64decode(image["output"])
        width, height = struct.unpack("<ii", bmp[18:26])
        self.assertEqual((bmp[:2], width, abs(height)), (b"BM", image["values"]["width"], image["values"]["height"]))
        # A command that scanned no finger has no image; one without read_image no member.
        a = c.request({"class": "command", "command": "SS", "read_image": True})
        self.assertIsNone(a["image"])
        self.assertNotIn("image", c.request({"class": "command", "command": "SS"}))

    def test_a_backup_comes_back_as_files_and_restores(self):
        r = Rig(self)
        c = r.client()
        r.control("--place", "3")
        c.request({"class": "command", "command": "ES", "p1": 5, "flag": 0x71})
        b = c.request({"class": "backup", "id": 1, "directory": "b-1"}, timeout=60)
        self.assertEqual(b["result"], 0, b)
        names = [f["name"] for f in b["files"]]
        self.assertTrue(names)
        # The objects name the directory the client gave, never the service's own.
        self.assertNotIn("kelvord-", json.dumps(b["objects"]))
        self.assertEqual(c.request({"class": "command", "command": "DT", "p1": 5})["outcome"], "ok")
        self.assertEqual(c.request({"class": "command", "command": "CT", "p1": 5})["result_name"], "not_found")
        a = c.request({"class": "restore", "directory": "b-1", "files": b["files"]}, timeout=60)
        self.assertEqual(a["result"], 0, a)
        self.assertEqual(c.request({"class": "command", "command": "CT", "p1": 5})["values"]["templates"], 1)
        # A restore from files no backup wrote fails with kelvor's own reason; the service goes on.
        bad = c.request({"class": "restore", "files": [{"name": "x", "data": "AAE="}]}, timeout=60)
        self.assertNotEqual(bad["result"], 0)
        self.assertEqual(c.request({"class": "version"})["class"], "version")


class StationSecurity(unittest.TestCase):
    def test_the_page_its_headers_and_what_is_refused(self):
        r = Rig(self, daemon_args=["--http", "0", "--directory", "people.db"])
        port = station_port(r)
        status, headers, body = get(port, "/")
        self.assertEqual(status, 200)
        self.assertIn(b'<script src="station.js"', body)
        self.assertNotIn(b"<script>", body)  # no inline script: the policy would stop it
        self.assertEqual(headers["Content-Security-Policy"], CSP)
        self.assertEqual((headers["X-Frame-Options"], headers["X-Content-Type-Options"]), ("DENY", "nosniff"))
        for path, expected in (("/station.js", 200), ("/station.css", 200), ("/../CMakeLists.txt", 404),
                               ("/%2e%2e/x.js", 404), ("/nothing.js", 404), ("/people.db", 404)):
            self.assertEqual(get(port, path)[0], expected, path)
        self.assertEqual(get(port, "/", method="POST")[0], 405)
        # A name of another site that leads here (DNS rebinding) gets nothing.
        self.assertEqual(get(port, "/", host="evil.example:%d" % port)[0], 403)

    def test_the_websocket_takes_the_pages_origin_alone_and_speaks_the_protocol(self):
        r = Rig(self, daemon_args=["--http", "0", "--directory", "people.db"])
        port = station_port(r)
        for origin in ("http://evil.example", None, "null", "http://127.0.0.1:%d" % port):
            ws = WebSocket(port, origin=origin)
            self.assertEqual(ws.status, 403, origin)
            ws.close()
        rebound = WebSocket(port, host="evil.example:%d" % port)
        self.assertEqual(rebound.status, 403)
        rebound.close()
        ws = WebSocket(port)
        self.assertEqual(ws.status, 101)
        self.assertIn("Content-Security-Policy: " + CSP, ws.headers)
        self.assertTrue(ws.request({"class": "auth", "id": 0, "token": station_token(r)})["ok"])
        self.assertEqual(ws.request({"class": "version", "id": 1})["protocol"], 2)
        self.assertEqual(ws.request({"class": "person_set", "id": 2, "user_id": 5, "name": "Ann"})["class"],
                         "person_set")
        self.assertEqual(ws.request({"class": "watch"})["enable"], True)
        # The same objects as on the socket: a malformed one is answered and the connection goes on.
        ws.send_text("not json")
        self.assertEqual(ws.message()["class"], "error")
        # A message longer than a request may be: read to its end, refused, the connection goes on.
        ws.send_text('{"class":"version","id":"' + "x" * (8 << 20) + '"}')
        e = ws.message()
        self.assertEqual(e["class"], "error")
        self.assertIn("longer", e["message"])
        self.assertEqual(ws.request({"class": "people"})["people"][0]["name"], "Ann")
        # Events reach the page as they reach any watcher.
        r.kill_sim()
        while True:
            m = ws.message()
            self.assertIsNotNone(m)
            if m["class"] == "event" and m["kind"] == "line":
                break
        self.assertEqual(m["state"], "lost")

    def test_a_login_with_the_token(self):
        r = Rig(self, start=False)
        token = os.path.join(r.dir, "token")
        with open(token, "w") as f:
            f.write("s3cret-token-0123456789\n")
        os.chmod(token, 0o600)
        r.start_daemon(["--http", "0", "--token-file", token])
        port = station_port(r)
        # The page itself is served; the WebSocket does nothing before the token.
        self.assertEqual(get(port, "/")[0], 200)
        ws = WebSocket(port)
        e = ws.request({"class": "devices", "id": 1})
        self.assertIn("present the token first", e["message"])
        self.assertIsNone(ws.message())
        ws = WebSocket(port)
        self.assertEqual(ws.request({"class": "auth", "token": "wrong-token-0123456789"})["message"], "wrong token")
        self.assertIsNone(ws.message())
        r.wait_open()
        ws = WebSocket(port)
        self.assertTrue(ws.request({"class": "auth", "token": "s3cret-token-0123456789"})["ok"])
        self.assertEqual(ws.request({"class": "devices"})["state"], "open")
        r.wait_log(r"refused: wrong token")

    def test_a_token_made_at_each_start_for_the_station_and_tcp(self):
        r = Rig(self, start=False)
        tokens = []
        for run in range(2):
            r.start_daemon(["--http", "0", "--tcp", "127.0.0.1:0"])
            port, token = station_port(r), station_token(r)
            path = r.wait_log(r"the token of this run: (\S+)\n").group(1)
            self.assertEqual(path, os.path.join(r.dir, "L.token"))
            st = os.lstat(path)
            self.assertEqual((st.st_mode & 0o7777, st.st_uid), (0o600, os.geteuid()))
            with open(path, encoding="ascii") as f:
                self.assertEqual(f.read(), token + "\n")
            self.assertEqual([n for n in os.listdir(r.dir) if n.startswith("L.token.")], [])  # no file left half made
            tcp = int(r.wait_log(r"and TCP port (\d+)").group(1))
            # Without it, nothing: the page's WebSocket and TCP alike; with it, the service.
            ws = WebSocket(port)
            self.assertIn("present the token first", ws.request({"class": "version", "id": 1})["message"])
            ws = WebSocket(port)
            self.assertTrue(ws.request({"class": "auth", "token": token})["ok"])
            self.assertEqual(ws.request({"class": "version"})["class"], "version")
            c = rig.Conn(tcp=("127.0.0.1", tcp))
            self.assertTrue(c.request({"class": "auth", "token": token})["ok"])
            c.close()
            for old in tokens:  # the token of the run before is no longer taken
                ws = WebSocket(port)
                self.assertEqual(ws.request({"class": "auth", "token": old})["message"], "wrong token")
            tokens.append(token)
            r.stop()
            os.rename(r.log_path, r.log_path + ".%d" % run)
        self.assertNotEqual(tokens[0], tokens[1])

    def test_beyond_this_machine_only_with_a_token(self):
        r = Rig(self, start=False)
        p = subprocess.run([os.path.join(rig.BIN, "kelvord"), "--foreground", "-P", r.link, "-b", "115200",
                            "--socket", r.sock, "--http", "0.0.0.0:0"], capture_output=True, timeout=30)
        self.assertEqual(p.returncode, 2)  # refused as a wrong command line is
        self.assertIn(b"listens beyond this machine", p.stderr)
        self.assertFalse(os.path.exists(r.sock))
