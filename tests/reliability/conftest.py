"""Figures for RELIABILITY.md.

Tests fill the `figures` fixture (operations run, kills survived, processes,
bytes corrupted, ...). The terminal summary lists them, and when
QUENLITH_RELIABILITY_FIGURES names a file they are also written there as
JSON, keyed by test id, for tools/reliability/ to report.
"""

from __future__ import annotations

import json
import os

import pytest

_COLLECTED: dict[str, dict] = {}


@pytest.fixture
def figures(request):
    data: dict = {}
    yield data
    if data:
        _COLLECTED[request.node.nodeid] = data


def pytest_terminal_summary(terminalreporter):
    if not _COLLECTED:
        return
    terminalreporter.section("reliability figures")
    for nodeid, data in _COLLECTED.items():
        terminalreporter.write_line(f"{nodeid}: {json.dumps(data, sort_keys=True)}")
    target = os.environ.get("QUENLITH_RELIABILITY_FIGURES")
    if target:
        with open(target, "w", encoding="utf-8") as out:
            json.dump(_COLLECTED, out, indent=1, sort_keys=True)
