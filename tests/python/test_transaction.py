"""Transaction: the class, construction, properties, update, the delta
log's members, the pickling and copying refusals, cycle collection."""
import copy
import gc
import inspect
import pickle
import weakref

import pytest

from olvex_core import ContextError, FrozenDict, OlvexEngine, OutboxCollector, SupervisorProxy, Transaction

MEMBERS = [
    # (name, signature or None for a property, docstring)
    ("outbox", None, None),
    ("write_timeout_ms", None, None),
    ("pending_data", None, None),
    ("pending_heavy", None, None),
    ("pending_signal", None, None),
    ("update", "(data=None, heavy=None, signal=None)", None),
    ("get_shadow_updates", "()",
     "Get shadow updates keyed by root path (e.g., 'domain' -> shadow_dict)\n"
     "This extracts all modified root-level objects for committing to State."),
    ("build_pending_from_deltas", "()",
     "[v3.1 Delta Replay] Build pending_data from delta_log by replaying mutations"),
    ("get_delta_log", "()", "[v3.1.2] Expose raw delta log for strict contract validation"),
    ("flush_outbox", "()", "[v3.3] Manual Flush for Flux Engine / execute()"),
    ("__enter__", "()", None),
    ("__exit__", "(_exc_type=None, _exc_value=None, _traceback=None)", None),
    ("infer_shadow_deltas", "()", "[v3.1.2] Infer Deltas from Shadow Mutations (Differential Merging)"),
    ("get_shadow", "(val, path=None)", "Internal: Get shadow copy for CoW/Tracking"),
    ("commit", "()",
     "[v3.1 Zero Trust] Commit Delta Log to Pending State\n"
     "This applies the implicit mutations (captured in shadow objects) to the pending_data/heavy buffers."),
    ("log_delta", "(path, old_val=None, new_val=None)", "[v3.1 Zero Trust] Log operation for Audit"),
    ("log_internal", "(_path, _op, _new_val=None, _old_val=None, _obj_ref=None, _key=None)",
     "Internal: Log operation for Audit (Full)"),
    ("__reduce__", "()",
     "[v3.4] Fail-fast: Transaction cannot be pickled/deepcopied.\n"
     "Prevents silent corruption if Transaction leaks into serializable paths."),
    ("__deepcopy__", "(_memo)", None),
    ("is_known_shadow", "(obj)", "[INC-013] Helper: Check if object is a tracked Shadow."),
]

REDUCE_MESSAGE = (
    "Transaction objects cannot be pickled/deepcopied. They are transient controllers with scoped lifecycle. "
    "Use contextvars to access the active transaction."
)
DEEPCOPY_MESSAGE = "Transaction objects cannot be deepcopied. They are transient controllers with scoped lifecycle."


def test_class_surface():
    assert Transaction.__module__ == "olvex_core"
    assert not Transaction.__doc__
    assert Transaction.__text_signature__ == "(engine=None, write_timeout_ms=5000)"
    with pytest.raises(TypeError):
        type("Sub", (Transaction,), {})
    tx = Transaction()
    assert not hasattr(tx, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(tx)
    methods = [m for m in MEMBERS if m[1] is not None]
    props = [m for m in MEMBERS if m[1] is None]
    own = [n for n in Transaction.__dict__ if n not in ("__new__", "__doc__", "__module__")]
    assert [n for n in own if n in dict((m[0], 1) for m in methods)] == [m[0] for m in methods]
    for name, sig, doc in methods:
        assert str(inspect.signature(getattr(tx, name))) == sig, name
        assert getattr(tx, name).__doc__ == doc, name
    for name, _, _ in props:
        assert getattr(Transaction, name).__doc__ is None
        with pytest.raises(AttributeError):
            setattr(tx, name, 1)


def test_construction():
    tx = Transaction()
    assert tx.write_timeout_ms == 5000
    assert Transaction(None).write_timeout_ms == 5000
    e = OlvexEngine()
    assert Transaction(e, 7).write_timeout_ms == 7
    assert Transaction(write_timeout_ms=0, engine=e).write_timeout_ms == 0

    class Engine(OlvexEngine):
        pass

    assert Transaction(Engine(), 2**64 - 1).write_timeout_ms == 2**64 - 1


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"engine": 1}, TypeError, "argument 'engine': 'int' object cannot be converted to 'OlvexEngine'"),
        ({"engine": {}}, TypeError, "argument 'engine': 'dict' object cannot be converted to 'OlvexEngine'"),
        ({"write_timeout_ms": None}, TypeError, "argument 'write_timeout_ms': "),
        ({"write_timeout_ms": 1.5}, TypeError, "argument 'write_timeout_ms': "),
        ({"write_timeout_ms": "5"}, TypeError, "argument 'write_timeout_ms': "),
        ({"write_timeout_ms": -1}, OverflowError, ""),
        ({"write_timeout_ms": 2**64}, OverflowError, ""),
        ({"timeout": 1}, TypeError, "unexpected keyword argument 'timeout'"),
    ],
)
def test_construction_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        Transaction(**kwargs)
    assert message in str(info.value)
    if exc is OverflowError:
        assert "argument" not in str(info.value)


def test_pending_buffers_and_outbox():
    tx = Transaction()
    assert tx.pending_heavy is tx.pending_heavy and tx.pending_heavy == {}
    assert tx.pending_signal is tx.pending_signal and tx.pending_signal == []
    assert type(tx.outbox) is OutboxCollector and tx.outbox is not tx.outbox
    first = tx.pending_data
    assert first == {} and tx.pending_data is not first  # a new preview each read
    tx.pending_heavy["k"] = 1  # the buffers themselves are handed out
    assert tx.pending_heavy == {"k": 1}


def test_update_merges_into_the_buffers():
    tx = Transaction()
    caller = {"x": 1}
    assert tx.update(data={"a": caller}, heavy={"blob": b"1"}, signal={"s": 1}) is None
    tx.update({"a": {"y": 2}, "p.q": 3}, None, [{"t": 2}])
    tx.update(signal=None)
    assert tx.pending_data == {"a": {"x": 1, "y": 2}, "p": {"q": 3}}
    assert caller == {"x": 1, "y": 2}  # merged dicts are stored by reference
    assert tx.pending_heavy == {"blob": b"1"}
    assert tx.pending_signal == [{"s": 1}, [{"t": 2}]]


class Sub(dict):
    pass


@pytest.mark.parametrize(
    "kwargs, message, kept",
    [
        ({"data": [1]}, "update data must be a dict", {}),
        ({"data": FrozenDict({"a": 1})}, "update data must be a dict", {}),
        ({"data": "a"}, "update data must be a dict", {}),
        ({"data": {"a": 1}, "heavy": [("k", 1)]}, "heavy update data must be a dict", {"a": 1}),
        ({"data": {"a": 1}, "heavy": FrozenDict({})}, "heavy update data must be a dict", {"a": 1}),
    ],
)
def test_update_refuses_what_is_not_a_dict(kwargs, message, kept):
    tx = Transaction()
    with pytest.raises(ContextError) as info:
        tx.update(signal="s", **kwargs)
    assert str(info.value) == message
    assert tx.pending_data == kept and tx.pending_heavy == {}
    assert tx.pending_signal == []  # the signal comes after both checks


def test_update_accepts_dict_subclasses_and_unwraps_proxies():
    tx = Transaction()
    inner = {"k": 1}
    tx.update(data=Sub(a=SupervisorProxy(inner)))
    assert tx.pending_data == {"a": {"k": 1}}
    assert tx.build_pending_from_deltas()["a"] is inner


def test_update_of_a_self_merging_buffer_ends_in_recursion_error():
    tx = Transaction()
    d = {}
    d["self"] = d
    tx.update(data=d)
    with pytest.raises(RecursionError):
        tx.update(data=d)
    tx.update(heavy=tx.pending_heavy)  # a buffer merged into itself is harmless


def test_log_delta_and_get_delta_log():
    tx = Transaction()

    class Path(str):
        pass

    assert tx.log_delta("a", 1, None) is None
    tx.log_delta(path=Path("b.c"), new_val=2)
    tx.log_delta("\ud800x", None, 3)  # not examined: any str is logged
    log = tx.get_delta_log()
    assert log == ["a", "b.c", "\ud800x"]
    assert [type(p) for p in log] == [str, str, str]
    assert tx.get_delta_log() is not log


@pytest.mark.parametrize(
    "args, message",
    [
        ((1,), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ((None, 1, 2), "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
        ((), "log_delta() missing 1 required positional argument: 'path'"),
    ],
)
def test_log_delta_errors(args, message):
    tx = Transaction()
    with pytest.raises(TypeError) as info:
        tx.log_delta(*args)
    assert message in str(info.value)
    assert tx.get_delta_log() == []


def test_log_internal_checks_types_and_records_nothing():
    tx = Transaction()
    assert tx.log_internal("a", "SET") is None
    assert tx.log_internal("a\ud800", "SET", 1, 2, object(), "k") is None
    assert tx.log_internal(_path="a", _op="DEL", _key=None) is None
    for kwargs, arg in [({"_path": 1, "_op": "SET"}, "_path"), ({"_path": "a", "_op": None}, "_op"),
                        ({"_path": "a", "_op": "SET", "_key": 3}, "_key")]:
        with pytest.raises(TypeError, match=f"^argument '{arg}': "):
            tx.log_internal(**kwargs)
    assert tx.get_delta_log() == []


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda tx: pickle.dumps(tx), REDUCE_MESSAGE),
        (lambda tx: tx.__reduce__(), REDUCE_MESSAGE),
        (lambda tx: copy.copy(tx), REDUCE_MESSAGE),
        (lambda tx: copy.deepcopy(tx), DEEPCOPY_MESSAGE),
        (lambda tx: tx.__deepcopy__({}), DEEPCOPY_MESSAGE),
        (lambda tx: copy.deepcopy([{"tx": tx}]), DEEPCOPY_MESSAGE),
    ],
)
def test_pickling_and_copying_are_refused(action, message):
    with pytest.raises(RuntimeError) as info:
        action(Transaction())
    assert str(info.value) == message


def test_cycles_through_a_transaction_are_collected():
    class Token:
        pass

    token = Token()
    ref = weakref.ref(token)
    tx = Transaction()
    holder = {"tx": tx, "token": token}
    tx.update(data={"h": holder}, heavy={"h": holder}, signal=holder)
    tx.log_delta("a", holder, holder)
    tx.get_shadow(holder, "heavy.h")
    shadowed = {"tx": tx, "token": token, "inner": {}}
    tx.get_shadow(shadowed["inner"], "domain")
    tx.get_shadow(Token(), "other")
    del token, tx, holder, shadowed
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("entries", [3, 100], ids=["few", "many"])
def test_a_new_transaction_starts_with_empty_records(entries):
    # Whatever the transactions before it recorded, and whatever their
    # values do when they are let go.
    class Reopens:
        def __del__(self):
            inner = Transaction()
            inner.log_delta("inner.x", None, 1)
            inner.get_shadow({"v": 1}, "inner.y")

    engine = OlvexEngine()
    originals = [{"n": i} for i in range(entries)]
    for _ in range(3):
        tx = engine.transaction()
        for i, original in enumerate(originals):
            tx.log_delta(f"domain.k{i}", None, Reopens())
            tx.get_shadow(original, f"domain.k{i}")["n"] = -1
        del tx
        fresh = engine.transaction()
        assert fresh.get_delta_log() == [] and fresh.get_shadow_updates() == {}
        assert not any(fresh.is_known_shadow(o) for o in originals)
        assert fresh.pending_data == {}  # the first read infers: nothing is tracked
        later = engine.transaction()
        shadow = later.get_shadow(originals[1], "domain.k1")
        assert shadow == {"n": 1} and later.is_known_shadow(originals[1])
        shadow["n"] = 7
        assert later.pending_data == {"domain": {"k1": {"n": 7}}}
        assert later.get_delta_log() == ["domain.k1"]
        del fresh, later
