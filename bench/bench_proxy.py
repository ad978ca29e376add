"""SupervisorProxy read costs with no transaction current."""
import statistics
import sys
import threading
import time
import timeit

import olvex_core
from harness import REPEATS, row


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
    ]
