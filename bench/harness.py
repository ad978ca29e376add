"""Small timing and memory helpers shared by the benchmark modules."""
import ctypes
import statistics
import sys
import threading
import time
import timeit

REPEATS = 5


def ns_per_call(fn, number=200_000, repeats=REPEATS):
    """Median over `repeats` runs of the cost of one fn() call, in ns,
    with the loop's own cost subtracted."""

    def empty():
        pass

    def run(f):
        t0 = time.perf_counter_ns()
        for _ in range(number):
            f()
        return (time.perf_counter_ns() - t0) / number

    base = statistics.median(run(empty) for _ in range(repeats))
    return max(statistics.median(run(fn) for _ in range(repeats)) - base, 0.0)


def batch_ns(stmt, setup, names, number=1_000, repeats=51):
    """Median over fresh setups of one execution of `stmt` in a batch of
    `number`; the setup runs before each batch and is not timed."""
    timer = timeit.Timer(stmt, setup=setup, globals=names, timer=time.perf_counter_ns)
    return statistics.median(timer.repeat(repeats, number)) / number


def on_fresh_thread(measure, out):
    """Runs measure(out) on a new thread, whose current-transaction slot is
    empty, with the framework's module olvex.guards kept out of the way (so
    the fallback finds nothing); returns `out`."""
    saved = sys.modules.pop("olvex.guards", None)
    try:
        t = threading.Thread(target=measure, args=(out,))
        t.start()
        t.join()
    finally:
        if saved is not None:
            sys.modules["olvex.guards"] = saved
    return out


def row(name, ns, goal_ns=None, ratio=None, goal_ratio=None, note=""):
    return {"name": name, "ns_per_call": ns, "goal_ns": goal_ns, "ratio": ratio, "goal_ratio": goal_ratio, "note": note}


def ns_pair(base_fn, fn, number=200_000, rounds=7):
    """(base, cost) in ns per call for a ratio row: the two are timed in
    alternation with an empty call, so a burst of load elsewhere hits all
    alike, and each keeps its fastest round (noise only ever adds time)."""

    def empty():
        pass

    def run(f):
        t0 = time.perf_counter_ns()
        for _ in range(number):
            f()
        return (time.perf_counter_ns() - t0) / number

    loops, base, cost = [], [], []
    for _ in range(rounds):
        loops.append(run(empty))
        base.append(run(base_fn))
        cost.append(run(fn))
    loop = min(loops)
    return max(min(base) - loop, 0.0), max(min(cost) - loop, 0.0)


def show(rows):
    """Prints rows for a benchmark module run on its own."""
    rows = list(rows)
    width = max(len(r["name"]) for r in rows)
    for r in rows:
        extra = "" if r["ratio"] is None else f"  ratio {r['ratio']:.2f}"
        if r.get("goal_ratio") is not None:
            extra += f" (goal <= {r['goal_ratio']})"
        print(f"{r['name']:<{width}} {r['ns_per_call']:12.1f} ns{extra}")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out and not had back."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd
