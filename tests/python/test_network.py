"""The kelvor package on ports behind a network server: Debian's ser2net in
front of the simulated module, reached as rfc2217:// and socket://.

ser2net must be installed (the test command installs it): without it these
tests fail, they are never skipped.
"""
import errno
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest

import kelvor

SER2NET = shutil.which("ser2net") or shutil.which("ser2net", path="/usr/sbin:/sbin")


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
    def __init__(self, folder, device):
        if not SER2NET:
            pytest.fail("ser2net is not installed (Debian package ser2net): the network port tests cannot run")
        self.telnet, self.raw = free_port(), free_port()
        options = "  options:\n    kickolduser: true\n    chardelay: false\n"
        connector = f"  connector: serialdev,{device},115200n81,local\n"
        config = os.path.join(str(folder), "ser2net.yaml")
        with open(config, "w") as f:
            f.write("%YAML 1.1\n---\n"
                    f"connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{self.telnet}\n"
                    + connector + options +
                    f"connection: &raw\n  accepter: tcp,127.0.0.1,{self.raw}\n" + connector + options)
        self.log = open(os.path.join(str(folder), "ser2net.log"), "w")
        self.proc = subprocess.Popen([SER2NET, "-n", "-d", "-c", config, "-P", config + ".pid"],
                                     stdout=self.log, stderr=self.log)
        deadline = time.monotonic() + 10
        while not (listening(self.telnet) and listening(self.raw)):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("ser2net did not come up")
            time.sleep(0.02)

    @property
    def rfc2217(self):
        return f"rfc2217://127.0.0.1:{self.telnet}"

    @property
    def socket(self):
        return f"socket://127.0.0.1:{self.raw}"

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(10)
        self.log.close()


@pytest.fixture
def server(sim, tmp_path):
    s = Ser2net(tmp_path, sim.link)
    yield s
    s.stop()


def settle():
    # ser2net closes the device a few milliseconds after its client; the
    # other accepter of the same device refuses a connection meanwhile.
    time.sleep(0.15)


@pytest.mark.parametrize("kind", ["rfc2217", "socket"])
def test_a_session_over_the_network(sim, server, kind, tmp_path):
    sim.control("--place", "6")
    with kelvor.Module(getattr(server, kind), 115200, timeout_ms=3000) as m:
        assert m.status().name == "module_is_in_normal_condition"
        assert m.read_parameter("baudrate") == 0x35
        assert m.enroll(6) == 6
        assert m.identify().user_id == 6
        image = m.scan_image(chunked=True)
        path = tmp_path / "six.bmp"
        image.save_bmp(path)
        assert m.identify_image(kelvor.Image.from_bmp(path)).user_id == 6


def test_a_baud_rate_change_is_followed_over_rfc2217(sim, server):
    with kelvor.Module(server.rfc2217, 115200, timeout_ms=3000) as m:
        m.write_parameter("baudrate", 0x34)
        assert m.read_parameter("baudrate") == 0x34
        m.write_parameter("baudrate", 0x35)
        assert m.status().code == 0x30
    settle()
    with kelvor.Module(server.socket, 115200, timeout_ms=3000) as m:
        assert m.read_parameter("baudrate") == 0x35


def test_a_server_that_goes_is_a_link_failure(sim, server):
    sim.control("--place", "2")
    with kelvor.Module(server.rfc2217, 115200, timeout_ms=2000) as m:
        threading.Timer(0.3, server.stop, (signal.SIGKILL,)).start()
        started = time.monotonic()
        with pytest.raises(kelvor.LinkError):
            for _ in range(200):
                m.scan_image()
        assert time.monotonic() - started < 10


def test_openings_that_fail_say_why():
    closed = free_port()
    with pytest.raises(kelvor.PortOpen) as refused:
        kelvor.Module(f"rfc2217://127.0.0.1:{closed}", 115200)
    assert refused.value.errno == errno.ECONNREFUSED
    assert refused.value.reason.startswith(f"Connection refused by 127.0.0.1:{closed}")
    with pytest.raises(kelvor.PortOpen) as bad:
        kelvor.Module("rfc2217://[::1]", 115200)
    assert bad.value.errno == errno.EINVAL
    assert "the port number is missing" in bad.value.reason
    with pytest.raises(kelvor.PortOpen) as unknown:
        kelvor.Module("socket://nosuchhost.invalid:4001", 115200)
    assert unknown.value.reason.startswith("Unknown host nosuchhost.invalid")
