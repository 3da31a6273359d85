"""Binning the salience distribution, and drawing it as text.

Salience spans orders of magnitude (a fresh critical correction scores in
the tens, a memory about to be forgotten in the hundredths), so the bins are
logarithmic: edges from the 1-2-5 series, with the policy's three thresholds
always among them. No bin straddles a threshold, so every bin belongs to one
tier and the threshold marks fall between bins. The image report uses the
same bins as the text form.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Final

from .policies import Policy, Tier

# Past this many 1-2-5 edges in one band the band is cut by decades instead,
# and past that into equal logarithmic steps: a future-dated memory can score
# 1e300, and one row per factor of two would bury the rest.
_MAX_BINS_PER_BAND: Final = 6
_BAR_WIDTH: Final = 40


@dataclass(frozen=True)
class Bin:
    """Saliences from ``low`` (included) up to ``high`` (excluded)."""

    low: float
    high: float
    count: int
    tier: Tier  # the tier of every salience in the bin, by the policy's thresholds

    @property
    def below_cold(self) -> bool:
        """The catch-all bin under the cold threshold, which starts at 0."""
        return self.low == 0.0


@dataclass(frozen=True)
class Distribution:
    bins: list[Bin]  # lowest first
    infinite: int  # saliences of +inf (events dated far in the future)
    total: int


def _series(low: float, high: float, mantissas: Sequence[float]) -> list[float]:
    """The values m * 10**k (m from `mantissas`) strictly between low and high."""
    found: list[float] = []
    decade = math.floor(math.log10(low))
    while True:
        for mantissa in mantissas:
            value = float(f"{mantissa}e{decade}")  # exact decimal, not 0.30000000000000004
            if value >= high:
                return found
            if value > low:
                found.append(value)
        decade += 1


def _band_edges(low: float, high: float) -> list[float]:
    """Inner edges that cut [low, high) into readable bins."""
    inner = _series(low, high, (1, 2, 5))
    if len(inner) >= _MAX_BINS_PER_BAND:
        inner = _series(low, high, (1,))
    if len(inner) >= _MAX_BINS_PER_BAND:
        step = (math.log10(high) - math.log10(low)) / _MAX_BINS_PER_BAND
        inner = [10 ** (math.log10(low) + step * i) for i in range(1, _MAX_BINS_PER_BAND)]
    return inner


def _next_edge_above(value: float) -> float:
    """The first 1-2-5 value strictly above `value`: the top bin's upper edge."""
    decade = math.floor(math.log10(value))
    while True:
        for mantissa in (1, 2, 5):
            edge = float(f"{mantissa}e{decade}")
            if edge > value:
                return edge
        decade += 1


def distribute(values: Sequence[float], policy: Policy) -> Distribution:
    """Counts `values` into bins whose edges include the policy's thresholds.

    The cold, warm and hot bands are always present, even when empty, so the
    thresholds always show. Values under the cold threshold (an overridden
    memory held at a quarter of its salience, or one scored under another
    policy) share one bin from 0.
    """
    finite = [value for value in values if math.isfinite(value)]
    infinite = sum(1 for value in values if value == math.inf)
    top = _next_edge_above(max([policy.hot, *finite]))

    edges = [policy.cold]
    for low, high in ((policy.cold, policy.warm), (policy.warm, policy.hot), (policy.hot, top)):
        edges.extend(_band_edges(low, high))
        edges.append(high)
    if any(value < policy.cold for value in finite):
        edges.insert(0, 0.0)

    counts = [0] * (len(edges) - 1)
    for value in finite:
        # Few bins and few memories to a chart: a linear scan is clear and fast enough.
        for index in range(len(counts)):
            if edges[index] <= value < edges[index + 1]:
                counts[index] += 1
                break
    bins = [
        Bin(low, high, count, policy.tier(low) if low > 0.0 else "cold")
        for low, high, count in zip(edges, edges[1:], counts)
    ]
    return Distribution(bins, infinite, len(values))


def format_number(value: float) -> str:
    """A salience edge as people write it: 0.05, 2, 10, 1e+03."""
    return f"{value:g}"


def render(values: Sequence[float], policy: Policy, *, width: int = _BAR_WIDTH) -> str:
    """The distribution as lines of text, strongest bin first, thresholds marked."""
    distribution = distribute(values, policy)
    header = (
        f"Salience of {distribution.total} live "
        f"{'memory' if distribution.total == 1 else 'memories'}, policy {policy.name} "
        f"(hot >= {format_number(policy.hot)}, warm >= {format_number(policy.warm)}, "
        f"cold >= {format_number(policy.cold)})"
    )
    low_width = max(len(format_number(b.low)) for b in distribution.bins)
    high_width = max(len(format_number(b.high)) for b in distribution.bins)
    labels = [f"{format_number(b.low):>{low_width}} - {format_number(b.high):<{high_width}}" for b in distribution.bins]
    label_width = max(len(label) for label in labels)
    largest = max([b.count for b in distribution.bins] + [distribution.infinite, 1])
    marks = {policy.hot: "hot", policy.warm: "warm", policy.cold: "cold"}

    lines = [header, ""]
    if distribution.infinite:
        lines.append(f"  {'inf':>{label_width}}  {_bar(distribution.infinite, largest, width)} {distribution.infinite}")
    for label, b in reversed(list(zip(labels, distribution.bins))):
        lines.append(f"  {label:>{label_width}}  {_bar(b.count, largest, width)} {b.count}")
        if b.low in marks:
            lines.append(_mark(f"{marks[b.low]} >= {format_number(b.low)}", label_width + width + 8))
    return "\n".join(lines)


def _bar(count: int, largest: int, width: int) -> str:
    # Any non-empty bin shows at least one block, so a lone memory is not lost.
    length = 0 if count == 0 else max(1, round(count / largest * width))
    return ("#" * length).ljust(width)


def _mark(text: str, width: int) -> str:
    return f"  -- {text} ".ljust(width, "-")
