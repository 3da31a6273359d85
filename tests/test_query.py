"""Querying memories and counting events."""

import datetime as dt
import math
import sqlite3
from contextlib import closing

import pytest

from quenlith import Runtime

KEYS = ["id", "content", "source", "salience", "tier", "occurrence_count", "timestamp", "is_overridden"]


@pytest.fixture
def db(tmp_path):
    return str(tmp_path / "memory.db")


@pytest.fixture
def rt(db):
    return Runtime(db)


def execute(db, sql, *params):
    with closing(sqlite3.connect(db)) as conn, conn:
        return conn.execute(sql, params).fetchall()


def contents(memories):
    return sorted(m["content"] for m in memories)


def test_empty_store(rt):
    assert rt.query() == []
    assert rt.count() == 0


def test_dicts_have_eight_keys_in_order_strongest_first(rt):
    rt.record("s", "observation", "weak", "low")
    rt.record("s", "decision", "strong", "critical")
    memories = rt.query()
    assert [list(m) for m in memories] == [KEYS, KEYS]
    assert [m["content"] for m in memories] == ["strong", "weak"]
    assert [m["tier"] for m in memories] == ["Hot", "Cold"]
    assert isinstance(memories[0]["salience"], float) and memories[0]["is_overridden"] is False


def test_default_limit_is_twenty_and_calls_agree(rt):
    for i in range(25):
        rt.record("s", "observation", f"event {i}")
    assert len(rt.query()) == 20
    assert rt.query() == rt.query(limit=20) == rt.query(None, None, None, None, 20)
    assert len(rt.query(limit=100)) == 25
    assert rt.query(limit=0) == []
    assert len(rt.query(limit=True)) == 1


@pytest.mark.parametrize(
    "text, expected",
    [
        ("hot", ["HOT stuff", "Hot stuff", "photos"]),
        ("", ["HOT stuff", "Hot stuff", "O'Brien called", "caf\u00c9", "photos", "price 50%", "x"]),
        ("50%", ["price 50%"]),
        ("_", ["HOT stuff", "Hot stuff", "O'Brien called", "caf\u00c9", "photos", "price 50%", "x"]),
        ("O'Brien", ["O'Brien called"]),
        ("caf\u00e9", []),
        ("caf\u00c9", ["caf\u00c9"]),
    ],
)
def test_text_filter_is_a_like_with_wildcards(rt, text, expected):
    for content in ["Hot stuff", "HOT stuff", "photos", "price 50%", "O'Brien called", "caf\u00c9", "x"]:
        rt.record("s", "observation", content)
    assert contents(rt.query(text)) == expected


def test_source_filter_is_exact(rt):
    rt.record("O'Brien", "observation", "quoted")
    rt.record("agent", "observation", "plain")
    rt.record("", "observation", "anonymous")
    assert contents(rt.query(source="O'Brien")) == ["quoted"]
    assert rt.query(source="Agent") == []
    assert contents(rt.query(source="")) == ["anonymous"]


def test_min_salience_is_inclusive_and_accepts_ints(rt, db):
    rt.record("s", "observation", "low", "low")
    rt.record("s", "decision", "high", "high")
    exact = rt.query()[1]["salience"]
    assert contents(rt.query(min_salience=exact)) == ["high", "low"]
    assert contents(rt.query(min_salience=1)) == ["high"]
    execute(db, "UPDATE memory_state SET salience = 1 WHERE tier = 'cold'")
    assert contents(rt.query(min_salience=1)) == ["high", "low"]


def test_tier_filter_takes_text_forms(rt):
    rt.record("s", "decision", "hot one")
    rt.record("s", "observation", "cold one", "low")
    assert [m["tier"] for m in rt.query(tier="hot")] == ["Hot"]
    assert rt.query(tier="forgotten") == []
    with pytest.raises(RuntimeError) as caught:
        rt.query(tier="Hot")
    assert str(caught.value) == "unknown tier: 'Hot'. Expected: hot, warm, cold, forgotten"


@pytest.mark.parametrize(
    "kwargs, exception, message",
    [
        ({"limit": None}, TypeError, "argument 'limit': 'NoneType' object cannot be interpreted as an integer"),
        ({"limit": 1.5}, TypeError, "argument 'limit': 'float' object cannot be interpreted as an integer"),
        ({"limit": -1}, OverflowError, None),
        ({"limit": 2**64}, OverflowError, None),
        ({"limit": 2**63}, RuntimeError, "query error: "),
        ({"min_salience": "1"}, TypeError, "argument 'min_salience': must be real number, not str"),
        ({"min_salience": math.nan}, RuntimeError, "query error: no such column: NaN"),
        ({"min_salience": math.inf}, RuntimeError, "query error: no such column: inf"),
        ({"text": 5}, TypeError, "argument 'text': 'int' object cannot be converted to 'PyString'"),
        ({"source": b"x"}, TypeError, "argument 'source': 'bytes' object cannot be converted to 'PyString'"),
        ({"text": "a\x00b"}, RuntimeError, "query error: nul byte found in provided data at position: 1"),
        ({"source": "\x00"}, RuntimeError, "query error: nul byte found in provided data at position: 0"),
    ],
)
def test_bad_arguments(rt, kwargs, exception, message):
    rt.record("s", "observation", "a\x00b")
    with pytest.raises(exception) as caught:
        rt.query(**kwargs)
    if message is not None:
        assert str(caught.value).startswith(message)


def test_overridden_memory_shows_cold_until_swept_and_stays_flagged(rt):
    target = rt.record("s", "decision", "use model A")
    rt.record("s", "correction", "use model B", overrides=target)
    [memory] = [m for m in rt.query() if m["id"] == target]
    assert (memory["tier"], memory["is_overridden"]) == ("Cold", True)
    rt.sweep()
    [memory] = [m for m in rt.query() if m["id"] == target]
    assert (memory["tier"], memory["is_overridden"]) == ("Hot", True)


def test_ids_and_timestamps_are_formatted_afresh(rt, db):
    hour_ago = dt.datetime.now(dt.timezone.utc).replace(microsecond=250000) - dt.timedelta(hours=1)
    utc_text = hour_ago.strftime("%Y-%m-%dT%H:%M:%S")
    event_id = rt.record("s", "observation", "c", timestamp=utc_text + ".250Z")
    assert rt.query()[0]["timestamp"] == utc_text + ".250+00:00"
    # Another writer stores the same event in other text forms.
    local_text = (hour_ago + dt.timedelta(hours=2)).strftime("%Y-%m-%dT%H:%M:%S") + "+02:00"
    execute(db, "UPDATE events SET id = upper(id), timestamp = ?", local_text)
    execute(db, "UPDATE memory_state SET event_id = upper(event_id)")
    [memory] = rt.query()
    assert (memory["id"], memory["timestamp"]) == (event_id, utc_text + "+00:00")


@pytest.mark.parametrize(
    "column, value, detail",
    [
        ("kind", "Decision", "unknown variant `Decision`, expected one of `user_action`, `observation`, `decision`, `error`, `correction` at line 1 column 10"),
        ("importance", "urgent", "unknown variant `urgent`"),
        ("metadata", "{not json", ""),
        ("timestamp", "yesterday", ""),
        ("id", "not-a-uuid", "invalid character: found `n` at 1"),
    ],
)
def test_a_corrupted_row_fails_queries_but_nothing_else(rt, db, column, value, detail):
    rt.record("s", "observation", "fine")
    execute(db, f"UPDATE events SET {column} = ?", value)
    if column == "id":
        execute(db, "UPDATE memory_state SET event_id = ?", value)
    with pytest.raises(RuntimeError) as caught:
        rt.query()
    assert str(caught.value).startswith("storage error: " + detail)
    assert rt.count() == 1
    assert rt.inspect()["warm"] == 1
    rt.record("s", "observation", "still records")


def test_corrupted_tier_and_wrong_storage_class(rt, db):
    rt.record("s", "observation", "fine")
    execute(db, "UPDATE memory_state SET tier = 'lukewarm'")
    with pytest.raises(RuntimeError, match=r"^storage error: unknown variant `lukewarm`"):
        rt.query()
    execute(db, "UPDATE memory_state SET tier = 'cold', last_accessed = X'00'")
    with pytest.raises(RuntimeError) as caught:
        rt.query()
    assert str(caught.value) == "query error: Invalid column type Blob at index: 10, name: last_accessed"


def test_query_changes_nothing(rt, db):
    rt.record("s", "decision", "c")
    before = execute(db, "SELECT * FROM memory_state")
    rt.query("c")
    assert execute(db, "SELECT * FROM memory_state") == before


def test_count_includes_forgotten_memories(rt):
    rt.record("s", "observation", "ancient", timestamp="2001-01-01T00:00:00Z")
    rt.record("s", "decision", "fresh")
    assert rt.count() == 2
    assert len(rt.query()) == 1


def test_a_busy_source_and_a_rare_one_are_both_found_in_salience_order(rt, db):
    # Enough events for the busy source to be searched down the salience
    # order rather than sorted; written directly to keep the test quick.
    rt.record("busy", "observation", "template")
    rt.record("rare", "decision", "the only one")
    with closing(sqlite3.connect(db)) as conn, conn:
        (event,) = conn.execute("SELECT * FROM events WHERE source = 'busy'").fetchall()
        (memory,) = conn.execute("SELECT * FROM memory_state WHERE event_id = ?", (event[0],)).fetchall()
        for i in range(5000):
            event_id = f"{i:08x}-0000-4000-8000-000000000000"
            conn.execute("INSERT INTO events VALUES (?, ?, ?, ?, ?, ?, ?)", (event_id, *event[1:4], f"busy {i}", *event[5:]))
            conn.execute(
                "INSERT INTO memory_state VALUES (?, ?, ?, ?, ?)", (event_id, (i % 997) / 100, "warm", 1, memory[4])
            )
    busy = rt.query(source="busy", limit=50)
    assert [m["salience"] for m in busy] == sorted((m["salience"] for m in busy), reverse=True)
    assert busy[0]["salience"] == 9.96 and all(m["source"] == "busy" for m in busy)
    assert [m["content"] for m in rt.query(source="rare")] == ["the only one"]
    with_tier = rt.query(source="busy", tier="warm", min_salience=9.9, limit=1000)
    assert len(with_tier) == 5 * 7 and {m["tier"] for m in with_tier} == {"Warm"}
