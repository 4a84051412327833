"""kelvor.Client through kelvord and kelvor.Module in-process give the same
values and raise the same exceptions: every row runs on a Module of one
simulated module and on a Client of a service on another, both set up alike."""
import json
import os
import subprocess
import time

import pytest

import kelvor
from conftest import BIN, Sim


class Service:
    def __init__(self, sim):
        self.sock = os.path.join(sim.dir, "L.sock")
        self.proc = subprocess.Popen(
            [os.path.join(BIN, "kelvord"), "--foreground", "-P", sim.link, "-b", "115200", "-t", "10000",
             "--socket", self.sock], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.sock):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("kelvord did not start")
            time.sleep(0.02)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


@pytest.fixture
def pair(tmp_path):
    """(Module, Client, the two simulators), each simulator with the finger of user 5 placed and enrolled.
    The read time-out is long: a scan of the simulated module can take seconds on a loaded machine."""
    for name in ("direct", "served"):
        (tmp_path / name).mkdir()
    direct, served = Sim(tmp_path / "direct"), Sim(tmp_path / "served")
    service = Service(served)
    m = kelvor.Module(direct.link, 115200, timeout_ms=10000)
    c = kelvor.Client(service.sock, timeout=30)
    try:
        for s in (direct, served):
            s.control("--place", "3")
        for o in (m, c):
            o.enroll(5)
        yield m, c, (direct, served)
    finally:
        c.close()
        m.close()
        service.stop()
        direct.stop()
        served.stop()


def outcome(call, o):
    """What a call came to: its value, or its exception's class and name."""
    try:
        return ("value", call(o))
    except kelvor.KelvorError as e:
        return ("raised", type(e), e.name)
    except ValueError as e:
        return ("raised", type(e), None)


MOST_LOG_RECORDS = kelvor.COMMAND_TABLE["LR"]["options"]["-p2"][2]

# Commands of every family, in the order they run on both; a step that
# changes the module comes before the steps that read what it changed.
ROWS = [
    ("system", lambda o: o.status()),
    ("system", lambda o: o.read_parameter("baudrate")),
    ("system", lambda o: o.write_parameter(0x6E, 1)),
    ("enroll", lambda o: o.enroll(6)),
    ("enroll", lambda o: o.enroll(6, option="check_id")),
    ("identify", lambda o: o.identify()),
    ("identify", lambda o: o.identify(1, 2)),
    ("verify", lambda o: o.verify(5)),
    ("verify", lambda o: o.verify(77)),
    ("verify", lambda o: o.verify_host_templates([b"t"] * 11)),
    ("database", lambda o: o.user_ids()),
    ("database", lambda o: o.template_count(5)),
    ("database", lambda o: o.template_count(9)),
    ("database", lambda o: [len(t) for t in o.read_templates(5)]),
    ("database", lambda o: [r.user_id for r in o.template_info()]),
    ("database", lambda o: o.enroll_templates(8, o.read_templates(5))),
    ("image", lambda o: o.scan_image()),
    ("image", lambda o: o.read_image(chunked=True)),
    ("image", lambda o: o.identify_image(o.read_image())),
    ("image", lambda o: o.enroll_image(o.read_image(), 9, chunked=True)),
    ("admin", lambda o: o.set_admin_level(5, "delete")),
    ("admin", lambda o: o.admin_level(5)),
    ("admin", lambda o: o.set_auth_policy(5, "reject")),
    ("admin", lambda o: (o.auth_policy(5), o.users_with_policy("reject"))),
    ("event log", lambda o: o.log_count()),
    ("event log", lambda o: [(r.event_name, r.value) for r in o.read_log()]),
    ("event log", lambda o: o.read_log(0, MOST_LOG_RECORDS + 1)),
    ("event log", lambda o: (o.write_user_memory(b"kelvor", 16), o.read_user_memory(16, 6))),
    ("event log", lambda o: o.user_memory_length()),
    ("clock", lambda o: o.reset_clock()),
    ("wiegand", lambda o: (o.set_wiegand_config(1, format=1, fc_bits=8), o.wiegand_config(1))),
    ("wiegand", lambda o: o.wiegand_io()),
    ("wiegand", lambda o: o.wiegand_format()),
    ("wiegand", lambda o: (o.set_field_default(0, 7), o.field_default(0))),
    ("wiegand", lambda o: o.wiegand_mappings()[0]),
    ("ports", lambda o: (o.set_input_port_config(0, 1, 2), o.input_port_config(0))),
    ("ports", lambda o: (o.set_output_port_config(3, 0x87, delay=1, count=2), o.output_port_config(3, 0x87))),
    ("ports", lambda o: o.enabled_events(3)),
    ("ports", lambda o: o.gpio_config(0)),
    ("smart card", lambda o: o.card_layout()),
    ("smart card", lambda o: (o.set_card_input_function("verify_id"), o.card_input_function())),
    ("smart card", lambda o: o.card_key_option()),
    ("smart card", lambda o: o.write_card(b"x", index=2)),
    ("firmware", lambda o: o.unlock(b"short")),
    ("database", lambda o: (o.delete(6), o.user_ids())),
]


def timeless(values):
    """Values without the times of the modules' clocks, which two simulators need not share to the second."""
    if isinstance(values, dict):
        return {k: timeless(v) for k, v in values.items() if k != "time"}
    if isinstance(values, list):
        return [timeless(v) for v in values]
    return values


def test_client_and_module_agree(pair):
    m, c, _ = pair
    for family, call in ROWS:
        direct, served = outcome(call, m), outcome(call, c)
        assert served == direct, family
        if direct[0] == "value":
            assert timeless(c.last_values) == timeless(m.last_values), family


def test_client_and_module_agree_on_refusals_of_the_module(pair):
    m, c, (direct, served) = pair
    for s in (direct, served):
        s.control("--place", "4")
    assert outcome(lambda o: o.verify(5), m) == outcome(lambda o: o.verify(5), c) == (
        "raised", kelvor.NotMatch, "not_match")
    assert m.last_message == c.last_message


def test_client_and_module_agree_on_backup_and_restore(pair, tmp_path):
    m, c, _ = pair
    m.set_admin_level(5, "enroll")
    c.set_admin_level(5, "enroll")

    def same(obj, folder):
        """The object without its time and with the directory named alike."""
        text = json.dumps({k: v for k, v in obj.items() if k != "elapsed_ms"}, sort_keys=True)
        return json.loads(text.replace(str(folder), "DIR"))

    objects = []
    for o, name in ((m, "direct"), (c, "served")):
        folder = tmp_path / name / "backup"
        objects.append(same(o.backup(folder), folder))
        objects.append(same(o.restore(folder), folder))
        o.delete(5)
        objects.append(same(o.restore(folder), folder))
    assert objects[:3] == objects[3:]
