"""A model of the runtime in plain Python, run side by side with the real
thing: random records (backdated, repeated, overriding), queries, sweeps and
reopenings under every policy, and after each step the two agree.

The model scores with the same formula through the same C library functions
(exp2, log1p), so saliences agree to the bit. The one thing it cannot know
exactly is the instant the runtime reads its clock: it brackets each call
with the clock before and after, and accepts whichever whole-minute age the
runtime can have seen inside that bracket (nearly always there is only one).
It then takes the stored value, once checked, as its own."""

from __future__ import annotations

import datetime as dt
import math
import re
import shutil
import sqlite3
import tempfile
import time
import uuid
from contextlib import closing
from dataclasses import dataclass

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

from quenlith import Runtime
from reliability_harness import scaled

# half-life (hours), hot, warm, cold thresholds, then kind weights.
POLICIES = {
    "balanced": (168.0, 2.0, 0.5, 0.05, {"correction": 3.0, "decision": 2.0, "error": 1.5, "user_action": 1.0,
                                         "observation": 0.7}),
    "coding": (72.0, 2.0, 0.5, 0.1, {"correction": 4.0, "decision": 2.0, "error": 2.5, "user_action": 1.0,
                                     "observation": 0.5}),
    "knowledge": (720.0, 1.5, 0.3, 0.02, {"correction": 4.0, "decision": 2.5, "error": 1.0, "user_action": 0.5,
                                          "observation": 1.0}),
    "assistant": (336.0, 2.0, 0.5, 0.05, {"correction": 3.0, "decision": 2.0, "error": 1.0, "user_action": 1.5,
                                          "observation": 0.7}),
}
ALIASES = {"default": "balanced", "code": "coding", "kb": "knowledge", "personal": "assistant"}
IMPORTANCE = {"low": 0.5, "normal": 1.0, "high": 2.0, "critical": 4.0}
TIERS = ("hot", "warm", "cold", "forgotten")
SOURCES = ["agent", "Agent", "O'Brien", "", "ci"]
CONTENTS = ["cache bug", "Cache BUG", "café", "CAFÉ", "50% done", "a_b", "O'Brien's note", "", "ünïcode", "x"]
QUERY_TEXTS = ["", "cache", "CACHE", "é", "É", "%", "_", "50%", "'", "b_", "xyz", "ü", "o'b"]
NS = 1_000_000_000


def truncated_division(a: int, b: int) -> int:
    """Integer division toward zero, as C++ does it."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def whole_minutes(age_ns: int) -> int:
    return truncated_division(truncated_division(age_ns, NS), 60)


def score(minutes: int, count: int, importance: str, kind: str, policy: str) -> float:
    half_life, _, _, _, weights = POLICIES[policy]
    recency = math.exp2((minutes / -60.0) / half_life)
    return ((recency * math.log1p(count + 1.0)) * IMPORTANCE[importance]) * weights[kind]


def tier_for(salience: float, policy: str) -> str:
    _, hot, warm, cold, _ = POLICIES[policy]
    return "hot" if salience >= hot else "warm" if salience >= warm else "cold" if salience >= cold else "forgotten"


def candidates(ts_ns: int, before_ns: int, after_ns: int, count: int, importance: str, kind: str,
               policy: str) -> set[float]:
    """Every salience the runtime can compute with its clock read anywhere
    between `before_ns` and `after_ns`."""
    low, high = whole_minutes(before_ns - ts_ns), whole_minutes(after_ns - ts_ns)
    return {score(m, count, importance, kind, policy) for m in range(low, high + 1)}


def like(pattern_text: str, content: str) -> bool:
    """SQLite's LIKE '%text%': % and _ are wildcards, ASCII letters match in
    either case, every other character only itself."""
    parts = []
    for c in pattern_text:
        if c == "%":
            parts.append(".*")
        elif c == "_":
            parts.append(".")
        elif c.isascii() and c.isalpha():
            parts.append(f"[{c.lower()}{c.upper()}]")
        else:
            parts.append(re.escape(c))
    return re.fullmatch(".*" + "".join(parts) + ".*", content, re.DOTALL) is not None


def stored_text(ts_ns: int) -> str:
    instant = dt.datetime.fromtimestamp(ts_ns // NS, dt.timezone.utc)
    text = instant.strftime("%Y-%m-%dT%H:%M:%S")
    nanos = ts_ns % NS
    if nanos:
        digits = f"{nanos:09d}"
        text += "." + (digits[:3] if nanos % 1_000_000 == 0 else digits[:6] if nanos % 1000 == 0 else digits)
    return text + "+00:00"


def parse_stored(text: str) -> int:
    whole, _, rest = text.partition(".")
    if not rest:
        whole = text[: -len("+00:00")]
    seconds = int(dt.datetime.fromisoformat(whole + "+00:00").timestamp())
    fraction = rest[: -len("+00:00")] if rest else ""
    return seconds * NS + int((fraction + "000000000")[:9])


@dataclass
class Memory:
    id: str
    source: str
    kind: str
    content: str
    importance: str
    ts_ns: int
    timestamp: str
    count: int
    salience: float
    tier: str
    overridden: bool = False


class RuntimeModel(RuleBasedStateMachine):
    events = Bundle("events")

    def __init__(self):
        super().__init__()
        STEPS["runs"] += 1
        self.directory = tempfile.mkdtemp(prefix="quenlith-model-")
        self.path = f"{self.directory}/model.sqlite"
        self.policy = "balanced"
        self.rt = Runtime(self.path)
        self.memories: dict[str, Memory] = {}
        self.snapshots: list[tuple[int, int, int, int]] = []

    def teardown(self):
        self.rt = None
        shutil.rmtree(self.directory, ignore_errors=True)

    def stored(self) -> dict[str, tuple]:
        with closing(sqlite3.connect(self.path)) as conn:
            return {row[0]: row[1:] for row in conn.execute(
                "SELECT m.event_id, m.salience, m.tier, m.occurrence_count, m.last_accessed, e.timestamp "
                "FROM memory_state m JOIN events e ON e.id = m.event_id")}

    def adopt(self, memory: Memory, row: tuple, allowed: set[float]) -> None:
        """Checks a stored memory against what the model allows, then takes
        its salience as the model's own."""
        salience, tier, count, last_accessed, timestamp = row
        assert salience in allowed, (salience, allowed)
        assert tier == tier_for(salience, self.policy)
        assert (count, timestamp, last_accessed) == (memory.count, memory.timestamp, memory.timestamp)
        memory.salience, memory.tier = salience, tier

    def live(self) -> list[Memory]:
        return [m for m in self.memories.values() if m.tier != "forgotten"]

    def tier_counts(self) -> tuple[int, int, int, int]:
        return tuple(sum(m.tier == t for m in self.memories.values()) for t in TIERS)

    # -- rules ---------------------------------------------------------------

    @rule(
        target=events,
        source=st.sampled_from(SOURCES),
        kind=st.sampled_from(list(POLICIES["balanced"][4])),
        content=st.sampled_from(CONTENTS),
        importance=st.sampled_from(list(IMPORTANCE)),
        age=st.one_of(st.none(), st.integers(-60 * 24 * 30, 60 * 24 * 365 * 3)),
        offset=st.sampled_from(["Z", "+00:00", "+02:00", "-05:30"]),
    )
    def record(self, source, kind, content, importance, age, offset):
        return self._record(source, kind, content, importance, age, offset, None)

    @rule(
        target=events,
        target_id=events,
        form=st.sampled_from(["hyphenated", "simple-upper", "braced", "urn"]),
        kind=st.sampled_from(["correction", "decision"]),
        content=st.sampled_from(CONTENTS),
    )
    def override(self, target_id, form, kind, content):
        text = {"hyphenated": target_id, "simple-upper": uuid.UUID(target_id).hex.upper(),
                "braced": "{" + target_id + "}", "urn": "urn:uuid:" + target_id}[form]
        return self._record("agent", kind, content, "high", None, "Z", (target_id, text))

    @rule(content=st.sampled_from(CONTENTS))
    def override_a_missing_event(self, content):
        before = self.stored()
        with pytest.raises(RuntimeError, match="^storage error: FOREIGN KEY constraint failed$"):
            self.rt.record("agent", "correction", content, overrides=str(uuid.uuid4()))
        assert self.stored() == before  # the whole call rolled back

    def _record(self, source, kind, content, importance, age, offset, target):
        ts_text = None
        if age is not None:
            seconds = time.time_ns() // NS - age * 60
            local = dt.datetime.fromtimestamp(seconds, dt.timezone.utc)
            if offset not in ("Z", "+00:00"):
                sign = 1 if offset[0] == "+" else -1
                local = local.astimezone(dt.timezone(sign * dt.timedelta(hours=int(offset[1:3]),
                                                                         minutes=int(offset[4:6]))))
            ts_text = local.strftime("%Y-%m-%dT%H:%M:%S") + offset
        before = time.time_ns()
        STEPS["records"] += 1
        event_id = self.rt.record(source, kind, content, importance,
                                  overrides=target[1] if target else None, timestamp=ts_text)
        after = time.time_ns()
        row = self.stored()[event_id]
        ts_ns = parse_stored(row[4])
        if age is None:
            assert before <= ts_ns <= after
        else:
            assert ts_ns == seconds * NS
        count = 1 + sum(m.content == content and m.source == source for m in self.memories.values())
        memory = Memory(event_id, source, kind, content, importance, ts_ns, stored_text(ts_ns), count, 0.0, "")
        self.adopt(memory, row, candidates(ts_ns, before, after, count, importance, kind, self.policy))
        self.memories[event_id] = memory
        if target:
            overridden = self.memories[target[0]]
            overridden.overridden = True
            if overridden.tier != "forgotten":
                overridden.salience *= 0.25
                overridden.tier = "cold"
        return event_id

    @rule()
    def sweep(self):
        STEPS["sweeps"] += 1
        live = self.live()
        before = time.time_ns()
        result = self.rt.sweep()
        after = time.time_ns()
        rows = self.stored()
        moves = {"promoted": 0, "demoted": 0, "forgotten": 0}
        for memory in live:
            old = memory.tier
            allowed = candidates(memory.ts_ns, before, after, memory.count, memory.importance, memory.kind,
                                 self.policy)
            self.adopt(memory, rows[memory.id], allowed)
            if memory.tier == "forgotten":
                moves["forgotten"] += old != "forgotten"
            elif TIERS.index(memory.tier) < TIERS.index(old):
                moves["promoted"] += 1
            elif TIERS.index(memory.tier) > TIERS.index(old):
                moves["demoted"] += 1
        assert result == {"total_processed": len(live), **moves}
        self.snapshots.append(self.tier_counts())

    @rule(
        text=st.one_of(st.none(), st.sampled_from(QUERY_TEXTS)),
        source=st.one_of(st.none(), st.sampled_from(SOURCES)),
        bound=st.one_of(st.none(), st.sampled_from([0.0, 0.1, 0.5, 1.0, 2.0]), st.just("existing")),
        tier=st.one_of(st.none(), st.sampled_from(TIERS)),
        limit=st.integers(0, 30),
    )
    def query(self, text, source, bound, tier, limit):
        live = self.live()
        if bound == "existing":  # a stored salience itself: the bound is inclusive
            bound = live[len(live) // 2].salience if live else 1.0
        expected = sorted(
            (m for m in live
             if (text is None or like(text, m.content)) and (source is None or m.source == source)
             and (bound is None or m.salience >= bound) and (tier is None or m.tier == tier)),
            key=lambda m: -m.salience,
        )
        STEPS["queries"] += 1
        result = self.rt.query(text, source, bound, tier, limit)
        assert [r["salience"] for r in result] == [m.salience for m in expected[:limit]]
        assert len({r["id"] for r in result}) == len(result)
        for found in result:
            memory = self.memories[found["id"]]
            assert found == {
                "id": memory.id,
                "content": memory.content,
                "source": memory.source,
                "salience": memory.salience,
                "tier": memory.tier.capitalize(),
                "occurrence_count": memory.count,
                "timestamp": memory.timestamp,
                "is_overridden": memory.overridden,
            }

    @rule(policy=st.sampled_from([*POLICIES, *ALIASES]))
    def reopen(self, policy):
        STEPS["reopens"] += 1
        self.rt = None  # closes the connection before the next one opens
        self.rt = Runtime(self.path, policy)
        self.policy = ALIASES.get(policy, policy)

    # -- what must hold after every step -------------------------------------

    @invariant()
    def statistics_agree(self):
        STEPS["steps"] += 1
        hot, warm, cold, forgotten = self.tier_counts()
        assert self.rt.inspect() == {"total_events": len(self.memories), "hot": hot, "warm": warm, "cold": cold,
                                     "forgotten": forgotten}
        assert self.rt.count() == len(self.memories)
        assert self.rt.get_salience_distribution() == sorted((m.salience for m in self.live()), reverse=True)
        snapshots = self.rt.get_snapshots(3)
        assert [(s["hot"], s["warm"], s["cold"], s["forgotten"]) for s in snapshots] == self.snapshots[-3:]


STEPS = {"runs": 0, "steps": 0, "records": 0, "sweeps": 0, "queries": 0, "reopens": 0}


def test_the_runtime_agrees_with_its_model(figures):
    run_state_machine_as_test(
        RuntimeModel,
        settings=settings(
            max_examples=scaled(40),
            stateful_step_count=30,
            deadline=None,
            database=None,
            suppress_health_check=[HealthCheck.too_slow],
        ),
    )
    figures.update(STEPS)
