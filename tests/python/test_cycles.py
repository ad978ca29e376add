"""The cycle collector sees every reference a module object holds: one
minimal cycle per reference each type visits, each running through that
reference only (and plain objects), is collected; objects the collector
looks at that are still reachable keep working."""

import gc
import weakref

import pytest

from olvex_core import (
    ContextGuard,
    FrozenDict,
    OlvexEngine,
    OutboxMsg,
    ProcessContext,
    State,
    SupervisorCore,
    SupervisorProxy,
    WorkflowEngine,
)


class Box:
    pass


class SubEngine(OlvexEngine):
    pass


class SubState(State):
    pass


class SubGuard(ContextGuard):
    pass


def outbox_type():
    return type(ProcessContext(State(), {}).outbox)


class CopyPointsBack:
    """Its deep copy (a transaction's shadow) refers to `target`; the
    original does not."""

    target = None
    made = []

    def __deepcopy__(self, memo):
        b = Box()
        b.back = CopyPointsBack.target
        CopyPointsBack.made.append(b)
        return b


class CopyIsFresh(Box):
    def __deepcopy__(self, memo):
        return Box()


# Each builder makes one cycle through the reference it is named for, drops
# every local, and returns a weak reference to a plain object in the cycle.


def engine_state():
    e, b = OlvexEngine(), Box()
    b.e = e
    e.commit_state(State(data={"b": b}))
    return weakref.ref(b)


def engine_outbox():
    e, b = OlvexEngine(), Box()
    b.e = e
    e.outbox.add(OutboxMsg("m", b))
    return weakref.ref(b)


def engine_cell(setter):
    def build():
        e, b = OlvexEngine(), Box()
        b.e = e
        getattr(e, setter)(b)
        return weakref.ref(b)

    return build


def subclass_engine_worker():
    e, b = SubEngine(), Box()
    b.e = e
    e.attach_worker(b)
    return weakref.ref(b)


def tx_engine():
    e, b = OlvexEngine(), Box()
    tx = e.transaction()
    b.tx = tx
    e.attach_worker(b)  # the engine reaches the box; only the transaction holds the engine
    return weakref.ref(b)


def tx_update(zone):
    def build():
        tx, b = OlvexEngine().transaction(), Box()
        b.tx = tx
        tx.update(**{zone: {"b": b} if zone != "signal" else b})
        return weakref.ref(b)

    return build


def tx_outbox():
    tx, b = OlvexEngine().transaction(), Box()
    b.tx = tx
    tx.outbox.add(OutboxMsg("m", b))
    return weakref.ref(b)


def tx_delta(new):
    def build():
        tx, b = OlvexEngine().transaction(), Box()
        b.tx = tx
        tx.log_delta("heavy.x", None, b) if new else tx.log_delta("heavy.x", b, None)
        return weakref.ref(b)

    return build


def tx_shadow():
    tx = OlvexEngine().transaction()
    CopyPointsBack.target = tx
    tx.get_shadow(CopyPointsBack(), "domain.x")
    CopyPointsBack.target = None
    return weakref.ref(CopyPointsBack.made.pop())


def tx_original():
    tx, b = OlvexEngine().transaction(), CopyIsFresh()
    b.tx = tx
    tx.get_shadow(b, "domain.x")
    return weakref.ref(b)


def context_state():
    b = Box()
    ctx = ProcessContext(State(data={"b": b}), {})
    b.ctx = ctx
    return weakref.ref(b)


def context_local():
    b = Box()
    ctx = ProcessContext(State(), {"b": b})
    b.ctx = ctx
    return weakref.ref(b)


def context_outbox():
    b = Box()
    ctx = ProcessContext(State(), {})
    b.ctx = ctx
    ctx.outbox.add(OutboxMsg("m", b))
    return weakref.ref(b)


def context_tx():
    tx, b = OlvexEngine().transaction(), Box()
    ctx = ProcessContext(State(), {}, tx)
    b.ctx = ctx
    tx.log_delta("heavy.x", None, b)
    return weakref.ref(b)


def message_payload():
    b = Box()
    b.m = OutboxMsg("m", b)
    return weakref.ref(b)


def outbox_handle():
    o, b = outbox_type()(), Box()
    b.o = o
    o.add(OutboxMsg("m", b))
    return weakref.ref(b)


def collector_handle():
    c, b = OlvexEngine().transaction().outbox, Box()
    b.c = c
    c.add(OutboxMsg("m", b))
    return weakref.ref(b)


def proxy_target():
    b = Box()
    b.p = SupervisorProxy(b)
    return weakref.ref(b)


def guard_target(cls):
    def build():
        b = Box()
        b.g = cls(b, [], [])
        return weakref.ref(b)

    return build


def guard_tx():
    tx, b = OlvexEngine().transaction(), Box()
    b.g = ContextGuard({}, [], [], None, tx)
    tx.log_delta("heavy.x", None, b)
    return weakref.ref(b)


def guard_log():
    g, b = ContextGuard({}, [], []), Box()
    b.g = g
    g.log = b
    return weakref.ref(b)


def guard_dict():
    g, b = ContextGuard({}, [], []), Box()
    b.g = g
    g.__dict__["b"] = b
    return weakref.ref(b)


def store_value():
    s, b = SupervisorCore(), Box()
    b.s = s
    s.write("k", b)
    return weakref.ref(b)


def workflow_observer():
    w, b = WorkflowEngine("steps: []"), Box()
    b.w = w
    w.add_state_observer(b)
    return weakref.ref(b)


def frozen_dict():
    b = Box()
    b.f = FrozenDict({"b": b})
    return weakref.ref(b)


def updated_state():
    b = Box()
    s = State().update(data={"b": b})
    b.s = s
    return weakref.ref(b)


def state_zone(cls, zone, read):
    def build():
        b = Box()
        s = cls(**{zone: {"b": b}})
        if read:
            getattr(s, zone)  # the zone's dict, kept by the State
        b.s = s
        return weakref.ref(b)

    return build


CYCLES = {
    "engine state": engine_state,
    "engine outbox": engine_outbox,
    "engine worker": engine_cell("attach_worker"),
    "engine schema": engine_cell("set_schema"),
    "engine audit system": engine_cell("set_audit_system"),
    "subclass engine worker": subclass_engine_worker,
    "transaction engine": tx_engine,
    "transaction pending data": tx_update("data"),
    "transaction pending heavy": tx_update("heavy"),
    "transaction pending signal": tx_update("signal"),
    "transaction outbox": tx_outbox,
    "transaction delta new value": tx_delta(True),
    "transaction delta old value": tx_delta(False),
    "transaction shadow": tx_shadow,
    "transaction shadowed original": tx_original,
    "context state": context_state,
    "context local": context_local,
    "context outbox": context_outbox,
    "context transaction": context_tx,
    "message payload": message_payload,
    "outbox handle": outbox_handle,
    "collector handle": collector_handle,
    "proxy target": proxy_target,
    "guard target": guard_target(ContextGuard),
    "subclass guard target": guard_target(SubGuard),
    "guard transaction": guard_tx,
    "guard log": guard_log,
    "guard instance dict": guard_dict,
    "store value": store_value,
    "workflow observer": workflow_observer,
    "frozen dict": frozen_dict,
    "state data": state_zone(State, "data", False),
    "state heavy": state_zone(State, "heavy", False),
    "state data dict": state_zone(State, "data", True),
    "state heavy dict": state_zone(State, "heavy", True),
    "subclass state data": state_zone(SubState, "data", True),
    "updated state data": updated_state,
}


@pytest.mark.parametrize("name", list(CYCLES))
def test_cycle_through_one_reference_is_collected(name, capfd):
    ref = CYCLES[name]()
    gc.collect()
    assert ref() is None
    capfd.readouterr()  # the outbox handle's debug line


# Instances released a moment ago lend their memory to the next ones of
# their type: those must be seen by the collector as any new object.
REMADE = {
    "transaction engine": lambda: OlvexEngine().transaction(),
    "message payload": lambda: OutboxMsg("m", None),
    "collector handle": lambda: OlvexEngine().outbox,
    "proxy target": lambda: SupervisorProxy({}),
    # a subclass's instance is released as before, the update's own State kept
    "updated state data": lambda: SubState().update(data={}),
}


@pytest.mark.parametrize("name", list(REMADE))
def test_cycle_through_an_object_made_in_released_memory_is_collected(name):
    for _ in range(3):
        dropped = [REMADE[name]() for _ in range(12)]
        del dropped
        assert gc.is_tracked(REMADE[name]())
        ref = CYCLES[name]()
        gc.collect()
        assert ref() is None


@pytest.mark.parametrize("outbox_of", [lambda e: e.outbox, lambda e: e.transaction().outbox], ids=["engine", "tx"])
def test_many_payloads_referring_to_their_holder_are_collected(outbox_of):
    refs = []
    for _ in range(500):
        e, b = OlvexEngine(), Box()
        holder = outbox_of(e)
        b.owner = holder
        holder.add(OutboxMsg("m", b))
        refs.append(weakref.ref(b))
        del e, b, holder
    gc.collect()
    assert sum(r() is not None for r in refs) == 0


def test_payloads_still_reachable_survive_collection(capfd):
    # One buffer with many holders, every payload in a cycle of its own: a
    # buffer visited once per holder instead of once per reference would
    # make the collector free payloads that are still reachable.
    e = OlvexEngine()
    tx = e.transaction()
    collectors = [e.outbox, e.outbox, tx.outbox]
    ctx = ProcessContext(State(), {}, tx)
    handles = [ctx.outbox, ctx.outbox]

    def payload(tag):
        b = Box()
        b.me, b.tag = b, tag
        b.more = [b, {"b": b}]
        return b

    e.outbox.add(OutboxMsg("engine", payload("engine")))
    tx.outbox.add(OutboxMsg("tx", payload("tx")))
    handles[0].add(OutboxMsg("ctx", payload("ctx")))
    held = OutboxMsg("held", payload("held"))
    for _ in range(3):
        gc.collect()

    def alive(msg):
        b = msg.payload
        return b.me is b and b.more[0] is b and b.more[1]["b"] is b and b.tag == msg.topic

    assert [m.topic for m in handles[1].messages if alive(m)] == ["ctx"]
    assert alive(held)
    tx.flush_outbox()
    assert [m.topic for m in collectors[1].drain() if alive(m)] == ["engine", "tx"]
    capfd.readouterr()
