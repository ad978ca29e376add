"""Read costs against the depth of a path: walking down nested dicts
through child proxies, an int read through a proxy whose path has many
segments, and walking down a chain of plain objects through child guards
with a transaction. Each goal is a ratio of a deep case to a shallow one
measured in the same run: a read should cost the same at every depth."""
import time

import olvex_core
from harness import on_fresh_thread, row, show

PROXY_DEPTHS = (100, 3_200)
PROXY_LEVEL_GOAL = 1.5
SEGMENTS = (1, 64)
SEGMENT_GOAL = 1.5
GUARD_DEPTHS = (10, 80)
GUARD_LEVEL_GOAL = 2
ROUNDS = 5


def _best(fn, rounds=ROUNDS):
    best = None
    for _ in range(rounds):
        t0 = time.perf_counter_ns()
        fn()
        ns = time.perf_counter_ns() - t0
        best = ns if best is None else min(best, ns)
    return best


def _nested(depth):
    node = {"v": 1}
    for _ in range(depth):
        node = {"n": node}
    return node


def _proxy_walk_ns(depth):
    """Per level: from the root proxy down `depth` item reads."""
    top = olvex_core.SupervisorProxy(_nested(depth), "domain")

    def walk():
        p = top
        for _ in range(depth):
            p = p["n"]
        return p

    assert walk()["v"] == 1
    return _best(walk) / depth


def _segment_read_ns(segments, number=20_000):
    # The int read sits at `segments` segments: the proxy at one fewer.
    path = ".".join(f"seg{i}" for i in range(segments - 1))
    p = olvex_core.SupervisorProxy({"k": 1}, path)

    def reads():
        for _ in range(number):
            p["k"]

    return _best(reads) / number


class Node:
    def __init__(self, nxt):
        self.nxt = nxt
        self.v = 1


def _guard_walk_ns(depth):
    """Per level: `depth` attribute reads down a chain of plain objects
    through child guards, from a guard over the transaction's shadow of the
    chain's head (taken before the timing: the one copy of the chain)."""
    head = None
    for _ in range(depth + 1):
        head = Node(head)
    engine = olvex_core.OlvexEngine()
    best = None
    for _ in range(ROUNDS):
        tx = engine.transaction()
        g = olvex_core.ContextGuard(tx.get_shadow(head, "domain"), ["domain"], [], "domain", tx)
        t0 = time.perf_counter_ns()
        for _ in range(depth):
            g = g.nxt
        ns = time.perf_counter_ns() - t0
        assert g.v == 1
        best = ns if best is None else min(best, ns)
    return best / depth


def _measure(out):
    olvex_core.clear_physics_overrides()
    for d in PROXY_DEPTHS:
        out["proxy", d] = _proxy_walk_ns(d)
    for s in SEGMENTS:
        out["segments", s] = _segment_read_ns(s)
    for d in GUARD_DEPTHS:
        out["guard", d] = _guard_walk_ns(d)


def rows():
    out = on_fresh_thread(_measure, {})
    shallow, deep = (out["proxy", d] for d in PROXY_DEPTHS)
    one, many = (out["segments", s] for s in SEGMENTS)
    g_shallow, g_deep = (out["guard", d] for d in GUARD_DEPTHS)
    return [
        row(f"child proxy read per level, walk of {PROXY_DEPTHS[0]} levels", shallow, note="reference"),
        row(f"child proxy read per level, walk of {PROXY_DEPTHS[1]:,} levels", deep, ratio=deep / shallow,
            goal_ratio=PROXY_LEVEL_GOAL, note=f"ratio to {PROXY_DEPTHS[0]} levels"),
        row("proxy int read at 1 segment", one, note="reference"),
        row("proxy int read at 64 segments", many, ratio=many / one, goal_ratio=SEGMENT_GOAL,
            note="ratio to 1 segment"),
        row(f"child guard read per level, walk of {GUARD_DEPTHS[0]} objects over a shadow", g_shallow,
            note="reference"),
        row(f"child guard read per level, walk of {GUARD_DEPTHS[1]} objects over a shadow", g_deep,
            ratio=g_deep / g_shallow, goal_ratio=GUARD_LEVEL_GOAL, note=f"ratio to {GUARD_DEPTHS[0]} objects"),
    ]


if __name__ == "__main__":
    show(rows())
