"""Six processes record into one file while a seventh sweeps and an eighth
queries. Within the 5-second busy timeout nobody sees "database is locked",
and the final counts are exact."""

from __future__ import annotations

import time
from pathlib import Path

import pytest

from quenlith import Runtime
from reliability_harness import Child, parse_lines, scaled, store_facts, stored_ids

WRITERS = 6


def run_contention(tmp_path: Path, records: int, pause: float, seconds: float, stop_on_error: bool = False) -> dict:
    """Runs the eight processes until every writer has made `records` calls
    (or `seconds` have passed, or, if asked, the first call failed) and
    returns what they reported and what the file holds."""
    path = str(tmp_path / "shared.db")
    go, stop = str(tmp_path / "go"), str(tmp_path / "stop")
    Runtime(path)  # the schema, before anybody races for it
    common = {"path": path, "go": go, "stop": stop}
    writers = [Child.start("writer", tag=f"w{n}", records=records, pause=pause, **common) for n in range(WRITERS)]
    others = [Child.start("sweeper", pause=pause, **common), Child.start("querier", pause=pause, **common)]
    children = writers + others
    try:
        deadline = time.monotonic() + 60
        for child in children:
            assert child.read_until(deadline, "ready"), child.stderr()
        started = time.monotonic()
        Path(go).touch()
        deadline = started + seconds
        while time.monotonic() < deadline:
            for child in children:
                child.read_until(time.monotonic() + 0.02)
            if all(any(line.startswith("result") for line in child.lines) for child in writers):
                break
            if stop_on_error and any(line.startswith("error") for child in children for line in child.lines):
                break
        elapsed = time.monotonic() - started
        finished = all(any(line.startswith("result") for line in child.lines) for child in writers)
        Path(stop).touch()
        for child in children:
            assert child.read_until(time.monotonic() + 60, "result"), child.stderr()
    finally:
        for child in children:
            child.kill()

    results = [parse_lines("\n".join(child.lines))[1] for child in children]
    return {
        "errors": [error for result in results for error in result["errors"]],
        "reported": [event_id for child in writers for event_id in child.ids],
        "stored": stored_ids(path),
        "facts": store_facts(path),
        "sweeps": sum(line.startswith("swept ") for line in others[0].lines),
        "reads": results[-1]["operations"],
        "max_wait": max(result["max_wait"] for result in results),
        "seconds": elapsed,
        "finished": finished,
    }


def check_nothing_lost(outcome: dict) -> None:
    assert outcome["errors"] == []
    assert set(outcome["reported"]) == outcome["stored"]
    facts = outcome["facts"]
    assert facts["events"] == facts["memories"] == len(outcome["reported"])
    assert facts["snapshots"] == outcome["sweeps"]


def report(figures: dict, outcome: dict) -> None:
    figures.update(
        processes=WRITERS + 2,
        records=len(outcome["reported"]),
        sweeps=outcome["sweeps"],
        reads=outcome["reads"],
        seconds=round(outcome["seconds"], 1),
        longest_wait_s=round(outcome["max_wait"], 3),
        lost=len(set(outcome["reported"]) - outcome["stored"]),
    )


@pytest.mark.parametrize("round_number", range(max(1, scaled(1) // 4)))
def test_six_writers_a_sweeper_and_a_querier_lose_nothing(tmp_path, figures, round_number):
    # Agents think between calls: each process pauses a few milliseconds.
    # Every sweep rewrites every memory, so longer runs add rounds of this
    # test rather than records to one file.
    records = min(scaled(100), 400)
    outcome = run_contention(tmp_path, records, pause=0.005, seconds=300)
    assert outcome["finished"], f"the writers did not finish in {outcome['seconds']:.0f} s"
    assert len(outcome["reported"]) == WRITERS * records
    check_nothing_lost(outcome)
    report(figures, outcome)


def test_sustained_load_starves_nobody_past_the_busy_timeout(tmp_path, figures):
    outcome = run_contention(tmp_path, records=10**9, pause=0.0, seconds=scaled(20), stop_on_error=True)
    report(figures, outcome)
    figures["errors"] = len(outcome["errors"])
    assert outcome["errors"] == [], f"{outcome['errors'][:3]} after {outcome['seconds']:.1f} s"
    check_nothing_lost(outcome)
