"""Deterministic benchmark data: events to record, and pre-filled store files.

A pre-filled file is written directly with stdlib sqlite3, in the exact text
forms both implementations use (hyphenated lower-case version 4 ids,
"YYYY-MM-DDTHH:MM:SS.ffffff+00:00" timestamps, lower-case kind, importance and
tier names, metadata "null"), with saliences and tiers computed by the scoring
formula at fill time. Either implementation can then open it as its own.
"""

from __future__ import annotations

import os
import random
import sqlite3
import time
import uuid
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone

import peer

SOURCES = tuple(f"agent-{i}" for i in range(10))
SPAN_DAYS = 90
RARE_WORD = "checksum"  # appears in ~1% of contents, and in no other word
RARE_SHARE = 0.01
RECURRING_SHARE = 0.30  # events repeating a small set of routine contents
FILL_CHUNK = 50_000

_VERBS = ("opened", "edited", "ran", "reviewed", "deployed", "searched", "summarised", "fixed", "rejected", "approved")
_OBJECTS = (
    "the config file",
    "the unit tests",
    "the login page",
    "the cache layer",
    "a flaky test",
    "the release notes",
    "the schema migration",
    "the user settings",
    "the API client",
    "the error logs",
)
# Weighted tables: a uniform pick of one entry gives the realistic mix.
_KIND_TABLE = ("observation",) * 40 + ("user_action",) * 25 + ("decision",) * 15 + ("error",) * 12 + ("correction",) * 8
_IMPORTANCE_TABLE = ("low",) * 20 + ("normal",) * 55 + ("high",) * 20 + ("critical",) * 5
_OVERRIDE_SHARE_OF_CORRECTIONS = 0.25

_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_DAY_US = 86_400 * 1_000_000


def pool_size_for(events: int) -> int:
    return max(200, events // 10)


def routine_content(index: int) -> str:
    return f"{_VERBS[index % 10]} {_OBJECTS[(index // 10) % 10]} in area-{index // 100}"


def rare_content(index: int) -> str:
    return f"{RARE_WORD} mismatch in {_OBJECTS[index % 10]} area-{index}"


class ContentPicker:
    """Skewed picks from a pool: a few routine contents recur very often."""

    def __init__(self, pool_size: int, rng: random.Random):
        self._pool = pool_size
        self._recurring = max(10, pool_size // 100)
        self._rare = max(20, pool_size // 100)
        self._rng = rng

    def pick(self) -> str:
        draw = self._rng.random()
        if draw < RARE_SHARE:
            return rare_content(self._rng.randrange(self._rare))
        if draw < RARE_SHARE + RECURRING_SHARE:
            return routine_content(self._rng.randrange(self._recurring))
        return routine_content(self._rng.randrange(self._pool))


@dataclass(frozen=True)
class NewEvent:
    """One call of `record`; `overrides_back` counts back to an earlier event of the same batch."""

    source: str
    kind: str
    content: str
    importance: str
    overrides_back: int | None = None


def events_to_record(count: int, sources: tuple[str, ...], seed: int, pool_size: int) -> list[NewEvent]:
    """A batch of current-time events, some corrections overriding earlier ones."""
    rng = random.Random(seed)
    picker = ContentPicker(pool_size, rng)
    events = []
    for index in range(count):
        kind = _KIND_TABLE[rng.randrange(len(_KIND_TABLE))]
        back = None
        if kind == "correction" and index > 0 and rng.random() < _OVERRIDE_SHARE_OF_CORRECTIONS:
            back = 1 + rng.randrange(min(index, 50))
        events.append(
            NewEvent(
                source=sources[rng.randrange(len(sources))],
                kind=kind,
                content=picker.pick(),
                importance=_IMPORTANCE_TABLE[rng.randrange(len(_IMPORTANCE_TABLE))],
                overrides_back=back,
            )
        )
    return events


def record_all(runtime, events: list[NewEvent]) -> list[str]:
    """Records a batch into either implementation; returns the new ids."""
    ids: list[str] = []
    record = runtime.record
    for event in events:
        target = ids[-event.overrides_back] if event.overrides_back else None
        ids.append(record(event.source, event.kind, event.content, event.importance, target))
    return ids


@dataclass
class FillResult:
    path: str
    memories: int
    live: int
    tiers: dict
    min_salience_5pct: float  # selects about 5% of all memories
    seconds: float
    file_bytes: int


def _timestamp_text(micros: int) -> str:
    return (_EPOCH + timedelta(microseconds=micros)).isoformat(timespec="microseconds")


def _chronological_micros(count: int, now_us: int, rng: random.Random) -> list[int]:
    """Instants spread uniformly over the last SPAN_DAYS, oldest first."""
    span = SPAN_DAYS * _DAY_US
    offsets = sorted((rng.randrange(span) for _ in range(count)), reverse=True)
    stamps = []
    for offset in offsets:
        micros = now_us - offset
        if micros % 1000 == 0:  # keep the six-digit fraction both writers produce
            micros += 1
        stamps.append(micros)
    return stamps


def fill_file(
    path: str, count: int, sources: tuple[str, ...] = SOURCES, seed: int = 1, policy_name: str | None = None
) -> FillResult:
    """Writes `count` backdated memories into a new store file in one transaction."""
    started = time.perf_counter()
    policy = peer.Policy(policy_name)
    rng = random.Random(seed)
    picker = ContentPicker(pool_size_for(count), rng)
    now_us = time.time_ns() // 1000
    stamps = _chronological_micros(count, now_us, rng)
    occurrences: dict[tuple[str, str], int] = {}
    saliences: list[float] = []
    tiers = dict.fromkeys(peer.TIERS, 0)

    if os.path.exists(path):
        os.remove(path)
    conn = sqlite3.connect(path, isolation_level=None)
    # Only this writer: a cache big enough that the one transaction never spills.
    conn.execute("PRAGMA cache_size = -1000000")
    conn.execute("PRAGMA foreign_keys = ON")
    conn.executescript(peer.SCHEMA_SCRIPT)
    conn.execute("BEGIN")
    for start in range(0, count, FILL_CHUNK):
        events, memories = [], []
        for micros in stamps[start : start + FILL_CHUNK]:
            event_id = str(uuid.UUID(int=rng.getrandbits(128), version=4))
            source = sources[rng.randrange(len(sources))]
            kind = _KIND_TABLE[rng.randrange(len(_KIND_TABLE))]
            importance = _IMPORTANCE_TABLE[rng.randrange(len(_IMPORTANCE_TABLE))]
            content = picker.pick()
            key = (source, content)
            n = occurrences.get(key, 0) + 1
            occurrences[key] = n
            salience = peer.score(
                (now_us - micros) * 1000,
                n,
                peer.IMPORTANCE_WEIGHTS[importance],
                policy.kind_weights[kind],
                policy.half_life_hours,
            )
            tier = policy.tier_for(salience)
            tiers[tier] += 1
            saliences.append(salience)
            stamp = _timestamp_text(micros)
            events.append((event_id, stamp, source, kind, content, "null", importance))
            memories.append((event_id, salience, tier, n, stamp))
        conn.executemany(peer.INSERT_EVENT, events)
        conn.executemany(peer.INSERT_MEMORY, memories)
    conn.execute("COMMIT")
    conn.close()

    saliences.sort(reverse=True)
    threshold = saliences[min(len(saliences) - 1, count // 20)] if saliences else 0.0
    return FillResult(
        path=path,
        memories=count,
        live=count - tiers["forgotten"],
        tiers=tiers,
        min_salience_5pct=threshold,
        seconds=time.perf_counter() - started,
        file_bytes=os.path.getsize(path),
    )
