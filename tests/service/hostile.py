"""What the hostile-client tests share: a well-behaved local client that keeps
asking the service for its version over the Unix socket while an attack runs
(its worst wait is the attack's cost to everyone else), and the service's
memory as the system counts it.

Each finding is a module hostile_<topic>.py beside this one holding its rows;
test_hostile.py runs them all."""
import os
import socket
import threading
import time

import rig

# The bounds are the service's as it is built for use. Under AddressSanitizer
# the same work takes several times the processor time, and freed memory is
# held in quarantine before it is used again: a sanitized kelvord is held to
# bounds this many times wider (the tests still catch what grows with the
# attack rather than with the sanitizer: 2 GB and minutes, unbounded).
SANITIZED_TIME_FACTOR = 4
SANITIZED_MEMORY_FACTOR = 2.5
_SANITIZED = None


def sanitized():
    """Whether the kelvord under test is built with AddressSanitizer."""
    global _SANITIZED
    if _SANITIZED is None:
        with open(os.path.join(rig.BIN, "kelvord"), "rb") as f:
            _SANITIZED = b"__asan_init" in f.read()
    return _SANITIZED


def time_bound(seconds):
    return seconds * SANITIZED_TIME_FACTOR if sanitized() else seconds


def memory_bound(size):
    return int(size * SANITIZED_MEMORY_FACTOR) if sanitized() else size


class VersionProbe:
    """A client on the Unix socket asking `version` every `period` seconds on
    a thread of its own; `worst` is the longest it waited for an answer (a
    request still unanswered counts with the time it has waited so far)."""

    def __init__(self, path, period=0.05):
        self.path = path
        self.period = period
        self.waits = []
        self.failures = []
        self._asked = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(30)

    def _run(self):
        try:
            conn = rig.Conn(self.path)
        except OSError as e:
            self.failures.append("connect: %s" % e)
            return
        try:
            n = 0
            while not self._stop.is_set():
                n += 1
                self._asked = time.monotonic()
                try:
                    conn.send({"class": "version", "id": "probe-%d" % n})
                    answer = conn.answer(timeout=120)
                except (AssertionError, OSError) as e:
                    self.failures.append(str(e))
                    return
                waited = time.monotonic() - self._asked
                self._asked = None
                if answer is None or answer.get("id") != "probe-%d" % n:
                    self.failures.append("no answer to the probe: %r" % (answer,))
                    return
                self.waits.append(waited)
                self._stop.wait(self.period)
        finally:
            conn.close()

    @property
    def worst(self):
        waits = list(self.waits)
        if self._asked is not None:
            waits.append(time.monotonic() - self._asked)
        return max(waits, default=0.0)

    def check(self, testcase, bound=0.5):
        bound = time_bound(bound)
        testcase.assertEqual(self.failures, [])
        testcase.assertGreater(len(self.waits), 0, "the probe was never answered")
        testcase.assertLessEqual(self.worst, bound, "a local client's version waited %.3f s" % self.worst)


def rss_bytes(pid):
    """The resident memory of process `pid` (VmRSS)."""
    with open("/proc/%d/status" % pid, encoding="ascii") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS for %d" % pid)


class PeakRss:
    """The highest resident memory of `pid` seen while the block runs, over
    what it was at the start."""

    def __init__(self, pid, period=0.02):
        self.pid = pid
        self.period = period
        self.start = 0
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self.start = self.peak = rss_bytes(self.pid)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(10)

    def _run(self):
        while not self._stop.is_set():
            try:
                self.peak = max(self.peak, rss_bytes(self.pid))
            except (OSError, AssertionError):
                return
            self._stop.wait(self.period)

    @property
    def growth(self):
        return self.peak - self.start


def raw_tcp(port, host="127.0.0.1", timeout=10):
    return socket.create_connection((host, port), timeout=timeout)


def token_file(folder, token="s3cret-token-of-the-test"):
    """A token file of mode 0600 in `folder`; its path and the token."""
    path = os.path.join(folder, "token")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(token + "\n")
    return path, token
