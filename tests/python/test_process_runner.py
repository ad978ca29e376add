"""OlvexEngine.execute_process_async: its call forms under asyncio.run, the
binding and the order of its checks, the context it builds, where messages
go, context variables on the executor thread, and borrows."""
import asyncio
import functools
import inspect
import threading

import pytest

from olvex_core import ContextGuard, OlvexEngine, OutboxMsg, ProcessContext, State
from proxy_support import FakeTx, current_tx_among, current_tx_name, guards_module, on_fresh_thread


def engine_with(data=None):
    engine = OlvexEngine()
    engine.commit_state(State(data=data or {"domain": {"orders": {"count": 0}}}))
    return engine


def run(main):
    return asyncio.run(main())


class Calls(list):
    """Bodies record (kind, ctx, thread) here when they run."""

    def sync(self, ctx):
        self.append(("sync", ctx, threading.get_ident()))
        return "sync result"

    async def coro(self, ctx):
        self.append(("async", ctx, threading.get_ident()))
        return "async result"

    async def tagged(self, tag, ctx):
        return await self.coro(ctx)


FORMS = {
    "async def": (lambda c: c.coro, True),
    "partial of async def": (lambda c: functools.partial(c.tagged, "t"), True),
    "def": (lambda c: c.sync, False),
    "lambda": (lambda c: (lambda ctx: c.sync(ctx)), False),
    "partial of def": (lambda c: functools.partial(c.sync), False),
}


# --- call forms -----------------------------------------------------------------------------


@pytest.mark.parametrize("form", FORMS)
def test_call_forms(form):
    calls = Calls()
    make, is_async = FORMS[form]
    func = make(calls)
    engine = engine_with()

    async def main():
        pending = engine.execute_process_async("p", func)
        assert inspect.iscoroutine(pending) and calls == []  # nothing has run yet
        result = await pending
        return result, threading.get_ident()

    result, loop_thread = run(main)
    [(kind, ctx, thread)] = calls
    assert type(ctx) is ProcessContext
    if is_async:
        assert (kind, result, thread) == ("async", "async result", loop_thread)
    else:
        assert (kind, result) == ("sync", "sync result") and thread != loop_thread


def test_a_non_callable_fails_only_when_awaited():
    engine = engine_with()

    async def main():
        pending = engine.execute_process_async("p", 42)
        with pytest.raises(TypeError, match="'int' object is not callable"):
            await pending

    run(main)


def test_a_failing_body_fails_the_await():
    def body(ctx):
        raise LookupError("inside")

    async def main():
        with pytest.raises(LookupError, match="inside"):
            await engine_with().execute_process_async("p", body)

    run(main)


def test_results_never_awaited_or_awaited_twice():
    calls = Calls()
    engine = engine_with()

    async def main():
        for func in (calls.coro, calls.sync):
            engine.execute_process_async("p", func).close()  # never awaited
        twice = engine.execute_process_async("p", calls.coro)
        await twice
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            await twice

    run(main)
    assert [kind for kind, _, _ in calls] == ["async"]


# --- binding and the order of checks --------------------------------------------------------


@pytest.fixture
def asked(monkeypatch):
    """Records every call of inspect.iscoroutinefunction, looked up per call."""
    seen = []
    original = inspect.iscoroutinefunction

    def recording(func):
        seen.append(func)
        return original(func)

    monkeypatch.setattr(inspect, "iscoroutinefunction", recording)
    return seen


@pytest.mark.parametrize(
    "args, kwargs, text, after_ask",
    [
        ((1, "f"), {}, "argument 'name': 'int' object cannot be converted to 'PyString'", False),
        ((b"p", "f"), {}, "argument 'name': 'bytes' object cannot be converted to 'PyString'", False),
        ((None, "f"), {}, "argument 'name': 'NoneType' object cannot be converted to 'PyString'", False),
        (("p",), {}, "missing 1 required positional argument: 'func'", False),
        (("p", "f", None, 4), {}, "takes 3 positional arguments but 4 were given", False),
        (("p", "f"), {"name": "q"}, "got multiple values for argument 'name'", False),
        (("p", "f"), {"process": 1}, "unexpected keyword argument 'process'", False),
        (("p", "f", {}), {}, "argument 'tx': 'dict' object cannot be converted to 'Transaction'", True),
        (("p", "f", 5), {}, "argument 'tx': 'int' object cannot be converted to 'Transaction'", True),
        (("p", "f", FakeTx()), {}, "argument 'tx': 'FakeTx' object cannot be converted to 'Transaction'", True),
        (("p", "f", OlvexEngine()), {}, "argument 'tx': 'OlvexEngine' object cannot be converted to 'Transaction'",
         True),
    ],
)
def test_argument_errors_in_order(asked, args, kwargs, text, after_ask):
    asked.clear()  # pytest asks about the test function itself
    with pytest.raises(TypeError) as info:
        engine_with().execute_process_async(*args, **kwargs)
    assert text in str(info.value)
    assert asked == (["f"] if after_ask else [])


class Name(str):
    pass


@pytest.mark.parametrize("name", ["p", "", "\ud800", Name("sub")], ids=["plain", "empty", "surrogate", "subclass"])
def test_any_str_name_and_keyword_forms(asked, name):
    asked.clear()
    calls = Calls()
    engine = engine_with()
    tx = engine.transaction()

    async def main():
        await engine.execute_process_async(tx=tx, func=calls.coro, name=name)
        assert calls[0][1].tx is tx
        await engine.execute_process_async(name, calls.coro, None)
        assert calls[1][1].tx is None

    run(main)
    assert asked == [calls.coro, calls.coro]


class BadBool:
    def __bool__(self):
        raise ArithmeticError("no truth")


def test_the_answer_of_iscoroutinefunction_decides_and_its_errors_propagate(monkeypatch):
    calls = Calls()
    engine = engine_with()
    monkeypatch.setattr(inspect, "iscoroutinefunction", lambda f: BadBool())
    with pytest.raises(ArithmeticError, match="no truth"):
        engine.execute_process_async("p", calls.sync)
    # A truthy answer for a plain function calls it at once and returns its result as it is.
    monkeypatch.setattr(inspect, "iscoroutinefunction", lambda f: 1)
    assert engine.execute_process_async("p", calls.sync) == "sync result"
    assert len(calls) == 1 and calls[0][2] == threading.get_ident()

    def boom(ctx):
        raise KeyError("called")

    with pytest.raises(KeyError, match="called"):
        engine.execute_process_async("p", boom)


def test_to_thread_is_looked_up_per_call(monkeypatch):
    seen = []
    monkeypatch.setattr(asyncio, "to_thread", lambda *args: seen.append(args) or "handed over")
    calls = Calls()
    assert engine_with().execute_process_async("p", calls.sync) == "handed over"
    [(func, ctx)] = seen
    assert func == calls.sync and type(ctx) is ProcessContext and calls == []


# --- the context ----------------------------------------------------------------------------


def test_the_context_holds_the_state_of_the_call_a_new_dict_and_the_transaction():
    calls = Calls()
    engine = engine_with()
    tx = engine.transaction()
    first = engine.state

    async def main():
        pending = engine.execute_process_async("p", calls.coro, tx)
        engine.commit_state(State(version=9))  # after the call: the context keeps the state of the call
        await pending
        await engine.execute_process_async("p", calls.sync)

    run(main)
    (_, a, _), (_, b, _) = calls
    assert a.state is first and b.state.version == 9
    assert a.local == {} and b.local == {} and a.local is not b.local
    assert a.tx is tx and a.transaction is tx and b.tx is None


class OverriddenState(OlvexEngine):
    @property
    def state(self):
        return State(version=99)


def test_the_state_comes_from_the_engines_field_not_its_attribute():
    calls = Calls()
    engine = OverriddenState()

    async def main():
        await engine.execute_process_async("p", calls.coro)

    run(main)
    assert calls[0][1].state.version == 0


@pytest.mark.parametrize("with_tx", [True, False], ids=["tx", "no-tx"])
def test_messages_land_in_the_transaction_or_nowhere(with_tx):
    engine = engine_with()
    tx = engine.transaction()
    bystander = engine.transaction()

    def body(ctx):
        ctx.outbox.add(OutboxMsg("sync", 1))

    async def coro(ctx):
        ctx.outbox.add(OutboxMsg("async", 2))
        return ctx

    async def main():
        given = tx if with_tx else None
        await engine.execute_process_async("p", body, given)
        return await engine.execute_process_async("p", coro, given)

    ctx = run(main)
    if with_tx:
        assert tx.outbox.len() == 2 and [m.topic for m in ctx.outbox.messages] == ["sync", "async"]
        tx.__exit__(None, None, None)
        assert [m.topic for m in engine.outbox.drain()] == ["sync", "async"]
    else:
        assert [m.topic for m in ctx.outbox.messages] == ["async"]  # its own buffer, delivered to no one
        assert tx.outbox.len() == 0 and engine.outbox.len() == 0
    assert bystander.outbox.len() == 0


# --- context variables and the slot ---------------------------------------------------------


@on_fresh_thread
def test_the_executor_thread_sees_the_tasks_context_and_reads_set_its_own_slot():
    engine = engine_with()
    tx = engine.transaction()
    seen = {}

    def body(ctx):
        seen["before"] = current_tx_name()  # empty slot: the task's context variable answers
        ctx.domain
        seen["after"] = current_tx_among(tx) is tx
        seen["thread"] = threading.get_ident()

    with guards_module() as guards:

        async def main():
            guards._current_tx.set(FakeTx("from-the-task"))
            pending = engine.execute_process_async("p", body, tx)
            seen["slot at call"] = current_tx_among(tx)  # the runner sets no slot
            await pending
            seen["loop slot"] = current_tx_among(tx)

        run(main)
        seen["outside the task"] = current_tx_name()
    assert seen["before"] == "from-the-task" and seen["after"] is True
    assert seen["slot at call"] is None and seen["loop slot"] is None
    assert seen["thread"] != threading.get_ident()


# --- borrows --------------------------------------------------------------------------------


def test_the_engine_is_held_shared_for_the_whole_call(monkeypatch):
    engine = engine_with()
    seen = []

    def asks(func):
        try:
            engine.commit_state(State())
        except RuntimeError as e:
            seen.append(str(e))
        seen.append(engine.state.version)  # shared reads go on
        return True

    def body(ctx):
        try:
            engine.commit_state(State())
        except RuntimeError as e:
            seen.append(str(e))

    monkeypatch.setattr(inspect, "iscoroutinefunction", asks)
    engine.execute_process_async("p", body)
    assert seen == ["Already borrowed", 1, "Already borrowed"]
    engine.commit_state(State(version=5))  # let go afterwards
    assert engine.state.version == 5


def test_a_transaction_held_exclusively_refuses_the_context():
    engine = engine_with()
    tx = engine.transaction()
    calls, seen = Calls(), []

    class Copied:
        def __deepcopy__(self, memo):
            try:
                engine.execute_process_async("p", calls.coro, tx)
            except RuntimeError as e:
                seen.append(str(e))
            return Copied()

    guard = ContextGuard({"v": Copied()}, ["v"], [], tx=tx)  # holds tx exclusively while it copies
    guard["v"]
    assert seen == ["Already mutably borrowed"] and calls == []
