"""Checks that the pure-Python peer gives the product's results.

Records the same events (backdated, repeated, overriding, current) into both
implementations, then compares counts, queries, tier counts, sweeps,
snapshots and salience distributions, and the stored rows themselves.
Saliences must agree within 1e-9.

    python benchmarks/check_peer.py
"""

from __future__ import annotations

import os
import random
import sqlite3
import sys
import tempfile
import time

import peer
from peer import PeerRuntime

TOLERANCE = 1e-9
_NANOS_PER_MINUTE = 60 * 1_000_000_000


class Mismatch(AssertionError):
    pass


def _expect(condition: bool, what: str) -> None:
    if not condition:
        raise Mismatch(what)


def _close(a: float, b: float) -> bool:
    return a == b or abs(a - b) <= TOLERANCE


def _backdated_text(now_ns: int, minutes: int, style: int, rng: random.Random) -> str:
    """A timestamp `minutes` (and 30 s) away from now, in one of several accepted forms.

    The extra 30 s keeps every age at least 30 s from a minute boundary, so the
    two implementations, scoring a few milliseconds apart, see the same minute.
    """
    instant = now_ns - minutes * _NANOS_PER_MINUTE - 30 * 1_000_000_000
    micros = rng.randrange(1_000_000) | 1  # odd: never a multiple of 1000
    instant = instant - instant % 1_000_000_000 + micros * 1000
    text = peer.format_timestamp(instant)
    if style == 1:
        return text.replace("+00:00", "Z")
    if style == 2:  # same instant written with a +02:00 offset
        shifted = peer.format_timestamp(instant + 2 * 3600 * 1_000_000_000)
        return shifted.replace("+00:00", "+02:00")
    return text


def _script(rng: random.Random, now_ns: int, count: int) -> list[tuple]:
    """(source, kind, content, importance, overrides_back, timestamp) calls."""
    sources = ("agent-1", "agent-2", "O'Brien")
    contents = ("build green", "cache miss", "use the small model", "50% done", "Photo uploaded", "O'Brien said hi")
    calls = []
    for index in range(count):
        draw = rng.random()
        if draw < 0.15:
            stamp = None  # now
        elif draw < 0.2:
            stamp = _backdated_text(now_ns, -rng.randrange(60, 5000), rng.randrange(3), rng)  # future
        else:
            stamp = _backdated_text(
                now_ns, rng.choice((0, 1, 2, 59, 60, 61)) + rng.randrange(130_000), rng.randrange(3), rng
            )
        back = 1 + rng.randrange(index) if index and rng.random() < 0.08 else None
        calls.append(
            (
                rng.choice(sources),
                rng.choice(peer.KINDS),
                rng.choice(contents),
                rng.choice(tuple(peer.IMPORTANCE_WEIGHTS)),
                back,
                stamp,
            )
        )
    return calls


def _record_script(runtime, calls) -> list[str]:
    ids: list[str] = []
    for source, kind, content, importance, back, stamp in calls:
        target = ids[-back] if back else None
        ids.append(runtime.record(source, kind, content, importance, overrides=target, timestamp=stamp))
    return ids


def _normalise_memories(memories: list[dict], index_of: dict[str, int], backdated: set[int]) -> list[tuple]:
    rows = []
    for memory in memories:
        position = index_of[memory["id"]]
        stamp = memory["timestamp"] if position in backdated else None
        rows.append(
            (
                position,
                memory["content"],
                memory["source"],
                memory["tier"],
                memory["occurrence_count"],
                stamp,
                memory["is_overridden"],
                memory["salience"],
            )
        )
    return rows


def _compare_query(name: str, product_rows: list[dict], peer_rows: list[dict], maps, backdated) -> None:
    _expect(len(product_rows) == len(peer_rows), f"{name}: {len(product_rows)} vs {len(peer_rows)} memories")
    for rows in (product_rows, peer_rows):
        saliences = [row["salience"] for row in rows]
        _expect(saliences == sorted(saliences, reverse=True), f"{name}: not strongest first")
    ours = _normalise_memories(product_rows, maps[0], backdated)
    theirs = _normalise_memories(peer_rows, maps[1], backdated)
    # Equal saliences may come in either order: compare the lists by event.
    ours.sort()
    theirs.sort()
    for a, b in zip(ours, theirs, strict=True):
        _expect(a[:-1] == b[:-1], f"{name}: {a} vs {b}")
        _expect(_close(a[-1], b[-1]), f"{name}: salience {a[-1]!r} vs {b[-1]!r}")


def _compare_distribution(product: list[float], peer_values: list[float]) -> None:
    _expect(len(product) == len(peer_values), f"distribution: {len(product)} vs {len(peer_values)} values")
    _expect(product == sorted(product, reverse=True), "distribution of the product not descending")
    for a, b in zip(product, peer_values, strict=True):
        _expect(_close(a, b), f"distribution: {a!r} vs {b!r}")


def _stored_rows(path: str) -> list[tuple]:
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return conn.execute(
            "SELECT e.source, e.kind, e.content, e.metadata, e.importance, m.tier, m.occurrence_count,"
            " m.last_accessed = e.timestamp, m.salience,"
            " (SELECT COUNT(*) FROM overrides o WHERE o.source_id = e.id),"
            " (SELECT COUNT(*) FROM overrides o WHERE o.target_id = e.id)"
            " FROM events e JOIN memory_state m ON m.event_id = e.id ORDER BY e.rowid"
        ).fetchall()
    finally:
        conn.close()


def _schema(path: str) -> list[tuple]:
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return conn.execute("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name").fetchall()
    finally:
        conn.close()


def _definition(row) -> str:
    return row[3] if row else "(none)"


def _schema_differences(product_path: str, peer_path: str) -> list[str]:
    """Tables must match; index definitions may differ (the product may tune its
    indexes), and each difference is returned as a note."""
    ours = {row[1]: row for row in _schema(product_path)}
    theirs = {row[1]: row for row in _schema(peer_path)}
    notes = []
    for name in sorted(set(ours) | set(theirs)):
        a, b = ours.get(name), theirs.get(name)
        if a == b:
            continue
        if "table" in (a and a[0], b and b[0]):
            raise Mismatch(f"table {name} differs: {a} vs {b}")
        notes.append(f"index {name}: product {_definition(a)!r}, peer {_definition(b)!r}")
    return notes


def _compare_files(product_path: str, peer_path: str) -> list[str]:
    notes = _schema_differences(product_path, peer_path)
    ours, theirs = _stored_rows(product_path), _stored_rows(peer_path)
    _expect(len(ours) == len(theirs), "stored row counts differ")
    for a, b in zip(ours, theirs, strict=True):
        _expect(a[:8] == b[:8] and a[9:] == b[9:], f"stored rows differ: {a} vs {b}")
        _expect(_close(a[8], b[8]), f"stored salience {a[8]!r} vs {b[8]!r}")
    return notes


def _queries(threshold: float) -> list[tuple[str, dict]]:
    return [
        ("no filter", {}),
        ("no filter, limit 1000", {"limit": 1000}),
        ("text", {"text": "cache", "limit": 1000}),
        ("text ignoring case", {"text": "photo", "limit": 1000}),
        ("text wildcard", {"text": "50%", "limit": 1000}),
        ("text quote", {"text": "O'Brien", "limit": 1000}),
        ("source", {"source": "agent-1", "limit": 1000}),
        ("source quote", {"source": "O'Brien", "limit": 1000}),
        ("tier hot", {"tier": "hot", "limit": 1000}),
        ("tier cold", {"tier": "cold", "limit": 1000}),
        ("tier forgotten", {"tier": "forgotten", "limit": 1000}),
        ("min_salience", {"min_salience": threshold, "limit": 1000}),
        ("combined", {"source": "agent-2", "tier": "warm", "min_salience": 0.6, "limit": 1000}),
        ("limit 0", {"limit": 0}),
    ]


def _compare_state(stage: str, runtimes, maps, backdated: set[int]) -> None:
    product, peer_runtime = runtimes
    _expect(product.count() == peer_runtime.count(), f"{stage}: count")
    _expect(
        product.inspect() == peer_runtime.inspect(), f"{stage}: inspect {product.inspect()} vs {peer_runtime.inspect()}"
    )
    distribution = product.get_salience_distribution()
    _compare_distribution(distribution, peer_runtime.get_salience_distribution())
    threshold = distribution[len(distribution) // 4] if distribution else 1.0
    for name, arguments in _queries(threshold):
        _compare_query(
            f"{stage}, query {name}", product.query(**arguments), peer_runtime.query(**arguments), maps, backdated
        )


def _check_files(paths: tuple[str, str], policy: str | None, calls: list[tuple], backdated: set[int]) -> list[str]:
    """Runs the script on both implementations; they close when this returns."""
    from quenlith import Runtime

    runtimes = (Runtime(paths[0], policy), PeerRuntime(paths[1], policy))
    ids = [_record_script(runtime, calls) for runtime in runtimes]
    maps = [{event_id: index for index, event_id in enumerate(batch)} for batch in ids]
    _compare_state("after recording", runtimes, maps, backdated)
    notes = _compare_files(*paths)
    for sweep_number in range(1, 3):
        results = [runtime.sweep() for runtime in runtimes]
        _expect(results[0] == results[1], f"sweep {sweep_number}: {results[0]} vs {results[1]}")
        _compare_state(f"after sweep {sweep_number}", runtimes, maps, backdated)
    snapshots = [
        [
            {key: value for key, value in snapshot.items() if key != "timestamp"}
            for snapshot in runtime.get_snapshots(100)
        ]
        for runtime in runtimes
    ]
    _expect(snapshots[0] == snapshots[1], f"snapshots: {snapshots[0]} vs {snapshots[1]}")
    _expect([len(runtime.get_snapshots(1)) for runtime in runtimes] == [1, 1], "snapshot limit")
    _compare_files(*paths)
    return notes


def check(policy: str | None = None, events: int = 400, seed: int = 7, verbose: bool = True) -> list[str]:
    """Raises Mismatch on the first difference between product and peer;
    returns notes on index definitions that differ."""
    rng = random.Random(seed)
    calls = _script(rng, time.time_ns(), events)
    backdated = {index for index, call in enumerate(calls) if call[5] is not None}
    with tempfile.TemporaryDirectory(prefix="quenlith-check-") as directory:
        paths = (os.path.join(directory, "product.db"), os.path.join(directory, "peer.db"))
        notes = _check_files(paths, policy, calls, backdated)
    if verbose:
        stages = f"{events} events, 2 sweeps, {len(_queries(0.0))} queries per stage"
        print(f"peer check passed: policy {policy or 'default'}, {stages}")
    return notes


def main() -> int:
    try:
        notes: dict[str, None] = {}
        for index, policy in enumerate((None, "coding", "kb")):
            notes.update(dict.fromkeys(check(policy, seed=7 + index)))
        for note in notes:
            print(f"  note: {note}")
    except Mismatch as error:
        print(f"peer check FAILED: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
