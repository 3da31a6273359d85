"""The ``quenlith`` command: look inside an agent's memory from a shell.

Exit status: 0 on success; 1 when the input was bad (the runtime refused a
value, a file could not be read, an import had rejected lines, an image was
asked for without matplotlib); 2 when the command line itself was wrong.
Errors are one line on stderr, never a traceback.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import sys
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, Final

from . import __version__, demo, histogram, mcp_server, report
from .display import format_salience, format_timestamp, table
from .policies import IMPORTANCES, KINDS, POLICY_NAMES, TIERS, Policy, resolve
from .quenlith_runtime import Runtime

if TYPE_CHECKING:
    from .quenlith_runtime import MemoryDict

PROG: Final = "quenlith"
DEFAULT_DB: Final = "quenlith.db"
RECORD_FIELDS: Final = ("source", "kind", "content", "importance", "overrides", "timestamp")
REQUIRED_FIELDS: Final = RECORD_FIELDS[:3]
PLOT_HINT: Final = "pip install 'quenlith[plot]'"


class UsageError(Exception):
    """A command line that parses but asks for something impossible (exit 2)."""


class InputError(Exception):
    """Bad input that the runtime never saw: a missing database, an unreadable file (exit 1)."""


# --- Output helpers -----------------------------------------------------------


def emit_json(value: object) -> None:
    print(json.dumps(value, indent=2))


def warn(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def terminal_width() -> int | None:
    """The width to fit tables into, or None when the output is not a terminal."""
    if not sys.stdout.isatty():
        return None
    return os.get_terminal_size(sys.stdout.fileno()).columns


# --- Opening the database -----------------------------------------------------


def database_path(args: argparse.Namespace, default: str = DEFAULT_DB) -> str:
    return str(args.db) if args.db is not None else default


def open_runtime(args: argparse.Namespace, *, create: bool) -> Runtime:
    """The Runtime on --db. Commands that only read refuse to create a file:
    a mistyped path would otherwise leave an empty database behind and
    report that it holds nothing."""
    path = database_path(args)
    if not create and not path.startswith("file:") and not Path(path).exists():
        raise InputError(f"no database at {path}: record or import events first, or name one with --db")
    return Runtime(path, args.policy)


def policy_of(args: argparse.Namespace) -> Policy:
    return resolve(args.policy)


# --- record, query, sweep, inspect, snapshots, salience -----------------------


def explain_record_error(error: RuntimeError, overrides: str | None) -> str:
    """The runtime's message, with the cause spelled out where SQLite's words hide it.

    A failed record stores nothing, so the event can simply be recorded again.
    """
    if overrides is not None and "FOREIGN KEY constraint failed" in str(error):
        return f"overrides names no recorded event: {overrides} ({error})"
    return str(error)


def plural(count: int, word: str, words: str | None = None) -> str:
    return f"{count} {word if count == 1 else (words or word + 's')}"


def cmd_record(args: argparse.Namespace) -> int:
    runtime = open_runtime(args, create=True)
    try:
        event_id = runtime.record(args.source, args.kind, args.content, args.importance,
                                  overrides=args.overrides, timestamp=args.timestamp)
    except RuntimeError as error:
        raise InputError(explain_record_error(error, args.overrides)) from None
    if args.json:
        emit_json({"id": event_id})
    else:
        print(event_id)
    return 0


def memory_table(memories: Sequence[MemoryDict]) -> str:
    rows = [
        [
            memory["id"],
            memory["tier"] + ("*" if memory["is_overridden"] else ""),
            format_salience(memory["salience"]),
            str(memory["occurrence_count"]),
            format_timestamp(memory["timestamp"]),
            memory["source"],
            memory["content"],
        ]
        for memory in memories
    ]
    text = table(["ID", "TIER", "SALIENCE", "SEEN", "TIME (UTC)", "SOURCE", "CONTENT"], rows,
                 right=[False, False, True, True], max_width=terminal_width())
    if any(memory["is_overridden"] for memory in memories):
        text += "\n* overridden by a later event"
    return text


def cmd_query(args: argparse.Namespace) -> int:
    runtime = open_runtime(args, create=False)
    memories = runtime.query(args.text, args.source, args.min_salience, args.tier, args.limit)
    if args.json:
        emit_json(memories)
    elif memories:
        print(memory_table(memories))
    else:
        print("no memories match")
    return 0


def cmd_sweep(args: argparse.Namespace) -> int:
    result = open_runtime(args, create=False).sweep()
    if args.json:
        emit_json(result)
    else:
        print(f"rescored {plural(result['total_processed'], 'memory', 'memories')}: {result['promoted']} promoted, "
              f"{result['demoted']} demoted, {result['forgotten']} forgotten")
    return 0


def cmd_inspect(args: argparse.Namespace) -> int:
    counts = open_runtime(args, create=False).inspect()
    if args.json:
        emit_json(counts)
    else:
        rows = [["events", str(counts["total_events"])], ["hot", str(counts["hot"])],
                ["warm", str(counts["warm"])], ["cold", str(counts["cold"])],
                ["forgotten", str(counts["forgotten"])]]
        print(table(["", "COUNT"], rows, right=[False, True]))
    return 0


def cmd_snapshots(args: argparse.Namespace) -> int:
    snapshots = open_runtime(args, create=False).get_snapshots(args.limit)
    if args.json:
        emit_json(snapshots)
    elif snapshots:
        rows = [[format_timestamp(s["timestamp"], seconds=True), str(s["hot"]), str(s["warm"]),
                 str(s["cold"]), str(s["forgotten"])] for s in snapshots]
        print(table(["SWEPT AT (UTC)", "HOT", "WARM", "COLD", "FORGOTTEN"], rows,
                    right=[False, True, True, True, True]))
    else:
        print("no sweeps yet")
    return 0


def distribution_json(values: Sequence[float], policy: Policy) -> dict[str, Any]:
    distribution = histogram.distribute(values, policy)
    return {
        "policy": policy.name,
        "thresholds": policy.thresholds(),
        "bins": [{"low": b.low, "high": b.high, "count": b.count, "tier": b.tier} for b in distribution.bins],
        "infinite": distribution.infinite,
        "values": list(values),
    }


def cmd_salience(args: argparse.Namespace) -> int:
    values = open_runtime(args, create=False).get_salience_distribution()
    policy = policy_of(args)
    if args.json:
        emit_json(distribution_json(values, policy))
    else:
        print(histogram.render(values, policy))
    return 0


# --- import -------------------------------------------------------------------


@dataclass
class ImportOutcome:
    recorded: list[tuple[int, str]] = field(default_factory=list)  # (line number, event id)
    rejected: list[tuple[int, str]] = field(default_factory=list)  # (line number, reason)


def event_fields(line: bytes) -> dict[str, str]:
    """The record arguments on one JSON Lines line; ValueError says what is wrong."""
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"not UTF-8 text ({error.reason} at byte {error.start + 1})") from None
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"not valid JSON: {error.msg} at column {error.colno}") from None
    if not isinstance(value, dict):
        raise ValueError(f"expected a JSON object, found {json_type(value)}")
    unknown = [key for key in value if key not in RECORD_FIELDS]
    if unknown:
        raise ValueError(f"unknown field {', '.join(map(repr, unknown))}; the fields are {', '.join(RECORD_FIELDS)}")
    missing = [key for key in REQUIRED_FIELDS if key not in value]
    if missing:
        raise ValueError(f"missing field {', '.join(map(repr, missing))}")
    fields: dict[str, str] = {}
    for key in RECORD_FIELDS:
        item = value.get(key)
        # An optional field given as null is simply not given.
        if item is None and key not in REQUIRED_FIELDS:
            continue
        if not isinstance(item, str):
            raise ValueError(f"field {key!r} must be a string, found {json_type(item)}")
        fields[key] = item
    return fields


def json_type(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def import_lines(runtime: Runtime, lines: Iterable[bytes], report_rejection: Callable[[int, str], None],
                 advance: Callable[[int], None] = lambda size: None) -> ImportOutcome:
    """Records every good line; a bad one is named and skipped, never the end of the import."""
    outcome = ImportOutcome()
    for number, line in enumerate(lines, 1):
        advance(len(line))
        if not line.strip():
            continue
        try:
            fields = event_fields(line)
        except ValueError as error:
            outcome.rejected.append((number, str(error)))
            report_rejection(number, str(error))
            continue
        try:
            outcome.recorded.append((number, runtime.record(**fields)))
        except RuntimeError as error:
            # A record that fails stores nothing, so the line is simply rejected.
            reason = explain_record_error(error, fields.get("overrides"))
            outcome.rejected.append((number, reason))
            report_rejection(number, reason)
    return outcome


def open_input(name: str) -> IO[bytes]:
    if name == "-":
        return sys.stdin.buffer
    try:
        return open(name, "rb")
    except OSError as error:
        raise InputError(f"cannot read {name}: {error.strerror or error}") from None


def cmd_import(args: argparse.Namespace) -> int:
    from tqdm import tqdm

    source = open_input(args.file)
    name = "stdin" if args.file == "-" else args.file
    with source:
        runtime = open_runtime(args, create=True)
        total = None if args.file == "-" else os.fstat(source.fileno()).st_size
        # disable=None: a bar on a terminal only, none in logs and pipes.
        with tqdm(total=total, unit="B", unit_scale=True, desc=f"importing {name}", file=sys.stderr,
                  disable=None, leave=False) as bar:

            def rejected(number: int, reason: str) -> None:
                tqdm.write(f"{name}:{number}: {reason}", file=sys.stderr)

            outcome = import_lines(runtime, source, rejected, bar.update)

    if args.json:
        emit_json({
            "recorded": [{"line": number, "id": event_id} for number, event_id in outcome.recorded],
            "rejected": [{"line": number, "reason": reason} for number, reason in outcome.rejected],
        })
    else:
        summary = f"recorded {plural(len(outcome.recorded), 'event')} from {name}"
        if outcome.rejected:
            numbers = ", ".join(str(number) for number, _ in outcome.rejected)
            summary += f"; {plural(len(outcome.rejected), 'line')} rejected: {numbers}"
        print(summary)
    return 1 if outcome.rejected else 0


# --- report and demo ----------------------------------------------------------


def default_report_path(db: str) -> str:
    """'quenlith-report.png' for quenlith.db: beside the working directory, named after the database."""
    stem = Path(db).stem if not db.startswith("file:") else "quenlith"
    return f"{stem or 'quenlith'}-report.png"


def text_report(snapshots: Sequence[Any], values: Sequence[float], policy: Policy) -> str:
    lines = [f"Tier counts after each of the last {len(snapshots)} sweeps:"]
    if snapshots:
        rows = [[str(i), format_timestamp(s["timestamp"], seconds=True), str(s["hot"]), str(s["warm"]), str(s["cold"]),
                 str(s["forgotten"])] for i, s in enumerate(snapshots, 1)]
        lines.append(table(["#", "SWEPT AT (UTC)", "HOT", "WARM", "COLD", "FORGOTTEN"], rows,
                           right=[True, False, True, True, True, True]))
    else:
        lines.append("no sweeps yet")
    return "\n".join([*lines, "", histogram.render(values, policy)])


def write_report(runtime: Runtime, db: str, policy: Policy, output: str) -> bool:
    """Draws the report image; False, with the text report printed instead, without matplotlib."""
    snapshots = runtime.get_snapshots()
    values = runtime.get_salience_distribution()
    title = f"{Path(db).name}: {runtime.count()} events, policy {policy.name}"
    try:
        report.draw(output, snapshots, values, policy, title)
    except report.PlottingUnavailable:
        print(text_report(snapshots, values, policy))
        return False
    return True


def cmd_report(args: argparse.Namespace) -> int:
    db = database_path(args)
    output = args.output or default_report_path(db)
    written = write_report(open_runtime(args, create=False), db, policy_of(args), output)
    if args.json:
        emit_json({"path": output if written else None})
    elif written:
        print(f"wrote {output}")
    if written:
        return 0
    # Without -o nobody asked for a file: the text report is what there is.
    # With -o the file the caller will look for does not exist, so say so in the status.
    if args.output is not None:
        warn(f"error: {output} not written: matplotlib is not installed ({PLOT_HINT})")
        return 1
    warn(f"no image written: matplotlib is not installed ({PLOT_HINT}); the text report is the fallback")
    return 0


def how_to_invoke() -> str:
    """What the user can type to run this program again: the bare name only
    when it is on PATH (tools/demo.sh installs into a virtual environment
    that is not activated)."""
    script = Path(sys.executable).with_name(PROG)
    found = shutil.which(PROG)
    if found is not None and script.exists() and Path(found).resolve() == script.resolve():
        return PROG
    if script.exists():
        return str(script)
    return f"{sys.executable} -m {PROG}"


def cmd_demo(args: argparse.Namespace) -> int:
    if args.json:
        raise UsageError("demo has no JSON output")
    db = Path(database_path(args, demo.DEMO_DB))
    if db.exists() and db.resolve() != Path(demo.DEMO_DB).resolve():
        # The demo starts from an empty file; only its own default file is replaced without asking.
        raise InputError(f"{db} already exists; the demo needs a fresh database, so remove it or pick another --db")
    output = args.output or default_report_path(str(db))
    policy_name = args.policy or demo.DEMO_POLICY
    policy = resolve(policy_name)
    span, events, sweeps = demo.session_span()

    demo.clear_database(db)
    print(f"A coding agent's last {span.days} days: {events} events into {db}, policy {policy.name} "
          f"(half-life {policy.half_life_hours:g} h), swept at the end of every week.")
    print("Each event is scored against today's clock as it is recorded, so the oldest are forgotten at once;")
    print("the sweeps rescore what is left.")
    session = demo.play(str(db), policy_name, policy)
    live = demo.report_state(session)
    print("")
    if report.plotting_available():
        print(histogram.render([memory["salience"] for memory in live], policy))
        write_report(session.runtime, str(db), policy, output)
        print(f"\nReport: {output} (the tier counts after each of the {sweeps} sweeps, and the histogram above)")
    else:
        write_report(session.runtime, str(db), policy, output)  # prints the text report
        warn(f"no report image: matplotlib is not installed ({PLOT_HINT})")
    command = how_to_invoke()
    print(f"Look around: {command} --db {db} query flaky")
    print(f"             {command} --db {db} --policy {policy_name} salience")
    return 0


# --- The parser ---------------------------------------------------------------


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {value}")
    return value


def finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number: {text!r}")
    return value


def cmd_mcp(args: argparse.Namespace) -> int:
    if args.db is None:
        raise UsageError("mcp needs --db PATH: an MCP host starts the server in a directory of its own choosing")
    return mcp_server.run(str(args.db), args.policy)


def image_path(text: str) -> str:
    try:
        report.image_format(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def common_options(parser: argparse.ArgumentParser, *, suppress: bool) -> None:
    """--db, --policy and --json, accepted before the command and after it.

    On the subcommands they default to SUPPRESS, so that an option given
    before the command is not overwritten by the subcommand's default.
    """
    def default(value: object) -> object:
        return argparse.SUPPRESS if suppress else value

    parser.add_argument("--db", metavar="PATH", default=default(None),
                        help=f"the database file (default: ./{DEFAULT_DB}; for demo ./{demo.DEMO_DB})")
    parser.add_argument("--policy", metavar="NAME", choices=POLICY_NAMES, default=default(None),
                        help=f"policy preset: {', '.join(POLICY_NAMES)} (default: balanced; for demo coding)")
    parser.add_argument("--json", action="store_true", default=default(False),
                        help="print the result as JSON, for scripts")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Look inside an agent's memory: record events, query them, sweep, and chart the tiers.",
        epilog=f"Try '{PROG} demo' for a two-month coding session on a fresh database.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    common_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, handler: Callable[[argparse.Namespace], int], help_text: str,
                description: str | None = None) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=description or help_text)
        common_options(sub, suppress=True)
        sub.set_defaults(handler=handler)
        return sub

    record = command("record", cmd_record, "record one event and print its id")
    record.add_argument("source", metavar="SOURCE", help="who or what produced the event")
    record.add_argument("kind", metavar="KIND", choices=KINDS, help=f"one of: {', '.join(KINDS)}")
    record.add_argument("content", metavar="CONTENT", help="what happened")
    record.add_argument("--importance", choices=IMPORTANCES, default="normal", help="(default: normal)")
    record.add_argument("--overrides", metavar="ID", help="the id of an earlier event this one corrects")
    record.add_argument("--timestamp", metavar="TS",
                        help="when it happened, RFC 3339 with an offset (e.g. 2024-05-01T12:30:00Z); default now")

    query = command("query", cmd_query, "list live memories, strongest first")
    query.add_argument("text", metavar="TEXT", nargs="?", help="only memories whose content contains TEXT")
    query.add_argument("--source", help="only memories from this source")
    query.add_argument("--min-salience", metavar="S", type=finite_float, help="only memories scoring S or more")
    query.add_argument("--tier", choices=TIERS, help="only memories in this tier")
    query.add_argument("--limit", metavar="N", type=non_negative, default=20, help="at most N memories (default 20)")

    command("sweep", cmd_sweep, "rescore every live memory now and record the tier counts")
    command("inspect", cmd_inspect, "count the events and the memories in each tier")

    snapshots = command("snapshots", cmd_snapshots, "the tier counts recorded by past sweeps, oldest first")
    snapshots.add_argument("--limit", metavar="N", type=non_negative, default=100,
                           help="the N most recent sweeps (default 100)")

    command("salience", cmd_salience, "a text histogram of the live memories' salience, thresholds marked",
            "A text histogram of the live memories' salience. The thresholds marked are those of --policy.")

    import_ = command("import", cmd_import, "record the events of a JSON Lines file",
                      "Record one event per line of a JSON Lines file: an object with the fields source, kind "
                      "and content, and optionally importance, overrides and timestamp. A bad line is "
                      "reported with its number and skipped; the exit status is 1 if any line was rejected.")
    import_.add_argument("file", metavar="FILE", help="the file to read; - reads standard input")

    report_ = command("report", cmd_report, "draw the tier timeline and the salience histogram into an image",
                      "Draw the tier counts of past sweeps and the salience histogram (thresholds of --policy) "
                      "into one PNG or SVG. Needs matplotlib (quenlith[plot]); without it the same report is "
                      "printed as text, and the exit status is 1 only if -o named a file.")
    report_.add_argument("-o", "--output", metavar="FILE", type=image_path,
                         help="the image to write, .png or .svg (default: DBNAME-report.png here)")

    demo_ = command("demo", cmd_demo, "replay a coding agent's two months into a fresh database and explain it",
                    "Replay a coding agent's last two months into a fresh database (./quenlith-demo.db unless "
                    "--db names a new file), sweeping weekly; print what is hot, warm and cold and why, and "
                    "write the report image.")
    demo_.add_argument("-o", "--output", metavar="FILE", type=image_path,
                       help="the report image, .png or .svg (default: quenlith-demo-report.png)")
    command("mcp", cmd_mcp, "serve the memory to an MCP host (agent, IDE) on stdin and stdout",
            "Serve the memory over the Model Context Protocol on stdin and stdout, for an MCP host to start "
            "as a subprocess: tools to remember, recall, sweep and read statistics, and resources with the "
            "tier counts and the salience distribution. Needs --db and the mcp package (quenlith[mcp]).")
    return parser


# --- Entry point --------------------------------------------------------------


def _is_internal_fault(error: BaseException) -> bool:
    # The runtime's class for broken invariants derives from BaseException
    # and is not importable; it is known by its module.
    return type(error).__module__ == "quenlith_runtime"


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.handler(args)
        # A reader that has gone away shows up here, while the handler is still in charge.
        sys.stdout.flush()
    except UsageError as error:
        parser.error(str(error))
    except (RuntimeError, InputError, OSError, ValueError) as error:
        return fail(error)
    except KeyboardInterrupt:
        warn("interrupted")
        return 130
    except Exception as error:  # a fault of this program; still one line, as promised
        warn(f"error: unexpected {type(error).__name__}: {error}")
        return 1
    except BaseException as error:
        if isinstance(error, SystemExit) or not _is_internal_fault(error):
            raise
        warn(f"internal fault: {error}")
        return 1
    return status


def fail(error: BaseException) -> int:
    if isinstance(error, BrokenPipeError):
        # The reader went away (`quenlith query | head`): nothing left to say.
        silence_stdout()
        return 1
    message = str(error)
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        message = f"{error.filename}: {error.strerror}"
    warn(f"error: {message}")
    return 1


def silence_stdout() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())

