"""A simulated module and a kelvord serving it in a scratch directory, and
clients of the protocol whose every line, sent or received, is checked
against the protocol's schema."""
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

import jsonschema

BIN = None
SCHEMA_DIR = None
_VALIDATOR = None
# The schema library's reference resolver is no thread's to share.
_VALIDATING = threading.Lock()


def setup(bindir, schema_dir):
    global BIN, SCHEMA_DIR
    BIN = os.path.abspath(bindir)
    SCHEMA_DIR = os.path.abspath(schema_dir)


def validator():
    """The protocol's schema, with the result schema it refers to beside it."""
    global _VALIDATOR
    if _VALIDATOR is None:
        with open(os.path.join(SCHEMA_DIR, "kelvord-protocol.schema.json"), encoding="utf-8") as f:
            protocol = json.load(f)
        with open(os.path.join(SCHEMA_DIR, "kelvor-result.schema.json"), encoding="utf-8") as f:
            result = json.load(f)
        try:
            from referencing import Registry, Resource

            registry = Registry().with_resources(
                [(s["$id"], Resource.from_contents(s)) for s in (protocol, result)])
            _VALIDATOR = jsonschema.Draft202012Validator(protocol, registry=registry)
        except ImportError:
            resolver = jsonschema.RefResolver.from_schema(protocol, store={result["$id"]: result})
            _VALIDATOR = jsonschema.Draft202012Validator(protocol, resolver=resolver)
    return _VALIDATOR


def check(obj):
    """Fails with the schema's own words when `obj` is no object of the protocol."""
    with _VALIDATING:
        validator().validate(obj)
    return obj


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


class Conn:
    """One client connection: JSON Lines both ways."""

    def __init__(self, path=None, tcp=None):
        if tcp:
            self.sock = socket.create_connection(tcp, timeout=10)
        else:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.connect(path)
        self.buffer = b""
        self.events = []
        self.progress = []

    def close(self):
        self.sock.close()

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, obj):
        check(obj)
        self.sock.sendall(json.dumps(obj).encode() + b"\n")

    def line(self, timeout=10):
        """The next line, or None at the end of the connection."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no line within %s s" % timeout)
            ready, _, _ = select.select([self.sock], [], [], left)
            if not ready:
                continue
            try:
                data = self.sock.recv(1 << 20)
            except ConnectionResetError:
                data = b""
            if not data:
                return None
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode("utf-8")

    def recv(self, timeout=10):
        """The next object, checked against the schema."""
        line = self.line(timeout)
        if line is None:
            return None
        return check(json.loads(line))

    def answer(self, timeout=30):
        """The next answer; events that come first are kept in self.events, progress in self.progress."""
        while True:
            obj = self.recv(timeout)
            if obj is None or obj["class"] not in ("event", "progress"):
                return obj
            (self.events if obj["class"] == "event" else self.progress).append(obj)

    def request(self, obj, timeout=30):
        self.send(obj)
        return self.answer(timeout)

    def event(self, timeout=10, kind=None):
        """The next event (of `kind`), answers in between not allowed."""
        deadline = time.monotonic() + timeout
        while True:
            for i, e in enumerate(self.events):
                if kind is None or e["kind"] == kind:
                    return self.events.pop(i)
            obj = self.recv(max(deadline - time.monotonic(), 0.01))
            if obj is None:
                raise AssertionError("the connection ended while waiting for an event")
            if obj["class"] != "event":
                raise AssertionError("an answer where an event was awaited: %s" % obj)
            self.events.append(obj)

    def closed(self, timeout=10):
        """True when the service has ended the connection."""
        try:
            while True:
                if self.line(timeout) is None:
                    return True
        except (AssertionError, OSError):
            return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Something listens on the port when it cannot be bound (a probe that
    connected would make ser2net open the device)."""
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return True
    return False


class Ser2net:
    """Debian's ser2net on localhost in front of a device: one telnet(rfc2217)
    accepter and one raw tcp accepter, its configuration written here. It may
    be stopped and started again on the same ports. Without ser2net installed
    the tests that need it fail; they are never skipped."""

    BIN = shutil.which("ser2net") or shutil.which("ser2net", path="/usr/sbin:/sbin")

    def __init__(self, folder, device):
        if not self.BIN:
            raise AssertionError("ser2net is not installed (Debian package ser2net): the tests of lines over "
                                 "the network cannot run")
        self.folder = folder
        self.telnet, self.raw = free_port(), free_port()
        rest = f"  connector: serialdev,{device},115200n81,local\n" \
               "  options:\n    kickolduser: true\n    chardelay: false\n"
        self.config = os.path.join(folder, "ser2net.yaml")
        with open(self.config, "w", encoding="utf-8") as f:
            f.write("%YAML 1.1\n---\n"
                    f"connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{self.telnet}\n" + rest +
                    f"connection: &raw\n  accepter: tcp,127.0.0.1,{self.raw}\n" + rest)
        self.proc = None
        self.start()

    @property
    def rfc2217(self):
        return f"rfc2217://127.0.0.1:{self.telnet}"

    @property
    def socket(self):
        return f"socket://127.0.0.1:{self.raw}"

    def start(self):
        with open(os.path.join(self.folder, "ser2net.log"), "ab") as log:
            self.proc = subprocess.Popen([self.BIN, "-n", "-d", "-c", self.config, "-P", self.config + ".pid"],
                                         stdout=log, stderr=log)
        wait_for(lambda: (listening(self.telnet) and listening(self.raw)) or self.proc.poll() is not None, 10,
                 "ser2net to listen")
        if self.proc.poll() is not None:
            raise AssertionError("ser2net did not come up")

    def stop(self, sig=signal.SIGTERM):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(10)


class Rig:
    """orvanti-sim on a link and kelvord on it, in a scratch directory."""

    def __init__(self, testcase, sim_args=(), daemon_args=(), line_args=("-b", "115200", "-t", "5000"), start=True):
        self.dir = tempfile.mkdtemp(prefix="kelvord-test-")
        testcase.addCleanup(shutil.rmtree, self.dir, True)
        testcase.addCleanup(self.stop)
        self.link = os.path.join(self.dir, "L")
        self.sock = os.path.join(self.dir, "L.sock")
        self.state = os.path.join(self.dir, "state.db")
        self.sim_args = list(sim_args)
        self.sim = None
        self.daemon = None
        self.log_path = os.path.join(self.dir, "kelvord.log")
        self.conns = []
        self.start_sim()
        if start:
            self.start_daemon(daemon_args, line_args)

    def start_sim(self):
        self.sim = subprocess.Popen(
            [os.path.join(BIN, "orvanti-sim"), "--link", self.link, "--state", self.state, *self.sim_args],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(self.link) or self.sim.poll() is not None, 10, "the simulator")
        if self.sim.poll() is not None:
            raise AssertionError("the simulator did not start")

    def kill_sim(self, sig=signal.SIGKILL):
        # A module unplugged takes its device name along. A killed simulator
        # would leave its link to the pseudo-terminal's number, which the
        # system gives the next simulator of any test: the service reopening
        # the link would take that one's line.
        try:
            os.unlink(self.link)
        except FileNotFoundError:
            pass
        self.sim.send_signal(sig)
        self.sim.wait(10)

    def start_daemon(self, daemon_args=(), line_args=("-b", "115200", "-t", "5000"), socket_arg=True, env=None,
                     port=None):
        args = [os.path.join(BIN, "kelvord"), "--foreground", "-P", port or self.link, *line_args]
        if socket_arg:
            args += ["--socket", self.sock]
        args += list(daemon_args)
        self.log = open(self.log_path, "ab")
        self.daemon = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=self.log, cwd=self.dir,
                                       env=env)
        if socket_arg:
            wait_for(lambda: os.path.exists(self.sock) or self.daemon.poll() is not None, 10, "kelvord's socket")
            if self.daemon.poll() is not None:
                raise AssertionError("kelvord ended: " + self.log_text())

    def log_text(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_log(self, pattern, seconds=10):
        wait_for(lambda: re.search(pattern, self.log_text()), seconds, "the log line " + pattern)
        return re.search(pattern, self.log_text())

    def stop(self):
        for c in self.conns:
            c.close()
        self.conns = []
        for p in (self.daemon, self.sim):
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if self.daemon:
            self.log.close()

    def client(self):
        c = Conn(self.sock)
        self.conns.append(c)
        return c

    def wait_open(self, seconds=20):
        """Until the service has opened its line."""
        c = self.client()
        wait_for(lambda: c.request({"class": "devices"})["state"] == "open", seconds, "the line to open")

    def control(self, *args):
        subprocess.run([os.path.join(BIN, "orvanti-sim"), "--link", self.link, *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

    def kelvor(self, *args, cwd=None):
        """kelvor itself, in the scratch directory: status, standard output, standard error."""
        r = subprocess.run([os.path.join(BIN, "kelvor"), *args], cwd=cwd or self.dir, capture_output=True,
                           timeout=120)
        return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")
