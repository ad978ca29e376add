"""WorkflowEngine.execute_async: the walk on a worker thread, coroutines on
the caller's loop."""
import asyncio
import threading

import pytest

from olvex_core import FSMState, WorkflowEngine

P, R, W, C, F = (FSMState.Pending, FSMState.Running, FSMState.WaitingIO, FSMState.Complete, FSMState.Failed)


def test_outside_a_running_loop_nothing_starts():
    e = WorkflowEngine("steps: [a]")
    before = threading.active_count()
    with pytest.raises(RuntimeError, match="no running event loop"):
        e.execute_async({}, lambda name: None)
    assert threading.active_count() == before
    assert e.state_history == [P]


def test_coroutines_run_on_the_callers_loop():
    seen = {}

    async def process(name):
        await asyncio.sleep(0)
        seen[name] = threading.current_thread()

    def executor(name):
        seen["executor " + name] = threading.current_thread()
        return process(name)

    async def main():
        e = WorkflowEngine("steps: [a, b]")
        observed = []
        e.add_state_observer(lambda old, new: observed.append((new, threading.current_thread())))
        ctx = {"k": 1}
        names = await e.execute_async(ctx, executor)
        assert ctx == {"k": 1}  # only the copy holds "_loop"
        return names, e.state_history, observed

    names, history, observed = asyncio.run(main())
    me = threading.current_thread()
    assert names == ["a", "b"]
    assert history == [P, R, W, R, W, R, C]
    assert seen["a"] is me and seen["b"] is me
    assert seen["executor a"] is not me
    assert all(t is not me for _, t in observed)


def test_errors_reach_the_awaiting_code():
    async def process():
        raise KeyError("inside")

    async def main():
        e = WorkflowEngine("steps: [a]")
        with pytest.raises(KeyError):
            await e.execute_async({}, lambda name: process())
        return e.state_history

    assert asyncio.run(main()) == [P, R, W, F]


def test_the_copy_is_a_plain_dict_with_the_running_loop():
    class Sub(dict):
        def __iter__(self):
            raise AssertionError("overridden iteration used")

    got = {}

    class Mine(WorkflowEngine):
        def execute(self, ctx, executor):
            got.update(type=type(ctx), items=dict(ctx), loop=ctx["_loop"])
            return ["overridden"]

    async def main():
        names = await Mine("steps: []").execute_async(Sub(a=1, _loop="caller's"), None)
        return names, asyncio.get_running_loop()

    names, loop = asyncio.run(main())
    assert names == ["overridden"]
    assert got["type"] is dict
    assert got["loop"] is loop
    assert got["items"] == {"a": 1, "_loop": loop}


def test_ctx_must_be_a_dict():
    async def main():
        with pytest.raises(TypeError, match="argument 'ctx'"):
            WorkflowEngine("steps: []").execute_async(5, None)

    asyncio.run(main())
