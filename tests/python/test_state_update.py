"""State.update: the next version, copy-on-write merges, the meta-log line,
signal broadcasts, and what survives a failure."""
import sys

import pytest

from olvex_core import State, SupervisorProxy


def entries(state):
    return [(e.key, e.message) for e in state.meta]


def test_update_without_arguments():
    d = {"x": 1}
    parent = State(data={"a": d}, version=4)
    child = parent.update()
    assert type(child) is State and child.version == 5 and parent.version == 4
    assert child.data["a"] is d and child.signals == {}
    assert entries(parent) == [("state_update", "State updated to version 5")]
    assert parent.update(None, None, None).version == 5  # explicit None: not given


def test_nested_merge_copies_only_the_merged_path():
    c = {"deep": [1]}
    old_a = {"b": 0, "c": c}
    parent = State(data={"a": old_a, "z": 1})
    child = parent.update(data={"a": {"b": 1}})
    new_a = child.data["a"]
    assert new_a == {"b": 1, "c": c} and new_a is not old_a and new_a["c"] is c
    assert old_a == {"b": 0, "c": c} and parent.data["a"] is old_a
    assert child.data["z"] == 1


def test_deeper_merge_keeps_siblings():
    parent = State(data={"a": {"b": {"c": 0, "d": 1}, "e": 2}})
    child = parent.update(data={"a": {"b": {"c": 5}}})
    assert child.data["a"] == {"b": {"c": 5, "d": 1}, "e": 2}
    assert parent.data["a"] == {"b": {"c": 0, "d": 1}, "e": 2}


def test_dict_over_a_non_dict_is_a_shallow_copy_and_a_new_key_is_stored_as_is():
    inner = [1]
    d = {"k": inner}
    child = State(data={"a": [1, 2]}).update(data={"a": d, "new": d})
    assert child.data["a"] == d and child.data["a"] is not d and child.data["a"]["k"] is inner
    assert child.data["new"] is d


@pytest.mark.parametrize(
    "old, new, expected",
    [
        ({"l": [1, 2]}, {"l": [3]}, {"l": [3]}),  # lists replace whole
        ({"l": {"x": 1}}, {"l": None}, {"l": None}),  # None replaces like any value
        ({"l": {"x": 1}}, {"l": (1,)}, {"l": (1,)}),
        ({"l": 5}, {"l": {"x": 1}}, {"l": {"x": 1}}),
        # Keys two levels down may be of any hashable type.
        ({"s": {1: {"x": 1}}}, {"s": {1: {"y": 2}}}, {"s": {1: {"x": 1, "y": 2}}}),
    ],
)
def test_merge_rules_below_the_top(old, new, expected):
    child = State(data={"a": old}).update(data={"a": new})
    assert child.data["a"] == expected


def test_non_dict_replaces_whole_and_merge_results_are_plain_dicts():
    class Tagged(dict):
        pass

    s = State(data={"a": {"x": 1}, "b": Tagged(x=1)})
    child = s.update(data={"a": 7, "b": Tagged(y=2)})
    assert child.data["a"] == 7
    assert type(child.data["b"]) is dict and child.data["b"] == {"x": 1, "y": 2}


class Sub(dict):
    pass


OLD_KEY = "".join(["ke", "y"])  # built at run time: equal to NEW_KEY, another object
NEW_KEY = "".join(["k", "ey"])
INNER = {"i": 0}


@pytest.mark.parametrize(
    "new, items",
    [
        # Same key objects in the same order: every value replaced.
        ({"b": 3, OLD_KEY: 4}, [("b", 3), (OLD_KEY, 4)]),
        (Sub({"b": 3, OLD_KEY: 4}), [("b", 3), (OLD_KEY, 4)]),
        # Equal keys that are other objects: the stored key objects stay.
        ({"b": 3, NEW_KEY: 4}, [("b", 3), (OLD_KEY, 4)]),
        # Another order: the old order stays.
        ({OLD_KEY: 4, "b": 3}, [("b", 3), (OLD_KEY, 4)]),
        # Two dicts under one key still merge.
        ({"b": {"j": 1}, OLD_KEY: 4}, [("b", {"i": 0, "j": 1}), (OLD_KEY, 4)]),
    ],
)
def test_a_merge_over_the_same_keys_keeps_the_stored_keys_and_their_order(new, items):
    old = {"b": INNER, OLD_KEY: 2}
    child = State(data={"a": {"s": old}}).update(data={"a": {"s": new}})
    merged = child.data["a"]["s"]
    assert type(merged) is dict and merged is not new and merged is not old
    assert [(k, v) for k, v in merged.items()] == items
    assert [k for k in merged][1] is OLD_KEY
    assert old == {"b": INNER, OLD_KEY: 2} and INNER == {"i": 0}

class StrSub(str):
    pass


def merged_as_python(old, new):
    out = dict(old)
    for k, v in new.items():
        current = out.get(k)
        out[k] = merged_as_python(current, v) if type(current) is dict and type(v) is dict else v
    return out


TEN = {f"k{i}": i for i in range(10)}


@pytest.mark.parametrize(
    "old, new",
    [
        # The same key and value objects in another order: nothing to write.
        ({"b": INNER, OLD_KEY: 2, "c": 3}, {"c": 3, OLD_KEY: 2, "b": INNER}),
        # Equal keys that are other objects, in another order, one dict to merge.
        ({"b": INNER, OLD_KEY: 2}, {NEW_KEY: 5, "b": {"j": 1}}),
        # A str subclass key, and a key the old dict lacks.
        ({"b": INNER, OLD_KEY: 2}, {StrSub(OLD_KEY): 7, "new": 8}),
        # A key of another type in the old dict, or more keys than are scanned.
        ({1: 1, "b": INNER, OLD_KEY: 2}, {OLD_KEY: 3, "b": 4}),
        (TEN, dict(reversed([(k, v + 1) for k, v in TEN.items()]))),
    ],
)
def test_a_merge_keeps_the_stored_keys_and_shares_the_values_it_takes(old, new):
    before = dict(old)
    merged = State(data={"a": {"s": old}}).update(data={"a": {"s": new}}).data["a"]["s"]
    expected = merged_as_python(old, new)
    assert type(merged) is dict and merged is not old and merged == expected
    assert [type(k) for k in merged] == [type(k) for k in expected]
    for (k, v), (ek, ev) in zip(merged.items(), expected.items()):
        assert k is ek
        assert v is ev or (type(v) is dict and v == ev and v is not new.get(k))
    assert old == before and INNER == {"i": 0}


@pytest.mark.parametrize("value, expected", [(5, 5), ({"y": 2}, {"x": 1, "y": 2})])
def test_a_key_with_python_hashing_is_looked_up_before_it_is_written(value, expected):
    calls = []

    class Key:
        def __hash__(self):
            calls.append("hash")
            return 1

    key = Key()
    s = State(data={"a": {"s": {key: {"x": 1}}}})  # keys two levels down may be of any type
    incoming = {"a": {"s": {key: value}}}
    calls.clear()
    child = s.update(data=incoming)
    assert calls == ["hash", "hash"]  # the lookup, then the write
    assert child.data["a"]["s"][key] == expected


def test_heavy_zone_merges_the_same_way_and_stays_apart():
    s = State(data={"a": {"x": 1}}, heavy={"a": {"h": 1}})
    child = s.update(heavy={"a": {"h2": 2}})
    assert child.heavy["a"] == {"h": 1, "h2": 2}
    assert child.data["a"] == {"x": 1}


def test_proxy_values_are_unwrapped():
    inner = {"x": 1}
    child = State(data={"a": {"y": 0}}).update(data={"a": SupervisorProxy(inner), "b": SupervisorProxy(inner)})
    assert child.data["a"] == {"y": 0, "x": 1}
    assert child.data["b"] is inner


def test_a_failing_supervisor_target_read_is_not_an_error():
    class Broken:
        @property
        def supervisor_target(self):
            raise ValueError("no")

    class Redirect:
        supervisor_target = {"r": 1}

    b = Broken()
    child = State().update(data={"b": b, "r": Redirect()})
    assert child.data["b"] is b
    assert child.data["r"] == {"r": 1}


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"data": 5}, TypeError, "'int' object cannot be converted to 'PyDict'"),
        ({"heavy": [("a", 1)]}, TypeError, "'list' object cannot be converted to 'PyDict'"),
        ({"data": {1: 2}}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"data": {"a": {1: 2}}}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"heavy": {"a": {"ok": 1, None: 2}}}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"data": {"\ud800": 1}}, UnicodeEncodeError, None),
        ({"data": {"a": {"\udfff": 1}}}, UnicodeEncodeError, None),
        ({"signal": [{"a": 1}, 5]}, TypeError, "'int' object cannot be converted to 'PyDict'"),
        ({"signal": {1: "x"}}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"signal": {"\ud800": "x"}}, UnicodeEncodeError, None),
    ],
)
def test_failures_keep_the_meta_line_and_leave_the_parent_alone(kwargs, exc, message):
    kept = {"b": 0}
    parent = State(data={"a": kept, "z": 1}, version=2)
    with pytest.raises(exc) as e:
        parent.update(**kwargs)
    if message:
        assert str(e.value) == message
    assert entries(parent) == [("state_update", "State updated to version 3")]
    assert parent.version == 2 and parent.data == {"a": {"b": 0}, "z": 1} and parent.data["a"] is kept
    assert parent.signals == {}


def test_unexpected_argument_writes_no_meta_line():
    s = State()
    with pytest.raises(TypeError, match="State.update\\(\\) got an unexpected keyword argument 'x'"):
        s.update(x=1)
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        s.update(1, 2, 3, 4)
    assert s.meta == []


def test_version_at_the_limit_does_not_wrap():
    s = State(version=2**64 - 1)
    with pytest.raises(OverflowError):
        s.update()
    assert s.version == 2**64 - 1
    assert State(version=2**64 - 2).update().version == 2**64 - 1


def test_two_updates_of_one_parent_are_siblings():
    s = State()
    a = s.update(data={"x": 1})
    b = s.update(data={"x": 2})
    assert a.version == b.version == 2
    assert (a.data["x"], b.data["x"]) == (1, 2)
    assert entries(s) == [("state_update", "State updated to version 2")] * 2


def test_signal_list_broadcasts_in_order():
    s = State()
    rx = s.signal.subscribe()
    child = s.update(signal=[{"go": 1}, {"go": 2, "stop": None}])
    assert [rx.recv() for _ in range(3)] == ["go:1", "go:2", "stop:None"]
    assert child.signals == {"go": "2", "stop": "None"}
    assert s.signals == {}
    assert s.signal.publish("probe") == 1 and rx.recv() == "probe"  # nothing else was sent


@pytest.mark.parametrize("signal", ["go", ("a", 1), 5, [], {}])
def test_other_signal_values_broadcast_nothing(signal):
    s = State()
    rx = s.signal.subscribe()
    assert s.update(signal=signal).signals == {}
    s.signal.publish("probe")
    assert rx.recv() == "probe"


def test_broadcasts_before_a_failure_stay_sent():
    s = State()
    rx = s.signal.subscribe()
    with pytest.raises(TypeError):
        s.update(data={"a": 1}, signal=[{"a": 1}, 5])
    assert rx.recv() == "a:1"


def test_signal_dict_subclass_and_str_subclass_values():
    class Sub(dict):
        pass

    class Text(str):
        pass

    child = State().update(signal=Sub(n=Text("v")))
    assert child.signals == {"n": "v"}


def test_unprintable_signal_value(monkeypatch):
    class Bad:
        def __str__(self):
            raise ValueError("nope")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    s = State()
    rx = s.signal.subscribe()
    bad = Bad()
    child = s.update(signal={"x": bad})
    assert rx.recv() == "x:<unprintable Bad object>"
    assert child.signals == {"x": "<unprintable Bad object>"}
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError) and seen[0].object is bad


def test_lone_surrogates_in_signal_text_become_replacement_characters():
    class Odd:
        def __str__(self):
            return "a\ud800b\udfff"

    s = State()
    rx = s.signal.subscribe()
    child = s.update(signal={"x": Odd()})
    assert rx.recv() == "x:a\ufffdb\ufffd"
    assert child.signals["x"] == "a\ufffdb\ufffd"


def test_self_containing_dicts_raise_recursion_error():
    old = {}
    old["a"] = old
    new = {}
    new["a"] = new
    parent = State(data={"r": old})
    with pytest.raises(RecursionError):
        parent.update(data={"r": new})
    assert parent.data["r"] is old and list(old) == ["a"] and old["a"] is old


def _mutating_target(target_dict):
    class Sneaky:
        @property
        def supervisor_target(self):
            target_dict["added"] = 1
            return 1

    return Sneaky()


def test_data_changed_while_walked_is_a_broken_invariant():
    data = {}
    data["a"] = _mutating_target(data)
    data["b"] = 2
    with pytest.raises(BaseException) as e:
        State().update(data=data)
    assert type(e.value).__name__ == "PanicException"
    assert str(e.value) == "dictionary changed size during iteration"


def test_signal_dict_changed_while_walked_is_a_broken_invariant():
    sig = {}

    class Growing:
        def __str__(self):
            sig.pop("a")
            sig["c"] = 1
            return "g"

    sig.update(a=Growing(), b=1)
    with pytest.raises(BaseException) as e:
        State().update(signal=sig)
    assert type(e.value).__name__ == "PanicException"
    assert str(e.value) == "dictionary keys changed during iteration"


def test_signal_list_growing_while_walked_takes_the_new_elements():
    lst = []

    class Grow:
        def __str__(self):
            if len(lst) < 3:
                lst.append({"n": Grow()})
            return "g"

    lst.append({"n": Grow()})
    child = State().update(signal=lst)
    assert len(lst) == 3 and child.signals == {"n": "g"}
