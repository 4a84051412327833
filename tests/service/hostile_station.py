"""The station is no wider door than the socket: another user of this machine
(uid 65534), whom the socket's mode refuses, opens the station's WebSocket
with the page's own Host and Origin and tries what the station can do: read a
user's templates, delete them, take a backup, restore one. Each gets the
refusal and the connection's end; the token file and the service's log are
closed to that user too; the line's users are as they were, and a local
client's version is answered in time all along."""
import json
import os
import subprocess
import sys
import unittest

import hostile
from rig import Rig

NOBODY = 65534

# The other user's program: no module of the tests (their folder may be closed
# to that user), only the standard library. It prints one JSON object.
ATTACKER = r'''
import base64, json, os, socket, struct, sys
port, sock_path, files = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
said = {"uid": os.getuid(), "groups": os.getgroups()}

def tried(what, f):
    try:
        f()
        said[what] = "done"
    except PermissionError:
        said[what] = "EACCES"
    except OSError as e:
        said[what] = "error: %s" % e

def unix():
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(sock_path)
    s.close()
tried("unix socket", unix)
for path in files:
    tried(os.path.basename(path), lambda: open(path, "rb").read())

def frames(s, buffer):
    while True:
        while len(buffer) < 2:
            data = s.recv(65536)
            if not data:
                return
            buffer += data
        n = buffer[1] & 0x7F
        at = 2
        if n == 126:
            n, at = struct.unpack(">H", buffer[2:4])[0], 4
        elif n == 127:
            n, at = struct.unpack(">Q", buffer[2:10])[0], 10
        while len(buffer) < at + n:
            data = s.recv(65536)
            if not data:
                return
            buffer += data
        opcode, payload, buffer = buffer[0] & 0x0F, buffer[at:at + n], buffer[at + n:]
        if opcode == 8:
            return
        if opcode == 1:
            yield json.loads(payload)

def websocket(request):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(("GET /ws HTTP/1.1\r\nHost: localhost:%d\r\nOrigin: http://localhost:%d\r\n"
               "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
               "Sec-WebSocket-Version: 13\r\n\r\n" % (port, port, key)).encode())
    head = b""
    while b"\r\n\r\n" not in head:
        data = s.recv(4096)
        if not data:
            break
        head += data
    head, _, rest = head.partition(b"\r\n\r\n")
    status = int(head.split(b" ")[1])
    got = []
    if status == 101:
        data, mask = json.dumps(request).encode(), os.urandom(4)
        n = len(data)
        length = bytes([0x80 | n]) if n < 126 else bytes([0x80 | 126]) + struct.pack(">H", n)
        s.sendall(bytes([0x81]) + length + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))
        try:
            for frame in frames(s, rest):
                got.append(frame)
        except OSError as e:
            got.append({"socket": str(e)})
    s.close()
    return {"status": status, "got": got}

said["websocket"] = {name: websocket(request) for name, request in json.loads(os.environ["ATTACKS"])}
print(json.dumps(said))
'''

# What the other user asks, each on a WebSocket of its own (the first refusal ends one).
ATTACKS = [
    ("CT", {"class": "command", "id": 1, "command": "CT", "p1": 5}),
    ("backup", {"class": "backup", "id": 3, "directory": "stolen"}),
    ("DT", {"class": "command", "id": 2, "command": "DT", "p1": 5}),
    ("restore", {"class": "restore", "id": 4, "directory": "planted",
                 "files": [{"name": "0000000009.tpl", "data": "AAAA"}]}),
    ("auth without the token", {"class": "auth", "id": 5, "token": ""}),
]


class StationAsAnotherUser(unittest.TestCase):
    def test_another_user_gets_nothing(self):
        self.assertEqual(os.geteuid(), 0, "the attack is run as uid 65534 through setpriv, which needs root")
        r = Rig(self, start=False)
        # The scratch directory is passable to the other user (who must reach
        # the socket to be refused by its mode); the service's log, which holds
        # the station's address, is as closed as the journal is.
        os.chmod(r.dir, 0o711)
        os.close(os.open(r.log_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        r.start_daemon(["--http", "0", "--directory", "people.db"], ("-b", "115200", "-t", "5000"))
        port = int(r.wait_log(r"the station: http://localhost:(\d+)/").group(1))
        token_path = os.path.join(r.dir, "L.token")
        r.wait_open()
        c = r.client()
        r.control("--place", "3")
        self.assertEqual(c.request({"class": "command", "command": "ES", "p1": 5, "flag": 0x71})["outcome"], "ok")
        r.control("--place", "none")

        with hostile.VersionProbe(r.sock) as probe:
            run = subprocess.run(
                ["setpriv", "--reuid", str(NOBODY), "--regid", str(NOBODY), "--clear-groups",
                 sys.executable, "-c", ATTACKER, str(port), r.sock, token_path, r.log_path],
                capture_output=True, timeout=120, cwd="/",
                env={"PATH": "/usr/bin:/bin", "ATTACKS": json.dumps(ATTACKS)})
        self.assertEqual(run.returncode, 0, run.stderr.decode())
        said = json.loads(run.stdout)
        self.assertEqual((said["uid"], said["groups"]), (NOBODY, []))
        for name, _ in ATTACKS:
            with self.subTest(attack=name):
                tried = said["websocket"][name]
                self.assertEqual(tried["status"], 101)  # the page's own Host and Origin pass ...
                answers = tried["got"]
                self.assertEqual(len(answers), 1, answers)  # ... one refusal, then the end
                self.assertEqual(answers[0]["class"], "error")
                self.assertRegex(answers[0]["message"], "present the token first|wrong token")
        self.assertEqual(said["unix socket"], "EACCES")
        self.assertEqual(said[os.path.basename(token_path)], "EACCES")
        self.assertEqual(said[os.path.basename(r.log_path)], "EACCES")
        probe.check(self)

        # Nothing was done: the user's template is there, no one was added.
        self.assertEqual(c.request({"class": "command", "command": "CT", "p1": 5})["values"]["templates"], 1)
        self.assertEqual(c.request({"class": "command", "command": "CT", "p1": 9})["result_name"], "not_found")
        self.assertRegex(r.log_text(), "refused: no token")
