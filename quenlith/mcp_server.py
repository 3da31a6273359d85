"""An agent's memory over the Model Context Protocol.

``quenlith mcp --db PATH`` (also ``python -m quenlith.mcp_server --db PATH``)
serves one database on stdin and stdout to an MCP host: four tools to
remember, recall, sweep and count, and two resources with the tier counts and
the salience distribution. Nothing here calls a language model; the host's
model decides when to call the tools.

The process opens one ``Runtime`` before it answers anything and keeps it
until the host closes the connection, so every call sees the same store and a
database that cannot be opened stops the command before a host connects.

The SDK is the optional extra ``quenlith[mcp]`` and is imported only when a
server is built, so the rest of the package never needs it. This module uses
the low-level server of mcp 2: the schemas below are written by hand for a
model to read, arguments are checked against them here, and whatever the
runtime refuses comes back to the model as a tool error carrying the
runtime's own message.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Final

from . import __version__, histogram
from .policies import IMPORTANCES, KINDS, POLICY_NAMES, resolve
from .quenlith_runtime import Runtime

if TYPE_CHECKING:
    import mcp_types
    from mcp.server import Server, ServerRequestContext

    from .quenlith_runtime import MemoryDict

PROG: Final = "quenlith mcp"
INSTALL_HINT: Final = "pip install 'quenlith[mcp]'"
SERVER_NAME: Final = "quenlith"

TIERS_URI: Final = "quenlith://stats/tiers"
SALIENCE_URI: Final = "quenlith://stats/salience"

DEFAULT_RECALL_LIMIT: Final = 20
DEFAULT_SNAPSHOTS: Final = 10
# The runtime's counts are unsigned, but SQLite's integers are signed 64-bit.
MAX_COUNT: Final = 2**63 - 1

INSTRUCTIONS: Final = (
    "Long-term memory that persists across sessions. At the start of a task, recall what is known about "
    "it. Remember what would help a later session: decisions with their reasons, errors with their causes, "
    "corrections from the user (set overrides to the id of the memory they correct), notable observations. "
    "Memories fade unless repeated or important; run forget_sweep at the start of a session to bring the "
    "tiers up to date."
)


class SdkMissing(ImportError):
    """The optional MCP SDK (version 2) is not installed."""


class ToolFailure(Exception):
    """A call refused by the argument check or by the runtime; its text goes to the model as is."""


# --- Tool descriptions --------------------------------------------------------

_JSON_TYPE_NAMES: Final = {type(None): "null", bool: "boolean", int: "integer", float: "number", str: "string",
                           list: "array", dict: "object"}


def _json_type(value: object) -> str:
    return _JSON_TYPE_NAMES.get(type(value), type(value).__name__)


@dataclass(frozen=True)
class Param:
    """One argument of a tool: its JSON Schema, and the check that the value has that type.

    Only the JSON type is checked here. Enumerated texts (kind, importance,
    tier), identifiers and timestamps are left to the runtime, whose messages
    name the accepted values; the enums in the schema are a hint to the model.
    """

    name: str
    type: str  # "string", "integer" or "number"
    description: str
    required: bool = False
    enum: tuple[str, ...] | None = None
    default: object = None
    minimum: int | None = None

    def schema(self) -> dict[str, Any]:
        schema: dict[str, Any] = {"type": self.type, "description": self.description}
        if self.enum is not None:
            schema["enum"] = list(self.enum)
        if self.default is not None:
            schema["default"] = self.default
        if self.minimum is not None:
            schema["minimum"] = self.minimum
        if self.type == "integer":
            schema["maximum"] = MAX_COUNT
        return schema

    def convert(self, value: object) -> object:
        """The value to hand to the runtime, or ToolFailure naming what was wrong."""
        if self.type == "string" and isinstance(value, str):
            return value
        # bool is an int to Python but not a number to JSON Schema.
        if self.type == "integer" and isinstance(value, int | float) and not isinstance(value, bool):
            # JSON Schema counts 5.0 as an integer, and models do send it.
            if isinstance(value, float) and not value.is_integer():
                raise ToolFailure(f"argument '{self.name}' must be an integer, not {value}")
            return self._in_range(int(value))
        if self.type == "number" and isinstance(value, int | float) and not isinstance(value, bool):
            if isinstance(value, float) and not math.isfinite(value):
                raise ToolFailure(f"argument '{self.name}' must be a finite number, not {value}")
            return value
        article = "an" if self.type == "integer" else "a"
        raise ToolFailure(f"argument '{self.name}' must be {article} {self.type}, not {_json_type(value)}")

    def _in_range(self, value: int) -> int:
        # Caught here rather than by the runtime, whose conversion errors do
        # not say which argument was out of range.
        if self.minimum is not None and value < self.minimum:
            raise ToolFailure(f"argument '{self.name}' must be at least {self.minimum}, not {value}")
        if value > MAX_COUNT:
            raise ToolFailure(f"argument '{self.name}' must be at most {MAX_COUNT}, not {value}")
        return value


@dataclass(frozen=True)
class ToolSpec:
    name: str
    title: str
    description: str
    params: tuple[Param, ...]
    output_schema: dict[str, Any]
    read_only: bool
    destructive: bool = False
    handler: str = ""  # the name of the Memory method that serves it

    def input_schema(self) -> dict[str, Any]:
        return {
            "type": "object",
            "properties": {param.name: param.schema() for param in self.params},
            "required": [param.name for param in self.params if param.required],
            "additionalProperties": False,
        }

    def bind(self, arguments: Mapping[str, Any]) -> dict[str, object]:
        """Keyword arguments for the handler. A null counts as an absent argument,
        as models often spell out every optional argument that way."""
        known = {param.name: param for param in self.params}
        for name in arguments:
            if name not in known:
                raise ToolFailure(f"unexpected argument '{name}' for {self.name}. Expected: {', '.join(known)}")
        bound: dict[str, object] = {}
        for param in self.params:
            value = arguments.get(param.name)
            if value is None:
                if param.required:
                    raise ToolFailure(f"missing required argument '{param.name}'")
                continue
            bound[param.name] = param.convert(value)
        return bound


def _object(properties: dict[str, Any]) -> dict[str, Any]:
    return {"type": "object", "properties": properties, "required": list(properties)}


_COUNT: Final = {"type": "integer", "minimum": 0}

_TIER_COUNTS: Final = {
    "hot": {**_COUNT, "description": "memories in the hot tier"},
    "warm": {**_COUNT, "description": "memories in the warm tier"},
    "cold": {**_COUNT, "description": "memories in the cold tier"},
    "forgotten": {**_COUNT, "description": "memories forgotten for good"},
}

_MEMORY_SCHEMA: Final = _object({
    "id": {"type": "string", "description": "the memory's id, for overrides"},
    "content": {"type": "string"},
    "source": {"type": "string"},
    "salience": {"type": ["number", "null"],
                 "description": "strength as of the last recording or sweep; null if infinite (dated in the future)"},
    "tier": {"type": "string", "enum": ["hot", "warm", "cold"]},
    "occurrence_count": {"type": "integer", "minimum": 1,
                         "description": "how many times this content had been recorded from this source"},
    "timestamp": {"type": "string", "description": "when it happened, RFC 3339 in UTC"},
    "is_overridden": {"type": "boolean",
                      "description": "true if a later event corrected it: prefer the correction"},
})

_SNAPSHOT_SCHEMA: Final = _object({"timestamp": {"type": "string", "description": "when the sweep ran, UTC"},
                                   **_TIER_COUNTS})

TOOLS: Final[dict[str, ToolSpec]] = {spec.name: spec for spec in (
    ToolSpec(
        name="remember",
        title="Remember an event",
        description=(
            "Store one event in long-term memory and return its id. Record what a later session should know: "
            "decisions and their reasons, errors and their causes, corrections from the user, notable "
            "observations and user actions. Each memory gets a salience from its kind and importance that "
            "decays with age; recording the same content again from the same source strengthens it. To correct "
            "an earlier memory, record the correction with overrides set to that memory's id: the earlier one "
            "is demoted to the cold tier and shows is_overridden in recall."
        ),
        params=(
            Param("source", "string", "Who or what produced the event, e.g. user, agent, tests, ci. "
                  "Recall can filter by it (exact match).", required=True),
            Param("kind", "string", "What sort of event: user_action (something the user did or asked for), "
                  "observation (a fact noticed), decision (a choice made, with its reason), error (something "
                  "that failed), correction (a fix to earlier knowledge; weighs the most).",
                  required=True, enum=KINDS),
            Param("content", "string", "What happened, as a self-contained sentence that still makes sense "
                  "weeks later. Recall searches this text.", required=True),
            Param("importance", "string", "How much it matters; scales the salience.",
                  enum=IMPORTANCES, default="normal"),
            Param("overrides", "string", "The id of an earlier memory (from remember or recall) that this event "
                  "corrects or replaces."),
            Param("timestamp", "string", "When the event happened, RFC 3339 with an offset "
                  "(e.g. 2024-05-01T12:30:00Z), to record something from the past. Default: now."),
        ),
        output_schema=_object({"id": {"type": "string", "description": "the new memory's id"}}),
        read_only=False,
        handler="remember",
    ),
    ToolSpec(
        name="recall",
        title="Recall memories",
        description=(
            "Search long-term memory. Returns memories strongest first (highest salience); the filters are "
            "optional and combine, and with none it returns the strongest memories overall. Each memory has "
            "its id, content, source, salience, tier (hot, warm or cold), occurrence_count, timestamp and "
            "is_overridden (a later event corrected it: prefer the correction). Forgotten memories are never "
            "returned."
        ),
        params=(
            Param("text", "string", "Only memories whose content contains this text. ASCII letters match in "
                  "either case; % matches any run of characters and _ any single character."),
            Param("source", "string", "Only memories from exactly this source."),
            Param("min_salience", "number", "Only memories with at least this salience. The tier thresholds "
                  "of the policy in use are in memory_stats."),
            Param("tier", "string", "Only memories in this tier.", enum=("hot", "warm", "cold")),
            Param("limit", "integer", "The most memories to return.", default=DEFAULT_RECALL_LIMIT, minimum=0),
        ),
        output_schema=_object({"memories": {"type": "array", "items": _MEMORY_SCHEMA}}),
        read_only=True,
        handler="recall",
    ),
    ToolSpec(
        name="forget_sweep",
        title="Sweep: decay and forget",
        description=(
            "Rescore every live memory at the current time: salience decays with age, memories move between "
            "the hot, warm and cold tiers, and those that faded too far are forgotten for good. Recall shows "
            "salience as of the last sweep, so run it at the start of a session or after a long pause. Returns "
            "how many memories were rescored, promoted, demoted and forgotten."
        ),
        params=(),
        output_schema=_object({
            "total_processed": {**_COUNT, "description": "memories rescored"},
            "promoted": {**_COUNT, "description": "memories moved to a stronger tier"},
            "demoted": {**_COUNT, "description": "memories moved to a weaker tier, not forgotten"},
            "forgotten": {**_COUNT, "description": "memories forgotten by this sweep"},
        }),
        read_only=False,
        destructive=True,
        handler="forget_sweep",
    ),
    ToolSpec(
        name="memory_stats",
        title="Memory statistics",
        description=(
            "How much is remembered: the number of recorded events, the number of memories in each tier, the "
            "policy in use with its tier thresholds (the lowest salience of hot, warm and cold), and the tier "
            "counts after each of the most recent sweeps, oldest first."
        ),
        params=(
            Param("snapshots", "integer", "How many of the most recent sweeps to include (0 for none).",
                  default=DEFAULT_SNAPSHOTS, minimum=0),
        ),
        output_schema=_object({
            "policy": {"type": "string"},
            "thresholds": _object({tier: {"type": "number"} for tier in ("hot", "warm", "cold")}),
            "total_events": {**_COUNT, "description": "events ever recorded, forgotten ones included"},
            **_TIER_COUNTS,
            "snapshots": {"type": "array", "items": _SNAPSHOT_SCHEMA},
        }),
        read_only=True,
        handler="memory_stats",
    ),
)}


@dataclass(frozen=True)
class ResourceSpec:
    uri: str
    name: str
    title: str
    description: str
    reader: str  # the name of the Memory method that produces its JSON


RESOURCES: Final[dict[str, ResourceSpec]] = {spec.uri: spec for spec in (
    ResourceSpec(TIERS_URI, "tier-counts", "Tier counts",
                 "The number of recorded events and of memories in each tier (hot, warm, cold, forgotten), now.",
                 "tier_counts"),
    ResourceSpec(SALIENCE_URI, "salience-distribution", "Salience distribution",
                 "The salience of every live memory, largest first, binned by the policy's tier thresholds.",
                 "salience_distribution"),
)}


# --- The memory behind the tools ----------------------------------------------


def _finite_or_none(value: float) -> float | None:
    # A memory dated in the future scores +inf, which JSON cannot carry.
    return value if math.isfinite(value) else None


def _is_internal_fault(error: BaseException) -> bool:
    # The runtime's class for broken invariants derives from BaseException
    # and is not importable; it is known by its module.
    return type(error).__module__ == "quenlith_runtime"


@dataclass
class Memory:
    """The tools and resources over one Runtime, without any protocol.

    Every result is a JSON-ready dict. Everything the runtime refuses is
    raised as ToolFailure with the runtime's message.
    """

    runtime: Runtime
    policy: str | None = None
    _handlers: dict[str, Callable[..., dict[str, Any]]] = field(init=False, repr=False)

    def __post_init__(self) -> None:
        self._handlers = {spec.name: getattr(self, spec.handler) for spec in TOOLS.values()}

    def call(self, name: str, arguments: Mapping[str, Any] | None) -> dict[str, Any]:
        spec = TOOLS.get(name)
        if spec is None:
            raise ToolFailure(f"unknown tool: '{name}'. Expected: {', '.join(TOOLS)}")
        return self._guarded(lambda: self._handlers[name](**spec.bind(arguments or {})))

    def read(self, uri: str) -> dict[str, Any] | None:
        """A resource's JSON, or None for a URI that names none."""
        spec = RESOURCES.get(uri)
        if spec is None:
            return None
        reader: Callable[[], dict[str, Any]] = getattr(self, spec.reader)
        return self._guarded(reader)

    @staticmethod
    def _guarded(call: Callable[[], dict[str, Any]]) -> dict[str, Any]:
        try:
            return call()
        except ToolFailure:
            raise
        except (RuntimeError, TypeError, OverflowError, ValueError) as error:
            raise ToolFailure(str(error)) from error
        except BaseException as error:
            # A fault leaves the runtime refusing further calls, but the host
            # should hear about it rather than lose the connection.
            if not _is_internal_fault(error):
                raise
            raise ToolFailure(f"internal fault: {error}") from error

    # The tools. Recording and sweeping are each one transaction in the
    # runtime, so a refused call has changed nothing.

    def remember(self, source: str, kind: str, content: str, importance: str = "normal",
                 overrides: str | None = None, timestamp: str | None = None) -> dict[str, Any]:
        try:
            event_id = self.runtime.record(source, kind, content, importance, overrides, timestamp)
        except RuntimeError as error:
            if overrides is not None and "FOREIGN KEY" in str(error):
                # The one reference a recording makes: say which, since
                # SQLite's text does not.
                raise ToolFailure(f"{error} (no recorded event has the id given in overrides: {overrides}; "
                                  "nothing was stored)") from error
            raise
        return {"id": event_id}

    def recall(self, text: str | None = None, source: str | None = None, min_salience: float | None = None,
               tier: str | None = None, limit: int = DEFAULT_RECALL_LIMIT) -> dict[str, Any]:
        found = self.runtime.query(text, source, min_salience, tier, limit)
        return {"memories": [self._memory(memory) for memory in found]}

    @staticmethod
    def _memory(memory: MemoryDict) -> dict[str, Any]:
        # The runtime shows tiers by their display names ("Hot"); the tools
        # speak the lower-case names that recall's tier filter takes.
        return {**memory, "salience": _finite_or_none(memory["salience"]), "tier": memory["tier"].lower()}

    def forget_sweep(self) -> dict[str, Any]:
        return dict(self.runtime.sweep())

    def memory_stats(self, snapshots: int = DEFAULT_SNAPSHOTS) -> dict[str, Any]:
        policy = resolve(self.policy)
        return {"policy": policy.name, "thresholds": policy.thresholds(), **self.runtime.inspect(),
                "snapshots": [dict(snapshot) for snapshot in self.runtime.get_snapshots(snapshots)]}

    # The resources.

    def tier_counts(self) -> dict[str, Any]:
        return dict(self.runtime.inspect())

    def salience_distribution(self) -> dict[str, Any]:
        values = self.runtime.get_salience_distribution()
        policy = resolve(self.policy)
        distribution = histogram.distribute(values, policy)
        return {
            "policy": policy.name,
            "thresholds": policy.thresholds(),
            "total": len(values),
            "bins": [{"low": b.low, "high": b.high, "count": b.count, "tier": b.tier} for b in distribution.bins],
            "infinite": distribution.infinite,
            "values": [value for value in values if math.isfinite(value)],
        }


# --- The MCP server -----------------------------------------------------------


def _to_json(value: object) -> str:
    return json.dumps(value, ensure_ascii=False, allow_nan=False)


def load_sdk() -> None:
    """Raise SdkMissing unless mcp 2 is importable.

    mcp 1 has the same top-level package but not the server API used here;
    its absence of ``mcp_types`` tells the two apart.
    """
    try:
        import anyio  # noqa: F401
        import mcp_types  # noqa: F401
        from mcp.server import Server  # noqa: F401
        from mcp.server.stdio import stdio_server  # noqa: F401
    except ImportError as error:
        raise SdkMissing(f"the MCP server needs the mcp package, version 2 or later: {INSTALL_HINT}") from error


def build_server(memory: Memory) -> Server[Any]:
    """A low-level server whose handlers all go to `memory`."""
    import mcp_types as types
    from mcp.server import Server
    from mcp.shared.exceptions import MCPError

    async def list_tools(ctx: ServerRequestContext[Any], params: mcp_types.PaginatedRequestParams | None,
                         ) -> mcp_types.ListToolsResult:
        return types.ListToolsResult(tools=[
            types.Tool(
                name=spec.name,
                title=spec.title,
                description=spec.description,
                input_schema=spec.input_schema(),
                output_schema=spec.output_schema,
                annotations=types.ToolAnnotations(
                    read_only_hint=spec.read_only,
                    destructive_hint=spec.destructive,
                    idempotent_hint=spec.read_only,
                    open_world_hint=False,
                ),
            )
            for spec in TOOLS.values()
        ])

    async def call_tool(ctx: ServerRequestContext[Any], params: mcp_types.CallToolRequestParams,
                        ) -> mcp_types.CallToolResult:
        try:
            result = memory.call(params.name, params.arguments)
        except ToolFailure as failure:
            # A tool error, not a protocol error: the model reads it and can
            # correct its call.
            return types.CallToolResult(content=[types.TextContent(text=str(failure))], is_error=True)
        return types.CallToolResult(content=[types.TextContent(text=_to_json(result))], structured_content=result)

    async def list_resources(ctx: ServerRequestContext[Any], params: mcp_types.PaginatedRequestParams | None,
                             ) -> mcp_types.ListResourcesResult:
        return types.ListResourcesResult(resources=[
            types.Resource(uri=spec.uri, name=spec.name, title=spec.title, description=spec.description,
                           mime_type="application/json")
            for spec in RESOURCES.values()
        ])

    async def read_resource(ctx: ServerRequestContext[Any], params: mcp_types.ReadResourceRequestParams,
                            ) -> mcp_types.ReadResourceResult:
        try:
            content = memory.read(params.uri)
        except ToolFailure as failure:
            raise MCPError(code=types.INTERNAL_ERROR, message=str(failure), data={"uri": params.uri}) from failure
        if content is None:
            raise MCPError(code=types.INVALID_PARAMS,
                           message=f"unknown resource: '{params.uri}'. Expected: {', '.join(RESOURCES)}",
                           data={"uri": params.uri})
        return types.ReadResourceResult(contents=[
            types.TextResourceContents(uri=params.uri, mime_type="application/json", text=_to_json(content)),
        ])

    return Server(
        SERVER_NAME,
        version=__version__,
        title="quenlith memory",
        instructions=INSTRUCTIONS,
        on_list_tools=list_tools,
        on_call_tool=call_tool,
        on_list_resources=list_resources,
        on_read_resource=read_resource,
    )


async def serve_stdio(memory: Memory) -> None:
    """Answer the host on stdin and stdout until it closes the connection."""
    from mcp.server.stdio import stdio_server

    server = build_server(memory)
    async with stdio_server() as (read_stream, write_stream):
        await server.run(read_stream, write_stream, server.create_initialization_options())


def serve(db: str, policy: str | None = None) -> None:
    """Serve the database at `db` over stdio until the host disconnects.

    Raises SdkMissing when mcp 2 is not installed (before touching the
    database) and RuntimeError when the runtime cannot open the database.
    """
    load_sdk()
    import anyio

    memory = Memory(Runtime(db, policy), policy)
    anyio.run(serve_stdio, memory)


def run(db: str, policy: str | None = None) -> int:
    """`serve`, as a command: a missing SDK is one line on stderr and status 1.

    A database the runtime refuses raises RuntimeError, for the caller's own
    error reporting.
    """
    try:
        serve(db, policy)
    except SdkMissing as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Serve an agent's memory over the Model Context Protocol on stdin and stdout, "
                    "for an MCP host to start as a subprocess.",
    )
    # Required: a host starts the server in a directory of its own choosing,
    # where a default file name would be a surprise.
    parser.add_argument("--db", metavar="PATH", required=True, help="the database file (created if missing)")
    parser.add_argument("--policy", metavar="NAME", choices=POLICY_NAMES,
                        help=f"policy preset: {', '.join(POLICY_NAMES)} (default: balanced)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return run(args.db, args.policy)
    except RuntimeError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
