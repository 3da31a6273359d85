"""Shared pieces of the reliability tests: starting and reaping child
processes, the checks that a store file is whole, and the scale knob.

QUENLITH_RELIABILITY_SCALE multiplies every loop count (kills, records,
examples, calls); the CI run uses 1, tools/reliability/run.sh more.
"""

from __future__ import annotations

import datetime as dt
import json
import os
import random
import selectors
import signal
import sqlite3
import subprocess
import sys
import time
import uuid
from contextlib import closing
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
WORKERS = HERE / "reliability_workers.py"
SCALE = float(os.environ.get("QUENLITH_RELIABILITY_SCALE", "1"))
TIERS = ("hot", "warm", "cold", "forgotten")


def scaled(n: int, minimum: int = 1) -> int:
    return max(minimum, round(n * SCALE))


def worker_command(role: str, **params) -> list[str]:
    # -P: the repository root must not shadow the installed package.
    return [sys.executable, "-P", str(WORKERS), role, json.dumps(params)]


def parse_lines(text: str) -> tuple[list[str], dict | None]:
    """The ids a worker reported and its final result, if it got that far."""
    ids, result = [], None
    for line in text.splitlines():
        if line.startswith("id "):
            ids.append(line[3:])
        elif line.startswith("result "):
            result = json.loads(line[7:])
    return ids, result


def run_worker(role: str, timeout: float, **params) -> dict:
    """Runs a worker to completion and returns its result (with the ids it
    reported under "ids"); a crash, a hang or a missing result fails the
    test with the child's own words."""
    try:
        done = subprocess.run(
            worker_command(role, **params), capture_output=True, text=True, timeout=timeout, check=False
        )
    except subprocess.TimeoutExpired as expired:  # subprocess.run has killed and reaped it
        raise AssertionError(f"{role} hung for {timeout} s; stderr: {tail(expired.stderr)}") from None
    ids, result = parse_lines(done.stdout)
    assert done.returncode == 0 and result is not None, (
        f"{role} ended with {describe_exit(done.returncode)}; stderr: {tail(done.stderr)}"
    )
    if ids:
        result["ids"] = ids
    return result


def tail(text: str | bytes | None, size: int = 2000) -> str:
    if isinstance(text, bytes):
        text = text.decode(errors="replace")
    return (text or "")[-size:]


def describe_exit(returncode: int) -> str:
    if returncode < 0:
        return f"signal {signal.Signals(-returncode).name}"
    return f"exit status {returncode}"


@dataclass
class Child:
    """A worker whose stdout the parent reads line by line as it goes."""

    process: subprocess.Popen
    lines: list[str] = field(default_factory=list)
    _buffer: bytes = b""

    @classmethod
    def start(cls, role: str, **params) -> Child:
        process = subprocess.Popen(worker_command(role, **params), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.set_blocking(process.stdout.fileno(), False)
        return cls(process)

    def read_until(self, deadline: float, wanted: str | None = None) -> bool:
        """Collects lines until `deadline` (time.monotonic), until a line
        starting with `wanted` arrives, or until the child closes its stdout.
        True when `wanted` was seen."""
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            while True:
                if wanted and any(line.startswith(wanted) for line in self.lines):
                    return True
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return False
                if not selector.select(remaining):
                    continue
                chunk = self.process.stdout.read()
                if not chunk:
                    return False
                self._take(chunk)

    def _take(self, chunk: bytes) -> None:
        *complete, self._buffer = (self._buffer + chunk).split(b"\n")
        self.lines.extend(line.decode() for line in complete)

    def kill(self) -> None:
        """SIGKILL, reap, and keep every line that reached the pipe before."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        self.process.wait(timeout=30)
        os.set_blocking(self.process.stdout.fileno(), True)
        self._take(self.process.stdout.read())
        self.close()

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=30)
        self.process.stdout.close()
        self.process.stderr.close()

    def stderr(self) -> str:
        return tail(self.process.stderr.read() if not self.process.stderr.closed else b"")

    @property
    def ids(self) -> list[str]:
        return [line[3:] for line in self.lines if line.startswith("id ")]


def connect(path: str) -> sqlite3.Connection:
    """A plain connection for looking at a store from outside."""
    return sqlite3.connect(path, timeout=30)


def execute(path: str, sql: str, *params) -> list[tuple]:
    with closing(connect(path)) as conn, conn:
        return conn.execute(sql, params).fetchall()


def store_facts(path: str) -> dict:
    """Checks that a store file is whole and consistent, as the runtime
    leaves it after any failure, and returns its counts."""
    with closing(connect(path)) as conn:
        integrity = [row[0] for row in conn.execute("PRAGMA integrity_check")]
        assert integrity == ["ok"], integrity
        assert conn.execute("PRAGMA foreign_key_check").fetchall() == []
        bare_events = conn.execute(
            "SELECT e.id FROM events e LEFT JOIN memory_state m ON m.event_id = e.id WHERE m.event_id IS NULL"
        ).fetchall()
        assert bare_events == [], f"events without a memory row: {bare_events[:5]}"
        tiers = dict(conn.execute("SELECT tier, COUNT(*) FROM memory_state GROUP BY tier").fetchall())
        assert set(tiers) <= set(TIERS), tiers
        return {
            "events": conn.execute("SELECT COUNT(*) FROM events").fetchone()[0],
            "memories": conn.execute("SELECT COUNT(*) FROM memory_state").fetchone()[0],
            "overrides": conn.execute("SELECT COUNT(*) FROM overrides").fetchone()[0],
            "snapshots": conn.execute("SELECT COUNT(*) FROM snapshots").fetchone()[0],
            "tiers": tiers,
        }


def stored_ids(path: str) -> set[str]:
    return {row[0] for row in execute(path, "SELECT event_id FROM memory_state")}


def sanitized_build() -> bool:
    """True when the extension under test carries AddressSanitizer (the
    sanitizer run preloads its runtime)."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def populate(path: str, memories: int, rng: random.Random, salience: float | None = None) -> None:
    """Writes well-formed memories straight into the file (recording them one
    by one would take minutes): ages up to 60 days, a few sources and kinds.
    With `salience`, every memory is stored hot with that salience;
    otherwise with what a sweep would give it."""
    from quenlith import Runtime

    Runtime(path)  # the schema
    now = dt.datetime.now(dt.timezone.utc)
    events, states = [], []
    for n in range(memories):
        stamp = (now - dt.timedelta(minutes=rng.randrange(60 * 24 * 60))).isoformat(timespec="seconds")
        event_id = str(uuid.uuid4())
        events.append((event_id, stamp, f"s{n % 10}", ("decision", "error", "observation")[n % 3], f"memory {n}"))
        states.append((event_id, 1.0 if salience is None else salience, rng.randrange(1, 5), stamp))
    with closing(connect(path)) as conn, conn:
        conn.executemany(
            "INSERT INTO events (id, timestamp, source, kind, content, metadata, importance) "
            "VALUES (?1, ?2, ?3, ?4, ?5, 'null', 'normal')",
            events,
        )
        conn.executemany(
            "INSERT INTO memory_state (event_id, salience, tier, occurrence_count, last_accessed) "
            "VALUES (?1, ?2, 'hot', ?3, ?4)",
            states,
        )
