"""Hostile workflow documents, conditions and graphs, each in a child
interpreter with a memory cap and a timeout: every one must end in an
exception, never a crash, a hang or unbounded memory."""
import os
import textwrap

import pytest

# The sanitizer run reserves far more address space than any cap allows.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
CAP_BYTES = 1 << 30

PRELUDE = f"""
import resource, sys
if not {SANITIZED}:
    resource.setrlimit(resource.RLIMIT_AS, ({CAP_BYTES}, {CAP_BYTES}))
from olvex_core import WorkflowEngine as W
def laughs(indent=""):
    lines = [indent + "l0: &l0 [x, x, x, x, x, x, x, x, x, x]"]
    for i in range(1, 10):
        lines.append(indent + f"l{{i}}: &l{{i}} [" + ", ".join([f"*l{{i - 1}}"] * 10) + "]")
    return "\\n".join(lines)
def cond(text, ctx=None):
    doc = 'steps: [{{flux: if, condition: "%s", then: [a]}}]' % text
    return W(doc).execute(ctx or {{"x": 1}}, lambda name: None)
"""

CASES = [
    ("deep brackets", "W('steps: ' + '[' * 100000)",
     "ValueError: Invalid YAML: collections nest more than 128 deep"),
    ("deep mappings", "W('steps: ' + '{a: ' * 100000)",
     "ValueError: Invalid YAML: collections nest more than 128 deep"),
    ("alias bomb in steps", "W('steps:\\n  - flux: run\\n    steps: []\\n' + laughs() + '\\n')",
     "ValueError: Invalid YAML: more than 1000000 nodes are reachable through aliases"),
    ("alias bomb in an ignored key", "W('steps: [a]\\nother:\\n' + laughs('  '))",
     "ValueError: Invalid YAML: more than 1000000 nodes are reachable through aliases"),
    ("recursive alias", "W('steps: &s [a, *s]')",
     "ValueError: Invalid YAML: alias *s refers to a node that is not complete yet"),
    ("unknown alias", "W('steps: [*nowhere]')", "ValueError: Invalid YAML: alias *nowhere refers to an unknown"),
    ("many %TAG directives", "W(''.join(f'%TAG !t{i}! tag:t{i}:\\n' for i in range(32000)) + '--- {steps: [a]}')",
     "ValueError: Invalid YAML: more than 64 %TAG directives in one document at line 65 column 1"),
    ("many documents", "W('---\\n' * 100000)",
     "ValueError: Invalid YAML: deserializing from YAML containing more than one document"),
    ("repeated ignored key", "W('steps: [a]\\nx: {k: 1, k: 2}')", "ValueError: Invalid YAML: duplicate key `k`"),
    ("mapping as key", "W('steps: [{? [process] : a}]')", "ValueError: Parse error: Unknown step format: {[process]: a}"),
    ("huge integer step", "W('steps: [1' + '0' * 100000 + ']')",
     "ValueError: Parse error: Invalid step type: expected string or mapping, got 1000"),
    ("control character", "W('steps: [a\\x07]')", "ValueError: Invalid YAML: control characters are not allowed"),
    ("lone surrogate", "W('steps: [\\udc80]')", "UnicodeEncodeError"),
    ("long operator chain", "cond('1+' * 200000 + '1')", "RecursionError"),
    ("deeply nested condition", "cond('(' * 100000 + ')' * 100000)", "SyntaxError: too many nested parentheses"),
    ("condition with NUL", "cond('x\\\\0')", "ValueError: source code string cannot contain null bytes"),
    ("frame escape", "cond('[*(g := (g.gi_frame.f_back.f_back.f_globals for _ in [1]))]')",
     "ValueError: Forbidden attribute in condition"),
    ("cycle", "W('nodes: {start: a, a: {next: {else: b}}, b: {next: a}}').simulate({})",
     "RuntimeError: Flux Safety Trip: simulation exceeded 10003 nodes"),
    ("self loop with the largest budget", "W('nodes: {start: a, a: {next: a}}', max_ops=2**32 - 1).simulate({})",
     "RuntimeError: Flux Safety Trip: simulation exceeded 10032 nodes"),
    ("endless while", "W('steps: [{flux: while, condition: \"True\", do: []}]').execute({}, None)",
     "RuntimeError: Flux Safety Trip: Exceeded 10000 operations"),
]


@pytest.mark.parametrize("name, code, outcome", CASES, ids=[c[0] for c in CASES])
def test_hostile_input_ends_in_an_exception(run_python, name, code, outcome):
    if SANITIZED and outcome == "MemoryError":
        pytest.skip("the memory cap cannot hold the address sanitizer's reservations")
    script = PRELUDE + textwrap.dedent(f"""
        try:
            {code}
        except BaseException as e:
            print(f"{{type(e).__name__}}: {{e}}")
        else:
            print("accepted")
    """)
    r = run_python(script, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(outcome), r.stdout[:300]
