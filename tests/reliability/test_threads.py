"""Many Python threads on one Runtime, and several Runtime objects on one file
in one process (opened, used and dropped on different threads): no crash,
no error, nothing lost."""

from __future__ import annotations

import sys
import threading

import pytest

from quenlith import Runtime
from reliability_harness import scaled, store_facts, stored_ids

THREADS = 8


@pytest.fixture
def busy_switching():
    # Switch threads as often as the interpreter allows, so that calls from
    # different threads follow each other as closely as they can.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(targets, timeout: float = 120) -> list[BaseException]:
    """Starts one thread per target at the same moment, joins them all, and
    returns whatever they raised."""
    failures: list[BaseException] = []
    start = threading.Barrier(len(targets))

    def wrapped(target):
        try:
            start.wait()
            target()
        except BaseException as error:  # noqa: BLE001 - handed to the test
            failures.append(error)

    threads = [threading.Thread(target=wrapped, args=(target,), daemon=True) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    return failures


def recorder(rt_of, tag: str, records: int, ids: list[str]):
    def body():
        previous = None
        for n in range(records):
            previous = rt_of().record(tag, "decision", f"{tag} {n % 5}", overrides=previous if n % 4 == 3 else None)
            ids.append(previous)

    return body


def reader(rt_of, done: threading.Event, counter: list[int]):
    def body():
        while not done.is_set():
            rt = rt_of()
            rt.query("1", limit=10)
            rt.inspect()
            rt.get_salience_distribution()
            rt.get_snapshots(3)
            rt.count()
            counter[0] += 5

    return body


def sweeper(rt_of, done: threading.Event, counter: list[int]):
    def body():
        while not done.is_set():
            rt_of().sweep()
            counter[0] += 1

    return body


def signalling_when_all_finish(recorders, done: threading.Event):
    """The recorders, wrapped so that the last one to finish sets `done`
    (which stops the readers and the sweeper), whether it failed or not."""
    remaining = [len(recorders)]
    lock = threading.Lock()

    def wrap(target):
        def body():
            try:
                target()
            finally:
                with lock:
                    remaining[0] -= 1
                    if remaining[0] == 0:
                        done.set()

        return body

    return [wrap(target) for target in recorders]


def test_many_threads_share_one_runtime(tmp_path, figures, busy_switching):
    path = str(tmp_path / "shared.db")
    shared = [Runtime(path)]  # a list, so that the test can drop the last reference
    records = scaled(60)
    ids: list[str] = []
    done = threading.Event()
    reads, sweeps = [0], [0]
    def rt():
        return shared[0]

    recorders = signalling_when_all_finish([recorder(rt, f"t{n}", records, ids) for n in range(THREADS)], done)
    failures = run_threads([*recorders, reader(rt, done, reads), sweeper(rt, done, sweeps)])
    done.set()
    assert failures == []
    assert rt().count() == THREADS * records
    shared.clear()
    assert stored_ids(path) == set(ids) and len(ids) == THREADS * records
    facts = store_facts(path)
    assert facts["snapshots"] == sweeps[0]
    figures.update(threads=THREADS + 2, records=len(ids), sweeps=sweeps[0], reads=reads[0], lost=0)


def test_several_runtimes_share_one_file_in_one_process(tmp_path, figures, busy_switching):
    path = str(tmp_path / "shared.db")
    runtimes = [Runtime(path, policy) for policy in ("balanced", "coding", "knowledge", "assistant")]
    records = scaled(40)
    ids: list[str] = []
    done = threading.Event()
    reads, sweeps = [0], [0]
    # Two threads per Runtime, and two more threads that each open a Runtime
    # of their own for every call and drop it straight away.
    recorders = signalling_when_all_finish(
        [recorder(lambda rt=rt: rt, f"r{n}", records, ids) for n, rt in enumerate(runtimes * 2)]
        + [recorder(lambda: Runtime(path), f"c{n}", records, ids) for n in range(2)],
        done,
    )
    failures = run_threads(
        [*recorders, reader(lambda: Runtime(path, "kb"), done, reads), sweeper(lambda: runtimes[1], done, sweeps)]
    )
    done.set()
    assert failures == []
    expected = len(recorders) * records
    assert all(rt.count() == expected for rt in runtimes)
    # The last references go on another thread than the one that opened them.
    dropper = threading.Thread(target=runtimes.clear)
    dropper.start()
    dropper.join(30)
    assert stored_ids(path) == set(ids) and len(ids) == expected
    assert store_facts(path)["snapshots"] == sweeps[0]
    figures.update(runtimes=4, threads=len(recorders) + 2, records=len(ids),
                   sweeps=sweeps[0], reads=reads[0], lost=0)
