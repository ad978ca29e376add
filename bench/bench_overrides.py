"""Override lookups through proxy reads: the cost of an int read against
the depth of its path, with the override table empty and holding one entry."""
import time
import timeit

import olvex_core
from harness import REPEATS, on_fresh_thread, row, show

DEPTHS = (1, 8, 64, 512)
ONE_OVERRIDE_GOAL = 1.5  # one registered override over none, at every depth
DEEP_GOAL = 10  # 512 segments over 64 (linear growth)
CHAIN = 300


def _ns(stmt, names, number):
    timer = timeit.Timer(stmt, globals=names, timer=time.perf_counter_ns)
    return min(timer.repeat(3, number)) / number


def _measure(out):
    """The best time of each case, with the table empty and holding one
    entry. All cases are measured in every round, in alternation, so that
    the load of a busy machine hits them alike; the best of several rounds is
    what it disturbs least."""
    cases = {}
    for depth in DEPTHS:
        # The proxy sits at depth-1 segments, so the int it reads is at `depth`.
        path = ".".join(f"seg{i}" for i in range(depth - 1))
        p = olvex_core.SupervisorProxy({"k": 1}, path)
        cases[depth] = ("p['k']", {"p": p}, 2_000 if depth > 64 else 50_000, 1)

    # Reading down a chain of child proxies, one dict level at a time.
    leaf = node = {}
    for _ in range(CHAIN):
        node = {"n": node}
    top = olvex_core.SupervisorProxy(node, "root")

    def walk():
        p = top
        for _ in range(CHAIN):
            p = p["n"]
        return p

    assert walk().supervisor_target is leaf
    cases["chain"] = ("walk()", {"walk": walk}, 20, CHAIN)

    best = {}
    for _ in range(REPEATS):
        for key, (stmt, names, number, per) in cases.items():
            for k, fill in enumerate((olvex_core.clear_physics_overrides,
                                      lambda: olvex_core.register_physics_override("elsewhere.x", 1))):
                fill()
                ns = _ns(stmt, names, number) / per
                best[key, k] = min(best.get((key, k), ns), ns)
    olvex_core.clear_physics_overrides()
    for key in cases:
        out[key] = (best[key, 0], best[key, 1])


def rows():
    out = on_fresh_thread(_measure, {})
    result = []
    for d in DEPTHS:
        none, one = out[d]
        result.append(row(f"proxy int read at {d} segments, no override", none))
        result.append(row(f"proxy int read at {d} segments, 1 override", one, ratio=one / none,
                          goal_ratio=ONE_OVERRIDE_GOAL, note="ratio to no override"))
    for k, label in enumerate(("no override", "1 override")):
        result.append(row(f"proxy int read 512 vs 64 segments, {label}", out[512][k],
                          ratio=out[512][k] / out[64][k], goal_ratio=DEEP_GOAL, note="ratio to 64 segments"))
    none, one = out["chain"]
    result.append(row(f"child proxy read down a {CHAIN}-level chain, per level, no override", none))
    result.append(row(f"child proxy read down a {CHAIN}-level chain, per level, 1 override", one,
                      ratio=one / none, goal_ratio=ONE_OVERRIDE_GOAL, note="ratio to no override"))
    return result


if __name__ == "__main__":
    show(rows())
