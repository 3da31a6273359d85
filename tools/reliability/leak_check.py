"""Calls every method of Runtime many thousands of times, on success and on
error paths alike, and shows that memory stays flat.

    python -P tools/reliability/leak_check.py [--rounds N] [--json]

Each round makes every call below once. After a warm-up (caches filled, the
file at its working size) the script samples the process's resident set
(RSS), the Python allocations that tracemalloc traces, and the interpreter's
allocated blocks; a leak of even a few bytes per call shows as steady growth
over the thousands of calls that follow. The file is kept at a steady size by
deleting old rows from outside now and then, so that growth of the database
itself is not mistaken for a leak.

Exit status 1 when a bound is exceeded.
"""

from __future__ import annotations

import argparse
import json
import os
import sqlite3
import sys
import tempfile
import time
import tracemalloc
from contextlib import closing

from quenlith import Runtime

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE // 1024


def expect(exception, call) -> None:
    try:
        call()
    except exception:
        return
    raise AssertionError(f"{call} did not raise {exception.__name__}")


def calls(path: str, missing: str):
    """(name, call) for every method and constructor path, each error path
    with the exception it must raise."""
    rt = Runtime(path)
    target = rt.record("agent", "error", "a target")
    return rt, [
        ("record", lambda: rt.record("agent", "decision", "leak check", "high", timestamp="2024-01-15T10:30:00+02:00")),
        ("record_override", lambda: rt.record("agent", "correction", "fix", overrides=target.upper())),
        ("record_bad_kind", lambda: expect(RuntimeError, lambda: rt.record("a", "Decision", "c"))),
        ("record_bad_importance", lambda: expect(RuntimeError, lambda: rt.record("a", "decision", "c", "urgent"))),
        ("record_bad_uuid", lambda: expect(RuntimeError, lambda: rt.record("a", "decision", "c", overrides="nope"))),
        ("record_bad_timestamp", lambda: expect(RuntimeError, lambda: rt.record("a", "decision", "c",
                                                                                 timestamp="2024-02-30T00:00:00Z"))),
        ("record_missing_target", lambda: expect(RuntimeError, lambda: rt.record(
            "a", "decision", "c", overrides="00000000-0000-0000-0000-000000000000"))),
        ("record_wrong_type", lambda: expect(TypeError, lambda: rt.record("a", "decision", 5))),
        ("record_surrogate", lambda: expect(UnicodeEncodeError, lambda: rt.record("a", "decision", "\ud800"))),
        ("record_unknown_keyword", lambda: expect(TypeError, lambda: rt.record("a", "decision", "c", colour=1))),
        ("query", lambda: rt.query("leak", "agent", 0.0, None, 50)),
        ("query_tier", lambda: rt.query(tier="hot", limit=10)),
        ("query_bad_tier", lambda: expect(RuntimeError, lambda: rt.query(tier="Hot"))),
        ("query_nan", lambda: expect(RuntimeError, lambda: rt.query(min_salience=float("nan")))),
        ("query_nul", lambda: expect(RuntimeError, lambda: rt.query("a\x00b"))),
        ("query_limit_none", lambda: expect(TypeError, lambda: rt.query(limit=None))),
        ("query_limit_negative", lambda: expect(OverflowError, lambda: rt.query(limit=-1))),
        ("sweep", rt.sweep),
        ("count", rt.count),
        ("inspect", rt.inspect),
        ("snapshots", lambda: rt.get_snapshots(20)),
        ("snapshots_too_many", lambda: expect(RuntimeError, lambda: rt.get_snapshots(2**63))),
        ("snapshots_negative", lambda: expect(OverflowError, lambda: rt.get_snapshots(-1))),
        ("distribution", rt.get_salience_distribution),
        ("count_with_argument", lambda: expect(TypeError, lambda: rt.count(1))),
        ("open_and_close", lambda: Runtime(path, "coding").count()),
        ("open_missing_directory", lambda: expect(RuntimeError, lambda: Runtime(missing))),
        ("open_bad_policy", lambda: expect(RuntimeError, lambda: Runtime(path, "Coding"))),
        ("open_nul_path", lambda: expect(RuntimeError, lambda: Runtime(path + "\x00"))),
        ("open_memory", lambda: Runtime(":memory:").record("a", "decision", "c")),
    ]


def trim(path: str, target: str) -> None:
    """Deletes all but the override target and the last rows, so that the
    file and the runtime's page cache stay at one size."""
    with closing(sqlite3.connect(path, timeout=30)) as conn, conn:
        conn.execute("DELETE FROM overrides")
        conn.execute("DELETE FROM memory_state WHERE event_id NOT IN (SELECT id FROM events WHERE content = ?)",
                     (target,))
        conn.execute("DELETE FROM events WHERE id NOT IN (SELECT event_id FROM memory_state)")
        conn.execute("DELETE FROM snapshots WHERE id < (SELECT MAX(id) - 50 FROM snapshots)")


def run(rounds: int, warmup: int, checkpoints: int) -> dict:
    with tempfile.TemporaryDirectory(prefix="quenlith-leaks-") as directory:
        path = os.path.join(directory, "leaks.sqlite")
        rt, table = calls(path, os.path.join(directory, "missing", "x.sqlite"))
        paths = len(table)
        samples = []
        made = 0
        started = time.monotonic()
        for round_number in range(warmup + rounds):
            if round_number % 50 == 0:
                trim(path, "a target")
            if round_number == warmup:
                tracemalloc.start()
            for _, call in table:
                call()
            made += len(table)
            measured = round_number - warmup
            if measured >= 0 and measured % max(1, rounds // checkpoints) == 0:
                samples.append((made, rss_kib(), tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()))
        samples.append((made, rss_kib(), tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()))
        tracemalloc.stop()
        del rt, table
    first, last = samples[0], samples[-1]
    measured_calls = last[0] - first[0]
    return {
        "call_paths": paths,
        "calls": made,
        "calls_measured": measured_calls,
        "seconds": round(time.monotonic() - started, 1),
        "rss_kib_after_warmup": first[1],
        "rss_kib_at_end": last[1],
        "rss_growth_kib": last[1] - first[1],
        "traced_python_growth_bytes": last[2] - first[2],
        "allocated_blocks_growth": last[3] - first[3],
        "rss_samples_kib": [sample[1] for sample in samples],
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=4000, help="measured rounds (every call once each)")
    parser.add_argument("--warmup", type=int, default=300)
    parser.add_argument("--checkpoints", type=int, default=20)
    parser.add_argument("--max-rss-growth-kib", type=int, default=256)
    parser.add_argument("--max-traced-growth-bytes", type=int, default=64 * 1024)
    parser.add_argument("--max-blocks-growth", type=int, default=500)
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON line")
    args = parser.parse_args()

    figures = run(args.rounds, args.warmup, args.checkpoints)
    failures = [
        name
        for name, value, bound in (
            ("RSS", figures["rss_growth_kib"], args.max_rss_growth_kib),
            ("traced Python memory", figures["traced_python_growth_bytes"], args.max_traced_growth_bytes),
            ("allocated blocks", figures["allocated_blocks_growth"], args.max_blocks_growth),
        )
        if value > bound
    ]
    figures["verdict"] = "flat" if not failures else "growing: " + ", ".join(failures)
    if args.json:
        print(json.dumps(figures))
    else:
        for key, value in figures.items():
            print(f"{key:32} {value}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
