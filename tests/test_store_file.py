"""The database file: schema, reopening, foreign files and closing."""

import gc
import sqlite3
from contextlib import closing

import pytest

from quenlith import Runtime

TABLES = ["events", "memory_state", "overrides", "snapshots", "sqlite_sequence"]
INDEXES = [
    "idx_events_kind",
    "idx_events_source",
    "idx_events_timestamp",
    "idx_memory_salience",
    "idx_memory_tier",
    "idx_overrides_target",
]


def schema(path):
    with closing(sqlite3.connect(path)) as conn:
        return {
            kind: [name for (name,) in conn.execute(
                "SELECT name FROM sqlite_master WHERE type = ? AND name NOT LIKE 'sqlite_autoindex%' ORDER BY name",
                (kind,),
            )]
            for kind in ("table", "index")
        }


def test_a_new_file_gets_the_schema_and_reopening_keeps_rows(tmp_path):
    path = str(tmp_path / "x.db")
    rt = Runtime(path)
    rt.record("s", "decision", "kept")
    rt.sweep()
    del rt
    assert schema(path) == {"table": TABLES, "index": INDEXES}
    rt = Runtime(path)
    assert rt.count() == 1
    assert len(rt.get_snapshots()) == 1
    assert [m["content"] for m in rt.query()] == ["kept"]


def test_events_table_definition_keeps_its_layout(tmp_path):
    path = str(tmp_path / "x.db")
    Runtime(path)
    with closing(sqlite3.connect(path)) as conn:
        (sql,) = conn.execute("SELECT sql FROM sqlite_master WHERE name = 'overrides'").fetchone()
    assert sql == (
        "CREATE TABLE overrides (\n"
        "            source_id TEXT NOT NULL REFERENCES events(id),\n"
        "            target_id TEXT NOT NULL REFERENCES events(id),\n"
        "            PRIMARY KEY (source_id, target_id)\n"
        "        )"
    )


def test_memory_databases_are_private():
    a, b = Runtime(":memory:"), Runtime(":memory:")
    a.record("s", "decision", "only in a")
    assert (a.count(), b.count()) == (1, 0)


def test_a_text_file_is_not_a_database_and_stays_unchanged(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_text("these are not the pages you are looking for\n" * 100)
    before = path.read_bytes()
    with pytest.raises(RuntimeError) as caught:
        Runtime(str(path))
    assert str(caught.value) == "storage error: file is not a database"
    assert path.read_bytes() == before


def test_an_empty_file_receives_the_schema(tmp_path):
    path = tmp_path / "empty.db"
    path.touch()
    Runtime(str(path)).record("s", "decision", "c")
    assert schema(str(path))["table"] == TABLES


def test_a_conflicting_schema_reports_the_failing_statement(tmp_path):
    path = str(tmp_path / "old.db")
    with closing(sqlite3.connect(path)) as conn:
        conn.execute("CREATE TABLE events (id TEXT PRIMARY KEY, content TEXT)")
    with pytest.raises(RuntimeError) as caught:
        Runtime(path)
    message = str(caught.value)
    assert message.startswith("storage error: no such column: timestamp in ")
    assert "CREATE INDEX IF NOT EXISTS idx_events_timestamp ON events(timestamp);" in message
    # Statements before the failing one stay applied.
    assert "memory_state" in schema(path)["table"]


def test_foreign_keys_are_enforced(tmp_path):
    rt = Runtime(str(tmp_path / "x.db"))
    with pytest.raises(RuntimeError, match="FOREIGN KEY constraint failed"):
        rt.record("s", "correction", "c", overrides="11111111-2222-4333-8444-555555555555")


def test_deallocation_closes_the_database(tmp_path):
    path = str(tmp_path / "x.db")
    rt = Runtime(path)
    rt.record("s", "decision", "c")
    del rt
    gc.collect()
    # Nobody else holds the file: an exclusive lock is granted at once.
    with closing(sqlite3.connect(path, timeout=0)) as conn:
        conn.execute("BEGIN EXCLUSIVE")
        conn.execute("ROLLBACK")
    assert not (tmp_path / "x.db-journal").exists()


def test_uri_paths_are_honoured(tmp_path):
    path = tmp_path / "uri.db"
    Runtime(str(path)).record("s", "decision", "c")
    reader = Runtime(f"file:{path}?mode=ro")
    assert reader.count() == 1
    with pytest.raises(RuntimeError, match="readonly"):
        reader.record("s", "decision", "nope")
    assert reader.count() == 1


OLD_INDEXES = {
    "idx_events_source": "CREATE INDEX idx_events_source ON events(source)",
    "idx_memory_salience": "CREATE INDEX idx_memory_salience ON memory_state(salience)",
    "idx_memory_tier": "CREATE INDEX idx_memory_tier ON memory_state(tier)",
}


def index_definitions(path):
    with closing(sqlite3.connect(path)) as conn:
        return dict(conn.execute("SELECT name, sql FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"))


def answers(rt):
    # Memories of equal salience may come in any order; the plan decides.
    def canonical(memories):
        return sorted(memories, key=lambda m: (-m["salience"], m["id"]))

    return (canonical(rt.query(limit=100)), canonical(rt.query(source="agent-1")), canonical(rt.query(tier="hot")),
            rt.inspect())


def make_file_with_single_column_indexes(path):
    rt = Runtime(path)
    for i in range(30):
        rt.record(f"agent-{i % 3}", "decision", f"event {i % 7}", ["low", "normal", "high"][i % 3])
    expected = answers(rt)
    del rt
    with closing(sqlite3.connect(path)) as conn, conn:
        for name, sql in OLD_INDEXES.items():
            conn.execute(f"DROP INDEX {name}")
            conn.execute(sql)
    return expected


def test_files_with_earlier_index_definitions_are_upgraded_and_answer_alike(tmp_path):
    path = str(tmp_path / "old.db")
    expected = make_file_with_single_column_indexes(path)
    rt = Runtime(path)
    assert answers(rt) == expected
    definitions = index_definitions(path)
    assert definitions["idx_events_source"] == "CREATE INDEX idx_events_source ON events(source, content)"
    assert sorted(definitions) == INDEXES


def test_a_read_only_file_with_earlier_indexes_still_opens(tmp_path):
    path = str(tmp_path / "old.db")
    expected = make_file_with_single_column_indexes(path)
    rt = Runtime(f"file:{path}?mode=ro")
    assert answers(rt) == expected
    assert {k: v for k, v in index_definitions(path).items() if k in OLD_INDEXES} == OLD_INDEXES


@pytest.mark.parametrize(
    "script, message",
    [
        ("DROP TABLE snapshots; CREATE VIEW snapshots AS SELECT 1 AS id",
         "storage error: unexpected view 'snapshots' on the store's tables"),
        ("CREATE TRIGGER audit AFTER INSERT ON events BEGIN SELECT 1; END",
         "storage error: unexpected trigger 'audit' on the store's tables"),
    ],
)
def test_files_running_foreign_code_in_the_stores_tables_are_refused(tmp_path, script, message):
    path = str(tmp_path / "x.db")
    Runtime(path)
    with closing(sqlite3.connect(path)) as conn:
        conn.executescript(script)
    with pytest.raises(RuntimeError) as caught:
        Runtime(path)
    assert str(caught.value) == message
