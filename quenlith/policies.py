"""The policy presets and the salience formula, as seen from Python.

The compiled runtime keeps its policies to itself: a ``Runtime`` is opened
with a policy name and never reports the numbers behind it. The command line
needs them all the same, to mark the tier thresholds on a histogram and to
explain why a memory scored what it did, so the presets are repeated here.
The test suite checks them against what the runtime actually stores.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Final, Literal

Kind = Literal["user_action", "observation", "decision", "error", "correction"]
Importance = Literal["low", "normal", "high", "critical"]
Tier = Literal["hot", "warm", "cold", "forgotten"]

KINDS: Final[tuple[Kind, ...]] = ("user_action", "observation", "decision", "error", "correction")
IMPORTANCES: Final[tuple[Importance, ...]] = ("low", "normal", "high", "critical")
TIERS: Final[tuple[Tier, ...]] = ("hot", "warm", "cold", "forgotten")

# The scorer's own table: importance is not something a policy tunes.
IMPORTANCE_WEIGHTS: Final[dict[Importance, float]] = {"low": 0.5, "normal": 1.0, "high": 2.0, "critical": 4.0}

# What recording does to the memory that a new event overrides, until the
# next sweep rescores it from its age alone.
OVERRIDE_FACTOR: Final = 0.25


@dataclass(frozen=True)
class Policy:
    """One preset: the half-life, the three tier thresholds, the kind weights."""

    name: str
    half_life_hours: float
    hot: float
    warm: float
    cold: float
    kind_weights: dict[Kind, float]

    def tier(self, salience: float) -> Tier:
        """The tier a salience earns; a value on a threshold earns the higher tier."""
        if salience >= self.hot:
            return "hot"
        if salience >= self.warm:
            return "warm"
        if salience >= self.cold:
            return "cold"
        return "forgotten"

    def thresholds(self) -> dict[str, float]:
        return {"hot": self.hot, "warm": self.warm, "cold": self.cold}

    def recency(self, age_seconds: float) -> float:
        """2 to the power of minus the age in half-lives.

        The runtime counts the age in whole minutes (truncated toward zero),
        so this does too; an age under a minute either way counts as none.
        """
        minutes = math.trunc(math.trunc(age_seconds) / 60)
        return float(2.0 ** ((minutes / -60.0) / self.half_life_hours))

    def salience(self, kind: Kind, importance: Importance, occurrences: int, age_seconds: float) -> float:
        """The score a memory gets from the runtime at the given age."""
        return (
            self.recency(age_seconds)
            * frequency(occurrences)
            * IMPORTANCE_WEIGHTS[importance]
            * self.kind_weights[kind]
        )


def frequency(occurrences: int) -> float:
    """ln(n + 2): a first occurrence already counts ln 3, each repeat a little more."""
    return math.log1p(occurrences + 1.0)


PRESETS: Final[dict[str, Policy]] = {
    policy.name: policy
    for policy in (
        Policy(
            "balanced",
            168.0,
            2.0,
            0.5,
            0.05,
            {"correction": 3.0, "decision": 2.0, "error": 1.5, "user_action": 1.0, "observation": 0.7},
        ),
        Policy(
            "coding",
            72.0,
            2.0,
            0.5,
            0.1,
            {"correction": 4.0, "decision": 2.0, "error": 2.5, "user_action": 1.0, "observation": 0.5},
        ),
        Policy(
            "knowledge",
            720.0,
            1.5,
            0.3,
            0.02,
            {"correction": 4.0, "decision": 2.5, "error": 1.0, "user_action": 0.5, "observation": 1.0},
        ),
        Policy(
            "assistant",
            336.0,
            2.0,
            0.5,
            0.05,
            {"correction": 3.0, "decision": 2.0, "error": 1.0, "user_action": 1.5, "observation": 0.7},
        ),
    )
}

ALIASES: Final[dict[str, str]] = {"default": "balanced", "code": "coding", "kb": "knowledge", "personal": "assistant"}

# Every name the runtime accepts, main names first.
POLICY_NAMES: Final[tuple[str, ...]] = (*PRESETS, *ALIASES)

DEFAULT_POLICY: Final = "balanced"


def resolve(name: str | None) -> Policy:
    """The preset behind a policy name; None is the runtime's default."""
    if name is None:
        return PRESETS[DEFAULT_POLICY]
    try:
        return PRESETS[ALIASES.get(name, name)]
    except KeyError:
        raise ValueError(f"unknown policy: {name!r}. Expected one of: {', '.join(POLICY_NAMES)}") from None
