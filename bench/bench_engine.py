"""Transaction costs: a first and a cached get_shadow, log_delta, and the
commit replay against a Python anchor doing the same steps."""
import copy
import gc
import statistics
import time
import timeit

from harness import REPEATS, row

SHADOW_FIRST_GOAL_NS = 1_000
SHADOW_CACHED_GOAL_NS = 150
LOG_DELTA_GOAL_NS = 200
COMMIT_GOAL_RATIO = 0.5  # of the Python anchor


def sample():
    return {"orders": {"count": 0}, "items": list(range(10))}


def inline_ns(stmt, names, number, setup="pass"):
    """Median ns of one execution of `stmt`, run inline in timeit's loop."""
    timer = timeit.Timer(stmt, setup=setup, globals=names, timer=time.perf_counter_ns)
    return statistics.median(timer.repeat(REPEATS, number)) / number


def first_shadow_ns(engine, d, count=1_000, rounds=11):
    """One get_shadow on each of `count` fresh transactions, made beforehand.
    The collector is off while timing, as timeit has it for the other rows."""
    runs = []
    for _ in range(rounds):
        calls = [tx.get_shadow for tx in (engine.transaction() for _ in range(count))]
        gc.disable()
        try:
            t0 = time.perf_counter_ns()
            for get in calls:
                get(d, "domain")
            t1 = time.perf_counter_ns()
            for get in calls:
                pass
            t2 = time.perf_counter_ns()
        finally:
            gc.enable()
        runs.append(((t1 - t0) - (t2 - t1)) / count)
        del calls
    return statistics.median(runs)


def replay_log():
    log = [(f"domain.k{n}.x", i) for i in range(9) for n in range(100)]
    log += [(f"heavy.b{n}", n) for n in range(100)]
    return log


def anchor(log, data, heavy):
    """The replay's steps in Python: stable sort by length, split at ".",
    the heavy test, a walk creating dicts, the set."""
    for path, value in sorted(log, key=lambda e: len(e[0])):
        parts = path.split(".")
        target = data
        if any(p == "heavy" or p.startswith("heavy_") for p in parts):
            target = heavy
            if parts[0] == "heavy":
                parts = parts[1:]
        for p in parts[:-1]:
            nxt = target.get(p)
            if not isinstance(nxt, dict):
                nxt = target[p] = {}
            target = nxt
        target[parts[-1]] = value


def rows():
    from olvex_core import OlvexEngine

    engine = OlvexEngine()
    d = sample()
    out = []

    first = first_shadow_ns(engine, d)
    deepcopy_ns = inline_ns("deepcopy(d)", {"deepcopy": copy.deepcopy, "d": d}, 20_000)
    out.append(row("copy.deepcopy(d) (reference)", deepcopy_ns))
    out.append(row("Transaction.get_shadow(d, 'domain'), first call", first, goal_ns=SHADOW_FIRST_GOAL_NS,
                   ratio=first / deepcopy_ns, note=f"ratio to copy.deepcopy(d) ({deepcopy_ns:.0f} ns)"))

    tx = engine.transaction()
    get = tx.get_shadow
    get(d, "domain")
    cached = inline_ns("get(d, 'domain')", {"get": get, "d": d}, 200_000)
    out.append(row("Transaction.get_shadow(d, 'domain'), cached", cached, goal_ns=SHADOW_CACHED_GOAL_NS))

    log_ns = inline_ns("log('domain.orders.count', 0, 1)", {"engine": engine}, 10_000,
                       setup="log = engine.transaction().log_delta")
    out.append(row("Transaction.log_delta, batches of 10,000", log_ns, goal_ns=LOG_DELTA_GOAL_NS))

    log = replay_log()
    tx = engine.transaction()
    for path, value in log:
        tx.log_delta(path, None, value)
    commit_ns = inline_ns("commit()", {"commit": tx.commit}, 50)
    anchor_ns = inline_ns("anchor(log, {}, {})", {"anchor": anchor, "log": log}, 50)
    out.append(row("Python anchor: replay of 1,000 deltas", anchor_ns, note="reference"))
    out.append(row("Transaction.commit() replaying 1,000 deltas", commit_ns, ratio=commit_ns / anchor_ns,
                   goal_ratio=COMMIT_GOAL_RATIO, note=f"ratio to the anchor ({commit_ns / 1000:.0f} ns a delta)"))
    return out
