"""Allocation failures inside every call, injected through CPython's allocator
hooks (_testcapi.set_nomemory) and through SQLite's hard heap limit. Each
call succeeds or raises MemoryError or RuntimeError, a call that raised has
written nothing, and the file stays whole. Every case runs in a child, so
that a crash shows as a failed test instead of taking pytest down."""

from __future__ import annotations

import ctypes.util
import importlib.util

import pytest

from reliability_harness import run_worker, scaled, store_facts

READS = ["open", "record_bad_kind", "query", "query_bad_tier", "count", "inspect", "snapshots", "distribution"]
LIBSQLITE = ctypes.util.find_library("sqlite3") or "libsqlite3.so.0"

def run(tmp_path, hook: str, calls: list[str], starts: int) -> dict:
    path = str(tmp_path / "oom.db")
    result = run_worker(
        # More memories than CPython keeps small ints for, so that every count in
        # a result is a fresh allocation that can fail.
        "out_of_memory", 600, path=path, hook=hook, calls=calls, starts=starts, step=1024, memories=300,
        libsqlite=LIBSQLITE,
    )
    assert result["unexpected"] == []
    assert result["integrity"] == "ok"
    store_facts(path)
    return result


@pytest.mark.parametrize(
    "calls",
    [
        pytest.param(READS, id="reads-and-refusals"),
        pytest.param(["record_failing"], id="record-rolled-back"),
        pytest.param(["record"], id="record"),
        pytest.param(["sweep"], id="sweep"),
    ],
)
def test_python_allocation_failures(tmp_path, figures, calls):
    if importlib.util.find_spec("_testcapi") is None:
        pytest.skip("this interpreter was built without _testcapi")
    result = run(tmp_path, "python", calls, scaled(60))
    figures.update(calls=result["calls"], outcomes=result["outcomes"])
    assert result["changed_after_failure"] == []
    assert set(result["outcomes"]) <= {"ok", "MemoryError", "RuntimeError"}


def test_sqlite_allocation_failures(tmp_path, figures):
    result = run(tmp_path, "sqlite", READS + ["record", "record_failing", "sweep"], scaled(40))
    figures.update(calls=result["calls"], outcomes=result["outcomes"])
    assert result["changed_after_failure"] == []
    assert result["outcomes"].get("RuntimeError", 0) > 0, "the heap limit never bit"
    assert set(result["outcomes"]) <= {"ok", "MemoryError", "RuntimeError"}
