"""FrozenDict: a read-only view over one dict, held by reference."""
import copy
import gc
import inspect
import sys
import weakref

import pytest


@pytest.fixture
def FrozenDict(core):
    return core.FrozenDict


class CollidingKey:
    """Keys that all hash alike; comparing two of them raises."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return 1

    def __eq__(self, other):
        if self is other:
            return True
        raise ValueError("no comparing keys")


class Elementwise:
    """An array-like value: == gives a result without a single truth value."""

    def __init__(self, *items):
        self.items = items

    def __eq__(self, other):
        return ElementwiseResult([a == b for a, b in zip(self.items, other.items)])


class ElementwiseResult:
    def __init__(self, flags, all_result=None):
        self.flags = flags
        self.all_result = all_result

    def __bool__(self):
        raise ValueError("The truth value of an array with more than one element is ambiguous")

    def all(self):
        return all(self.flags)


class ResultWithBrokenAll(ElementwiseResult):
    def all(self):
        raise RuntimeError("all() failed")


class ResultWhoseAllHasNoTruth(ElementwiseResult):
    def all(self):
        return ElementwiseResult([True])


class FixedResult:
    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        return self.result


def test_wraps_the_dict_by_reference(FrozenDict):
    d = {"a": 1}
    view = FrozenDict(d)
    assert view.to_dict() is d
    view.to_dict()["a"] = 2
    d["b"] = 3
    assert view["a"] == 2 and view["b"] == 3 and len(view) == 2


def test_construction(FrozenDict):
    class Sub(dict):
        pass

    assert FrozenDict(Sub(x=1))["x"] == 1
    assert FrozenDict(data={"k": 1})["k"] == 1
    with pytest.raises(TypeError) as e:
        FrozenDict([1])
    assert str(e.value) == "argument 'data': 'list' object cannot be converted to 'PyDict'"
    with pytest.raises(TypeError):
        FrozenDict()
    with pytest.raises(TypeError):
        FrozenDict({}, {})


def test_lookups(FrozenDict):
    marker = object()
    view = FrozenDict({"a": 1, "n": None, "m": marker, 3: "three"})
    assert view["a"] == 1 and view[3] == "three" and view["m"] is marker
    assert view.get("n", 5) is None  # present with None is not absent
    assert view.get("zz") is None
    assert view.get("zz", 7) == 7 and view.get(key="zz", default=7) == 7
    assert "a" in view and "zz" not in view
    with pytest.raises(KeyError) as e:
        FrozenDict({})["a"]
    assert e.value.args == ("Key not found",)


def test_dict_subclass_hooks_are_not_used(FrozenDict):
    class WithMissing(dict):
        def __missing__(self, key):
            return "made up"

        def __getitem__(self, key):
            return "overridden"

    view = FrozenDict(WithMissing(a=1))
    assert view["a"] == 1 and view.get("b") is None and view.values() == [1]
    with pytest.raises(KeyError):
        view["b"]


@pytest.mark.parametrize(
    "op",
    [lambda v, k: v[k], lambda v, k: v.get(k), lambda v, k: k in v],
    ids=["getitem", "get", "contains"],
)
def test_key_errors_come_from_the_host(FrozenDict, op):
    view = FrozenDict({CollidingKey("a"): 1})
    with pytest.raises(TypeError, match="unhashable"):
        op(view, [])
    with pytest.raises(ValueError, match="no comparing keys"):
        op(view, CollidingKey("b"))


def test_attribute_fallback_to_keys(FrozenDict):
    view = FrozenDict({"a": 1, "keys": 2, "__class__": 3})
    assert view.a == 1
    assert callable(view.keys) and view.keys() == ["a", "keys", "__class__"]
    assert view.__class__ is FrozenDict
    with pytest.raises(AttributeError) as e:
        view.b
    assert str(e.value) == "Attribute not found"
    assert getattr(view, "b", None) is None and not hasattr(view, "b")


def test_attribute_errors_of_subclasses(FrozenDict):
    class Sub(FrozenDict):
        label = "class attribute"

        @property
        def missing(self):
            raise AttributeError("property gave up")

        @property
        def broken(self):
            raise ValueError("property failed")

    view = Sub({"label": "key", "missing": "from the dict"})
    assert view.label == "class attribute"
    assert view.missing == "from the dict"
    with pytest.raises(ValueError, match="property failed"):
        view.broken


def test_refuses_writes(core, FrozenDict):
    d = {"a": 1}
    view = FrozenDict(d)
    with pytest.raises(core.ContextError) as e:
        view["a"] = 2
    assert e.value.args == ("Context is Immutable. Use .update()",)
    with pytest.raises(core.ContextError):
        view["new"] = 2
    with pytest.raises(NotImplementedError) as e:
        del view["a"]
    assert str(e.value) == "can't delete item"
    with pytest.raises(AttributeError):
        view.a = 5
    assert d == {"a": 1}


def test_listings_are_new_lists_of_the_stored_objects(FrozenDict):
    inner = [1]
    d = {"b": inner, "a": 2}
    view = FrozenDict(d)
    keys, values, items = view.keys(), view.values(), view.items()
    assert type(keys) is list and type(values) is list and type(items) is list
    assert keys == ["b", "a"] and items == [("b", inner), ("a", 2)]
    assert values[0] is inner and items[0][1] is inner
    d["c"] = 3
    assert keys == ["b", "a"] and view.keys() == ["b", "a", "c"]
    assert view.keys() is not view.keys()
    assert dict(view) == d


def test_str(FrozenDict):
    assert str(FrozenDict({"a": 1})) == "FrozenDict({'a': 1})"
    assert str(FrozenDict({"\ud800": "x"})) == "FrozenDict({'\\ud800': 'x'})"


def test_str_of_an_unprintable_dict_reports_the_error(FrozenDict, monkeypatch):
    class Unprintable:
        def __repr__(self):
            raise ValueError("no text")

    class Named(dict):
        pass

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    assert str(FrozenDict(Named(x=Unprintable()))) == "FrozenDict(<unprintable Named object>)"
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError)


def test_not_iterable_not_hashable_no_orderings(FrozenDict):
    view = FrozenDict({"a": 1})
    with pytest.raises(TypeError):
        iter(view)
    with pytest.raises(TypeError):
        hash(view)
    assert FrozenDict.__hash__ is None
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(view, op)(view) is NotImplemented
    with pytest.raises(TypeError):
        FrozenDict({}) < FrozenDict({})
    with pytest.raises(TypeError):
        weakref.ref(view)


NAN = float("nan")
SHARED = {"x": NAN}
K1, K2 = CollidingKey("1"), CollidingKey("2")


@pytest.mark.parametrize(
    "left, right, equal",
    [
        ({"a": 1}, {"a": 1}, True),
        ({"a": 1}, ("view", {"a": 1}), True),
        ({}, {}, True),
        ({"a": 1, "b": 2}, {"b": 2, "a": 1}, True),
        ({"a": 1}, {"a": 2}, False),
        ({"a": 1}, {"b": 1}, False),
        ({"a": 1}, {"a": 1, "b": 2}, False),
        ({"a": 1}, 5, False),
        ({"a": 1}, None, False),
        ({"a": 1}, [("a", 1)], False),
        # Views over the same dict are equal without comparing items; a view
        # and the dict itself compare item by item.
        (SHARED, ("view", SHARED), True),
        (SHARED, SHARED, False),
        ({"x": NAN}, {"x": NAN}, False),
        # A failed lookup in the other dict counts as a missing key.
        ({K1: 1}, {K2: 1}, False),
        # Array-like values: all() decides; an all() that fails means unequal.
        ({"v": Elementwise(1, 2)}, {"v": Elementwise(1, 2)}, True),
        ({"v": Elementwise(1, 2)}, {"v": Elementwise(1, 3)}, False),
        ({"v": FixedResult(ResultWithBrokenAll([True]))}, {"v": 0}, False),
        ({"v": FixedResult(0)}, {"v": 0}, False),
        ({"v": FixedResult("truthy")}, {"v": 0}, True),
    ],
)
def test_equality(FrozenDict, left, right, equal):
    if isinstance(right, tuple) and right[0] == "view":
        right = FrozenDict(right[1])
    view = FrozenDict(left)
    assert (view == right) is equal
    assert (view != right) is (not equal)


def test_equality_errors_are_raised(FrozenDict):
    class Boom:
        def __eq__(self, other):
            raise ArithmeticError("eq failed")

    with pytest.raises(ArithmeticError):
        FrozenDict({"a": Boom()}) == {"a": 1}
    with pytest.raises(ArithmeticError):
        FrozenDict({"a": Boom()}) != {"a": 1}
    # The truth of all()'s own result is not excused.
    with pytest.raises(ValueError, match="ambiguous"):
        FrozenDict({"v": FixedResult(ResultWhoseAllHasNoTruth([]))}) == {"v": 0}


def test_not_equal_goes_through_a_subclass_eq(FrozenDict):
    class AlwaysEqual(FrozenDict):
        def __eq__(self, other):
            return True

    assert not (FrozenDict({"a": 1}) != AlwaysEqual({}))


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda d: d.update(extra=1), "dictionary changed size during iteration"),
        (lambda d: (d.pop("a"), d.update(y=0)), "dictionary keys changed during iteration"),
    ],
)
def test_dict_changed_while_compared_is_a_broken_invariant(core, FrozenDict, change, message):
    d = {}

    class Mutating:
        def __eq__(self, other):
            change(d)
            return True

    d.update(a=Mutating(), z=1)
    with pytest.raises(BaseException) as e:
        FrozenDict(d) == {"a": 0, "z": 1}
    assert not isinstance(e.value, Exception)
    assert str(e.value) == message


def test_deepcopy(FrozenDict):
    inner = [1, {"x": 2}]
    view = FrozenDict({"a": inner})
    dup = copy.deepcopy(view)
    assert type(dup) is FrozenDict and dup == view
    assert dup["a"] is not inner and dup["a"][1] is not inner[1]
    # The memo is the host's: a view met twice is copied once.
    pair = copy.deepcopy([view, view])
    assert pair[0] is not view and pair[0].to_dict() is pair[1].to_dict()


def test_deepcopy_of_a_subclass_gives_the_base_class(FrozenDict):
    class Sub(FrozenDict):
        pass

    assert type(copy.deepcopy(Sub({"a": 1}))) is FrozenDict


def test_deepcopy_must_give_a_dict(FrozenDict):
    class CopiesToList(dict):
        def __deepcopy__(self, memo):
            return [1]

    with pytest.raises(TypeError) as e:
        copy.deepcopy(FrozenDict(CopiesToList()))
    assert str(e.value) == "'list' object cannot be converted to 'PyDict'"


def test_class_shape(FrozenDict):
    assert FrozenDict.__module__ == "builtins" and FrozenDict.__name__ == "FrozenDict"
    assert FrozenDict.__doc__ is None
    assert str(inspect.signature(FrozenDict)) == "(data)"
    methods = [n for n in vars(FrozenDict) if n in {"get", "to_dict", "keys", "__deepcopy__", "values", "items"}]
    assert methods == ["get", "to_dict", "keys", "__deepcopy__", "values", "items"]
    sigs = {n: getattr(FrozenDict, n).__text_signature__ for n in methods}
    assert sigs == {
        "get": "($self, key, default=None)",
        "to_dict": "($self)",
        "keys": "($self)",
        "__deepcopy__": "($self, memo)",
        "values": "($self)",
        "items": "($self)",
    }
    assert all(getattr(FrozenDict, n).__doc__ is None for n in methods)
    assert "__iter__" not in dir(FrozenDict) and "__dict__" not in dir(FrozenDict({}))


def test_subclass_instances(FrozenDict):
    class Sub(FrozenDict):
        def extra(self):
            return self["a"] * 2

    view = Sub({"a": 2})
    assert type(view) is Sub and view.extra() == 4 and view.a == 2
    view.note = "subclasses have a __dict__"
    assert view.note == "subclasses have a __dict__"


def test_reference_cycles_are_collected(FrozenDict):
    class Sentinel:
        pass

    gc.collect()
    s = Sentinel()
    alive = weakref.ref(s)
    d = {"s": s}
    d["self"] = FrozenDict(d)
    del s, d
    gc.collect()
    assert alive() is None


def test_wrong_self_is_refused(FrozenDict):
    with pytest.raises(TypeError):
        FrozenDict.get({"a": 1}, "a")
    with pytest.raises(TypeError):
        FrozenDict.__getitem__({"a": 1}, "a")


def test_views_hold_one_reference_each(FrozenDict):
    d = {"a": [1]}
    base = sys.getrefcount(d)
    views = [FrozenDict(d) for _ in range(100)]
    assert sys.getrefcount(d) == base + 100
    for v in views:
        v["a"], v.get("a"), v.a, v.to_dict(), v == d, str(v)
    del views, v
    assert sys.getrefcount(d) == base
