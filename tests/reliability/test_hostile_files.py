"""Files that another program wrote or damaged: truncated files, random byte
flips, values of the wrong storage class, invalid UTF-8, huge and deeply
nested metadata, odd timestamps and odd schemas. Opening, reading, sweeping
and recording either work or raise RuntimeError; never a crash, never a hang,
never another exception.

The files of a group are exercised by one child in turn; it names each file
before opening it, so a crash or a hang points at the file."""

from __future__ import annotations

import os
import random
import shutil
import sqlite3
import time
from contextlib import closing
from pathlib import Path

import pytest

from quenlith import Runtime
from reliability_harness import Child, connect, execute, run_worker, scaled

SEED = int(os.environ.get("QUENLITH_RELIABILITY_SEED", time.time_ns() % 2**32))
STAMP = "2024-05-01T12:30:00+00:00"
GOOD_EVENT = {
    "id": "'5f0c6f2e-8d4a-4f7e-9a51-3c2b1d0e9f87'",
    "timestamp": f"'{STAMP}'",
    "source": "'agent'",
    "kind": "'decision'",
    "content": "'use the small model'",
    "metadata": "'null'",
    "importance": "'normal'",
}
GOOD_MEMORY = {
    "event_id": GOOD_EVENT["id"],
    "salience": "1.5",
    "tier": "'warm'",
    "occurrence_count": "1",
    "last_accessed": f"'{STAMP}'",
}
GOOD_SNAPSHOT = {"timestamp": f"'{STAMP}'", "hot": "1", "warm": "2", "cold": "3", "forgotten": "4"}
# SQL literals of every storage class, and of the values at their edges.
VALUES = {
    "null": "NULL",
    "int": "7",
    "real": "2.5",
    "inf": "9e999",
    "text": "'text'",
    "empty": "''",
    "blob": "X'ff00'",
    "bad_utf8": "CAST(X'41ff42' AS TEXT)",
    "cut_utf8": "CAST(X'41e282' AS TEXT)",
    "nul_text": "CAST(X'410042' AS TEXT)",
    "big_int": str(2**40),
    "negative": "-1",
    "max_int": str(2**63 - 1),
    "min_int": str(-(2**63)),
}


def check_outcomes(outcomes: dict[str, dict[str, str]]) -> int:
    """Every call either worked or raised RuntimeError. Returns the calls."""
    calls = 0
    for path, by_call in outcomes.items():
        for call, outcome in by_call.items():
            assert outcome == "ok" or outcome.startswith("RuntimeError: "), f"{Path(path).name}: {call}: {outcome}"
            calls += 1
    return calls


def exercise_files(paths: list[str], timeout: float = 300) -> dict:
    outcomes = run_worker("exercise_files", timeout, paths=paths)
    outcomes.pop("ids", None)
    return outcomes


def free_schema(path: Path) -> None:
    """The four tables with the right names and columns, but without types or
    constraints, so every value keeps the storage class it was given."""
    with closing(sqlite3.connect(path)) as conn:
        conn.executescript(
            "CREATE TABLE events (id, timestamp, source, kind, content, metadata, importance);"
            "CREATE TABLE memory_state (event_id, salience, tier, occurrence_count, last_accessed);"
            "CREATE TABLE overrides (source_id, target_id);"
            "CREATE TABLE snapshots (id INTEGER PRIMARY KEY AUTOINCREMENT, timestamp, hot, warm, cold, forgotten);"
        )


def insert(conn: sqlite3.Connection, table: str, row: dict[str, str]) -> None:
    conn.execute(f"INSERT INTO {table} ({', '.join(row)}) VALUES ({', '.join(row.values())})")


def write_rows(path: Path, event: dict, memory: dict, snapshot: dict, overrides: tuple[str, str] | None = None) -> None:
    with closing(sqlite3.connect(path)) as conn, conn:
        insert(conn, "events", GOOD_EVENT)
        insert(conn, "memory_state", GOOD_MEMORY)
        insert(conn, "snapshots", GOOD_SNAPSHOT)
        insert(conn, "events", event)
        insert(conn, "memory_state", memory)
        insert(conn, "snapshots", snapshot)
        if overrides:
            insert(conn, "overrides", {"source_id": overrides[0], "target_id": overrides[1]})


@pytest.fixture(scope="module")
def valid_store(tmp_path_factory) -> Path:
    """A store as the runtime writes it: events, overrides, sweeps, and
    metadata of every JSON shape."""
    path = tmp_path_factory.mktemp("valid") / "valid.sqlite"
    rt = Runtime(str(path))
    ids = []
    for n in range(150):
        ids.append(rt.record(f"agent-{n % 4}", ("decision", "error", "correction")[n % 3], f"note {n % 20} " * 5,
                             ("low", "normal", "high")[n % 3], overrides=ids[n // 2] if n % 5 == 4 else None,
                             timestamp=f"2024-0{1 + n % 9}-1{n % 10}T10:30:00Z"))
        if n % 50 == 0:
            rt.sweep()
    del rt
    execute(str(path), """UPDATE events SET metadata = '{"tags":["a","b"],"n":1.5,"deep":[[[{"x":null}]]]}'
                          WHERE rowid % 3 = 0""")
    return path


def test_truncated_files(valid_store, tmp_path, figures):
    size = valid_store.stat().st_size
    data = valid_store.read_bytes()
    rng = random.Random(SEED)
    lengths = sorted({0, 1, 15, 16, 99, 100, 101, 512, 1024, 4095, 4096, 4097, 8192, size // 2, size - 1}
                     | {rng.randrange(size) for _ in range(scaled(10))})
    paths = []
    for length in lengths:
        path = tmp_path / f"cut-{length}.sqlite"
        path.write_bytes(data[:length])
        paths.append(str(path))
    calls = check_outcomes(exercise_files(paths))
    figures.update(seed=SEED, files=len(paths), calls=calls, bytes_cut=sum(size - n for n in lengths))


def test_random_byte_flips(valid_store, tmp_path, figures):
    data = valid_store.read_bytes()
    rng = random.Random(SEED)
    paths, flipped = [], 0
    for n in range(scaled(40)):
        damaged = bytearray(data)
        flips = rng.choice([1, 2, 8, 64, 512])
        # Half the files are hit in the first pages, where the header, the
        # schema and the roots of the tables live.
        span = len(data) if n % 2 else min(len(data), 4 * 4096)
        for _ in range(flips):
            damaged[rng.randrange(span)] ^= rng.randrange(1, 256)
        flipped += flips
        path = tmp_path / f"flip-{n}.sqlite"
        path.write_bytes(damaged)
        paths.append(str(path))
    calls = check_outcomes(exercise_files(paths))
    figures.update(seed=SEED, files=len(paths), calls=calls, bytes_corrupted=flipped)


def column_cases():
    for table, good in (("events", GOOD_EVENT), ("memory_state", GOOD_MEMORY), ("snapshots", GOOD_SNAPSHOT),
                        ("overrides", {"source_id": GOOD_EVENT["id"], "target_id": GOOD_EVENT["id"]})):
        for column in good:
            for name, literal in VALUES.items():
                yield table, column, name, literal


def test_values_of_every_storage_class_in_every_column(tmp_path, figures):
    paths = []
    other = "'0d6c1e6a-5b0e-4c55-8f0f-6b7a2f6f4a10'"
    for table, column, name, literal in column_cases():
        event = {**GOOD_EVENT, "id": other, "content": "'another'"}
        memory = {**GOOD_MEMORY, "event_id": other}
        snapshot = dict(GOOD_SNAPSHOT)
        overrides = (other, GOOD_EVENT["id"])
        if table == "events":
            event[column] = literal
            if column == "id":
                memory["event_id"] = literal
        elif table == "memory_state":
            memory[column] = literal
        elif table == "snapshots":
            snapshot[column] = literal
        else:
            overrides = (literal, GOOD_EVENT["id"]) if column == "source_id" else (other, literal)
        path = tmp_path / f"{table}-{column}-{name}.sqlite"
        free_schema(path)
        write_rows(path, event, memory, snapshot, overrides)
        paths.append(str(path))
    calls = check_outcomes(exercise_files(paths))
    figures.update(files=len(paths), calls=calls)


HUGE = 8 * 1024 * 1024
DEEP = 100_000
METADATA = {
    "huge-string": '"' + "m" * HUGE + '"',
    "huge-array": "[" + ",".join(["12345"] * (HUGE // 6)) + "]",
    "huge-object": "{" + ",".join(f'"k{n}":{n}' for n in range(HUGE // 16)) + "}",
    "deep-arrays": "[" * DEEP + "]" * DEEP,
    "deep-objects": '{"a":' * DEEP + "1" + "}" * DEEP,
    "deep-unclosed": "[" * DEEP,
    "deep-mixed": '[{"a":' * (DEEP // 2) + "0" + "}]" * (DEEP // 2),
    "depth-127": "[" * 127 + "]" * 127,
    "depth-128": "[" * 128 + "]" * 128,
    "brackets-in-strings": '["' + "[" * DEEP + '"]',
    "escaped-quotes": '["\\"' + "[" * DEEP + '"]',
    "big-numbers": "[1e999999,-1e999999,123456789012345678901234567890,0.0000000000000000000000001e-400]",
    "bad-escapes": '["\\ud800","\\udc00\\ud800","\\uZZZZ","\\x"]',
    "byte-order-mark": "\ufeff{}",
    "trailing": "{} {}",
    "empty": "",
    "just-whitespace": " \t\n ",
}


def test_huge_and_deeply_nested_metadata(tmp_path, figures):
    paths = []
    for name, metadata in METADATA.items():
        path = tmp_path / f"metadata-{name}.sqlite"
        Runtime(str(path)).record("agent", "decision", "a memory with metadata")
        execute(str(path), "UPDATE events SET metadata = ?", metadata)
        paths.append(str(path))
    for name, column in (("content", "content"), ("source", "source")):
        path = tmp_path / f"huge-{name}.sqlite"
        Runtime(str(path)).record("agent", "decision", "a")
        execute(str(path), f"UPDATE events SET {column} = ?", "a" * HUGE)
        paths.append(str(path))
    calls = check_outcomes(exercise_files(paths))
    figures.update(files=len(paths), calls=calls, largest_value_bytes=HUGE, deepest_nesting=DEEP)


TIMESTAMPS = [
    "0000-01-01T00:00:00+00:00",
    "9999-12-31T23:59:59.999999999+00:00",
    "+10000-01-01T00:00:00+00:00",
    "-0001-12-31T23:59:59+00:00",
    "+292277026596-12-04T15:30:07+00:00",
    "+292277026596-12-04T15:30:08+00:00",
    "+999999999999-12-31T23:59:59+00:00",
    "+9999999999999999999999-01-01T00:00:00+00:00",
    "-99999999-01-01T00:00:00+00:00",
    "2016-12-31T23:59:60+00:00",
    "2024-05-01T00:59:60+01:00",
    "2024-05-01T12:30:00.1234567891234+00:00",
    "2024-05-01T12:30:00\u221223:59",
    "2024-05-01T12:30:00-00:00",
    "2024-02-30T00:00:00+00:00",
    "2024-05-01T12:30:00",
    "2024-05-01",
    "",
    "not a time at all",
]


def test_odd_timestamps(tmp_path, figures):
    paths = []
    for n, stamp in enumerate(TIMESTAMPS):
        for column in ("timestamp", "last_accessed"):
            path = tmp_path / f"stamp-{n}-{column}.sqlite"
            Runtime(str(path)).record("agent", "decision", "when?")
            table = "events" if column == "timestamp" else "memory_state"
            execute(str(path), f"UPDATE {table} SET {column} = ?", stamp)
            paths.append(str(path))
    calls = check_outcomes(exercise_files(paths))
    figures.update(files=len(paths), calls=calls)


SCHEMAS = {
    "events-without-kind": "CREATE TABLE events (id TEXT PRIMARY KEY, timestamp, source, content, metadata, "
    "importance);",
    "events-without-rowid": "CREATE TABLE events (id TEXT PRIMARY KEY, timestamp, source, kind, content, metadata, "
    "importance) WITHOUT ROWID;",
    "extra-required-column": "CREATE TABLE events (id, timestamp, source, kind, content, metadata, importance, "
    "extra NOT NULL);",
    "events-is-a-view": "CREATE VIEW events AS SELECT 1 AS id;",
    "memory-without-event": "CREATE TABLE memory_state (event_id, salience, tier, occurrence_count, last_accessed);"
    f"INSERT INTO memory_state VALUES ('0d6c1e6a-5b0e-4c55-8f0f-6b7a2f6f4a10', 1.0, 'hot', 1, '{STAMP}');",
    "duplicate-ids": "CREATE TABLE events (id, timestamp, source, kind, content, metadata, importance);"
    + f"INSERT INTO events VALUES ({GOOD_EVENT['id']}, '{STAMP}', 's', 'decision', 'c', 'null', 'normal');" * 3
    + "CREATE TABLE memory_state (event_id, salience, tier, occurrence_count, last_accessed);"
    + f"INSERT INTO memory_state VALUES ({GOOD_EVENT['id']}, 1.0, 'hot', 1, '{STAMP}');" * 3,
    "refusing-trigger": "CREATE TABLE events (id TEXT PRIMARY KEY, timestamp, source, kind, content, metadata, "
    "importance);"
    "CREATE TRIGGER no AFTER INSERT ON events BEGIN SELECT RAISE(ABORT, 'refused'); END;",
    "snapshots-is-a-view": "CREATE VIEW snapshots AS SELECT 1 AS id, 'x' AS timestamp, -1 AS hot, 2.5 AS warm, "
    "'c' AS cold, NULL AS forgotten;",
    "tables-are-indexes-names": "CREATE TABLE idx_events_kind (x);",
}


def test_odd_schemas(tmp_path, figures):
    paths = []
    for name, script in SCHEMAS.items():
        path = tmp_path / f"schema-{name}.sqlite"
        with closing(sqlite3.connect(path)) as conn:
            conn.executescript(script)
        paths.append(str(path))
    outcomes = exercise_files(paths)
    calls = check_outcomes(outcomes)
    # A trigger on the store's tables is refused when the file is opened,
    # before it can run (and nothing is written).
    refused = str(tmp_path / "schema-refusing-trigger.sqlite")
    assert outcomes[refused]["open"].startswith("RuntimeError: storage error: unexpected trigger")
    assert execute(refused, "SELECT COUNT(*) FROM events") == [(0,)]
    figures.update(files=len(paths), calls=calls)


ENDLESS = "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n) SELECT x FROM n"
HANGING = {
    "snapshots": (
        f"DROP TABLE snapshots; CREATE VIEW snapshots AS SELECT x AS id, '{STAMP}' AS timestamp, 0 AS hot, "
        f"0 AS warm, 0 AS cold, 0 AS forgotten FROM ({ENDLESS});"
    ),
    "record": f"CREATE TRIGGER endless AFTER INSERT ON events BEGIN SELECT COUNT(*) FROM ({ENDLESS}); END;",
}


def test_endless_statements_in_a_hostile_schema_do_not_hang(tmp_path):
    children = {}
    try:
        for call, script in HANGING.items():
            path = tmp_path / f"endless-{call}.sqlite"
            Runtime(str(path))
            with closing(connect(str(path))) as conn:
                conn.executescript(script)
            children[call] = Child.start("exercise", path=str(path), calls=[call])
        deadline = time.monotonic() + 6
        finished = {call: child.read_until(deadline, "result") for call, child in children.items()}
    finally:
        for child in children.values():
            child.kill()
    hung = [call for call, done in finished.items() if not done]
    assert hung == [], f"still running after 6 s: {hung}"


def test_an_event_from_the_earliest_instant_decays_to_forgotten(tmp_path):
    path = str(tmp_path / "ancient.sqlite")
    Runtime(path).record("agent", "decision", "older than the universe")
    execute(path, "UPDATE events SET timestamp = '-292277022657-01-27T08:29:52+00:00'")
    outcome = run_worker("exercise", 60, path=path, calls=["sweep"])
    assert outcome["open"] == "ok"
    if outcome["sweep"] == "ok":
        assert execute(path, "SELECT salience, tier FROM memory_state") == [(0.0, "forgotten")]
    else:
        assert outcome["sweep"].startswith("RuntimeError: storage error: ")


def test_exercised_files_are_left_where_they_were(tmp_path):
    # The children work on their own files; nothing else appears beside them.
    path = tmp_path / "one.sqlite"
    shutil.copy(Path(__file__), tmp_path / "not-a-database.sqlite")
    Runtime(str(path)).record("s", "decision", "c")
    check_outcomes(exercise_files([str(path), str(tmp_path / "not-a-database.sqlite")]))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["not-a-database.sqlite", "one.sqlite"]
