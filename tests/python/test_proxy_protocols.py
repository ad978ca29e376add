"""SupervisorProxy: text form, comparison, length, membership, iteration,
to_dict and the pickling methods that copy and pickle rebuild it with."""
import copy
import inspect
import operator
import pickle
import threading

import pytest

import olvex_core
from proxy_support import FakeTx, SupervisorProxy, current_tx_name, on_fresh_thread, proxy_chain, self_wrapped

P = SupervisorProxy


class Point:
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


def make(**methods):
    """An instance of a fresh class named Target with the given methods."""
    return type("Target", (), methods)()


def raise_(exc):
    raise exc


# --- the class ---------------------------------------------------------------------------


def test_class_surface():
    own = P.__dict__
    methods = [n for n, v in own.items() if type(v).__name__ == "method_descriptor"]
    props = [n for n, v in own.items() if type(v).__name__ == "getset_descriptor"]
    assert methods[methods.index("is_proxy") + 1] == "to_dict"
    assert methods[-3:] == ["__getstate__", "__setstate__", "__getnewargs__"]
    assert props[0] == "__dict__"
    assert P.to_dict.__doc__ == "Conversion to dict (Delegates to target or returns None)"
    assert own["__dict__"].__doc__ == "Expose internals as dict for Pydantic/Standard Library compatibility"
    sigs = {n: str(inspect.signature(getattr(P, n))) for n in
            ["to_dict", "__getstate__", "__setstate__", "__getnewargs__"]}
    assert sigs == {"to_dict": "(self, /)", "__getstate__": "(self, /)", "__setstate__": "(self, /, state)",
                    "__getnewargs__": "(self, /)"}


def test_proxies_are_unhashable():
    p = P({})
    assert P.__hash__ is None
    for use in (hash, lambda p: {p: 1}, lambda p: {p}):
        with pytest.raises(TypeError, match="unhashable"):
            use(p)


# --- text form ------------------------------------------------------------------------------


def named(name):
    """An instance of a class whose metaclass reports `name` as its __name__."""
    meta = type("Meta", (type,), {"__name__": property(lambda cls: name)})
    return meta("N", (), {})()


class FailingName(type):
    @property
    def __name__(cls):
        raise LookupError("no name")


@pytest.mark.parametrize(
    "target, path, caps, text",
    [
        ({}, "domain", 15, "<SupervisorProxy[dict] at path='domain' cap=1111>"),
        ({}, "domain", 1, "<SupervisorProxy[dict] at path='domain' cap=0001>"),
        ({}, "domain", 0, "<SupervisorProxy[dict] at path='domain' cap=0000>"),
        ({}, "domain", 31, "<SupervisorProxy[dict] at path='domain' cap=11111>"),
        ([], "a", 255, "<SupervisorProxy[list] at path='a' cap=11111111>"),
        (Point(), "", 15, "<SupervisorProxy[Point] at path='' cap=1111>"),
        (None, "it's[\"x\"]", 5, "<SupervisorProxy[NoneType] at path='it's[\"x\"]' cap=0101>"),
        (P({}), "a\0b", 15, "<SupervisorProxy[SupervisorProxy] at path='a\0b' cap=1111>"),
        (named(42), "x", 15, "<SupervisorProxy[42] at path='x' cap=1111>"),
        (named("\udc80"), "x", 15, "<SupervisorProxy[\udc80] at path='x' cap=1111>"),
    ],
)
def test_text_form(target, path, caps, text):
    p = P(target, path, capabilities=caps)
    assert repr(p) == text
    assert str(p) == text


def test_text_form_propagates_a_failing_type_name():
    p = P(FailingName("F", (), {})())
    for show in (repr, str):
        with pytest.raises(LookupError, match="no name"):
            show(p)


# --- comparison ------------------------------------------------------------------------------


D = {"a": 1, "b": [1, {"c": 2}]}


class EqList(list):
    def __eq__(self, other):
        return "by name"


@pytest.mark.parametrize(
    "compare, expected",
    [
        pytest.param(lambda: P(dict(D)) == dict(D), True, id="proxy==dict"),
        pytest.param(lambda: dict(D) == P(dict(D)), True, id="dict==proxy"),
        pytest.param(lambda: P(dict(D)) != dict(D), False, id="proxy!=dict"),
        pytest.param(lambda: dict(D) != P(dict(D)), False, id="dict!=proxy"),
        pytest.param(lambda: P(dict(D)) == {"a": 2}, False, id="unequal"),
        pytest.param(lambda: P(dict(D)) == P(dict(D)), False, id="two-proxies"),
        pytest.param(lambda: P(dict(D)) != P(dict(D)), True, id="two-proxies-ne"),
        pytest.param(lambda: P([1, 2]) == [1, 2], True, id="list"),
        pytest.param(lambda: P([1, 2]) == (1, 2), False, id="list-tuple"),
        pytest.param(lambda: P(DictSub(D)) == dict(D), True, id="dict-subclass"),
        pytest.param(lambda: P(EqList()) == [], "by name", id="list-subclass-eq"),
        pytest.param(lambda: P(None) == None, True, id="none"),  # noqa: E711
        # int.__ne__(3.0) declines, unlike the interpreter's 3 != 3.0
        pytest.param(lambda: P(3) != 3.0, True, id="target-declines"),
    ],
)
def test_equality_is_the_targets(compare, expected):
    assert compare() == expected


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_ordering_is_left_to_the_other_operand(op):
    for other in (P({}), {}, 1):
        with pytest.raises(TypeError, match="not supported"):
            op(P({}), other)

    class Anything:
        def __lt__(self, other):
            return "reflected"

        __gt__ = __le__ = __ge__ = __lt__

    assert op(P({}), Anything()) == "reflected"


def test_eq_and_ne_are_called_by_name_with_other_as_given():
    calls = []
    array_like = make(__bool__=lambda self: raise_(ValueError("ambiguous")))

    target = make(__eq__=lambda self, other: calls.append(("eq", other)) or array_like,
                  __ne__=lambda self, other: calls.append(("ne", other)) or NotImplemented)
    p, q = P(target), P({})
    assert (p == q) is array_like
    assert calls[-1][0] == "eq" and calls[-1][1] is q  # never unwrapped
    assert (p != 5) is True  # NotImplemented both ways: identity decides
    assert calls[-1] == ("ne", 5)
    boom = make(__eq__=lambda self, other: raise_(ArithmeticError("eq failed")))
    with pytest.raises(ArithmeticError, match="eq failed"):
        P(boom) == 1


def test_a_proxy_held_exclusively_declines_comparison_and_refuses_the_rest():
    old = {"a": 1}
    p = P(old)
    seen = {}

    class Byte:
        def __index__(self):
            seen["eq"] = p == old  # declined, then identity: False
            seen["ne"] = p != old
            for use in (len, repr, iter, lambda p: 1 in p, P.to_dict, P.__getstate__):
                with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                    use(p)
            return 3

    assert p == old
    new = {}
    p.__setstate__((new, "x", True, False, Byte()))
    assert seen == {"eq": False, "ne": True}
    assert p.__getstate__() == (new, "x", True, False, 3)


# --- length, membership, iteration ------------------------------------------------------------


class Bag:
    def __len__(self):
        return 2

    def __contains__(self, key):
        return key == "in"

    def __iter__(self):
        return iter(["in", "too"])


@pytest.mark.parametrize(
    "target, member",
    [
        ({"a": {"x": 1}, "internal_k": [1]}, "internal_k"),
        ([{"x": 1}, [2]], {"x": 1}),
        (DictSub(a={}), "a"),
        (ListSub([{}]), {}),
        ((1, {}), 1),
        ({1, 2}, 2),
        (Bag(), "in"),
        ({}, None),
    ],
    ids=lambda v: type(v).__name__,
)
@on_fresh_thread
def test_length_membership_iteration_pass_straight_through(target, member):
    tx = FakeTx()
    p = P(target, "internal_zone", transaction=tx, capabilities=0)
    assert len(p) == len(target)
    assert bool(p) is (len(target) > 0)
    if member is not None:
        assert member in p
    assert "absent" not in p
    got, expected = list(p), list(target)
    assert len(got) == len(expected) and all(a is b for a, b in zip(got, expected))  # nothing wrapped
    assert tx.calls == []  # no shadow asked for


@pytest.mark.parametrize(
    "target, use, exc, message",
    [
        (make(), len, AttributeError, "'Target' object has no attribute '__len__'"),
        (make(), bool, AttributeError, "'Target' object has no attribute '__len__'"),
        (None, len, AttributeError, "__len__"),
        (make(__iter__=lambda s: iter([1])), lambda p: 1 in p, AttributeError, "__contains__"),
        (make(), iter, AttributeError, "__iter__"),
        (5, iter, AttributeError, "__iter__"),
        (make(__len__=lambda s: "3"), len, TypeError, "'str' object cannot be interpreted as an integer"),
        (make(__len__=lambda s: 1.0), len, TypeError, "'float' object cannot be interpreted as an integer"),
        (make(__len__=lambda s: -1), len, OverflowError, r"__len__\(\) should return >= 0"),
        (make(__len__=lambda s: -2**70), bool, OverflowError, r"__len__\(\) should return >= 0"),
        (make(__len__=lambda s: 2**70), len, OverflowError, "cannot fit 'int' into an index-sized integer"),
        (make(__len__=lambda s: raise_(KeyError("len"))), len, KeyError, "len"),
        (make(__contains__=lambda s, k: 1), lambda p: 1 in p, TypeError,
         "'int' object cannot be converted to 'PyBool'"),
        (make(__contains__=lambda s, k: None), lambda p: 1 in p, TypeError,
         "'NoneType' object cannot be converted to 'PyBool'"),
        ({1: 2}, lambda p: [] in p, TypeError, "unhashable type: 'list'"),
        (make(__iter__=lambda s: 5), iter, TypeError, "iter\\(\\) returned non-iterator of type 'int'"),
        (make(__iter__=lambda s: raise_(KeyError("it"))), iter, KeyError, "it"),
    ],
)
def test_length_membership_iteration_errors(target, use, exc, message):
    with pytest.raises(exc, match=message):
        use(P(target))


@pytest.mark.parametrize("result, length, truth", [(True, 1, True), (0, 0, False), (2**63 - 1, 2**63 - 1, True)])
def test_length_accepts_any_int_that_fits(result, length, truth):
    p = P(make(__len__=lambda s: result))
    assert len(p) == length
    assert bool(p) is truth


def test_iter_returns_the_targets_answer_unchanged():
    odd = object()
    assert P(make(__iter__=lambda s: odd)).__iter__() is odd
    it = iter([1])
    assert iter(P(make(__iter__=lambda s: it))) is it


# --- to_dict and the __dict__ property --------------------------------------------------------


class Model:
    def model_dump(self):
        return {"via": "model_dump"}

    def dict(self):
        return {"via": "dict"}

    def to_dict(self):
        return {"via": "to_dict"}


class LegacyModel:
    def dict(self):
        return ["not", "a", "dict"]

    def to_dict(self):
        raise AssertionError("dict() comes first")


class OwnConversion:
    model_dump = property(lambda self: raise_(AttributeError("absent")))

    def to_dict(self):
        return "anything"


class CopyingDict(dict):
    def copy(self):
        return "copied"


class KeyNamedLikeAMethod(dict):
    pass


@pytest.mark.parametrize(
    "target, expected",
    [
        (Model(), {"via": "model_dump"}),
        (LegacyModel(), ["not", "a", "dict"]),
        (OwnConversion(), "anything"),
        (CopyingDict(a=1), "copied"),
        (DictSub(a=1), {"a": 1}),
        (KeyNamedLikeAMethod(model_dump=1), {"model_dump": 1}),  # keys are not attributes
        (P({"a": 1}), {"a": 1}),  # a proxy target answers through its own to_dict
    ],
    ids=lambda v: type(v).__name__,
)
def test_to_dict_asks_the_target_in_order(target, expected):
    p = P(target, capabilities=0)
    assert p.to_dict() == expected
    assert P.__dict__["__dict__"].__get__(p) == expected


def test_to_dict_of_a_dict_is_a_shallow_copy_and_the_instance_dict_stays_empty():
    inner = {"x": 1}
    target = {"a": inner}
    p = P(target)
    for got in (p.to_dict(), P.__dict__["__dict__"].__get__(p)):
        assert got == target and got is not target and got["a"] is inner
    assert p.__dict__ == {} and vars(p) == {}


@pytest.mark.parametrize(
    "target, exc, message",
    [
        ([1], AttributeError, "^Wrapped object has no to_dict/model_dump$"),
        (None, AttributeError, "^Wrapped object has no to_dict/model_dump$"),
        (make(model_dump=property(lambda s: raise_(ValueError("probe")))), ValueError, "probe"),
        (make(model_dump=lambda s: raise_(KeyError("dump"))), KeyError, "dump"),
        (make(dict=5), TypeError, "'int' object is not callable"),
    ],
)
def test_to_dict_errors(target, exc, message):
    p = P(target)
    for convert in (P.to_dict, P.__dict__["__dict__"].__get__):
        with pytest.raises(exc, match=message):
            convert(p)


# --- __getstate__, __setstate__, __getnewargs__ ------------------------------------------------


def test_getstate_and_getnewargs():
    d = {}
    state = P(d, "domain", read_only=True).__getstate__()
    assert state == (d, "domain", True, False, 15) and state[0] is d
    assert P(None, is_shadow=True, capabilities=255).__getstate__()[2:] == (False, True, 255)
    assert P(d).__getnewargs__() == (None, "", True, None, False, 15)


class TupleSub(tuple):
    pass


NEW = {"new": 1}
_ = Ellipsis  # the field keeps its old value


@pytest.mark.parametrize(
    "state, exc, after",
    [
        ((NEW, "x", False), None, (NEW, "x", False, False, 15)),
        ((NEW, "x", True, True), None, (NEW, "x", True, True, 15)),
        ((NEW, "x", False, True, 0), None, (NEW, "x", False, True, 0)),
        ((NEW, "x", False, False, 255, "more", 1), None, (NEW, "x", False, False, 255)),
        (TupleSub((NEW, "", False)), None, (NEW, "", False, False, 15)),
        ([NEW, "x", False], TypeError, (_, _, _, _, _)),
        ((), IndexError, (_, _, _, _, _)),
        ((NEW,), IndexError, (NEW, _, _, _, _)),
        ((NEW, "x"), IndexError, (NEW, "x", _, _, _)),
        ((NEW, b"x", False), TypeError, (NEW, _, _, _, _)),
        ((NEW, "\udc80", False), UnicodeEncodeError, (NEW, _, _, _, _)),
        ((NEW, "x", 1), TypeError, (NEW, "x", _, _, _)),
        ((NEW, "x", False, None), TypeError, (NEW, "x", False, _, _)),
        ((NEW, "x", False, False, 256), OverflowError, (NEW, "x", False, False, _)),
        ((NEW, "x", False, False, -1), OverflowError, (NEW, "x", False, False, _)),
        ((NEW, "x", False, False, "3"), TypeError, (NEW, "x", False, False, _)),
        ((NEW, "x", False, False, 1.0), TypeError, (NEW, "x", False, False, _)),
    ],
    ids=repr,
)
def test_setstate_assigns_field_by_field(state, exc, after):
    old = {"old": 1}
    p = P(old, "old", read_only=True, is_shadow=True, capabilities=7)
    before = p.__getstate__()
    if exc is None:
        assert p.__setstate__(state) is None
    else:
        with pytest.raises(exc):
            p.__setstate__(state)
    expected = tuple(b if a is _ else a for a, b in zip(after, before))
    got = p.__getstate__()
    assert got == expected and got[0] is expected[0]


def test_setstate_messages():
    p = P({})
    with pytest.raises(TypeError, match=r"^'list' object cannot be converted to 'PyTuple'$"):
        p.__setstate__([{}, "x", False])
    with pytest.raises(IndexError, match="^tuple index out of range$"):
        p.__setstate__(({},))
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyString'$"):
        p.__setstate__(({}, 1, False))
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyBool'$"):
        p.__setstate__(({}, "x", 1))
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        p.__setstate__(({}, "x", False, False, 256))


@pytest.mark.parametrize("path, fails", [("b", False), (1, True)])
def test_setstate_releases_the_old_target_once_the_new_one_is_in_place(path, fails):
    seen = []

    class Old:
        def __del__(self):
            seen.append(p.__getstate__()[:2])  # the proxy is free again here

    new = {}
    p = P(Old(), "a")
    if fails:
        with pytest.raises(TypeError):
            p.__setstate__((new, path, False))
    else:
        p.__setstate__((new, path, False))
    assert seen == [(new, "a" if fails else "b")]


class Reentrant(dict):
    """Tries the proxy's exclusive operations from inside each of its methods."""

    proxy = None
    refusals = 0

    def probe(self):
        p = self.proxy
        for change in (lambda: p.__setstate__(({}, "x", False)), lambda: p._set_capabilities(0)):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                change()
        Reentrant.refusals += 1

    def __len__(self):
        self.probe()
        return 1

    def __contains__(self, key):
        self.probe()
        return True

    def __iter__(self):
        self.probe()
        return iter(())

    def __eq__(self, other):
        self.probe()
        return True

    def __ne__(self, other):
        self.probe()
        return False

    def copy(self):
        self.probe()
        return {}


@pytest.mark.parametrize("use", [len, bool, iter, lambda p: 1 in p, operator.eq, operator.ne, P.to_dict],
                         ids=["len", "bool", "iter", "in", "eq", "ne", "to_dict"])
def test_exclusive_operations_are_refused_while_a_protocol_runs(use):
    target = Reentrant()
    p = P(target, "t", capabilities=5)
    target.proxy = p
    Reentrant.refusals = 0
    use(p, {}) if use in (operator.eq, operator.ne) else use(p)
    assert Reentrant.refusals == 1
    assert p.__getstate__() == (target, "t", False, False, 5)


# --- copy and pickle ------------------------------------------------------------------------------

REBUILD = {"copy": copy.copy, "deepcopy": copy.deepcopy}
REBUILD.update({f"pickle{n}": (lambda p, n=n: pickle.loads(pickle.dumps(p, n)))
                for n in range(2, pickle.HIGHEST_PROTOCOL + 1)})


@pytest.mark.parametrize("how", list(REBUILD))
def test_copy_and_pickle_rebuild_the_proxy(how):
    target = {"a": {"b": [1]}}
    p = P(target, "domain.x", is_shadow=True, capabilities=5)
    q = REBUILD[how](p)
    assert type(q) is P and q is not p
    state = q.__getstate__()
    assert state[1:] == ("domain.x", False, True, 5)
    assert state[0] == target
    if how == "copy":
        assert state[0] is target
    else:
        assert state[0] is not target and state[0]["a"] is not target["a"]


@pytest.mark.parametrize("how", [h for h in REBUILD if h != "copy"])
def test_rebuilding_keeps_references_to_the_proxy_itself(how):
    target = {}
    p = P(target)
    target["me"] = p
    q = REBUILD[how](p)
    assert q.supervisor_target["me"] is q


@pytest.mark.parametrize("protocol", [0, 1])
def test_old_pickle_protocols_are_refused(protocol):
    with pytest.raises(TypeError, match="cannot pickle 'SupervisorProxy' object"):
        pickle.dumps(P({}), protocol)


def test_unpicklable_targets():
    target = {"lock": threading.Lock()}
    p = P(target)
    for rebuild in (copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError, match="cannot pickle '_thread.lock' object"):
            rebuild(p)
    assert copy.copy(p).supervisor_target is target


@pytest.mark.parametrize("how", list(REBUILD))
@on_fresh_thread
def test_a_copy_gains_nothing_assignment_is_refused_for_lack_of_a_transaction(how):
    tx = olvex_core.OlvexEngine().transaction()
    p = P({"a": 1}, "domain", transaction=tx)
    p.a = 2  # the source may write
    q = REBUILD[how](p)
    with pytest.raises(PermissionError, match=r"^Supervisor blocked mutation to 'domain\.a': No active transaction"):
        q.a = 3
    with pytest.raises(PermissionError, match=r"^Supervisor blocked mutation to path 'domain': No active transaction"):
        q["a"] = 3
    assert q.supervisor_target == {"a": 2} and tx.get_delta_log() == ["domain.a"]
    ro = REBUILD[how](P({"a": 1}, "domain", read_only=True, transaction=tx, capabilities=1))
    with pytest.raises(PermissionError, match="^PURE process cannot write to 'domain.a'$"):
        ro.a = 3
    assert ro.capabilities == 1 and ro.read_only is True


@pytest.mark.parametrize("rebuild", [copy.deepcopy, pickle.dumps] + [lambda p, n=n: pickle.dumps(p, n) for n in (2, 5)],
                         ids=["deepcopy", "pickle", "pickle2", "pickle5"])
def test_a_target_holding_a_transaction_cannot_be_copied_deeply_or_pickled(rebuild):
    tx = olvex_core.OlvexEngine().transaction()
    target = {"nested": [{"tx": tx}]}
    p = P(target, "domain")
    with pytest.raises(RuntimeError, match="^Transaction objects cannot be"):
        rebuild(p)
    assert target == {"nested": [{"tx": tx}]}
    assert copy.copy(p).supervisor_target is target  # a shallow copy shares it


@on_fresh_thread
def test_copies_and_setstate_leave_the_current_transaction_alone():
    P({"k": {}}, transaction=FakeTx("A"))
    p = P({"k": {}}, "domain", transaction=FakeTx("B"))
    assert current_tx_name() == "B"
    P({}, transaction=FakeTx("C"))
    for rebuild in REBUILD.values():
        rebuild(p)
    p.__setstate__(p.__getstate__())
    assert current_tx_name() == "C"


# --- runaway nesting ---------------------------------------------------------------------------------


@pytest.mark.parametrize("make_proxy", [proxy_chain, self_wrapped])
@pytest.mark.parametrize(
    "use",
    [len, bool, iter, lambda p: "a" in p, lambda p: p == {}, lambda p: p != {}, P.to_dict],
    ids=["len", "bool", "iter", "in", "eq", "ne", "to_dict"],
)
def test_runaway_nesting_ends_in_recursion_error(make_proxy, use):
    p = make_proxy()
    with pytest.raises(RecursionError):
        use(p)
    assert repr(p) == "<SupervisorProxy[SupervisorProxy] at path='' cap=1111>"
    # the bound counts per thread and is given back: a chain within it works
    assert len(proxy_chain(500)) == 1


def test_a_proxy_in_its_own_list_against_a_self_containing_list():
    inner = []
    p = P(inner)
    inner.append(p)
    other = []
    other.append(other)
    for compare in (lambda: p == other, lambda: other == p, lambda: p != other):
        with pytest.raises(RecursionError):
            compare()
    assert p == [p]
