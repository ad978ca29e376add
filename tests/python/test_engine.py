"""OlvexEngine: the class, its fields, setters, conflict forwarding,
properties, transaction() and commit_state(), borrows and cycle collection."""
import gc
import inspect
import threading
import weakref

import pytest

import olvex_core
from olvex_core import OlvexEngine, OutboxMsg, State

SIGNATURES = {
    "set_audit_system": "(audit)",
    "set_strict_guards": "(enabled)",
    "set_strict_cas": "(enabled)",
    "set_schema": "(schema)",
    "report_conflict": "(process_name)",
    "report_success": "(process_name)",
    "transaction": "(write_timeout_ms=5000)",
    "commit_state": "(state)",
    "attach_worker": "(worker)",
    "process_outbox": "()",
    "compare_and_swap": "(expected_version, data=None, heavy=None, signal=None, requester=None)",
    "execute_process_async": "(name, func, tx=None)",
}


class Sentinel:
    pass


def test_class_surface():
    assert OlvexEngine.__module__ == "olvex_core"
    assert not OlvexEngine.__doc__
    assert str(inspect.signature(OlvexEngine)) == "()"
    e = OlvexEngine()
    assert not hasattr(e, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(e)
    members = [n for n in OlvexEngine.__dict__ if not n.startswith("__")]
    assert members == [*SIGNATURES][:6] + ["transaction", "commit_state", "attach_worker", "process_outbox",
                                           "compare_and_swap", "execute_process_async", "state", "outbox"]
    for name, sig in SIGNATURES.items():
        method = getattr(e, name)
        assert str(inspect.signature(method)) == sig, name
        assert method.__doc__ is None, name
    assert OlvexEngine.outbox.__doc__ == "[v3.3] Expose Engine Outbox for manual flushing"
    assert OlvexEngine.state.__doc__ is None


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})])
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        OlvexEngine(*args, **kwargs)


def test_a_new_engine():
    e = OlvexEngine()
    s = e.state
    assert type(s) is State
    assert s.version == 0 and dict(s.data.items()) == {} and dict(s.heavy.items()) == {}
    assert e.state is s
    assert e.outbox.len() == 0
    # the version-0 state has the full meta ring: 1000 entries kept
    for i in range(1001):
        s.log_meta("k", str(i))
    assert len(s.get_meta_logs()) == 1000


def test_subclass_keeps_the_fields_and_may_override():
    class Engine(OlvexEngine):
        def __init__(self):
            self.note = "sub"

    e = Engine()
    assert e.note == "sub" and e.state.version == 0
    e.commit_state(State(version=7))
    assert e.state.version == 7
    with pytest.raises(TypeError):
        Engine(1)


@pytest.mark.parametrize("prop", ["state", "outbox"])
def test_properties_are_read_only(prop):
    e = OlvexEngine()
    with pytest.raises(AttributeError):
        setattr(e, prop, None)
    with pytest.raises(AttributeError):
        delattr(e, prop)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda e: e.set_strict_guards(1), TypeError, "argument 'enabled': 'int' object cannot be converted to 'PyBool'"),
        (lambda e: e.set_strict_cas(None), TypeError,
         "argument 'enabled': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda e: e.set_strict_cas(enabled="yes"), TypeError,
         "argument 'enabled': 'str' object cannot be converted to 'PyBool'"),
        (lambda e: e.report_conflict(1), TypeError,
         "argument 'process_name': 'int' object cannot be converted to 'PyString'"),
        (lambda e: e.report_success(None), TypeError,
         "argument 'process_name': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda e: e.report_conflict("\ud800"), UnicodeEncodeError, None),
        (lambda e: e.commit_state({}), TypeError, "argument 'state': 'dict' object cannot be converted to 'State'"),
        (lambda e: e.commit_state(None), TypeError,
         "argument 'state': 'NoneType' object cannot be converted to 'State'"),
        (lambda e: e.transaction(None), TypeError, None),
        (lambda e: e.transaction(1.5), TypeError, None),
        (lambda e: e.transaction("5"), TypeError, None),
        (lambda e: e.transaction(-1), OverflowError, None),
        (lambda e: e.transaction(2**64), OverflowError, None),
        (lambda e: e.set_schema(), TypeError, None),
        (lambda e: e.attach_worker(1, 2), TypeError, None),
    ],
)
def test_argument_rules_change_nothing(call, exc, message):
    e = OlvexEngine()
    before = e.state
    with pytest.raises(exc) as info:
        call(e)
    if message:
        assert str(info.value) == message
    if exc is OverflowError:
        assert "write_timeout_ms" not in str(info.value)
    assert e.state is before


@pytest.mark.parametrize("value, limit", [(0, 0), (2**64 - 1, 2**64 - 1), (True, 1), (False, 0)])
def test_transaction_limits(value, limit):
    class Index:
        def __index__(self):
            return int(value)

    e = OlvexEngine()
    for arg in (value, Index()):
        tx = e.transaction(write_timeout_ms=arg)
        assert type(tx) is olvex_core.Transaction and tx.write_timeout_ms == limit
    assert e.transaction().write_timeout_ms == 5000


def test_commit_state_installs_any_state_older_or_newer():
    class MyState(State):
        pass

    e = OlvexEngine()
    for s in (State(version=9), State(version=2), MyState(version=1)):
        assert e.commit_state(s) is None
        assert e.state is s
    assert e.commit_state(state=State(version=3)) is None and e.state.version == 3


def test_setters_store_anything_and_release_the_previous():
    e = OlvexEngine()
    for name in ("set_audit_system", "set_schema", "attach_worker"):
        first, second = Sentinel(), Sentinel()
        ref = weakref.ref(first)
        getattr(e, name)(first)
        del first
        assert ref() is not None
        assert getattr(e, name)(second) is None
        assert ref() is None, name
        getattr(e, name)(None)  # None is stored as a value, not a removal
    for name in ("set_strict_guards", "set_strict_cas"):
        assert getattr(e, name)(True) is None
        assert getattr(e, name)(enabled=False) is None


def test_conflict_forwarding():
    e = OlvexEngine()
    d1, d2 = e.report_conflict("p"), e.report_conflict(process_name="p")
    assert type(d1) is olvex_core.RetryDecision and d1 is not d2
    assert d1.should_retry is True
    assert e.report_success("p") is None
    # each engine has a conflict core of its own, never handed out
    assert not any(isinstance(getattr(e, n, None), olvex_core.ConflictManager) for n in dir(e))


def test_transaction_needs_no_borrow():
    e = OlvexEngine()
    seen = {}

    def worker(msg):
        seen["tx"] = e.transaction()  # while process_outbox holds the engine
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            e.commit_state(State())

    e.attach_worker(worker)
    e.outbox.add(OutboxMsg("t", None))
    e.process_outbox()
    assert seen["tx"].write_timeout_ms == 5000


def test_replaced_values_are_released_after_the_borrow():
    # a finaliser that the release runs finds the engine free again
    e = OlvexEngine()
    seen = []

    class Noisy:
        def __init__(self, call):
            self.call = call

        def __del__(self):
            seen.append(self.call())

    e.commit_state(State(data={"n": Noisy(lambda: e.state.version)}, version=4))
    e.commit_state(State(version=5))
    e.attach_worker(Noisy(lambda: e.attach_worker(None)))
    e.attach_worker(print)
    e.set_schema(Noisy(lambda: e.set_schema(1)))
    e.set_schema(None)
    assert seen == [5, None, None]


def test_worker_closure_over_its_engine_is_collected():
    e = OlvexEngine()
    token = Sentinel()
    ref = weakref.ref(token)
    e.attach_worker(lambda msg: (e, token))  # the only way back to the engine
    del e, token
    gc.collect()
    assert ref() is None


def test_state_holding_its_engine_is_collected():
    token = Sentinel()
    ref = weakref.ref(token)
    e = OlvexEngine()
    e.commit_state(State(data={"engine": e, "token": token}))
    del e, token
    gc.collect()
    assert ref() is None


def test_engine_is_shared_between_threads():
    e = OlvexEngine()
    errors = []

    def body(i):
        try:
            for n in range(200):
                e.set_schema(n)
                e.set_strict_cas(n % 2 == 0)
                e.report_conflict(f"p{i}")
                e.outbox.add(OutboxMsg(str(i), n))
                e.state
        except BaseException as exc:  # reported on the main thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert e.outbox.len() == 800
