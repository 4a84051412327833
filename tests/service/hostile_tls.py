"""kelvord's TCP and HTTP listeners on TLS (--tls-cert, --tls-key), with a CA
and a server certificate made here with openssl: the token crosses TLS 1.2 at
least, a client that speaks no TLS gets nothing and keeps no slot, the
station loads in Chromium on https:// with its WebSocket on wss://, a page
behind a proxy (--origin) may open the WebSocket and a foreign one may not."""
import base64
import hashlib
import json
import os
import select
import socket
import ssl
import subprocess
import threading
import time
import unittest
import warnings

import rig
from hostile import VersionProbe, raw_tcp, token_file
from rig import Conn, Rig

def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                   timeout=60)


def make_certificates(folder):
    """A CA and a certificate of it for localhost and 127.0.0.1 (EC P-256);
    the paths of the CA, the certificate and its key (mode 0600), and the
    base64 SHA-256 of the certificate's public key."""
    with open(os.path.join(folder, "san.cnf"), "w", encoding="ascii") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                "extendedKeyUsage=serverAuth\n")
    ec = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes")
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=test CA",
            cwd=folder)
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost", cwd=folder)
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "2", "-extfile", "san.cnf", cwd=folder)
    os.chmod(os.path.join(folder, "server.key"), 0o600)
    pub = subprocess.run(["openssl", "x509", "-in", "server.pem", "-noout", "-pubkey"], cwd=folder, check=True,
                         capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=pub, check=True,
                         capture_output=True).stdout
    spki = base64.b64encode(hashlib.sha256(der).digest()).decode()
    return (os.path.join(folder, "ca.pem"), os.path.join(folder, "server.pem"),
            os.path.join(folder, "server.key"), spki)


class TlsConn(Conn):
    """A client of the protocol on TLS, the service's certificate checked against the CA."""

    def __init__(self, port, ca, host="localhost", context=None):
        if context is None:
            context = ssl.create_default_context(cafile=ca)
        raw = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock = context.wrap_socket(raw, server_hostname=host)
        self.buffer = b""
        self.events = []
        self.progress = []

    def line(self, timeout=10):
        # Bytes TLS has already taken in wait in the object, not on the socket.
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            if self.sock.pending() == 0:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no line within %s s" % timeout)
                if not select.select([self.sock], [], [], left)[0]:
                    continue
            try:
                data = self.sock.recv(1 << 20)
            except (ConnectionResetError, ssl.SSLEOFError, ssl.SSLZeroReturnError):
                data = b""
            except ssl.SSLWantReadError:
                continue
            if not data:
                return None
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode("utf-8")


def websocket_handshake(sock, host, origin):
    """The status of a WebSocket's opening handshake with `origin`."""
    key = base64.b64encode(os.urandom(16)).decode()
    lines = ["GET /ws HTTP/1.1", "Host: " + host, "Upgrade: websocket", "Connection: Upgrade",
             "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13", "Origin: " + origin]
    sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
    head = b""
    while b"\r\n\r\n" not in head:
        data = sock.recv(4096)
        if not data:
            break
        head += data
    return int(head.split(b" ")[1]) if head else 0


class Tls(unittest.TestCase):
    def setUp(self):
        self.r = Rig(self, start=False)
        self.ca, self.cert, self.key, self.spki = make_certificates(self.r.dir)
        path, self.token = token_file(self.r.dir)
        self.r.start_daemon(("--tcp", "127.0.0.1:0", "--http", "0", "--token-file", path, "--tls-cert", self.cert,
                             "--tls-key", self.key, "--origin", "https://door.example:8443",
                             "--directory", "people.db"))
        self.tcp = int(self.r.wait_log(r"TLS on TCP port (\d+)").group(1))
        self.http = int(self.r.wait_log(r"the station: https://localhost:(\d+)/").group(1))
        self.r.wait_open()

    def test_what_kelvord_refuses_of_tls_and_origins(self):
        d = self.r.dir
        shared = os.path.join(d, "shared.key")
        with open(self.key, "rb") as src, open(shared, "wb") as dst:
            dst.write(src.read())
        os.chmod(shared, 0o644)
        path = os.path.join(d, "token")
        tls = ("--tls-cert", self.cert, "--tls-key", self.key)
        rows = [
            (("--tcp", "127.0.0.1:0", "--token-file", path, "--tls-cert", self.cert), 2,
             "--tls-cert and --tls-key go together"),
            (tls, 2, "--tls-cert goes with --tcp or --http"),
            (("--http", "0", "--origin", "https://door.example/station"), 2, "--origin https://door.example/station"),
            (("--origin", "https://door.example"), 2, "--origin goes with --http"),
            (("--max-unauthenticated", "0"), 2, "--max-unauthenticated 0: 1 to 65536"),
            (("--max-unauthenticated-per-address", "x"), 2, "--max-unauthenticated-per-address x"),
            (("--tcp", "127.0.0.1:0", "--token-file", path, "--tls-cert", self.cert, "--tls-key", shared), 1,
             "may be read by others (mode 0644)"),
            (("--tcp", "127.0.0.1:0", "--token-file", path, "--tls-cert", self.ca, "--tls-key", self.key), 1,
             "key values mismatch"),
            (("--tcp", "127.0.0.1:0", "--token-file", path, "--tls-cert", os.path.join(d, "none.pem"),
              "--tls-key", self.key), 1, "--tls-cert"),
        ]
        for args, status, message in rows:
            with self.subTest(args=args):
                p = subprocess.run([os.path.join(rig.BIN, "kelvord"), "--foreground", "-P", self.r.link, "-b",
                                    "115200", "--socket", os.path.join(d, "other.sock"), *args],
                                   capture_output=True, timeout=30)
                self.assertEqual(p.returncode, status, p.stderr)
                self.assertIn(message, p.stderr.decode())

    def test_the_token_over_tls(self):
        old = ssl.create_default_context(cafile=self.ca)
        old.set_ciphers("DEFAULT:@SECLEVEL=0")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            old.minimum_version = ssl.TLSVersion.TLSv1
            old.maximum_version = ssl.TLSVersion.TLSv1_1
        # Each row: a client, and whether it is served.
        rows = [
            ("Python's ssl, the CA's certificate checked", lambda: TlsConn(self.tcp, self.ca), True),
            ("by address", lambda: TlsConn(self.tcp, self.ca, host="127.0.0.1"), True),
            ("TLS 1.1", lambda: TlsConn(self.tcp, self.ca, context=old), False),
        ]
        for what, connect, served in rows:
            with self.subTest(what):
                if not served:
                    with self.assertRaises((ssl.SSLError, OSError)):
                        connect()
                    continue
                c = connect()
                self.r.conns.append(c)
                self.assertIn(c.sock.version(), ("TLSv1.2", "TLSv1.3"))
                self.assertEqual(c.request({"class": "auth", "id": 1, "token": self.token}),
                                 {"class": "auth", "id": 1, "ok": True})
                self.assertEqual(c.request({"class": "command", "command": "SS", "id": 2})["outcome"], "ok")
                bad = connect()
                self.r.conns.append(bad)
                self.assertIn("wrong token", bad.request({"class": "auth", "token": "not-the-token-at-all"})
                              ["message"])

    def test_openssl_s_client(self):
        p = subprocess.Popen(["openssl", "s_client", "-connect", "127.0.0.1:%d" % self.tcp, "-CAfile", self.ca,
                              "-verify_return_error", "-verify_hostname", "localhost", "-quiet", "-ign_eof"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(p.stdout.close)
        self.addCleanup(p.stdin.close)
        self.addCleanup(p.wait, 10)
        self.addCleanup(p.kill)
        p.stdin.write((json.dumps({"class": "auth", "id": 1, "token": self.token}) + "\n" +
                       json.dumps({"class": "version", "id": 2}) + "\n").encode())
        p.stdin.flush()
        # A client that never answers ends with the time-out, not the test.
        killer = threading.Timer(20, p.kill)
        killer.start()
        self.addCleanup(killer.cancel)
        answers = []
        for _ in range(2):
            line = p.stdout.readline()
            if not line:
                break
            answers.append(rig.check(json.loads(line)))
        self.assertEqual([(a["class"], a["id"]) for a in answers], [("auth", 1), ("version", 2)])

    def test_a_client_without_tls_gets_nothing_and_keeps_no_slot(self):
        rows = [
            ("the token in clear text", (json.dumps({"class": "auth", "token": self.token}) + "\n").encode(), 1.0),
            ("an HTTP request", b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", 1.0),
            ("nothing at all", b"", 5.0),
        ]
        with VersionProbe(self.r.sock) as probe:
            for what, data, within in rows:
                with self.subTest(what):
                    # More of them than one address has slots: each is gone in time.
                    socks = [raw_tcp(self.tcp) for _ in range(4)]
                    start = time.monotonic()
                    for s in socks:
                        s.sendall(data)
                    for s in socks:
                        s.settimeout(within + 2)
                        got = b""
                        try:
                            while True:
                                chunk = s.recv(4096)
                                if not chunk:
                                    break
                                got += chunk
                        except ConnectionResetError:
                            pass
                        s.close()
                        self.assertNotIn(b"class", got)
                        self.assertNotIn(self.token.encode(), got)
                    self.assertLess(time.monotonic() - start, within)
                    c = TlsConn(self.tcp, self.ca)
                    self.r.conns.append(c)
                    self.assertEqual(c.request({"class": "auth", "id": 1, "token": self.token})["ok"], True)
        probe.check(self, bound=0.5)

    def test_the_websockets_origins(self):
        context = ssl.create_default_context(cafile=self.ca)
        host = "localhost:%d" % self.http
        rows = [
            ("https://" + host, 101),
            ("https://door.example:8443", 101),
            ("https://evil.example", 403),
            ("http://" + host, 403),
            ("https://door.example:8444", 403),
            ("null", 403),
        ]
        for origin, status in rows:
            with self.subTest(origin):
                with context.wrap_socket(socket.create_connection(("127.0.0.1", self.http), timeout=10),
                                         server_hostname="localhost") as s:
                    self.assertEqual(websocket_handshake(s, host, origin), status)

    def test_the_station_in_chromium_over_https_and_wss(self):
        from test_browser import CHROMEDRIVER, CHROMIUM, first_existing
        try:
            from selenium import webdriver
            from selenium.webdriver.chrome.options import Options
            from selenium.webdriver.chrome.service import Service
            from selenium.webdriver.common.keys import Keys
        except ImportError as e:
            raise AssertionError("Selenium is missing (Debian: python3-selenium): %s" % e)
        o = Options()
        o.binary_location = first_existing(CHROMIUM, "chromium")
        for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", "--user-data-dir=" + os.path.join(self.r.dir, "profile"),
                  "--ignore-certificate-errors-spki-list=" + self.spki):
            o.add_argument(a)
        o.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        d = webdriver.Chrome(service=Service(first_existing(CHROMEDRIVER, "chromedriver")), options=o)
        self.addCleanup(d.quit)
        # The token as the station's address carries it; a page that asks for it instead gets it typed.
        d.get("https://localhost:%d/#token=%s" % (self.http, self.token))

        def shown(id_):
            try:
                return d.find_element("id", id_).is_displayed()
            except Exception:
                return False

        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if shown("login"):
                d.find_element("id", "login-token").send_keys(self.token, Keys.ENTER)
                break
            if shown("app"):
                break
            time.sleep(0.1)
        deadline = time.monotonic() + 30
        state = ""
        while time.monotonic() < deadline and not state.startswith("Line open"):
            try:
                state = d.find_element("id", "line-state").text
            except Exception:
                state = ""
            time.sleep(0.1)
        self.assertTrue(state.startswith("Line open"), "the station over https:// shows: %r" % state)
        self.assertTrue(d.execute_script("return location.protocol") == "https:")
        errors = [e for e in d.get_log("browser") if e.get("level") == "SEVERE"]
        self.assertEqual(errors, [])


if __name__ == "__main__":
    unittest.main()
