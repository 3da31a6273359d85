"""The machine description, the table of figures and the targets."""

from __future__ import annotations

import os
import platform
import sqlite3
import sys


def filesystem_of(path: str) -> str:
    """Type and device of the mount holding `path`: a tmpfs makes "durable" figures meaningless."""
    path = os.path.realpath(path)
    best = ("", "?", "?")
    try:
        with open("/proc/mounts") as mounts:
            for line in mounts:
                device, mount_point, kind = line.split()[:3]
                inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
                if inside and len(mount_point) >= len(best[0]):
                    best = (mount_point, kind, device)
    except OSError:
        pass
    return f"{best[1]} ({best[2]})"


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory_gib = None
    try:
        memory_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    except (ValueError, OSError, AttributeError):
        pass
    try:
        import quenlith

        product = getattr(quenlith, "__version__", "?")
    except ImportError:
        product = None
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": round(memory_gib, 1) if memory_gib else None,
        "os": platform.platform(),
        "python": sys.version.split()[0],
        "sqlite": sqlite3.sqlite_version,
        "quenlith": product,
    }


def machine_lines(info: dict) -> list[str]:
    lines = [
        f"Machine: {info['cpu']}, {info['cores']} cores, {info['memory_gib']} GiB, {info['os']}",
        f"Python {info['python']}, SQLite {info['sqlite']}, quenlith {info['quenlith']}",
    ]
    if info.get("store_filesystem"):
        lines.append(f"Store files on {info['store_filesystem']}")
    return lines


def size_label(size: int) -> str:
    if size >= 1_000_000 and size % 1_000_000 == 0:
        return f"{size // 1_000_000}M"
    if size >= 1_000 and size % 1_000 == 0:
        return f"{size // 1_000}k"
    return str(size)


def _number(value: float) -> str:
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    if value >= 1:
        return f"{value:.2f}"
    return f"{value:.3f}"


def _ratio(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}x"


class Table:
    """Rows of workload, measure, product, peer and ratio (peer time / product time)."""

    def __init__(self) -> None:
        self.rows: list[tuple[str, str, str, str, str]] = []

    def section(self, title: str) -> None:
        self.rows.append((title, "", "", "", ""))

    def time_row(self, measure: str, unit: str, product: float, peer: float) -> None:
        """A cost (lower is better)."""
        ratio = peer / product if product else None
        self.rows.append(("", f"{measure} ({unit})", _number(product), _number(peer), _ratio(ratio)))

    def rate_row(self, measure: str, unit: str, product: float, peer: float) -> None:
        """A rate (higher is better): the time ratio is product rate / peer rate."""
        ratio = product / peer if peer else None
        self.rows.append(("", f"{measure} ({unit})", _number(product), _number(peer), _ratio(ratio)))

    def plain_row(self, measure: str, product: str, peer: str = "", ratio: str = "") -> None:
        self.rows.append(("", measure, product, peer, ratio))

    def lines(self) -> list[str]:
        header = ("", "measure", "product", "peer", "peer/product")
        body = [row for row in self.rows if row[1]]
        widths = [max(len(row[i]) for row in body + [header]) for i in range(1, 5)]
        out = [
            f"  {header[1]:<{widths[0]}}  {header[2]:>{widths[1]}}  {header[3]:>{widths[2]}}  {header[4]:>{widths[3]}}"
        ]
        for title, measure, product, peer, ratio in self.rows:
            if title:
                out.append(title)
                continue
            out.append(f"  {measure:<{widths[0]}}  {product:>{widths[1]}}  {peer:>{widths[2]}}  {ratio:>{widths[3]}}")
        return out


def build_table(results: dict) -> Table:
    table = Table()
    recording = results.get("recording")
    if recording:
        table.section("1. Recording into a new store (best of alternating rounds)")
        for target, label in (("durable", "durable file"), ("memory", '":memory:"')):
            figures = recording[target]
            rates = figures["events_per_s"]
            table.rate_row(f"{label}, {figures['events']:,} events", "events/s", rates["product"], rates["peer"])
    growth = results.get("growth")
    if growth:
        table.section("2. Recording on a durable file already holding N events of one source (median)")
        per_record = growth["per_record_us"]
        sizes = sorted(per_record["product"])
        for size in sizes:
            table.time_row(
                f"per record at {size_label(size)}", "us", per_record["product"][size], per_record["peer"][size]
            )
        if len(sizes) >= 2:
            ratios = [per_record[name][sizes[-1]] / per_record[name][sizes[0]] for name in ("product", "peer")]
            table.plain_row(
                f"cost {size_label(sizes[-1])} / cost {size_label(sizes[0])}", f"{ratios[0]:.2f}x", f"{ratios[1]:.2f}x"
            )
    stores = results.get("sizes", {})
    if stores:
        table.section("3. Query latency, limit 20 (ms)")
        for size, figures in stores.items():
            for filter_name, by_name in figures["queries"].items():
                for quantile in ("p50", "p95"):
                    table.time_row(
                        f"{size_label(size)} {filter_name} {quantile}",
                        "ms",
                        by_name["product"][f"{quantile}_ms"],
                        by_name["peer"][f"{quantile}_ms"],
                    )
        scaling = query_scaling(results)
        if scaling:
            low, high, ratios = scaling
            table.section(f"   product p50 at {size_label(high)} / p50 at {size_label(low)}")
            for filter_name, ratio in ratios.items():
                table.plain_row(f"{filter_name}", f"{ratio:.2f}x")
        table.section("4. Sweep (fresh process and fresh copy per measurement, median)")
        for size, figures in stores.items():
            sweep = figures["sweep"]
            live = sweep["product"]["result"]["total_processed"]
            table.time_row(
                f"{size_label(size)} sweep, {live:,} live", "s", sweep["product"]["seconds"], sweep["peer"]["seconds"]
            )
            table.time_row(
                f"{size_label(size)} peak memory growth",
                "B/live memory",
                sweep["product"]["peak_growth_bytes_per_live_memory"],
                sweep["peer"]["peak_growth_bytes_per_live_memory"],
            )
        table.section("5. Statistics after 3 sweeps (median, ms)")
        for size, figures in stores.items():
            for call, by_name in figures["statistics"].items():
                table.time_row(
                    f"{size_label(size)} {call}", "ms", by_name["product"]["median_ms"], by_name["peer"]["median_ms"]
                )
        table.section("6. Database file size (bytes per memory)")
        for size, figures in stores.items():
            value = _number(figures["file_bytes_per_memory"])
            table.plain_row(f"{size_label(size)} pre-filled file (one file, both)", value, value)
            kept = figures["kept_file_bytes_per_memory"]
            table.plain_row(
                f"{size_label(size)} own copy after opening and 3 sweeps",
                _number(kept["product"]),
                _number(kept["peer"]),
            )
    if recording and "file_bytes_per_memory" in recording["durable"]:
        sizes = recording["durable"]["file_bytes_per_memory"]
        table.plain_row(
            f"{recording['durable']['events']:,} events written by record()",
            _number(sizes["product"]),
            _number(sizes["peer"]),
        )
    return table


def query_scaling(results: dict):
    """(smallest size, largest size, {filter: product p50 ratio}) or None."""
    stores = results.get("sizes", {})
    if len(stores) < 2:
        return None
    low, high = min(stores), max(stores)
    ratios = {
        name: stores[high]["queries"][name]["product"]["p50_ms"] / stores[low]["queries"][name]["product"]["p50_ms"]
        for name in stores[low]["queries"]
    }
    return low, high, ratios


def evaluate_targets(results: dict) -> list[dict]:
    """Each target with its figure and whether the product meets it."""
    targets = []

    def add(name: str, figure: float | None, met: bool | None, detail: str) -> None:
        targets.append({"target": name, "figure": figure, "met": met, "detail": detail})

    growth = results.get("growth")
    if growth:
        per_record = growth["per_record_us"]["product"]
        low, high = min(per_record), max(per_record)
        ratio = per_record[high] / per_record[low]
        add(
            f"recording cost at {size_label(high)} events of one source <= 1.5x the cost at {size_label(low)}",
            ratio,
            ratio <= 1.5,
            f"{ratio:.2f}x",
        )
    scaling = query_scaling(results)
    if scaling:
        low, high, ratios = scaling
        worst = max((ratio, name) for name, ratio in ratios.items() if name != "text")
        add(
            f"query p50 at {size_label(high)} <= 2x p50 at {size_label(low)}, every filter but text",
            worst[0],
            worst[0] <= 2.0,
            f"worst {worst[1]} {worst[0]:.2f}x",
        )
    stores = results.get("sizes", {})
    if stores:
        largest = max(stores)
        sweep = stores[largest]["sweep"]
        per_live = sweep["product"]["peak_growth_bytes_per_live_memory"]
        add(
            f"sweep peak memory growth <= 100 B per live memory at {size_label(largest)}",
            per_live,
            per_live <= 100,
            f"{per_live:.0f} B",
        )
        speedup = sweep["peer"]["seconds"] / sweep["product"]["seconds"]
        add(f"sweep >= 2x faster than the peer at {size_label(largest)}", speedup, speedup >= 2.0, f"{speedup:.2f}x")
    recording = results.get("recording")
    if recording:
        rates = recording["durable"]["events_per_s"]
        share = rates["product"] / rates["peer"]
        add("durable recording within 10% of the peer's rate", share, share >= 0.9, f"{share:.2f}x the peer's rate")
        rates = recording["memory"]["events_per_s"]
        speedup = rates["product"] / rates["peer"]
        add('":memory:" recording >= 1.5x faster than the peer', speedup, speedup >= 1.5, f"{speedup:.2f}x")
    if stores:
        largest = max(stores)
        calls = stores[largest]["statistics"]
        speedups = {call: by["peer"]["median_ms"] / by["product"]["median_ms"] for call, by in calls.items()}
        slowest = min(speedups, key=speedups.get)
        add(
            f"every statistics call at least as fast as the peer at {size_label(largest)}",
            speedups[slowest],
            speedups[slowest] >= 1.0,
            ", ".join(f"{call} {value:.2f}x" for call, value in speedups.items()),
        )
    return targets


def target_lines(targets: list[dict]) -> list[str]:
    lines = ["Targets (product)"]
    for target in targets:
        mark = "met   " if target["met"] else "MISSED"
        lines.append(f"  [{mark}] {target['target']}: {target['detail']}")
    return lines
