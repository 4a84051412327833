"""Memory that no client can hold: answers that wait for a client count
against its buffer when they are made, a page of people is bounded, and a
client that asks for more than it reads is refused or dropped while the
service grows by at most 64 MiB."""
import json
import socket
import time
import unittest

import hostile
from rig import Rig

MIB = 1 << 20


def people(r, count, note):
    """`count` people of long notes in the service's directory, user IDs 1 up."""
    c = r.client()
    # In writes of 20, each answer read before the next: a client of its own
    # that wrote them all at once would not read its answers in time.
    for first in range(1, count + 1, 20):
        ids = range(first, min(first + 20, count + 1))
        c.send_raw(b"".join(json.dumps({"class": "person_set", "id": n, "user_id": n, "name": "Person %d" % n,
                                        "note": note}).encode() + b"\n" for n in ids))
        for n in ids:
            a = c.answer(timeout=60)
            assert a is not None and (a["class"], a["id"]) == ("person_set", n), a


def drain(sock, quiet=3.0, limit=60.0):
    """Everything the service sends until it closes the connection or stays
    quiet for `quiet` s: its lines, and whether it closed."""
    data = b""
    deadline = time.monotonic() + limit
    sock.settimeout(quiet)
    closed = False
    while time.monotonic() < deadline:
        try:
            chunk = sock.recv(1 << 20)
        except socket.timeout:
            break
        except ConnectionResetError:
            closed = True
            break
        if not chunk:
            closed = True
            break
        data += chunk
    return [json.loads(l) for l in data.split(b"\n") if l.strip()], closed


class AnswersCountWhereTheyAreSpent(unittest.TestCase):
    def test_many_large_answers_asked_for_in_one_write(self):
        r = Rig(self, daemon_args=["--directory", "people.db"])
        r.wait_open()
        # 300 people whose every answer of everyone is 1.3 MB of JSON.
        people(r, 300, "\n" * 1999 + "x")
        rows = [
            # name, the lines of one write
            ("SS and 1500 people", [{"class": "command", "command": "SS", "id": "ss"}] +
             [{"class": "people", "id": n} for n in range(1500)]),
            ("SS and 1500 pages of 5000", [{"class": "command", "command": "SS", "id": "ss"}] +
             [{"class": "people", "id": n, "limit": 5000} for n in range(1500)]),
        ]
        for name, requests in rows:
            with self.subTest(name):
                attacker = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                attacker.connect(r.sock)
                with hostile.PeakRss(r.daemon.pid) as rss, hostile.VersionProbe(r.sock) as probe:
                    attacker.sendall(b"".join(json.dumps(q).encode() + b"\n" for q in requests))
                    # It reads nothing while the line answers SS and the service answers the rest.
                    time.sleep(3)
                    lines, closed = drain(attacker)
                attacker.close()
                probe.check(self, bound=0.5)
                self.assertLessEqual(rss.growth, hostile.memory_bound(64 * MIB), "the service grew by %.1f MiB" % (rss.growth / MIB))
                pages = [a for a in lines if a["class"] == "people"]
                refused = [a for a in lines if a["class"] == "error"]
                # Dropped, or told that its answers do not fit: never 1500 pages held for it.
                self.assertTrue(closed or refused, "neither dropped nor refused")
                self.assertLess(len(pages), 1500)
                for a in pages:
                    self.assertLessEqual(len(json.dumps(a)), 1 << 19)
        # The service serves everyone as before.
        self.assertEqual(r.client().request({"class": "version", "id": 9})["id"], 9)


class PeoplePaged(unittest.TestCase):
    def test_pages_of_the_directory(self):
        r = Rig(self, daemon_args=["--directory", "people.db", "--client-buffer", "16384"])
        c = r.client()
        ids = [1, 2, 3, 7, 8, 40, 41, 500, 4294967294, 4294967295]
        for n in ids:
            c.request({"class": "person_set", "user_id": n, "name": "P%d" % n, "note": "n" * 1000 if n == 40 else ""})

        def walk(limit):
            """Every page from the first, following "next"."""
            out, after = [], None
            while True:
                q = {"class": "people", "id": len(out)}
                if limit:
                    q["limit"] = limit
                if after is not None:
                    q["after"] = after
                a = c.request(q)
                self.assertEqual(a["class"], "people", a)
                out.append([p["user_id"] for p in a["people"]])
                after = a["next"]
                if after is None:
                    return out

        rows = [
            # limit, the pages
            (None, [ids]),
            (3, [[1, 2, 3], [7, 8, 40], [41, 500, 4294967294], [4294967295]]),
            (1, [[n] for n in ids]),
            (10, [ids]),
        ]
        for limit, pages in rows:
            with self.subTest(limit=limit):
                self.assertEqual(walk(limit), pages)
        # A page past the last, and one after an ID nobody has.
        self.assertEqual(c.request({"class": "people", "after": 4294967295}), {"class": "people", "id": None,
                                                                                 "people": [], "next": None})
        self.assertEqual([p["user_id"] for p in c.request({"class": "people", "after": 9, "limit": 2})["people"]],
                         [40, 41])
        # A page ends before it passes half the client's buffer: long notes, fewer people a page.
        for n in range(100, 130):
            c.request({"class": "person_set", "user_id": n, "name": "Long %d" % n, "note": "x" * 1500})
        pages = walk(5000)
        self.assertGreater(len(pages), 1)
        self.assertEqual(sorted(sum(pages, [])), sorted(ids + list(range(100, 130))))


class AnswersThatDoNotFit(unittest.TestCase):
    def test_an_answer_larger_than_the_buffer_is_refused_and_the_client_goes_on(self):
        r = Rig(self, daemon_args=["--client-buffer", "8192"])
        r.wait_open()
        c = r.client()
        r.control("--place", "3")
        rows = [
            # request, a part of the error (None: answered as asked)
            ({"class": "command", "id": "image", "command": "ES", "p1": 5, "flag": 0x71, "read_image": True},
             "does not fit the client's buffer of 8192 bytes"),
            ({"class": "command", "id": "plain", "command": "CT", "p1": 5}, None),
            ({"class": "version", "id": "v"}, None),
        ]
        for request, message in rows:
            with self.subTest(request["id"]):
                a = c.request(request, timeout=60)
                self.assertEqual(a["id"], request["id"])
                if message is None:
                    self.assertNotEqual(a["class"], "error", a)
                else:
                    self.assertEqual(a["class"], "error", str(a)[:200])
                    self.assertIn(message, a["message"])
