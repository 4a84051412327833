"""Module.backup and Module.restore against simulated modules: the files the
command line writes, a restore onto a fresh module and once more, a damaged
backup refused, a backup stopped, and the copy of users onto the module a
shared line's Module addresses."""
import os
import subprocess

import pytest

import kelvor
from conftest import BIN, Sim


def enroll(sim, user, finger, templates=1, level=None):
    sim.control("--place", str(finger))
    # Setup, no part of a test: the simulator's scans are slow on a loaded machine.
    with kelvor.Module(sim.link, timeout_ms=5000) as m:
        for _ in range(templates):
            m.enroll(user, option="add_new_template")
        if level:
            m.set_admin_level(user, level)


def files_of(folder):
    return {name: open(os.path.join(folder, name), "rb").read() for name in sorted(os.listdir(folder))}


@pytest.fixture
def fresh(tmp_path):
    (tmp_path / "fresh").mkdir()
    s = Sim(tmp_path / "fresh")
    yield s
    s.stop()


# Format 1 (no user with a level or a policy) and format 2 (the user-settings lines).
@pytest.mark.parametrize("level", [None, "enroll"])
def test_the_backup_is_the_files_the_command_line_writes(sim, tmp_path, level):
    enroll(sim, 4, 3, templates=2)
    enroll(sim, 9, 5, level=level)
    by_tool = str(tmp_path / "by-tool")
    r = subprocess.run([os.path.join(BIN, "kelvor"), "-P", sim.link, "-b", "115200", "--exit-code", "--backup", by_tool],
                       cwd=tmp_path, capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    steps = []
    with kelvor.Module(sim.link) as m:
        got = m.backup(tmp_path / "by-python", progress=lambda done, total: steps.append((done, total)))
    assert files_of(by_tool) == files_of(tmp_path / "by-python")
    assert steps == [(1, 0), (2, 0)]
    by_python = str(tmp_path / "by-python")
    assert [(u["user_id"], u["templates"], u["file"], u.get("admin_level")) for u in got["users"]] == [
        (4, 2, os.path.join(by_python, "user-00000004.tpl"), None),
        (9, 1, os.path.join(by_python, "user-00000009.tpl"), level and 1)]
    assert (got["kind"], got["directory"], got["templates"], got["template_bytes"], got["result"]) == (
        "backup", by_python, 3, 0x180, 0)


def test_a_restore_onto_a_fresh_module_and_once_more(sim, fresh, tmp_path):
    enroll(sim, 4, 3, templates=2)
    enroll(sim, 9, 5, level="delete")
    with kelvor.Module(sim.link) as m:
        m.backup(tmp_path / "b")
        with pytest.raises(FileExistsError):
            m.backup(tmp_path / "b")
    steps = []
    with kelvor.Module(fresh.link) as m:
        first = m.restore(tmp_path / "b", progress=lambda done, total: steps.append((done, total)))
        again = m.restore(tmp_path / "b")
        assert m.admin_level(9) == "delete" and m.template_count(4) == 2
    assert steps == [(1, 2), (2, 2)]
    assert [(u["user_id"], u["status"], u.get("templates")) for u in first["users"]] == [
        (4, "restored", 2), (9, "restored", 1)]
    assert (first["restored"], first["skipped"], first["failed"]) == (2, 0, 0)
    assert [(u["user_id"], u["status"], u["reason"]) for u in again["users"]] == [
        (4, "skipped", "the module holds these templates already"),
        (9, "skipped", "the module holds these templates already")]
    fresh.control("--place", "5")
    with kelvor.Module(fresh.link, timeout_ms=5000) as m:
        assert m.identify().user_id == 9


@pytest.mark.parametrize("damage", ["a user file", "the manifest", "no backup"])
def test_a_damaged_backup_restores_nothing(sim, fresh, tmp_path, damage):
    enroll(sim, 4, 3)
    folder = tmp_path / "b"
    with kelvor.Module(sim.link) as m:
        m.backup(folder)
    if damage == "a user file":
        data = bytearray((folder / "user-00000004.tpl").read_bytes())
        data[10] ^= 1
        (folder / "user-00000004.tpl").write_bytes(bytes(data))
    elif damage == "the manifest":
        (folder / "manifest.txt").write_text((folder / "manifest.txt").read_text().replace("0x4", "0x5", 1))
    else:
        folder = tmp_path / "nothing"
    with kelvor.Module(fresh.link) as m:
        with pytest.raises(ValueError, match="nothing is restored|damaged|cannot|missing"):
            m.restore(folder)
        assert m.user_ids() == []


def test_a_backup_stopped_by_its_progress_leaves_nothing(sim, tmp_path):
    enroll(sim, 4, 3)
    enroll(sim, 9, 5)

    def stop(done, total):
        raise RuntimeError("enough")

    with kelvor.Module(sim.link) as m:
        with pytest.raises(RuntimeError, match="enough"):
            m.backup(tmp_path / "b", progress=stop)
        assert [name for name in os.listdir(tmp_path) if name.startswith("b")] == []
        assert m.status().code == 0x30


def test_a_restore_stopped_by_its_progress_leaves_the_rest_untried(sim, fresh, tmp_path):
    enroll(sim, 4, 3)
    enroll(sim, 9, 5)
    with kelvor.Module(sim.link) as m:
        m.backup(tmp_path / "b")

    def stop_after_first(done, total):
        if done == 1:
            raise RuntimeError("enough")

    with kelvor.Module(fresh.link) as m:
        with pytest.raises(RuntimeError, match="enough"):
            m.restore(tmp_path / "b", progress=stop_after_first)
        assert m.user_ids() == [4]
        # Run again, the restore completes what the first left.
        again = m.restore(tmp_path / "b")
        assert [(u["user_id"], u["status"]) for u in again["users"]] == [(4, "skipped"), (9, "restored")]


def test_backup_and_copy_on_the_module_a_shared_line_addresses(tmp_path):
    line = Sim(tmp_path, ["--modules", "1,2"])
    try:
        line.control("--module", "1", "--place", "3")
        with kelvor.Module(line.link, network=True, module_id=1, timeout_ms=5000) as m:
            m.enroll(7)
            backup = m.backup(tmp_path / "b")
            assert [u["user_id"] for u in backup["users"]] == [7] and "module_id" not in backup
            results = m.copy_users(from_backup=tmp_path / "b", module_id=2)
            assert [(r.module_id, r.user_id, r.status) for r in results] == [(2, 7, "copied")]
            # The connection goes on with the module it addressed last.
            assert m.read_parameter("module_id") == 2
            assert m.backup(tmp_path / "b2", module_id=2)["module_id"] == 2
            with pytest.raises(ValueError, match="module_id"):
                m.backup(tmp_path / "b3", module_id=0)
            # A name the system would cut at its NUL names another directory.
            for call in (lambda: m.backup(str(tmp_path / "b4") + "\0x"),
                         lambda: m.restore(str(tmp_path / "b") + "\0x"),
                         lambda: m._opening.backup(str(tmp_path / "b4") + "\0x", None, None),
                         lambda: m.copy_users(from_backup=str(tmp_path / "b") + "\0x")):
                with pytest.raises(ValueError):
                    call()
            assert not os.path.exists(tmp_path / "b4")
        assert files_of(tmp_path / "b") == files_of(tmp_path / "b2")
    finally:
        line.stop()
