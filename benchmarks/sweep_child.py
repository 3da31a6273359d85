"""Runs one sweep in a fresh process and reports its time and peak memory growth.

    python benchmarks/sweep_child.py {product|peer} PATH [--extra-sweeps N]

Prints one JSON object. The process only imports the implementation, opens
the file and sweeps, so the growth of its peak resident set over the sweep is
the sweep's own working memory. Extra sweeps (not measured) leave snapshot
history behind for the statistics workload.
"""

from __future__ import annotations

import argparse
import json
import resource
import sys
import time


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak() -> bool:
    """Sets the peak resident set back to the current one (Linux 4.0 and later)."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def _open(implementation: str, path: str):
    if implementation == "product":
        from quenlith import Runtime

        return Runtime(path)
    from peer import PeerRuntime

    return PeerRuntime(path)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("implementation", choices=("product", "peer"))
    parser.add_argument("path")
    parser.add_argument("--extra-sweeps", type=int, default=0)
    arguments = parser.parse_args()

    runtime = _open(arguments.implementation, arguments.path)
    reset = _reset_peak()
    # Without a reset, the peak so far is the baseline (it may hide a little growth).
    before = _status_kib("VmRSS" if reset else "VmHWM")
    if before is None:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.perf_counter()
    result = runtime.sweep()
    seconds = time.perf_counter() - started
    after = _status_kib("VmHWM")
    if after is None:
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    extra = []
    for _ in range(arguments.extra_sweeps):
        started = time.perf_counter()
        runtime.sweep()
        extra.append(time.perf_counter() - started)

    fingerprint = None
    if arguments.implementation == "product":
        import os

        import quenlith.quenlith_runtime as module

        fingerprint = {"path": module.__file__, "mtime": os.stat(module.__file__).st_mtime}
    json.dump(
        {
            "product_module": fingerprint,
            "seconds": seconds,
            "result": result,
            "rss_before_kib": before,
            "peak_after_kib": after,
            "peak_growth_bytes": max(0, after - before) * 1024,
            "peak_reset": reset,
            "extra_sweep_seconds": extra,
        },
        sys.stdout,
    )


if __name__ == "__main__":
    main()
