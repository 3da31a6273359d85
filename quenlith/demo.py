"""A coding agent's last two months, replayed into a fresh database.

The session is what an agent working on a payments service would record:
the user's requests, its own decisions, failing tests and CI runs, reviewers'
corrections that override the errors they fix, and one flaky test that keeps
coming back. Events are backdated over about two months and swept at the end
of every week. Afterwards the demo shows what the agent remembers, tier by
tier, and takes each salience apart into the factors that made it.
"""

from __future__ import annotations

import datetime as dt
import textwrap
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Final

from .display import format_age
from .policies import IMPORTANCE_WEIGHTS, OVERRIDE_FACTOR, Importance, Kind, Policy, frequency
from .quenlith_runtime import Runtime

if TYPE_CHECKING:
    from .quenlith_runtime import MemoryDict

DEMO_DB: Final = "quenlith-demo.db"
DEMO_POLICY: Final = "coding"

# Memories listed per tier; the rest are counted.
_SHOWN_PER_TIER: Final = 8


@dataclass(frozen=True)
class Step:
    """One event of the session, dated relative to the end of the session."""

    ago: dt.timedelta
    source: str
    kind: Kind
    content: str
    importance: Importance = "normal"
    name: str | None = None  # how a later step refers to this one
    overrides: str | None = None  # the name of an earlier step


@dataclass(frozen=True)
class Sweep:
    """The agent's weekly housekeeping."""


def _days(days: float, hours: float = 0) -> dt.timedelta:
    return dt.timedelta(days=days, hours=hours)


def _hours(hours: float) -> dt.timedelta:
    return dt.timedelta(hours=hours)


FLAKY: Final = "flaky: test_export_large times out on CI"

SESSION: Final[tuple[Step | Sweep, ...]] = (
    # Week 1: webhook retries.
    Step(_days(60), "user", "user_action", "asked to add retries to the payment webhook handler"),
    Step(_days(60, -2), "agent", "decision", "retry webhooks with exponential backoff, at most 5 attempts", "high"),
    Step(_days(59), "pytest", "error", "test_webhook_retry fails: the backoff really sleeps in tests",
         name="sleeping-tests"),
    Step(_days(59, -1), "reviewer", "correction", "inject a fake clock into the retry loop so tests never sleep",
         overrides="sleeping-tests"),
    Step(_days(58), "ci", "observation", "CI run took 14 minutes", "low"),
    Sweep(),
    # Week 2: money arithmetic.
    Step(_days(52), "agent", "observation", "the repository pins Django 4.2 LTS"),
    Step(_days(51), "agent", "decision", "keep Django 4.2; the upgrade is out of scope"),
    Step(_days(50), "pytest", "error", "test_refund_partial fails: rounding is off by one cent", name="rounding"),
    Step(_days(49), "reviewer", "correction", "use Decimal with ROUND_HALF_EVEN for money, never float", "high",
         overrides="rounding"),
    Sweep(),
    # Week 3: the CSV export, and a test that starts to flake.
    Step(_days(45), "user", "user_action", "asked for a CSV export of failed payments"),
    Step(_days(44), "agent", "decision", "stream the CSV export instead of building it in memory"),
    Step(_days(43), "ci", "observation", FLAKY),
    Step(_days(42), "ci", "observation", FLAKY),
    Step(_days(41), "ci", "observation", FLAKY),
    Sweep(),
    # Week 4: a migration that locked production.
    Step(_days(37), "ci", "error", "migration 0042 locks the payments table for 6 minutes", "high",
         name="locking-migration"),
    Step(_days(36), "reviewer", "correction",
         "split migration 0042: add the column as nullable, backfill in batches", "critical",
         overrides="locking-migration"),
    Step(_days(35), "agent", "decision", "review every migration on payments for table locks", "high"),
    Sweep(),
    # Week 5: logging.
    Step(_days(30), "user", "user_action", "asked to switch logging to structured JSON"),
    Step(_days(29), "agent", "decision", "use structlog through the standard logging bridge"),
    Step(_days(28), "linter", "observation", "ruff reports 37 warnings, mostly unused imports", "low"),
    Sweep(),
    # Week 6: secrets.
    Step(_days(23), "pytest", "error", "test_webhook_signature fails after the secret was rotated",
         name="stale-secret"),
    Step(_days(22), "reviewer", "correction", "read the webhook secret per request, not at import time", "high",
         overrides="stale-secret"),
    Step(_days(21), "ci", "observation", FLAKY),
    Sweep(),
    # Week 7: idempotency.
    Step(_days(16), "user", "user_action", "asked for idempotency keys on POST /payments"),
    Step(_days(15), "agent", "decision", "keep idempotency keys in Redis with a 24 h expiry", "high"),
    Step(_days(13), "ci", "observation", FLAKY),
    Sweep(),
    # Week 8: idempotency in CI.
    Step(_days(9), "pytest", "error", "test_idempotent_post fails: no Redis server in CI", name="no-redis"),
    Step(_days(9, -2), "reviewer", "correction", "use fakeredis in unit tests; real Redis only in the integration job",
         "high", overrides="no-redis"),
    Step(_days(7), "agent", "decision", "cap the CSV export at 100,000 rows per file"),
    Step(_days(6), "ci", "observation", FLAKY),
    Sweep(),
    # The last days: preparing the release.
    Step(_days(3), "user", "user_action", "asked to prepare the 2.3 release", "high"),
    Step(_days(2), "agent", "decision", "release 2.3 from main once the idempotency work lands", "high"),
    Step(_days(1), "ci", "observation", FLAKY),
    Step(_hours(20), "agent", "observation", "the changelog has no entry for the CSV export"),
    Step(_hours(6), "ci", "error", "release build fails: no cryptography wheel for Python 3.13", "high"),
    Step(_hours(5), "agent", "decision", "require cryptography 42 or later, which ships Python 3.13 wheels"),
    Step(_hours(3), "ci", "observation", FLAKY),
    Sweep(),
    # This morning, after the last sweep.
    Step(_hours(1), "pytest", "error", "test_release_notes fails: the version still says 2.2", name="old-version"),
    Step(dt.timedelta(minutes=20), "agent", "correction", "bump the version to 2.3 in pyproject.toml and __init__.py",
         overrides="old-version"),
)


@dataclass
class Recorded:
    """What the demo knows about an event it recorded."""

    step: Step
    timestamp: dt.datetime
    occurrences: int  # the count the runtime gave it: same content and source so far, itself included
    overridden_by: Recorded | None = None
    swept_since_override: bool = False


@dataclass
class Session:
    runtime: Runtime
    policy: Policy
    now: dt.datetime
    recorded: dict[str, Recorded] = field(default_factory=dict)  # by event id


def play(path: str, policy_name: str, policy: Policy, say: Callable[[str], None] = print,
         now: dt.datetime | None = None) -> Session:
    """Records the whole session into a new database at `path`, sweeping weekly."""
    session = Session(Runtime(path, policy_name), policy, now or dt.datetime.now(dt.timezone.utc))
    ids_by_name: dict[str, str] = {}
    seen: dict[tuple[str, str], int] = {}
    since_sweep: list[Step] = []
    sweeps = 0
    for step in SESSION:
        if isinstance(step, Sweep):
            sweeps += 1
            result = session.runtime.sweep()
            for recorded in session.recorded.values():
                if recorded.overridden_by is not None:
                    recorded.swept_since_override = True
            oldest = format_age(max(s.ago for s in since_sweep).total_seconds())
            say(f"  sweep {sweeps} after {len(since_sweep)} events from {oldest} ago: "
                f"{result['total_processed']} rescored, {result['promoted']} promoted, "
                f"{result['demoted']} demoted, {result['forgotten']} forgotten")
            since_sweep = []
            continue
        timestamp = session.now - step.ago
        target = ids_by_name[step.overrides] if step.overrides else None
        event_id = session.runtime.record(step.source, step.kind, step.content, step.importance,
                                          overrides=target, timestamp=timestamp.isoformat())
        key = (step.source, step.content)
        seen[key] = seen.get(key, 0) + 1
        recorded = Recorded(step, timestamp, seen[key])
        session.recorded[event_id] = recorded
        if step.name:
            ids_by_name[step.name] = event_id
        if target:
            overridden = session.recorded[target]
            overridden.overridden_by = recorded
            overridden.swept_since_override = False
        since_sweep.append(step)
    return session


def _quote(text: str, limit: int = 40) -> str:
    return f"'{textwrap.shorten(text, limit, placeholder='...')}'"


def explain(recorded: Recorded, policy: Policy, now: dt.datetime) -> str:
    """The factors of a memory's salience, in words."""
    step = recorded.step
    age = (now - recorded.timestamp).total_seconds()
    occurrences = "seen once" if recorded.occurrences == 1 else f"seen {recorded.occurrences} times"
    parts = [
        f"{step.kind.replace('_', ' ')} (x{policy.kind_weights[step.kind]:g})",
        f"{step.importance} importance (x{IMPORTANCE_WEIGHTS[step.importance]:g})",
        f"{occurrences} (x{frequency(recorded.occurrences):.2f})",
        f"{format_age(age)} old (x{_factor(policy.recency(age))})",
    ]
    why = ", ".join(parts)
    corrector = recorded.overridden_by
    if corrector is not None:
        when = format_age((now - corrector.timestamp).total_seconds())
        if recorded.swept_since_override:
            why += (f"; overridden {when} ago by {_quote(corrector.step.content)}, but the push down to cold "
                    "lasts only until the next sweep, which rescores it as if it had not been")
        else:
            why += (f"; overridden {when} ago by {_quote(corrector.step.content)}, so held cold at a quarter "
                    f"(x{OVERRIDE_FACTOR:g}) until the next sweep")
    return why


def _why(text: str) -> str:
    return textwrap.fill(text, 100, initial_indent="          why: ", subsequent_indent=" " * 15)


def _factor(value: float) -> str:
    return f"{value:.2f}" if value >= 0.01 else f"{value:.1e}"


def report_state(session: Session, say: Callable[[str], None] = print) -> list[MemoryDict]:
    """Prints hot, warm, cold and forgotten with the reasons; returns the live memories."""
    policy, now = session.policy, session.now
    live = session.runtime.query(limit=len(session.recorded) + 1)
    headings = {
        "Hot": f"HOT (salience >= {policy.hot:g}): what the agent acts on now",
        "Warm": f"WARM (>= {policy.warm:g}): still in mind",
        "Cold": f"COLD (>= {policy.cold:g}): fading, kept for lookups",
    }
    for display_name, heading in headings.items():
        memories = [memory for memory in live if memory["tier"] == display_name]
        say(f"\n{heading} - {len(memories)}")
        for memory in memories[:_SHOWN_PER_TIER]:
            say(f" {memory['salience']:7.2f}  [{memory['source']}] {memory['content']}")
            say(_why(explain(session.recorded[memory['id']], policy, now)))
        if len(memories) > _SHOWN_PER_TIER:
            say(f"          ... and {len(memories) - _SHOWN_PER_TIER} more")

    live_ids = {memory["id"] for memory in live}
    forgotten = [recorded for event_id, recorded in session.recorded.items() if event_id not in live_ids]
    say(f"\nFORGOTTEN (< {policy.cold:g}): never returned by queries again - {len(forgotten)}")
    if forgotten:
        newest = min(recorded.step.ago for recorded in forgotten)
        say(f"  the newest of them {format_age(newest.total_seconds())} old, at a half-life of "
            f"{policy.half_life_hours:g} h; even the weightiest faded:")

        def weight(recorded: Recorded) -> float:
            return policy.salience(recorded.step.kind, recorded.step.importance, recorded.occurrences, 0)

        def score(recorded: Recorded) -> float:
            age = (now - recorded.timestamp).total_seconds()
            return policy.salience(recorded.step.kind, recorded.step.importance, recorded.occurrences, age)

        strongest = sorted(forgotten, key=weight, reverse=True)[:3]
        for recorded in sorted(strongest, key=score, reverse=True):
            say(f" {score(recorded):7.2g}  [{recorded.step.source}] {recorded.step.content}")
            say(_why(explain(recorded, policy, now)))
    return live


def clear_database(path: Path) -> None:
    """Removes a previous run's database and whatever SQLite left beside it."""
    for leftover in (path, *(path.with_name(path.name + suffix) for suffix in ("-journal", "-wal", "-shm"))):
        leftover.unlink(missing_ok=True)


def session_span() -> tuple[dt.timedelta, int, int]:
    """How far back the session reaches, its number of events and of sweeps."""
    steps = [step for step in SESSION if isinstance(step, Step)]
    return max(step.ago for step in steps), len(steps), len(SESSION) - len(steps)
