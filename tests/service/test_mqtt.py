#!/usr/bin/env python3
"""kelvord on a real MQTT broker: Debian's mosquitto on free localhost ports
with a configuration of the test's own (a plain listener, a TLS listener with
a password file, a TLS listener that wants a client certificate; the
certificates made with openssl at the start), and paho as the subscriber.

Checked: an identification of the simulated module on the event topic, the
same object a watcher of the socket gets, and its delay through the broker;
Home Assistant's discovery configurations (the fields it requires, their
templates rendered against real events); requests over MQTT answered on the
result topic, malformed ones with an error object; MQTT 5 request/response
(mosquitto_rr, and paho with correlation data), a backup seen by no one but
who asked it under the manual's ACL (docs/mqtt.md); the broker stopped and
started again with events in between, all delivered in order, and a queue
that overflows; the service killed, "offline" through its last will; the
line served while the broker is away.

A missing mosquitto, openssl or paho fails the test: it is no reason to skip.

Usage: test_mqtt.py --bin DIR --schema-dir DIR [unittest options]
"""
import argparse
import getpass
import json
import os
import pty
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig  # noqa: E402
from rig import Rig, wait_for  # noqa: E402

import jinja2  # noqa: E402
import paho.mqtt.client as paho  # noqa: E402
from paho.mqtt.packettypes import PacketTypes  # noqa: E402
from paho.mqtt.properties import Properties  # noqa: E402

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
LINE = "L"  # the topic level of the rig's link, named L


def command(name, id=None, **members):
    obj = {"class": "command", "command": name}
    if id is not None:
        obj["id"] = id
    obj.update(members)
    return obj


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*args, **kw):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60, **kw)


# The manual's broker ACL (docs/mqtt.md) for a line under the prefix kelvor, as a listener
# whose anonymous clients are the other clients of the site: they read what a
# line publishes for all and ask on its request topics; each reads and writes
# its own reply topics alone (by its client ID); the service (user kelvord)
# writes them all.
ACL = """\
topic read kelvor/+/status
topic read kelvor/+/state
topic read kelvor/+/result
topic read kelvor/+/+/event
topic read kelvor/+/+/identified
topic write kelvor/+/command
topic write kelvor/+/request
pattern readwrite kelvor/+/reply/%c/#

user kelvord
topic readwrite kelvor/#
topic write homeassistant/#
"""

# The largest message the test's broker takes (mosquitto's own default is
# unbounded): room for a request a little beyond the service's 8 MiB.
MAX_PACKET = 16 << 20


class Broker:
    """mosquitto in a scratch directory: `plain`, `tls` (user kelvord,
    password from a file), `certs` (a client certificate) and `acl` (the
    manual's ACL; kelvord with its password, the others anonymous) listeners."""

    USER, PASSWORD = "kelvord", "s3cret pass"

    def __init__(self, testcase):
        if not os.access(MOSQUITTO, os.X_OK):
            raise AssertionError("mosquitto is not installed (Debian: mosquitto, mosquitto-clients)")
        self.dir = tempfile.mkdtemp(prefix="kelvord-mqtt-")
        testcase.addCleanup(shutil.rmtree, self.dir, True)
        testcase.addCleanup(self.stop)
        self.plain, self.tls, self.certs, self.acl = free_port(), free_port(), free_port(), free_port()
        self.proc = None
        self.make_certificates()
        pwfile = self.path("passwords")
        run("mosquitto_passwd", "-b", "-c", pwfile, self.USER, self.PASSWORD)
        os.chmod(pwfile, 0o600)
        with open(self.path("kelvor.acl"), "w", encoding="utf-8") as f:
            f.write(ACL)
        tls = "cafile {ca}\ncertfile {crt}\nkeyfile {key}\n".format(
            ca=self.path("ca.crt"), crt=self.path("server.crt"), key=self.path("server.key"))
        with open(self.path("mosquitto.conf"), "w", encoding="utf-8") as f:
            f.write("per_listener_settings true\n"
                    "user {user}\n"
                    "persistence true\npersistence_location {dir}/\n"
                    "log_dest stderr\nlog_type error\nlog_type warning\n"
                    "max_packet_size {max_packet}\n"
                    "listener {plain} 127.0.0.1\nallow_anonymous true\n"
                    "listener {acl} 127.0.0.1\nallow_anonymous true\npassword_file {pw}\nacl_file {aclfile}\n"
                    "listener {tls} 127.0.0.1\nallow_anonymous false\npassword_file {pw}\n{tlsconf}"
                    "listener {certs} 127.0.0.1\nallow_anonymous false\nrequire_certificate true\n"
                    "use_identity_as_username true\n{tlsconf}"
                    .format(user=getpass.getuser(), dir=self.dir, plain=self.plain, tls=self.tls,
                            certs=self.certs, pw=pwfile, tlsconf=tls, max_packet=MAX_PACKET, acl=self.acl,
                            aclfile=self.path("kelvor.acl")))
        self.start()

    def path(self, name):
        return os.path.join(self.dir, name)

    def make_certificates(self):
        """A CA, the broker's certificate for 127.0.0.1 and a client's, all signed by it."""
        def ssl(*args):
            run("openssl", *args, cwd=self.dir)

        ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=kelvord test CA",
            "-keyout", "ca.key", "-out", "ca.crt")
        with open(self.path("san.ext"), "w", encoding="utf-8") as f:
            f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
        for name, cn in (("server", "127.0.0.1"), ("client", "kelvord-client")):
            ssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + cn, "-keyout", name + ".key",
                "-out", name + ".csr")
            ssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                "-days", "2", "-extfile", "san.ext", "-out", name + ".crt")
        for name in os.listdir(self.dir):
            os.chmod(self.path(name), 0o600)

    def start(self):
        self.log = open(self.path("mosquitto.log"), "ab")
        self.proc = subprocess.Popen([MOSQUITTO, "-c", self.path("mosquitto.conf")], stdout=self.log,
                                     stderr=self.log)

        def listening():
            if self.proc.poll() is not None:
                raise AssertionError("mosquitto ended: " + self.log_text())
            try:
                socket.create_connection(("127.0.0.1", self.certs), timeout=1).close()
                return True
            except OSError:
                return False

        wait_for(listening, 10, "mosquitto to listen")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
            self.log.close()

    def log_text(self):
        with open(self.path("mosquitto.log"), encoding="utf-8", errors="replace") as f:
            return f.read()

    def url(self, listener="plain"):
        return ("mqtt://127.0.0.1:%d" % self.plain if listener == "plain"
                else "mqtts://127.0.0.1:%d" % getattr(self, listener))


class Subscriber:
    """A paho client on the plain listener that keeps every message it gets,
    with the moment it came. A persistent session (QoS 1) keeps what is
    published while it reconnects to a broker that restarted."""

    def __init__(self, testcase, broker, topics=("kelvor/#", "homeassistant/#"), client_id=None, port=None):
        self.messages = []
        self.cond = threading.Condition()
        self.client = paho.Client(client_id=client_id or "", clean_session=client_id is None)
        self.refused = []  # the topics the broker would not subscribe it to
        self.client.reconnect_delay_set(0.05, 0.2)
        self.connected = threading.Event()

        def on_connect(client, userdata, flags, rc):
            if rc == 0:
                client.subscribe([(t, 1) for t in topics])

        def on_subscribe(client, userdata, mid, granted):
            self.refused.extend(t for t, g in zip(topics, granted) if g >= 0x80)
            self.connected.set()

        def on_message(client, userdata, m):
            now = time.perf_counter()
            with self.cond:
                self.messages.append((m.topic, m.payload, m.retain, now))
                self.cond.notify_all()

        self.client.on_connect = on_connect
        self.client.on_subscribe = on_subscribe
        self.client.on_message = on_message
        self.client.connect("127.0.0.1", port or broker.plain, keepalive=10)
        self.client.loop_start()
        testcase.addCleanup(self.close)
        if not self.connected.wait(10):
            raise AssertionError("the subscriber did not connect")

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()

    def wait(self, predicate, seconds=10, what="a message"):
        """The first message (topic, payload, retain, time) that `predicate` takes."""
        deadline = time.monotonic() + seconds
        with self.cond:
            while True:
                for m in self.messages:
                    if predicate(m):
                        return m
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no %s within %s s; got %s" % (
                        what, seconds, [(t, p[:200]) for t, p, _, _ in self.messages]))
                self.cond.wait(left)

    def payload(self, topic, seconds=10, where=lambda obj: True):
        """The first JSON object on `topic` that `where` takes."""
        def match(m):
            if m[0] != topic:
                return False
            try:
                return where(json.loads(m[1]))
            except ValueError:
                return False
        return json.loads(self.wait(match, seconds, "object on " + topic)[1])

    def text(self, topic, value, seconds=10):
        return self.wait(lambda m: m[0] == topic and m[1] == value.encode(), seconds, "%r on %s" % (value, topic))

    def on(self, topic):
        with self.cond:
            return [m for m in self.messages if m[0] == topic]

    def clear(self):
        with self.cond:
            self.messages.clear()


def publish(broker, topic, payload):
    """One message from a client of its own, QoS 1, waited for."""
    c = paho.Client()
    c.connect("127.0.0.1", broker.plain)
    c.loop_start()
    info = c.publish(topic, payload, qos=1)
    info.wait_for_publish()
    c.loop_stop()
    c.disconnect()


class Requester:
    """A client of MQTT 5 (paho) that asks with a response topic of its own,
    kelvor/L/reply/CLIENT_ID/..., and keeps what comes there (topic, payload,
    correlation data)."""

    def __init__(self, testcase, port, client_id):
        self.id = client_id
        self.messages = []
        self.cond = threading.Condition()
        self.client = paho.Client(client_id=client_id, protocol=paho.MQTTv5)
        subscribed = threading.Event()

        def on_connect(client, userdata, flags, rc, properties=None):
            client.subscribe(self.reply("#"), qos=1)

        def on_message(client, userdata, m):
            props = getattr(m, "properties", None)
            with self.cond:
                self.messages.append((m.topic, m.payload, getattr(props, "CorrelationData", None)))
                self.cond.notify_all()

        self.client.on_connect = on_connect
        self.client.on_subscribe = lambda *a: subscribed.set()
        self.client.on_message = on_message
        self.client.connect("127.0.0.1", port, keepalive=10)
        self.client.loop_start()
        testcase.addCleanup(self.close)
        if not subscribed.wait(10):
            raise AssertionError("the requester did not subscribe")

    def reply(self, leaf):
        return "kelvor/%s/reply/%s/%s" % (LINE, self.id, leaf)

    def ask(self, obj, response_topic=None, correlation=None, on=None):
        props = Properties(PacketTypes.PUBLISH)
        if response_topic is not None:
            props.ResponseTopic = response_topic
        if correlation is not None:
            props.CorrelationData = correlation
        payload = obj if isinstance(obj, bytes) else json.dumps(obj)
        self.client.publish(on or topic("request"), payload, qos=1, properties=props).wait_for_publish(10)

    def answer(self, where, seconds=30):
        """The first message (topic, object, correlation) that `where` takes."""
        deadline = time.monotonic() + seconds
        with self.cond:
            while True:
                for t, p, c in self.messages:
                    obj = json.loads(p)
                    if where(t, obj):
                        return t, obj, c
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no answer within %s s; got %s" % (seconds, self.messages))
                self.cond.wait(left)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def topic(kind, module=0, prefix="kelvor"):
    return "%s/%s/%d/%s" % (prefix, LINE, module, kind) if kind in ("event", "identified") else \
        "%s/%s/%s" % (prefix, LINE, kind)


def enroll(r, c, user=5, finger=3):
    r.control("--place", str(finger))
    a = c.request(command("ES", p1=user, flag=0x71))
    assert a["outcome"] == "ok", a


def free_scan(c):
    a = c.request(command("SW", flag=0x84, p2=0x31))
    assert a["outcome"] == "ok", a


def render(template, value_json):
    """A value template of the discovery configurations, as Home Assistant renders it (the
    filters it uses are Jinja's own)."""
    env = jinja2.Environment()
    return env.from_string(template).render(value_json=value_json).strip()


class Publishing(unittest.TestCase):
    def test_identification_discovery_and_the_line_state(self):
        b = Broker(self)
        s = Subscriber(self, b)
        r = Rig(self, start=False)
        r.start_daemon(("--mqtt", b.url(), "--directory", os.path.join(r.dir, "people.db")))
        s.text(topic("status"), "online")
        state = s.payload(topic("state"))
        self.assertEqual((state["class"], state["kind"], state["state"]), ("event", "line", "open"))
        c = r.client()
        w = r.client()
        w.request({"class": "watch"})
        enroll(r, c)
        free_scan(c)
        r.control("--place", "3")
        socket_event = w.event(kind="identify")
        event = s.payload(topic("event"), where=lambda o: o["kind"] == "identify")
        # The very object a watcher of the socket gets.
        self.assertEqual(event, socket_event)
        self.assertEqual((event["user_id"], event["module_id"]), (5, None))
        self.assertEqual(s.payload(topic("identified")), event)
        r.control("--place", "7")
        self.assertEqual(s.payload(topic("event"), where=lambda o: o["kind"] == "not_found"),
                         w.event(kind="not_found"))
        # A person the directory names: the name comes with the event, and the
        # sensor shows it.
        self.assertEqual(c.request({"class": "person_set", "user_id": 5, "name": "Ann Lee"})["class"], "person_set")
        r.control("--place", "3")
        named = s.payload(topic("event"), where=lambda o: o.get("name") == "Ann Lee")
        self.assertEqual(named, w.event(kind="identify"))
        self.assertEqual(s.payload(topic("identified"), where=lambda o: "name" in o), named)

        # Home Assistant's view: three configurations, retained, for module 0 (a
        # single-module line), each pointing at topics that carry what it renders.
        # A client that comes later (Home Assistant started after the service)
        # gets them as they are retained.
        late = Subscriber(self, b, topics=("homeassistant/#",))
        late.wait(lambda m: m[0].endswith("/line/config"), what="the configurations")
        time.sleep(0.2)
        configs = {}
        for t, p, retain, _ in list(late.messages):
            self.assertTrue(retain, t)
            configs[t] = json.loads(p)
        self.assertEqual(sorted(configs), sorted("homeassistant/%s/kelvor_L_0/%s/config" % (c, o) for c, o in (
            ("sensor", "person"), ("event", "identification"), ("binary_sensor", "line"))))
        ids = set()
        for t, cfg in configs.items():
            self.assertTrue(cfg["name"] and cfg["unique_id"] and cfg["state_topic"], t)
            ids.add(cfg["unique_id"])
            self.assertEqual(cfg["device"]["identifiers"], ["kelvor_L_0"])
            self.assertEqual(cfg["availability"], [{"topic": topic("status"), "payload_available": "online",
                                                    "payload_not_available": "offline"}])
            self.assertEqual(cfg["origin"]["name"], "kelvord")
        self.assertEqual(len(ids), 3)
        person = configs["homeassistant/sensor/kelvor_L_0/person/config"]
        ident = configs["homeassistant/event/kelvor_L_0/identification/config"]
        line = configs["homeassistant/binary_sensor/kelvor_L_0/line/config"]
        self.assertEqual((person["state_topic"], ident["state_topic"], line["state_topic"]),
                         (topic("identified"), topic("event"), topic("state")))
        # The templates against real objects: the person by name where the
        # directory gives one, else by user ID; an identification as its kind,
        # anything else no event at all; the line on while it is open.
        self.assertEqual(render(person["value_template"], event), "5")
        self.assertEqual(render(person["value_template"], named), "Ann Lee")
        self.assertEqual(render(person["value_template"], dict(event, name="Ada Lovelace")), "Ada Lovelace")
        self.assertEqual(render(person["value_template"], dict(event, name="")), "5")
        fired = json.loads(render(ident["value_template"], event))
        self.assertEqual(fired["event_type"], "identify")
        self.assertIn(fired["event_type"], ident["event_types"])
        self.assertEqual(fired["user_id"], 5)
        self.assertEqual(render(ident["value_template"], {"class": "event", "kind": "text", "text": "x"}), "")
        self.assertEqual(set(ident["event_types"]), {"identify", "duress", "not_found", "scan_failed", "timeout"})
        self.assertEqual(line["device_class"], "connectivity")
        self.assertEqual([render(line["value_template"], dict(state, state=v)) for v in ("open", "reopened", "lost")],
                         ["ON", "ON", "OFF"])

    def test_prefix_and_modules_of_a_line(self):
        b = Broker(self)
        s = Subscriber(self, b, topics=("site/+/#", "ha/#"))
        r = Rig(self, sim_args=("--modules", "2,7"),
                daemon_args=("--modules", "2,7", "--mqtt", b.url(), "--mqtt-prefix", "site/hall",
                             "--mqtt-discovery", "ha"))
        s.text("site/hall/L/status", "online")
        for m in (2, 7):
            cfg = json.loads(s.wait(lambda x: x[0] == "ha/sensor/site_hall_L_%d/person/config" % m)[1])
            self.assertEqual(cfg["state_topic"], "site/hall/L/%d/identified" % m)
        c = r.client()
        r.control("--place", "3", "--module", "7")
        self.assertEqual(c.request(command("ES", p1=5, flag=0x71, module_id=7))["outcome"], "ok")
        self.assertEqual(c.request(command("SW", flag=0x84, p2=0x31, module_id=7))["outcome"], "ok")
        r.control("--place", "3", "--module", "7")
        e = s.payload("site/hall/L/7/event", where=lambda o: o["kind"] == "identify")
        self.assertEqual((e["module_id"], e["user_id"]), (7, 5))


class Latency(unittest.TestCase):
    def test_an_identification_reaches_the_subscriber_within_50_ms(self):
        """From the packet's last byte on the line (a line the test plays itself
        on a pseudo-terminal) to the subscriber of the event topic."""
        b = Broker(self)
        s = Subscriber(self, b, topics=(topic("event"), topic("status")))
        delays = line_to_broker(rig.BIN, b, s, 40)
        median, p90, most = delays[len(delays) // 2], delays[int(len(delays) * 0.9)], delays[-1]
        print("\nevent, last byte to MQTT subscriber: median %.2f ms, 90%% %.2f ms, most %.2f ms" %
              (median, p90, most), file=sys.stderr)
        self.assertLess(median, 50)
        self.assertLess(p90, 50)


def line_to_broker(bindir, broker, sub, count):
    """kelvord on a pseudo-terminal the caller plays: `count` identifications
    written one after the other; the sorted delays (ms) from each packet's last
    byte to its arrival at `sub`."""
    def packet(cmd, p1=0, p2=0, flag=0x61):
        p = bytes([0x40]) + struct.pack("<BIIB", cmd, p1, p2, flag)
        return p + bytes([sum(p) & 0xFF, 0x0A])

    work = tempfile.mkdtemp(prefix="kelvord-mqtt-line-")
    master, slave = pty.openpty()
    tty.setraw(slave)
    link = os.path.join(work, LINE)
    os.symlink(os.ttyname(slave), link)
    proc = subprocess.Popen([os.path.join(bindir, "kelvord"), "--foreground", "-P", link, "-b", "115200",
                             "--heartbeat", "0", "--socket", os.path.join(work, "s"), "--mqtt", broker.url()],
                            stderr=subprocess.DEVNULL)
    try:
        # The opening: status checks and parameter reads, each answered.
        got, answered = b"", 0
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            import select
            ready, _, _ = select.select([master], [], [], 0.5)
            if not ready:
                if answered >= 3:
                    break
                continue
            got += os.read(master, 4096)
            while len(got) >= 13:
                os.write(master, packet(got[1], 0x30, 0x30))
                got = got[13:]
                answered += 1
        sub.text(topic("status"), "online")
        delays = []
        for k in range(count):
            sent = time.perf_counter()
            os.write(master, packet(0x11, k + 1, 900))
            m = sub.wait(lambda m: m[0] == topic("event") and json.loads(m[1]).get("user_id") == k + 1, 5,
                         "identification %d" % (k + 1))
            delays.append((m[3] - sent) * 1000)
            time.sleep(0.02)
        return sorted(delays)
    finally:
        proc.terminate()
        proc.wait(10)
        os.close(master)
        os.close(slave)
        shutil.rmtree(work, True)


class Requests(unittest.TestCase):
    def test_requests_answered_on_the_result_topic(self):
        b = Broker(self)
        s = Subscriber(self, b)
        Rig(self, daemon_args=("--mqtt", b.url(), "--mqtt-commands"))
        s.text(topic("status"), "online")
        publish(b, topic("command"), json.dumps(command("SS", id="ss-1")))
        a = s.payload(topic("result"), where=lambda o: o.get("id") == "ss-1")
        self.assertEqual((a["class"], a["command"], a["outcome"]), ("command", "SS", "ok"))
        rig.check(a)
        publish(b, topic("command"), json.dumps({"class": "devices", "id": 2}))
        self.assertEqual(s.payload(topic("result"), where=lambda o: o.get("id") == 2)["state"], "open")
        # Malformed requests: each an error object with the id where one could be
        # read; the service goes on.
        malformed = [
            (b"not json", None, "JSON"),
            (b"", None, None),
            (b"[1,2]", None, None),
            (b'{"class":"nonsense","id":"u"}', "u", "class"),
            (b'{"class":"command","id":"t","command":"SS","p1":"x"}', "t", "p1"),
            (b'{"class":"command","id":"n","command":"NOPE"}', "n", None),
            (b'{"class":"watch","id":"w"}', "w", "watch"),
            (b'{"class":"auth","id":"a","token":"0123456789abcdef"}', "a", "token"),
            (b"\xff\xfe\x00{", None, None),
            (b'{"class":"command","id":' + b"[" * 10000 + b"]" * 10000 + b"}", None, None),
        ]
        for payload, id_, word in malformed:
            s.clear()
            publish(b, topic("command"), payload)
            e = s.payload(topic("result"))
            self.assertEqual(e["class"], "error", payload[:60])
            rig.check(e)
            if id_ is not None:
                self.assertEqual(e["id"], id_, payload[:60])
            if word:
                self.assertIn(word, e["message"], payload[:60])
        s.clear()
        publish(b, topic("command"), b"x" * (9 << 20))
        self.assertIn("longer than", s.payload(topic("result"))["message"])
        publish(b, topic("command"), json.dumps(command("SS", id="after")))
        self.assertEqual(s.payload(topic("result"), where=lambda o: o.get("id") == "after")["outcome"], "ok")

    def test_requests_refused_without_mqtt_commands(self):
        b = Broker(self)
        s = Subscriber(self, b)
        r = Rig(self, daemon_args=("--mqtt", b.url()))
        s.text(topic("status"), "online")
        r.control("--fault", "none")
        # Refused unread: not even the id is taken from it.
        publish(b, topic("command"), json.dumps(command("DA", id="d")))
        e = s.payload(topic("result"))
        self.assertEqual((e["class"], e["id"]), ("error", None))
        self.assertIn("--mqtt-commands", e["message"])
        # An MQTT 5 requester hears it on its own response topic.
        q = Requester(self, b.plain, "off-1")
        q.ask(command("DA", id="d"), q.reply("1"), b"c-1")
        t, e, corr = q.answer(lambda t, o: True)
        self.assertEqual((t, e["class"], e["id"], corr), (q.reply("1"), "error", None, b"c-1"))
        self.assertIn("--mqtt-commands", e["message"])


class RequestResponse(unittest.TestCase):
    """MQTT 5: answers on the request's response topic with its correlation
    data; biometric data on no other topic."""

    def test_mosquitto_rr_and_the_response_topics_of_requests(self):
        b = Broker(self)
        s = Subscriber(self, b, topics=(topic("result"), topic("status")))
        Rig(self, daemon_args=("--mqtt", b.url(), "--mqtt-commands"))
        s.text(topic("status"), "online")
        # mosquitto_rr, as a shell script would ask, on both request topics.
        for on in ("request", "command"):
            with self.subTest(mosquitto_rr=on):
                p = subprocess.run(["mosquitto_rr", "-V", "5", "-h", "127.0.0.1", "-p", str(b.plain), "-t",
                                    topic(on), "-e", "kelvor/L/reply/rr/" + on, "-W", "20", "-m",
                                    '{"class":"command","command":"SS"}'],
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual(p.returncode, 0, p.stderr)
                a = json.loads(p.stdout)
                self.assertEqual((a["class"], a["command"], a["outcome"]), ("command", "SS", "ok"))
                rig.check(a)
        q = Requester(self, b.plain, "asker")
        # Each row: the request, its response topic and correlation data; where the
        # answer goes (the response topic, or the result topic for a refusal) and a
        # word of the refusal (None: answered).
        rows = [
            (command("SS", id="s1"), q.reply("s1"), b"\x00corr\xff", q.reply("s1"), None),
            (command("SS", id="s2"), q.reply("s2"), None, q.reply("s2"), None),
            ({"class": "version", "id": "v"}, q.reply("v"), b"v" * 1024, q.reply("v"), None),
            ({"class": "backup", "id": "b-open"}, None, None, topic("result"), "response topic"),
            (command("RT", id="rt-open", p1=5, output_file="u.tpl"), None, None, topic("result"),
             "biometric"),
            (command("SS", id="wild"), "kelvor/L/reply/asker/+", b"w", topic("result"), "wildcards"),
            (command("SS", id="hash"), "kelvor/#", b"w", topic("result"), "wildcards"),
            (command("SS", id="loop"), topic("request"), b"w", topic("result"), "topic of the requests"),
            (command("SS", id="long"), q.reply("x" * 600), b"w", topic("result"), "1 to 512"),
            (command("SS", id="corr"), q.reply("corr"), b"c" * 1025, topic("result"), "correlation data"),
            (command("NOPE", id="bad"), q.reply("bad"), b"b", q.reply("bad"), "keyword"),
        ]
        for obj, response, corr, where, refusal in rows:
            with self.subTest(id=obj["id"]):
                s.clear()
                q.ask(obj, response, corr)
                if where == topic("result"):
                    e = s.payload(topic("result"))
                    # Refused before it was read: no id, and nothing of its data.
                    self.assertEqual(e["class"], "error")
                    self.assertIn(refusal, e["message"])
                    self.assertIn(e["id"], (None, obj["id"]))
                    continue
                t, a, c = q.answer(lambda t, o: t == where)
                self.assertEqual(c, corr)
                self.assertEqual(a["id"], obj["id"])
                if refusal:
                    self.assertEqual(a["class"], "error")
                    self.assertIn(refusal, a["message"])
                else:
                    self.assertNotEqual(a["class"], "error", a)
                # Answered there alone.
                time.sleep(0.2)
                self.assertEqual(s.on(topic("result")), [])

    def test_a_backup_seen_by_no_one_but_who_asked_it(self):
        """Under the manual's ACL a client that subscribes to everything it may
        (#, the result topic, another client's replies) sees no template of a
        backup another client asked with its response topic."""
        b = Broker(self)
        r = Rig(self, start=False)
        creds = os.path.join(r.dir, "creds")
        with open(creds, "w", encoding="utf-8") as f:
            f.write("%s\n%s\n" % (Broker.USER, Broker.PASSWORD))
        os.chmod(creds, 0o600)
        r.start_daemon(("--mqtt", "mqtt://127.0.0.1:%d" % b.acl, "--mqtt-credentials", creds, "--mqtt-commands"))
        eve = Subscriber(self, b, topics=("#", topic("result"), "kelvor/L/reply/asker/#"), client_id="eve",
                         port=b.acl)
        eve.text(topic("status"), "online")
        self.assertEqual(eve.refused, [])  # the broker filters what it delivers, not what it subscribes
        c = r.client()
        enroll(r, c, 5, 3)
        enroll(r, c, 6, 4)
        q = Requester(self, b.acl, "asker")
        q.ask({"class": "backup", "id": "b1"}, q.reply("b1"), b"b1")
        _, a, corr = q.answer(lambda t, o: o.get("id") == "b1", 60)
        self.assertEqual((a["class"], corr), ("backup", b"b1"), a)
        data = [f["data"] for f in a["files"] if f["data"]]
        self.assertGreaterEqual(len(data), 3, a["files"])  # the manifest and a file per user
        # The same backup without a response topic: refused on the result topic.
        q.ask({"class": "backup", "id": "b2"})
        refused = eve.payload(topic("result"))
        self.assertEqual((refused["class"], refused["id"]), ("error", "b2"))
        self.assertIn("response topic", refused["message"])
        time.sleep(0.5)
        got = [m[1] for m in list(eve.messages)]
        self.assertTrue(any(m[0] == topic("status") for m in eve.messages))
        for m in list(eve.messages):
            self.assertFalse(m[0].startswith("kelvor/L/reply/"), m[0])
            self.assertNotIn(b'"class":"backup"', m[1], m[0])
        for d in data:
            self.assertFalse(any(d.encode() in p for p in got), "a file of the backup reached the other client")


class Security(unittest.TestCase):
    def secret(self, r, name, text, mode=0o600):
        path = os.path.join(r.dir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def test_tls_with_a_password_and_with_a_client_certificate(self):
        b = Broker(self)
        s = Subscriber(self, b)
        r = Rig(self, start=False)
        creds = self.secret(r, "creds", "%s\n%s\n" % (Broker.USER, Broker.PASSWORD))
        r.start_daemon(("--mqtt", b.url("tls"), "--mqtt-ca", b.path("ca.crt"), "--mqtt-credentials", creds))
        s.text(topic("status"), "online")
        r.wait_log(r"mqtt: connected to 127\.0\.0\.1:%d" % b.tls)
        r.stop()
        s.text(topic("status"), "offline")
        s.clear()
        r.start_sim()
        r.start_daemon(("--mqtt", b.url("certs"), "--mqtt-ca", b.path("ca.crt"), "--mqtt-cert",
                        b.path("client.crt"), "--mqtt-key", b.path("client.key")))
        s.text(topic("status"), "online")

    def test_refusals_are_logged_and_the_line_served(self):
        b = Broker(self)
        r = Rig(self, start=False)
        bad = self.secret(r, "bad", "%s\nwrong\n" % Broker.USER)
        cases = [
            (("--mqtt", b.url("tls"), "--mqtt-ca", b.path("ca.crt"), "--mqtt-credentials", bad),
             r"refused the connection: .*(password|authori[sz]ed)"),
            (("--mqtt", b.url("tls")), r"TLS failed.*certificate verify failed"),
            (("--mqtt", "mqtt://127.0.0.1:%d" % b.tls), r"cannot connect to 127\.0\.0\.1:%d" % b.tls),
            (("--mqtt", "mqtt://127.0.0.1:%d" % free_port()), r"Connection refused"),
        ]
        for args, logged in cases:
            with self.subTest(args=args[:2]):
                r.start_daemon(args)
                r.wait_log(logged, 20)
                c = r.client()
                started = time.monotonic()
                self.assertEqual(c.request(command("SS"))["outcome"], "ok")
                self.assertLess(time.monotonic() - started, 1)
                r.stop()
                r.start_sim()

    def test_files_refused_at_the_start(self):
        b = Broker(self)
        r = Rig(self, start=False)
        kelvord = os.path.join(rig.BIN, "kelvord")
        open_creds = self.secret(r, "open", "u\np\n", 0o644)
        three = self.secret(r, "three", "u\np\nx\n")
        base = [kelvord, "--foreground", "-P", r.link, "-b", "115200", "--socket", os.path.join(r.dir, "s")]
        cases = [
            (["--mqtt", b.url(), "--mqtt-credentials", open_creds], 2, "may be read by others"),
            (["--mqtt", b.url(), "--mqtt-credentials", three], 2, "more than two lines"),
            (["--mqtt", b.url(), "--mqtt-credentials", os.path.join(r.dir, "none")], 2, "No such file"),
            (["--mqtt", b.url("tls"), "--mqtt-ca", os.path.join(r.dir, "none")], 2, "the CA file"),
            (["--mqtt", b.url(), "--mqtt-ca", b.path("ca.crt")], 2, "mqtts://"),
            (["--mqtt", "http://127.0.0.1"], 2, "mqtt://HOST"),
            (["--mqtt-commands"], 2, "go with --mqtt URL"),
            (["--mqtt", b.url(), "--mqtt-queue", "0"], 2, "1 to 1000000"),
            (["--mqtt", b.url(), "--mqtt-prefix", "a/+/b"], 2, "wildcards"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                p = subprocess.run(base + args, capture_output=True, text=True, timeout=30)
                self.assertEqual(p.returncode, status, p.stderr)
                self.assertIn(message, p.stderr)


def identified(sub):
    """The users of the identifications `sub` got, in order. QoS 1 is at least
    once: a message the broker took but could not acknowledge before it
    stopped comes again after the reconnection, the same object to the byte
    (its time included); such a copy is counted once."""
    seen, users = set(), []
    for m in sub.on(topic("event")):
        obj = json.loads(m[1])
        if obj["kind"] == "identify" and m[1] not in seen:
            seen.add(m[1])
            users.append(obj["user_id"])
    return users


class Outages(unittest.TestCase):
    def identifications(self, r, c, fingers):
        """Free-scan identifications of users 5 (finger 3) and 6 (finger 4), one after the other."""
        for f in fingers:
            r.control("--place", str(f))
            c.event(kind="identify", timeout=20)

    def test_broker_restarted_events_in_between_delivered_in_order(self):
        b = Broker(self)
        s = Subscriber(self, b, topics=(topic("event"), topic("status")), client_id="kelvord-test-sub")
        r = Rig(self, daemon_args=("--mqtt", b.url()))
        s.text(topic("status"), "online")
        c = r.client()
        enroll(r, c, 5, 3)
        enroll(r, c, 6, 4)
        free_scan(c)
        c.request({"class": "watch"})
        fingers = [3, 4, 4, 3, 4, 3, 3]
        self.identifications(r, c, fingers[:2])
        wait_for(lambda: len(identified(s)) == 2, 10, "the first two")
        b.stop()
        r.wait_log(r"mqtt: lost the broker")
        self.identifications(r, c, fingers[2:])
        # The line is served meanwhile.
        started = time.monotonic()
        self.assertEqual(c.request(command("SS"))["outcome"], "ok")
        self.assertLess(time.monotonic() - started, 1)
        b.start()
        r.wait_log(r"mqtt: connected to .*; 5 entries waited and go out now", 40)
        wait_for(lambda: len(identified(s)) >= len(fingers), 20, "every identification")
        self.assertEqual(identified(s), [5 if f == 3 else 6 for f in fingers])

    def test_a_full_queue_drops_the_oldest_and_says_so(self):
        b = Broker(self)
        s = Subscriber(self, b, topics=(topic("event"), topic("status")), client_id="kelvord-test-sub2")
        r = Rig(self, daemon_args=("--mqtt", b.url(), "--mqtt-queue", "2"))
        s.text(topic("status"), "online")
        c = r.client()
        enroll(r, c, 5, 3)
        enroll(r, c, 6, 4)
        free_scan(c)
        c.request({"class": "watch"})
        b.stop()
        r.wait_log(r"mqtt: lost the broker")
        self.identifications(r, c, [3, 3, 4, 3])
        r.wait_log(r"the oldest dropped, 1 since the start")
        b.start()
        r.wait_log(r"2 of the entries that waited were dropped", 40)
        wait_for(lambda: len(identified(s)) >= 2, 20, "the last two")
        time.sleep(0.5)
        self.assertEqual(identified(s), [6, 5])

    def test_killed_offline_by_the_last_will_stopped_offline_by_itself(self):
        b = Broker(self)
        s = Subscriber(self, b, topics=(topic("status"),))
        r = Rig(self, daemon_args=("--mqtt", b.url()))
        s.text(topic("status"), "online")
        s.clear()
        r.daemon.send_signal(signal.SIGKILL)
        r.daemon.wait(10)
        s.text(topic("status"), "offline", 5)
        # Retained: a client that comes later learns it too.
        late = Subscriber(self, b, topics=(topic("status"),))
        self.assertTrue(late.text(topic("status"), "offline")[2])
        r.log.close()
        r.start_daemon(("--mqtt", b.url()))
        s.text(topic("status"), "online")
        s.clear()
        r.daemon.terminate()
        r.daemon.wait(10)
        s.text(topic("status"), "offline", 5)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--schema-dir", required=True)
    args, rest = parser.parse_known_args()
    rig.setup(args.bin, args.schema_dir)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
