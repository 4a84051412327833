"""The kelvor package against the simulated module."""
import ast
import datetime
import errno
import logging
import os
import signal
import threading
import time

import pytest

import kelvor


def open_module(sim, **options):
    options.setdefault("timeout_ms", 3000)
    return kelvor.Module(sim.link, 115200, **options)


def test_a_session_of_the_families(sim, tmp_path):
    sim.control("--place", "3")
    with open_module(sim) as m:
        assert m.status().name == "module_is_in_normal_condition"
        assert m.read_parameter("baudrate") == m.read_parameter(0x71) == 0x35
        assert m.enroll(5) == 5
        assert m.user_ids() == [5]
        assert m.template_count(5) == 1
        found = m.identify()
        assert found.user_id == 5 and found.score > 0
        assert m.verify(5) > 0

        # Image round trip: from the module, through a BMP file, back as an identification.
        image = m.scan_image()
        assert m.read_image(chunked=True) == image
        assert (image.width, image.height, len(image.pixels)) == (256, 288, 256 * 288)
        assert image.view()[0, 0] == image.pixels[0]
        path = tmp_path / "finger.bmp"
        image.save_bmp(path)
        assert kelvor.Image.from_bmp(path) == image
        assert m.identify_image(path).user_id == 5

        # Templates read out, the user deleted, the templates written back.
        templates = m.read_templates(5)
        assert len(templates) == 1 and len(templates[0]) > 0
        m.delete(5)
        assert m.user_ids() == []
        assert m.enroll_templates(5, templates) == 5
        assert m.read_templates(5) == templates
        assert [r.user_id for r in m.template_info()] == [5]

        # The clock as a datetime, and the log with times.
        when = datetime.datetime(2031, 5, 1, 8, 12, 30)
        m.clock = when
        assert m.clock is not None and abs((m.clock - when).total_seconds()) <= 2
        m.verify(5)
        records = m.read_log()
        assert records and records[-1].event_name == "Verify Success" and records[-1].value == 5
        assert isinstance(records[-1].time, datetime.datetime)
        assert abs((records[-1].time - when).total_seconds()) <= 5

        # Levels and user memory by name and value.
        m.set_admin_level(5, "delete")
        assert m.admin_level(5) == "delete"
        m.write_user_memory(b"kelvor", 16)
        assert m.read_user_memory(16, 6) == b"kelvor"
        assert m.raw("SS").flag == 0x61


# A refusal of the module raises the class named after the result.
@pytest.mark.parametrize("provoke, error, name", [
    (lambda m, sim: m.verify(77), kelvor.NotFound, "not_found"),
    (lambda m, sim: (sim.control("--place", "4"), m.verify(5)), kelvor.NotMatch, "not_match"),
    (lambda m, sim: m.enroll(5, option="check_id"), kelvor.IdAlreadyUsed, "id_already_used"),
    (lambda m, sim: (m.delete_all(), m.identify()), kelvor.NotFound, "not_found"),
    (lambda m, sim: m.write_parameter(0x6e, 1), kelvor.ModuleError, None),
])
def test_refusals_raise_their_class(sim, provoke, error, name):
    sim.control("--place", "3")
    with open_module(sim) as m:
        m.enroll(5)
        with pytest.raises(error) as caught:
            provoke(m, sim)
        assert isinstance(caught.value, kelvor.ModuleError)
        assert caught.value.code < 0 and caught.value.message
        if name:
            assert caught.value.name == name
        # Nothing is left over: the next command is answered as always.
        assert m.status().code == 0x30


# A failing line raises LinkError, an OSError with its errno.
@pytest.mark.parametrize("fault, error, err", [
    ("checksum", kelvor.Checksum, errno.EBADMSG),
    ("silence", kelvor.ReadTimeout, errno.ETIMEDOUT),
])
def test_line_faults_raise_link_errors(sim, fault, error, err):
    with open_module(sim, timeout_ms=300) as m:
        sim.control("--fault", fault + ",times=1")
        with pytest.raises(error) as caught:
            m.status()
        assert isinstance(caught.value, OSError) and caught.value.errno == err
        assert m.status().code == 0x30


def test_a_killed_module_and_a_missing_port(sim, tmp_path):
    m = open_module(sim, timeout_ms=300)
    sim.kill()
    with pytest.raises(kelvor.LinkError):
        m.status()
    m.close()
    with pytest.raises(kelvor.PortOpen) as caught:
        kelvor.Module(str(tmp_path / "nothing"))
    assert caught.value.errno == errno.ENOENT
    assert "No such device" in caught.value.reason


def test_one_module_per_port(sim):
    with open_module(sim) as m:
        with pytest.raises(kelvor.PortOpen):
            open_module(sim)
        assert m.status().code == 0x30
    with open_module(sim) as again:
        assert again.status().code == 0x30
    with pytest.raises(ValueError, match="closed"):
        again.status()


@pytest.mark.parametrize("call, error", [
    (lambda m: m.read_parameter("no such parameter"), ValueError),
    (lambda m: m.read_parameter(0x100), ValueError),
    (lambda m: m.verify(-1), ValueError),
    (lambda m: m.verify("5"), TypeError),
    (lambda m: m.identify(0, 1 << 16), ValueError),
    (lambda m: m.unlock(b"short"), ValueError),
    (lambda m: m.write_encryption_key(b"\0" * 31), ValueError),
    (lambda m: m.enroll(option="no such option"), ValueError),
    (lambda m: m.enroll_templates(1, [b"a" * 10, b"b" * 11]), ValueError),
    (lambda m: m.verify_host_templates([b"t"] * 11), ValueError),
    (lambda m: m.set_admin_level(1, "emperor"), ValueError),
    (lambda m: m.enroll_image(kelvor.Image(1, 1, b"\0"), 1, chunked=-1), ValueError),
    (lambda m: kelvor.Module("elsewhere", network=True), ValueError),
    (lambda m: kelvor.Module("elsewhere", baud=1234), ValueError),
    (lambda m: kelvor.Module("elsewhere", timeout_ms=0), ValueError),
    (lambda m: kelvor.Module("elsewhere", timeout_ms=600001), ValueError),
    (lambda m: m.upgrade_firmware(b"firmware", progress="x"), TypeError),
    (lambda m: m.upgrade_firmware(b""), ValueError),
    (lambda m: m.scan_image(chunked=True, progress=5), TypeError),
    (lambda m: m.read_log(start="1"), TypeError),
    (lambda m: m.read_user_memory(-1), ValueError),
    (lambda m: m.template_info(-1), ValueError),
])
def test_bad_arguments_send_nothing(sim, call, error):
    with open_module(sim) as m:
        sim.control("--fault", "checksum")  # anything sent would fail as a LinkError
        with pytest.raises(error):
            call(m)
        sim.control("--fault", "none")
        assert m.status().code == 0x30


def test_a_call_refused_before_sending_leaves_no_outcome_behind(sim):
    with open_module(sim) as m:
        for call in (lambda: m.verify(-1), lambda: m.upgrade_firmware(b""), lambda: m.read_parameter("none")):
            assert m.read_parameter(0x71) == 0x35 and m.last_values and m.last_message is None
            with pytest.raises(ValueError):
                call()
            assert (m.last_message, m.last_values, m.last_module_text) == (None, {}, [])


def test_images_and_their_files(tmp_path):
    with pytest.raises(ValueError):
        kelvor.Image(2, 2, b"\0" * 3)
    with pytest.raises(ValueError):
        kelvor.Image.from_bmp(tmp_path)  # a folder is no regular file
    (tmp_path / "bad.bmp").write_bytes(b"BM not really")
    with pytest.raises(ValueError):
        kelvor.Image.from_bmp(tmp_path / "bad.bmp")
    image = kelvor.Image(4, 2, bytes(range(8)))
    image.save_bmp(tmp_path / "small.bmp")
    assert kelvor.Image.from_bmp(tmp_path / "small.bmp") == image
    assert image.view().tolist()[1] == [4, 5, 6, 7]
    # A row is stored four bytes wide: the columns added on the right are black.
    kelvor.Image(3, 1, b"\x01\x02\x03").save_bmp(tmp_path / "odd.bmp")
    assert kelvor.Image.from_bmp(tmp_path / "odd.bmp") == kelvor.Image(4, 1, b"\x01\x02\x03\x00")


def test_progress_is_told_and_can_stop_a_transfer(sim):
    sim.control("--place", "3")
    with open_module(sim) as m:
        seen = []
        m.scan_image(chunked=4096, progress=lambda done, total: seen.append((done, total)))
        assert seen and seen[-1][0] == seen[-1][1] and all(a[0] <= b[0] for a, b in zip(seen, seen[1:]))

        class Enough(Exception):
            pass

        def stop(done, total):
            raise Enough()

        with pytest.raises(Enough):
            m.read_image(progress=stop)
        assert m.status().code == 0x30


def test_ctrl_c_ends_a_transfer_and_a_scan_wait(sim):
    sim.control("--place", "3")
    with open_module(sim) as m:
        def interrupt(done, total):
            os.kill(os.getpid(), signal.SIGINT)

        with pytest.raises(KeyboardInterrupt):
            m.scan_image(progress=interrupt)
        assert m.status().code == 0x30

        # A scan that waits for a finger: Ctrl-C ends the wait at once.
        m.write_parameter("timeout_period", 0x5A)  # nine seconds
        sim.control("--place", "none")
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            m.identify()
        assert time.monotonic() - started < 5
        # The module still waits for a finger: the wait is cancelled.
        m.cancel()
        assert m.status().code == 0x30
    # The port was given back: it opens again.
    with open_module(sim) as m:
        assert m.status().code == 0x30


def test_the_trace_goes_to_logging(sim, caplog):
    sim.control("--place", "3")
    kelvor.log_to_logging(kelvor.TRACE_ERROR | kelvor.TRACE_CALL)
    try:
        with caplog.at_level(logging.DEBUG, logger="kelvor"):
            with open_module(sim) as m:
                m.status()
                with pytest.raises(kelvor.NotFound):
                    m.verify(9)
    finally:
        kelvor.trace_off()
    lines = [(r.levelno, r.trace_type, r.getMessage()) for r in caplog.records]
    assert (logging.INFO, "call", "[API] Check system status(SS)") in lines
    assert any(level == logging.ERROR and kind == "error" and "Not found" in text for level, kind, text in lines)


def test_the_stubs_name_what_the_package_has():
    stubs = ast.parse(open(os.path.join(os.path.dirname(kelvor.__file__), "__init__.pyi")).read())
    top = set()
    methods = {}
    for node in stubs.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            top.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            top.add(node.target.id)
        elif isinstance(node, ast.Assign):
            top.update(t.id for t in node.targets if isinstance(t, ast.Name))
        if isinstance(node, ast.ClassDef):
            methods[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")} | {
                n.target.id for n in node.body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)}
            # What a class of the stubs has from its bases there.
            for base in node.bases:
                if isinstance(base, ast.Name) and base.id in methods:
                    methods[node.name] |= methods[base.id]
    top = {name for name in top if not name.startswith("_") or name == "__version__"}
    public = {name for name in vars(kelvor) if not name.startswith("_")} - {
        "annotations", "Any", "Callable", "Dict", "Iterable", "List", "NamedTuple", "Optional", "Sequence", "Tuple",
        "Union", "logger"}
    assert public - top == set(), "in the package, not in the stubs"
    assert top - public - {"logger", "__version__"} == set(), "in the stubs, not in the package"
    assert kelvor.__version__ == kelvor._kelvor.__version__
    for cls, names in methods.items():
        if cls.startswith("_"):
            continue
        klass = getattr(kelvor, cls)
        real = {n for n in dir(klass) if not n.startswith("_")}
        for base in klass.__mro__:
            real |= set(getattr(base, "__annotations__", {}))
        assert names - real == set(), f"{cls}: in the stubs only"
        if cls in ("Module", "Client"):
            assert real - names == set(), f"{cls}: in the package only"


def test_a_module_of_a_line_of_several(tmp_path):
    from conftest import Sim

    bus = Sim(tmp_path, ["--modules", "1,7"])
    try:
        with kelvor.Module(bus.link, network=True, module_id=7) as m:
            assert m.read_parameter("module_id") == 7
        with pytest.raises(kelvor.ReadTimeout):
            kelvor.Module(bus.link, network=True, module_id=3, timeout_ms=300)
        # A packet without a module ID: the modules answer at once, never cleanly.
        with pytest.raises(kelvor.LinkError):
            kelvor.Module(bus.link, timeout_ms=300)
    finally:
        bus.stop()


# What a setter writes, its getter reads back: the arguments reach the packet
# in their places (a swapped pair in the binding shows here).
@pytest.mark.parametrize("write, read, expected", [
    (lambda m: m.set_wiegand_config(1, function="output_matched_id", format=1, fc_bits=8, fc_code=0x55),
     lambda m: m.wiegand_config(1), kelvor.WiegandConfig("output_matched_id", 1, 8, 0x55)),
    (lambda m: m.set_output_port_config("out1", "enroll_success", delay=10, count=3, high=200, low=100),
     lambda m: m.output_port_config("out1", "enroll_success"), kelvor.OutputPortConfig(10, 3, 200, 100)),
    (lambda m: m.set_output_port_config(2, 0x27, delay=1, count=2, high=3, low=4),
     lambda m: m.enabled_events(2), ["verify_success"]),
    (lambda m: m.set_card_layout(kelvor.CardLayout(384, 3, 4, 24, 30, 24)),
     lambda m: m.card_layout(), kelvor.CardLayout(384, 3, 4, 24, 30, 24)),
    (lambda m: (m.set_wiegand_format(1), m.set_wiegand_io(1, 2, 3)), lambda m: m.wiegand_io(),
     kelvor.WiegandIo(1, 2, 3)),
    (lambda m: (m.set_wiegand_format(1), m.set_field_default(5, 0x1234)), lambda m: m.field_default(5), 0x1234),
    (lambda m: m.set_wiegand_format(3, pulse_width=100, pulse_interval=2000, data=b"\x01\x02\x03\x04"),
     lambda m: m.wiegand_format(), kelvor.WiegandFormat(3, 100, 2000, b"\x01\x02\x03\x04")),
    (lambda m: m.set_card_input_function("verify_template"), lambda m: m.card_input_function(), "verify_template"),
    (lambda m: (m.enroll(9), m.set_auth_policy(9, "wiegand_bypass")), lambda m: (m.auth_policy(9),
     m.users_with_policy("wiegand_bypass")), ("wiegand_bypass", [9])),
    (lambda m: m.write_parameter("security_level", 0x36), lambda m: m.read_parameter(0x66), 0x36),
    (lambda m: m.set_gpio_config(0, "output", [(0x81, 0x82, 0, 0)]), lambda m: m.gpio_config(0),
     ("output", [(0x81, 0x82, 0, 0)])),
    (lambda m: m.set_input_port_config(1, "enroll", 7), lambda m: m.input_port_config(1), ("enroll", 7)),
])
def test_settings_read_back_as_written(sim, write, read, expected):
    sim.control("--place", "3")
    with open_module(sim) as m:
        write(m)
        assert read(m) == expected


def test_templates_images_firmware_and_the_lock(sim, tmp_path):
    sim.control("--place", "3")
    with open_module(sim) as m:
        assert len(m.scan_template()) > 0
        m.enroll(4)
        (template,) = m.read_templates(4)
        m.delete(4)
        assert m.enroll_templates(4, template) == 4
        assert m.verify_template(4, template) > 0
        assert m.identify_template(template).user_id == 4
        m.verify_host_templates([template, template])
        image = m.scan_image()
        assert m.enroll_image(image, 6, chunked=True) == 6
        assert m.verify_image(6, image, chunked=512) > 0
        assert sorted(m.user_ids()) == [4, 6]
        m.delete_all()
        assert m.user_ids() == []

        # Firmware from a file, in chunks, with progress: the module's version goes up by one.
        before = m.read_parameter("firmware_version")
        (tmp_path / "fw.bin").write_bytes(bytes(range(256)) * 40)
        seen = []
        m.upgrade_firmware(tmp_path / "fw.bin", progress=lambda done, total: seen.append(done), chunk_size=1024)
        assert m.read_parameter("firmware_version") == before + 1
        assert seen and seen[-1] == 10240

        # The lock and the master password (sixteen '0' from the factory).
        m.lock()
        with pytest.raises(kelvor.ModuleError):
            m.enroll(1)
        m.unlock(b"0" * 16)
        m.change_password(b"0" * 16, b"kelvor-password!")
        m.lock()
        with pytest.raises(kelvor.ModuleError):
            m.unlock(b"0" * 16)
        m.unlock("kelvor-password!")
        assert m.status().code == 0x30


def test_wiegand_and_card_inputs(sim):
    sim.control("--place", "3")
    with open_module(sim) as m:
        m.enroll(21)
        sim.control("--wiegand", "21")
        assert m.verify_by_wiegand().user_id == 21
        sim.control("--wiegand", "33")
        assert m.enroll_by_wiegand() == 33
        sim.control("--card", "21")
        m.set_wiegand_format(1)
        assert m.verify_by_card().user_id == 21
        m.set_wiegand_string(0x0123456789ABCDEF)
        m.set_wiegand_output(21)
        m.set_output(0, 1)
        assert m.input_status(0) in (0, 1)
        assert m.user_memory_length() > 0
        assert m.log_count()[0] > 0
        assert m.delete_log() >= 0


# The extension's entry point for every command takes its arguments itself
# (the interpreter's fast call): by position or by name, each checked before
# anything is sent.
@pytest.mark.parametrize("args, kwargs, error", [
    ((), {}, TypeError),                                   # no command
    (("SS",) + (0,) * 9, {}, TypeError),                   # ten arguments
    (("SS",), {"p": 1}, TypeError),                        # no such name
    (("SS", None, 1), {"p1": 1}, TypeError),               # p1 twice
    (("SS",), {"p1": "1"}, TypeError),                     # not an int
    (("SS",), {"p1": True}, TypeError),                    # a truth value is no count
    (("SS",), {"p1": 1.0}, TypeError),
    (("SS",), {"p1": -1}, ValueError),
    (("SS",), {"p2": 1 << 32}, ValueError),
    (("SS",), {"flag": 256}, ValueError),
    (("SS",), {"module_id": 1 << 16}, ValueError),
    (("SS",), {"input": 5}, TypeError),                    # not a buffer
    (("SS",), {"progress": 5}, TypeError),                 # not callable
    (("ZZ",), {}, ValueError),                             # no such keyword
    ((256,), {}, ValueError),
    ((b"SS",), {}, TypeError),
])
def test_the_entry_point_checks_its_arguments(sim, args, kwargs, error):
    from kelvor import _kelvor
    with open_module(sim) as m:
        sim.control("--fault", "checksum")  # anything sent would fail with a link error's result
        with pytest.raises(error):
            _kelvor.run(*args, **kwargs)
        sim.control("--fault", "none")
        outcome = _kelvor.run(command="SS", opening=m._opening)
        assert (outcome.result, outcome.values["status"]) == (0, 0x30)
        outcome = _kelvor.run(4, None, 0, 0, 0, None, 0, None, m._opening)
        assert outcome.values["status_name"] == "Module is in normal condition"
