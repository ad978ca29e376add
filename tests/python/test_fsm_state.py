"""FSMState: five fixed values that compare with their numbers."""
import sys

import pytest

from olvex_core import FSMState, WorkflowEngine

from index_support import Index

STATES = [("Pending", 0), ("Running", 1), ("WaitingIO", 2), ("Complete", 3), ("Failed", 4)]


def test_class_shape():
    assert FSMState.__module__ == "olvex_core"
    assert FSMState.__doc__ == (
        "FSM State for Workflow execution tracking.\nSupports: Pending -> Running -> WaitingIO -> Complete/Failed")
    with pytest.raises(TypeError, match="No constructor defined for FSMState"):
        FSMState()
    with pytest.raises(TypeError):
        type("Sub", (FSMState,), {})
    assert [n for n in vars(FSMState) if n in dict(STATES)] == [n for n, _ in STATES]
    assert FSMState.Running is FSMState.Running


@pytest.mark.parametrize("name, number", STATES)
def test_values(name, number):
    s = getattr(FSMState, name)
    assert repr(s) == f"FSMState.{name}"
    assert int(s) == number
    assert s == number and not (s != number)
    assert s != number + 1


@pytest.mark.parametrize(
    "other, equal",
    [
        (FSMState.Running, True),
        (1, True),
        (True, True),
        (Index(1), True),
        (FSMState.Pending, False),
        (False, False),
        (2**70, False),
        (-(2**63) - 1, False),
        (1.0, False),
        ("Running", False),
        (None, False),
        (Index(ValueError("no")), False),
        (Index(2**64), False),
    ],
)
def test_equality(other, equal):
    assert (FSMState.Running == other) is equal
    assert (other == FSMState.Running) is equal
    assert (FSMState.Running != other) is not equal
    assert sys.exc_info() == (None, None, None)


def test_an_interruption_in_index_is_not_swallowed():
    with pytest.raises(KeyboardInterrupt):
        FSMState.Running == Index(KeyboardInterrupt())  # noqa: B015


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
@pytest.mark.parametrize("other", [FSMState.Running, 1])
def test_orderings_are_refused(op, other):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": FSMState.Pending, "b": other})


def test_unhashable():
    with pytest.raises(TypeError):
        hash(FSMState.Running)
    with pytest.raises(TypeError):
        {FSMState.Running}


def test_engine_hands_out_new_objects():
    e = WorkflowEngine("steps: []")
    e.execute({}, None)
    assert e.fsm_state == FSMState.Complete
    assert e.fsm_state is not FSMState.Complete
    assert e.fsm_state is not e.fsm_state
