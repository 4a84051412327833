"""Several Modules in one process, each on a simulated module of its own:
transfers at once with each answer right, calls on two Modules overlapping,
a trace handler per Module beside the process's, an interrupt that ends one
Module's wait and no other's."""
import logging
import os
import signal
import threading

import pytest

import kelvor
from conftest import Sim
from test_threads_and_transfers import run_threads

# A bound on every wait of the test's own threads: far beyond what a step takes.
WAIT = 60


@pytest.fixture
def sims(tmp_path):
    started = []

    def make(n):
        for i in range(n):
            (tmp_path / str(i)).mkdir()
            started.append(Sim(tmp_path / str(i)))
        return started

    yield make
    for s in started:
        s.stop()


def enrolled(sim, finger, user):
    """The simulator with `finger` placed and enrolled as `user`."""
    sim.control("--place", str(finger))
    with kelvor.Module(sim.link, timeout_ms=5000) as m:
        m.enroll(user)


@pytest.mark.parametrize("count", [2, 8])
def test_transfers_on_several_modules_at_once_each_get_their_own_answers(sims, count):
    lines = sims(count)
    users = [10 + i for i in range(count)]
    for i, s in enumerate(lines):
        enrolled(s, 3 + i, users[i])
    modules = [kelvor.Module(s.link, timeout_ms=5000) for s in lines]
    try:
        # What each module answers alone: each finger its own template. Every
        # scan differs a little from the one before (as a finger does), and
        # the image read after it is that scan's.
        templates = [m.read_templates(u) for m, u in zip(modules, users)]
        assert len({t[0] for t in templates}) == count
        wrong = []

        def work(i):
            m = modules[i]
            for round in range(3):
                scanned = m.scan_image()
                got = [m.read_image(chunked=True), m.read_templates(users[i]), m.identify().user_id,
                       m.last_values.get("user_id")]
                if got != [scanned, templates[i], users[i], users[i]] or scanned.width != 256:
                    wrong.append((i, round))

        run_threads(*(lambda i=i: work(i) for i in range(count)))
        assert wrong == []
    finally:
        for m in modules:
            m.close()


def test_a_module_answers_while_another_is_inside_its_call(sims):
    a_line, b_line = sims(2)
    a_line.control("--place", "3")
    with kelvor.Module(a_line.link, timeout_ms=5000) as a, kelvor.Module(b_line.link, timeout_ms=5000) as b:
        a.scan_image()
        inside, answered = threading.Event(), threading.Event()
        statuses = []

        # A's call holds A's line while B's calls are made: with one lock for
        # both, B's calls would wait for A's, which waits for them.
        def progress(done, total):
            inside.set()
            answered.wait(WAIT)

        def on_b():
            inside.wait(WAIT)
            statuses.extend(b.status().code for _ in range(20))
            statuses.append(b.read_parameter("firmware_version"))
            answered.set()

        image = []
        run_threads(lambda: image.append(a.read_image(chunked=4096, progress=progress)), on_b)
        assert answered.is_set() and statuses[:20] == [0x30] * 20 and image[0].width == 256


@pytest.mark.parametrize("how", ["interrupt", "ctrl_c"])
def test_an_interrupt_ends_the_wait_of_one_module_and_no_other(sims, how):
    a_line, b_line = sims(2)
    b_line.control("--place", "4")
    with kelvor.Module(a_line.link, timeout_ms=3000) as a, kelvor.Module(b_line.link, timeout_ms=5000) as b:
        reference = b.scan_image()
        a.write_parameter("timeout_period", 0x5A)  # nine seconds for a finger
        a_line.control("--place", "none")
        inside, a_ended = threading.Event(), threading.Event()

        # B is inside a transfer when A's wait is ended: an interrupt of B's
        # line would end B's next read too (it stays until the call is over).
        def progress(done, total):
            inside.set()
            a_ended.wait(WAIT)

        got = []
        b_thread = threading.Thread(target=lambda: got.append(b.read_image(chunked=4096, progress=progress)))
        b_thread.start()
        try:
            assert inside.wait(WAIT)
            if how == "interrupt":
                timer = threading.Timer(0.3, a.interrupt)
                error = kelvor.ReadTimeout
            else:
                timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
                error = KeyboardInterrupt
            timer.start()
            with pytest.raises(error):
                a.identify()
            timer.join()
        finally:
            a_ended.set()
            b_thread.join(WAIT)
        assert got == [reference]
        assert b.status().code == 0x30
        a.cancel()
        assert a.status().code == 0x30


def test_a_trace_handler_per_module_and_the_processes_for_the_rest(sims, caplog):
    a_line, b_line, c_line = sims(3)
    a_lines, b_lines = [], []
    types = kelvor.TRACE_CALL | kelvor.TRACE_COMM
    caplog.set_level(logging.DEBUG, logger="kelvor.process")
    kelvor.log_to_logging(types, "kelvor.process")
    try:
        with kelvor.Module(a_line.link) as a, kelvor.Module(b_line.link) as b, kelvor.Module(c_line.link) as c:
            a.trace_to(a_lines.append, types)
            b.trace_to(b_lines.append, types)
            caplog.clear()
            run_threads(lambda: [a.read_parameter("baudrate") for _ in range(30)],
                        lambda: [b.status() for _ in range(30)],
                        lambda: [c.log_count() for _ in range(30)])
            logged = [r.getMessage() for r in caplog.records if r.name == "kelvor.process"]
            for own, command, others in ((a_lines, "(SR)", ("(SS)", "(LN)")), (b_lines, "(SS)", ("(SR)", "(LN)")),
                                         (logged, "(LN)", ("(SR)", "(SS)"))):
                calls = [line for line in own if line.startswith("[API]")]
                assert len(calls) == 30 and all(command in line for line in calls), own[:4]
                assert not any(o in line for line in own for o in others)
            # Given back, A's trace is the process's again; None is standard error, 0 none at all.
            a.trace_as_process()
            b.trace_to(b_lines.append, 0)
            count = len(b_lines)
            a.status()
            b.status()
            assert any("(SS)" in r.getMessage() for r in caplog.records[-4:]) and len(b_lines) == count
            with pytest.raises(ValueError):
                a.trace_to(print, 0x40)
            with pytest.raises(TypeError):
                a.trace_to("stderr")
    finally:
        kelvor.trace_off()


def test_closing_one_module_leaves_the_others_open(sims):
    lines = sims(3)
    modules = [kelvor.Module(s.link) for s in lines]
    modules[1].close()
    with pytest.raises(ValueError, match="closed"):
        modules[1].status()
    assert [m.status().code for m in (modules[0], modules[2])] == [0x30, 0x30]
    # The port given back opens again, beside the others.
    with kelvor.Module(lines[1].link) as again:
        assert again.status().code == 0x30
    for m in modules:
        m.close()
