"""Releasing a long chain of module objects, each holding the next through
one kind of reference, runs in bounded stack and releases every link.

Each chain is built and dropped in a child with a 1 MB stack, where a
release that recurses once per link overflows after some 10,000 links. Links
that carry a State or an engine (about 10 KB each) make shorter chains,
still far past what that stack holds when recursing."""

import textwrap

import pytest

LONG = 100_000
SHORT = 30_000  # links that each carry a State, an engine or a workflow

PRELUDE = """
import gc, os, resource, weakref
from olvex_core import *
gc.disable()
# The main thread's stack grows on demand up to this limit.
resource.setrlimit(resource.RLIMIT_STACK, (1 << 20, resource.getrlimit(resource.RLIMIT_STACK)[1]))

class Box:
    pass

class SubState(State):
    pass

class SubEngine(OlvexEngine):
    pass

class SubGuard(ContextGuard):
    pass

class SubFrozen(FrozenDict):
    pass

class SubWorkflow(WorkflowEngine):
    pass

eng = OlvexEngine()
st = State()
Outbox = type(ProcessContext(st, {}).outbox)
quiet = os.dup(2)

def deltas(value):
    t = eng.transaction()
    t.log_delta("heavy.x", None, value)
    return t
"""

# name -> (links, statements making `link` from `prev`)
LINKS = {
    "transaction delta new value": (LONG, "link = eng.transaction(); link.log_delta('heavy.x', None, prev)"),
    "transaction delta old value": (LONG, "link = eng.transaction(); link.log_delta('heavy.x', prev, None)"),
    "transaction shadow cache": (LONG, "link = eng.transaction(); link.get_shadow(prev, 'heavy.x')"),
    "transaction pending data": (LONG, "link = eng.transaction(); link.update(data={'x': prev})"),
    "transaction pending heavy": (LONG, "link = eng.transaction(); link.update(heavy={'x': prev})"),
    "transaction pending signal": (LONG, "link = eng.transaction(); link.update(signal=prev)"),
    "transaction outbox": (LONG, "link = eng.transaction(); link.outbox.add(OutboxMsg('m', prev))"),
    "collector handle": (LONG, "link = eng.transaction().outbox; link.add(OutboxMsg('m', prev))"),
    "outbox handle": (LONG, "link = Outbox(); os.dup2(devnull, 2); link.add(OutboxMsg('m', prev)); os.dup2(quiet, 2)"),
    "message payload": (LONG, "link = OutboxMsg('m', prev)"),
    "proxy target": (LONG, "link = SupervisorProxy(prev)"),
    "guard target": (LONG, "link = ContextGuard(prev, [], [])"),
    "guard log": (LONG, "link = ContextGuard({}, [], []); link.log = prev"),
    "guard transaction": (LONG, "link = ContextGuard({}, [], [], None, deltas(prev))"),
    "guard instance dict": (LONG, "link = ContextGuard({}, [], []); link.__dict__['x'] = prev"),
    "context local": (LONG, "link = ProcessContext(st, {'x': prev})"),
    "context transaction": (LONG, "link = ProcessContext(st, {}, deltas(prev))"),
    "context outbox": (LONG, "link = ProcessContext(st, {}); link.outbox.add(OutboxMsg('m', prev))"),
    "store value": (LONG, "link = SupervisorCore(); link.write('k', prev)"),
    "frozen dict": (LONG, "link = FrozenDict({'x': prev})"),
    "state data": (SHORT, "link = State(data={'x': prev})"),
    "state heavy": (SHORT, "link = State(heavy={'x': prev})"),
    "context state": (SHORT, "link = ProcessContext(State(data={'x': prev}), {})"),
    "engine worker": (SHORT, "link = OlvexEngine(); link.attach_worker(prev)"),
    "engine schema": (SHORT, "link = OlvexEngine(); link.set_schema(prev)"),
    "engine audit system": (SHORT, "link = OlvexEngine(); link.set_audit_system(prev)"),
    "engine state": (SHORT, "link = OlvexEngine(); link.commit_state(State(data={'x': prev}))"),
    "engine outbox": (SHORT, "link = OlvexEngine(); link.outbox.add(OutboxMsg('m', prev))"),
    "workflow observer": (SHORT, "link = WorkflowEngine('steps: []'); link.add_state_observer(prev)"),
    # Instances of Python subclasses: the subclass's dealloc calls ours last.
    "subclass guard target": (LONG, "link = SubGuard(prev, [], [])"),
    "subclass guard attribute": (LONG, "link = SubGuard({}, [], []); link.__dict__['x'] = prev"),
    "subclass frozen dict": (LONG, "link = SubFrozen({'x': prev})"),
    "subclass state": (SHORT, "link = SubState(data={'x': prev})"),
    "subclass engine": (SHORT, "link = SubEngine(); link.attach_worker(prev)"),
    "subclass workflow": (SHORT, "link = SubWorkflow('steps: []'); link.add_state_observer(prev)"),
    # Through plain Python objects, dicts and lists between module objects.
    "mixed plain objects": (
        LONG,
        "b = Box(); b.next = prev; p = SupervisorProxy({'b': [b]}); c = Box(); c.p = p; "
        "link = OutboxMsg('m', {'c': c})",
    ),
    "mixed module kinds": (
        LONG,
        "g = ContextGuard(SupervisorProxy(prev), [], []); t = deltas(g); m = OutboxMsg('m', t); "
        "link = SupervisorCore(); link.write('k', FrozenDict({'m': m}))",
    ),
}


def chain_program(links, body):
    return (
        PRELUDE
        + textwrap.dedent(f"""
        devnull = os.open(os.devnull, os.O_WRONLY)
        tail = Box()
        ref = weakref.ref(tail)
        prev = tail
        del tail
        def make(prev):
            {body}
            return link
        for i in range({links}):
            prev = make(prev)
        prev = None
        assert ref() is None, "the chain was not released to its end"
        print("released")
        """)
    )


@pytest.mark.parametrize("name", list(LINKS))
def test_long_chain_is_released_in_bounded_stack(run_python, name):
    links, body = LINKS[name]
    done = run_python(chain_program(links, body), timeout=300)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    assert done.stdout.splitlines()[-1] == "released"
