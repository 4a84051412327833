#!/usr/bin/env python3
"""kelvord soaked by clients that come and go and clients that never read,
while a well-behaved client on the Unix socket asks SS one after the other:

  soak.py BIN [SECONDS [CHURN [IDLE]]]

First SECONDS/4 quiet, then SECONDS (default 60) during which CHURN (default
200) TCP connections a second are opened and dropped (half of them after a
piece of a line, none with the token) and IDLE (default 32) authenticated
TCP clients send requests and never read their answers (dropped by the
service when their buffer is full, they connect again). Prints the 99th
percentile of the SS round trip, quiet and soaked, in milliseconds, then the
connections opened and the idle clients the service dropped."""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

TOKEN = "soak-token-0123456789abcdef"


def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * p / 100))] if v else float("nan")


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit("soak.py: no " + what)
        time.sleep(0.01)


def tcp_port(log):
    with open(log, encoding="utf-8", errors="replace") as f:
        for line in f:
            if "TCP port " in line:
                return int(line.rsplit("TCP port ", 1)[1].split()[0])
    return None


class SsClient:
    """SS after SS on the Unix socket; the round trips in ms."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buffer = b""
        self.n = 0

    def once(self):
        self.n += 1
        start = time.perf_counter()
        self.sock.sendall(b'{"class":"command","command":"SS","id":%d}\n' % self.n)
        while b"\n" not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                raise SystemExit("soak.py: the service ended the well-behaved client")
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        took = (time.perf_counter() - start) * 1000
        if json.loads(line).get("id") != self.n:
            raise SystemExit("soak.py: an answer not the well-behaved client's: %r" % line[:200])
        return took

    def run(self, seconds):
        out = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            out.append(self.once())
        return out


def churn(port, rate, stop, counter):
    """`rate` connections a second opened and dropped, paced."""
    period = 1.0 / rate
    nxt = time.monotonic()
    n = 0
    while not stop.is_set():
        nxt += period
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=1)
            if n % 2:
                s.send(b'{"class":"auth","tok')
            s.close()
            counter[0] += 1
        except OSError:
            pass
        n += 1
        left = nxt - time.monotonic()
        if left > 0:
            time.sleep(left)
        elif left < -1:
            nxt = time.monotonic()


def idle(port, stop, dropped):
    """An authenticated client that sends requests and never reads."""
    request = (json.dumps({"class": "version", "id": "x" * 1000}) + "\n").encode() * 20
    while not stop.is_set():
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=1)
            s.sendall((json.dumps({"class": "auth", "token": TOKEN}) + "\n").encode())
            s.settimeout(0.2)
            while not stop.is_set():
                try:
                    s.sendall(request)
                except socket.timeout:
                    pass
                stop.wait(0.05)
            s.close()
        except OSError:
            dropped[0] += 1
            stop.wait(0.1)


def main():
    bindir = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60
    rate = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    idle_clients = int(sys.argv[4]) if len(sys.argv) > 4 else 32
    work = tempfile.mkdtemp(prefix="kelvord-soak-")
    link, sock, log = (os.path.join(work, n) for n in ("module", "module.sock", "kelvord.log"))
    token = os.path.join(work, "token")
    fd = os.open(token, os.O_WRONLY | os.O_CREAT, 0o600)
    os.write(fd, (TOKEN + "\n").encode())
    os.close(fd)
    sim = subprocess.Popen([os.path.join(bindir, "orvanti-sim"), "--link", link, "--state",
                            os.path.join(work, "state.db")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs = [sim]
    try:
        wait_for(lambda: os.path.exists(link), 10, "simulator")
        with open(log, "wb") as f:
            daemon = subprocess.Popen([os.path.join(bindir, "kelvord"), "--foreground", "-P", link, "-b", "115200",
                                       "--socket", sock, "--tcp", "127.0.0.1:0", "--token-file", token],
                                      stdout=subprocess.DEVNULL, stderr=f)
        procs.append(daemon)
        wait_for(lambda: os.path.exists(sock) and tcp_port(log), 10, "kelvord")
        port = tcp_port(log)
        ss = SsClient(sock)
        ss.run(1.0)  # the line opened and warm
        quiet = ss.run(seconds / 4)
        stop = threading.Event()
        opened, dropped = [0], [0]
        threads = [threading.Thread(target=churn, args=(port, rate, stop, opened), daemon=True)]
        threads += [threading.Thread(target=idle, args=(port, stop, dropped), daemon=True)
                    for _ in range(idle_clients)]
        for t in threads:
            t.start()
        soaked = ss.run(seconds)
        stop.set()
        for t in threads:
            t.join(5)
        with open(log, encoding="utf-8", errors="replace") as f:
            drops = sum("does not read" in line for line in f)
        print("%.3f %.3f %d %d %d" % (percentile(quiet, 99), percentile(soaked, 99), opened[0], drops,
                                      daemon.poll() is None))
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
