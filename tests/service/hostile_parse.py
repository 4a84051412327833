"""Lines that cost a parser more than their length: objects of very many
members, sent before the token over TCP and the station's WebSocket, and a
restore of the most files, unauthenticated and over the Unix socket. A local
client's version is answered within 0.5 s while each is taken apart."""
import json
import socket
import time
import unittest

import hostile
import rig
from rig import Rig
from test_station_service import WebSocket, station_port

TOKEN = "s3cret-token-of-the-parse-tests"


def wide(keys, head='{"class":"version"'):
    """An object of `keys` distinct members besides its own: k000000, k000001, ..."""
    return head + "".join(',"k%06d":0' % i for i in range(keys)) + "}"


def restore(files, duplicate=False):
    names = ["user-%08x.tpl" % i for i in range(files)]
    if duplicate:
        names[-1] = names[0]
    return json.dumps({"class": "restore", "files": [{"name": n, "data": ""} for n in names]})


def tcp_line(port, line):
    """Sends the line as a client without its token; the service's answer (or
    None) once it has closed the connection."""
    s = hostile.raw_tcp(port, timeout=30)
    try:
        try:
            s.sendall(line.encode() + b"\n")
        except (BrokenPipeError, ConnectionResetError):
            pass  # refused before it was all sent
        data = b""
        while True:
            try:
                chunk = s.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            data += chunk
        first = data.split(b"\n", 1)[0]
        return json.loads(first) if first else None
    finally:
        s.close()


def websocket_line(port, line):
    ws = WebSocket(port)
    try:
        try:
            ws.send_text(line)
        except (BrokenPipeError, ConnectionResetError):
            return None
        return ws.message()
    finally:
        ws.close()


def unix_line(path, line):
    c = rig.Conn(path)
    try:
        c.send_raw(line.encode() + b"\n")
        return json.loads(c.line(timeout=60))
    finally:
        c.close()


class ParsedInLinearTime(unittest.TestCase):
    def test_lines_that_cost_a_parser_more_than_their_length(self):
        r = Rig(self, start=False)
        token, _ = hostile.token_file(r.dir, TOKEN)
        r.start_daemon(["--tcp", "127.0.0.1:0", "--http", "0", "--token-file", token])
        tcp = int(r.wait_log(r"TCP port (\d+)").group(1))
        http = station_port(r)
        r.wait_open()
        first = "present the token first"
        rows = [
            # name, how it is sent, the line, a part of the error it is answered with
            ("150,000 keys over TCP without a token", lambda l: tcp_line(tcp, l), wide(150000), first),
            ("50,000 keys over the WebSocket before login", lambda l: websocket_line(http, l), wide(50000), first),
            ("an auth request of 150,000 keys", lambda l: tcp_line(tcp, l),
             wide(150000, '{"class":"auth","token":"%s"' % TOKEN), first),
            ("a restore of 100,001 files without a token", lambda l: tcp_line(tcp, l), restore(100001), first),
            ("150,000 keys on the socket", lambda l: unix_line(r.sock, l), wide(150000), "more than 256 members"),
            ("a restore of 100,001 files, one name twice, on the socket", lambda l: unix_line(r.sock, l),
             restore(100001, duplicate=True), "comes twice"),
            ("8 MiB of nesting on the socket", lambda l: unix_line(r.sock, l),
             "[" * (4 << 20) + "]" * ((4 << 20) - 1), "nests deeper"),
        ]
        for name, send, line, message in rows:
            with self.subTest(name, bytes=len(line)):
                with hostile.VersionProbe(r.sock) as probe:
                    time.sleep(0.2)
                    started = time.monotonic()
                    answer = send(line)
                    took = time.monotonic() - started
                    time.sleep(0.2)
                probe.check(self, bound=0.5)
                self.assertIsNotNone(answer, "no answer in %.1f s" % took)
                self.assertEqual(answer["class"], "error")
                self.assertIn(message, answer["message"])
        # The service took them all and still serves an authenticated client.
        c = rig.Conn(tcp=("127.0.0.1", tcp))
        r.conns.append(c)
        self.assertTrue(c.request({"class": "auth", "token": TOKEN})["ok"])
        self.assertEqual(c.request({"class": "version", "id": 1})["id"], 1)
