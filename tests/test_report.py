"""The package around the extension: policy presets, histogram bins, timestamps, the image, typing."""

import datetime as dt
import math
import re
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quenlith
from quenlith import Runtime, histogram, report
from quenlith.display import parse_timestamp
from quenlith.policies import IMPORTANCES, KINDS, POLICY_NAMES, PRESETS, resolve

REPOSITORY = Path(__file__).resolve().parent.parent


def test_package_exports_the_runtime_and_the_installed_version():
    assert quenlith.__all__ == ["Runtime", "__version__"]
    assert quenlith.__version__ == version("quenlith")


# --- The presets repeated in Python agree with the runtime ------------------------


@pytest.mark.parametrize("name", POLICY_NAMES)
def test_kind_and_importance_weights_match_the_runtime(tmp_path, name):
    policy = resolve(name)
    runtime = Runtime(str(tmp_path / "m.db"), name)
    expected = {}
    for kind in KINDS:
        for importance in IMPORTANCES:
            content = f"{kind} {importance}"
            runtime.record("s", kind, content, importance)
            expected[content] = policy.salience(kind, importance, 1, 0)
    stored = {memory["content"]: memory["salience"] for memory in runtime.query(limit=100, min_salience=0)}
    live = {content: value for content, value in expected.items() if policy.tier(value) != "forgotten"}
    assert stored == pytest.approx(live, rel=1e-12)


@pytest.mark.parametrize("name", POLICY_NAMES)
def test_half_life_and_thresholds_match_the_runtime(tmp_path, name):
    """Memories backdated to land just above and just below each threshold."""
    policy = resolve(name)
    runtime = Runtime(str(tmp_path / "m.db"), name)
    now = dt.datetime.now(dt.timezone.utc)
    fresh = policy.salience("correction", "critical", 1, 0)
    expected = {}
    for threshold in (policy.hot, policy.warm, policy.cold):
        for factor in (1.01, 0.99):
            hours = policy.half_life_hours * math.log2(fresh / (threshold * factor))
            content = f"{threshold} x {factor}"
            timestamp = (now - dt.timedelta(hours=hours)).isoformat()
            runtime.record("s", "correction", content, "critical", timestamp=timestamp)
            expected[content] = policy.tier(threshold * factor)
    tiers = {memory["content"]: memory["tier"].lower() for memory in runtime.query(limit=100)}
    assert tiers == {content: tier for content, tier in expected.items() if tier != "forgotten"}
    assert runtime.inspect()["forgotten"] == 1
    assert [content for content, tier in expected.items() if tier == "forgotten"] == [f"{policy.cold} x 0.99"]


def test_aliases_name_the_same_presets():
    assert {name: resolve(name).name for name in POLICY_NAMES} == {
        "balanced": "balanced", "coding": "coding", "knowledge": "knowledge", "assistant": "assistant",
        "default": "balanced", "code": "coding", "kb": "knowledge", "personal": "assistant",
    }
    assert resolve(None) is PRESETS["balanced"]
    with pytest.raises(ValueError, match="unknown policy: 'Coding'"):
        resolve("Coding")


# --- Histogram bins -----------------------------------------------------------------------

saliences = st.one_of(
    st.floats(min_value=0.0, max_value=1e300, allow_nan=False),
    st.floats(min_value=1e-6, max_value=50.0),
    st.just(math.inf),
)


@given(values=st.lists(saliences, max_size=60), name=st.sampled_from(sorted(PRESETS)))
def test_every_value_lands_in_one_bin_of_its_own_tier(values, name):
    policy = PRESETS[name]
    distribution = histogram.distribute(values, policy)
    bins = distribution.bins
    assert distribution.infinite == values.count(math.inf)
    assert sum(b.count for b in bins) + distribution.infinite == len(values) == distribution.total
    edges = [bins[0].low] + [b.high for b in bins]
    assert all(low < high for low, high in zip(edges, edges[1:]))
    assert {policy.cold, policy.warm, policy.hot} <= set(edges)
    for b in bins:
        inside = [v for v in values if b.low <= v < b.high]
        assert b.count == len(inside)
        if not b.below_cold:
            assert {policy.tier(v) for v in inside} <= {b.tier} == {policy.tier(b.low)}
    assert len(bins) <= 1 + 3 * 6  # under the cold threshold, then at most six per band


def test_text_histogram_lists_bins_strongest_first_with_the_thresholds_between():
    policy = PRESETS["coding"]
    text = histogram.render([12.0, 3.0, 3.5, 1.2, 0.3, 0.02, math.inf], policy)
    lines = text.splitlines()
    assert lines[0] == "Salience of 7 live memories, policy coding (hot >= 2, warm >= 0.5, cold >= 0.1)"
    rows = [re.fullmatch(r"\s*(inf|\S+ - \S+)\s+#*\s+(\d+)|\s*-- (.+?) -+", line).groups() for line in lines[2:]]
    assert [mark or label for label, _, mark in rows] == [
        "inf", "10 - 20", "5 - 10", "2 - 5", "hot >= 2", "1 - 2", "0.5 - 1", "warm >= 0.5",
        "0.2 - 0.5", "0.1 - 0.2", "cold >= 0.1", "0 - 0.1",
    ]
    assert [int(count) for _, count, mark in rows if not mark] == [1, 1, 0, 2, 1, 0, 1, 0, 1]


def test_text_histogram_of_nothing_still_shows_the_thresholds():
    lines = histogram.render([], PRESETS["knowledge"]).splitlines()
    assert [line.split()[1:4] for line in lines if line.strip().startswith("--")] == [
        ["hot", ">=", "1.5"], ["warm", ">=", "0.3"], ["cold", ">=", "0.02"],
    ]


# --- Timestamps and the image -----------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("2024-05-01T12:30:00+00:00", dt.datetime(2024, 5, 1, 12, 30, tzinfo=dt.timezone.utc)),
        ("2024-05-01T12:30:00.250+00:00", dt.datetime(2024, 5, 1, 12, 30, 0, 250000, tzinfo=dt.timezone.utc)),
        ("2024-05-01T12:30:00.123456789+00:00", dt.datetime(2024, 5, 1, 12, 30, 0, 123456, tzinfo=dt.timezone.utc)),
        ("2024-05-01t14:30:00Z", dt.datetime(2024, 5, 1, 14, 30, tzinfo=dt.timezone.utc)),
        ("2024-05-01 14:30:00+02:00", dt.datetime(2024, 5, 1, 12, 30, tzinfo=dt.timezone.utc)),
    ],
)
def test_parse_timestamp_reads_every_form_the_runtime_writes(text, expected):
    parsed = parse_timestamp(text)
    assert parsed == expected and parsed.utcoffset() == dt.timedelta(0)


def test_draw_handles_an_empty_database_and_sweeps_on_several_days(tmp_path):
    pytest.importorskip("matplotlib")
    policy = PRESETS["balanced"]
    empty = tmp_path / "empty.png"
    report.draw(empty, [], [], policy, "nothing yet")
    assert empty.read_bytes().startswith(b"\x89PNG")

    snapshots = [
        {"timestamp": f"2024-05-{day:02d}T09:00:00+00:00", "hot": day, "warm": 2, "cold": 3, "forgotten": day * 2}
        for day in range(1, 31)
    ]
    svg = tmp_path / "month.svg"
    report.draw(svg, snapshots, [0.01, 0.3, 1.0, 5.0, math.inf], policy, "a month")
    text = svg.read_text()
    # Thirty sweeps on thirty days: every third is labelled, with its date.
    assert "2024-05-01" in text and "2024-05-28" in text and "2024-05-02" not in text
    assert "1 of them infinite" in text


# --- Typing -------------------------------------------------------------------------------


def test_package_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(REPOSITORY / "pyproject.toml"),
         "--cache-dir", str(tmp_path / "cache"), str(REPOSITORY / "quenlith")],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
