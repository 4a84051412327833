"""The files kelvord trusts: its directory of people and its token file. A
file that another user may write or owns, one reached through a symbolic
link, or one in a directory where anyone may swap it, is refused before the
service serves, with the reason; a good one is taken, and a new directory file
is the service's user's alone."""
import os
import subprocess
import time
import unittest

import rig
from rig import Rig

NOBODY = 65534
TOKEN = "s3cret-token-of-the-file-test\n"


def make(path, mode, text="", owner=None):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(text)
    os.chmod(path, mode)
    if owner is not None:
        os.chown(path, owner, owner)


# (name, how the file is laid out in folder F: a function of (F, its path), what the
# error says; None: the service starts). The folder itself is mode 0700 unless a row changes it.
def plain(mode, owner=None):
    return lambda folder, path, text: make(path, mode, text, owner)


def symlink(folder, path, text):
    make(path + ".real", 0o600, text)
    os.symlink(os.path.basename(path) + ".real", path)


def in_folder(mode, owner=None):
    def lay(folder, path, text):
        os.chmod(folder, mode)
        if owner is not None:
            os.chown(folder, owner, owner)
        make(path, 0o600, text)
    return lay


ROWS = [
    ("mode 0666", plain(0o666), "may be written by others (mode 0666"),
    ("mode 0620", plain(0o620), "may be written by others (mode 0620"),
    ("owned by uid 65534", plain(0o600, NOBODY), "belongs to user nobody (uid 65534)"),
    ("a symbolic link", symlink, "a symbolic link, which is not followed"),
    ("in a folder anyone may write", in_folder(0o777), "which anyone may write (mode 0777, no sticky bit)"),
    ("in a folder anyone may write, sticky", in_folder(0o1777), None),
    ("in a folder of uid 65534", in_folder(0o755, NOBODY), "which belongs to user nobody (uid 65534)"),
    ("mode 0600", plain(0o600), None),
]


class FilesTheServiceTrusts(unittest.TestCase):
    def run_daemon(self, r, args, umask=None):
        """kelvord started on the rig's line: (exit status or None while it runs, its standard error)."""
        sock = os.path.join(r.dir, "L.sock")
        log = os.path.join(r.dir, "err-%d" % time.monotonic_ns())
        with open(log, "wb") as err:
            p = subprocess.Popen([os.path.join(rig.BIN, "kelvord"), "--foreground", "-P", r.link, "-b", "115200",
                                  "--socket", sock, *args], stdout=subprocess.DEVNULL, stderr=err,
                                 cwd=r.dir, preexec_fn=(lambda: os.umask(umask)) if umask is not None else None)
        try:
            rig.wait_for(lambda: os.path.exists(sock) or p.poll() is not None, 20, "kelvord to serve or end")
            status = p.poll()
        finally:
            if p.poll() is None:
                p.terminate()
                p.wait(10)
        with open(log, encoding="utf-8", errors="replace") as f:
            return status, f.read(), sock

    def test_each_state_of_each_file(self):
        for kind, name, args in (("the directory", "people.db", lambda p: ["--directory", p]),
                                 ("the token file", "token", lambda p: ["--http", "0", "--token-file", p])):
            for row, lay, refusal in ROWS:
                with self.subTest(file=kind, state=row):
                    r = Rig(self, start=False)
                    folder = os.path.join(r.dir, "files")
                    os.mkdir(folder, 0o700)
                    path = os.path.join(folder, name)
                    lay(folder, path, TOKEN if name == "token" else "")
                    status, said, sock = self.run_daemon(r, args(path))
                    if refusal is None:
                        self.assertIsNone(status, said)  # serving
                    else:
                        self.assertIsNotNone(status, "started with %s %s" % (kind, row))
                        self.assertNotEqual(status, 0)
                        self.assertIn(kind + " " + path, said)
                        self.assertIn(refusal, said)
                        self.assertFalse(os.path.exists(sock), "it listened before it refused")
                    os.chown(folder, 0, 0)
                    os.chmod(folder, 0o700)

    def test_a_new_directory_file_is_the_services_alone(self):
        r = Rig(self, start=False)
        path = os.path.join(r.dir, "people.db")
        status, said, _ = self.run_daemon(r, ["--directory", path], umask=0)
        self.assertIsNone(status, said)
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
