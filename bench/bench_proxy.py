"""SupervisorProxy read costs with no transaction current, the costs of
its protocols beside the bare container's, and a container method over a
shadow with the module's own Transaction current."""
import statistics
import sys
import threading
import time
import timeit

import olvex_core
from harness import REPEATS, batch_ns, row

APPEND_GOAL_NS = 600


def ns_per_read(stmt, names, number=200_000):
    """Median over the repeats of one execution of `stmt`, in ns. The
    statement runs inline in timeit's loop, so a plain dict read is a
    baseline worth dividing by (a call per read would dwarf it)."""
    timer = timeit.Timer(stmt, globals=names, timer=time.perf_counter_ns)
    return statistics.median(timer.repeat(REPEATS, number)) / number


class _CountingFinder:
    """Counts import attempts that reach the finders."""

    def __init__(self):
        self.names = []

    def find_spec(self, name, path=None, target=None):
        self.names.append(name)
        return None


def _measure():
    proxy_cls = olvex_core.SupervisorProxy
    plain = {"x": 1, "nested": {"k": 1}}
    p = proxy_cls(plain, "domain")
    names = {"plain": plain, "p": p}
    out = {"dict": ns_per_read("plain['x']", names)}
    out["int"] = ns_per_read("p['x']", names)
    finder = _CountingFinder()
    sys.meta_path.insert(0, finder)
    try:
        out["nested"] = ns_per_read("p['nested']", names)
    finally:
        sys.meta_path.remove(finder)
    out["imports"] = len(finder.names)
    out["attr"] = ns_per_read("p.x", names)
    return out


def _measure_protocols():
    """Protocol costs next to the same operation on the bare container, in
    one run. The byte is 0: protocols pass through whatever it says."""
    proxy_cls = olvex_core.SupervisorProxy
    d = {f"k{i}": i for i in range(10)}
    lst = list(range(1_000))
    names = {"d": d, "d2": dict(d), "p": proxy_cls(d, "domain", capabilities=0),
             "lst": lst, "pl": proxy_cls(lst, "domain.items", capabilities=0)}
    pairs = {
        "len": ("len(d)", "len(p)", 200_000),
        "in": ("'k5' in d", "'k5' in p", 200_000),
        "iter": ("for x in lst: pass", "for x in pl: pass", 2_000),
        "eq": ("d == d2", "p == d2", 200_000),
    }
    return {key: (ns_per_read(bare, names, n), ns_per_read(via, names, n)) for key, (bare, via, n) in pairs.items()}


def protocol_rows():
    m = _measure_protocols()

    def proto_row(name, key, goal, bare_text):
        bare, via = m[key]
        return row(name, via, ratio=via / bare if bare > 0 else None, goal_ratio=goal,
                   note=f"ratio to {bare_text} ({bare:.0f} ns)")

    return [
        proto_row("len(p), 10-key dict, byte 0", "len", 3, "len(d)"),
        proto_row("k in p, 10-key dict, byte 0", "in", 3, "k in d"),
        proto_row("iterate p over a 1,000-element list", "iter", 1.2, "iterating the list"),
        proto_row("p == d2, equal 10-key dicts", "eq", 2, "d == d2"),
    ]


def append_rows():
    """p.append(i) over a shadow list, one delta per call, beside the same
    append on the bare shadow; each batch of 1,000 starts on a fresh
    transaction and list."""
    from olvex_core import OlvexEngine, SupervisorProxy

    names = {"engine": OlvexEngine(), "SupervisorProxy": SupervisorProxy}
    setup = ("i = 1; tx = engine.transaction(); shadow = tx.get_shadow([0], 'domain.items'); "
             "p = SupervisorProxy(shadow, 'domain.items', transaction=tx, is_shadow=True)")
    bare = batch_ns("shadow.append(i)", setup, names)
    via = batch_ns("p.append(i)", setup, names)
    return [
        row("shadow.append(i) on the bare list", bare, note="reference"),
        row("p.append(i) over a shadow, own Transaction current", via, goal_ns=APPEND_GOAL_NS,
            note=f"{via / bare:.0f}x the bare append" if bare > 0 else ""),
    ]


def rows():
    # A new thread has an empty current-transaction slot whatever ran
    # before on this one; the framework's module is kept out of the way so
    # the fallback finds nothing.
    saved = sys.modules.pop("olvex.guards", None)
    box = {}
    try:
        t = threading.Thread(target=lambda: box.update(_measure()))
        t.start()
        t.join()
    finally:
        if saved is not None:
            sys.modules["olvex.guards"] = saved
    dict_ns = box["dict"]

    def ratio(ns):
        return ns / dict_ns if dict_ns > 0 else None

    return [
        row("dict item read (baseline)", dict_ns),
        row("SupervisorProxy item read of an int", box["int"], goal_ns=400, ratio=ratio(box["int"]),
            note=f"ratio to a plain dict read ({dict_ns:.0f} ns)"),
        row("SupervisorProxy item read of a dict (child proxy)", box["nested"], goal_ns=700,
            ratio=ratio(box["nested"]),
            note=f"slot empty, olvex.guards absent; import attempts: {box['imports']}"),
        row("SupervisorProxy attribute read of an int key", box["attr"], ratio=ratio(box["attr"])),
    ] + protocol_rows() + append_rows()
