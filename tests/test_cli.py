"""The quenlith command line, run as a subprocess on temporary databases."""

import datetime as dt
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from quenlith import Runtime

UUID_LENGTH = 36


def run(cwd, *args, stdin=None, env=None):
    return subprocess.run(
        [sys.executable, "-m", "quenlith", *args],
        cwd=cwd,
        input=stdin,
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


def ok(cwd, *args, stdin=None):
    result = run(cwd, *args, stdin=stdin)
    assert result.returncode == 0, result.stderr
    return result.stdout


def as_json(cwd, *args):
    return json.loads(ok(cwd, *args, "--json"))


def assert_one_line_error(result, status, fragment):
    assert result.returncode == status
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert fragment in lines[-1]
    if status == 1:
        assert len(lines) == 1, result.stderr


@pytest.fixture
def workdir(tmp_path):
    return tmp_path


@pytest.fixture
def filled(workdir):
    """quenlith.db in the working directory with a few memories of known tiers (balanced policy)."""
    runtime = Runtime(str(workdir / "quenlith.db"))
    runtime.record("agent", "decision", "use the small model", "high")  # 4.39, hot
    runtime.record("agent", "user_action", "opened the settings page")  # 1.10, warm
    runtime.record("ci", "observation", "nightly build green", "low")  # 0.38, cold
    runtime.record("ci", "observation", "nightly build green", "low")  # 0.49, cold
    runtime.record("agent", "user_action", "very old", timestamp="2020-01-01T00:00:00Z")  # forgotten
    return workdir


# --- The program itself -----------------------------------------------------------


def test_console_script_and_module_print_the_same_help(workdir):
    script = Path(sys.executable).with_name("quenlith")
    by_script = subprocess.run([str(script), "--help"], capture_output=True, text=True, cwd=workdir)
    assert by_script.returncode == 0
    assert by_script.stdout == ok(workdir, "--help")
    for command in ("record", "query", "sweep", "inspect", "snapshots", "salience", "import", "report", "demo"):
        assert command in by_script.stdout


def test_version(workdir):
    from importlib.metadata import version

    assert ok(workdir, "--version").strip() == f"quenlith {version('quenlith')}"


@pytest.mark.parametrize(
    "args, fragment",
    [
        ([], "the following arguments are required: COMMAND"),
        (["fly"], "invalid choice: 'fly'"),
        (["--policy", "Coding", "inspect"], "invalid choice: 'Coding'"),
        (["record", "agent", "Decision", "x"], "invalid choice: 'Decision'"),
        (["record", "agent", "decision", "x", "--importance", "urgent"], "invalid choice: 'urgent'"),
        (["query", "--tier", "Hot"], "invalid choice: 'Hot'"),
        (["query", "--limit", "-1"], "must be 0 or more"),
        (["query", "--min-salience", "nan"], "must be a finite number"),
        (["report", "-o", "chart.jpg"], "name it .png or .svg"),
        (["demo", "--json"], "demo has no JSON output"),
    ],
)
def test_usage_errors_exit_2_without_a_traceback(filled, args, fragment):
    assert_one_line_error(run(filled, *args), 2, fragment)


def test_options_go_before_or_after_the_command(filled):
    (filled / "quenlith.db").rename(filled / "other.db")
    before = as_json(filled, "--db", "other.db", "--policy", "kb", "salience")
    after = as_json(filled, "salience", "--db", "other.db", "--policy", "kb")
    assert before == after
    assert before["policy"] == "knowledge"


@pytest.mark.parametrize("command", ["query", "sweep", "inspect", "snapshots", "salience", "report"])
def test_reading_commands_refuse_a_missing_database_and_create_none(workdir, command):
    assert_one_line_error(run(workdir, command), 1, "no database at quenlith.db")
    assert list(workdir.iterdir()) == []


def test_an_unopenable_database_is_a_one_line_error(workdir):
    result = run(workdir, "--db", "/no/such/dir/x.db", "record", "agent", "decision", "x")
    assert_one_line_error(result, 1, "storage error: unable to open database file")


def test_a_file_that_is_not_a_database_is_a_one_line_error(workdir):
    (workdir / "quenlith.db").write_text("not sqlite at all, just some text " * 100)
    assert_one_line_error(run(workdir, "inspect"), 1, "storage error")


# --- record -----------------------------------------------------------------------


def test_record_prints_the_new_id_and_creates_the_database(workdir):
    event_id = ok(workdir, "record", "agent-1", "decision", "use the small model", "--importance", "high").strip()
    assert len(event_id) == UUID_LENGTH
    [memory] = as_json(workdir, "query")
    assert memory["id"] == event_id
    assert (memory["content"], memory["source"], memory["tier"]) == ("use the small model", "agent-1", "Hot")
    assert as_json(workdir, "record", "agent-1", "error", "x").keys() == {"id"}


def test_record_backdates_with_timestamp(workdir):
    a_day_ago = dt.datetime.now(dt.timezone(dt.timedelta(hours=2))).replace(microsecond=0) - dt.timedelta(days=1)
    ok(workdir, "record", "agent", "decision", "yesterday's plan", "--timestamp", a_day_ago.isoformat())
    ok(workdir, "record", "ci", "observation", "old build", "--timestamp", "2024-01-15T12:30:00+02:00")
    [memory] = as_json(workdir, "query")
    # A normal decision a day old under the balanced policy: 2.197 halved by 24 of its 168 hours.
    assert memory["salience"] == pytest.approx(2.197225 * 2 ** (-24 / 168), rel=1e-3)
    assert memory["tier"] == "Warm"
    assert memory["timestamp"] == a_day_ago.astimezone(dt.timezone.utc).isoformat()
    # The other is years old: forgotten at once, counted but never returned.
    assert as_json(workdir, "inspect")["forgotten"] == 1


def test_record_overrides_an_earlier_event(workdir):
    error_id = ok(workdir, "record", "tests", "error", "test_cache fails after restart").strip()
    ok(workdir, "record", "reviewer", "correction", "invalidate the cache on startup", "--overrides", error_id)
    memories = {memory["id"]: memory for memory in as_json(workdir, "query")}
    assert memories[error_id]["is_overridden"] is True
    assert memories[error_id]["tier"] == "Cold"
    assert "* overridden by a later event" in ok(workdir, "query")


@pytest.mark.parametrize(
    "options, fragment",
    [
        (["--timestamp", "2024-01-15T10:30:00"], "invalid timestamp (expected RFC3339): premature end of input"),
        (["--timestamp", "yesterday"], "invalid timestamp (expected RFC3339)"),
        (["--overrides", "not-a-uuid"], "invalid overrides UUID: invalid character"),
    ],
)
def test_record_reports_what_the_runtime_refuses(workdir, options, fragment):
    assert_one_line_error(run(workdir, "record", "agent", "decision", "x", *options), 1, fragment)
    assert Runtime(str(workdir / "quenlith.db")).count() == 0


def test_record_names_an_override_target_that_does_not_exist(workdir):
    missing = "00000000-0000-4000-8000-000000000000"
    result = run(workdir, "record", "agent", "correction", "x", "--overrides", missing)
    assert_one_line_error(result, 1, f"overrides names no recorded event: {missing} (storage error: FOREIGN KEY")
    assert Runtime(str(workdir / "quenlith.db")).count() == 0


# --- query --------------------------------------------------------------------------


def test_query_prints_a_table_strongest_first(filled):
    lines = ok(filled, "query").splitlines()
    assert lines[0].split() == ["ID", "TIER", "SALIENCE", "SEEN", "TIME", "(UTC)", "SOURCE", "CONTENT"]
    assert [line.split()[1] for line in lines[1:]] == ["Hot", "Warm", "Cold", "Cold"]
    assert lines[1].endswith("use the small model")
    assert "4.394" in lines[1]


@pytest.mark.parametrize(
    "args, contents",
    [
        ([], ["use the small model", "opened the settings page", "nightly build green", "nightly build green"]),
        (["build"], ["nightly build green", "nightly build green"]),
        (["--source", "agent"], ["use the small model", "opened the settings page"]),
        (["--tier", "warm"], ["opened the settings page"]),
        (["--min-salience", "1.0"], ["use the small model", "opened the settings page"]),
        (["--limit", "1"], ["use the small model"]),
        (["--tier", "forgotten"], []),
        (["nothing like this"], []),
    ],
)
def test_query_filters(filled, args, contents):
    assert [memory["content"] for memory in as_json(filled, "query", *args)] == contents


def test_query_without_matches_says_so(filled):
    assert ok(filled, "query", "nothing like this").strip() == "no memories match"


# --- sweep, inspect, snapshots ------------------------------------------------------------


def test_sweep_inspect_and_snapshots(filled):
    assert ok(filled, "snapshots").strip() == "no sweeps yet"
    assert ok(filled, "sweep").strip() == "rescored 4 memories: 0 promoted, 0 demoted, 0 forgotten"
    assert as_json(filled, "sweep") == {"total_processed": 4, "promoted": 0, "demoted": 0, "forgotten": 0}

    assert as_json(filled, "inspect") == {"total_events": 5, "hot": 1, "warm": 1, "cold": 2, "forgotten": 1}
    inspect = {line.split()[0]: line.split()[1] for line in ok(filled, "inspect").splitlines()[1:]}
    assert inspect == {"events": "5", "hot": "1", "warm": "1", "cold": "2", "forgotten": "1"}

    snapshots = as_json(filled, "snapshots")
    assert [(s["hot"], s["warm"], s["cold"], s["forgotten"]) for s in snapshots] == [(1, 1, 2, 1)] * 2
    assert len(as_json(filled, "snapshots", "--limit", "1")) == 1
    lines = ok(filled, "snapshots").splitlines()
    assert lines[0].split() == ["SWEPT", "AT", "(UTC)", "HOT", "WARM", "COLD", "FORGOTTEN"]
    assert [line.split()[2:] for line in lines[1:]] == [["1", "1", "2", "1"]] * 2


# --- salience -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "policy, marks",
    [
        (None, ["hot >= 2", "warm >= 0.5", "cold >= 0.05"]),
        ("balanced", ["hot >= 2", "warm >= 0.5", "cold >= 0.05"]),
        ("default", ["hot >= 2", "warm >= 0.5", "cold >= 0.05"]),
        ("coding", ["hot >= 2", "warm >= 0.5", "cold >= 0.1"]),
        ("code", ["hot >= 2", "warm >= 0.5", "cold >= 0.1"]),
        ("knowledge", ["hot >= 1.5", "warm >= 0.3", "cold >= 0.02"]),
        ("kb", ["hot >= 1.5", "warm >= 0.3", "cold >= 0.02"]),
        ("assistant", ["hot >= 2", "warm >= 0.5", "cold >= 0.05"]),
        ("personal", ["hot >= 2", "warm >= 0.5", "cold >= 0.05"]),
    ],
)
def test_salience_histogram_marks_the_policy_thresholds(filled, policy, marks):
    args = ["salience"] + (["--policy", policy] if policy else [])
    text = ok(filled, *args)
    mark_lines = [line.strip().strip("-").strip() for line in text.splitlines() if line.strip().startswith("--")]
    assert mark_lines == marks
    counts = [int(line.split()[-1]) for line in text.splitlines() if " - " in line and not line.strip().startswith("--")]
    assert sum(counts) == 4


def test_salience_json_holds_the_distribution_and_the_thresholds(filled):
    data = as_json(filled, "--policy", "coding", "salience")
    assert data["thresholds"] == {"hot": 2.0, "warm": 0.5, "cold": 0.1}
    assert data["values"] == Runtime(str(filled / "quenlith.db")).get_salience_distribution()
    assert sum(b["count"] for b in data["bins"]) == 4


# --- import -------------------------------------------------------------------------


def jsonl(*lines):
    return "".join((line if isinstance(line, str) else json.dumps(line)) + "\n" for line in lines)


GOOD = {"source": "ci", "kind": "observation", "content": "build green"}


def test_import_records_every_good_line_and_names_every_bad_one(workdir):
    missing_target = "00000000-0000-4000-8000-000000000000"
    (workdir / "events.jsonl").write_text(
        jsonl(
            GOOD,  # 1
            "{not json",  # 2
            {**GOOD, "content": "second", "importance": "high", "overrides": None, "timestamp": None},  # 3
            "[1, 2]",  # 4
            {"source": "ci", "kind": "observation"},  # 5: no content
            {**GOOD, "kinds": "error"},  # 6: a misspelt field
            "",  # 7: blank lines are skipped, not rejected
            {**GOOD, "content": 42},  # 8
            {**GOOD, "kind": "Decision"},  # 9: the runtime's own check
            {**GOOD, "timestamp": "2024-01-15"},  # 10
            {**GOOD, "content": "backdated", "timestamp": "2024-05-01T12:30:00Z"},  # 11
            {**GOOD, "content": "dangling", "overrides": missing_target},  # 12
        )
    )
    result = run(workdir, "import", "events.jsonl")
    assert result.returncode == 1
    assert "Traceback" not in result.stderr
    problems = dict(line.split(": ", 1) for line in result.stderr.strip().splitlines())
    assert set(problems) == {f"events.jsonl:{n}" for n in (2, 4, 5, 6, 8, 9, 10, 12)}
    assert problems["events.jsonl:2"].startswith("not valid JSON")
    assert problems["events.jsonl:4"] == "expected a JSON object, found an array"
    assert problems["events.jsonl:5"] == "missing field 'content'"
    assert problems["events.jsonl:6"].startswith("unknown field 'kinds'")
    assert problems["events.jsonl:8"] == "field 'content' must be a string, found a number"
    assert problems["events.jsonl:9"].startswith("unknown event kind: 'Decision'")
    assert problems["events.jsonl:10"].startswith("invalid timestamp (expected RFC3339)")
    assert problems["events.jsonl:12"].startswith(f"overrides names no recorded event: {missing_target}")
    assert result.stdout.strip() == "recorded 3 events from events.jsonl; 8 lines rejected: 2, 4, 5, 6, 8, 9, 10, 12"

    runtime = Runtime(str(workdir / "quenlith.db"))
    assert runtime.count() == 3
    live = {memory["content"] for memory in runtime.query()}
    assert live == {"build green", "second"}  # "backdated" is long forgotten
    assert runtime.inspect()["forgotten"] == 1


def test_import_json_summary_and_standard_input(workdir):
    result = run(workdir, "import", "-", "--json", stdin=jsonl(GOOD, "oops", GOOD))
    assert result.returncode == 1
    assert result.stderr.startswith("stdin:2: not valid JSON")
    data = json.loads(result.stdout)
    assert [entry["line"] for entry in data["recorded"]] == [1, 3]
    assert all(len(entry["id"]) == UUID_LENGTH for entry in data["recorded"])
    assert [entry["line"] for entry in data["rejected"]] == [2]


def test_import_of_a_clean_file_exits_0(workdir):
    (workdir / "events.jsonl").write_text(jsonl(GOOD, GOOD, GOOD))
    assert ok(workdir, "import", "events.jsonl").strip() == "recorded 3 events from events.jsonl"
    assert [memory["occurrence_count"] for memory in as_json(workdir, "query")] == [3, 2, 1]


def test_import_of_a_missing_file_is_a_one_line_error(workdir):
    assert_one_line_error(run(workdir, "import", "nowhere.jsonl"), 1, "cannot read nowhere.jsonl")
    assert not (workdir / "quenlith.db").exists()


# --- report -------------------------------------------------------------------------


def swept(workdir, sweeps=3):
    runtime = Runtime(str(workdir / "quenlith.db"))
    for i in range(sweeps):
        runtime.record("agent", "decision", f"decision {i}")
        runtime.sweep()
    return workdir


@pytest.mark.parametrize(
    "args, path, magic",
    [
        (["-o", "out.png"], "out.png", b"\x89PNG\r\n\x1a\n"),
        (["-o", "out.SVG"], "out.SVG", b"<?xml"),
        ([], "quenlith-report.png", b"\x89PNG\r\n\x1a\n"),
    ],
)
def test_report_writes_the_image(workdir, args, path, magic):
    pytest.importorskip("matplotlib")
    swept(workdir)
    assert ok(workdir, "report", *args).strip() == f"wrote {path}"
    content = (workdir / path).read_bytes()
    assert content.startswith(magic)
    if path.lower().endswith(".svg"):
        text = content.decode()
        assert "Tier counts after each sweep" in text and "hot \u2265 2" in text


@pytest.fixture
def without_matplotlib(tmp_path):
    """An environment in which `import matplotlib` fails, as where the plot extra is not installed."""
    blocker = tmp_path / "blocker" / "matplotlib"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('matplotlib is blocked for this test')\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(blocker.parent), env.get("PYTHONPATH")]))
    return env


def test_report_without_matplotlib_prints_text_and_fails_only_if_a_file_was_named(workdir, without_matplotlib):
    swept(workdir, sweeps=2)
    named = run(workdir, "report", "-o", "out.png", env=without_matplotlib)
    assert_one_line_error(named, 1, "out.png not written: matplotlib is not installed (pip install 'quenlith[plot]')")
    assert not (workdir / "out.png").exists()
    assert "Tier counts after each of the last 2 sweeps" in named.stdout
    assert "-- hot >= 2 " in named.stdout

    unnamed = run(workdir, "report", env=without_matplotlib)
    assert unnamed.returncode == 0
    assert unnamed.stdout == named.stdout
    assert "quenlith[plot]" in unnamed.stderr
    assert not (workdir / "quenlith-report.png").exists()


# --- demo ---------------------------------------------------------------------------


def test_demo_explains_the_tiers_and_writes_the_report(workdir):
    first = ok(workdir, "demo")
    for heading in ("HOT (salience >= 2)", "WARM (>= 0.5)", "COLD (>= 0.1)", "FORGOTTEN (< 0.1)"):
        assert heading in first
    for reason in ("why: error (x2.5)", "seen 8 times", "days old", "overridden", "held cold at a quarter"):
        assert reason in first
    runtime = Runtime(str(workdir / "quenlith-demo.db"))
    events = runtime.count()
    snapshots = runtime.get_snapshots()
    assert len(snapshots) >= 5 and events >= 30
    assert snapshots[-1]["forgotten"] > 0 and snapshots[-1]["hot"] > 0
    del runtime
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        pass
    else:
        assert (workdir / "quenlith-demo-report.png").read_bytes().startswith(b"\x89PNG")
        assert "Report: quenlith-demo-report.png" in first

    # Running it again starts afresh on its own file.
    ok(workdir, "demo")
    assert Runtime(str(workdir / "quenlith-demo.db")).count() == events


def test_demo_never_replaces_a_file_it_did_not_make(workdir):
    (workdir / "precious.db").write_bytes(b"keep me")
    assert_one_line_error(run(workdir, "--db", "precious.db", "demo"), 1, "precious.db already exists")
    assert (workdir / "precious.db").read_bytes() == b"keep me"


def test_demo_without_matplotlib_still_runs(workdir, without_matplotlib):
    result = run(workdir, "demo", "--policy", "balanced", env=without_matplotlib)
    assert result.returncode == 0, result.stderr
    assert "HOT (salience >= 2)" in result.stdout and "COLD (>= 0.05)" in result.stdout
    assert "quenlith[plot]" in result.stderr
    assert not (workdir / "quenlith-demo-report.png").exists()
