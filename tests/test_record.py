"""Recording events: ids, kinds, importance, overrides, timestamps, scores."""

import datetime as dt
import math
import sqlite3
from contextlib import closing

import pytest

from quenlith import Runtime


@pytest.fixture
def db(tmp_path):
    return str(tmp_path / "memory.db")


@pytest.fixture
def rt(db):
    return Runtime(db)


def rows(db, sql, *params):
    with closing(sqlite3.connect(db)) as conn:
        return conn.execute(sql, params).fetchall()


def memory_of(db, event_id):
    return rows(db, "SELECT salience, tier, occurrence_count FROM memory_state WHERE event_id = ?", event_id)[0]


def ago(**delta):
    return (dt.datetime.now(dt.timezone.utc) - dt.timedelta(**delta)).isoformat()


def test_record_returns_the_stored_lower_case_id(rt, db):
    event_id = rt.record("agent-1", "decision", "use the small model")
    assert len(event_id) == 36 and event_id == event_id.lower()
    assert rows(db, "SELECT id, source, kind, content, metadata, importance FROM events") == [
        (event_id, "agent-1", "decision", "use the small model", "null", "normal")
    ]
    stored_timestamp, last_accessed = rows(
        db, "SELECT e.timestamp, m.last_accessed FROM events e JOIN memory_state m ON m.event_id = e.id"
    )[0]
    assert stored_timestamp == last_accessed and stored_timestamp.endswith("+00:00")


@pytest.mark.parametrize(
    "kind, importance, salience, tier",
    [
        ("user_action", "normal", 1.098612, "warm"),
        ("decision", "normal", 2.197225, "hot"),
        ("observation", "low", 0.384514, "cold"),
        ("correction", "critical", 13.183347, "hot"),
    ],
)
def test_first_occurrence_scores_by_kind_and_importance(rt, db, kind, importance, salience, tier):
    event_id = rt.record("agent", kind, "something", importance)
    stored_salience, stored_tier, count = memory_of(db, event_id)
    assert stored_salience == pytest.approx(salience, abs=1e-6)
    assert (stored_tier, count) == (tier, 1)


def test_a_thirty_day_old_event_lands_in_cold(rt, db):
    event_id = rt.record("agent", "user_action", "old news", timestamp=ago(days=30))
    salience, tier, _ = memory_of(db, event_id)
    assert salience == pytest.approx(0.056327, abs=1e-6)
    assert tier == "cold"


def test_occurrences_are_counted_per_exact_content_and_source(rt, db):
    first = rt.record("a", "observation", "disk full")
    second = rt.record("a", "observation", "disk full")
    other_source = rt.record("b", "observation", "disk full")
    other_case = rt.record("a", "observation", "Disk full")
    assert [memory_of(db, i)[2] for i in (first, second, other_source, other_case)] == [1, 2, 1, 1]
    assert memory_of(db, second)[0] == pytest.approx(0.7 * math.log(4))


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"kind": "Decision"}, "unknown event kind: 'Decision'. Expected: user_action, observation, decision, error, correction"),
        ({"importance": "urgent"}, "unknown importance: 'urgent'. Expected: low, normal, high, critical"),
        ({"kind": "nope", "importance": "urgent"}, "unknown event kind: 'nope'. Expected: user_action, observation, decision, error, correction"),
        ({"overrides": "not-a-uuid"}, "invalid overrides UUID: invalid character: found `n` at 1"),
        ({"overrides": "1234"}, "invalid overrides UUID: invalid length: expected length 32 for simple format, found 4"),
        ({"overrides": ""}, "invalid overrides UUID: invalid length: expected length 32 for simple format, found 0"),
        ({"overrides": "67e55044-10b1-426f-9247"}, "invalid overrides UUID: invalid group count: expected 5, found 4"),
        ({"timestamp": "2024-01-15T10:30:00"}, "invalid timestamp (expected RFC3339): premature end of input"),
        ({"timestamp": "2024-02-30T00:00:00Z"}, "invalid timestamp (expected RFC3339): input is out of range"),
        ({"timestamp": "2024-01-15T10:30:00+0200"}, "invalid timestamp (expected RFC3339): input contains invalid characters"),
        ({"timestamp": "2024-01-15T10:30:00Z "}, "invalid timestamp (expected RFC3339): trailing input"),
    ],
)
def test_bad_texts_raise_runtime_error_and_store_nothing(rt, db, kwargs, message):
    args = {"source": "s", "kind": "decision", "content": "c", **kwargs}
    with pytest.raises(RuntimeError) as caught:
        rt.record(**args)
    assert str(caught.value) == message
    assert rt.count() == 0


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"importance": None}, "argument 'importance': 'NoneType' object cannot be converted to 'PyString'"),
        ({"overrides": ["x"]}, "argument 'overrides': 'list' object cannot be converted to 'PyString'"),
        ({"source": b"s"}, "argument 'source': 'bytes' object cannot be converted to 'PyString'"),
        ({"timestamp": 1700000000}, "argument 'timestamp': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_non_text_arguments_raise_type_error(rt, kwargs, message):
    args = {"source": "s", "kind": "decision", "content": "c", **kwargs}
    with pytest.raises(TypeError) as caught:
        rt.record(**args)
    assert str(caught.value) == message


def test_none_for_overrides_and_timestamp_means_absent(rt, db):
    rt.record("s", "decision", "c", "normal", None, None)
    assert rows(db, "SELECT COUNT(*) FROM overrides") == [(0,)]
    assert rt.count() == 1


@pytest.mark.parametrize(
    "text, stored",
    [
        ("2024-01-15T10:30:00Z", "2024-01-15T10:30:00+00:00"),
        ("2024-01-15 10:30:00.5z", "2024-01-15T10:30:00.500+00:00"),
        ("2024-01-15t12:30:00+02:00", "2024-01-15T10:30:00+00:00"),
        ("2024-01-15T10:30:00.123456-01:30", "2024-01-15T12:00:00.123456+00:00"),
        ("2024-01-15T10:30:00.1234567891234Z", "2024-01-15T10:30:00.123456789+00:00"),
        ("2024-01-15T10:30:00\u221201:00", "2024-01-15T11:30:00+00:00"),
        # Offsets can carry an instant past the four-digit years.
        ("9999-12-31T23:59:59-00:01", "+10000-01-01T00:00:59+00:00"),
        ("0000-01-01T00:00:00+00:01", "-0001-12-31T23:59:00+00:00"),
    ],
)
def test_timestamps_are_stored_in_utc_and_read_back_alike(rt, db, text, stored):
    event_id = rt.record("s", "observation", "c", timestamp=text)
    assert rows(db, "SELECT timestamp FROM events WHERE id = ?", event_id) == [(stored,)]
    # Old instants are forgotten at once; make the memory live to read it back.
    with closing(sqlite3.connect(db)) as conn, conn:
        conn.execute("UPDATE memory_state SET tier = 'hot'")
    [memory] = rt.query()
    assert memory["timestamp"] == stored
    assert rt.sweep()["total_processed"] == 1


def test_overrides_accept_every_uuid_form(rt, db):
    target = rt.record("s", "decision", "use model A")
    simple = target.replace("-", "").upper()
    for form in (simple, "{" + target + "}", "urn:uuid:" + target, target.upper()):
        rt.record("s", "correction", "use model B", overrides=form)
    assert rows(db, "SELECT DISTINCT target_id FROM overrides") == [(target,)]


def test_override_demotes_the_target_to_cold_at_a_quarter(rt, db):
    target = rt.record("s", "decision", "use model A")
    rt.record("s", "correction", "use model B", overrides=target)
    salience, tier, _ = memory_of(db, target)
    assert (salience, tier) == (pytest.approx(2.197225 / 4, abs=1e-6), "cold")
    rt.record("s", "correction", "use model C", overrides=target)
    assert memory_of(db, target)[0] == pytest.approx(2.197225 / 16, abs=1e-6)


def test_override_leaves_a_forgotten_target_unchanged(rt, db):
    target = rt.record("s", "observation", "ancient", timestamp="2001-01-01T00:00:00Z")
    before = memory_of(db, target)
    assert before[1] == "forgotten"
    rt.record("s", "correction", "newer", overrides=target)
    assert memory_of(db, target) == before


def test_override_of_a_missing_event_stores_nothing(rt, db):
    rt.record("s", "decision", "keep me")
    with pytest.raises(RuntimeError, match=r"^storage error: FOREIGN KEY constraint failed$"):
        rt.record("s", "correction", "dangling", overrides="00000000-0000-0000-0000-000000000000")
    assert rt.count() == 1
    for table, expected in (("events", 1), ("memory_state", 1), ("overrides", 0)):
        assert rows(db, f"SELECT COUNT(*) FROM {table}") == [(expected,)]


def test_text_with_nul_and_non_ascii_is_kept_exactly(rt, db):
    content = "caf\u00e9 \u2603 a\x00b"
    event_id = rt.record("s\u00fc", "observation", content)
    [memory] = rt.query()
    assert (memory["id"], memory["content"], memory["source"]) == (event_id, content, "s\u00fc")
