"""WorkflowEngine: construction from YAML, condition evaluation and the
cost of a process step, each against plain Python doing the same."""
import asyncio
import json
import random
import statistics
import time

import olvex_core
from harness import REPEATS, row


def workflow(steps, seed=7):
    """A block-style document: 70 % process steps, the rest while, if and
    run steps with small blocks (about 35 KB for 1,000 steps). Returns the
    YAML text and the same document as JSON."""
    rnd = random.Random(seed)
    lines, data = ["steps:"], []
    for i in range(steps):
        r = rnd.random()
        if r < 0.7:
            if i % 2:
                lines.append(f"  - fetch_orders_{i}")
                data.append(f"fetch_orders_{i}")
            else:
                lines.append(f"  - process: store_{i}")
                data.append({"process": f"store_{i}"})
        elif r < 0.8:
            lines += ["  - flux: while", f"    condition: n < {i}", "    do:", f"      - poll_{i}"]
            data.append({"flux": "while", "condition": f"n < {i}", "do": [f"poll_{i}"]})
        elif r < 0.9:
            lines += ["  - flux: if", "    condition: ok", f"    then: [save_{i}]", f"    else: [skip_{i}]"]
            data.append({"flux": "if", "condition": "ok", "then": [f"save_{i}"], "else": [f"skip_{i}"]})
        else:
            lines += ["  - flux: run", "    steps:", f"      - a_{i}", f"      - b_{i}"]
            data.append({"flux": "run", "steps": [f"a_{i}", f"b_{i}"]})
    return "\n".join(lines) + "\n", json.dumps({"steps": data})


def best_ns(fn, number, repeats=REPEATS):
    """Median over `repeats` runs of the cost of one fn() call, in ns."""
    runs = []
    for _ in range(repeats):
        t0 = time.perf_counter_ns()
        for _ in range(number):
            fn()
        runs.append((time.perf_counter_ns() - t0) / number)
    return statistics.median(runs)


def construction_rows(rounds=9):
    text, as_json = workflow(1000)
    big, _ = workflow(10000)
    W = olvex_core.WorkflowEngine
    # The two sizes are timed side by side in each round, so that load from
    # elsewhere on the machine weighs on both alike; the medians are kept.
    small, large, scale = [], [], []
    for _ in range(rounds):
        one = best_ns(lambda: W(text), 10, repeats=1)
        ten = best_ns(lambda: W(big), 1, repeats=1)
        small.append(one)
        large.append(ten)
        scale.append(ten / one)
    ours, ten = statistics.median(small), statistics.median(large)
    loads = best_ns(lambda: json.loads(as_json), 200)
    kb = len(text) / 1024
    return [
        row("WorkflowEngine(1,000 steps)", ours, goal_ns=5e6, ratio=ours / loads, goal_ratio=8.0,
            note=f"{kb:.0f} KB; ratio to json.loads of the same as JSON ({loads / 1e3:.0f} us)"),
        row("WorkflowEngine(10,000 steps)", ten, ratio=statistics.median(scale), goal_ratio=12.0,
            note="ratio to the 1,000-step construction, timed side by side"),
    ]


CONDITION = "n > 3 or len(items) > 5"
CTX = {"n": 1, "items": [1, 2], "user": "ann", "limit": 10, "mode": "fast"}


def uncached_if(text, ctx):
    """What one `if` step does, in Python, without a code cache."""
    import builtins
    table = {n: getattr(builtins, n) for n in ("len", "int", "float", "str", "bool", "abs", "min", "max", "sum")}
    table.update(True_=True)
    g = {"__builtins__": table}
    g.update(ctx)
    return bool(eval(text, g, g))


def condition_rows(steps=1000):
    doc = "steps:\n" + f"  - {{flux: if, condition: '{CONDITION}', then: [a]}}\n" * steps
    e = olvex_core.WorkflowEngine(doc, max_ops=10 * steps)
    e.execute(CTX, None)  # compiles the one text
    ours = best_ns(lambda: e.execute(CTX, None), 20) / steps
    python = best_ns(lambda: uncached_if(CONDITION, CTX), 2000)
    code = compile(CONDITION, "<string>", "eval")
    g = dict(CTX)
    pre = best_ns(lambda: eval(code, g, g), 20000)
    return [
        row("execute: false `if` step", ours, ratio=ours / python, goal_ratio=0.1,
            note=f"ratio to Python building the table and globals and eval()ing the text ({python:.0f} ns); "
                 f"{ours / pre:.1f}x eval of a precompiled code object ({pre:.0f} ns)"),
    ]


def noop(name):
    return None


def python_steps(names, executor):
    done = []
    for name in names:
        result = executor(name)
        import asyncio
        if asyncio.iscoroutine(result):
            raise AssertionError
        done.append(name)
    return done


def executor_only(names, executor):
    for name in names:
        executor(name)


def process_rows(steps=1000):
    names = [f"p{i}" for i in range(steps)]
    e = olvex_core.WorkflowEngine("steps: [" + ", ".join(names) + "]")
    assert e.execute({}, noop) == python_steps(names, noop)
    ours = best_ns(lambda: e.execute({}, noop), 200) / steps
    python = best_ns(lambda: python_steps(names, noop), 200) / steps
    bare = best_ns(lambda: executor_only(names, noop), 200) / steps
    return [
        row("execute: process step (no-op executor)", ours, ratio=ours / python, goal_ratio=1.0,
            note=f"ratio to a Python loop making the same calls ({python:.0f} ns); "
                 f"{ours / bare:.1f}x a loop calling only the executor ({bare:.0f} ns)"),
    ]


def rows():
    assert asyncio  # the loops below import it as the engine does
    return construction_rows() + condition_rows() + process_rows()
