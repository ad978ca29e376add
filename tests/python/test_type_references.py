"""Every class of both modules gets back the reference each instance holds
to it once its instances are freed."""

import gc
import sys

import pytest

import olvex_core
import olvex_shm
from olvex_core import (
    AuditRecipe,
    AuditSystem,
    ContextGuard,
    FrozenDict,
    OlvexEngine,
    OutboxMsg,
    ProcessContext,
    SignalHub,
    State,
    SupervisorProxy,
)


def outbox():
    return ProcessContext(State(), {}).outbox


def outbox_buffer():
    # Internal: reached only through a holder.
    (buffer,) = [r for r in gc.get_referents(OlvexEngine()) if type(r).__name__ == "OutboxBuffer"]
    return buffer


def meta_entry():
    s = State()
    s.log_meta("k", "m")
    return s.get_meta_logs()[0]


def audit_entry():
    a = AuditSystem()
    a.log("k", "m")
    return a.get_logs()[-1]


# Class name -> a callable making a fresh instance of it (None: the class
# makes no instances).
FACTORIES = {
    "AuditAbortError": lambda: olvex_core.AuditAbortError("x"),
    "AuditBlockError": lambda: olvex_core.AuditBlockError("x"),
    "AuditStopError": lambda: olvex_core.AuditStopError("x"),
    "AuditWarning": lambda: olvex_core.AuditWarning("x"),
    "ContextError": lambda: olvex_core.ContextError("x"),
    "SchemaViolationError": lambda: olvex_core.SchemaViolationError("x"),
    "WriteTimeoutError": lambda: olvex_core.WriteTimeoutError("x"),
    "AuditLevel": None,  # a fixed set of members
    "FSMState": None,  # a fixed set of members
    "ConfigLoader": None,  # static methods only
    "AuditLogEntry": audit_entry,
    "AuditRecipe": lambda: AuditRecipe(threshold_max=1),
    "AuditSystem": AuditSystem,
    "ConflictManager": olvex_core.ConflictManager,
    "RetryDecision": lambda: OlvexEngine().report_conflict("p"),
    "ContextGuard": lambda: ContextGuard({}, [], []),
    "FrozenDict": lambda: FrozenDict({"a": 1}),
    "MetaLogEntry": meta_entry,
    "OlvexEngine": OlvexEngine,
    "OutboxCollector": lambda: OlvexEngine().outbox,
    "OutboxMsg": lambda: OutboxMsg("m", [1]),
    "Outbox": outbox,
    "OutboxBuffer": outbox_buffer,
    "ProcessContext": lambda: ProcessContext(State(), {}),
    "SignalHub": SignalHub,
    "SignalReceiver": lambda: SignalHub().subscribe(),
    "State": lambda: State(data={"a": [1]}),
    "SupervisorCore": olvex_core.SupervisorCore,
    "SupervisorProxy": lambda: SupervisorProxy({"a": 1}),
    "Transaction": lambda: OlvexEngine().transaction(),
    "WorkflowEngine": lambda: olvex_core.WorkflowEngine("steps: []"),
    "BufferDescriptor": lambda: olvex_shm.BufferDescriptor("buf", 8, [2], "f4"),
    "MemoryRegistry": None,  # its construction scans a registry file; covered below
}

INTERNAL = {"Outbox", "OutboxBuffer"}


def public_classes():
    found = {}
    for module in (olvex_core, olvex_core.shm, olvex_shm):
        for name in dir(module):
            value = getattr(module, name)
            if isinstance(value, type):
                found[name] = value
    return found


def test_every_class_has_a_row():
    assert set(public_classes()) | INTERNAL == set(FACTORIES)


def class_of(name):
    cls = public_classes().get(name)
    return cls if cls is not None else type(FACTORIES[name]())


@pytest.mark.parametrize("name", [n for n, make in FACTORIES.items() if make is not None])
def test_freed_instances_give_back_their_type_reference(name, capfd):
    make = FACTORIES[name]
    cls = class_of(name)
    for _ in range(3):
        make()  # first-use tables
    gc.collect()
    before = sys.getrefcount(cls)
    for _ in range(50):
        obj = make()
        assert type(obj) is cls
        del obj
    gc.collect()
    assert sys.getrefcount(cls) == before
    capfd.readouterr()


def test_registry_instances_give_back_their_type_reference(tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    cls = olvex_core.shm.MemoryRegistry
    cls("s")
    gc.collect()
    before = sys.getrefcount(cls)
    for _ in range(20):
        cls("s")
    gc.collect()
    assert sys.getrefcount(cls) == before
    capfd.readouterr()
