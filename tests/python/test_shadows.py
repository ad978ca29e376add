"""Transaction.get_shadow and is_known_shadow: one copy per original, heavy
values uncopied, the isolation failure, hostile copies and threads."""
import copy
import sys
import threading
import types

import pytest

from olvex_core import Transaction

ISOLATION = ("Transaction isolation failure: cannot deepcopy object of type '{}' at path {}. "
             "Store non-copyable objects in Heavy Zone instead. Original error: {}")


@pytest.fixture
def tx():
    return Transaction()


class Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)

    def __eq__(self, other):
        return type(other) is Obj and self.__dict__ == other.__dict__


def test_one_shadow_per_original_whatever_the_path(tx):
    d = {"a": {"b": 1}}
    s = tx.get_shadow(d, "domain")
    assert s == d and s is not d and s["a"] is not d["a"]
    assert tx.get_shadow(d, "domain") is s
    assert tx.get_shadow(d, "other") is s
    assert tx.get_shadow(val=d) is s
    s["a"]["b"] = 2
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == ["domain"]  # "other" was never tracked


def test_a_nested_original_gets_a_shadow_of_its_own(tx):
    d = {"a": {"b": 1}}
    outer = tx.get_shadow(d, "domain")
    inner = tx.get_shadow(d["a"], "domain.a")
    assert inner is not outer["a"] and inner == d["a"]


@pytest.mark.parametrize("path", ["heavy.buf", "heavy", "domain.heavy_x", "heavy_img[0]", "a.heavy.b"])
def test_heavy_values_are_handed_out_uncopied(tx, path):
    buf = bytearray(b"data")
    assert tx.get_shadow(buf, path) is buf
    assert tx.is_known_shadow(buf)
    assert tx.get_shadow(buf, "domain") is buf  # the cache answers first
    buf[0] = 0
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == []


@pytest.mark.parametrize("path", ["heavyx", "domain['heavy']", "my_heavy", "Heavy"])
def test_paths_outside_the_heavy_zone_are_copied(tx, path):
    buf = bytearray(b"data")
    assert tx.get_shadow(buf, path) is not buf


def test_without_a_path_nothing_is_tracked(tx):
    d = {"k": [1]}
    s = tx.get_shadow(d)
    assert tx.get_shadow(d, None) is s
    s["k"].append(2)
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == [] and tx.get_shadow_updates() == {}


@pytest.mark.parametrize("value", [5, 2.5, "text", b"raw", None, True, (1, ("a", None)), range(3)],
                         ids=repr)
def test_immutable_values_are_their_own_shadow(tx, value):
    assert tx.get_shadow(value, "domain.v") is value
    assert tx.is_known_shadow(value)
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == []


def test_is_known_shadow(tx):
    d, other = {"a": 1}, {"a": 1}
    s = tx.get_shadow(d, "domain")
    assert tx.is_known_shadow(d) is True
    assert tx.is_known_shadow(obj=s) is False
    assert tx.is_known_shadow(other) is False
    assert Transaction().is_known_shadow(d) is False


def test_objects_get_lock_manager_cleared(tx):
    o = Obj(x=[1], _lock_manager="held")
    s = tx.get_shadow(o, "domain.o")
    assert s is not o and s.x == [1] and s.x is not o.x
    assert s._lock_manager is None and o._lock_manager == "held"


class RefusesLockManager:
    def __init__(self, exc):
        object.__setattr__(self, "exc", exc)

    def __setattr__(self, name, value):
        raise self.exc

    def __deepcopy__(self, memo):
        return RefusesLockManager(self.exc)


class Slotted:
    __slots__ = ("x",)

    def __init__(self):
        self.x = 1


def test_lock_manager_failures(tx):
    assert type(tx.get_shadow(RefusesLockManager(ValueError("no")), "domain.a")) is RefusesLockManager
    assert type(tx.get_shadow(Slotted(), "domain.b")) is Slotted
    stopping = RefusesLockManager(KeyboardInterrupt("stop"))
    with pytest.raises(KeyboardInterrupt):
        tx.get_shadow(stopping, "domain.c")
    assert not tx.is_known_shadow(stopping)


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


class Refuses:
    class Inner(Exception):
        pass

    def __init__(self, exc):
        self.exc = exc

    def __deepcopy__(self, memo):
        raise self.exc


def _generator():
    yield 1


@pytest.mark.parametrize(
    "value, type_name, error",
    [
        ({"lock": threading.Lock()}, "dict", "TypeError: cannot pickle '_thread.lock' object"),
        ([Transaction()], "list", "RuntimeError: Transaction objects cannot be deepcopied. "
                                  "They are transient controllers with scoped lifecycle."),
        (_generator(), "generator", "TypeError: cannot pickle 'generator' object"),
        ({"m": types}, "dict", "TypeError: cannot pickle 'module' object"),
        (Refuses(ValueError("")), "Refuses", "ValueError: "),
        (Refuses(Refuses.Inner("deep")), "Refuses", "Refuses.Inner: deep"),
        (Refuses(Unprintable()), "Refuses", "Unprintable: <exception str() failed>"),
    ],
    ids=["lock", "transaction", "generator", "module", "empty-text", "qualname", "unprintable"],
)
def test_isolation_failure(tx, value, type_name, error):
    with pytest.raises(RuntimeError) as info:
        tx.get_shadow(value, "domain.v")
    assert str(info.value) == ISOLATION.format(type_name, 'Some("domain.v")', error)
    assert info.value.__cause__ is not None
    assert not tx.is_known_shadow(value)
    with pytest.raises(RuntimeError) as info:
        tx.get_shadow(value)  # nothing was cached: the copy is tried again
    assert " at path None. " in str(info.value)


@pytest.mark.parametrize(
    "path, shown",
    [
        ('a"b', r'Some("a\"b")'),
        ("a\\b", r'Some("a\\b")'),
        ("t\tr\rn\n", r'Some("t\tr\rn\n")'),
        ("nul\0", r'Some("nul\0")'),
        ("c\x01\x7f\x9f", r'Some("c\u{1}\u{7f}\u{9f}")'),
        ("é \u2028", 'Some("é \u2028")'),
        ("lone\ud800", 'Some("lone\ud800")'),
        ("", 'Some("")'),
    ],
)
def test_isolation_message_quotes_the_path(tx, path, shown):
    with pytest.raises(RuntimeError) as info:
        tx.get_shadow(Refuses(ValueError("x")), path)
    assert str(info.value) == ISOLATION.format("Refuses", shown, "ValueError: x")


@pytest.mark.parametrize("exc", [KeyboardInterrupt("stop"), SystemExit(2)], ids=lambda e: type(e).__name__)
def test_non_ordinary_copy_failures_propagate_unchanged(tx, exc):
    value = Refuses(exc)
    with pytest.raises(type(exc)) as info:
        tx.get_shadow(value, "domain.v")
    assert info.value is exc
    assert not tx.is_known_shadow(value)


@pytest.mark.parametrize("odd", [None, 5, "text", [1, 2]], ids=repr)
def test_a_copy_returning_odd_objects_is_the_shadow(tx, odd):
    class Odd:
        def __deepcopy__(self, memo):
            return odd

    o = Odd()
    assert tx.get_shadow(o, "domain.o") is odd
    assert tx.get_shadow(o, "domain.o") is odd


def test_a_copy_returning_the_original_infers_nothing(tx):
    class Same:
        def __deepcopy__(self, memo):
            return self

    s = Same()
    assert tx.get_shadow(s, "domain.s") is s
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == []


def test_a_copy_asking_for_its_own_shadow_gets_one_shadow(tx):
    class Asks:
        copies = 0

        def __deepcopy__(self, memo):
            Asks.copies += 1
            if Asks.copies == 1:
                return tx.get_shadow(self, "inner")  # stored first, under "inner"
            return Obj(made=Asks.copies)

    a = Asks()
    first = tx.get_shadow(a, "outer")
    assert first.made == 2 and tx.get_shadow(a) is first
    assert tx.get_shadow_updates() == {}
    tx.log_delta("outer.x", None, 1)
    tx.log_delta("inner.x", None, 1)
    assert list(tx.get_shadow_updates()) == ["inner"]  # only the stored shadow's path was tracked


def test_endless_self_requests_end_in_the_isolation_message(tx):
    class Loops:
        def __deepcopy__(self, memo):
            return tx.get_shadow(self, "loop")

    loops = Loops()
    with pytest.raises(RuntimeError) as info:
        tx.get_shadow(loops, "loop")
    assert str(info.value).startswith(ISOLATION.format("Loops", 'Some("loop")', "")[:60])
    assert "RecursionError" in str(info.value)
    assert not tx.is_known_shadow(loops)
    assert tx.get_shadow({"still": "works"}, "after") == {"still": "works"}


def test_a_copy_may_use_the_transaction(tx):
    class Busy:
        def __deepcopy__(self, memo):
            tx.log_delta("seen", None, 1)
            tx.infer_shadow_deltas()
            tx.commit()
            return Obj(tx_pending=tx.pending_data)

    assert tx.get_shadow(Busy(), "domain.b").tx_pending == {"seen": 1}


def test_the_host_deepcopy_is_honoured(tx, monkeypatch):
    calls = []
    real = copy.deepcopy

    def counting(value, memo=None):
        calls.append(value)
        return real(value, memo)

    monkeypatch.setattr(copy, "deepcopy", counting)
    d = {"a": [1]}
    assert tx.get_shadow(d, "domain") == d
    assert calls == [d]


def test_a_changed_dispatch_is_honoured(tx, monkeypatch):
    marker = []

    def list_copier(x, memo, deepcopy=copy.deepcopy):
        marker.append(x)
        return ["replaced"]

    monkeypatch.setitem(copy._deepcopy_dispatch, list, list_copier)
    assert tx.get_shadow({"a": [1]}, "domain") == {"a": ["replaced"]}
    assert marker == [[1]]


def same_shape(a, b, pairs):
    """a and b are equal, of the same types, and shared or cyclic in the same
    places (pairs maps id(part of a) -> id(part of b))."""
    if type(a) is not type(b):
        return False
    if not isinstance(a, (dict, list, tuple)):
        return a == b
    if id(a) in pairs:
        return pairs[id(a)] == id(b)
    pairs[id(a)] = id(b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_shape(a[k], b[k], pairs) for k in a)
    return len(a) == len(b) and all(same_shape(x, y, pairs) for x, y in zip(a, b))


def _flat():
    return {"n": 1, "s": "x", "f": 0.5, b"k": None, 2: True}


def _shared_flat():
    f = _flat()
    return {"a": f, "b": [f, f], "c": (f,)}


def _many_shared():
    # More containers than a small memo holds, each met twice.
    parts = [{"i": i} for i in range(12)] + [[i] for i in range(12)]
    return {"first": parts, "again": list(reversed(parts)), "ring": parts}


def _cyclic_past_small():
    root = {"items": [{"n": i} for i in range(10)]}
    root["items"].append(root)
    root["back"] = root["items"][3]
    return root


@pytest.mark.parametrize("make", [_flat, _shared_flat, _many_shared, _cyclic_past_small, dict],
                         ids=lambda f: f.__name__)
def test_shadows_are_shaped_as_deepcopy_makes_them(tx, make):
    value = make()
    shadow = tx.get_shadow(value, "domain")
    assert same_shape(copy.deepcopy(value), shadow, {})
    assert same_shape(value, shadow, {})  # the original's shape too, and nothing shared with it
    originals = set(map(id, _containers(value)))
    assert not originals & set(map(id, _containers(shadow)))


def _containers(x, seen=None):
    seen = {} if seen is None else seen
    if isinstance(x, (dict, list)) and id(x) not in seen:
        seen[id(x)] = x
        for item in (x.values() if isinstance(x, dict) else x):
            _containers(item, seen)
    elif isinstance(x, tuple):
        for item in x:
            _containers(item, seen)
    return list(seen.values())


@pytest.mark.parametrize("kind, value, expected", [
    (int, {"a": 1}, {"a": 2}),
    (str, {"a": 1}, {"a!": 1}),
    (type(None), {"a": None}, {"a": "none"}),
    (float, [{"x": 1.5}], [{"x": 3.0}]),
    (dict, {"a": 1}, {"copied": 1}),
], ids=["int", "str key", "None", "nested float", "the dict's own"])
def test_a_changed_scalar_copier_is_honoured_in_flat_dicts(tx, monkeypatch, kind, value, expected):
    changed = {int: lambda x, memo: x + 1, str: lambda x, memo: x + "!",
               type(None): lambda x, memo: "none", float: lambda x, memo: x * 2,
               dict: lambda x, memo: {"copied": len(x)}}[kind]
    monkeypatch.setitem(copy._deepcopy_dispatch, kind, changed)
    assert tx.get_shadow(value, "domain") == expected


def test_a_copy_module_of_a_module_subclass_is_read_through_its_attributes(tx, monkeypatch):
    calls = []

    def counting(value, memo=None):
        calls.append(value)
        return copy.deepcopy(value, memo)

    class HostModule(types.ModuleType):
        deepcopy = property(lambda self: counting)

    host = HostModule("copy")
    host.__dict__["deepcopy"] = copy.deepcopy  # the class's descriptor wins over this
    monkeypatch.setitem(sys.modules, "copy", host)
    d = {"a": [1]}
    assert tx.get_shadow(d, "domain") == d
    assert calls == [d]


def test_a_copy_module_answering_through_getattr_is_used(tx, monkeypatch):
    host = types.ModuleType("copy")
    calls = []
    host.__getattr__ = lambda name: (calls.append(name), copy.deepcopy)[1]
    monkeypatch.setitem(sys.modules, "copy", host)
    assert tx.get_shadow({"a": [1]}, "domain") == {"a": [1]}
    assert calls == ["deepcopy"]


def test_a_failing_copy_import_propagates_unchanged(tx, monkeypatch):
    monkeypatch.setitem(sys.modules, "copy", None)
    with pytest.raises(ImportError):
        tx.get_shadow({"a": 1}, "domain")
    monkeypatch.undo()
    assert tx.get_shadow({"a": 1}, "domain") == {"a": 1}


def test_a_copy_module_without_deepcopy_is_an_isolation_failure(tx, monkeypatch):
    monkeypatch.delattr(copy, "deepcopy")
    with pytest.raises(RuntimeError, match="Original error: AttributeError: "):
        tx.get_shadow({"a": 1}, "domain")


def test_deep_and_cyclic_values(tx):
    deep = []
    for _ in range(200):  # past the native copy's depth: the host copies it
        deep = [deep, {"k": (1, deep)}]
    ring = {"name": "ring"}
    ring["self"] = ring
    ring["pair"] = (ring, [ring])
    for value in (deep, ring):
        s = tx.get_shadow(value, "domain")
        assert s is not value
    s = tx.get_shadow(ring)
    assert s["self"] is s and s["pair"][0] is s and s["pair"][1][0] is s
    d = tx.get_shadow(deep)
    assert d[1]["k"][1] is d[0]


@pytest.mark.parametrize("bad", [1, b"domain", ["domain"]], ids=repr)
def test_path_must_be_text(tx, bad):
    with pytest.raises(TypeError, match="^argument 'path': '.*' object cannot be converted to 'PyString'$"):
        tx.get_shadow({}, bad)


def test_threads_share_one_shadow_per_original():
    tx = Transaction()
    pool = [{"n": i, "items": list(range(i))} for i in range(20)]
    results = [[] for _ in range(8)]
    gate = threading.Barrier(8)

    class Slow:
        def __deepcopy__(self, memo):
            threading.Event().wait(0.001)  # lets the other threads in
            return Slow()

    slow = Slow()

    def body(k):
        gate.wait()
        for _ in range(3):
            for d in pool:
                results[k].append(tx.get_shadow(d, f"domain.p{k}"))
            results[k].append(tx.get_shadow(slow, f"domain.s{k}"))

    threads = [threading.Thread(target=body, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for column in zip(*results):
        assert all(x is column[0] for x in column)
