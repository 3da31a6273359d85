"""A short run of tools/reliability/leak_check.py: every method, on success
and error paths, thousands of times; resident memory, traced Python memory
and allocated blocks stay flat after a warm-up. (The tool's default run is
longer and tells smaller leaks apart.)"""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

from reliability_harness import HERE, sanitized_build, scaled, tail

TOOL = HERE.parent.parent / "tools" / "reliability" / "leak_check.py"


@pytest.mark.skipif(sanitized_build(), reason="AddressSanitizer keeps freed memory in quarantine, so the "
                    "resident set grows whatever the code does; memory is measured on a normal build")
def test_memory_stays_flat_over_thousands_of_calls(figures):
    done = subprocess.run(
        [sys.executable, "-P", str(TOOL), "--rounds", str(scaled(600)), "--warmup", "150", "--json"],
        capture_output=True, text=True, timeout=600, check=False,
    )
    assert done.stdout, tail(done.stderr)
    result = json.loads(done.stdout.splitlines()[-1])
    figures.update({key: value for key, value in result.items() if key != "rss_samples_kib"})
    assert done.returncode == 0, result["verdict"]
