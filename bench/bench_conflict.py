"""Cost of ConflictManager.report_conflict through the Python API.

rows() returns one dict per measurement: name, ns_per_call (median of five
runs, loop overhead included), goal_ns and a note.
"""

import statistics
import time

import olvex_core

GOAL_NS = 400
CALLS = 200_000
REPEATS = 5


def _median_ns_per_call(setup, calls=CALLS, repeats=REPEATS):
    samples = []
    for _ in range(repeats):
        call, key = setup()
        start = time.perf_counter_ns()
        for _ in range(calls):
            call(key)
        samples.append((time.perf_counter_ns() - start) / calls)
    return statistics.median(samples)


def _backoff_path():
    # No retry limit in reach: every call counts, draws jitter and shifts.
    cm = olvex_core.ConflictManager(max_retries=2**32 - 1)
    return cm.report_conflict, "process-a"


def _holder_path():
    # Default manager once the key holds VIP: the 1 ms answer.
    cm = olvex_core.ConflictManager()
    for _ in range(6):
        cm.report_conflict("process-a")
    return cm.report_conflict, "process-a"


def _blocked_path():
    # Another key holds VIP: the 50 ms answer.
    cm = olvex_core.ConflictManager(max_retries=0)
    cm.report_conflict("holder")
    return cm.report_conflict, "process-b"


def rows():
    cases = [
        ("ConflictManager.report_conflict (backoff)", _backoff_path, "count, jitter draw, shift; new RetryDecision"),
        ("ConflictManager.report_conflict (VIP holder)", _holder_path, "fixed 1 ms answer"),
        ("ConflictManager.report_conflict (blocked)", _blocked_path, "fixed 50 ms answer while another key holds VIP"),
    ]
    return [
        {"name": name, "ns_per_call": float(_median_ns_per_call(setup)), "goal_ns": GOAL_NS, "note": note}
        for name, setup, note in cases
    ]


if __name__ == "__main__":
    for row in rows():
        goal = row["goal_ns"]
        verdict = "" if goal is None else ("ok" if row["ns_per_call"] <= goal else "SLOW")
        print(f"{row['name']:<48} {row['ns_per_call']:8.1f} ns  goal {goal}  {verdict}  {row['note']}")
