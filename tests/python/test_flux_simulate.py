"""WorkflowEngine.simulate: graph walks over `nodes`, the linear listing,
and cycles."""
import pytest

from olvex_core import FSMState, WorkflowEngine

BRANCH = "nodes: {start: load, load: {next: check}, check: {next: {if n > 3: big, else: small}}, big: {}, small: {}}"


@pytest.mark.parametrize(
    "doc, ctx, path",
    [
        (BRANCH, {"n": 5}, ["load", "check", "big"]),
        (BRANCH, {"n": 1}, ["load", "check", "small"]),
        ("nodes: {start: a}", {}, ["a"]),
        ("nodes: {start: a, a: {next: b}, b: {}}", {}, ["a", "b"]),
        ("nodes: {start: a, a: {next: {if x > 1: b, else: c}}}", {"x": 0}, ["a", "c"]),
        ("nodes: {start: a, a: {next: {if 'x > 1': b, else: c}}}", {"x": 5}, ["a", "b"]),
        ("nodes: {start: a, a: {next: {if (x == 'a'): b}}}", {"x": "a"}, ["a", "b"]),
        ("nodes: {start: a, a: {next: {\"if\\u3000x\\u2003\": b}}}", {"x": 1}, ["a"]),  # "if" then no space
        ("nodes: {start: a, a: {next: {\"if \\u3000x\\u2003\": b}}}", {"x": 1}, ["a", "b"]),
        ("nodes: {start: a, a: {next: {when x: b}}}", {}, ["a"]),
        ("nodes: {start: a, a: {next: start}}", {}, ["a", "start"]),
        ("steps: [a]\nnodes: {start: !t a, a: {next: !t b}}", {}, ["a", "b"]),
    ],
)
def test_graph_paths(doc, ctx, path):
    assert WorkflowEngine(doc).simulate(ctx) == path


@pytest.mark.parametrize(
    "doc, message",
    [
        ("nodes: {a: {}}", "Missing 'start' node"),
        ("nodes:", "Missing 'start' node"),
        ("nodes: [start]", "Missing 'start' node"),
        ("nodes: {start: 5}", "Start node must be string"),
        ("nodes: {start: a, a: {next: {5: b}}}", "Condition key must be string"),
        ("nodes: {start: a, a: {next: {else: [b]}}}", "Target must be string"),
    ],
)
def test_graph_errors(doc, message):
    with pytest.raises(ValueError) as info:
        WorkflowEngine(doc).simulate({})
    assert str(info.value) == message


def test_condition_errors_pass():
    e = WorkflowEngine("nodes: {start: a, a: {next: {if x == 'a': b}}}")
    with pytest.raises(SyntaxError):  # the quote at the end is trimmed away
        e.simulate({"x": "a"})
    with pytest.raises(NameError):
        WorkflowEngine("nodes: {start: a, a: {next: {if y: b}}}").simulate({})


@pytest.mark.parametrize(
    "doc, max_ops, bound",
    [
        ("nodes: {start: a, a: {next: a}}", 10000, 10002),
        ("nodes: {start: a, a: {next: b}, b: {next: {else: a}}}", 0, 3),
        ("nodes: {start: a, a: {next: a}}", 2**32 - 1, 10032),  # 16 per entry and 10,000 at most
    ],
)
def test_cycles_trip_at_the_bound(doc, max_ops, bound):
    with pytest.raises(RuntimeError) as info:
        WorkflowEngine(doc, max_ops=max_ops).simulate({})
    assert str(info.value) == f"Flux Safety Trip: simulation exceeded {bound} nodes. Check for cycles in 'nodes'."


@pytest.mark.parametrize("max_ops, bound", [(0, 3), (10_045, 10_048), (2**32 - 1, 10_048)])
def test_a_cycle_visits_exactly_the_bound(max_ops, bound):
    asked = []
    e = WorkflowEngine("nodes: {start: a, a: {next: {if ask(): b}}, b: {next: a}}", max_ops=max_ops)
    with pytest.raises(RuntimeError, match=f"exceeded {bound} nodes"):
        e.simulate({"ask": lambda: asked.append(1) or True})
    assert len(asked) == (bound + 1) // 2  # a is every other name of the path and asks each time


def test_linear_mode_lists_process_steps():
    doc = """
steps:
  - a
  - flux: run
    steps: [b, {flux: while, condition: boom, do: [x]}, {flux: if, condition: boom, then: [y]}, c]
  - d
"""
    e = WorkflowEngine(doc)
    assert e.simulate({}) == ["a", "b", "c", "d"]
    assert WorkflowEngine("other: 1").simulate({}) == []


def test_simulation_leaves_the_state_alone():
    e = WorkflowEngine(BRANCH)
    e.add_state_observer(lambda old, new: pytest.fail("observer called"))
    e.simulate({"n": 1})
    assert e.fsm_state == FSMState.Pending and e.state_history == [FSMState.Pending]


def test_ctx_must_be_a_dict():
    with pytest.raises(TypeError, match="argument 'ctx'"):
        WorkflowEngine(BRANCH).simulate(None)
