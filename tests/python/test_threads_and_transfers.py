"""Threads sharing a module, two openings at once, a broadcast on a line of
several modules, transfers stopped halfway and Ctrl-C during an opening."""
import os
import signal
import threading
import time

import pytest

import kelvor
from conftest import Sim


def run_threads(*workers):
    """Runs the workers at once; re-raises the first failure of any of them."""
    failures = []
    start = threading.Barrier(len(workers))

    def wrap(work):
        try:
            start.wait()
            work()
        except BaseException as e:  # handed to the test's thread
            failures.append(e)

    threads = [threading.Thread(target=wrap, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    if failures:
        raise failures[0]


def test_threads_on_one_module_get_their_own_answers(sim):
    with kelvor.Module(sim.link, timeout_ms=3000) as m:
        m.write_parameter("security_level", 0x36)
        expected = {0x71: 0x35, 0x66: 0x36}
        wrong = []

        def reader(first):
            numbers = [first, 0x66 if first == 0x71 else 0x71]
            for i in range(150):
                number = numbers[i % 2]
                got = m.read_parameter(number)
                values = m.last_values
                if got != expected[number] or values.get("parameter") != number or values.get("value") != got:
                    wrong.append((number, got, values))

        run_threads(*(lambda f=first: reader(f) for first in (0x71, 0x66, 0x71, 0x66)))
        assert wrong == []


# A long call beside short ones: each keeps its own data, nothing of one
# reaches the other's answer or the module's text lines.
@pytest.mark.parametrize("long_call", ["read_log", "read_image"])
def test_a_long_call_beside_status(sim, long_call):
    sim.control("--place", "3")
    with kelvor.Module(sim.link, timeout_ms=3000) as m:
        m.enroll(5)
        for _ in range(5):
            m.verify(5)
        if long_call == "read_image":
            m.scan_image()
        reference = getattr(m, long_call)()
        assert reference
        stray = []

        def long_one():
            for _ in range(12):
                if getattr(m, long_call)() != reference or m.last_module_text:
                    stray.append(long_call)

        def short_one():
            for _ in range(150):
                if m.status().code != 0x30 or m.last_module_text or "records" in m.last_values:
                    stray.append("status")

        run_threads(long_one, short_one)
        assert stray == []


def test_a_call_from_inside_a_progress_callable_is_refused(sim):
    sim.control("--place", "3")
    with kelvor.Module(sim.link) as m:
        m.scan_image()  # the first scan, slow on a loaded machine
    with kelvor.Module(sim.link, timeout_ms=500) as m:
        refused = []

        def progress(done, total):
            try:
                m.status()
            except RuntimeError as e:
                refused.append(str(e))

        image = m.scan_image(chunked=4096, progress=progress)
        assert image.width == 256 and refused and "running on this thread" in refused[0]
        # Not caught, the refusal stops the transfer and comes out of the call.
        with pytest.raises(RuntimeError, match="running on this thread"):
            m.read_image(chunked=4096, progress=lambda done, total: m.status())
        assert m.status().code == 0x30


def test_two_openings_at_once_of_one_port_one_wins_of_two_ports_both(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    first, second = Sim(tmp_path / "a"), Sim(tmp_path / "b")
    try:
        for links, winners in (((first.link, first.link), 1), ((first.link, second.link), 2)) * 3:
            opened, refused = [], []

            def opener(link):
                try:
                    opened.append(kelvor.Module(link, timeout_ms=3000))
                except kelvor.PortOpen as e:
                    refused.append(e)

            run_threads(*(lambda link=link: opener(link) for link in links))
            assert len(opened) == winners and len(refused) == 2 - winners
            # The loser left the winner's port alone.
            for m in opened:
                assert m.status().code == 0x30
                m.close()
    finally:
        first.stop()
        second.stop()


def test_a_broadcast_awaits_no_answer_and_follows_a_parameter_write(tmp_path):
    bus = Sim(tmp_path, ["--modules", "1,2,7"])
    try:
        with kelvor.Module(bus.link, network=True, broadcast=True, timeout_ms=3000) as every:
            started = time.monotonic()
            every.write_parameter("security_level", 0x35)
            # Every module to hex text: the host follows, so the next broadcast is understood.
            every.write_parameter("ascii_packet", 0x31)
            every.write_parameter("security_level", 0x36)
            assert every.raw("SS") is None
            assert time.monotonic() - started < 2  # one read time-out would be 3 s
            with pytest.raises(kelvor.NotSupported, match="answer"):
                every.status()
        for module in (1, 2, 7):
            with kelvor.Module(bus.link, network=True, module_id=module, hex_text=True, timeout_ms=3000) as m:
                assert m.read_parameter("security_level") == 0x36
    finally:
        bus.stop()


class Stop(Exception):
    pass


def stop_at(call, ctrl_c=False):
    """A progress callable that raises at its call number `call` (from 1), or
    has the operator press Ctrl-C there."""
    calls = []

    def progress(done, total):
        calls.append(done)
        if len(calls) == call:
            if ctrl_c:
                os.kill(os.getpid(), signal.SIGINT)
            else:
                raise Stop()

    return progress


# A transfer stopped halfway leaves the module waiting (for a chunk, or for
# the acknowledgement of one); the next command must work all the same, with
# a read time-out shorter than the module's own waits.
FIRMWARE = bytes(range(256)) * 64


@pytest.mark.parametrize("stop, error", [
    (lambda m: m.scan_image(chunked=4096, progress=stop_at(1)), Stop),
    (lambda m: m.scan_image(chunked=4096, progress=stop_at(3)), Stop),
    (lambda m: m.read_image(chunked=True, progress=stop_at(2, ctrl_c=True)), KeyboardInterrupt),
    (lambda m: m.upgrade_firmware(FIRMWARE, progress=stop_at(1), chunk_size=1024), Stop),
    (lambda m: m.upgrade_firmware(FIRMWARE, progress=stop_at(4), chunk_size=1024), Stop),
    (lambda m: m.upgrade_firmware(FIRMWARE, progress=stop_at(3, ctrl_c=True), chunk_size=1024), KeyboardInterrupt),
])
def test_a_stopped_transfer_leaves_a_working_line(sim, stop, error):
    sim.control("--place", "3")
    # The simulator's first scan of a finger is slow on a loaded machine: it is
    # no part of the test, and has the default time-out.
    with kelvor.Module(sim.link) as m:
        m.scan_image()
        version = m.read_parameter("firmware_version")
    with kelvor.Module(sim.link, timeout_ms=500) as m:
        with pytest.raises(error):
            stop(m)
        assert m.status().code == 0x30
        assert m.read_parameter("firmware_version") == version  # a stopped upgrade installs nothing
        assert m.read_image(chunked=True).width == 256


def test_the_module_refuses_a_read_beyond_the_user_memory(sim):
    with kelvor.Module(sim.link) as m:
        end = m.user_memory_length()
        assert m.read_user_memory(end) == b""
        for call in (lambda: m.read_user_memory(end + 1), lambda: m.read_user_memory(9000, 0)):
            with pytest.raises(kelvor.NotSupported):
                call()
            assert m.last_message


def test_ctrl_c_while_opening(sim):
    sim.control("--fault", "slow:8000,times=1")
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            kelvor.Module(sim.link, timeout_ms=5000)
    finally:
        timer.cancel()
    assert time.monotonic() - started < 3
    assert not kelvor._kelvor.is_open()


def test_ctrl_c_ends_a_wait_under_a_handler_set_after_the_import(sim):
    # The package's handler goes in front of the interpreter's once; a handler
    # the program sets later takes its place, and the next call puts the
    # package's in front of it again: Ctrl-C still ends a wait, and the
    # program's handler is told too.
    seen = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: seen.append(number))
    try:
        with kelvor.Module(sim.link, 115200, timeout_ms=3000) as m:
            m.write_parameter("timeout_period", 0x5A)  # nine seconds
            sim.control("--place", "none")
            timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
            timer.start()
            started = time.monotonic()
            with pytest.raises(KeyboardInterrupt):
                m.identify()
            timer.join()
            assert time.monotonic() - started < 5
            assert seen == [signal.SIGINT]
            m.cancel()
            assert m.status().code == 0x30
    finally:
        signal.signal(signal.SIGINT, previous)
