"""Type information for the compiled module quenlith.quenlith_runtime.

The TypedDicts below describe the plain dicts that the methods return. They
exist for type checkers only; import them under ``typing.TYPE_CHECKING``.
"""

from typing import Literal, SupportsFloat, SupportsIndex, TypedDict, final

__all__ = ["Runtime"]

class MemoryDict(TypedDict):
    """One memory as ``Runtime.query`` returns it, keys in this order."""

    id: str
    content: str
    source: str
    salience: float
    tier: Literal["Hot", "Warm", "Cold"]
    occurrence_count: int
    timestamp: str
    is_overridden: bool

class SweepResultDict(TypedDict):
    """What one decay sweep changed."""

    total_processed: int
    promoted: int
    demoted: int
    forgotten: int

class InspectDict(TypedDict):
    """The number of events and the number of memories in each tier."""

    total_events: int
    hot: int
    warm: int
    cold: int
    forgotten: int

class SnapshotDict(TypedDict):
    """The tier counts recorded by one sweep."""

    timestamp: str
    hot: int
    warm: int
    cold: int
    forgotten: int

@final
class Runtime:
    """The main Quenlith Runtime instance."""

    def __new__(cls, path: str, policy: str | None = None) -> Runtime: ...
    def record(
        self,
        source: str,
        kind: str,
        content: str,
        importance: str = "normal",
        overrides: str | None = None,
        timestamp: str | None = None,
    ) -> str:
        """Record an event into the runtime. Returns the event ID.

        `timestamp` is an optional RFC3339 / ISO 8601 string to backdate the event
        (e.g. for migrating historical events). If omitted, uses the current time.
        """

    def query(
        self,
        text: str | None = None,
        source: str | None = None,
        min_salience: SupportsFloat | SupportsIndex | None = None,
        tier: str | None = None,
        limit: SupportsIndex = 20,
    ) -> list[MemoryDict]:
        """Query memories by optional filters. Returns list of dicts."""

    def sweep(self) -> SweepResultDict:
        """Run a decay sweep across all memories."""

    def count(self) -> int:
        """Get total event count."""

    def inspect(self) -> InspectDict:
        """Inspect memory state: counts per tier."""

    def get_snapshots(self, limit: SupportsIndex = 100) -> list[SnapshotDict]:
        """Get historical tier snapshots for timeline charts."""

    def get_salience_distribution(self) -> list[float]:
        """Get salience values for all active memories (for histogram)."""
