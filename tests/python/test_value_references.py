"""Every write path stores the very value it was given, holds exactly the
references it should, and gives them all back when its holders go.

The values are fresh instances (never immortal), so a reference missing or
left over shows in sys.getrefcount instead of hiding behind an immortal str
or small int."""
import gc
import sys

import pytest

from olvex_core import ContextGuard, OlvexEngine, State, SupervisorProxy, Transaction
from proxy_support import run_on_thread


class Value:
    pass


VALUE = object()  # stands for the value in the data handed to a write


class Obj:
    pass


def replay(path, root=dict, value_of=lambda v: v, preview=False):
    """The value logged at `path` and replayed by commit() into the buffers
    (or into the preview build_pending_from_deltas() returns)."""

    def write(v):
        tx = Transaction()
        tx.update(data=root())
        tx.log_delta(path, None, value_of(v))
        if preview:
            return tx, tx.build_pending_from_deltas()
        tx.commit()
        return tx

    return write


def update_into(root, items):
    """tx.update(data=root), then tx.update(data=items) with the value in
    place of VALUE."""

    def write(v):
        tx = Transaction()
        tx.update(data=root())
        tx.update(data=substitute(items, v))
        return tx

    return write


def substitute(tree, v):
    if tree is VALUE:
        return v
    if isinstance(tree, dict):
        return {k: substitute(w, v) for k, w in tree.items()}
    return tree


def state_update(**zones):
    def write(v):
        s = State(data={"d": {"old": 1}})
        return s, s.update(**{zone: substitute(items, v) for zone, items in zones.items()})

    return write


def proxy_write(target, act):
    def write(v):
        tx = OlvexEngine().transaction()
        t = target()
        act(SupervisorProxy(t, "domain", transaction=tx), v)
        return tx, t

    return write


def guard_write(act):
    def write(v):
        tx = OlvexEngine().transaction()
        t = {}
        act(ContextGuard(t, [], ["domain"], "domain", tx), v)
        return tx, t

    return write


def cas(**zones):
    def write(v):
        e = OlvexEngine()
        e.compare_and_swap(0, **{zone: substitute(items, v) for zone, items in zones.items()})
        return e

    return write


def wrapped(v):
    return SupervisorProxy(v, "domain")


# (id, the write, where the value is found from what the write returned,
#  the references to the value that the holders keep). A logged value is
# held by the delta log and by what it was replayed into; a State's value
# by its zone alone (a read builds a new dict and keeps nothing); a
# value merged into a dict, by that dict alone; a proxy's list method
# reports the whole list, and a guard's notice keeps no value.
CASES = [
    ("replay into a dict", replay("a.b"), lambda tx: tx.get_shadow_updates()["a"]["b"], 2),
    ("replay into a list item", replay("l[0]", lambda: {"l": [0]}), lambda tx: tx.get_shadow_updates()["l"][0], 2),
    ("replay past a list's end", replay("l[2]", lambda: {"l": []}), lambda tx: tx.get_shadow_updates()["l"][2], 2),
    ("replay into a dict by index", replay("d[0]", lambda: {"d": {}}), lambda tx: tx.get_shadow_updates()["d"]["0"], 2),
    ("replay into heavy", replay("heavy.img"), lambda tx: tx.pending_heavy["img"], 2),
    ("replay onto an object", replay("o.x", lambda: {"o": Obj()}), lambda tx: tx.get_shadow_updates()["o"].x, 2),
    ("replay of a proxy", replay("a", value_of=wrapped), lambda tx: tx.get_shadow_updates()["a"], 2),
    ("replay preview", replay("a.b", preview=True), lambda r: r[1]["a"]["b"], 2),
    ("update merged into a dict", update_into(lambda: {"d": {}}, {"d": {"k": VALUE}}),
     lambda tx: tx.get_shadow_updates()["d"]["k"], 1),
    ("update at a dotted key", update_into(lambda: {"d": {}}, {"d.k": VALUE}),
     lambda tx: tx.get_shadow_updates()["d"]["k"], 1),
    ("update at a dotted list item", update_into(lambda: {"d": {"l": [0]}}, {"d.l[0]": VALUE}),
     lambda tx: tx.get_shadow_updates()["d"]["l"][0], 1),
    ("update past a dotted list's end", update_into(lambda: {"d": {"l": []}}, {"d.l[1]": VALUE}),
     lambda tx: tx.get_shadow_updates()["d"]["l"][1], 1),
    ("State.update of a key", state_update(data={"k": VALUE}), lambda r: r[1].data["k"], 1),
    ("State.update merged into a dict", state_update(data={"d": {"k": VALUE}}), lambda r: r[1].data["d"]["k"], 1),
    ("State.update of heavy", state_update(heavy={"h": VALUE}), lambda r: r[1].heavy["h"], 1),
    ("proxy attribute", proxy_write(dict, lambda p, v: setattr(p, "x", v)), lambda r: r[1]["x"], 2),
    ("proxy item", proxy_write(dict, lambda p, v: p.__setitem__("x", v)), lambda r: r[1]["x"], 2),
    ("proxy list item", proxy_write(lambda: [0], lambda p, v: p.__setitem__(0, v)), lambda r: r[1][0], 2),
    ("proxy append", proxy_write(list, lambda p, v: p.append(v)), lambda r: r[1][0], 1),
    ("proxy insert", proxy_write(list, lambda p, v: p.insert(0, v)), lambda r: r[1][0], 1),
    ("proxy extend", proxy_write(list, lambda p, v: p.extend([v])), lambda r: r[1][0], 1),
    ("proxy update", proxy_write(dict, lambda p, v: p.update({"k": v})), lambda r: r[1]["k"], 2),
    # Its result is a child over a shadow: the shadow cache and the tracked
    # paths keep the original too, and so does the record of what each
    # object of the copy was copied from.
    ("proxy setdefault", proxy_write(dict, lambda p, v: p.setdefault("k", v)), lambda r: r[1]["k"], 5),
    ("guard attribute", guard_write(lambda g, v: setattr(g, "x", v)), lambda r: r[1]["x"], 1),
    ("guard item", guard_write(lambda g, v: g.__setitem__("x", v)), lambda r: r[1]["x"], 1),
    ("guard index item", guard_write(lambda g, v: g.__setitem__(0, v)), lambda r: r[1][0], 1),
    ("guard write of a proxy", guard_write(lambda g, v: setattr(g, "x", wrapped(v))), lambda r: r[1]["x"], 1),
    ("compare-and-swap data", cas(data={"k": VALUE}), lambda e: e.state.data["k"], 1),
    ("compare-and-swap merge", cas(data={"d": {"k": VALUE}}), lambda e: e.state.data["d"]["k"], 1),
    ("compare-and-swap heavy", cas(heavy={"h": VALUE}), lambda e: e.state.heavy["h"], 1),
]


@pytest.mark.parametrize("write, find, held", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_written_values_keep_exact_references(write, find, held):
    v = Value()
    base = sys.getrefcount(v)
    assert base < 100  # a fresh, mortal object
    # On a thread of its own: the thread's current-transaction slot, which
    # a proxy write fills, holds the transaction until the thread ends.
    holders = run_on_thread(write, v)
    assert find(holders) is v
    gc.collect()
    assert sys.getrefcount(v) - base == held
    del holders
    gc.collect()
    assert sys.getrefcount(v) == base
