"""ContextGuard reads: paths and the contract check, what a read hands back
by type and zone, strict mode, the item road, membership and iteration,
and reads that conflict, recurse or race.

A read that hands out a writable proxy makes the guard's transaction the
calling thread's current one, so tests that read with a transaction run on
a thread of their own."""
import pytest

from olvex_core import ContextGuard, OlvexEngine, SupervisorProxy
from proxy_support import on_fresh_thread

G = ContextGuard


def new_tx():
    return OlvexEngine().transaction()


def refused_path(g, key):
    """The path a read of `key` checks, from the refusal of a guard with
    an empty contract."""
    with pytest.raises(PermissionError) as info:
        g[key]
    text = str(info.value)
    assert text.startswith("Illegal Read: '") and text.endswith("'")
    return text[len("Illegal Read: '"):-1]


class Index:
    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error:
            raise self.error
        return self.value

    def __str__(self):
        return "idx"

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return self is other


class AnyKey(dict):
    """Finds a value under any key, so every key reaches the path rules."""

    def __getitem__(self, key):
        return 1


HUGE = 2**63


@pytest.mark.parametrize(
    "key, with_prefix, at_root",
    [
        ("x", "p.x", "x"),
        (0, "p[0]", "[0]"),
        (-5, "p[-5]", "[-5]"),
        (True, "p[1]", "[1]"),
        (HUGE - 1, f"p[{HUGE - 1}]", f"[{HUGE - 1}]"),
        (-HUGE, f"p[{-HUGE}]", f"[{-HUGE}]"),
        (HUGE, f"p.{HUGE}", f"{HUGE}"),  # too large: another key
        (1.5, "p.1.5", "1.5"),
        (("a", 1), "p.('a', 1)", "('a', 1)"),
        (Index(3), "p[3]", "[3]"),
        (Index(HUGE), "p.idx", "idx"),
        (Index(error=ValueError("no")), "p.idx", "idx"),  # a failed conversion is dropped
        ("a.b[0]'q'", "p.a.b[0]'q'", "a.b[0]'q'"),  # nothing more than the rule
        ("", "p.", ""),
    ],
)
def test_read_paths(key, with_prefix, at_root):
    assert refused_path(G(AnyKey(), [], [], "p"), key) == with_prefix
    assert refused_path(G(AnyKey(), [], []), key) == at_root


def test_key_whose_text_fails_propagates_after_indexing():
    class BadStr:
        def __hash__(self):
            return 1

        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        G(AnyKey(), [], [], "p")[BadStr()]


# --- what a read hands back -------------------------------------------------------------------


class Thing:
    def __init__(self):
        self.v = 1


def named(name, base=object):
    """An instance of a class that only carries the name."""
    return type(name, (base,), {})()


class DictSub(dict):
    pass


def method_target():
    return Thing().__init__


KINDS = [
    # (value factory, what comes back: same | proxy | guard)
    (lambda: 1, "same"), (lambda: "s", "same"), (lambda: 1.5, "same"), (lambda: True, "same"),
    (lambda: None, "same"), (lambda: 2**80, "same"),
    (lambda: named("int64"), "same"), (lambda: named("float32"), "same"), (lambda: named("bool_"), "same"),
    (lambda: named("uint8"), "same"), (new_tx, "same"),
    (lambda: len, "same"), (lambda: Thing, "same"), (method_target, "same"), (lambda: (lambda: 0), "same"),
    (lambda: {"k": 1}, "proxy"), (lambda: [1, 2], "proxy"), (lambda: named("dict"), "proxy"),
    (lambda: SupervisorProxy({"k": 1}), "proxy"),
    (lambda: (1, [2]), "guard"), (lambda: {1, 2}, "guard"), (lambda: Thing(), "guard"),
    (lambda: DictSub(k=1), "guard"), (lambda: named("Int64"), "guard"), (lambda: b"bytes", "guard"),
]


@pytest.mark.parametrize("make, kind", KINDS)
@on_fresh_thread
def test_read_returns_by_type(make, kind):
    value = make()
    tx = new_tx()
    g = G({"v": value}, [], ["p"], "p", tx)
    got = g["v"]
    assert G({"v": value}, [], ["p"], "p")["v"] is value  # no transaction: all unchanged
    if kind == "same":
        assert got is value
    elif kind == "proxy":
        assert type(got) is SupervisorProxy
        original = value.supervisor_target if type(value) is SupervisorProxy else value
        shadow = got.supervisor_target
        assert shadow is not original and shadow is tx.get_shadow(original, "p.v")
        assert got.path() == "p.v" and got.__getstate__()[3] is True  # is_shadow
    else:
        assert type(got) is G
        assert got._target is tx.get_shadow(value, "p.v")
        assert got.policy_id == g.policy_id


@on_fresh_thread
def test_child_guards_are_of_the_base_class_and_inherit_the_transaction():
    class Sub(G):
        pass

    tx = new_tx()
    child = Sub({"t": Thing(), "c": Thing()}, [], ["p"], "p", tx)["t"]
    assert type(child) is G
    child.v = 5  # writes need the transaction the child inherited
    assert child.v == 5 and child._target.v == 5


@on_fresh_thread
def test_heavy_values_are_not_copied():
    tx = new_tx()
    heavy, blob, plain = {"blob": 1}, {"big": 1}, {"small": 1}
    g = G({"heavy": heavy, "heavy_x": blob, "plain": plain}, [], ["heavy", "heavy_x", "plain"], "", tx)
    assert g["heavy"].supervisor_target is heavy
    assert g["heavy_x"].supervisor_target is blob
    assert g["plain"].supervisor_target is not plain


# (key, in outputs, admin) -> (capability byte, read_only); None: the read gives None.
ZONE_CASES = [
    ("data", True, False, 15, False), ("meta_x", True, False, 5, False), ("heavy_x", True, False, 5, False),
    ("sig_x", True, False, 3, False), ("log_x", True, False, 3, False), ("const_x", True, False, 1, False),
    ("data", False, False, 1, True), ("meta_x", False, False, 1, True), ("sig_x", False, False, 1, True),
    ("const_x", False, False, 1, True), ("internal_x", True, False, None, None),
    ("internal_x", False, False, None, None),
    ("data", False, True, 15, False), ("sig_x", False, True, 15, False), ("internal_x", False, True, 15, False),
    ("const_x", False, True, 1, False), ("const_x", True, True, 1, False),
]


@pytest.mark.parametrize("key, output, admin, caps, read_only", ZONE_CASES)
@on_fresh_thread
def test_read_proxy_capabilities_by_zone(key, output, admin, caps, read_only):
    probe = {}
    assert SupervisorProxy({"p": probe})["p"].supervisor_target is probe  # the slot starts empty
    tx = new_tx()
    inputs, outputs = ([], [f"d.{key}"]) if output else ([f"d.{key}"], [])
    g = G({key: {"k": 1}, "n": 7}, inputs, outputs, "d", tx, is_admin=admin)
    got = g[key]
    if caps is None:
        assert got is None
        assert G({key: 7}, inputs, outputs, "d", tx)[key] == 7  # pass-through comes first
        assert G({key: {"k": 1}}, inputs, outputs, "d")[key] == {"k": 1}  # and so does no transaction
        return
    assert (got.capabilities, got.read_only) == (caps, read_only)
    # Only a writable proxy makes the transaction the thread's current one.
    child = SupervisorProxy({"p": probe})["p"]
    assert (child.supervisor_target is probe) is read_only


# --- strict mode and the attribute road ------------------------------------------------------


class Private:
    def __init__(self):
        self._x = {"raw": 1}
        self.v = 2


@pytest.mark.parametrize(
    "name, strict, outcome",
    [
        ("_x", False, {"raw": 1}),
        ("_x", True, (PermissionError, "Access to private attribute '_x' denied in Strict Mode")),
        ("_", True, (PermissionError, "Access to private attribute '_' denied in Strict Mode")),
        ("_x_", True, (PermissionError, "Access to private attribute '_x_' denied in Strict Mode")),
        ("__len__", True, (AttributeError, "'ContextGuard' object has no attribute '__len__'")),
        ("__", True, (AttributeError, "'ContextGuard' object has no attribute '__'")),
        ("___", True, (AttributeError, "'ContextGuard' object has no attribute '___'")),
        ("__y", False, (AttributeError, "'Private' object has no attribute '__y'")),
        ("v", True, 2),
        ("missing", False, (AttributeError, "'Private' object has no attribute 'missing'")),
    ],
)
@on_fresh_thread
def test_private_names(name, strict, outcome):
    tx = new_tx()
    target = Private()
    g = G(target, [], [], "p", tx, strict_guards=strict, is_admin=True)
    if isinstance(outcome, tuple):
        exc, message = outcome
        with pytest.raises(exc) as info:
            getattr(g, name)
        assert str(info.value) == message
    else:
        got = getattr(g, name)
        assert got == outcome
        if name == "_x":
            assert got is target._x  # unguarded: no shadow, no proxy


def test_attribute_reads_check_the_contract_and_generic_names_come_first():
    g = G(Private(), ["p.v"], [], "p")
    assert g.v == 2
    with pytest.raises(PermissionError, match=r"^Illegal Read: 'p.other'$"):
        g.other
    assert g.__class__ is G and callable(g._elevate)


def test_item_road_on_objects_and_dicts():
    obj = G(Private(), [], ["p"], "p")
    assert obj["v"] == 2  # indexing an object fails, the attribute road reads it
    d = G({"present": 1}, [], ["p"], "p")
    with pytest.raises(AttributeError, match="'dict' object has no attribute 'absent'"):
        d["absent"]
    assert list(d["keys"]()) == ["present"]  # a bound method: callable, so unwrapped
    with pytest.raises(PermissionError, match=r"^Illegal Read: 'keys'$"):
        G({}, [], [])["keys"]
    with pytest.raises(KeyError):
        d[5]
    with pytest.raises(IndexError):
        G([1], [], ["p"], "p")[3]
    with pytest.raises(TypeError, match="unhashable"):
        d[[1]]


class FlakyItems:
    """Fails the first indexing, then answers."""

    def __init__(self, value):
        self.value, self.calls = value, 0

    def __getitem__(self, key):
        self.calls += 1
        if self.calls == 1:
            raise LookupError("first")
        return self.value


@on_fresh_thread
def test_a_second_indexing_that_succeeds_is_checked_and_wrapped():
    tx = new_tx()
    with pytest.raises(PermissionError, match=r"^Illegal Read: 'p\[0\]'$"):
        G(FlakyItems({"k": 1}), [], [], "p", tx)[0]
    target = FlakyItems({"k": 1})
    got = G(target, [], ["p"], "p", tx)[0]
    assert target.calls == 2
    assert type(got) is SupervisorProxy and got.supervisor_target is not target.value
    assert got.path() == "p[0]"


@pytest.mark.parametrize(
    "level, depth",
    [
        (lambda g: G(g, [], [], is_admin=True), 60),
        (lambda g: G(SupervisorProxy(G(g, [], [], is_admin=True)), [], [], is_admin=True), 30),
    ],
    ids=["guards", "through-proxies"],
)
def test_missing_key_in_a_chain_of_guards_is_indexed_twice_in_all(level, depth):
    class Counting(dict):
        calls = 0

        def __getitem__(self, key):
            Counting.calls += 1
            return super().__getitem__(key)

    g = Counting()
    for _ in range(depth):
        g = level(g)
    with pytest.raises(KeyError):
        g[0]
    assert Counting.calls == 2
    with pytest.raises(AttributeError):
        g["absent"]  # text keys go on to the attribute road at each level


OTHER = G({"k": 1}, ["k", "absent"], [])


@pytest.mark.parametrize(
    "side_read",
    [
        lambda: OTHER["k"],
        lambda: pytest.raises(KeyError, OTHER.__getitem__, 5),  # that guard indexed twice itself
        lambda: pytest.raises(AttributeError, OTHER.__getitem__, "absent"),
    ],
    ids=["found", "missing-index", "missing-text"],
)
def test_a_guard_read_inside_the_targets_own_lookup_keeps_the_second_indexing(side_read):
    class Target:
        calls = 0

        def __getitem__(self, key):
            self.calls += 1
            side_read()
            if self.calls == 1:
                raise KeyError(key)
            return 42

    target = Target()
    assert G(target, ["[7]"], [], None, None)[7] == 42
    assert target.calls == 2
    over = Target()
    assert G(G(over, ["[7]"], []), ["[7]"], [])[7] == 42  # the inner guard's second indexing answered
    assert over.calls == 2


def test_membership_and_iteration_are_unchecked():
    g = G({"a": 1, "b": 2}, [], [])
    assert "a" in g and "z" not in g
    assert list(g) == ["a", "b"]
    with pytest.raises(AttributeError, match="'int' object has no attribute '__iter__'"):
        iter(G(5, [], []))
    with pytest.raises(TypeError):
        1 in G(5, [], [])


# --- probes, shadows, borrows -----------------------------------------------------------------


class ProbeRaises:
    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        if name == "supervisor_target":
            raise self.error
        raise AttributeError(name)


@on_fresh_thread
def test_supervisor_target_probe():
    tx = new_tx()
    g = G({"a": ProbeRaises(AttributeError("none")), "b": ProbeRaises(KeyError("probe"))}, [], ["p"], "p", tx)
    assert type(g["a"]) is G
    with pytest.raises(KeyError, match="probe"):
        g["b"]


class NoCopy:
    def __deepcopy__(self, memo):
        raise TypeError("not copyable")


@on_fresh_thread
def test_shadow_failure_propagates():
    tx = new_tx()
    g = G({"bad": NoCopy(), "tx": [tx]}, [], ["p"], "p", tx)
    with pytest.raises(RuntimeError, match="Transaction isolation failure: cannot deepcopy object of type 'NoCopy'"):
        g["bad"]
    with pytest.raises(RuntimeError, match="cannot deepcopy"):
        g["tx"]


class ReadsBack:
    """Reads through a guard while the transaction copies it."""

    guard = None
    seen = []

    def __deepcopy__(self, memo):
        try:
            ReadsBack.guard["other"]
        except BaseException as e:  # recorded for the test
            ReadsBack.seen.append(e)
        return ReadsBack()


@on_fresh_thread
def test_transaction_held_by_another_call_is_an_ordinary_error():
    tx = new_tx()
    other = {"k": 1}
    g = G({"self": ReadsBack(), "other": other}, [], ["p"], "p", tx)
    ReadsBack.guard, ReadsBack.seen = g, []
    g["self"]
    [error] = ReadsBack.seen
    assert type(error) is RuntimeError and str(error) == "Already borrowed"
    assert not tx.is_known_shadow(other) and tx.get_shadow(other) is not other  # nothing was cached for it
    assert type(g["other"]) is SupervisorProxy


class Reentrant(dict):
    action = None

    def __getitem__(self, key):
        Reentrant.action()
        return super().__getitem__(key)


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda g: setattr(g, "heavy_x", 1), "Already borrowed"),
        (lambda g: g._elevate(True), "Already borrowed"),
        (lambda g: g.__setitem__("heavy_y", 1), "Already borrowed"),
    ],
)
def test_exclusive_calls_from_inside_a_read_conflict(action, message):
    target = Reentrant(k=1)
    g = G(target, [], ["p"], "p")
    errors = []

    def run():
        try:
            action(g)
        except RuntimeError as e:
            errors.append(str(e))

    Reentrant.action = run
    assert g["k"] == 1
    assert errors == [message]
    assert "heavy_x" not in target and "heavy_y" not in target
    Reentrant.action = lambda: errors.append("k" in g)  # shared borrows nest
    assert g["k"] == 1 and errors[-1] is True


# --- recursion and threads --------------------------------------------------------------------


@pytest.mark.parametrize("mixed", [False, True])
@pytest.mark.parametrize(
    "operation",
    [lambda g: g["x"], lambda g: g.x, lambda g: "x" in g, lambda g: iter(g), lambda g: g.outbox],
)
def test_endless_nesting_ends_in_recursion_error(operation, mixed):
    g = {"x": 1}
    for i in range(5_001):  # a guard outermost
        g = SupervisorProxy(g) if mixed and i % 2 else G(g, [], [], is_admin=True)
    with pytest.raises(RecursionError):
        operation(g)
