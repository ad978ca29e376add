"""State: the class, construction, the views, the meta log, restrict_view,
the read-only proxies, immutability, subclassing and cycle collection.
update() is in test_state_update.py."""
import gc
import inspect
import sys
import threading
import weakref

import pytest

import olvex_core
from olvex_core import FrozenDict, MetaLogEntry, SignalHub, State, SupervisorProxy


def test_class_shape():
    assert State.__module__ == "builtins" and State.__name__ == "State"
    assert State.__doc__ == "Olvex v3 Immutable State"
    assert str(inspect.signature(State)) == "(data=None, heavy=None, signal=None, version=1, meta_capacity=1000)"
    docs = {
        "update": ("(data=None, heavy=None, signal=None)", None),
        "log_meta": ("(key, message)", "Log a system event to the Meta Zone Ring Buffer."),
        "get_meta_logs": ("()", "Retrieve persistent meta logs (shared across state versions)."),
        "restrict_view": ("()", None),
        "domain_proxy": (
            "(read_only=None)",
            "v3.1: Returns domain wrapped in SupervisorProxy (preserves PyObject idiomatics)",
        ),
    }
    for name, (sig, doc) in docs.items():
        method = getattr(State(), name)
        assert str(inspect.signature(method)) == sig, name
        assert method.__doc__ == doc, name
    props = ["version", "data", "heavy", "signal", "signals", "domain", "global", "meta"]
    assert [n for n in vars(State) if n in props] == props
    assert all(vars(State)[n].__doc__ is None for n in props)
    s = State()
    assert not hasattr(s, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(s)


def test_defaults():
    s = State()
    assert s.version == 1
    assert s.data == {} and s.heavy == {} and s.signals == {}
    assert s.get_meta_logs() == [] and s.meta == []
    assert State(version=0).version == 0
    assert State(version=2**64 - 1).version == 2**64 - 1
    assert State(signal=[{"go": 1}]).signals == {}  # accepted, not used


def test_zones_hold_the_callers_objects():
    d, h = {"x": [1]}, object()
    s = State(data={"a": d, "b": 2}, heavy={"h": h})
    first, second = s.data, s.data
    assert type(first) is FrozenDict and first is not second
    assert first.to_dict() is not second.to_dict() and first == second
    assert first["a"] is d and s.heavy["h"] is h
    assert sorted(first.keys()) == ["a", "b"]
    # A view's dict is the caller's to change; the state is not affected.
    first.to_dict()["c"] = 3
    assert "c" not in s.data


def test_a_read_leaves_nothing_held_by_the_state():
    # Whatever a read builds dies with its view.
    value, big = object(), object()
    s = State(data={"a": value}, heavy={"h": big})
    held = sys.getrefcount(value), sys.getrefcount(big)
    for _ in range(2):
        s.data, s.heavy
    assert (sys.getrefcount(value), sys.getrefcount(big)) == held


def test_every_state_views_its_own_zones():
    # Views read before an update or a restricted view show only what their
    # own State holds, before and after.
    s = State(data={"a": 1}, heavy={"h": 1})
    assert s.data == {"a": 1} and s.heavy == {"h": 1}
    child = s.update(data={"b": 2}, heavy={"h": 2})
    view = s.restrict_view()
    assert child.data == {"a": 1, "b": 2} and child.heavy == {"h": 2}
    assert view.data == {"a": 1} and view.heavy == {"h": 1}
    assert s.data == {"a": 1} and s.heavy == {"h": 1}
    assert child.update(data={"a": 3}).data == {"a": 3, "b": 2}


def test_keys_of_str_subclasses_come_back_as_plain_str():
    class Name(str):
        pass

    s = State(data={Name("a"): 1})
    [key] = s.data.keys()
    assert type(key) is str and key == "a"
    child = s.update(data={Name("b"): 2}, heavy={Name("h"): 3})
    assert [type(k) for k in child.data.keys()] == [str, str] and sorted(child.data.keys()) == ["a", "b"]
    [key] = child.heavy.keys()
    assert type(key) is str and key == "h"


@pytest.mark.parametrize("text", ["plain", "ünïcode ✓", ""])
def test_a_key_is_the_same_key_whichever_str_names_it(text):
    class Name(str):
        pass

    s = State(data={Name(text): 1}, heavy={text: 1})
    child = s.update(data={text: 2}, heavy={Name(text): 3})
    assert child.data == {text: 2} and child.heavy == {text: 3}
    assert s.data == {text: 1} and s.heavy == {text: 1}
    assert [type(k) for k in child.data.keys()] == [str]


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"data": [1]}, TypeError, "'list' object cannot be converted to 'PyDict'"),
        ({"heavy": "x"}, TypeError, "'str' object cannot be converted to 'PyDict'"),
        ({"data": {1: 2}}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"heavy": {"ok": 1, (1,): 2}}, TypeError, "'tuple' object cannot be converted to 'PyString'"),
        ({"data": {"\ud800": 1}}, UnicodeEncodeError, None),
        ({"version": -1}, OverflowError, None),
        ({"version": 2**64}, OverflowError, None),
        ({"version": "1"}, TypeError, "argument 'version': "),
        ({"version": None}, TypeError, "argument 'version': "),
        ({"meta_capacity": -1}, OverflowError, None),
        ({"meta_capacity": 1.5}, TypeError, "argument 'meta_capacity': "),
        ({"colour": 1}, TypeError, "State.__new__() got an unexpected keyword argument 'colour'"),
    ],
)
def test_construction_errors(kwargs, exc, message):
    with pytest.raises(exc) as e:
        State(**kwargs)
    if message:
        assert str(e.value).startswith(message)
    if exc is OverflowError:
        assert "argument" not in str(e.value)


def test_version_accepts_index_objects():
    class Seven:
        def __index__(self):
            return 7

    assert State(version=Seven()).version == 7


def test_a_nested_non_str_key_is_accepted_at_construction():
    assert State(data={"a": {1: 2}}).data["a"] == {1: 2}


@pytest.mark.parametrize("capacity, exc", [(2**55, MemoryError), (2**60, OverflowError), (2**64 - 1, OverflowError)])
def test_meta_capacity_that_cannot_be_reserved_is_refused(capacity, exc):
    with pytest.raises(exc):
        State(meta_capacity=capacity)


def test_meta_log_ring_and_lineage():
    s = State(meta_capacity=2)
    a = s.update()
    b = a.update()
    c = b.update()
    msgs = [e.message for e in s.get_meta_logs()]
    assert msgs == ["State updated to version 3", "State updated to version 4"]
    # Every member of the lineage reads the same ring.
    for member in (s, a, b, c, c.restrict_view()):
        assert [e.message for e in member.meta] == msgs
    assert State().get_meta_logs() == []  # a constructed state has a ring of its own
    quiet = State(meta_capacity=0)
    quiet.update().log_meta("k", "m")
    assert quiet.meta == []


def test_meta_entries_are_independent_copies():
    s = State()
    s.log_meta("boot", "hello")
    first = s.get_meta_logs()
    s.log_meta("boot", "again")
    second = s.meta
    assert len(first) == 1 and len(second) == 2
    assert all(type(e) is MetaLogEntry for e in second)
    assert first[0] is not second[0]
    assert (second[0].key, second[0].message) == ("boot", "hello")
    assert isinstance(second[0].timestamp, float) and second[0].timestamp > 1e9
    assert repr(second[1]).startswith("MetaLogEntry(time=") and repr(second[1]).endswith(", key=boot, msg=again)")


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((1, "m"), TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"),
        (("k", None), TypeError, "argument 'message': 'NoneType' object cannot be converted to 'PyString'"),
        (("k",), TypeError, "State.log_meta() missing 1 required positional argument: 'message'"),
        (("\udc80", "m"), UnicodeEncodeError, None),
    ],
)
def test_log_meta_errors_append_nothing(args, exc, message):
    s = State()
    with pytest.raises(exc) as e:
        s.log_meta(*args)
    if message:
        assert str(e.value) == message
    assert s.meta == []


def test_log_meta_keeps_text_as_given():
    s = State()
    assert s.log_meta(key="k\x00y", message="line\nnext ü") is None
    [e] = s.meta
    assert (e.key, e.message) == ("k\x00y", "line\nnext ü")


def test_concurrent_appends_all_land():
    s = State(meta_capacity=10_000)

    def work(i):
        for j in range(200):
            s.log_meta(f"t{i}", str(j))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    logs = s.meta
    assert len(logs) == 800
    for i in range(4):  # each thread's entries in its own order
        assert [e.message for e in logs if e.key == f"t{i}"] == [str(j) for j in range(200)]


def test_signal_property_is_a_hub_on_the_lineage_channel():
    s = State()
    hub = s.signal
    assert type(hub) is SignalHub and hub is not s.signal
    rx = hub.subscribe()
    assert s.signal.publish("hello") == 1
    assert rx.recv() == "hello"
    s.update(signal={"go": 1})
    assert rx.recv() == "go:1"


def test_lineage_channel_closes_when_its_states_and_hubs_are_gone():
    rx = State().update().signal.subscribe()
    gc.collect()
    with pytest.raises(StopAsyncIteration, match="Channel Closed"):
        rx.recv()


def test_restrict_view_shares_the_ring_but_not_the_hub():
    s = State(data={"a": 1}, version=5).update(signal={"go": "x"})
    view = s.restrict_view()
    assert type(view) is State
    assert view.version == s.version == 6
    assert view.data == s.data and view.data["a"] == 1 and view.signals == {"go": "x"}
    on_lineage = s.signal.subscribe()
    on_view = view.signal.subscribe()
    view.update(signal={"v": 1})
    s.update(signal={"s": 1})
    assert on_lineage.recv() == "s:1"
    assert on_view.recv() == "v:1"
    assert s.signal.publish("x") == 1  # only on_lineage listens on the lineage's channel
    # The view's meta-log entries go to the shared ring.
    view.log_meta("view", "entry")
    assert s.meta[-1].key == "view"


@pytest.mark.parametrize("root", ["domain", "global"])
def test_root_proxies(root):
    target = {"x": {"y": 1}}
    s = State(data={root: target})
    p = getattr(s, root)
    assert type(p) is SupervisorProxy
    assert p.supervisor_target is target
    assert p.path() == root and p.capabilities == 1 and p.read_only is True
    assert p["x"]["y"] == 1
    assert getattr(s, root) is not p
    assert getattr(State(), root) is None
    assert getattr(State(heavy={root: target}), root) is None  # data zone only


def test_domain_proxy_read_only_argument():
    target = {"x": 1}
    s = State(data={"domain": target})
    for given, expected in [((), True), ((None,), True), ((True,), True), ((False,), False)]:
        p = s.domain_proxy(*given)
        assert p.read_only is expected and p.capabilities == 1 and p.supervisor_target is target
    assert s.domain_proxy(read_only=False).read_only is False
    assert State().domain_proxy(read_only=False) is None
    for bad in (0, 1, "yes"):
        with pytest.raises(TypeError) as e:
            s.domain_proxy(read_only=bad)
        assert str(e.value) == f"argument 'read_only': '{type(bad).__name__}' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_domain_proxy_accepts_numpy_bool_scalars(name):
    # Stands in for numpy.bool_ (NumPy 1) and numpy.bool (NumPy 2): only the
    # type's module and name and its truth value are used.
    fake = type(name, (), {"__module__": "numpy", "__bool__": lambda self: self.v})

    def scalar(v):
        o = fake()
        o.v = v
        return o

    s = State(data={"domain": {}})
    assert s.domain_proxy(scalar(False)).read_only is False
    assert s.domain_proxy(scalar(True)).read_only is True
    impostor = type(name, (), {"__module__": "not_numpy"})
    with pytest.raises(TypeError, match="'PyBool'"):
        s.domain_proxy(impostor())


@pytest.mark.parametrize("name", ["x", "version", "data", "update"])
def test_attribute_assignment_is_refused(name):
    s = State()
    with pytest.raises(olvex_core.ContextError) as e:
        setattr(s, name, 1)
    assert str(e.value) == "State is Immutable. Use .update() to create a new version."
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(s, name)
    assert s.version == 1


def test_subclasses():
    class Sub(State):
        def __init__(self, *args, **kwargs):
            pass

        def extra(self):
            return self.version * 10

    s = Sub(data={"a": 1}, version=3)
    assert type(s) is Sub and s.extra() == 30 and s.data["a"] == 1
    assert type(s.update()) is State and type(s.restrict_view()) is State
    assert s.update().version == 4
    with pytest.raises(olvex_core.ContextError):
        s.note = 1
    with pytest.raises(AttributeError):
        del s.note


class Node:
    pass


@pytest.mark.parametrize("views_read", [False, True])
def test_cycle_through_a_state_is_collected(views_read):
    n = Node()
    s = State(data={"n": n}, heavy={"n": n})
    if views_read:  # the first reads build the dicts that later reads copy
        assert s.data["n"] is n and s.heavy["n"] is n
    n.state = s
    alive = weakref.ref(n)
    del n, s
    gc.collect()
    assert alive() is None


def test_cycle_through_a_subclass_instance_is_collected():
    class Sub(State):
        pass

    n = Node()
    n.state = Sub(heavy={"n": n})
    alive = weakref.ref(n)
    del n
    gc.collect()
    assert alive() is None


def test_collector_never_frees_what_shared_versions_hold():
    # Two versions share the map node that holds `kept`; were each to report
    # it, the collector would count two references where there is one and
    # clear a list still in use.
    kept = [1, 2, 3]
    parent = State(data={"kept": kept})
    child = parent.update()
    loop = [parent, child]
    loop.append(loop)
    del parent, child, loop
    gc.collect()
    assert kept == [1, 2, 3]


def test_last_version_alive_reports_everything_again():
    n = Node()
    parent = State(data={"n": n})
    child = parent.update(data={"other": 1})
    n.state = child
    alive = weakref.ref(n)
    del parent, n, child
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize(
    "build",
    [
        "s = State()\n"
        "for _ in range(200_000):\n"
        "    s = State(data={'prev': s}).update(data={'n': 1})\n",
        "s = None\n"
        "for _ in range(200_000):\n"
        "    s = OutboxMsg('t', s)\n",
        # Links of every kind in one chain, each release queuing the others.
        "s = None\n"
        "for _ in range(70_000):\n"
        "    s = SupervisorProxy(State(data={'prev': OutboxMsg('t', s)}))\n",
    ],
    ids=["states", "outbox-messages", "mixed"],
)
def test_releasing_a_long_chain(run_python, build):
    r = run_python(
        "from olvex_core import OutboxMsg, State, SupervisorProxy\n"
        + build
        + "del s\n"
        "print('released')\n",
        timeout=300,  # building 200,000 States takes over a minute under the sanitizers
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "released\n"
