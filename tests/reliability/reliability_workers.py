"""Child processes of the reliability tests.

Run as `python -P reliability_workers.py ROLE JSON-PARAMETERS`. Every role
works on one store file and speaks to its parent through stdout, one line per
message, written unbuffered so that whatever was written before a SIGKILL has
reached the pipe:

    ready                  the Runtime is open
    imported / sweeping    about to open a new file / about to sweep
    start <n>              about to open the n-th of several files
    id <uuid>              record() returned this id
    swept <json>           sweep() returned this result
    error <text>           a call raised (only where a role tolerates it)
    result <json>          the role's final report

The roles only ever use the installed package and the standard library, so a
child is the same program whatever the parent has imported.
"""

from __future__ import annotations

import json
import os
import random
import sys
import time

KINDS = ("user_action", "observation", "decision", "error", "correction")
IMPORTANCES = ("low", "normal", "high", "critical")


def say(*parts: object) -> None:
    os.write(1, (" ".join(str(p) for p in parts) + "\n").encode())


def orphaned(parent: int) -> bool:
    # A child whose parent died (a crashed test run) must not run on forever.
    return os.getppid() != parent


def wait_for(path: str, parent: int) -> None:
    while not os.path.exists(path):
        if orphaned(parent):
            sys.exit(3)
        time.sleep(0.001)


# ---------------------------------------------------------------------------
# Crash: record until killed


def record_loop(p: dict) -> None:
    """Records as fast as it can, now and then overriding an earlier event or
    sweeping, and reports every id the moment record() returns it."""
    from quenlith import Runtime

    parent = os.getppid()
    rng = random.Random(p["seed"])
    rt = Runtime(p["path"], p.get("policy"))
    say("ready")
    recorded: list[str] = []
    deadline = time.monotonic() + p.get("max_seconds", 60)
    while time.monotonic() < deadline and not orphaned(parent):
        target = rng.choice(recorded) if recorded and rng.random() < 0.2 else None
        event_id = rt.record(
            f"agent-{rng.randrange(3)}",
            rng.choice(KINDS),
            f"content {rng.randrange(50)} " + "x" * rng.randrange(2000),
            rng.choice(IMPORTANCES),
            overrides=target,
        )
        say("id", event_id)
        recorded.append(event_id)
        if rng.random() < 0.05:
            say("swept", json.dumps(rt.sweep()))
    sys.exit(4)


def sweep_once(p: dict) -> None:
    from quenlith import Runtime

    rt = Runtime(p["path"])
    say("sweeping")
    started = time.monotonic()
    result = rt.sweep()
    say("swept", json.dumps(result))
    say("result", json.dumps({"seconds": time.monotonic() - started}))


def open_and_record(p: dict) -> None:
    """Imports first and says so, so that the parent can aim its kill at the
    opening of a new file (the schema script) rather than at start-up."""
    from quenlith import Runtime

    say("imported")
    rt = Runtime(p["path"])
    say("id", rt.record("s", "decision", "first"))


# ---------------------------------------------------------------------------
# Contention: writers, a sweeper and a querier on one file


def _timed(call, waits: list[float]):
    started = time.monotonic()
    try:
        return call()
    finally:
        waits.append(time.monotonic() - started)


def _contender(p: dict, body) -> None:
    from quenlith import Runtime

    parent = os.getppid()
    rt = Runtime(p["path"])
    say("ready")
    wait_for(p["go"], parent)
    waits: list[float] = []
    errors: list[str] = []
    operations = body(rt, p, parent, waits, errors)
    say("result", json.dumps({"operations": operations, "errors": errors, "max_wait": max(waits, default=0.0)}))


def writer(p: dict) -> None:
    def body(rt, p, parent, waits, errors):
        n = 0
        while n < p["records"] and not os.path.exists(p["stop"]) and not orphaned(parent):
            try:
                event_id = _timed(lambda n=n: rt.record(p["tag"], KINDS[n % 5], f"{p['tag']} item {n % 7}"), waits)
                say("id", event_id)
            except RuntimeError as error:
                errors.append(str(error))
                say("error", error)
            n += 1
            time.sleep(p.get("pause", 0.0))
        return n

    _contender(p, body)


def sweeper(p: dict) -> None:
    def body(rt, p, parent, waits, errors):
        sweeps = 0
        while not os.path.exists(p["stop"]) and not orphaned(parent):
            try:
                say("swept", json.dumps(_timed(rt.sweep, waits)))
                sweeps += 1
            except RuntimeError as error:
                errors.append(str(error))
                say("error", error)
            time.sleep(p.get("pause", 0.0))
        return sweeps

    _contender(p, body)


def querier(p: dict) -> None:
    def body(rt, p, parent, waits, errors):
        calls = [
            lambda: rt.query("item", limit=50),
            lambda: rt.query(source="w0", min_salience=0.1),
            rt.count,
            rt.inspect,
            lambda: rt.get_snapshots(5),
            rt.get_salience_distribution,
        ]
        operations = 0
        while not os.path.exists(p["stop"]) and not orphaned(parent):
            try:
                _timed(calls[operations % len(calls)], waits)
            except RuntimeError as error:
                errors.append(str(error))
                say("error", error)
            operations += 1
            time.sleep(p.get("pause", 0.0))
        return operations

    _contender(p, body)


# ---------------------------------------------------------------------------
# Every method once, each outcome reported (hostile and read-only files)


def exercise(p: dict) -> None:
    """Opens the file and calls every method; reports for each call either
    "ok" or the exception's type and message. Anything but RuntimeError is the
    parent's business to judge; a crash or a hang shows as the child's exit."""
    say("result", json.dumps(_exercise(p["path"], p.get("policy"), p.get("calls", CALLS))))


def exercise_files(p: dict) -> None:
    """`exercise` for many files in turn. Each file is announced before it is
    opened, so that a crash or a hang names the file that caused it."""
    outcomes = {}
    for n, path in enumerate(p["paths"]):
        say("start", n)
        outcomes[path] = _exercise(path, None, CALLS)
    say("result", json.dumps(outcomes))


def _exercise(path: str, policy: str | None, calls) -> dict[str, str]:
    from quenlith import Runtime

    outcomes: dict[str, str] = {}

    def attempt(name, call):
        try:
            value = call()
        except Exception as error:  # noqa: BLE001 - reported, judged by the parent
            outcomes[name] = f"{type(error).__name__}: {str(error)[:300]}"
            return None
        outcomes[name] = "ok"
        return value

    rt = attempt("open", lambda: Runtime(path, policy))
    if rt is not None:
        for name in calls:
            attempt(name, lambda name=name: CALLS[name](rt))
    return outcomes


CALLS = {
    "count": lambda rt: rt.count(),
    "query": lambda rt: rt.query(limit=1000),
    "query_text": lambda rt: rt.query("a", min_salience=0.0),
    "inspect": lambda rt: rt.inspect(),
    "snapshots": lambda rt: rt.get_snapshots(),
    "distribution": lambda rt: rt.get_salience_distribution(),
    "sweep": lambda rt: rt.sweep(),
    "record": lambda rt: rt.record("s", "decision", "after"),
    "query_after": lambda rt: rt.query(limit=1000),
}


def read_only_as(p: dict) -> None:
    """Drops to another user first when asked: root ignores file modes."""
    if p.get("uid") is not None:
        os.setgid(p["gid"])
        os.setuid(p["uid"])
    exercise(p)


# ---------------------------------------------------------------------------
# Disk full: a file-size limit on this process


def disk_full(p: dict) -> None:
    import resource
    import signal
    import sqlite3
    from contextlib import closing

    from quenlith import Runtime

    # Without this the first write past the limit kills the process (SIGXFSZ)
    # instead of failing with EFBIG.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    rt = Runtime(p["path"])
    limit = os.path.getsize(p["path"]) + p["headroom"]
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))

    def events() -> int:
        with closing(sqlite3.connect(p["path"])) as conn:
            return conn.execute("SELECT COUNT(*) FROM events").fetchone()[0]

    stored: list[str] = []
    failures: dict[str, int] = {}
    half_written = []
    rng = random.Random(p["seed"])
    for n in range(p["attempts"]):
        before = events()
        try:
            event_id = rt.record("s", "decision", f"{n} " + "y" * rng.randrange(p["max_content"]))
        except RuntimeError as error:
            failures[str(error)] = failures.get(str(error), 0) + 1
            event_id = None
        else:
            stored.append(event_id)
            say("id", event_id)
        if events() != before + (event_id is not None):
            half_written.append(n)
    reads = {
        name: type(CALLS[name](rt)).__name__ for name in ("count", "query", "inspect", "snapshots", "distribution")
    }
    before = _store_state(p["path"])
    try:
        rt.sweep()
        sweep = "ok"
    except RuntimeError as error:
        sweep = str(error)
        if _store_state(p["path"]) != before:
            half_written.append("sweep")
    say(
        "result",
        json.dumps(
            {
                "stored": len(stored),
                "failures": failures,
                "half_written": half_written,
                "reads": reads,
                "sweep": sweep,
                "count": rt.count(),
                "limit": limit,
            }
        ),
    )


# ---------------------------------------------------------------------------
# Out of memory: failing allocations inside calls


def _out_of_memory_calls(rt, path: str, target: str):
    from quenlith import Runtime

    return {
        "open": lambda: Runtime(path, "coding"),
        "record": lambda: rt.record(
            "s", "correction", "fix", "high", overrides=target, timestamp="2024-01-01T00:00:00Z"
        ),
        "record_failing": lambda: rt.record("s", "decision", "x", overrides="00000000-0000-0000-0000-000000000000"),
        "record_bad_kind": lambda: rt.record("s", "nope", "x"),
        "query": lambda: rt.query("o", "s", 0.0, None, 50),
        "query_bad_tier": lambda: rt.query(tier="Hot"),
        "sweep": rt.sweep,
        "count": rt.count,
        "inspect": rt.inspect,
        "snapshots": lambda: rt.get_snapshots(3),
        "distribution": rt.get_salience_distribution,
    }


def _store_state(path: str) -> tuple:
    import sqlite3
    from contextlib import closing

    with closing(sqlite3.connect(path)) as conn:
        return (
            conn.execute("SELECT COUNT(*) FROM events").fetchone()[0],
            conn.execute("SELECT COUNT(*) FROM snapshots").fetchone()[0],
            conn.execute("SELECT COUNT(*), TOTAL(salience), GROUP_CONCAT(tier) FROM memory_state").fetchone(),
        )


def _allocation_failures(p: dict):
    """Yields (label, inject, release) for each way of failing allocations:
    CPython's hooks fail allocation number `start` alone, then every one from
    `start` on; SQLite's hard heap limit lets it allocate `start` steps of
    bytes beyond what it holds now."""
    if p["hook"] == "python":
        import _testcapi

        for start in range(p["starts"]):
            for stop in (start + 1, 0):
                yield (
                    f"{start}-{stop or 'end'}",
                    lambda s=start, e=stop: _testcapi.set_nomemory(s, e),
                    _testcapi.remove_mem_hooks,
                )
    else:
        import ctypes

        sqlite = ctypes.CDLL(p["libsqlite"])
        sqlite.sqlite3_hard_heap_limit64.restype = ctypes.c_int64
        sqlite.sqlite3_hard_heap_limit64.argtypes = [ctypes.c_int64]
        sqlite.sqlite3_memory_used.restype = ctypes.c_int64
        for start in range(p["starts"]):
            headroom = start * p["step"]
            yield (
                f"+{headroom}B",
                lambda h=headroom: sqlite.sqlite3_hard_heap_limit64(sqlite.sqlite3_memory_used() + h),
                lambda: sqlite.sqlite3_hard_heap_limit64(0),
            )


def out_of_memory(p: dict) -> None:
    """Fails allocations inside each named call. Each call must succeed or
    raise MemoryError or RuntimeError, and a call that raised must have left
    the file exactly as it was."""
    from quenlith import Runtime

    path = p["path"]
    rt = Runtime(path)
    target = rt.record("s", "error", "bug")
    for n in range(p["memories"]):
        rt.record("s", KINDS[n % 5], f"memory {n}")
    rt.sweep()
    calls = _out_of_memory_calls(rt, path, target)

    outcomes: dict[str, int] = {}
    changed_after_failure: list[str] = []
    unexpected: list[str] = []
    calls_made = 0
    for name in p["calls"]:
        call = calls[name]
        for label, inject, release in _allocation_failures(p):
            before = _store_state(path)
            value = None
            inject()
            try:
                value = call()
                outcome = "ok"
            except MemoryError:
                outcome = "MemoryError"
            except RuntimeError:
                outcome = "RuntimeError"
            except BaseException as error:  # noqa: BLE001 - anything else is the finding
                outcome = type(error).__name__
                unexpected.append(f"{name} {label}: {type(error).__name__}: {error}")
            finally:
                release()
            del value  # a Runtime made by "open" closes here, with allocation working again
            calls_made += 1
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
            if outcome != "ok" and _store_state(path) != before:
                changed_after_failure.append(f"{name} {label}: {outcome}")
    say(
        "result",
        json.dumps(
            {
                "calls": calls_made,
                "outcomes": outcomes,
                "changed_after_failure": changed_after_failure,
                "unexpected": unexpected,
                "integrity": _integrity(path),
            }
        ),
    )


def _integrity(path: str) -> str:
    import sqlite3
    from contextlib import closing

    with closing(sqlite3.connect(path)) as conn:
        return "; ".join(row[0] for row in conn.execute("PRAGMA integrity_check"))


ROLES = {
    f.__name__: f
    for f in (
        record_loop,
        sweep_once,
        open_and_record,
        writer,
        sweeper,
        querier,
        exercise,
        exercise_files,
        read_only_as,
        disk_full,
        out_of_memory,
    )
}

if __name__ == "__main__":
    ROLES[sys.argv[1]](json.loads(sys.argv[2]))
