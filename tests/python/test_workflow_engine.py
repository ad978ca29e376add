"""WorkflowEngine: the class, its construction from YAML text, the parse
errors and the diagnostic lines."""
import gc
import inspect
import weakref

import pytest

from olvex_core import FSMState, WorkflowEngine

WARN_WHILE = "[FLUX-WARN] 'flux: while' has empty 'do' block. This may cause unexpected behavior.\n"
WARN_IF = "[FLUX-WARN] 'flux: if' has empty 'then' and 'else' blocks.\n"
WARN_RUN = "[FLUX-WARN] 'flux: run' has empty 'steps' block.\n"


def test_class_shape():
    assert WorkflowEngine.__module__ == "builtins"
    assert WorkflowEngine.__doc__ is None
    assert str(inspect.signature(WorkflowEngine)) == "(yaml_config, max_ops=10000, debug=False)"
    assert not hasattr(WorkflowEngine("steps: []"), "__dict__")
    getters = {"fsm_state": "Get current FSM state.", "state": "Alias for fsm_state (for test compatibility).",
               "state_history": "Get state transition history."}
    for name, doc in getters.items():
        assert getattr(WorkflowEngine, name).__doc__ == doc
    for name, sig in [("add_state_observer", "(callback)"), ("execute", "(ctx, executor)"),
                      ("execute_async", "(ctx, executor)"), ("simulate", "(ctx)")]:
        assert str(inspect.signature(getattr(WorkflowEngine("steps: []"), name))) == sig
    assert WorkflowEngine.add_state_observer.__doc__ == (
        "Add an observer callback for state changes.\nCallback signature: (old_state, new_state) -> None")
    assert WorkflowEngine.execute.__doc__.startswith("Execute the workflow using the provided executor callback.\n\n")
    assert WorkflowEngine.simulate.__doc__.startswith("Legacy method for backward compatibility")


def test_subclasses_keep_the_engine():
    class Mine(WorkflowEngine):
        pass

    e = Mine("steps: [a]", max_ops=5)
    assert isinstance(e, WorkflowEngine)
    assert e.execute({}, lambda name: None) == ["a"]


def test_new_engine_is_pending():
    e = WorkflowEngine("steps: [a]")
    assert e.fsm_state == FSMState.Pending and e.state == FSMState.Pending
    assert e.state_history == [FSMState.Pending]
    assert e.fsm_state is not e.fsm_state


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((5,), {}, TypeError, "argument 'yaml_config': 'int' object cannot be converted to 'PyString'"),
        (("steps: []", "x"), {}, TypeError, "argument 'max_ops': 'str' object cannot be interpreted as an integer"),
        (("steps: []", 1.5), {}, TypeError, "argument 'max_ops': 'float' object cannot be interpreted as an integer"),
        (("steps: []",), {"debug": 1}, TypeError, "argument 'debug': 'int' object cannot be converted to 'PyBool'"),
        (("steps: []", -1), {}, OverflowError, "out of range integral type conversion attempted"),
        (("steps: []", 2**32), {}, OverflowError, "out of range integral type conversion attempted"),
        ((), {}, TypeError, "WorkflowEngine.__new__() missing 1 required positional argument: 'yaml_config'"),
    ],
)
def test_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        WorkflowEngine(*args, **kwargs)
    assert str(info.value) == message


def test_budget_limits_are_accepted():
    assert WorkflowEngine("steps: []", 0).execute({}, None) == []
    assert WorkflowEngine("steps: [a]", max_ops=2**32 - 1).execute({}, lambda n: None) == ["a"]


def test_lone_surrogates_cannot_be_read():
    with pytest.raises(UnicodeEncodeError):
        WorkflowEngine("steps: [\ud800]")


def tag_lines(n):
    return "".join(f"%TAG !t{i}! tag:t{i}:\n" for i in range(n))


@pytest.mark.parametrize(
    "doc, message",
    [
        ("", "Invalid YAML: EOF while parsing a value"),
        ("# nothing\n", "Invalid YAML: EOF while parsing a value"),
        ("steps: [a]\n---\nsteps: [b]\n",
         "Invalid YAML: deserializing from YAML containing more than one document is not supported"),
        ("steps:\n  - a\n - b\n", "Invalid YAML: did not find expected key at line 3 column 2, "
                                  "while parsing a block mapping at line 1 column 1"),
        ("steps: [a\0]", "Invalid YAML: control characters are not allowed at line 1 column 10"),
        ("steps: [a]\nsteps: [b]\n", "Invalid YAML: duplicate key `steps` at line 2 column 1"),
        ("steps: [{process: a, process: b}]", "Invalid YAML: duplicate key `process` at line 1 column 22"),
        ("steps: [a]\nnodes: {1: x, 01: y}\n", "Invalid YAML: duplicate key `01` at line 2 column 15"),
        ("steps: " + "[" * 200, "Invalid YAML: collections nest more than 128 deep at line 1 column 135"),
        ("steps: [*x]", "Invalid YAML: alias *x refers to an unknown anchor at line 1 column 9"),
        pytest.param(tag_lines(65) + "--- {steps: [a]}",
                     "Invalid YAML: more than 64 %TAG directives in one document at line 65 column 1", id="tags"),
        ("steps: [5]", "Parse error: Invalid step type: expected string or mapping, got 5"),
        ("steps: [!t 5]", "Parse error: Invalid step type: expected string or mapping, got !t 5"),
        ("steps: [{name: a}]", "Parse error: Unknown step format: {name: a}"),
        ("steps: [{process: [a]}]", "Parse error: 'process' value must be a string"),
        ("steps: [{flux: 1}]", "Parse error: 'flux' value must be a string"),
        ("steps: [{flux: While}]", "Parse error: Unknown flux type: 'While'"),
        ("steps: [{flux: while, do: [a]}]", "Parse error: 'flux: while' requires 'condition' field"),
        ("steps: [{flux: while, condition: 5, do: [a]}]", "Parse error: 'flux: while' requires 'condition' field"),
        ("steps: [{flux: while, condition: x}]", "Parse error: 'flux: while' requires 'do' block"),
        ("steps: [{flux: if}]", "Parse error: 'flux: if' requires 'condition' field"),
        ("steps: [{flux: run, steps: x}]", "Parse error: 'flux: run' requires 'steps' block"),
        ("steps: [{flux: run, steps: [{flux: if, condition: c, then: [[x]]}]}]",
         "Parse error: Invalid step type: expected string or mapping, got [x]"),
    ],
)
def test_construction_errors(doc, message, capfd):
    with pytest.raises(ValueError) as info:
        WorkflowEngine(doc, debug=True)
    assert str(info.value) == message
    assert "[FLUX-DEBUG]" not in capfd.readouterr().err


@pytest.mark.parametrize(
    "doc, count, names",
    [
        ("other: 1", 0, []),
        ("steps: null", 0, []),
        ("steps: {a: b}", 0, []),
        ("[a, b]", 0, []),
        ("just text", 0, []),
        ("steps: [a, b]", 2, ["a", "b"]),
        ("steps: [{process: a, flux: run}]", 1, ["a"]),
        ("!wf {steps: [!proc load, {process: !n fit}]}", 2, ["load", "fit"]),
        ("steps: ['', yes, 99999999999999999999999999999999x]", 3, ["", "yes", "99999999999999999999999999999999x"]),
        ("steps:\n  - &p load\n  - *p\n", 2, ["load", "load"]),
        pytest.param(tag_lines(64) + "--- {steps: [!t63!p a]}", 1, ["a"], id="tags"),
    ],
)
def test_documents_and_their_steps(doc, count, names, capfd):
    e = WorkflowEngine(doc, debug=True)
    assert capfd.readouterr().err == f"[FLUX-DEBUG] Parsed {count} top-level steps\n"
    assert e.simulate({}) == names


def test_warnings_come_as_blocks_parse_and_before_the_debug_line(capfd):
    doc = """
steps:
  - flux: while
    condition: x
    do: []
  - flux: if
    condition: x
    then: 5
  - flux: run
    steps: []
"""
    WorkflowEngine(doc, debug=True)
    assert capfd.readouterr().err == WARN_WHILE + WARN_IF + WARN_RUN + "[FLUX-DEBUG] Parsed 3 top-level steps\n"
    WorkflowEngine(doc)  # warnings whatever the debug flag
    assert capfd.readouterr().err == WARN_WHILE + WARN_IF + WARN_RUN


def test_warnings_before_a_failure_are_already_written(capfd):
    with pytest.raises(ValueError, match="Unknown flux type: 'loop'"):
        WorkflowEngine("steps: [{flux: run, steps: []}, {flux: loop}]")
    assert capfd.readouterr().err == WARN_RUN


def test_an_observer_holding_its_engine_is_collected():
    class Holder:
        def __init__(self, engine):
            self.engine = engine

        def __call__(self, old, new):
            pass

    e = WorkflowEngine("steps: [a]")
    holder = Holder(e)
    e.add_state_observer(holder)
    probe = weakref.ref(holder)
    del e, holder
    gc.collect()
    assert probe() is None
