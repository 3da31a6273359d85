"""A pure-Python runtime with the same semantics and results as
`quenlith.Runtime`, used as the yardstick of the benchmark suite.

It keeps the store's reference schema and statements unchanged, so the
yardstick stays put while the product tunes its own (the product may
reshape its indexes and statements as long as its results stay the same;
check_peer.py notes every index definition that differs).

It is written the way a competent Python developer would write it with the
standard library only: one reused `sqlite3` connection in autocommit mode,
bound parameters, one explicit transaction per record and per sweep, and
sqlite3's own statement cache. It keeps instants as integer nanoseconds since
the Unix epoch so that ages are exact.

Error messages for bad arguments follow the product's templates where cheap;
the benchmarks never depend on them.
"""

from __future__ import annotations

import math
import re
import sqlite3
import time
import uuid
from datetime import datetime, timedelta, timezone

# The store's schema script, byte for byte: SQLite keeps each statement's text
# as the object's definition, so both implementations leave identical files.
SCHEMA_SCRIPT = """
        CREATE TABLE IF NOT EXISTS events (
            id TEXT PRIMARY KEY,
            timestamp TEXT NOT NULL,
            source TEXT NOT NULL,
            kind TEXT NOT NULL,
            content TEXT NOT NULL,
            metadata TEXT NOT NULL DEFAULT '{}',
            importance TEXT NOT NULL DEFAULT 'normal'
        );

        CREATE TABLE IF NOT EXISTS memory_state (
            event_id TEXT PRIMARY KEY REFERENCES events(id),
            salience REAL NOT NULL,
            tier TEXT NOT NULL DEFAULT 'hot',
            occurrence_count INTEGER NOT NULL DEFAULT 1,
            last_accessed TEXT NOT NULL
        );

        CREATE INDEX IF NOT EXISTS idx_events_timestamp ON events(timestamp);
        CREATE INDEX IF NOT EXISTS idx_events_source ON events(source);
        CREATE INDEX IF NOT EXISTS idx_events_kind ON events(kind);
        CREATE INDEX IF NOT EXISTS idx_memory_salience ON memory_state(salience);
        CREATE INDEX IF NOT EXISTS idx_memory_tier ON memory_state(tier);

        CREATE TABLE IF NOT EXISTS overrides (
            source_id TEXT NOT NULL REFERENCES events(id),
            target_id TEXT NOT NULL REFERENCES events(id),
            PRIMARY KEY (source_id, target_id)
        );

        CREATE INDEX IF NOT EXISTS idx_overrides_target ON overrides(target_id);

        CREATE TABLE IF NOT EXISTS snapshots (
            id INTEGER PRIMARY KEY AUTOINCREMENT,
            timestamp TEXT NOT NULL,
            hot INTEGER NOT NULL,
            warm INTEGER NOT NULL,
            cold INTEGER NOT NULL,
            forgotten INTEGER NOT NULL
        );
        """

INSERT_EVENT = (
    "INSERT INTO events (id, timestamp, source, kind, content, metadata, importance)\n"
    "             VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
)
COUNT_OCCURRENCES = "SELECT COUNT(*) FROM events WHERE content = ?1 AND source = ?2"
INSERT_MEMORY = (
    "INSERT OR REPLACE INTO memory_state (event_id, salience, tier, occurrence_count, last_accessed)\n"
    "             VALUES (?1, ?2, ?3, ?4, ?5)"
)
INSERT_OVERRIDE = "INSERT OR IGNORE INTO overrides (source_id, target_id) VALUES (?1, ?2)"
DEMOTE_TARGET = (
    "UPDATE memory_state SET salience = salience * 0.25, tier = 'cold'\n"
    "                 WHERE event_id = ?1 AND tier != 'forgotten'"
)
QUERY_BASE = (
    "SELECT e.id, e.timestamp, e.source, e.kind, e.content, e.metadata, e.importance,\n"
    "                    m.salience, m.tier, m.occurrence_count, m.last_accessed,\n"
    "                    CASE WHEN EXISTS(SELECT 1 FROM overrides o WHERE o.target_id = e.id) THEN 1 ELSE 0 END"
    " AS is_overridden\n"
    "             FROM events e\n"
    "             JOIN memory_state m ON e.id = m.event_id\n"
    "             WHERE m.tier != 'forgotten'"
)
SWEEP_SELECT = (
    "SELECT e.id, e.timestamp, e.source, e.kind, e.content, e.metadata, e.importance,\n"
    "                        m.salience, m.tier, m.occurrence_count, m.last_accessed,\n"
    "                        CASE WHEN EXISTS(SELECT 1 FROM overrides o WHERE o.target_id = e.id) THEN 1 ELSE 0 END\n"
    "                 FROM events e\n"
    "                 JOIN memory_state m ON e.id = m.event_id\n"
    "                 WHERE m.tier != 'forgotten'"
)
SWEEP_UPDATE = "UPDATE memory_state SET salience = ?1, tier = ?2 WHERE event_id = ?3"
INSERT_SNAPSHOT = "INSERT INTO snapshots (timestamp, hot, warm, cold, forgotten) VALUES (?1, ?2, ?3, ?4, ?5)"
COUNT_EVENTS = "SELECT COUNT(*) FROM events"
COUNT_TIER = "SELECT COUNT(*) FROM memory_state WHERE tier = ?1"
READ_SNAPSHOTS = "SELECT timestamp, hot, warm, cold, forgotten FROM snapshots ORDER BY id DESC LIMIT ?1"
READ_SALIENCE = "SELECT salience FROM memory_state WHERE tier != 'forgotten' ORDER BY salience DESC"

KINDS = ("user_action", "observation", "decision", "error", "correction")
IMPORTANCE_WEIGHTS = {"low": 0.5, "normal": 1.0, "high": 2.0, "critical": 4.0}
TIERS = ("hot", "warm", "cold", "forgotten")
TIER_RANK = {tier: rank for rank, tier in enumerate(TIERS)}
TIER_DISPLAY = {"hot": "Hot", "warm": "Warm", "cold": "Cold", "forgotten": "Forgotten"}
DEFAULT_QUERY_LIMIT = 20

# (half_life_hours, hot, warm, cold, correction, decision, error, user_action, observation)
_PRESETS = {
    "balanced": (168.0, 2.0, 0.5, 0.05, 3.0, 2.0, 1.5, 1.0, 0.7),
    "coding": (72.0, 2.0, 0.5, 0.1, 4.0, 2.0, 2.5, 1.0, 0.5),
    "knowledge": (720.0, 1.5, 0.3, 0.02, 4.0, 2.5, 1.0, 0.5, 1.0),
    "assistant": (336.0, 2.0, 0.5, 0.05, 3.0, 2.0, 1.0, 1.5, 0.7),
}
_ALIASES = {"default": "balanced", "code": "coding", "kb": "knowledge", "personal": "assistant"}

_NANOS_PER_SECOND = 1_000_000_000
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_ONE_MICROSECOND = timedelta(microseconds=1)
_TIMESTAMP_ARGUMENT = re.compile(
    r"(\d{4})-(\d{2})-(\d{2})[Tt ](\d{2}):(\d{2}):(\d{2})(?:\.(\d+))?([Zz]|([+\-\u2212])(\d{2}):(\d{2}))"
)


class Policy:
    """Half-life, tier thresholds and kind weights of one preset."""

    __slots__ = ("half_life_hours", "hot", "warm", "cold", "kind_weights")

    def __init__(self, name: str | None = None):
        if name is None:
            name = "balanced"
        values = _PRESETS.get(_ALIASES.get(name, name))
        if values is None:
            raise RuntimeError(f"unknown policy: '{name}'. Expected: balanced, coding, knowledge, assistant")
        half_life, self.hot, self.warm, self.cold, correction, decision, error, user_action, observation = values
        self.half_life_hours = half_life
        self.kind_weights = {
            "user_action": user_action,
            "observation": observation,
            "decision": decision,
            "error": error,
            "correction": correction,
        }

    def tier_for(self, salience: float) -> str:
        if salience >= self.hot:
            return "hot"
        if salience >= self.warm:
            return "warm"
        if salience >= self.cold:
            return "cold"
        return "forgotten"


def score(
    age_ns: int, occurrence_count: int, importance_weight: float, kind_weight: float, half_life_hours: float
) -> float:
    """Salience of a memory of the given age (now minus its timestamp)."""
    # Whole seconds, then whole minutes, each truncated toward zero.
    minutes = (abs(age_ns) // _NANOS_PER_SECOND) // 60
    if age_ns < 0:
        minutes = -minutes
    exponent = (minutes / -60.0) / half_life_hours
    try:
        recency = 2.0**exponent
    except OverflowError:  # more than 1024 half-lives in the future
        recency = math.inf
    frequency = math.log1p(occurrence_count + 1.0)
    return ((recency * frequency) * importance_weight) * kind_weight


def format_timestamp(instant_ns: int) -> str:
    """RFC 3339 in UTC with "+00:00" and a fraction of 0, 3, 6 or 9 digits."""
    seconds, nanos = divmod(instant_ns, _NANOS_PER_SECOND)
    moment = _EPOCH + timedelta(seconds=seconds)
    head = (
        f"{moment.year:04d}-{moment.month:02d}-{moment.day:02d}"
        f"T{moment.hour:02d}:{moment.minute:02d}:{moment.second:02d}"
    )
    if nanos == 0:
        fraction = ""
    elif nanos % 1_000_000 == 0:
        fraction = f".{nanos // 1_000_000:03d}"
    elif nanos % 1_000 == 0:
        fraction = f".{nanos // 1_000:06d}"
    else:
        fraction = f".{nanos:09d}"
    return f"{head}{fraction}+00:00"


def parse_timestamp_argument(text: str) -> int:
    """Parses a caller's RFC 3339 text (offset required) into UTC nanoseconds."""
    match = _TIMESTAMP_ARGUMENT.fullmatch(text)
    if match is None:
        raise RuntimeError(f"invalid timestamp (expected RFC3339): {text!r}")
    year, month, day, hour, minute, second = (int(match.group(i)) for i in range(1, 7))
    digits = (match.group(7) or "")[:9]
    try:
        # A leap second (60) is the last second of the minute stretched.
        moment = datetime(year, month, day, hour, minute, min(second, 59), tzinfo=timezone.utc)
    except ValueError as error:
        raise RuntimeError(f"invalid timestamp (expected RFC3339): {error}") from None
    nanos = int(digits.ljust(9, "0")) + (_NANOS_PER_SECOND if second == 60 else 0)
    offset_seconds = 0
    if match.group(9):
        offset_seconds = int(match.group(10)) * 3600 + int(match.group(11)) * 60
        if offset_seconds >= 86400 or int(match.group(11)) >= 60:
            raise RuntimeError("invalid timestamp (expected RFC3339): input is out of range")
        if match.group(9) != "+":
            offset_seconds = -offset_seconds
    whole_seconds = (moment - _EPOCH) // timedelta(seconds=1) - offset_seconds
    return whole_seconds * _NANOS_PER_SECOND + nanos


def stored_instant_ns(text: str) -> int:
    """Reads a stored timestamp text back into UTC nanoseconds."""
    moment = datetime.fromisoformat(text)
    instant = ((moment - _EPOCH) // _ONE_MICROSECOND) * 1000
    # fromisoformat keeps microseconds only; the canonical microsecond form is
    # 32 characters long, so only longer texts can carry nanoseconds.
    if len(text) > 32:
        dot = text.find(".", 19)
        if dot != -1:
            end = dot + 1
            while end < len(text) and text[end].isdigit():
                end += 1
            extra = text[dot + 7 : min(end, dot + 10)]
            if extra:
                instant += int(extra.ljust(3, "0"))
    return instant


def format_plain_decimal(value: float) -> str:
    """Shortest round-trip decimal, positional notation, for the query text."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value.is_integer():
        return "-0" if math.copysign(1.0, value) < 0 and value == 0 else str(int(value))
    mantissa, _, exponent = repr(value).partition("e")
    if not exponent:
        return mantissa
    negative = mantissa.startswith("-")
    digits = mantissa.lstrip("-").replace(".", "")
    point = mantissa.lstrip("-").find(".")
    point = (point if point != -1 else len(digits)) + int(exponent)
    if point <= 0:
        body = "0." + "0" * -point + digits
    elif point >= len(digits):
        body = digits + "0" * (point - len(digits))
    else:
        body = digits[:point] + "." + digits[point:]
    return ("-" if negative else "") + body


def _quoted(text: str) -> str:
    return text.replace("'", "''")


class PeerRuntime:
    """Same seven methods, same results, same file as `quenlith.Runtime`."""

    def __init__(self, path: str, policy: str | None = None):
        if not isinstance(path, str):
            raise TypeError(f"argument 'path': '{type(path).__qualname__}' object cannot be converted to 'PyString'")
        self._policy = Policy(policy)  # before the file is touched
        try:
            # isolation_level=None: autocommit, transactions are written out below.
            self._conn = sqlite3.connect(path, timeout=5.0, isolation_level=None, uri=True)
            self._conn.execute("PRAGMA foreign_keys = ON")
            self._conn.executescript(SCHEMA_SCRIPT)
        except sqlite3.Error as error:
            raise RuntimeError(f"storage error: {error}") from None

    # -- recording ---------------------------------------------------------

    def record(self, source, kind, content, importance="normal", overrides=None, timestamp=None) -> str:
        kind_weight = self._policy.kind_weights.get(kind)
        if kind_weight is None:
            raise RuntimeError(
                f"unknown event kind: '{kind}'. Expected: user_action, observation, decision, error, correction"
            )
        importance_weight = IMPORTANCE_WEIGHTS.get(importance)
        if importance_weight is None:
            raise RuntimeError(f"unknown importance: '{importance}'. Expected: low, normal, high, critical")
        event_id = str(uuid.uuid4())
        target = None
        if overrides is not None:
            try:
                target = str(uuid.UUID(overrides))
            except ValueError as error:
                raise RuntimeError(f"invalid overrides UUID: {error}") from None
        instant = time.time_ns() if timestamp is None else parse_timestamp_argument(timestamp)
        stamp = format_timestamp(instant)

        conn = self._conn
        try:
            conn.execute("BEGIN IMMEDIATE")
            try:
                conn.execute(INSERT_EVENT, (event_id, stamp, source, kind, content, "null", importance))
                (count,) = conn.execute(COUNT_OCCURRENCES, (content, source)).fetchone()
                salience = score(
                    time.time_ns() - instant, count, importance_weight, kind_weight, self._policy.half_life_hours
                )
                tier = self._policy.tier_for(salience)
                conn.execute(INSERT_MEMORY, (event_id, salience, tier, count, stamp))
                if target is not None:
                    conn.execute(INSERT_OVERRIDE, (event_id, target))
                    conn.execute(DEMOTE_TARGET, (target,))
                conn.execute("COMMIT")
            except BaseException:
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
                raise
        except sqlite3.Error as error:
            raise RuntimeError(f"storage error: {error}") from None
        return event_id

    # -- reading -------------------------------------------------------------

    def query(self, text=None, source=None, min_salience=None, tier=None, limit=DEFAULT_QUERY_LIMIT) -> list[dict]:
        parts = [QUERY_BASE]
        if source is not None:
            parts.append(f" AND e.source = '{_quoted(source)}'")
        if min_salience is not None:
            parts.append(f" AND m.salience >= {format_plain_decimal(float(min_salience))}")
        if tier is not None:
            if tier not in TIER_RANK:
                raise RuntimeError(f"unknown tier: '{tier}'. Expected: hot, warm, cold, forgotten")
            parts.append(f" AND m.tier = '{tier}'")
        if text is not None:
            parts.append(f" AND e.content LIKE '%{_quoted(text)}%'")
        parts.append(f" ORDER BY m.salience DESC LIMIT {int(limit)}")
        try:
            rows = self._conn.execute("".join(parts)).fetchall()
        except sqlite3.Error as error:
            raise RuntimeError(f"query error: {error}") from None
        return [
            {
                "id": row[0],
                "content": row[4],
                "source": row[2],
                "salience": float(row[7]),
                "tier": TIER_DISPLAY[row[8]],
                "occurrence_count": row[9],
                "timestamp": row[1],
                "is_overridden": bool(row[11]),
            }
            for row in rows
        ]

    def count(self) -> int:
        try:
            return self._conn.execute(COUNT_EVENTS).fetchone()[0]
        except sqlite3.Error as error:
            raise RuntimeError(f"storage error: {error}") from None

    # -- decay sweep --------------------------------------------------------------

    def sweep(self) -> dict:
        policy = self._policy
        kind_weights = policy.kind_weights
        half_life = policy.half_life_hours
        promoted = demoted = forgotten = 0
        conn = self._conn
        try:
            conn.execute("BEGIN IMMEDIATE")
            try:
                # Read every live memory first, then write.
                rows = conn.execute(SWEEP_SELECT).fetchall()
                updates = []
                for row in rows:
                    age = time.time_ns() - stored_instant_ns(row[1])
                    salience = score(age, row[9], IMPORTANCE_WEIGHTS[row[6]], kind_weights[row[3]], half_life)
                    tier = policy.tier_for(salience)
                    current = row[8]
                    if tier != current:
                        if tier == "forgotten":
                            forgotten += 1
                        elif TIER_RANK[tier] < TIER_RANK[current]:
                            promoted += 1
                        else:
                            demoted += 1
                    updates.append((salience, tier, row[0]))
                del rows
                conn.executemany(SWEEP_UPDATE, updates)
                counts = self._count_tiers()
                conn.execute(
                    INSERT_SNAPSHOT,
                    (
                        format_timestamp(time.time_ns()),
                        counts["hot"],
                        counts["warm"],
                        counts["cold"],
                        counts["forgotten"],
                    ),
                )
                conn.execute("COMMIT")
            except BaseException:
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
                raise
        except sqlite3.Error as error:
            raise RuntimeError(f"storage error: {error}") from None
        except KeyError as error:
            raise RuntimeError(f"storage error: unknown stored value {error}") from None
        return {"total_processed": len(updates), "promoted": promoted, "demoted": demoted, "forgotten": forgotten}

    # -- statistics ------------------------------------------------------------

    def _count_tiers(self) -> dict:
        execute = self._conn.execute
        counts = {"total_events": execute(COUNT_EVENTS).fetchone()[0]}
        for tier in TIERS:
            counts[tier] = execute(COUNT_TIER, (tier,)).fetchone()[0]
        return counts

    def inspect(self) -> dict:
        try:
            return self._count_tiers()
        except sqlite3.Error as error:
            raise RuntimeError(f"storage error: {error}") from None

    def get_snapshots(self, limit=100) -> list[dict]:
        try:
            rows = self._conn.execute(READ_SNAPSHOTS, (limit,)).fetchall()
        except (sqlite3.Error, OverflowError) as error:
            raise RuntimeError(f"storage error: {error}") from None
        rows.reverse()
        return [
            {"timestamp": stamp, "hot": hot, "warm": warm, "cold": cold, "forgotten": gone}
            for stamp, hot, warm, cold, gone in rows
        ]

    def get_salience_distribution(self) -> list[float]:
        try:
            return [float(value) for (value,) in self._conn.execute(READ_SALIENCE)]
        except sqlite3.Error as error:
            raise RuntimeError(f"storage error: {error}") from None
