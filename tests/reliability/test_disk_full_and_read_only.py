"""A full disk (a file-size limit on the process) and a read-only file: writes
raise RuntimeError and leave nothing half written, reads keep working.

Tests run as root in CI, and root writes to a file whatever its mode says.
The mode-based cases therefore run their child as the user nobody when the
tests run as root; the URI cases (mode=ro, immutable=1) need no such help.
"""

from __future__ import annotations

import hashlib
import os
import pwd
import random
import shutil
import stat
import tempfile
from pathlib import Path

import pytest

from quenlith import Runtime
from reliability_harness import populate, run_worker, scaled, store_facts, stored_ids

READS = ("count", "query", "query_text", "inspect", "snapshots", "distribution")
WRITES = ("sweep", "record")


@pytest.mark.parametrize(
    "memories, headroom, max_content",
    [
        pytest.param(20, 64 * 1024, 20_000, id="records-fill-the-disk"),
        # The sweep rewrites every page, so its journal outgrows the limit.
        pytest.param(20_000, 0, 10, id="sweep-journal-hits-the-limit"),
    ],
)
def test_writes_fail_whole_when_the_file_cannot_grow(tmp_path, figures, memories, headroom, max_content):
    path = str(tmp_path / "full.db")
    populate(path, memories, random.Random(memories))
    result = run_worker(
        "disk_full", 300, path=path, headroom=headroom, attempts=scaled(60), max_content=max_content, seed=memories
    )
    assert result["half_written"] == []
    assert result["failures"], "the limit was never reached"
    assert all(message.startswith("storage error: ") for message in result["failures"])
    assert result["reads"] == {"count": "int", "query": "list", "inspect": "dict", "snapshots": "list",
                               "distribution": "list"}
    if memories > 1000:
        assert result["sweep"] != "ok"
    facts = store_facts(path)
    assert facts["events"] == result["count"] == memories + result["stored"]
    assert set(result["ids"]) <= stored_ids(path) and len(result["ids"]) == result["stored"]
    assert Runtime(path).record("s", "decision", "room again")
    figures.update(attempts=scaled(60), stored=result["stored"], refused=sum(result["failures"].values()),
                   sweep=result["sweep"][:40], half_written=0)


def fingerprint(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def make_store(path: Path) -> str:
    rt = Runtime(str(path))
    target = rt.record("agent", "error", "a cache bug")
    rt.record("agent", "correction", "clear the cache", overrides=target)
    rt.sweep()
    return fingerprint(path)


def check_read_only_outcome(outcomes: dict) -> None:
    assert outcomes["open"] == "ok", outcomes
    assert all(outcomes[name] == "ok" for name in READS), outcomes
    for name in WRITES:
        assert outcomes[name].startswith("RuntimeError: storage error: "), outcomes


@pytest.mark.parametrize("uri", ["file:{}?mode=ro", "file:{}?immutable=1"])
def test_a_store_opened_read_only_by_uri_reads_and_refuses_writes(tmp_path, uri):
    path = tmp_path / "ro.db"
    before = make_store(path)
    outcomes = run_worker("exercise", 60, path=uri.format(path))
    check_read_only_outcome(outcomes)
    assert fingerprint(path) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ro.db"]


@pytest.fixture
def shared_dir():
    """A directory another user can reach (pytest's own tmp_path lies under
    a root-only directory), removed afterwards whatever its mode became."""
    directory = Path(tempfile.mkdtemp(prefix="quenlith-reliability-"))
    directory.chmod(0o755)
    yield directory
    directory.chmod(0o755)
    shutil.rmtree(directory)


def other_user() -> dict:
    if os.geteuid() != 0:
        return {}
    try:
        nobody = pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("running as root, and there is no user nobody to drop to")
    return {"uid": nobody.pw_uid, "gid": nobody.pw_gid}


@pytest.mark.parametrize(
    "file_mode, dir_mode",
    [
        pytest.param(0o444, 0o755, id="read-only-file"),
        # The file could be written, but its journal cannot be created.
        pytest.param(0o666, 0o555, id="read-only-directory"),
    ],
)
def test_a_store_without_write_permission_reads_and_refuses_writes(shared_dir, file_mode, dir_mode):
    path = shared_dir / "perm.db"
    before = make_store(path)
    path.chmod(file_mode)
    shared_dir.chmod(dir_mode)
    outcomes = run_worker("read_only_as", 60, path=str(path), **other_user())
    check_read_only_outcome(outcomes)
    assert fingerprint(path) == before
    assert stat.S_IMODE(path.stat().st_mode) == file_mode
    assert sorted(p.name for p in shared_dir.iterdir()) == ["perm.db"]


def test_a_missing_file_opened_read_only_is_an_error(tmp_path):
    outcomes = run_worker("exercise", 60, path=f"file:{tmp_path / 'none.db'}?mode=ro")
    assert outcomes == {"open": f"RuntimeError: storage error: unable to open database file: "
                                f"file:{tmp_path / 'none.db'}?mode=ro"}
    assert list(tmp_path.iterdir()) == []
