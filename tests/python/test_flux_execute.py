"""WorkflowEngine.execute: steps, the operation budget, workflow states,
observers, and coroutine steps on a loop in another thread."""
import asyncio
import re
import sys
import threading
import types

import pytest

from olvex_core import FSMState, WorkflowEngine

P, R, W, C, F = (FSMState.Pending, FSMState.Running, FSMState.WaitingIO, FSMState.Complete, FSMState.Failed)

LOOP_DOC = """
steps:
  - load
  - flux: while
    condition: "n < 3"
    do:
      - step
      - flux: if
        condition: "n == 2"
        then: [two]
        else:
          - flux: run
            steps: [other]
  - flux: if
    condition: "len(items) > 2"
    then: [many]
    else: [few]
"""


def counting(ctx):
    calls = []

    def executor(name):
        calls.append(name)
        if name == "step":
            ctx["n"] += 1

    return calls, executor


@pytest.mark.parametrize(
    "items, names",
    [
        ([1, 2, 3], ["load", "step", "other", "step", "two", "step", "other", "many"]),
        ([], ["load", "step", "other", "step", "two", "step", "other", "few"]),
    ],
)
def test_run_walks_loops_branches_and_blocks(items, names):
    ctx = {"n": 0, "items": items}
    calls, executor = counting(ctx)
    e = WorkflowEngine(LOOP_DOC)
    assert e.execute(ctx, executor) == names
    assert calls == names
    assert e.state_history == [P, R, C]
    assert e.execute({"n": 5, "items": []}, executor) == ["load", "few"]
    assert e.state_history == [P, R, C, R, C]


def test_names_are_the_same_str_objects_every_run():
    e = WorkflowEngine("steps: [a, {flux: run, steps: [a]}]")
    seen = []
    first = e.execute({}, seen.append)
    second = e.execute({}, seen.append)
    assert first == second == ["a", "a"]
    assert all(type(n) is str for n in first)
    assert len({id(n) for n in first + second + seen}) == 1


@pytest.mark.parametrize(
    "doc, ctx, max_ops, called",
    [
        ("steps: [a]", {}, 0, []),
        ("steps: [a, b]", {}, 1, ["a"]),
        ("steps: [{flux: while, condition: 'True', do: [a]}]", {}, 3, ["a"]),
        ("steps: [{flux: while, condition: 'i < 2', do: [i]}]", {"i": 0}, 4, ["i"]),
        ("steps: [{flux: if, condition: 'True', then: [a]}]", {}, 1, []),
    ],
)
def test_budget_stops_the_operation_after_the_last_allowed(doc, ctx, max_ops, called):
    calls = []

    def executor(name):
        calls.append(name)
        if name == "i":
            ctx["i"] += 1

    e = WorkflowEngine(doc, max_ops=max_ops)
    with pytest.raises(RuntimeError) as info:
        e.execute(ctx, executor)
    assert str(info.value) == f"Flux Safety Trip: Exceeded {max_ops} operations. Check for infinite loops."
    assert calls == called
    assert e.state_history == [P, R, F]


@pytest.mark.parametrize(
    "doc, ctx, max_ops, called",
    [
        ("steps: []", {}, 0, []),
        ("steps: [a, b]", {}, 2, ["a", "b"]),
        # the step, two true tests, two bodies
        ("steps: [{flux: while, condition: 'i < 2', do: [i]}]", {"i": 0}, 5, ["i", "i"]),
        ("steps: [{flux: if, condition: 'True', then: [a]}]", {}, 2, ["a"]),
        ("steps: [{flux: while, condition: 'False', do: [a]}]", {}, 1, []),
    ],
)
def test_budget_allows_exactly_max_ops(doc, ctx, max_ops, called):
    calls = []

    def executor(name):
        calls.append(name)
        if name == "i":
            ctx["i"] += 1

    e = WorkflowEngine(doc, max_ops=max_ops)
    assert e.execute(ctx, executor) == called
    assert calls == called
    assert e.state_history == [P, R, C]


def test_errors_pass_unchanged_and_fail_the_run():
    boom = ValueError("boom")

    def executor(name):
        if name == "b":
            raise boom

    e = WorkflowEngine("steps: [a, b, c]")
    with pytest.raises(ValueError) as info:
        e.execute({}, executor)
    assert info.value is boom
    assert e.fsm_state == F
    assert e.state_history == [P, R, F]


@pytest.mark.parametrize(
    "condition, ctx, exc",
    [
        ("x", {}, NameError),
        ("print(x)", {"x": 1}, NameError),  # not in the table
        ("x / y", {"x": 1, "y": 0}, ZeroDivisionError),
        ("x", {"x": type("B", (), {"__bool__": lambda self: 1 / 0})()}, ZeroDivisionError),
        ("x +", {}, SyntaxError),
    ],
)
def test_condition_errors_fail_the_run(condition, ctx, exc):
    e = WorkflowEngine(f"steps: [{{flux: if, condition: '{condition}', then: [a]}}]")
    with pytest.raises(exc):
        e.execute(ctx, lambda name: None)
    assert e.state_history == [P, R, F]


def test_ctx_must_be_a_dict_and_nothing_moves():
    e = WorkflowEngine("steps: [a]")
    with pytest.raises(TypeError, match="argument 'ctx': 'list' object cannot be converted to 'PyDict'"):
        e.execute([], None)
    assert e.state_history == [P]


def test_observers_see_every_transition_and_their_errors_are_discarded():
    e = WorkflowEngine("steps: [a]")
    seen = []

    def failing(old, new):
        raise KeyboardInterrupt

    e.add_state_observer(failing)
    e.add_state_observer(lambda old, new: seen.append((old, new)))
    e.add_state_observer("not callable")
    e.add_state_observer(lambda old, new: 1 / 0)
    e.add_state_observer(lambda old, new: seen.append(type(old)))
    assert e.execute({}, lambda name: None) == ["a"]
    assert seen == [(P, R), FSMState, (R, C), FSMState]


def test_observers_added_during_a_notification_start_at_the_next_transition():
    e = WorkflowEngine("steps: [a]")
    late = []

    def adder(old, new):
        if new == R:
            e.add_state_observer(lambda o, n: late.append(n))
            assert e.fsm_state == R and e.state_history[-1] == R  # reads from inside work

    e.add_state_observer(adder)
    e.execute({}, lambda name: None)
    assert late == [C]


def test_debug_lines(capfd):
    e = WorkflowEngine("steps: [a, {flux: if, condition: 'x', then: [b]}]", debug=True)
    capfd.readouterr()
    e.execute({"x": 0}, lambda name: None)
    assert capfd.readouterr().err.splitlines() == [
        "[FLUX-DEBUG] FSM State: Pending -> Running",
        '[FLUX-DEBUG] Op #1: Process { name: "a" }',
        '[FLUX-DEBUG] Op #2: If { condition: "x", then_steps: [Process { name: "b" }], else_steps: [] }',
        "[FLUX-DEBUG] Evaluating condition: 'x'",
        "[FLUX-DEBUG] Condition result: false",
        "[FLUX-DEBUG] FSM State: Running -> Complete",
    ]


def test_ctx_subclass_is_read_from_its_own_storage():
    def refuse(*a, **k):
        raise AssertionError("overridden lookup used")

    Hostile = type("Hostile", (dict,), {n: refuse for n in (
        "__getitem__", "get", "keys", "items", "values", "__iter__", "__contains__", "__len__", "copy")})
    ctx = Hostile(n=2)
    e = WorkflowEngine("steps: [{flux: if, condition: 'n == 2', then: [a]}]")
    assert e.execute(ctx, lambda name: None) == ["a"]
    assert e.simulate(ctx) == []


def test_every_process_step_imports_asyncio_afresh(monkeypatch):
    answers = []

    def fake(answer):
        mod = types.ModuleType("asyncio")
        mod.iscoroutine = lambda result: answers.append(answer) or False
        return mod

    def executor(name):
        monkeypatch.setitem(sys.modules, "asyncio", fake(name))

    WorkflowEngine("steps: [a, b]").execute({}, executor)
    assert answers == ["a", "b"]


def test_a_patched_iscoroutine_is_asked_every_step(monkeypatch):
    asked = []
    monkeypatch.setattr(asyncio, "iscoroutine", lambda result: asked.append(result) or False)
    WorkflowEngine("steps: [a, b]").execute({}, lambda name: None)
    assert asked == [None, None]


def test_none_becomes_a_coroutine_once_registered_as_one(run_python):
    r = run_python(
        "import collections.abc, olvex_core\n"
        "e = olvex_core.WorkflowEngine('steps: [a]')\n"
        "print(e.execute({}, lambda name: None))\n"
        "collections.abc.Coroutine.register(type(None))\n"
        "try:\n"
        "    e.execute({}, lambda name: None)\n"
        "except RuntimeError as err:\n"
        "    print(str(err)[:40])\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["['a']", "Async process returned coroutine but '_l"]


class Truth:
    def __bool__(self):
        raise OSError("no answer")


@pytest.mark.parametrize("iscoroutine, exc", [(lambda r: 1 / 0, ZeroDivisionError), (lambda r: Truth(), OSError)])
def test_iscoroutine_answers_that_raise(monkeypatch, iscoroutine, exc):
    mod = types.ModuleType("asyncio")
    mod.iscoroutine = iscoroutine
    monkeypatch.setitem(sys.modules, "asyncio", mod)
    e = WorkflowEngine("steps: [a]")
    with pytest.raises(exc):
        e.execute({}, lambda name: None)
    assert e.state_history == [P, R, F]


def test_odd_awaitables_are_dropped_unawaited():
    loop = asyncio.new_event_loop()
    try:
        fut = loop.create_future()
        e = WorkflowEngine("steps: [a, b]")
        assert e.execute({}, lambda name: fut if name == "a" else types.SimpleNamespace(__await__=None)) == ["a", "b"]
        assert not fut.done()
    finally:
        loop.close()


@pytest.fixture
def loop_thread():
    loop = asyncio.new_event_loop()
    t = threading.Thread(target=loop.run_forever, daemon=True)
    t.start()
    yield loop, t
    loop.call_soon_threadsafe(loop.stop)
    t.join()
    loop.close()


def test_coroutines_run_on_the_loop_while_the_caller_waits(loop_thread):
    loop, thread = loop_thread
    ran = []

    async def process(name):
        await asyncio.sleep(0.01)
        ran.append((name, threading.current_thread() is thread))

    e = WorkflowEngine("steps: [a, b, c]")
    names = e.execute({"_loop": loop}, lambda name: process(name) if name != "b" else None)
    assert names == ["a", "b", "c"]
    assert ran == [("a", True), ("c", True)]
    assert e.state_history == [P, R, W, R, W, R, C]


def test_a_failing_coroutine_leaves_waiting_until_failed(loop_thread):
    loop, _ = loop_thread

    async def process():
        raise LookupError("in the loop")

    e = WorkflowEngine("steps: [a, b]")
    with pytest.raises(LookupError, match="in the loop"):
        e.execute({"_loop": loop}, lambda name: process())
    assert e.state_history == [P, R, W, F]


@pytest.fixture
def coroutine_executor():
    """An executor returning coroutines that the run drops unawaited; they
    are closed afterwards so that none warns at collection."""
    made = []

    async def process():
        pass

    def executor(name):
        made.append(process())
        return made[-1]

    yield executor
    for c in made:
        c.close()


@pytest.mark.parametrize(
    "loop_value, exc, message",
    [
        ("missing", RuntimeError, "Async process returned coroutine but '_loop' missing in context. "
                                  "Ensure you used execute_async() or provided '_loop'."),
        (None, AttributeError, "call_soon_threadsafe"),
        (5, AttributeError, "call_soon_threadsafe"),
        ("closed", RuntimeError, "Event loop is closed"),
    ],
)
def test_coroutine_without_a_usable_loop(coroutine_executor, loop_value, exc, message):
    ctx = {}
    if loop_value == "closed":
        loop_value = asyncio.new_event_loop()
        loop_value.close()
    if loop_value != "missing":
        ctx["_loop"] = loop_value
    e = WorkflowEngine("steps: [a]")
    with pytest.raises(exc, match=re.escape(message)):
        e.execute(ctx, coroutine_executor)
    assert e.state_history[-1] == F
    assert (W in e.state_history) == ("_loop" in ctx)


def test_coroutine_on_the_loops_own_thread_is_refused(coroutine_executor):
    async def main():
        e = WorkflowEngine("steps: [a]")
        with pytest.raises(RuntimeError) as info:
            e.execute({"_loop": asyncio.get_running_loop()}, coroutine_executor)
        assert str(info.value) == ("Async process returned coroutine but execute() is running on the thread of the "
                                   "'_loop' event loop. Use execute_async().")
        assert e.state_history == [P, R, F]

    asyncio.run(main())


def test_threads_share_one_engine():
    e = WorkflowEngine("steps: [a, {flux: while, condition: 'n < 20', do: [tick]}, b]")
    transitions = []
    lock = threading.Lock()

    def observer(old, new):
        with lock:
            transitions.append(new)

    e.add_state_observer(observer)
    results = []

    def worker():
        for _ in range(20):
            ctx = {"n": 0}

            def executor(name):
                if name == "tick":
                    ctx["n"] += 1

            results.append(e.execute(ctx, executor))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [["a"] + ["tick"] * 20 + ["b"]] * 160
    assert len(e.state_history) == 1 + 2 * 160
    assert transitions.count(R) == transitions.count(C) == 160


def test_endless_reentry_ends_in_recursion_error():
    e = WorkflowEngine("steps: [{flux: run, steps: [a]}]")

    def executor(name):
        e.execute({}, executor)

    with pytest.raises(RecursionError):
        e.execute({}, executor)
    assert e.fsm_state == F
