"""Helpers for the SupervisorProxy tests: duck-typed transactions, probes
for the calling thread's current transaction, a stand-in for the
framework's olvex.guards module, fresh threads, and proxies that nest
without end.

The current-transaction slot is per thread and nothing ever clears it, so a
test that sets it, or needs it empty, runs its body on a thread of its own.
"""
import contextlib
import contextvars
import copy
import functools
import sys
import threading
import types

import olvex_core

SupervisorProxy = olvex_core.SupervisorProxy


class TaggedDict(dict):
    """A shadow copy that remembers which transaction made it."""


class TaggedList(list):
    __slots__ = ("by",)


class FakeTx:
    """Anything with get_shadow and log_delta serves as a transaction."""

    def __init__(self, name="tx", fail=None):
        self.name = name
        self.fail = fail
        self.calls = []  # (value, path, shadow)
        self.deltas = []

    def get_shadow(self, value, path):
        if self.fail is not None:
            self.calls.append((value, path, None))
            raise self.fail
        if isinstance(value, dict):
            shadow = TaggedDict(copy.deepcopy(dict(value)))
            shadow.by = self.name
        elif isinstance(value, list):
            shadow = TaggedList(copy.deepcopy(list(value)))
            shadow.by = self.name
        else:
            shadow = copy.copy(value)
        self.calls.append((value, path, shadow))
        return shadow

    def log_delta(self, path, old, new):
        self.deltas.append((path, old, new))

    @property
    def paths(self):
        return [path for _, path, _ in self.calls]


def current_tx_name():
    """Name of the transaction a read on this thread finds, or None."""
    child = SupervisorProxy({"probe": {}})["probe"]
    return getattr(child.supervisor_target, "by", None)


def current_tx_among(*txs):
    """Which of the module's own transactions a read on this thread finds
    (each shadows the probe when current), or None."""
    probe = {}
    SupervisorProxy({"probe": probe})["probe"]
    found = [tx for tx in txs if tx.is_known_shadow(probe)]
    assert len(found) <= 1
    return found[0] if found else None


_MISSING = object()


@contextlib.contextmanager
def guards_module():
    """A stand-in for the framework's olvex.guards module and its context
    variable, in sys.modules for the length of the block."""
    saved = sys.modules.pop("olvex.guards", _MISSING)
    mod = types.ModuleType("olvex.guards")
    mod._current_tx = contextvars.ContextVar("_current_tx", default=None)
    sys.modules["olvex.guards"] = mod
    try:
        yield mod
    finally:
        sys.modules.pop("olvex.guards", None)
        if saved is not _MISSING:
            sys.modules["olvex.guards"] = saved


def run_on_thread(fn, *args, **kwargs):
    box = {}

    def body():
        try:
            box["result"] = fn(*args, **kwargs)
        except BaseException as e:  # handed back to the caller's thread
            box["error"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box.get("result")


def on_fresh_thread(fn):
    """Runs a test body on a new thread (its slot starts empty and dies with it)."""

    @functools.wraps(fn)
    def run(*args, **kwargs):
        return run_on_thread(fn, *args, **kwargs)

    return run


def proxy_chain(depth=100_000):
    """A proxy over a proxy over ... over {"a": 1}."""
    p = {"a": 1}
    for _ in range(depth):
        p = SupervisorProxy(p)
    return p


def self_wrapped():
    """A proxy made to wrap itself."""
    p = SupervisorProxy(None)
    p.__setstate__((p, "", False))
    return p
