"""Small text helpers shared by the command line, the demo and the report."""

from __future__ import annotations

import datetime as dt
import math
import re
from collections.abc import Sequence
from typing import Final

# The runtime writes RFC 3339 in UTC with 0, 3, 6 or 9 fraction digits.
# datetime.fromisoformat reads nine digits only from Python 3.11 on, so the
# text is taken apart here, the fraction cut to microseconds.
_RFC3339: Final = re.compile(
    r"(?P<date>\d{4}-\d{2}-\d{2})[Tt ](?P<time>\d{2}:\d{2}:\d{2})(?:\.(?P<fraction>\d+))?"
    r"(?P<offset>[Zz]|[+-]\d{2}:\d{2})$"
)


def parse_timestamp(text: str) -> dt.datetime:
    """An aware datetime in UTC from the runtime's timestamp text."""
    match = _RFC3339.match(text)
    if match is None:
        raise ValueError(f"not an RFC 3339 timestamp: {text!r}")
    fraction = (match["fraction"] or "")[:6].ljust(6, "0")
    offset = "+00:00" if match["offset"] in ("Z", "z") else match["offset"]
    parsed = dt.datetime.fromisoformat(f"{match['date']}T{match['time']}.{fraction}{offset}")
    return parsed.astimezone(dt.timezone.utc)


def format_timestamp(text: str, *, seconds: bool = False) -> str:
    """'2024-05-01 12:30' (UTC) from the runtime's timestamp text."""
    return parse_timestamp(text).strftime("%Y-%m-%d %H:%M:%S" if seconds else "%Y-%m-%d %H:%M")


def format_salience(value: float) -> str:
    """Three decimals, or two significant digits for what has nearly faded away."""
    if not math.isfinite(value) or value >= 0.001 or value == 0.0:
        return f"{value:.3f}"
    return f"{value:.1e}"


def format_age(seconds: float) -> str:
    """A rough age for people: 'just now', '20 min', '5 h', '12 days'."""
    if seconds < 0:
        return "in the future"
    if seconds < 60:
        return "just now"
    if seconds < 3600:
        return f"{int(seconds // 60)} min"
    if seconds < 48 * 3600:
        return f"{int(seconds // 3600)} h"
    return f"{int(seconds // 86400)} days"


def table(headers: Sequence[str], rows: Sequence[Sequence[str]], *, right: Sequence[bool] = (),
          max_width: int | None = None) -> str:
    """Columns separated by two blanks, headers on top.

    `right` marks the columns to align right (numbers). With `max_width`,
    the last column is cut to fit, ending in '...'; it is the free text
    (content), the one column whose tail can be spared.
    """
    columns = len(headers)
    aligned_right = list(right) + [False] * (columns - len(right))
    widths = [max([len(headers[i])] + [len(row[i]) for row in rows]) for i in range(columns)]
    if max_width is not None:
        fixed = sum(widths[:-1]) + 2 * (columns - 1)
        widths[-1] = max(len(headers[-1]), min(widths[-1], max_width - fixed))

    def line(cells: Sequence[str]) -> str:
        out = []
        for i, cell in enumerate(cells):
            if i == columns - 1 and len(cell) > widths[i]:
                cell = cell[: max(widths[i] - 3, 0)] + "..."
            out.append(cell.rjust(widths[i]) if aligned_right[i] else cell.ljust(widths[i]))
        return "  ".join(out).rstrip()

    return "\n".join([line(headers), *(line(row) for row in rows)])
