"""Transaction lifecycle: __enter__, the commit road of __exit__ step by
step with what each failure leaves behind, flush_outbox, and a whole
process run through proxies."""
import threading
import time

import pytest

from olvex_core import (
    OlvexEngine,
    OutboxMsg,
    SchemaViolationError,
    State,
    SupervisorProxy,
    Transaction,
    WriteTimeoutError,
)
from proxy_support import on_fresh_thread


class Boom(Exception):
    pass


def versions(engine):
    return OlvexEngine.state.__get__(engine).version  # past any override


def meta_lines(state):
    return [e.message for e in state.meta]


def with_message(tx, topic="t", payload=None):
    tx.outbox.add(OutboxMsg(topic, payload if payload is not None else {"n": 1}))
    return tx


# ---- __enter__ and __exit__ ---------------------------------------------------


def test_with_block_commits_the_log_and_moves_the_outbox():
    engine = OlvexEngine()
    tx = engine.transaction()
    with tx as entered:
        assert entered is tx
        tx.log_delta("domain.count", None, 1)
        tx.log_delta("heavy.blob", None, b"x")
        with_message(tx, "done")
    assert engine.state.version == 1
    assert engine.state.data.to_dict() == {"domain": {"count": 1}}
    assert engine.state.heavy["blob"] == b"x"
    assert tx.outbox.len() == 0
    assert [m.topic for m in engine.outbox.drain()] == ["done"]


@pytest.mark.parametrize("exc_type", [ValueError, 0, False, "", object()])
def test_an_exception_type_other_than_none_commits_nothing(exc_type):
    engine = OlvexEngine()
    tx = with_message(engine.transaction())
    tx.log_delta("domain.x", None, 1)
    assert tx.__exit__(exc_type, object(), object()) is None
    assert versions(engine) == 0 and engine.outbox.len() == 0 and tx.outbox.len() == 1


def test_exception_in_the_block_propagates_and_changes_nothing():
    engine = OlvexEngine()
    tx = engine.transaction()
    with pytest.raises(Boom):
        with tx:
            tx.log_delta("domain.x", None, 1)
            with_message(tx)
            raise Boom
    assert versions(engine) == 0 and engine.outbox.len() == 0 and tx.outbox.len() == 1


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), ((None, 1, 2), {}), ((), {"_exc_type": None, "_traceback": "tb"}),
     ((None,), {"_exc_value": ValueError()})],
)
def test_exit_takes_any_objects_by_position_or_name(args, kwargs):
    engine = OlvexEngine()
    tx = engine.transaction()
    assert tx.__exit__(*args, **kwargs) is None
    assert versions(engine) == 1


def test_exit_argument_errors():
    tx = Transaction()
    with pytest.raises(TypeError):
        tx.__exit__(None, None, None, None)
    with pytest.raises(TypeError):
        tx.__exit__(exc_type=None)
    with pytest.raises(TypeError):
        tx.__enter__(1)


def test_every_exit_makes_a_version_and_moves_only_newer_messages():
    engine = OlvexEngine()
    tx = engine.transaction()
    tx.update(signal={"s": 1})
    tx.log_delta("domain.x", None, 1)
    with_message(tx, "first")
    tx.__exit__()
    tx.__exit__()  # empty outbox now; the log replays again into one more version
    with_message(tx, "second")
    tx.__exit__()
    assert versions(engine) == 3
    assert engine.state.data["domain"] == {"x": 1}
    assert [m.topic for m in engine.outbox.drain()] == ["first", "second"]
    assert meta_lines(engine.state)[-3:] == [f"State updated to version {v}" for v in (1, 2, 3)]
    Transaction().__exit__()  # a private engine: nothing to observe, nothing fails


def test_commit_compares_no_versions():
    engine = OlvexEngine()
    tx = engine.transaction()
    tx.log_delta("domain.a", None, 1)
    current = engine.state
    engine.commit_state(State(version=41))
    tx.__exit__()
    assert versions(engine) == 42
    assert current.version == 0


def test_enter_needs_the_transaction_alone():
    engine = OlvexEngine()
    tx = engine.transaction()
    seen = []

    class Schema:
        def model_validate(self, d):
            try:
                tx.__enter__()
            except RuntimeError as e:
                seen.append(str(e))

    engine.set_schema(Schema())
    tx.__exit__()
    assert seen == ["Already borrowed"] and versions(engine) == 1


# ---- the time limit -----------------------------------------------------------


def test_timed_out_exit_changes_nothing_and_fails_again():
    engine = OlvexEngine()
    tx = with_message(engine.transaction(write_timeout_ms=0))
    tx.log_delta("domain.x", None, 1)
    tx.__enter__()
    time.sleep(0.02)
    for _ in range(2):
        with pytest.raises(WriteTimeoutError) as e:
            tx.__exit__()
        assert isinstance(e.value, TimeoutError)
        elapsed, limit = e.value.args[0].removeprefix("Transaction timed out after ").split("ms (limit ")
        assert int(elapsed) >= 20 and limit == "0ms)"
    assert versions(engine) == 0 and tx.outbox.len() == 1
    assert tx.get_delta_log() == ["domain.x"]  # no inference ran, nothing replayed
    assert tx.pending_heavy == {}


def test_limits_that_never_fail():
    engine = OlvexEngine()
    never_entered = engine.transaction(write_timeout_ms=0)
    widest = engine.transaction(write_timeout_ms=2**64 - 1)
    widest.__enter__()
    time.sleep(0.005)
    never_entered.__exit__()
    widest.__exit__()
    assert versions(engine) == 2


def test_entering_again_restarts_the_limit():
    engine = OlvexEngine()
    tx = engine.transaction(write_timeout_ms=300)
    tx.__enter__()
    time.sleep(0.45)
    tx.__enter__()
    tx.__exit__()
    assert versions(engine) == 1


# ---- the road's calls, in order, and overrides ------------------------------


class Recorder:
    """An engine whose state, update, data, to_dict, schema and commit_state
    all report to one list."""

    def __init__(self):
        self.calls = []
        recorder = self

        class Engine(OlvexEngine):
            @property
            def state(self):
                recorder.calls.append("state")
                return Current(OlvexEngine.state.__get__(self))

            def commit_state(self, new):
                recorder.calls.append(("commit_state", new.inner.version))
                OlvexEngine.commit_state(self, new.inner)

        class Current:
            def __init__(self, state):
                self.inner = state

            def update(self, *args):
                recorder.calls.append(("update", args))
                return New(self.inner.update(*args))

        class New:
            def __init__(self, state):
                self.inner = state

            @property
            def data(self):
                recorder.calls.append("data")
                return Data(self.inner.data)

        class Data:
            def __init__(self, view):
                self.view = view

            def to_dict(self):
                recorder.calls.append("to_dict")
                return self.view.to_dict()

        class Schema:
            def model_validate(self, d):
                recorder.calls.append(("model_validate", d))
                return "ignored"

        self.engine = Engine()
        self.engine.set_schema(Schema())


def test_the_road_calls_by_name_and_passes_the_buffers_themselves():
    r = Recorder()
    tx = r.engine.transaction()
    tx.update(data={"a": {"b": 1}})
    tx.log_delta("domain.x", None, 2)
    with tx:
        pass
    with tx:
        pass
    steps = [c if isinstance(c, str) else c[0] for c in r.calls]
    assert steps == ["state", "update", "data", "to_dict", "model_validate", "commit_state"] * 2
    first, second = [c[1] for c in r.calls if c[0] == "update"]
    assert first[0] is second[0]  # the pending_data buffer, not a fresh preview
    assert first[0] == {"a": {"b": 1}, "domain": {"x": 2}}
    assert first[1] is tx.pending_heavy and first[2] is tx.pending_signal
    validated = [c[1] for c in r.calls if c[0] == "model_validate"]
    assert validated[0] == {"a": {"b": 1}, "domain": {"x": 2}} and type(validated[0]) is dict
    assert [c[1] for c in r.calls if c[0] == "commit_state"] == [1, 2]


# ---- the failure table ---------------------------------------------------------


class Rigged(OlvexEngine):
    """Faults on demand at the road's steps."""

    fault = None

    @property
    def state(self):
        if self.fault == "state":
            raise Boom("state")
        return Step6(OlvexEngine.state.__get__(self), self)

    def commit_state(self, new):
        if self.fault == "commit_state":
            raise Boom("commit_state")
        if self.fault == "commit_state odd":
            return OlvexEngine.commit_state(self, {"not": "a State"})
        OlvexEngine.commit_state(self, new)


class Step6:
    def __init__(self, state, engine):
        self.state, self.engine = state, engine

    def update(self, *args):
        if self.engine.fault == "update":
            raise Boom("update")
        new = self.state.update(*args)
        if self.engine.fault == "to_dict":
            return BadData()
        return new


class BadData:
    class data:
        @staticmethod
        def to_dict():
            raise Boom("to_dict")


class Rejects:
    def model_validate(self, d):
        raise ValueError("bad")


@pytest.mark.parametrize(
    "fault, exc, text",
    [
        ("state", Boom, "state"),
        ("update", Boom, "update"),
        ("to_dict", Boom, "to_dict"),  # raised unchanged, not a violation
        ("schema", SchemaViolationError, "Schema Violation: ValueError: bad"),
        ("commit_state", Boom, "commit_state"),
        ("commit_state odd", TypeError, "argument 'state': 'dict' object cannot be converted to 'State'"),
    ],
)
def test_failed_exit_installs_nothing_and_keeps_the_messages(fault, exc, text):
    engine = Rigged()
    engine.set_schema(Rejects() if fault == "schema" else type("Accepts", (), {"model_validate": lambda s, d: 0})())
    engine.fault = fault if fault != "schema" else None
    tx = with_message(engine.transaction(), "m1")
    tx.log_delta("domain.x", None, 1)
    with pytest.raises(exc) as e:
        tx.__exit__()
    assert str(e.value) == text
    assert versions(engine) == 0 and engine.outbox.len() == 0 and tx.outbox.len() == 1
    # Mended, the next exit installs and takes the kept message along.
    engine.fault = None
    engine.set_schema(type("Accepts", (), {"model_validate": lambda s, d: 0})())
    with_message(tx, "m2").__exit__()
    assert OlvexEngine.state.__get__(engine).data["domain"] == {"x": 1}
    assert [m.topic for m in engine.outbox.drain()] == ["m1", "m2"]


def test_rejected_version_keeps_its_meta_line_and_the_violation_its_cause():
    engine = OlvexEngine()
    engine.set_schema(Rejects())
    tx = engine.transaction()
    with pytest.raises(SchemaViolationError) as e:
        tx.__exit__()
    assert isinstance(e.value.__context__, ValueError) and str(e.value.__context__) == "bad"
    assert versions(engine) == 0
    assert meta_lines(engine.state) == ["State updated to version 1"]  # the shared ring


def test_update_refusing_the_buffers_installs_nothing():
    engine = OlvexEngine()
    tx = with_message(engine.transaction())
    tx.update(signal="not a dict")
    with pytest.raises(TypeError):
        tx.__exit__()
    assert versions(engine) == 0 and tx.outbox.len() == 1


def test_replay_error_keeps_what_was_replayed_before_it():
    engine = OlvexEngine()
    tx = with_message(engine.transaction())
    tx.log_delta("domain.x", None, 1)
    tx.log_delta("heavy.a", None, 1)  # the shortest path goes first
    tx.log_delta("domain.x.y", None, 2)  # into an int
    with pytest.raises(TypeError, match="non-dict"):
        tx.__exit__()
    assert versions(engine) == 0 and tx.outbox.len() == 1
    assert tx.pending_heavy == {"a": 1}


class Nested:
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")


def raiser(exc):
    def model_validate(self, d):
        raise exc

    return type("Schema", (), {"model_validate": model_validate})()


@pytest.mark.parametrize(
    "schema, text",
    [
        (None, "Schema Violation: AttributeError: 'NoneType' object has no attribute 'model_validate'"),
        (object(), "Schema Violation: AttributeError: 'object' object has no attribute 'model_validate'"),
        (raiser(Nested.Unprintable()), "Schema Violation: Nested.Unprintable: <exception str() failed>"),
        (raiser(ValueError("lone \udc80 surrogate")), "Schema Violation: ValueError: lone \udc80 surrogate"),
        (raiser(KeyError("k")), "Schema Violation: KeyError: 'k'"),
    ],
)
def test_schema_violation_messages(schema, text):
    engine = OlvexEngine()
    engine.set_schema(schema)
    with pytest.raises(SchemaViolationError) as e:
        engine.transaction().__exit__()
    assert e.value.args == (text,)
    assert versions(engine) == 0


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_schema_raising_beyond_exception_propagates_unchanged(exc):
    engine = OlvexEngine()
    engine.set_schema(raiser(exc("stop")))
    tx = with_message(engine.transaction())
    with pytest.raises(exc):
        tx.__exit__()
    assert versions(engine) == 0 and tx.outbox.len() == 1


def test_schema_may_call_back_into_the_engine():
    engine = OlvexEngine()
    seen = []

    class Schema:
        def model_validate(self, d):
            seen.append(engine.state.version)  # shared calls pass
            engine.outbox.add(OutboxMsg("from schema", 0))
            engine.set_schema(self)
            try:
                engine.commit_state(State())
            except RuntimeError as e:  # the road holds the engine shared
                seen.append(str(e))
            engine.transaction().__exit__(ValueError)  # a nested, no-op exit

    engine.set_schema(Schema())
    engine.transaction().__exit__()
    assert seen == [0, "Already borrowed"] and versions(engine) == 1
    assert engine.outbox.len() == 1


def test_exits_re_entered_from_the_road_each_commit():
    class Reentrant(OlvexEngine):
        depth = 0

        def commit_state(self, new):
            OlvexEngine.commit_state(self, new)
            if self.depth == 0:
                self.depth += 1
                tx.__exit__()  # the same transaction, held shared by the outer exit

    engine = Reentrant()
    tx = with_message(engine.transaction())
    tx.log_delta("domain.x", None, 1)
    tx.__exit__()
    assert versions(engine) == 2 and engine.outbox.len() == 1 and tx.outbox.len() == 0


def test_the_road_tolerates_odd_objects():
    class Odd(OlvexEngine):
        state = property(lambda self: Anything())

        def commit_state(self, new):
            self.installed = new
            return "ignored"

    class Anything:
        def update(self, *args):
            return 42  # not a State; no schema, so nothing reads it

    engine = Odd()
    tx = with_message(engine.transaction())
    assert tx.__exit__() is None
    assert engine.installed == 42 and engine.outbox.len() == 1


# ---- flush_outbox --------------------------------------------------------------


def test_flush_outbox_moves_messages_in_order_after_those_there():
    engine = OlvexEngine()
    engine.outbox.add(OutboxMsg("already", 0))
    tx = engine.transaction()
    for t in ("a", "b"):
        with_message(tx, t)
    assert tx.flush_outbox() is None
    assert tx.outbox.len() == 0 and versions(engine) == 0
    assert [m.topic for m in engine.outbox.drain()] == ["already", "a", "b"]
    tx.flush_outbox()  # empty: nothing to do
    assert engine.outbox.len() == 0


def test_messages_are_delivered_only_for_committed_transactions():
    engine = OlvexEngine()
    delivered = []
    engine.attach_worker(lambda msg: delivered.append((msg.topic, msg.payload)))
    engine.set_schema(Rejects())
    tx = with_message(engine.transaction(), "order", {"id": 7})
    with pytest.raises(SchemaViolationError):
        tx.__exit__()
    engine.process_outbox()
    assert delivered == []
    engine.set_schema(type("Ok", (), {"model_validate": lambda s, d: None})())
    tx.__exit__()
    engine.process_outbox()
    assert delivered == [("order", {"id": 7})]


# ---- a whole process run --------------------------------------------------------


@on_fresh_thread
def test_a_process_run_through_proxies_commits_a_new_version():
    engine = OlvexEngine()
    engine.commit_state(State(data={"domain": {"orders": {"count": 0, "last": None}, "status": "idle"}}, version=0))
    committed = engine.state
    tx = engine.transaction()
    with tx:
        p = SupervisorProxy(committed.data["domain"], "domain", transaction=tx)
        orders = p["orders"]  # a shadow
        orders.count = 1
        orders["last"] = "o-1"
        p.status = "busy"  # the root writes the committed object itself
        tx.outbox.add(OutboxMsg("order.placed", {"n": 1}))
        with pytest.raises(PermissionError):
            p.const_limit = 5
    assert versions(engine) == 1
    assert engine.state.data.to_dict()["domain"] == {"orders": {"count": 1, "last": "o-1"}, "status": "busy"}
    assert committed.data["domain"]["orders"] == {"count": 0, "last": None}  # the shadow kept it apart
    assert tx.get_delta_log() == ["domain[orders].count", "domain[orders][last]", "domain.status", "domain[orders]"]
    assert [m.topic for m in engine.outbox.drain()] == ["order.placed"]


def test_two_threads_leaving_one_transaction_while_a_third_assigns():
    engine = OlvexEngine()
    tx = engine.transaction()
    errors = []

    def leave():
        try:
            for _ in range(50):
                tx.__exit__()
        except BaseException as e:
            errors.append(e)

    def assign():
        # Bounded: every exit replays the whole log.
        try:
            p = SupervisorProxy({}, "domain", transaction=tx)
            for n in range(1000):
                p[f"k{n % 7}"] = n
                p.last = n
        except BaseException as e:
            errors.append(e)

    writer = threading.Thread(target=assign)
    writer.start()
    leavers = [threading.Thread(target=leave) for _ in range(2)]
    for t in leavers:
        t.start()
    for t in leavers:
        t.join()
    writer.join()
    assert errors == []
    tx.__exit__()
    assert versions(engine) == 101
    assert engine.state.data["domain"] == {**{f"k{n}": 994 + n for n in range(6)}, "k6": 993, "last": 999}
