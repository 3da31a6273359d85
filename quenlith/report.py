"""The report image: the tier timeline above the salience histogram.

matplotlib is an optional extra (``pip install 'quenlith[plot]'``); it is
imported only when an image is drawn, and callers fall back to the text
histogram when it is missing. Figures are built without pyplot, so drawing
needs no display and touches no global plotting state.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final

from .display import parse_timestamp
from .histogram import Distribution, distribute, format_number
from .policies import Policy

if TYPE_CHECKING:
    from .quenlith_runtime import SnapshotDict

FORMATS: Final = ("png", "svg")

# One colour per tier, strongest warmest; forgotten stays in the background.
TIER_COLOURS: Final = {"hot": "#d62728", "warm": "#ff9f1c", "cold": "#1f77b4", "forgotten": "#c7c7c7"}

# Beyond this many sweeps the timeline labels only every n-th bar.
_MAX_LABELS: Final = 12


class PlottingUnavailable(Exception):
    """matplotlib is not installed."""


def image_format(path: str | Path) -> str:
    """'png' or 'svg' from the file's suffix; ValueError for anything else."""
    suffix = Path(path).suffix.lower().lstrip(".")
    if suffix not in FORMATS:
        raise ValueError(f"cannot tell the image format of {str(path)!r}: name it .png or .svg")
    return suffix


def plotting_available() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def draw(
    path: str | Path,
    snapshots: Sequence[SnapshotDict],
    values: Sequence[float],
    policy: Policy,
    title: str,
) -> None:
    """Writes the two charts into one PNG or SVG file at `path`."""
    file_format = image_format(path)
    try:
        from matplotlib.figure import Figure
    except ImportError as missing:
        raise PlottingUnavailable("matplotlib is not installed (pip install 'quenlith[plot]')") from missing

    figure = Figure(figsize=(11, 9), dpi=110, layout="constrained")
    figure.suptitle(title, fontsize=13)
    timeline, histogram = figure.subplots(2, 1, gridspec_kw={"height_ratios": [1, 1.1]})
    _draw_timeline(timeline, snapshots)
    _draw_histogram(histogram, distribute(values, policy), policy)
    figure.savefig(path, format=file_format)


def _timeline_labels(snapshots: Sequence[SnapshotDict]) -> tuple[list[str], str]:
    """Tick labels and the axis label for the sweeps.

    Snapshots carry the wall-clock time of their sweep. A session that
    backdates its events still sweeps within seconds, so the bars are placed
    by sweep number and the times only label them, in as much detail as it
    takes to tell them apart.
    """
    times = [parse_timestamp(snapshot["timestamp"]) for snapshot in snapshots]
    days = {time.date() for time in times}
    if len(days) == 1:
        # Sweeps of one scripted session can fall within a single second.
        distinct_seconds = len({time.replace(microsecond=0) for time in times}) == len(times)
        labels = [
            f"#{i}\n{time:%H:%M:%S}" + ("" if distinct_seconds else f".{time.microsecond // 1000:03d}")
            for i, time in enumerate(times, 1)
        ]
        axis = f"sweep number and its time (UTC, {next(iter(days)).isoformat()})"
    else:
        labels = [f"#{i}\n{time:%Y-%m-%d}\n{time:%H:%M}" for i, time in enumerate(times, 1)]
        axis = "sweep number and its time (UTC)"
    return labels, axis


def _tier_counts(snapshot: SnapshotDict) -> dict[str, int]:
    return {"hot": snapshot["hot"], "warm": snapshot["warm"], "cold": snapshot["cold"],
            "forgotten": snapshot["forgotten"]}


def _draw_timeline(axes: Any, snapshots: Sequence[SnapshotDict]) -> None:
    from matplotlib.ticker import MaxNLocator

    axes.set_title("Tier counts after each sweep", loc="left")
    axes.set_ylabel("memories")
    if not snapshots:
        axes.text(0.5, 0.5, "no sweeps yet: run `quenlith sweep`", ha="center", va="center",
                  transform=axes.transAxes, fontsize=12, color="#555555")
        axes.set_xticks([])
        axes.set_yticks([])
        return
    positions = list(range(1, len(snapshots) + 1))
    per_tier = [_tier_counts(snapshot) for snapshot in snapshots]
    totals = [sum(counts.values()) for counts in per_tier]
    tallest = max(totals) or 1
    bottoms = [0] * len(snapshots)
    for tier, colour in TIER_COLOURS.items():
        counts = [snapshot_counts[tier] for snapshot_counts in per_tier]
        axes.bar(positions, counts, bottom=bottoms, color=colour, width=0.7, label=tier,
                 edgecolor="white", linewidth=0.5)
        for x, count, bottom in zip(positions, counts, bottoms):
            # Numbers only where they fit inside their segment.
            if count and count / tallest >= 0.06 and len(snapshots) <= 30:
                axes.text(x, bottom + count / 2, str(count), ha="center", va="center", fontsize=9,
                          color="black" if tier in ("warm", "forgotten") else "white")
        bottoms = [bottom + count for bottom, count in zip(bottoms, counts)]

    labels, axis_label = _timeline_labels(snapshots)
    step = max(1, math.ceil(len(snapshots) / _MAX_LABELS))
    axes.set_xticks(positions[::step], labels[::step], fontsize=8)
    axes.set_xlim(0.4, len(snapshots) + 0.6)
    axes.set_ylim(0, tallest * 1.08)
    axes.yaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_xlabel(axis_label)
    # Largest tier on top in the legend, as in the bars.
    handles, names = axes.get_legend_handles_labels()
    axes.legend(handles[::-1], names[::-1], loc="upper left", frameon=False, fontsize=9)
    axes.spines[["top", "right"]].set_visible(False)


def _draw_histogram(axes: Any, distribution: Distribution, policy: Policy) -> None:
    from matplotlib.ticker import MaxNLocator

    live = distribution.total
    title = f"Salience of the {live} live {'memory' if live == 1 else 'memories'} (policy {policy.name})"
    if distribution.infinite:
        title += f", {distribution.infinite} of them infinite (dated far in the future) and not drawn"
    axes.set_title(title, loc="left")
    axes.set_xscale("log")
    axes.set_xlabel("salience (log scale)")
    axes.set_ylabel("memories")

    bins = distribution.bins
    # The catch-all bin under the cold threshold starts at 0, which a log
    # axis cannot show; it is drawn one decade wide.
    lows = [b.low if not b.below_cold else b.high / 10 for b in bins]
    highs = [b.high for b in bins]
    counts = [b.count for b in bins]
    colours = [TIER_COLOURS[b.tier] for b in bins]
    widths = [high - low for low, high in zip(lows, highs)]
    axes.bar(lows, counts, width=widths, align="edge", color=colours, edgecolor="white", linewidth=1)
    tallest = max(counts + [1])
    for low, high, count in zip(lows, highs, counts):
        if count:
            axes.text(math.sqrt(low * high), count + tallest * 0.015, str(count), ha="center", va="bottom",
                      fontsize=9)

    for name, threshold in policy.thresholds().items():
        axes.axvline(threshold, color="#333333", linestyle="--", linewidth=1.2)
        axes.text(threshold, tallest * 1.12, f" {name} \u2265 {format_number(threshold)}", ha="left",
                  va="top", fontsize=10, color="#333333")
    edges = sorted({*lows, *highs})
    # The catch-all bin's left edge stands for 0, as in the text histogram.
    names = ["0" if bins[0].below_cold and edge == lows[0] else format_number(edge) for edge in edges]
    axes.set_xticks(edges, names, fontsize=8)
    axes.minorticks_off()
    axes.set_xlim(lows[0] / 1.15, highs[-1] * 1.15)  # room for a threshold line on the edge
    axes.set_ylim(0, tallest * 1.18)
    axes.yaxis.set_major_locator(MaxNLocator(integer=True))
    if not live:
        axes.text(0.5, 0.5, "no live memories", ha="center", va="center", transform=axes.transAxes,
                  fontsize=12, color="#555555")
    axes.spines[["top", "right"]].set_visible(False)
