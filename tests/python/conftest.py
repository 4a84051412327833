"""A simulated module for each test: orvanti-sim on a link in a scratch directory.

KELVOR_BIN names the folder of orvanti-sim; the kelvor package comes from
PYTHONPATH (the build tree's python folder, or an installed one).
"""
import os
import signal
import subprocess
import time

import pytest

BIN = os.environ.get("KELVOR_BIN", "")


class Sim:
    def __init__(self, folder, extra=()):
        self.dir = str(folder)
        self.link = os.path.join(self.dir, "L")
        self.state = os.path.join(self.dir, "state.db")
        self.extra = list(extra)
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(
            [os.path.join(BIN, "orvanti-sim"), "--link", self.link, "--state", self.state, *self.extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        # Ready once the link leads to the pseudo-terminal (its control file comes before it).
        while not (os.path.exists(self.link + ".ctl") and os.path.exists(self.link)):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("the simulated module did not start")
            time.sleep(0.02)

    def control(self, *args):
        subprocess.run([os.path.join(BIN, "orvanti-sim"), "--link", self.link, *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(10)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


@pytest.fixture
def sim(tmp_path):
    s = Sim(tmp_path)
    yield s
    s.stop()
