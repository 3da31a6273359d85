"""The decay sweep, tier counts, snapshots and the salience distribution."""

import datetime as dt
import sqlite3
from contextlib import closing

import pytest

from quenlith import Runtime

ZERO_SWEEP = {"total_processed": 0, "promoted": 0, "demoted": 0, "forgotten": 0}


@pytest.fixture
def db(tmp_path):
    return str(tmp_path / "memory.db")


@pytest.fixture
def rt(db):
    return Runtime(db)


def execute(db, sql, *params):
    with closing(sqlite3.connect(db)) as conn, conn:
        return conn.execute(sql, params).fetchall()


def days_ago(days):
    return (dt.datetime.now(dt.timezone.utc) - dt.timedelta(days=days)).isoformat()


def memory_of(db, event_id):
    return execute(db, "SELECT salience, tier FROM memory_state WHERE event_id = ?", event_id)[0]


def test_empty_store(rt):
    assert list(rt.inspect().items()) == [("total_events", 0), ("hot", 0), ("warm", 0), ("cold", 0), ("forgotten", 0)]
    assert rt.get_snapshots() == []
    assert rt.get_salience_distribution() == []
    result = rt.sweep()
    assert list(result.items()) == list(ZERO_SWEEP.items())
    [snapshot] = rt.get_snapshots()
    assert list(snapshot) == ["timestamp", "hot", "warm", "cold", "forgotten"]
    assert snapshot["timestamp"].endswith("+00:00")
    assert [snapshot[k] for k in ("hot", "warm", "cold", "forgotten")] == [0, 0, 0, 0]


@pytest.mark.parametrize(
    "stored_tier, age_days, moved, new_tier",
    [
        ("hot", 30, "demoted", "cold"),  # across two tiers, counted once
        ("hot", 90, "forgotten", "forgotten"),  # below the cold threshold, counted once
        ("cold", 0, "promoted", "warm"),
        ("warm", 0, None, "warm"),
    ],
)
def test_moves_are_counted_once(rt, db, stored_tier, age_days, moved, new_tier):
    event_id = rt.record("s", "user_action", "c", timestamp=days_ago(age_days))
    execute(db, "UPDATE memory_state SET tier = ?", stored_tier)
    result = rt.sweep()
    expected = dict(ZERO_SWEEP, total_processed=1)
    if moved:
        expected[moved] = 1
    assert result == expected
    assert memory_of(db, event_id)[1] == new_tier


def test_forgotten_memories_stay_forgotten_and_unchanged(rt, db):
    event_id = rt.record("s", "observation", "ancient", timestamp="2001-01-01T00:00:00Z")
    before = memory_of(db, event_id)
    assert before[1] == "forgotten"
    for _ in range(3):
        assert rt.sweep() == ZERO_SWEEP
    assert memory_of(db, event_id) == before
    assert rt.inspect()["forgotten"] == 1
    assert rt.get_snapshots(1)[0]["forgotten"] == 1
    assert rt.get_salience_distribution() == []


def test_sweep_forgotten_counts_this_sweep_only(rt, db):
    rt.record("s", "user_action", "a", timestamp=days_ago(90))
    rt.record("s", "user_action", "b", timestamp=days_ago(90))
    execute(db, "UPDATE memory_state SET tier = 'hot'")
    assert rt.sweep()["forgotten"] == 2
    rt.record("s", "user_action", "c", timestamp=days_ago(90))
    assert rt.sweep()["forgotten"] == 0
    assert rt.inspect()["forgotten"] == 3
    assert rt.get_snapshots(1)[0]["forgotten"] == 3


def test_overridden_memory_is_promoted_back(rt, db):
    target = rt.record("s", "decision", "use model A")
    rt.record("s", "correction", "use model B", overrides=target)
    assert memory_of(db, target)[1] == "cold"
    assert rt.sweep() == dict(ZERO_SWEEP, total_processed=2, promoted=1)
    assert memory_of(db, target)[1] == "hot"


def test_snapshots_are_the_newest_oldest_first(rt):
    for i in range(3):
        rt.record("s", "decision", f"event {i}")
        rt.sweep()
    all_three = rt.get_snapshots()
    assert [s["hot"] for s in all_three] == [1, 2, 3]
    assert rt.get_snapshots(2) == all_three[1:]
    assert rt.get_snapshots() == rt.get_snapshots(100) == rt.get_snapshots(limit=100)
    assert rt.get_snapshots(True) == all_three[2:]
    assert rt.get_snapshots(0) == []
    assert rt.get_snapshots(2**63 - 1) == all_three


@pytest.mark.parametrize(
    "limit, exception, message",
    [
        (None, TypeError, "argument 'limit': 'NoneType' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'limit': 'str' object cannot be interpreted as an integer"),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (2**63, RuntimeError, "storage error: out of range integral type conversion attempted"),
    ],
)
def test_snapshot_limit_errors(rt, limit, exception, message):
    with pytest.raises(exception) as caught:
        rt.get_snapshots(limit)
    if message:
        assert str(caught.value) == message


def test_statistics_agree_with_each_other(tmp_path):
    now = dt.datetime.now(dt.timezone.utc)
    for policy in ("balanced", "coding", "knowledge", "assistant"):
        rt = Runtime(str(tmp_path / f"{policy}.db"), policy)
        kinds = ["user_action", "observation", "decision", "error", "correction"]
        for day in range(0, 120, 3):
            rt.record("agent", kinds[day % 5], f"event {day % 7}", ["low", "normal", "high", "critical"][day % 4],
                      timestamp=(now - dt.timedelta(days=day)).isoformat())
        result = rt.sweep()
        counts = rt.inspect()
        snapshot = rt.get_snapshots(1)[0]
        distribution = rt.get_salience_distribution()
        assert counts["total_events"] == 40
        assert sum(counts[t] for t in ("hot", "warm", "cold", "forgotten")) == 40
        assert {k: snapshot[k] for k in ("hot", "warm", "cold", "forgotten")} == {
            k: counts[k] for k in ("hot", "warm", "cold", "forgotten")
        }
        assert len(distribution) == counts["hot"] + counts["warm"] + counts["cold"] == result["total_processed"] - result["forgotten"]
        assert distribution == sorted(distribution, reverse=True)
        assert len(rt.query(limit=1000)) == len(distribution)
        assert [m["salience"] for m in rt.query(limit=1000)] == distribution


def test_distribution_returns_floats_for_integer_salience(rt, db):
    rt.record("s", "decision", "a")
    rt.record("s", "observation", "b")
    execute(db, "UPDATE memory_state SET salience = 1 WHERE tier = 'warm'")
    values = rt.get_salience_distribution()
    assert all(type(v) is float for v in values) and values == sorted(values, reverse=True)
    assert 1.0 in values


def test_a_rejected_row_fails_the_sweep_and_changes_nothing(rt, db):
    rt.record("s", "decision", "good", timestamp=days_ago(20))
    rt.record("s", "decision", "bad", timestamp=days_ago(20))
    rt.sweep()
    execute(db, "UPDATE memory_state SET salience = 99, tier = 'hot'")
    execute(db, "UPDATE events SET metadata = '{broken' WHERE content = 'bad'")
    before = execute(db, "SELECT * FROM memory_state ORDER BY event_id")
    with pytest.raises(RuntimeError, match=r"^storage error: "):
        rt.sweep()
    assert execute(db, "SELECT * FROM memory_state ORDER BY event_id") == before
    assert len(rt.get_snapshots()) == 1


def test_sweep_writes_back_a_memory_stored_under_another_id_form(rt, db):
    rt.record("s", "decision", "c", timestamp=days_ago(30))
    execute(db, "UPDATE events SET id = upper(id)")
    execute(db, "UPDATE memory_state SET event_id = upper(event_id), salience = 99, tier = 'hot'")
    assert rt.sweep() == dict(ZERO_SWEEP, total_processed=1, demoted=1)
    salience, tier = execute(db, "SELECT salience, tier FROM memory_state")[0]
    assert tier == "cold" and salience < 1


@pytest.mark.parametrize("method", ["sweep", "inspect", "get_salience_distribution", "count"])
def test_argumentless_methods_reject_arguments(rt, method):
    with pytest.raises(TypeError):
        getattr(rt, method)(1)


def test_tier_counts_skip_tier_texts_that_are_no_tier(rt, db):
    for content in ("a", "b", "c"):
        rt.record("s", "observation", content)
    rt.record("s", "observation", "ancient", timestamp="2001-01-01T00:00:00Z")
    execute(db, "UPDATE memory_state SET tier = 'lukewarm' WHERE rowid = 1")
    execute(db, "UPDATE memory_state SET tier = X'686f74' WHERE rowid = 2")  # the bytes of 'hot', as a blob
    assert rt.inspect() == {"total_events": 4, "hot": 0, "warm": 1, "cold": 0, "forgotten": 1}
