"""Hostile clients of the MQTT bridge: what any client of the broker may
publish on a line's request topics, with requests off (--mqtt-commands not
given: nothing of it is read) and on (parsed off the event loop, bounded in
size and in number). A local client's version on the Unix socket is answered
within 0.5 s while each attack runs."""
import sys
import time
import unittest

import rig
import test_mqtt as broker_rig
import hostile
from hostile import PeakRss, VersionProbe


def wide_object(keys=150000, cls="version"):
    """{"class":CLS,"aaaa":0,"aaab":0,...}: KEYS distinct members (1.35 MB at 150,000)."""
    letters = "abcdefghijklmnopqrstuvwxyz"
    names = ('"%s%s%s%s":0' % (letters[i // 17576 % 26], letters[i // 676 % 26], letters[i // 26 % 26],
                               letters[i % 26]) for i in range(keys))
    return ('{"class":"%s",' % cls + ",".join(names) + "}").encode()


# Each row: its name, whether kelvord takes requests, the messages published
# at once, and a word of the refusal the requester gets for the first (None:
# answered).
ROWS = [
    ("wide object, requests off", False, [wide_object()], "--mqtt-commands"),
    ("wide object, requests on", True, [wide_object()], None),
    ("wide command, requests on", True, [wide_object(cls="command")], None),
    ("a flood of small requests, requests on", True, [b'{"class":"version","id":%d}' % i for i in range(3000)],
     None),
    ("a flood of wide objects, requests off", False, [wide_object(20000)] * 200, "--mqtt-commands"),
]


class MqttPayloads(unittest.TestCase):
    def test_payloads_cost_the_loop_nothing(self):
        self.assertGreater(len(ROWS[0][2][0]), 1300000)
        for name, commands, messages, refusal in ROWS:
            with self.subTest(name):
                b = broker_rig.Broker(self)
                r = rig.Rig(self, daemon_args=("--mqtt", b.url(), *(("--mqtt-commands",) if commands else ())))
                r.wait_open()
                q = broker_rig.Requester(self, b.plain, "attacker")
                # Until the bridge has subscribed, a request would find no one.
                wait = q.reply("ready")
                rig.wait_for(lambda: self.ready(q, wait), 20, "the bridge's subscription")
                with q.cond:
                    q.messages.clear()
                with VersionProbe(r.sock) as probe, PeakRss(r.daemon.pid) as rss:
                    started = time.monotonic()
                    for i, m in enumerate(messages):
                        props = broker_rig.Properties(broker_rig.PacketTypes.PUBLISH)
                        props.ResponseTopic = q.reply("a")
                        props.CorrelationData = b"%d" % i
                        q.client.publish(broker_rig.topic("request"), m, qos=1, properties=props)
                    # Every message is answered or refused, or, beyond what may
                    # wait at once, its refusal dropped (counted in the log): the
                    # last one's answer, or the log's count, ends the attack. The
                    # loop's bound is the probe's; this one is the bridge's thread's,
                    # whose parse of 1.35 MB is linear (0.2 s a MiB at most).
                    last = b"%d" % (len(messages) - 1)
                    rig.wait_for(lambda: self.answered(q, last) or "refusals of requests dropped" in r.log_text(),
                                 30, "the attack's answers")
                    first = q.answer(lambda t, o: True)[1]
                    elapsed = time.monotonic() - started
                    time.sleep(0.3)
                probe.check(self, bound=0.5)
                self.assertLessEqual(rss.growth, hostile.memory_bound(64 << 20), "the service grew by %d bytes" % rss.growth)
                if refusal:
                    self.assertEqual((first["class"], first["id"]), ("error", None))
                    self.assertIn(refusal, first["message"])
                print("\n%s: %d message(s) settled in %.2f s, the probe's worst wait %.3f s" %
                      (name, len(messages), elapsed, probe.worst), file=sys.stderr)
                # The line still serves a request over MQTT.
                if commands:
                    q.ask({"class": "version", "id": "after"}, q.reply("after"), b"after")
                    self.assertEqual(q.answer(lambda t, o: o.get("id") == "after")[1]["class"], "version")
                r.stop()
                b.stop()

    @staticmethod
    def ready(q, reply):
        q.ask({"class": "version", "id": "ready"}, reply, b"ready")
        try:
            q.answer(lambda t, o: t == reply, 1)
            return True
        except AssertionError:
            return False

    @staticmethod
    def answered(q, correlation):
        with q.cond:
            return any(c == correlation for _, _, c in q.messages)

