"""SupervisorProxy container methods: the method table, the refusals in
their order, the calls on the target and what they report, the withdrawal
of reports whose call failed, popitem's restore, runaway nesting, and a
process run that commits through them."""
import builtins
import copy
import inspect

import pytest

from olvex_core import OlvexEngine, State
from proxy_support import FakeTx, SupervisorProxy, on_fresh_thread, proxy_chain, self_wrapped

P = SupervisorProxy

LIST_METHODS = ["append", "extend", "insert", "remove", "sort", "reverse", "clear"]
MAP_METHODS = ["update", "pop", "popitem", "setdefault"]

APPEND, UPDATE, DELETE = 2, 4, 8

# name -> (a fresh target the call changes, the call's arguments, the bit it tests)
CALLS = {
    "append": (lambda: [2, 1], (3,), APPEND),
    "extend": (lambda: [2, 1], ([3],), APPEND),
    "insert": (lambda: [2, 1], (0, 3), APPEND),
    "remove": (lambda: [2, 1], (1,), DELETE),
    "sort": (lambda: [2, 1], (), UPDATE),
    "reverse": (lambda: [2, 1], (), UPDATE),
    "clear": (lambda: [2, 1], (), DELETE),
    "update": (lambda: {"a": 1}, ({"b": 2},), UPDATE),
    "pop": (lambda: {"a": 1}, ("a",), DELETE),
    "popitem": (lambda: {"a": 1}, (), DELETE),
    "setdefault": (lambda: {"a": 1}, ("b", 2), UPDATE),
}

REFUSALS = {
    "append": "Permission Denied: APPEND capability required for .append() at '{}'",
    "extend": "Permission Denied: APPEND capability required for .extend() at '{}'",
    "insert": "Permission Denied: APPEND capability required for .insert() at '{}'",
    "remove": "Permission Denied: DELETE capability required for .remove() at '{}'",
    "sort": "Permission Denied: UPDATE capability required for .sort() at '{}'",
    "reverse": "Permission Denied: UPDATE capability required for .reverse() at '{}'",
    "clear": "Permission Denied: DELETE capability required for .clear() at '{}'",
    "update": "Permission Denied: UPDATE capability required for .update() at '{}'. (Current Lens: {})",
    "pop": "Permission Denied: DELETE capability required for .pop() at '{}'. (Current Lens: {})",
    "popitem": "Permission Denied: DELETE capability required for .popitem() at '{}'. (Current Lens: {})",
    "setdefault": "Permission Denied: UPDATE capability required for .setdefault() at '{}'. (Current Lens: {})",
}


def call(p, name, args=None):
    return getattr(p, name)(*(CALLS[name][1] if args is None else args))


def native_tx():
    return OlvexEngine().transaction()


class StrRaises:
    def __str__(self):
        raise LookupError("no text")


class FailingTx(FakeTx):
    def log_delta(self, path, old, new):
        raise ValueError("log failed")


class NoLogTx:
    def get_shadow(self, value, path):
        return value


# ---- the table ---------------------------------------------------------------------------


def test_method_table_places_and_signatures():
    methods = [n for n, v in P.__dict__.items() if type(v).__name__ == "method_descriptor"]
    i = methods.index("to_dict")
    assert methods[i + 1:i + 9] == LIST_METHODS + ["get"]
    j = methods.index("items")
    assert methods[j + 1:j + 6] == MAP_METHODS + ["_wrap_result"]
    sigs = {n: str(inspect.signature(getattr(P, n))) for n in LIST_METHODS + MAP_METHODS}
    assert sigs == {
        "append": "(self, /, item)", "extend": "(self, /, iterable)", "insert": "(self, /, index, item)",
        "remove": "(self, /, value)", "sort": "(self, /, kwargs=None)", "reverse": "(self, /)",
        "clear": "(self, /)", "update": "(self, /, other=None, kwargs=None)",
        "pop": "(self, /, key_or_index=None, default=None)", "popitem": "(self, /)",
        "setdefault": "(self, /, key, default=None)",
    }


# ---- refusals ----------------------------------------------------------------------------


@pytest.mark.parametrize("name", list(CALLS))
@on_fresh_thread
def test_a_read_only_proxy_refuses_every_method_before_its_bit(name):
    target = CALLS[name][0]()
    tx = FakeTx()
    p = P(target, "domain.x", read_only=True, transaction=tx, capabilities=0)
    with pytest.raises(PermissionError, match=r"^PURE process cannot write to 'domain\.x'$"):
        call(p, name)
    assert target == CALLS[name][0]() and tx.deltas == []


@pytest.mark.parametrize("name", list(CALLS))
@pytest.mark.parametrize("path", ["domain.items", "", "a\0b"])
@pytest.mark.parametrize("others", [15, 31], ids=["low-bits", "with-admin"])
@on_fresh_thread
def test_each_method_tests_its_own_bit_alone(name, path, others):
    make, _, bit = CALLS[name]
    caps = others ^ bit  # every other bit, ADMIN included, grants nothing
    target = make()
    tx = FakeTx()
    with pytest.raises(PermissionError) as refused:
        call(P(target, path, transaction=tx, capabilities=caps), name)
    assert str(refused.value) == REFUSALS[name].format(path, format(caps, "04b"))
    assert target == make() and tx.deltas == []
    # The bit alone suffices, whatever zone the path names and with no
    # transaction given to the proxy.
    target = make()
    call(P(target, "domain.const_x.sig_y", capabilities=bit), name)
    assert target != make()


class KwargsDict(dict):
    pass


@pytest.mark.parametrize(
    "kwargs, use, exc, message",
    [
        ({"read_only": True}, lambda p: p.append(), TypeError,
         r"^SupervisorProxy\.append\(\) missing 1 required positional argument: 'item'$"),
        ({"read_only": True}, lambda p: p.insert(0), TypeError, "missing 1 required positional argument: 'item'"),
        ({"read_only": True}, lambda p: p.append(1, 2), TypeError, "takes 1 positional argument but 2 were given"),
        ({"read_only": True}, lambda p: p.clear(1), TypeError, r"takes no arguments \(1 given\)"),
        ({"read_only": True}, lambda p: p.sort(key=len), TypeError, "unexpected keyword argument 'key'"),
        ({"read_only": True}, lambda p: p.update(a=1), TypeError, "unexpected keyword argument 'a'"),
        # sort's kwargs is checked before the read-only refusal, update's after it
        ({"read_only": True}, lambda p: p.sort(3), TypeError,
         r"^argument 'kwargs': 'int' object cannot be converted to 'PyDict'$"),
        ({"read_only": True}, lambda p: p.update(kwargs=3), PermissionError, "^PURE process"),
        ({"read_only": True}, lambda p: p.update(5), PermissionError, "^PURE process"),
        # update builds its merged dict before the capability refusal
        ({"capabilities": 0}, lambda p: p.update(kwargs=[("a", 1)]), TypeError,
         r"^argument 'kwargs': 'list' object cannot be converted to 'PyDict'$"),
        ({"capabilities": 0}, lambda p: p.update(5), TypeError, "'int' object is not iterable"),
        ({"capabilities": 0}, lambda p: p.update([(1, 2, 3)]), ValueError, "has length 3; 2 is required"),
        ({"capabilities": 0}, lambda p: p.update({}, {1: 2}), TypeError, "keywords must be strings"),
        ({"capabilities": 0}, lambda p: p.update({}), PermissionError, r"\(Current Lens: 0000\)$"),
        ({"capabilities": 1}, lambda p: p.pop(), PermissionError, r"\.pop\(\) at ''\. \(Current Lens: 0001\)$"),
        ({"capabilities": 1}, lambda p: p.append(1), PermissionError, r"\.append\(\) at ''$"),
        ({}, lambda p: p.pop(), TypeError, r"^pop\(\) expected at least 1 argument, got 0$"),
        ({}, lambda p: p.pop(None, 5), TypeError, r"^pop\(\) expected at least 1 argument, got 0$"),
        ({}, lambda p: P([2, 1]).sort({1: True}), TypeError, "keywords must be strings"),
    ],
)
def test_failures_in_their_order(kwargs, use, exc, message):
    target = {"a": 1}
    with pytest.raises(exc, match=message):
        use(P(target, **kwargs))
    assert target == {"a": 1}


def test_a_proxy_held_exclusively_refuses_every_method():
    p = P([2, 1], read_only=True)
    refused = []

    class Byte:
        def __index__(self):
            for name in CALLS:
                with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                    call(p, name)
                refused.append(name)
            return 15

    p.__setstate__(([2, 1], "x", False, False, Byte()))
    assert refused == list(CALLS)


class Everything:
    """A target of no container type with all eleven methods (called by
    name) that tries the proxy's exclusive operations from inside each."""

    def __init__(self):
        self.proxy = None
        self.calls = []

    def probe(self, *call):
        self.calls.append(call)
        for change in (lambda: self.proxy.__setstate__(({}, "x", False)), lambda: self.proxy._set_capabilities(0)):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                change()

    def __getattr__(self, name):
        if name not in CALLS:
            raise AttributeError(name)
        return lambda *args, **kwargs: self.probe(name, args, kwargs) or (("k", "v") if name == "popitem" else None)

    def __contains__(self, key):
        self.probe("__contains__", (key,), {})
        return False

    def get(self, key, default=None):
        self.probe("get", (key,), {})


@pytest.mark.parametrize("name", list(CALLS))
@on_fresh_thread
def test_methods_run_by_name_under_a_shared_borrow(name):
    target = Everything()
    p = P(target, "t", transaction=FakeTx(), capabilities=15)
    target.proxy = p
    call(p, name)
    args = CALLS[name][1] + ((None,) if name == "pop" else ())  # a missing default goes as None
    assert (name, args, {}) in target.calls
    assert p.__getstate__() == (target, "t", False, False, 15)


# ---- calls on the target and their reports ------------------------------------------------

WHOLE = object()  # the whole-target delta: (path, None, the target itself)

REPORTS = [
    # target, method, arguments, result, target afterwards, deltas as (key, old, new)
    ([1], "append", (2,), None, [1, 2], [WHOLE]),
    ([1], "append", (None,), None, [1, None], [WHOLE]),  # a required argument may be None
    ([1], "extend", ((2, 3),), None, [1, 2, 3], [WHOLE]),
    ([1], "insert", (0, 0), None, [0, 1], [WHOLE]),
    ([1, 2, 1], "remove", (1,), None, [2, 1], [WHOLE]),
    ([2, 1, 3], "sort", (), None, [1, 2, 3], [WHOLE]),
    ([2, 1, 3], "sort", ({"reverse": True},), None, [3, 2, 1], [WHOLE]),
    (["bb", "a"], "sort", (KwargsDict(key=len),), None, ["a", "bb"], [WHOLE]),
    ([2, 1], "reverse", (), None, [1, 2], [WHOLE]),
    ([1], "clear", (), None, [], [WHOLE]),
    ({"a": 1}, "clear", (), None, {}, [WHOLE]),
    ({"a": 1}, "update", ({"a": 2, 3: 4},), None, {"a": 2, 3: 4}, [("a", 1, 2), ("3", None, 4)]),
    ({"a": 1}, "update", ([("b", 2)], {"c": 3, "b": 5}), None, {"a": 1, "b": 5, "c": 3},
     [("b", None, 5), ("c", None, 3)]),
    ({"a": 1}, "update", (None, {"a.b": 3}), None, {"a": 1, "a.b": 3}, [("a.b", None, 3)]),
    ({"a": 1}, "update", (), None, {"a": 1}, []),
    ([1, 2, 3], "pop", (), 3, [1, 2], [WHOLE]),
    ([1, 2, 3], "pop", (0,), 1, [2, 3], [WHOLE]),
    ([1, 2, 3], "pop", (None, "ignored"), 3, [1, 2], [WHOLE]),
    ({"a": 1, 2: "x"}, "pop", (2,), "x", {"a": 1}, [("2", "x", None)]),
    ({"a": 1}, "pop", ("zz",), None, {"a": 1}, []),
    ({"a": 1}, "pop", ("zz", 7), 7, {"a": 1}, []),
    ({"a": 1, "b": 2}, "popitem", (), ("b", 2), {"a": 1}, [("b", 2, None)]),
    ({}, "setdefault", ("n",), None, {"n": None}, [("n", None, None)]),
    ({}, "setdefault", ("n", 5), 5, {"n": 5}, [("n", None, 5)]),
    ({"a": 1}, "setdefault", ("a", 5), 1, {"a": 1}, []),
    ({"\udc80": 1}, "pop", ("\udc80",), 1, {}, [("\udc80", 1, None)]),
]


def expected_path(path, key):
    if key is None:
        return path
    return f"{path}.{key}" if path else key


@pytest.mark.parametrize("path", ["domain", ""])
@pytest.mark.parametrize("target, name, args, result, after, deltas", REPORTS,
                         ids=[f"{r[1]}-{i}" for i, r in enumerate(REPORTS)])
@on_fresh_thread
def test_calls_and_reports(path, target, name, args, result, after, deltas):
    original, target = target, copy.deepcopy(target)
    tx = FakeTx()
    p = P(target, path, transaction=tx)
    assert getattr(p, name)(*args) == result
    assert target == after
    expected = [(path, None, target) if d is WHOLE else (expected_path(path, d[0]), d[1], d[2]) for d in deltas]
    assert tx.deltas == expected
    for got, d in zip(tx.deltas, deltas):
        if d is WHOLE:
            assert got[2] is target  # the target itself, not a copy
    # The module's own transaction logs the same paths.
    native = native_tx()
    target = copy.deepcopy(original)
    getattr(P(target, path, transaction=native), name)(*args)
    assert native.get_delta_log() == [path for path, _, _ in expected]


@on_fresh_thread
def test_extending_a_list_with_its_own_proxy_copies_it_once():
    target = [1, 2]
    tx = FakeTx()
    p = P(target, "domain", transaction=tx)
    p.extend(p)  # through the proxy's own iterator this would never end
    assert target == [1, 2, 1, 2]
    assert tx.deltas == [("domain", None, target)]


@pytest.mark.parametrize("name", list(CALLS))
@on_fresh_thread
def test_no_transaction_needed_and_the_current_one_is_reported_to(name):
    make = CALLS[name][0]
    target = make()
    call(P(target, "d"), name)  # the slot is empty: nothing to report to
    assert target != make()
    tx = FakeTx()
    P({}, transaction=tx)  # fills the slot
    target = make()
    call(P(target, "d"), name)  # built without one, reports all the same
    assert tx.deltas and all(path.startswith("d") for path, _, _ in tx.deltas)


@on_fresh_thread
def test_results_of_pop_and_popitem_stay_bare_and_setdefault_wraps():
    inner, listed = {"x": 1}, [1]
    tx = FakeTx()
    p = P({"a": inner, "b": {"y": 2}, "c": listed, "e": inner}, "domain", transaction=tx, capabilities=DELETE | UPDATE)
    assert p.pop("a") is inner
    assert p.popitem()[1] is inner
    child = p.setdefault("b")
    assert type(child) is P and child.supervisor_target == {"y": 2} and child.supervisor_target.by == "tx"
    assert child.__getstate__()[1:] == ("domain.b", False, True, DELETE | UPDATE)
    assert p.setdefault("c") == [1] and p.setdefault("c").by == "tx"  # a list comes back as the shadow, bare
    fresh = p.setdefault("new", {"z": 3})
    assert type(fresh) is P and fresh.supervisor_target == {"z": 3}


class LoudList(list):
    def append(self, item):
        super().append(("via", item))

    def pop(self, index=-1):
        return ("popped", super().pop(index))


class LoudDict(dict):
    def __init__(self, *a, **k):
        super().__init__(*a, **k)
        self.calls = []

    def get(self, key, default=None):
        self.calls.append("get")
        return super().get(key, default)

    def __contains__(self, key):
        self.calls.append("contains")
        return super().__contains__(key)

    def pop(self, key, default=None):
        self.calls.append(("pop", key, default))
        return super().pop(key, default)

    def update(self, other):
        self.calls.append(("update", type(other)))
        super().update(other)


class OddPairs(dict):
    def popitem(self):
        return self.pop("shape")


class TuplePair(tuple):
    pass


@pytest.mark.parametrize(
    "target, use, result, after, reported",
    [
        (LoudList([1]), lambda p: p.append(2), None, [1, ("via", 2)], [""]),
        (LoudList([1]), lambda p: p.pop(), ("popped", 1), [], [""]),
        (LoudDict(a=1), lambda p: p.pop("a"), 1, {}, ["a"]),
        (LoudDict(a=1), lambda p: p.update({"a": 2}), None, {"a": 2}, ["a"]),
        ({1, 2}, lambda p: p.remove(1), None, {2}, [""]),
        ({1, 2}, lambda p: p.pop(2), TypeError, {1, 2}, ["2"]),  # a set's pop takes no key; the duck keeps it
        (OddPairs(shape=(1, 2, 3)), lambda p: p.popitem(), (1, 2, 3), {}, []),
        (OddPairs(shape=[1, 2]), lambda p: p.popitem(), [1, 2], {}, []),
        (OddPairs(shape=TuplePair(("k", 2))), lambda p: p.popitem(), ("k", 2), {}, ["k"]),
    ],
    ids=["list-sub-append", "list-sub-pop", "dict-sub-pop", "dict-sub-update", "set-remove", "set-pop",
         "popitem-triple", "popitem-list", "popitem-tuple-sub"],
)
@on_fresh_thread
def test_targets_of_other_kinds_answer_by_name(target, use, result, after, reported):
    tx = FakeTx()
    p = P(target, "", transaction=tx)
    if isinstance(result, type):
        with pytest.raises(result):
            use(p)
    else:
        assert use(p) == result
    assert target == after
    assert [path for path, _, _ in tx.deltas] == reported
    if isinstance(target, LoudDict):
        assert target.calls[-1] in [("pop", "a", None), ("update", dict)]
        assert "get" in target.calls


class ReEntering(list):
    """Its append goes back through the proxy once."""

    proxy = None

    def append(self, item):
        super().append(item)
        if item == "outer":
            self.proxy.insert(0, "inner")
            assert self.proxy.pop() == "outer"


@on_fresh_thread
def test_a_target_method_may_use_the_proxy_again():
    tx = native_tx()
    target = ReEntering()
    p = P(target, "domain.items", transaction=tx)
    target.proxy = p
    p.append("outer")
    assert target == ["inner"]
    # the inner calls report first: insert after its call, pop before it, append after its call
    assert tx.get_delta_log() == ["domain.items"] * 3


@pytest.mark.parametrize("name", list(CALLS))
@on_fresh_thread
def test_a_missing_method_raises_the_targets_attribute_error(name):
    for target in [(1, 2), None]:
        missing = "__contains__" if name == "setdefault" and target is None else name  # presence comes first
        with pytest.raises(AttributeError, match=f"object has no attribute '{missing}'$"):
            call(P(target), name, ("a",) if name == "pop" else None)  # a key: neither is a list


# ---- failures of the target, the key text and the report -----------------------------------


@pytest.mark.parametrize(
    "target, name, args, exc, duck",
    [
        ([1], "remove", (5,), ValueError, 0),
        ([1], "insert", ("x", 1), TypeError, 0),
        ([1, "a"], "sort", (), TypeError, 0),
        ([1], "sort", ({"key": 5},), TypeError, 0),
        ([1], "extend", (5,), TypeError, 0),
        ([], "pop", (), IndexError, 1),
        ([], "pop", (0, "default"), IndexError, 1),
        ([1], "pop", (2**100,), OverflowError, 1),
        ([1], "pop", ("0",), TypeError, 1),
        ({}, "popitem", (), KeyError, 0),
        ({}, "pop", ([],), TypeError, 0),  # unhashable: __contains__ fails before any report
    ],
)
@on_fresh_thread
def test_target_failures_propagate_and_leave_no_native_entry(target, name, args, exc, duck):
    before = copy.deepcopy(target)
    tx = native_tx()
    with pytest.raises(exc):
        getattr(P(target, "domain", transaction=tx), name)(*args)
    assert target == before and tx.get_delta_log() == []
    fake = FakeTx()
    with pytest.raises(exc):
        getattr(P(target, "domain", transaction=fake), name)(*args)
    assert len(fake.deltas) == duck  # a duck-typed transaction keeps what it recorded


class Refusing(dict):
    """Each refused call logs an entry of its own and switches the thread's
    transaction before it fails."""

    tx = other = None

    def refuse(self):
        self.tx.log_delta("own", None, 1)
        P({}, transaction=self.other)
        raise ArithmeticError("refused")

    def pop(self, key, default=None):
        self.refuse()

    def setdefault(self, key, default=None):
        self.refuse()

    def update(self, other):
        self.refuse()


class RefusingList(list):
    def pop(self, index=-1):
        Refusing.refuse(self)


@pytest.mark.parametrize(
    "target, use",
    [
        (Refusing(a=1), lambda p: p.pop("a")),
        (Refusing(), lambda p: p.setdefault("a", 1)),
        (Refusing(a=1), lambda p: p.update({"a": 2, "b": 3}, {"c": 4})),
        (RefusingList([1]), lambda p: p.pop()),
    ],
    ids=["pop", "setdefault", "update", "list-pop"],
)
@on_fresh_thread
def test_withdrawal_takes_back_exactly_this_calls_entries(target, use):
    tx, other = native_tx(), native_tx()
    target.tx, target.other = tx, other
    p = P(target, "domain", transaction=tx)
    p.ok = 1  # an earlier entry stays
    with pytest.raises(ArithmeticError, match="refused"):
        use(p)
    assert tx.get_delta_log() == ["domain.ok", "own"]
    assert other.get_delta_log() == []


class Changing:
    """A key whose text can be made once."""

    def __init__(self):
        self.calls = 0

    def __hash__(self):
        return 1

    def __str__(self):
        self.calls += 1
        if self.calls > 1:
            raise LookupError("second text")
        return "changing"


@on_fresh_thread
def test_key_text_failures():
    bad = StrRaises()
    tx = native_tx()
    target = {bad: 1, "a": 1}
    p = P(target, "domain", transaction=tx)
    # pop: nothing removed; update: stops at once, earlier keys withdrawn
    for use in (lambda: p.pop(bad), lambda: p.update([("a", 2), (bad, 2), ("c", 3)]),
                lambda: p.setdefault(StrRaises())):
        with pytest.raises(LookupError, match="no text"):
            use()
    assert target == {bad: 1, "a": 1} and tx.get_delta_log() == []
    fake = FakeTx()
    with pytest.raises(LookupError):
        P(target, "domain", transaction=fake).update([("a", 2), (bad, 2)])
    assert fake.deltas == [("domain.a", 1, 2)] and target["a"] == 1
    # setdefault's second text fails once the key is set: the entry stays
    key = Changing()
    with pytest.raises(LookupError, match="second text"):
        P(target, "domain", transaction=tx).setdefault(key, 5)
    assert target[key] == 5 and tx.get_delta_log() == ["domain.changing"]


@on_fresh_thread
def test_setdefault_needs_a_text_for_its_result_even_without_a_transaction():
    # On a fresh thread: the slot is empty, so only the result's text is made.
    target = {}
    with pytest.raises(LookupError):
        P(target).setdefault(StrRaises(), 1)
    assert list(target.values()) == [1]
    with pytest.raises(UnicodeEncodeError):
        P(target).setdefault("\udc80", 2)  # a child path must be UTF-8
    assert target["\udc80"] == 2


class Presence(dict):
    def __init__(self, answer):
        super().__init__(a=1)
        self.answer = answer

    def __contains__(self, key):
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer


@pytest.mark.parametrize("answer, exc", [(1, TypeError), (None, TypeError), ("yes", TypeError),
                                         (KeyError("probe"), KeyError)])
@on_fresh_thread
def test_presence_must_be_a_bool(answer, exc):
    target = Presence(answer)
    tx = FakeTx()
    p = P(target, "domain", transaction=tx)
    with pytest.raises(exc):
        p.pop("a")
    with pytest.raises(exc):
        p.setdefault("b")
    assert target == {"a": 1} and tx.deltas == []
    if exc is TypeError:
        with pytest.raises(TypeError, match=rf"^'{type(answer).__name__}' object cannot be converted to 'PyBool'$"):
            P(target).setdefault("b")


class GetRaises(dict):
    def get(self, key, default=None):
        raise KeyError("get failed")


@on_fresh_thread
def test_old_values_from_a_raising_get_are_none():
    tx = FakeTx()
    target = GetRaises(a=1)
    p = P(target, "domain", transaction=tx)
    p.update({"a": 2})
    assert p.pop("a") == 2
    assert tx.deltas == [("domain.a", None, 2), ("domain.a", None, None)]


@pytest.mark.parametrize("tx", [FailingTx(), NoLogTx()], ids=["log_delta-raises", "no-log_delta"])
@pytest.mark.parametrize("name", list(CALLS))
@on_fresh_thread
def test_failed_reports_are_silent(capfd, tx, name):
    make = CALLS[name][0]
    target = make()
    call(P(target, "domain", transaction=tx), name)
    assert target != make()
    assert capfd.readouterr() == ("", "")


class Interrupting(FakeTx):
    def log_delta(self, path, old, new):
        raise KeyboardInterrupt


@pytest.mark.parametrize("name, changed", [("append", True), ("pop", False), ("update", False)])
@on_fresh_thread
def test_an_interrupt_in_the_report_propagates(name, changed):
    make = CALLS[name][0]
    target = make()
    with pytest.raises(KeyboardInterrupt):
        call(P(target, "domain", transaction=Interrupting()), name)
    assert (target != make()) is changed


# ---- popitem's restore -------------------------------------------------------------------------


class SetitemRaises(dict):
    def __setitem__(self, key, value):
        raise OSError("no way back")


@pytest.mark.parametrize("tx_kind", ["native", "duck"])
@on_fresh_thread
def test_popitem_puts_the_pair_back_when_its_key_has_no_text(tx_kind):
    tx = native_tx() if tx_kind == "native" else FakeTx()
    key = StrRaises()
    target = {"a": 1, key: "v"}
    with pytest.raises(LookupError, match="no text"):
        P(target, "domain", transaction=tx).popitem()
    assert target == {"a": 1, key: "v"}
    assert (tx.get_delta_log() if tx_kind == "native" else tx.deltas) == []
    # A restore that fails raises its own error, the text's as its context.
    target = SetitemRaises({key: "v"})
    with pytest.raises(OSError, match="no way back") as failed:
        P(target, "domain", transaction=tx).popitem()
    assert isinstance(failed.value.__context__, LookupError)
    assert target == {}


@on_fresh_thread
def test_popitem_without_a_transaction_needs_no_text():
    key = StrRaises()
    assert P({key: 1}).popitem() == (key, 1)


# ---- update's merged dict ------------------------------------------------------------------------


@on_fresh_thread
def test_update_merges_through_builtins_dict_per_call(monkeypatch):
    seen = []
    real = builtins.dict

    def recording(*args, **kwargs):
        seen.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(builtins, "dict", recording)
    target = real(a=1)
    P(target).update([("b", 2)], {"c": 3})
    P(target).update()
    assert seen == [(([("b", 2)],), {"c": 3}), ((), {})]
    assert target == {"a": 1, "b": 2, "c": 3}
    monkeypatch.setattr(builtins, "dict", lambda *a, **k: [("x", 1)])
    tx = FakeTx()
    with pytest.raises(TypeError, match=r"^'list' object cannot be converted to 'PyDict'$"):
        P(target, transaction=tx, capabilities=0).update({"x": 1})
    assert tx.deltas == [] and "x" not in target


@on_fresh_thread
def test_update_walks_a_snapshot_of_the_merged_pairs(monkeypatch):
    kept = {}
    real = builtins.dict

    def keeping(*args, **kwargs):
        kept.update({k: list(v) for k, v in real(*args, **kwargs).items()})  # values owned by `kept` alone
        return kept

    class Clearing(FakeTx):
        def log_delta(self, path, old, new):
            super().log_delta(path, old, new)
            kept.clear()  # the pairs' only other owner lets go

    monkeypatch.setattr(builtins, "dict", keeping)
    tx = Clearing()
    target = real()
    P(target, "d", transaction=tx).update({"a": [1], "b": [2]})
    assert tx.deltas == [("d.a", None, [1]), ("d.b", None, [2])]
    assert target == {}  # the target got the merged dict as it was by then


@on_fresh_thread
def test_update_with_pairs_that_fail_midway_changes_nothing():
    def pairs():
        yield ("a", 2)
        raise ArithmeticError("midway")

    target, tx = {"a": 1}, FakeTx()
    with pytest.raises(ArithmeticError, match="midway"):
        P(target, transaction=tx).update(pairs())
    assert target == {"a": 1} and tx.deltas == []


# ---- runaway nesting ------------------------------------------------------------------------------


@pytest.mark.parametrize("make", [lambda: proxy_chain(5_000), self_wrapped], ids=["chain", "self"])
@pytest.mark.parametrize("name", list(CALLS))
@on_fresh_thread
def test_runaway_nesting_ends_in_recursion_error(make, name):
    p = make()
    with pytest.raises(RecursionError):
        call(p, name, ("a",) if name == "pop" else None)
    P({}, transaction=FakeTx())  # and with a transaction current
    with pytest.raises(RecursionError):
        call(p, name, ("a",) if name == "pop" else None)
    # the bound counts per thread and is given back: a chain within it works
    assert proxy_chain(300).setdefault("b", 1) == 1


# ---- a process run -----------------------------------------------------------------------------


@on_fresh_thread
def test_a_process_run_commits_what_the_methods_changed():
    engine = OlvexEngine()
    engine.commit_state(State(data={"domain": {"items": [1], "prefs": {"a": 1}}}, version=0))
    committed = engine.state
    tx = engine.transaction()
    with tx:
        p = P(committed.data["domain"], "domain", transaction=tx)
        items, prefs = p["items"], p["prefs"]  # children over shadows
        items.append(2)
        prefs.update({"b": 2}, {"a": 3})
        with pytest.raises(PermissionError, match="^PURE process"):
            P([], "domain.x", read_only=True).append(1)
    assert engine.state.data.to_dict()["domain"] == {"items": [1, 2], "prefs": {"a": 3, "b": 2}}
    assert committed.data["domain"] == {"items": [1], "prefs": {"a": 1}}  # the shadows kept it apart
    assert tx.get_delta_log()[:3] == ["domain[items]", "domain[prefs].b", "domain[prefs].a"]

