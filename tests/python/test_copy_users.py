"""Module.copy_users against a simulated line of three modules."""
import os
import subprocess

import pytest

import kelvor
from conftest import BIN, Sim


@pytest.fixture
def line(tmp_path):
    s = Sim(tmp_path, ["--modules", "1,2,3"])
    yield s
    s.stop()


def on(line, module, **options):
    options.setdefault("timeout_ms", 1000)
    return kelvor.Module(line.link, network=True, module_id=module, **options)


def enroll(line, module, user, finger, templates=1):
    line.control("--module", str(module), "--place", str(finger))
    # Setup, no part of a test: the simulator's scans are slow on a loaded machine.
    with on(line, module, timeout_ms=5000) as m:
        for _ in range(templates):
            m.enroll(user, option="add_new_template")


def identified(line, module, finger):
    line.control("--module", str(module), "--place", str(finger))
    with on(line, module, timeout_ms=5000) as m:
        try:
            return m.identify().user_id
        except kelvor.ModuleError:
            return 0


def test_a_copy_onto_two_modules_and_a_second_that_finds_nothing_to_do(line):
    enroll(line, 1, 3, 3, templates=2)
    enroll(line, 1, 4, 4)
    with on(line, 1) as m:
        m.set_admin_level(4, "enroll")
        steps = []
        results = m.copy_users([2, 3], from_module=1, progress=lambda done, total: steps.append((done, total)))
        # The connection goes on with its own module.
        assert m.read_parameter("module_id") == 1
    assert [(r.module_id, r.user_id, r.status, r.templates, r.error) for r in results] == [
        (2, 3, "copied", 2, None), (2, 4, "copied", 1, None), (3, 3, "copied", 2, None), (3, 4, "copied", 1, None)]
    assert results[1].admin_level == "enroll" and results[0].admin_level == "none"
    assert steps == [(1, 4), (2, 4), (3, 4), (4, 4)]
    for module in (2, 3):
        assert identified(line, module, 4) == 4
        with on(line, module) as m:
            assert m.admin_level(4) == "enroll"
            assert m.template_count(3) == 2
    with on(line, 2) as m:
        again = m.copy_users(from_module=1)
    assert [(r.module_id, r.status) for r in again] == [(2, "unchanged"), (2, "unchanged")]


def test_conflicts_dry_runs_and_pruning(line):
    enroll(line, 1, 3, 3)
    enroll(line, 2, 3, 5)
    enroll(line, 2, 9, 6)
    with on(line, 1) as m:
        plan = m.copy_users([2], from_module=1, users=[range(1, 10)], prune=True, dry_run=True)
        assert [(r.user_id, r.status, r.dry_run) for r in plan] == [(9, "prune", True), (3, "conflict", True)]
        assert isinstance(plan[1].error, kelvor.IdAlreadyUsed)
        assert "other templates" in str(plan[1].error)
        kept = m.copy_users([2], from_module=1)
        assert [(r.user_id, r.status) for r in kept] == [(3, "conflict")]
        done = m.copy_users([2], from_module=1, replace=True, prune=True, users=[(3, 3), 9])
        assert [(r.user_id, r.status) for r in done] == [(9, "pruned"), (3, "replaced")]
    assert identified(line, 2, 3) == 3
    with on(line, 2) as m:
        assert m.user_ids() == [3]


def test_a_backup_onto_a_module_of_its_own_and_what_cannot_begin(line, tmp_path):
    enroll(line, 1, 3, 3)
    enroll(line, 1, 4, 4)
    backup = str(tmp_path / "users")
    r = subprocess.run([os.path.join(BIN, "kelvor"), "-P", line.link, "-b", "115200", "-n", "1", "-m", "1",
                        "--exit-code", "--backup", backup], cwd=tmp_path, capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    (tmp_path / "single").mkdir()
    single = Sim(tmp_path / "single")
    try:
        with kelvor.Module(single.link, timeout_ms=1000) as m:
            results = m.copy_users(from_backup=backup, users=[4])
            assert [(r.module_id, r.user_id, r.status) for r in results] == [(0, 4, "copied")]
            assert m.user_ids() == [4]
            with open(os.path.join(backup, "user-00000004.tpl"), "r+b") as f:
                f.seek(9)
                f.write(b"\x42")
            with pytest.raises(kelvor.KelvorError) as refused:
                m.copy_users(from_backup=backup)
            assert refused.value.code == -1000
            assert str(refused.value).endswith("user-00000004.tpl is damaged or missing; nothing is copied")
            # Another module of the line is for a connection to the line.
            with pytest.raises(ValueError):
                m.copy_users(from_module=1)
            with pytest.raises(ValueError):
                m.copy_users([2], from_backup=backup)
    finally:
        single.stop()
    with on(line, 2) as m:
        for bad in (dict(), dict(from_module=1, from_backup=backup), dict(from_module=2),
                    dict(from_module=1, users=[]), dict(from_module=1, users=[(5, 2)]),
                    dict(from_module=1, users=[range(5, 1)]), dict(from_module=1, targets=[3, 3])):
            with pytest.raises(ValueError):
                m.copy_users(**bad)
        # A silent source raises the link's error; nothing reaches the targets.
        line.control("--module", "1", "--fault", "silence")
        with pytest.raises(kelvor.ReadTimeout):
            m.copy_users(from_module=1)
        assert m.user_ids() == []


def test_a_progress_callable_that_raises_stops_the_copy(line):
    enroll(line, 1, 3, 3)
    enroll(line, 1, 4, 4)

    def stop(done, total):
        raise RuntimeError("enough")

    with on(line, 1) as m:
        with pytest.raises(RuntimeError, match="enough"):
            m.copy_users([2, 3], from_module=1, progress=stop)
    with on(line, 3) as m:
        assert m.user_ids() == []
