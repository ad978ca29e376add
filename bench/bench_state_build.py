"""State construction from a dict and the `data` view, per key, beside
copying the dict in the same run."""
import gc
import time

from harness import row, show

BUILD_SIZES = (10_000, 1_000_000)
# Half of what a construction cost per key before it took the bulk build
# (inserting one by one: about 460 ns at 10,000 keys and 1,870 ns at
# 1,000,000, best of several rounds, on the machine the goal was set on).
BUILD_GOAL_NS = {10_000: 230, 1_000_000: 935}
VIEW_SIZES = (1_000, 1_000_000)
# s.data per key over dict(zip(keys, values)) of the same objects: every
# read builds its dict, so a dict build is the reference, as for the first read.
VIEW_GOAL = 2.0
ZIP_BUILD_SIZE = 300_000
ZIP_BUILD_GOAL = 4.0  # State(data=d) per key over dict(zip(keys, values)) per key
FIRST_READ_SIZE = 1_000_000
FIRST_READ_GOAL = 2.0  # the first s.data of a new State over dict(zip(keys, values))


def _per_key(fn, n, rounds):
    """The best of `rounds` timings of fn(), per key, with the collector off
    (its passes over a million fresh objects would swamp the figure)."""
    best = float("inf")
    gc.disable()
    try:
        for _ in range(rounds):
            t0 = time.perf_counter_ns()
            result = fn()
            best = min(best, time.perf_counter_ns() - t0)
            del result
    finally:
        gc.enable()
    return best / n


def _data(n):
    return {f"key{i}": i for i in range(n)}


def rows():
    from olvex_core import State

    out = []
    for n in BUILD_SIZES:
        d = _data(n)
        rounds = 7 if n >= 1_000_000 else 200
        copy_ns = _per_key(lambda: dict(d), n, rounds)
        build_ns = _per_key(lambda: State(data=d), n, rounds)
        out.append(row(f"State(data=d) per key, N={n:,}", build_ns, goal_ns=BUILD_GOAL_NS[n],
                       ratio=build_ns / copy_ns, note=f"ratio to dict(d) per key ({copy_ns:.0f} ns)"))
    for n in VIEW_SIZES:
        d = _data(n)
        s = State(data=d)
        rounds = 7 if n >= 1_000_000 else 200
        keys, values = list(d), list(d.values())
        first_ns = _per_key(lambda: s.data, n, 1)
        zip_ns = _per_key(lambda: dict(zip(keys, values)), n, rounds)
        view_ns = _per_key(lambda: s.data, n, rounds)
        out.append(row(f"State.data per key, N={n:,}", view_ns, ratio=view_ns / zip_ns, goal_ratio=VIEW_GOAL,
                       note=f"ratio to dict(zip(keys, values)) per key ({zip_ns:.0f} ns); first read {first_ns:.0f} ns"))
    out.append(_zip_build_row(State))
    out.append(_first_read_row(State))
    return out


def _zip_build_row(State):
    n = ZIP_BUILD_SIZE
    keys = [f"key{i}" for i in range(n)]
    values = [object() for _ in range(n)]
    d = dict(zip(keys, values))
    zip_ns = _per_key(lambda: dict(zip(keys, values)), n, 20)
    build_ns = _per_key(lambda: State(data=d), n, 20)
    return row(f"State(data=d) per key vs dict(zip), N={n:,}", build_ns, ratio=build_ns / zip_ns,
               goal_ratio=ZIP_BUILD_GOAL, note=f"ratio to dict(zip(keys, values)) per key ({zip_ns:.0f} ns)")


def _first_read_row(State):
    """The first `.data` of each of a few new States, against building a
    dict from the same key and value objects, in alternation."""
    n = FIRST_READ_SIZE
    keys = [f"key{i}" for i in range(n)]
    values = [object() for _ in range(n)]
    d = dict(zip(keys, values))
    zip_ns = read_ns = float("inf")
    for _ in range(3):
        zip_ns = min(zip_ns, _per_key(lambda: dict(zip(keys, values)), n, 1))
        s = State(data=d)
        read_ns = min(read_ns, _per_key(lambda: s.data, n, 1))
        del s
    return row(f"State.data first read per key, N={n:,}", read_ns, ratio=read_ns / zip_ns,
               goal_ratio=FIRST_READ_GOAL, note=f"ratio to dict(zip(keys, values)) per key ({zip_ns:.0f} ns)")


if __name__ == "__main__":
    show(rows())
