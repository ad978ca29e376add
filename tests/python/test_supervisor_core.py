"""SupervisorCore: a versioned store that hands back the very objects
written, safe under threads and under finalisers that call back into it."""
import gc
import inspect
import threading
import unicodedata
import weakref

import pytest


@pytest.fixture
def store(core):
    return core.SupervisorCore()


class Hostile(str):
    def __eq__(self, other):
        raise AssertionError("__eq__ called")

    def __hash__(self):
        raise AssertionError("__hash__ called")


class OnDel:
    """Runs `action` when released."""

    def __init__(self, action=None):
        self.action = action

    def __del__(self):
        if self.action:
            self.action()


# ---------------------------------------------------------------------------
# Class surface


def test_class_surface(core):
    cls = core.SupervisorCore
    assert cls.__module__ == "olvex_core"
    assert cls.__doc__ == "SupervisorCore - The central state manager using references"
    assert str(inspect.signature(cls)) == "()"
    assert core.__all__[0] == "SupervisorCore"
    assert [n for n in vars(cls) if not n.startswith("_")] == [
        "read", "write", "get_version", "contains", "keys", "remove",
    ]
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        cls().extra = 1
    for args, kwargs in [((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError):
            cls(*args, **kwargs)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("read", "(key)", "Read a value by key - returns reference (zero-copy)"),
        ("write", "(key, val)", "Write a value by key (creates if not exists)"),
        ("get_version", "(key)", "Get version for a key"),
        ("contains", "(key)", "Check if key exists"),
        ("keys", "()", "Get all keys"),
        ("remove", "(key)", "Remove a key"),
    ],
)
def test_method_signatures_and_docs(store, name, signature, doc):
    method = getattr(store, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ == doc


# ---------------------------------------------------------------------------
# Reads, writes, versions


def test_new_store_is_empty(store):
    assert store.keys() == []
    assert store.contains("a") is False
    assert store.read("a") is None and store.get_version("a") is None
    assert store.remove("a") is False


def test_read_returns_the_object_written_and_versions_count_overwrites(store):
    x = {"n": 1}
    assert store.write("a", x) is None
    assert store.read("a") is x
    assert (store.get_version("a"), store.contains("a")) == (0, True)
    store.read("a")["n"] = 2  # a reference, not a copy
    assert x == {"n": 2}
    store.write("a", x)
    store.write(key="a", val=[])
    assert store.get_version("a") == 2 and store.read("a") == []


def test_stored_none_differs_from_absent_only_through_contains(store):
    store.write("a", None)
    assert store.read("a") is None and store.get_version("a") == 0
    assert store.contains("a") and not store.contains("b")


def test_remove_then_write_starts_again(store):
    store.write("a", 1)
    store.write("a", 2)
    assert store.remove("a") is True
    assert not store.contains("a") and store.read("a") is None and store.get_version("a") is None
    assert store.remove("a") is False
    y = object()
    store.write("a", y)
    assert store.read("a") is y and store.get_version("a") == 0


def test_keys_are_new_lists_of_exact_str_in_a_per_store_order(core):
    names = [f"k{i}" for i in range(64)]
    orders = set()
    for _ in range(4):
        s = core.SupervisorCore()
        for n in names:
            s.write(Hostile(n), n)
        keys = s.keys()
        assert sorted(keys) == sorted(names) and all(type(k) is str for k in keys)
        assert s.keys() is not keys
        orders.add(tuple(keys))
    assert len(orders) > 1  # each store hashes with a seed of its own


def test_keys_are_exact_text(store):
    nfc, nfd = "é", unicodedata.normalize("NFD", "é")
    for k in ["a", "a\0", "a\0b", nfc, nfd, "", "\U0001f600"]:
        store.write(k, k)
    assert sorted(store.keys()) == sorted(["a", "a\0", "a\0b", nfc, nfd, "", "\U0001f600"])
    assert store.read("a\0") == "a\0" and store.read(nfd) == nfd and store.read(nfc) == nfc
    store.write(Hostile("a"), "sub")  # the subclass is its text; __eq__/__hash__ never run
    assert store.read("a") == "sub" and store.get_version(Hostile("a")) == 1
    assert store.remove(Hostile("a")) and store.contains(Hostile("a")) is False


@pytest.mark.parametrize("method", ["read", "write", "get_version", "contains", "remove"])
@pytest.mark.parametrize("bad", [1, None, b"a", ("a",)])
def test_non_str_keys_are_refused(store, method, bad):
    store.write("a", 1)
    args = (bad, 2) if method == "write" else (bad,)
    with pytest.raises(TypeError) as e:
        getattr(store, method)(*args)
    assert str(e.value) == f"argument 'key': '{type(bad).__name__}' object cannot be converted to 'PyString'"
    assert store.keys() == ["a"] and store.get_version("a") == 0


def test_lone_surrogate_keys_are_refused(store):
    with pytest.raises(UnicodeEncodeError):
        store.write("\ud800", 1)
    assert store.keys() == []


# ---------------------------------------------------------------------------
# Finalisers that call back in


def test_finaliser_of_a_replaced_value_sees_the_new_one_and_may_write(store):
    seen = []

    def on_replace():
        seen.append(store.read("k"))
        seen.append(store.get_version("k"))
        store.write("k", "from finaliser")
        store.write("other", 1)

    store.write("k", OnDel(on_replace))
    store.write("k", "new")
    assert seen == ["new", 1]
    assert store.read("k") == "from finaliser" and store.get_version("k") == 2
    assert store.read("other") == 1


def test_finaliser_of_a_replaced_value_may_remove_the_key(store):
    store.write("k", OnDel(lambda: store.remove("k")))
    store.write("k", 2)
    assert not store.contains("k")


def test_finaliser_of_a_removed_value_may_write_the_key_back(store):
    store.write("k", OnDel(lambda: store.write("k", "again")))
    assert store.remove("k") is True
    assert store.read("k") == "again" and store.get_version("k") == 0


def test_finaliser_may_drop_the_last_reference_to_the_store(core):
    holder = {"store": core.SupervisorCore()}
    s = holder["store"]
    s.write("k", OnDel(lambda: holder.clear()))
    del s
    holder["store"].write("k", 1)  # the call keeps its store alive until it returns
    assert holder == {}


def test_releasing_a_store_runs_finalisers_that_reach_other_stores(core):
    other = core.SupervisorCore()
    s = core.SupervisorCore()
    for i in range(10):
        s.write(str(i), OnDel(lambda i=i: other.write(str(i), other.read(str(i - 1)))))
    del s
    assert sorted(other.keys(), key=int) == [str(i) for i in range(10)]


# ---------------------------------------------------------------------------
# Cycles and long chains


def test_cycles_through_the_store_are_collected(core):
    class Node:
        pass

    calls = []
    node = Node()
    s = core.SupervisorCore()
    node.store = s
    s.write("self", s)
    s.write("node", node)
    s.write("fin", OnDel(lambda s=s, node=node: calls.append(s.read("node") is node)))
    probe = weakref.ref(node)
    del node, s
    gc.collect()
    assert probe() is None and calls == [True]


def test_releasing_a_long_chain_of_stores(run_python):
    r = run_python(
        "from olvex_core import SupervisorCore\n"
        "s = SupervisorCore()\n"
        "for _ in range(200_000):\n"
        "    t = SupervisorCore(); t.write('next', s); s = t\n"
        "del s, t\n"
        "print('released')\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "released\n"


# ---------------------------------------------------------------------------
# Threads


def test_eight_threads_writing_one_key_count_every_overwrite(store):
    writes = 2000
    seen_versions = []

    def work(t):
        last = -1
        for i in range(writes):
            store.write("shared", (t, i))
            v = store.get_version("shared")
            assert v > last
            last = v
            assert store.read("shared")[1] >= 0
        seen_versions.append(last)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert store.get_version("shared") == 8 * writes - 1
    assert len(seen_versions) == 8 and max(seen_versions) == 8 * writes - 1


def test_threads_with_finalisers_and_removals(store):
    def work(t):
        for i in range(500):
            key = f"k{i % 7}"
            store.write(key, OnDel(lambda: store.read(key)))
            if i % 5 == 0:
                store.remove(key)
            store.keys()

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(store.keys()) <= {f"k{i}" for i in range(7)}
