"""The Python examples, run as a user runs them, against the simulated module."""
import os
import subprocess
import sys

EXAMPLES = os.environ.get("KELVOR_PYTHON_EXAMPLES",
                          os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python"))


def run(*args):
    r = subprocess.run([sys.executable, os.path.join(EXAMPLES, args[0]), *args[1:]], capture_output=True, text=True,
                       timeout=120)
    return r.returncode, r.stdout


def test_identify_names_the_user_or_says_unknown(sim):
    sim.control("--place", "7")
    assert run("identify.py", sim.link) == (1, "unknown finger\n")
    sim.control("--place", "3")
    assert run("enroll_station.py", sim.link, "5")[0] == 0
    status, out = run("identify.py", sim.link)
    assert status == 0 and out.startswith("user 5 (score ")


def test_the_enrollment_station_keeps_only_users_that_verify(sim):
    # User 1 enrolls finger 3 but verifies with finger 4: not matched, and not
    # left behind. User 2 enrolls and verifies finger 4.
    sim.control("--place", "3,4")
    status, out = run("enroll_station.py", sim.link, "1", "2")
    lines = out.splitlines()
    assert status == 1, out
    assert lines[0] == "user 1: not_match: Verify: Not match"
    assert lines[1].startswith("user 2: enrolled, 1 template(s) of 384 bytes, verified with score ")
    assert lines[2] == "module holds 1 user(s)"


def test_backup_and_restore_onto_a_fresh_module(sim, tmp_path):
    from conftest import Sim

    sim.control("--place", "3")
    run("enroll_station.py", sim.link, "4")
    sim.control("--place", "5")
    run("enroll_station.py", sim.link, "9")
    folder = tmp_path / "backup"
    assert run("backup_restore.py", "backup", sim.link, str(folder)) == (
        0, "user 4: backed up\nuser 9: backed up\n")
    assert sorted(os.listdir(folder)) == ["user-4-0.bin", "user-9-0.bin"]

    os.makedirs(tmp_path / "fresh")
    fresh = Sim(tmp_path / "fresh")
    try:
        assert run("backup_restore.py", "restore", fresh.link, str(folder)) == (
            0, "user 4: restored with 1 template(s)\nuser 9: restored with 1 template(s)\n")
        fresh.control("--place", "5")
        assert run("identify.py", fresh.link)[1].startswith("user 9 ")
    finally:
        fresh.stop()


def test_the_entry_and_the_exit_reader_each_in_its_thread(tmp_path):
    import re

    import kelvor
    from conftest import Sim

    readers = []
    for side in ("entry", "exit"):
        (tmp_path / side).mkdir()
        readers.append(Sim(tmp_path / side))
    try:
        # Both readers know users 5 (finger 3) and 6 (finger 4).
        for s in readers:
            for user, finger in ((5, 3), (6, 4)):
                s.control("--place", str(finger))
                with kelvor.Module(s.link, timeout_ms=5000) as m:
                    m.enroll(user)
        # One finger a scan: a known one, then one no reader knows.
        readers[0].control("--place", "3,7")
        readers[1].control("--place", "4,8")
        status, out = run("entry_exit.py", readers[0].link, readers[1].link, "2")
        assert status == 0, out
        lines = out.splitlines()
        assert all(re.match(r"\d\d:\d\d:\d\d ", line) for line in lines), out
        assert sorted(line[9:] for line in lines) == [
            "unknown finger at the entry", "unknown finger at the exit", "user 5 came in", "user 6 went out"]
        assert run("entry_exit.py", readers[0].link, str(tmp_path / "no such port"), "1")[0] == 3
    finally:
        for s in readers:
            s.stop()
