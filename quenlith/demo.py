"""A short agent session against a database file in the working directory."""

from __future__ import annotations

import datetime as dt
import os
from collections.abc import Sequence

from .quenlith_runtime import Runtime

DEMO_DB = "quenlith-demo.db"


def _ago(now: dt.datetime, **delta: float) -> str:
    return (now - dt.timedelta(**delta)).isoformat()


def run_demo(path: str = DEMO_DB) -> None:
    for leftover in (path, path + "-journal"):
        if os.path.exists(leftover):
            os.remove(leftover)
    rt = Runtime(path, "coding")
    now = dt.datetime.now(dt.timezone.utc)

    print(f"Recording a coding agent's last two months into {path} ...")
    rt.record("planner", "decision", "use SQLite for the cache layer", "high", timestamp=_ago(now, days=58))
    rt.sweep()
    bug = rt.record("tests", "error", "test_cache fails: stale entries after restart", timestamp=_ago(now, days=40))
    for days in (39, 38, 37):
        rt.record("ci", "observation", "flaky test: test_network_timeout", timestamp=_ago(now, days=days))
    rt.sweep()
    rt.record(
        "reviewer", "correction", "invalidate cache entries on startup", "high", overrides=bug,
        timestamp=_ago(now, days=12),
    )
    rt.record("user", "user_action", "asked for a --dry-run flag", timestamp=_ago(now, days=3))
    rt.record("planner", "decision", "ship --dry-run behind a feature flag", "critical", timestamp=_ago(now, hours=5))
    rt.record("ci", "observation", "build green on main", "low", timestamp=_ago(now, minutes=20))
    result = rt.sweep()
    print(f"Sweep: {result}")

    print("\nWhat the agent remembers, strongest first:")
    for memory in rt.query(limit=10):
        flag = " (overridden)" if memory["is_overridden"] else ""
        print(
            f"  {memory['tier']:<5} {memory['salience']:7.3f}  x{memory['occurrence_count']}  "
            f"[{memory['source']}] {memory['content']}{flag}"
        )
    print(f"\nTier counts: {rt.inspect()}")
    print(f"Snapshots: {len(rt.get_snapshots())} sweeps recorded")


def main(argv: Sequence[str]) -> int:
    if list(argv) not in ([], ["demo"]):
        print("usage: python -m quenlith demo")
        return 2
    run_demo()
    return 0
