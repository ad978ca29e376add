"""ContextGuard: the class, construction and interned contracts, the small
methods and properties, and the life of instances."""
import asyncio
import copy
import gc
import inspect
import pickle
import weakref

import pytest

from olvex_core import ContextGuard, OlvexEngine, OutboxMsg, ProcessContext

G = ContextGuard


def new_tx():
    return OlvexEngine().transaction()


class Box:
    pass


# --- the class ------------------------------------------------------------------------------


def test_class_surface():
    assert G.__module__ == "builtins" and G.__name__ == G.__qualname__ == "ContextGuard"
    assert str(inspect.signature(G)) == (
        "(target, inputs, outputs, path_prefix=None, tx=None, is_admin=False, strict_guards=False)"
    )
    assert not G.__doc__
    assert [n for n in G.__dict__ if not n.startswith("__")] == ["log", "_elevate", "outbox", "policy_id", "_target"]
    assert str(inspect.signature(G.log)) == "(self, /, message)"
    assert G.log.__doc__ == (
        'ctx.log("message")\nWrites to standard output for now (or could use meta logs if accessible)'
    )
    assert str(inspect.signature(G._elevate)) == "(self, /, enabled)"
    assert G._elevate.__doc__ == (
        "[RFC-001] Elevate this guard to Admin status for current thread.\nUsed by AdminTransaction context manager."
    )
    assert G.policy_id.__doc__ == "[RFC-001] Native getter for Flyweight Verification"
    assert "outbox" in G.outbox.__doc__
    for slot in ("__len__", "__eq__", "__repr__", "__hash__"):
        assert slot not in G.__dict__


def test_instances_have_a_dict_and_subclasses_work():
    target = {"a": 1}
    g = G(target, ["a"], [])
    assert vars(g) == {} and g.__dict__ is vars(g)
    g.__dict__["note"] = "mine"
    assert g.note == "mine"  # the generic lookup comes first
    with pytest.raises(TypeError):
        weakref.ref(g)

    class Sub(G):
        kind = "sub"

    s = Sub(target, ["a"], [])
    assert type(s) is Sub and isinstance(s, G)
    assert s.kind == "sub" and s["a"] == 1 and s._target is target
    weakref.ref(s)  # a Python subclass may add what the base lacks


# --- construction ---------------------------------------------------------------------------


def gen(*items, fail=None):
    yield from items
    if fail:
        raise fail


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"inputs": None}, TypeError, "Expected iterable for inputs/outputs"),
        ({"outputs": 5}, TypeError, "Expected iterable for inputs/outputs"),
        ({"inputs": ["a", 1]}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"outputs": [b"a"]}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ({"inputs": (x for x in [None])}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"inputs": gen("a", fail=ValueError("midway"))}, ValueError, "midway"),
        ({"path_prefix": 5}, TypeError, "argument 'path_prefix': 'int' object cannot be converted to 'PyString'"),
        ({"tx": {}}, TypeError, "argument 'tx': 'dict' object cannot be converted to 'Transaction'"),
        ({"is_admin": None}, TypeError, "argument 'is_admin': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"is_admin": 1}, TypeError, "argument 'is_admin': 'int' object cannot be converted to 'PyBool'"),
        ({"strict_guards": "yes"}, TypeError,
         "argument 'strict_guards': 'str' object cannot be converted to 'PyBool'"),
        # Arguments are converted before the iterables are collected.
        ({"inputs": None, "is_admin": None}, TypeError, "argument 'is_admin'"),
        ({"inputs": ["\udc80"]}, UnicodeEncodeError, "surrogates not allowed"),
        ({"path_prefix": "\udc80"}, UnicodeEncodeError, "surrogates not allowed"),
    ],
)
def test_construction_errors(kwargs, exc, message):
    args = {"target": {}, "inputs": [], "outputs": [], **kwargs}
    with pytest.raises(exc, match=message) as info:
        G(**args)
    assert info.type is exc


def test_missing_arguments():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'outputs'"):
        G({}, [])


def test_none_means_omitted_and_any_target_is_taken():
    g = G(None, [], [], path_prefix=None, tx=None)
    assert g._target is None
    with pytest.raises(PermissionError, match=r"^Illegal Read: 'x'$"):
        g["x"]  # an empty prefix
    tx = new_tx()
    assert G({}, [], [], "p", tx, True, True)._target == {}


class HostileStr(str):
    def __eq__(self, other):
        raise AssertionError("__eq__ ran")

    def __hash__(self):
        raise AssertionError("__hash__ ran")

    def __str__(self):
        raise AssertionError("__str__ ran")


def policy_of(inputs, outputs=(), strict=False):
    return G({}, inputs, outputs, strict_guards=strict).policy_id


# Texts are taken in order from any iterable of str, duplicates kept.
@pytest.mark.parametrize(
    "a, b, same",
    [
        ((["a", "b"], []), (("a", "b"), []), True),
        ((["a", "b"], []), ("ab", []), True),  # a str yields its characters
        ((["a", "b"], []), ({"a": 1, "b": 2}, []), True),  # a dict its keys
        ((["a", "b"], []), (gen("a", "b"), []), True),
        ((["a", "b"], []), ([HostileStr("a"), HostileStr("b")], []), True),
        ((["a", "b"], []), (["b", "a"], []), False),
        ((["a", "a"], []), (["a"], []), False),
        ((["a", "b"], []), (["a"], ["b"]), False),
        ((["ab"], []), (["a", "b"], []), False),
        (([], ["a"]), (["a"], []), False),
        ((["a\0b"], []), (["a"], []), False),
        (([""], []), ([], []), False),
        ((["x" * 10_000], []), (["x" * 10_000], []), True),
    ],
)
def test_contracts_are_interned_by_value(a, b, same):
    assert (policy_of(*a) == policy_of(*b)) is same


def test_strict_flag_is_part_of_the_contract_and_ids_outlive_guards():
    assert policy_of(["a"], [], False) != policy_of(["a"], [], True)
    kept = policy_of(["only.here.once"])
    gc.collect()
    others = [policy_of([f"other{i}"]) for i in range(50)]
    assert kept not in others
    assert policy_of(["only.here.once"]) == kept


def test_children_share_the_parent_policy():
    tx = new_tx()
    g = G({"obj": Box()}, ["obj"], [], tx=tx)
    child = g["obj"]
    assert type(child) is G and child.policy_id == g.policy_id


@pytest.mark.parametrize(
    "inputs, outputs, is_admin, refused",
    [
        (["sig_x"], [], False, ("sig_x", "Signal")),
        (["domain.x", "meta"], [], False, ("meta", "Meta")),
        (["cmd_go", "meta_x"], [], False, ("cmd_go", "Signal")),  # the first one found
        (["a.meta.b"], [], False, ("a.meta.b", "Meta")),
        (["sig_x"], [], True, ("sig_x", "Signal")),  # admin is not exempt
        ([], ["sig_x", "meta"], False, None),  # outputs are not examined
        (["heavy_x", "log_x", "const_x", "internal_x", "metadata", "signal"], [], False, None),
    ],
)
def test_strict_mode_refuses_control_zone_inputs(inputs, outputs, is_admin, refused):
    if refused is None:
        G({}, inputs, outputs, is_admin=is_admin, strict_guards=True)
        return
    name, zone = refused
    with pytest.raises(PermissionError) as info:
        G({}, inputs, outputs, is_admin=is_admin, strict_guards=True)
    assert str(info.value) == f"SECURITY VIOLATION: Input '{name}' belongs to restricted Control Zone {zone}."
    G({}, inputs, outputs, is_admin=is_admin, strict_guards=False)  # only strict mode refuses


# --- log, _elevate, outbox, policy_id, _target -----------------------------------------------


@pytest.mark.parametrize("message", ["x", "", "naïve ✓", "a\0b\nc", HostileStr("sub")])
def test_log_writes_one_line_to_descriptor_1(capfd, message):
    g = G({}, [], [])
    assert g.log(message) is None
    out, err = capfd.readouterr()
    assert out == f"[CTX LOG] {str.__str__(message)}\n" and err == ""


@pytest.mark.parametrize(
    "message, exc",
    [("\udc80", UnicodeEncodeError), (5, TypeError)],
)
def test_log_refuses_what_it_cannot_write_and_writes_nothing(capfd, message, exc):
    g = G({}, [], [])
    with pytest.raises(exc):
        g.log(message)
    assert capfd.readouterr().out == ""


def test_log_is_the_method_while_assignment_stores_the_field():
    target = {"log": "target's"}
    g = G(target, [], [])
    assert g.log.__self__ is g
    marker = object()
    g.log = marker
    g["log"] = marker  # the item road too
    assert callable(g.log) and target == {"log": "target's"}
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del g.log


def test_log_to_a_closed_stdout_is_dropped(run_python):
    r = run_python(
        "import os, olvex_core\n"
        "g = olvex_core.ContextGuard({}, [], [])\n"
        "os.close(1)\n"
        "g.log('lost')\n"
        "os.write(2, b'alive')\n"
    )
    assert r.returncode == 0 and r.stderr.endswith("alive")


class Pair:
    def __init__(self):
        self.v, self.w = 1, 2


def test_elevate_opens_this_guard_and_the_children_built_after():
    tx = new_tx()
    g = G({"a": Pair(), "secret": Pair()}, ["a.v"], [], tx=tx)
    before = g["a"]
    with pytest.raises(PermissionError, match="^Illegal Read: 'secret'$"):
        g["secret"]
    assert g._elevate(True) is None
    assert g["secret"].v == 1
    after = g["a"]
    g._elevate(False)
    with pytest.raises(PermissionError):
        g["secret"]
    assert after.w == 2  # built while the parent was admin
    with pytest.raises(PermissionError, match="^Illegal Read: 'a.w'$"):
        before.w
    with pytest.raises(TypeError, match="argument 'enabled': 'int' object cannot be converted to 'PyBool'"):
        g._elevate(1)


class WithOutbox:
    outbox = "the target's outbox"
    policy_id = "the target's id"


class RaisingOutbox:
    @property
    def outbox(self):
        raise KeyError("no outbox")


def test_outbox_and_target_are_raw():
    target = WithOutbox()
    g = G(target, [], [])  # no contract check, no wrapping
    assert g.outbox == "the target's outbox" and g._target is target
    # The item road reaches the fallback, which forwards both names unchecked.
    assert g["outbox"] == "the target's outbox" and g["policy_id"] == "the target's id"
    assert g.policy_id != "the target's id"
    with pytest.raises(AttributeError, match="'dict' object has no attribute 'outbox'"):
        G({}, [], []).outbox
    with pytest.raises(KeyError):
        G(RaisingOutbox(), [], []).outbox


def test_transaction_outbox_is_forwarded_unchanged():
    tx = new_tx()
    g = G(tx, [], [])
    assert type(g.outbox).__name__ == "OutboxCollector"


@pytest.mark.parametrize("road", ["property", "item"])
@pytest.mark.parametrize("built_by", ["python", "runner"])
def test_outbox_of_a_context_target_shares_the_contexts_buffer(road, built_by):
    engine = OlvexEngine()
    tx = engine.transaction()
    if built_by == "python":
        ctx = ProcessContext(engine.state, {}, tx)
    else:
        async def grab(ctx):
            return ctx

        ctx = asyncio.run(engine.execute_process_async("p", grab, tx))
    g = G(ctx, [], [], tx=tx)
    first, second = (g.outbox, g.outbox) if road == "property" else (g["outbox"], g["outbox"])
    assert type(first) is type(ctx.outbox) and first is not second
    first.add(OutboxMsg("from the guard", None))
    assert [m.topic for m in ctx.outbox.messages] == ["from the guard"]
    assert [m.topic for m in second.messages] == ["from the guard"]
    assert tx.outbox.len() == (1 if built_by == "runner" else 0)


# --- life of instances ----------------------------------------------------------------------


def test_cycles_through_every_field_are_collected():
    class Marker:
        pass

    tx = new_tx()
    for tie in ("target", "log", "dict"):
        marker = Marker()
        alive = weakref.ref(marker)
        target = {"m": marker}
        g = G(target, [], [], tx=tx)
        if tie == "target":
            target["g"] = g
        elif tie == "log":
            g.log = [g, marker]
        else:
            g.__dict__["self"] = g
        del g, target, marker
        gc.collect()
        assert alive() is None, tie


def test_long_chains_release_without_recursion():
    marker = Box()
    alive = weakref.ref(marker)
    g = {"m": marker}
    del marker
    for _ in range(100_000):
        g = G(g, [], [], is_admin=True)
    del g
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("operation", [copy.copy, copy.deepcopy, pickle.dumps])
def test_copying_and_pickling_are_refused(operation, strict):
    g = G({"a": 1}, ["a"], [], strict_guards=strict)
    with pytest.raises(TypeError, match="cannot pickle 'ContextGuard' object"):
        operation(g)
