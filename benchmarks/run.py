"""Benchmarks quenlith.Runtime against a pure-Python peer of the same semantics.

    python benchmarks/run.py [--quick] [--sizes 10000,100000,1000000] [--out results.json]

Prints the machine, checks the peer against the product, runs every workload
for both implementations on the same data and prints a table of figures with
ratios (peer time / product time: above 1 the product is faster) and the
targets, each marked met or missed. Nothing here asserts on time.
"""

from __future__ import annotations

import argparse
import json
import shutil
import sys
import tempfile
import time

import check_peer
import report
import workloads

FULL_SIZES = (10_000, 100_000, 1_000_000)
QUICK_SIZES = (10_000, 100_000)


def _parse_sizes(text: str) -> tuple[int, ...]:
    sizes = sorted({int(part.replace("_", "")) for part in text.split(",") if part.strip()})
    if not sizes or sizes[0] <= 0:
        raise argparse.ArgumentTypeError("sizes must be positive integers, e.g. 10000,100000")
    return tuple(sizes)


def _arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="sizes 10k and 100k, fewer repetitions (about 3 minutes)")
    parser.add_argument("--sizes", type=_parse_sizes, help="store sizes for queries, sweep and statistics")
    parser.add_argument("--out", help="write every figure as JSON to this file")
    parser.add_argument("--tmpdir", help="directory for the temporary store files (default: the system's)")
    parser.add_argument("--no-check", action="store_true", help="skip the peer correctness check")
    return parser.parse_args()


def _log(message: str) -> None:
    print(message, flush=True)


def _json_ready(value):
    """JSON object keys must be text; sizes are ints here."""
    if isinstance(value, dict):
        return {str(key): _json_ready(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_json_ready(item) for item in value]
    return value


def main() -> int:
    arguments = _arguments()
    settings = workloads.QUICK if arguments.quick else workloads.FULL
    sizes = arguments.sizes or (QUICK_SIZES if arguments.quick else FULL_SIZES)
    started = time.perf_counter()

    machine = report.machine()
    machine["store_filesystem"] = report.filesystem_of(arguments.tmpdir or tempfile.gettempdir())
    for line in report.machine_lines(machine):
        _log(line)
    _log(
        f"Mode: {'quick' if arguments.quick else 'full'}, store sizes {', '.join(report.size_label(s) for s in sizes)}"
    )
    _log("")

    fingerprint = workloads.product_fingerprint()
    if not arguments.no_check:
        try:
            for note in check_peer.check():
                _log(f"  note: {note}")
        except check_peer.Mismatch as error:
            _log(f"peer check FAILED, figures would mean nothing: {error}")
            return 1

    results: dict = {"machine": machine, "mode": "quick" if arguments.quick else "full", "sizes": {}}
    directory = tempfile.mkdtemp(prefix="quenlith-bench-", dir=arguments.tmpdir)
    try:
        _log("1. recording rate ...")
        results["recording"] = workloads.recording_rate(settings, directory)
        _log("2. recording cost against store size ...")
        results["growth"] = workloads.recording_growth(settings, directory)
        for size in sizes:
            _log(f"3-6. store of {size:,} memories ...")
            results["sizes"][size] = workloads.per_size(settings, size, directory, _log)
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    results["product_module"] = fingerprint
    results["product_changed_during_run"] = workloads.product_fingerprint() != fingerprint
    results["targets"] = report.evaluate_targets(results)
    results["seconds"] = time.perf_counter() - started
    _log("")
    for line in report.machine_lines(machine):
        _log(line)
    for line in report.build_table(results).lines():
        _log(line)
    _log("")
    for line in report.target_lines(results["targets"]):
        _log(line)
    if results["product_changed_during_run"]:
        _log("\nWARNING: the installed extension changed during the run; the figures mix two builds. Run again.")
    _log(f"\nTotal time {results['seconds'] / 60:.1f} min")
    if arguments.out:
        with open(arguments.out, "w") as out:
            json.dump(_json_ready(results), out, indent=2)
        _log(f"Figures written to {arguments.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
