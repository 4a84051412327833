#!/usr/bin/env python3
"""kelvord under many clients, against a line the benchmark plays itself on a
pseudo-terminal (so it knows when each byte went out):

  watchers N EVENTS   N clients watch; EVENTS free-scan results go out one
                      after the other; every watcher must get every one. Prints
                      the events delivered, of those expected, and the delay
                      from the packet's last byte to its arrival at a watcher
                      (median, 99th percentile, most), in milliseconds.
  mqtt EVENTS         EVENTS free-scan results on the played line, kelvord
                      publishing to a mosquitto of the benchmark's own; prints
                      the events that arrived at a subscriber of the event
                      topic, of those expected, and the delay from the
                      packet's last byte (median, 99th percentile, most), ms.
  parallel N COUNT    N clients each send COUNT commands at once (CT of a user
                      that exists or not, with their own ids) on the simulated
                      module; every answer must be its own client's, in order,
                      with the right result. Prints the answers right, of those
                      expected, and the wall time.
"""
import json
import os
import pty
import select
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

START, END = 0x40, 0x0A
SS, SR, IS, CT = 0x04, 0x03, 0x11, 0x19
SUCCEED = 0x61


def packet(cmd, p1=0, p2=0, flag=SUCCEED):
    b = bytes([START]) + struct.pack("<BIIB", cmd, p1, p2, flag)
    return b + bytes([sum(b) & 0xFF, END])


def connect(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    return s


def wait_socket(path, proc):
    for _ in range(1000):
        if os.path.exists(path):
            return
        if proc.poll() is not None:
            raise SystemExit("kelvord ended")
        time.sleep(0.01)
    raise SystemExit("kelvord did not listen")


def answer_opening(master):
    """The service's opening on the played line: the status checks and the two
    parameter reads, answered."""
    got = b""
    answered = 0
    deadline = time.monotonic() + 10
    while answered < 4 and time.monotonic() < deadline:
        r, _, _ = select.select([master], [], [], 0.5)
        if not r:
            if answered >= 3:
                break
            continue
        got += os.read(master, 4096)
        while len(got) >= 13:
            cmd = got[1]
            if cmd == SS:
                os.write(master, packet(SS, 0x30))
            elif cmd == SR:
                os.write(master, packet(SR, 0, 0x30))
            got = got[13:]
            answered += 1


def percentiles(delays):
    delays.sort()
    pick = lambda q: delays[min(len(delays) - 1, int(q * len(delays)))] if delays else float("nan")
    return pick(0.5), pick(0.99), delays[-1] if delays else 0


def watchers(bindir, n, events):
    work = tempfile.mkdtemp(prefix="kelvord-bench-")
    master, slave = pty.openpty()
    tty.setraw(slave)
    link = os.path.join(work, "line")
    os.symlink(os.ttyname(slave), link)
    sock = os.path.join(work, "line.sock")
    proc = subprocess.Popen([os.path.join(bindir, "kelvord"), "--foreground", "-P", link, "-b", "115200",
                             "--heartbeat", "0", "--socket", sock], stderr=subprocess.DEVNULL)
    try:
        wait_socket(sock, proc)
        answer_opening(master)
        clients = [connect(sock) for _ in range(n)]
        for c in clients:
            c.sendall(b'{"class":"watch"}\n')
        buffers = {c: b"" for c in clients}
        for c in clients:
            while b"\n" not in buffers[c]:
                buffers[c] += c.recv(4096)
            buffers[c] = buffers[c].split(b"\n", 1)[1]
        delays = []
        delivered = 0
        for k in range(events):
            sent = time.perf_counter()
            os.write(master, packet(IS, k + 1, 900))
            waiting = set(clients)
            deadline = time.monotonic() + 5
            while waiting and time.monotonic() < deadline:
                r, _, _ = select.select(list(waiting), [], [], 1)
                now = time.perf_counter()
                for c in r:
                    buffers[c] += c.recv(65536)
                    # Only what tells the event apart is looked at: the
                    # benchmark's own time stays out of the delays.
                    mark = b'"kind":"identify","module_id":null,'
                    want = b'"user_id":%d,' % (k + 1)
                    while b"\n" in buffers[c]:
                        line, buffers[c] = buffers[c].split(b"\n", 1)
                        if mark in line and want in line:
                            delays.append((now - sent) * 1000)
                            delivered += 1
                            waiting.discard(c)
        for c in clients:
            c.close()
        print("%d %d %.2f %.2f %.2f" % (delivered, n * events, *percentiles(delays)))
    finally:
        proc.terminate()
        proc.wait()
        os.close(master)
        os.close(slave)


def parallel(bindir, n, count):
    work = tempfile.mkdtemp(prefix="kelvord-bench-")
    link = os.path.join(work, "module")
    sim = subprocess.Popen([os.path.join(bindir, "orvanti-sim"), "--link", link], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    for _ in range(500):
        if os.path.exists(link):
            break
        time.sleep(0.01)
    sock = os.path.join(work, "module.sock")
    proc = subprocess.Popen([os.path.join(bindir, "kelvord"), "--foreground", "-P", link, "-b", "115200",
                             "--socket", sock], stderr=subprocess.DEVNULL)
    try:
        wait_socket(sock, proc)
        subprocess.run([os.path.join(bindir, "orvanti-sim"), "--link", link, "--place", "3"], check=True)
        c = connect(sock)
        c.sendall(b'{"class":"command","command":"ES","p1":5,"flag":113}\n')
        reply = b""
        while b"\n" not in reply:
            reply += c.recv(65536)
        c.close()
        right = [0] * n

        def run(i):
            s = connect(sock)
            requests = b"".join(
                json.dumps({"class": "command", "id": [i, k], "command": "CT",
                            "p1": 5 if (i + k) % 2 == 0 else 1000 + i}).encode() + b"\n" for k in range(count))
            s.sendall(requests)
            buffer = b""
            k = 0
            while k < count:
                chunk = s.recv(65536)
                if not chunk:
                    break
                buffer += chunk
                while b"\n" in buffer and k < count:
                    line, buffer = buffer.split(b"\n", 1)
                    a = json.loads(line)
                    user = 5 if (i + k) % 2 == 0 else 1000 + i
                    if a.get("id") == [i, k] and a["values"].get("user_id") == user and \
                            a["result_name"] == ("ok" if user == 5 else "not_found"):
                        right[i] += 1
                    k += 1
            s.close()

        threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        took = time.perf_counter() - t0
        print("%d %d %.2f" % (sum(right), n * count, took))
    finally:
        proc.terminate()
        proc.wait()
        sim.terminate()
        sim.wait()


def mqtt(bindir, events):
    """A mosquitto of its own on a free port, kelvord publishing to it from a
    played line, one subscriber of the event topic: the delay from each
    packet's last byte to its arrival there."""
    import paho.mqtt.client as paho

    work = tempfile.mkdtemp(prefix="kelvord-bench-")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    broker = subprocess.Popen(["mosquitto", "-p", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    master, slave = pty.openpty()
    tty.setraw(slave)
    link = os.path.join(work, "line")
    os.symlink(os.ttyname(slave), link)
    arrived = {}
    ready = threading.Event()
    sub = paho.Client()
    sub.on_connect = lambda c, u, f, rc: c.subscribe("kelvor/line/#", 1)
    sub.on_subscribe = lambda c, u, mid, q: ready.set()

    def on_message(c, u, m):
        if m.topic == "kelvor/line/0/event":
            arrived.setdefault(json.loads(m.payload).get("user_id"), time.perf_counter())

    sub.on_message = on_message
    proc = None
    try:
        for _ in range(500):
            try:
                sub.connect("127.0.0.1", port)
                break
            except OSError:
                time.sleep(0.01)
        sub.loop_start()
        ready.wait(10)
        proc = subprocess.Popen([os.path.join(bindir, "kelvord"), "--foreground", "-P", link, "-b", "115200",
                                 "--heartbeat", "0", "--socket", os.path.join(work, "line.sock"),
                                 "--mqtt", "mqtt://127.0.0.1:%d" % port], stderr=subprocess.DEVNULL)
        answer_opening(master)
        time.sleep(0.5)
        delays = []
        for k in range(events):
            sent = time.perf_counter()
            os.write(master, packet(IS, k + 1, 900))
            deadline = time.monotonic() + 5
            while k + 1 not in arrived and time.monotonic() < deadline:
                time.sleep(0.0002)
            if k + 1 in arrived:
                delays.append((arrived[k + 1] - sent) * 1000)
        print("%d %d %.2f %.2f %.2f" % (len(delays), events, *percentiles(delays)))
    finally:
        sub.loop_stop()
        for p in (proc, broker):
            if p:
                p.terminate()
                p.wait()
        os.close(master)
        os.close(slave)


if __name__ == "__main__":
    mode, bindir = sys.argv[1], sys.argv[2]
    if mode == "mqtt":
        mqtt(bindir, int(sys.argv[3]))
    else:
        (watchers if mode == "watchers" else parallel)(bindir, int(sys.argv[3]), int(sys.argv[4]))
