"""The measurements. Each runs the product and the peer on the same data and
returns plain dicts of figures; none of them asserts anything about time.

The machine may be busy with other work, so the two implementations take
turns call by call (or round by round) wherever they can: a disturbance then
hits both instead of one.
"""

from __future__ import annotations

import gc
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Callable

import dataset
from peer import PeerRuntime

HERE = os.path.dirname(os.path.abspath(__file__))
IMPLEMENTATIONS = ("product", "peer")


def open_runtime(implementation: str, path: str):
    if implementation == "product":
        from quenlith import Runtime

        return Runtime(path)
    return PeerRuntime(path)


def product_fingerprint() -> dict:
    """Which build of the extension is installed, to notice a reinstall mid-run."""
    import quenlith.quenlith_runtime as module

    status = os.stat(module.__file__)
    return {"path": module.__file__, "mtime": status.st_mtime, "bytes": status.st_size}


@dataclass(frozen=True)
class Settings:
    """How hard to measure; --quick lowers the repetitions."""

    recording_rounds: int
    durable_events: int
    memory_events: int
    growth_records: dict  # store size -> records to time
    min_reps: int  # per block of a query filter or statistics call, and implementation
    max_reps: int  # over all blocks
    budget_s: float  # per query filter or statistics call over all blocks, both implementations together
    sweep_reps: int  # fresh copies swept per implementation, up to 100k memories
    sweep_reps_large: int  # the same above 100k memories


FULL = Settings(7, 500, 10_000, {1_000: 200, 100_000: 60}, 10, 1000, 6.0, 3, 2)
QUICK = Settings(3, 300, 5_000, {1_000: 100, 100_000: 30}, 5, 300, 2.0, 3, 1)


def percentile(values: list[float], fraction: float) -> float:
    """Nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def time_alternating(
    calls: dict[str, Callable[[], object]], min_reps: int, max_reps: int, budget_s: float, burst: int = 1
) -> dict[str, list[float]]:
    """Seconds of each call, the implementations taking turns.

    Each turn makes `burst` calls in a row. A turn of one call lets each
    implementation run with the other's data in the processor's caches,
    which hurts the faster one most (a 0.1 ms query after an 80 ms scan);
    short bursts keep the pairing against machine noise without that.
    Stops after max_reps calls each, or after min_reps once the budget is spent.
    """
    gc.collect()  # start without the harness's own garbage pending
    samples: dict[str, list[float]] = {name: [] for name in calls}
    deadline = time.perf_counter() + budget_s
    reps = 0
    while reps < max_reps and (reps < min_reps or time.perf_counter() < deadline):
        for name, call in calls.items():
            for _ in range(burst):
                started = time.perf_counter()
                call()
                samples[name].append(time.perf_counter() - started)
        reps += burst
    return samples


def settle() -> None:
    """Writes the fresh copies out now, so that the kernel's write-back of
    hundreds of megabytes does not run during the next measurement."""
    if hasattr(os, "sync"):
        os.sync()


BLOCKS = 3
LATENCY_BURST = 5


def measure_in_blocks(work: dict[str, dict[str, Callable[[], object]]], settings: Settings) -> dict:
    """Samples of every item of `work` (a query filter, a statistics call), in
    BLOCKS passes over all items, keeping for each item its quietest block.

    Other programs on the machine come and go; a block they disturbed shows a
    higher median for both implementations. The block whose medians sum lowest
    is kept, the same block for both, so the comparison stays paired.
    """
    blocks: dict[str, list[dict[str, list[float]]]] = {item: [] for item in work}
    for _ in range(BLOCKS):
        for item, calls in work.items():
            blocks[item].append(
                time_alternating(
                    calls, settings.min_reps, settings.max_reps // BLOCKS, settings.budget_s / BLOCKS, burst=LATENCY_BURST
                )
            )
    return {
        item: min(runs, key=lambda run: sum(statistics.median(values) for values in run.values()))
        for item, runs in blocks.items()
    }


def _fresh_path(directory: str, name: str) -> str:
    path = os.path.join(directory, name)
    for suffix in ("", "-journal"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)
    return path


# -- 1. recording rate -------------------------------------------------------------


def _recording_round(name: str, path: str, events: list[dataset.NewEvent]) -> float:
    """Events per second for one batch into a new store."""
    runtime = open_runtime(name, path)
    gc.collect()
    started = time.perf_counter()
    dataset.record_all(runtime, events)
    return len(events) / (time.perf_counter() - started)  # the runtime closes on return


def recording_rate(settings: Settings, directory: str) -> dict:
    """Events per second recorded into a new store: a durable file and ":memory:".

    Rounds alternate between the implementations. The best round counts:
    a busy disk or CPU only ever slows a round down, and a durable commit
    waits on a disk that other programs share.
    """
    results = {}
    for target, count in (("durable", settings.durable_events), ("memory", settings.memory_events)):
        events = dataset.events_to_record(count, dataset.SOURCES, seed=11, pool_size=dataset.pool_size_for(count))
        rates: dict[str, list[float]] = {name: [] for name in IMPLEMENTATIONS}
        sizes = {}
        for _ in range(settings.recording_rounds):
            for name in IMPLEMENTATIONS:
                path = ":memory:" if target == "memory" else _fresh_path(directory, f"record-{name}.db")
                rates[name].append(_recording_round(name, path, events))
                if target == "durable":
                    sizes[name] = os.path.getsize(path) / count
        results[target] = {
            "events": count,
            "events_per_s": {name: max(values) for name, values in rates.items()},
            "events_per_s_median": {name: statistics.median(values) for name, values in rates.items()},
            "all_rounds": rates,
        }
        if sizes:
            results[target]["file_bytes_per_memory"] = sizes
    return results


# -- 2. recording cost against store size ---------------------------------------------


def _growth_samples(base_path: str, directory: str, events: list[dataset.NewEvent]) -> dict[str, list[float]]:
    runtimes = {}
    for name in IMPLEMENTATIONS:
        path = os.path.join(directory, f"growth-{name}.db")
        shutil.copy(base_path, path)
        runtimes[name] = open_runtime(name, path)
        runtimes[name].query(limit=1)  # warm the file's first pages like a running agent
    samples: dict[str, list[float]] = {name: [] for name in IMPLEMENTATIONS}
    for event in events:
        for name, runtime in runtimes.items():
            started = time.perf_counter()
            runtime.record(event.source, event.kind, event.content, event.importance)
            samples[name].append(time.perf_counter() - started)
    return samples  # the runtimes close on return


def recording_growth(settings: Settings, directory: str) -> dict:
    """Per-record cost (median) on a durable file already holding N events of one source."""
    source = ("agent-0",)
    results: dict = {"per_record_us": {name: {} for name in IMPLEMENTATIONS}, "records": {}}
    for size, records in settings.growth_records.items():
        base = dataset.fill_file(os.path.join(directory, f"growth-{size}.db"), size, sources=source, seed=21)
        events = dataset.events_to_record(records, source, seed=22, pool_size=dataset.pool_size_for(size))
        samples = _growth_samples(base.path, directory, events)
        for name, values in samples.items():
            results["per_record_us"][name][size] = statistics.median(values) * 1e6
            os.remove(os.path.join(directory, f"growth-{name}.db"))
        results["records"][size] = records
        os.remove(base.path)
    return results


# -- 3. query latency ----------------------------------------------------------------


def query_filters(fill: dataset.FillResult) -> dict:
    threshold = fill.min_salience_5pct
    return {
        "none": {},
        "text": {"text": dataset.RARE_WORD},
        "source": {"source": "agent-3"},
        "tier": {"tier": "hot"},
        "min_salience": {"min_salience": threshold},
        "combined": {"source": "agent-3", "tier": "hot", "min_salience": threshold},
    }


def query_latency(settings: Settings, fill: dataset.FillResult, paths: dict) -> dict:
    """p50 and p95 per filter, limit 20, from the quietest block of each filter."""
    runtimes = {name: open_runtime(name, paths[name]) for name in IMPLEMENTATIONS}
    work = {}
    rows = {}
    for filter_name, arguments in query_filters(fill).items():
        rows[filter_name] = {name: len(runtime.query(**arguments)) for name, runtime in runtimes.items()}  # warm-up
        work[filter_name] = {name: (lambda r=runtime, a=arguments: r.query(**a)) for name, runtime in runtimes.items()}
    results = {}
    for filter_name, samples in measure_in_blocks(work, settings).items():
        results[filter_name] = {
            name: {
                "p50_ms": statistics.median(values) * 1e3,
                "p95_ms": percentile(values, 0.95) * 1e3,
                "reps": len(values),
                "rows": rows[filter_name][name],
            }
            for name, values in samples.items()
        }
    return results  # the runtimes close on return


# -- 4. sweep ----------------------------------------------------------------------------


def sweep_in_child(name: str, path: str, extra_sweeps: int = 0) -> dict:
    """Sweeps `path` in a fresh interpreter; returns its JSON report."""
    completed = subprocess.run(
        [sys.executable, os.path.join(HERE, "sweep_child.py"), name, path, "--extra-sweeps", str(extra_sweeps)],
        check=True,
        capture_output=True,
        text=True,
    )
    report = json.loads(completed.stdout)
    processed = report["result"]["total_processed"]
    report["peak_growth_bytes_per_live_memory"] = report["peak_growth_bytes"] / processed if processed else 0.0
    return report


def sweeps(reps: int, ready: dict, directory: str, size: int) -> tuple[dict, dict]:
    """Sweeps fresh copies of each implementation's opened file, taking turns.

    Returns the medians per implementation and the paths of the last copies,
    which got two more sweeps for the snapshot history.
    """
    runs: dict[str, list[dict]] = {name: [] for name in IMPLEMENTATIONS}
    kept = {}
    for rep in range(reps):
        last = rep == reps - 1
        for name in IMPLEMENTATIONS:
            path = os.path.join(directory, f"sweep-{size}-{name}.db")
            shutil.copy(ready[name], path)
            settle()
            runs[name].append(sweep_in_child(name, path, extra_sweeps=2 if last else 0))
            if last:
                kept[name] = path
            else:
                os.remove(path)
    summary = {}
    for name, reports in runs.items():
        summary[name] = {
            "seconds": statistics.median(r["seconds"] for r in reports),
            "peak_growth_bytes_per_live_memory": statistics.median(
                r["peak_growth_bytes_per_live_memory"] for r in reports
            ),
            "result": reports[-1]["result"],
            "runs": reports,
        }
    return summary, kept


# -- 5. statistics ------------------------------------------------------------------------


def statistics_calls(settings: Settings, paths: dict) -> dict:
    """Median time of inspect, get_snapshots(100) and get_salience_distribution."""
    calls = {
        "inspect": lambda runtime: runtime.inspect(),
        "get_snapshots": lambda runtime: runtime.get_snapshots(100),
        "get_salience_distribution": lambda runtime: runtime.get_salience_distribution(),
    }
    runtimes = {name: open_runtime(name, paths[name]) for name in IMPLEMENTATIONS}
    work = {}
    for call_name, call in calls.items():
        for runtime in runtimes.values():
            call(runtime)  # warm-up
        work[call_name] = {name: (lambda r=runtime, c=call: c(r)) for name, runtime in runtimes.items()}
    return {
        call_name: {
            name: {"median_ms": statistics.median(values) * 1e3, "reps": len(values)}
            for name, values in samples.items()
        }
        for call_name, samples in measure_in_blocks(work, settings).items()
    }  # the runtimes close on return


# -- 3 to 6 for one store size ------------------------------------------------------------


def per_size(settings: Settings, size: int, directory: str, log: Callable[[str], None]) -> dict:
    """Fill once, then queries, sweeps and statistics on one copy per implementation.

    Each implementation keeps its own copy from then on: the product may
    reshape its copy's indexes when it opens it, and the peer must keep the
    reference schema.
    """
    base = dataset.fill_file(os.path.join(directory, f"store-{size}.db"), size, seed=31)
    log(f"  filled {size:,} memories in {base.seconds:.1f} s ({base.live:,} live, {base.file_bytes / size:.0f} B each)")
    ready = {name: os.path.join(directory, f"store-{size}-{name}.db") for name in IMPLEMENTATIONS}
    for path in ready.values():
        shutil.copy(base.path, path)
    os.remove(base.path)
    settle()

    queries = query_latency(settings, base, ready)  # also opens each copy once
    log("  queries done")
    reps = settings.sweep_reps if size <= 100_000 else settings.sweep_reps_large
    sweep_figures, swept = sweeps(reps, ready, directory, size)
    log("  sweeps done")
    stats = statistics_calls(settings, swept)
    kept_bytes = {name: os.path.getsize(path) / size for name, path in swept.items()}
    for path in list(ready.values()) + list(swept.values()):
        os.remove(path)
    return {
        "memories": size,
        "live": base.live,
        "tiers": base.tiers,
        "fill_seconds": base.seconds,
        "file_bytes_per_memory": base.file_bytes / size,
        "kept_file_bytes_per_memory": kept_bytes,
        "min_salience_5pct": base.min_salience_5pct,
        "queries": queries,
        "sweep": sweep_figures,
        "statistics": stats,
    }
