"""ContextGuard writes: the contract check, the zone rules by name and admin
flag, the notice to the transaction, unwrapping, item writes, deletion,
and writes that conflict or race."""
import asyncio
import copy
import threading
import time

import pytest

from olvex_core import ContextGuard, OlvexEngine, OutboxMsg, State, SupervisorProxy
from proxy_support import on_fresh_thread

G = ContextGuard

DENIED = "Permission Denied: UPDATE capability required for '{}' (Zone Physics blocked it)."
NO_TX = "Security Violation: Write to '{}' denied (No active transaction)."


def new_tx():
    return OlvexEngine().transaction()


class Obj:
    pass


# (name, admin, with a transaction) -> None when written, else the message template.
ZONE_RULES = [
    ("x", False, True, None), ("x", False, False, NO_TX), ("x", True, False, NO_TX),
    ("meta_x", False, True, None), ("meta", False, False, NO_TX),
    ("heavy_x", False, False, None), ("heavy_x", False, True, None), ("heavy", True, False, None),
    ("sig_x", False, True, DENIED), ("sig_x", True, True, None), ("sig_x", True, False, NO_TX),
    ("cmd_go", False, True, DENIED),
    ("log_x", False, True, DENIED), ("log_x", True, True, None), ("audit_x", True, False, NO_TX),
    ("internal_x", False, True, DENIED), ("internal_x", True, True, None),
    ("const_x", False, True, DENIED), ("const_x", True, True, DENIED), ("const_x", True, False, DENIED),
]


@pytest.mark.parametrize("name, admin, with_tx, refusal", ZONE_RULES)
@pytest.mark.parametrize("target_kind", ["dict", "object"])
@pytest.mark.parametrize("road", ["attribute", "item"])
def test_write_rules_by_zone(name, admin, with_tx, refusal, target_kind, road):
    target = {} if target_kind == "dict" else Obj()
    g = G(target, [], ["p"], "p", new_tx() if with_tx else None, is_admin=admin)
    write = (lambda: setattr(g, name, 7)) if road == "attribute" else (lambda: g.__setitem__(name, 7))

    def stored():
        return target.get(name) if target_kind == "dict" else getattr(target, name, None)

    if refusal is None:
        write()
        assert stored() == 7
    else:
        with pytest.raises(PermissionError) as info:
            write()
        assert str(info.value) == refusal.format(f"p.{name}")
        assert stored() is None


@pytest.mark.parametrize(
    "prefix, name, refusal",
    [
        ("heavy", "x", NO_TX.format("heavy.x")),  # the zone is the bare name's
        ("const_a.b", "heavy_x", None),
        ("sig", "x", NO_TX.format("sig.x")),
        ("", "const_x", DENIED.format("const_x")),
    ],
)
def test_the_zone_of_a_write_is_that_of_the_name(prefix, name, refusal):
    target = {}
    g = G(target, [], [prefix] if prefix else [name], prefix)
    if refusal is None:
        setattr(g, name, 1)
        assert target == {name: 1}
    else:
        with pytest.raises(PermissionError) as info:
            setattr(g, name, 1)
        assert str(info.value) == refusal and target == {}


class Recording:
    """Records every attribute read and write that reaches it."""

    def __init__(self):
        object.__setattr__(self, "events", [])

    def __getattr__(self, name):
        self.events.append(("get", name))
        raise AttributeError(name)

    def __setattr__(self, name, value):
        self.events.append(("set", name))
        object.__setattr__(self, name, value)


@pytest.mark.parametrize(
    "inputs, outputs, path",
    [(["p.x"], [], "p.x"), ([], ["p.y"], "p.x"), ([], ["p.xy"], "p.x"), ([], [], "p.x")],
)
def test_contract_refusal_comes_first_and_changes_nothing(inputs, outputs, path):
    target = Recording()
    g = G(target, inputs, outputs, "p", new_tx())
    with pytest.raises(PermissionError, match=rf"^Illegal Write: '{path}'$"):
        g.x = 1
    with pytest.raises(PermissionError, match=r"^Illegal Write: 'p\[0\]'$"):
        g[0] = 1
    assert target.events == []


def test_old_value_is_read_before_the_write():
    target = Recording()
    G(target, [], ["p"], "p", new_tx()).x = 1
    assert target.events == [("get", "x"), ("set", "x")] and target.x == 1


class Mixed:
    supervisor_target = "the proxy's target"
    _data = "the data"


class DataOnly:
    _data = ["the data"]


class ProbesFail:
    @property
    def supervisor_target(self):
        raise KeyError("probe")

    @property
    def _data(self):
        raise ValueError("probe")


@pytest.mark.parametrize(
    "value, stored",
    [
        (SupervisorProxy({"inner": 1}), {"inner": 1}),
        (Mixed(), "the proxy's target"),
        (DataOnly(), ["the data"]),
        (5, 5),
    ],
)
def test_values_are_unwrapped(value, stored):
    target = {}
    g = G(target, [], ["p"], "p", new_tx())
    g.x = value
    g[0] = value
    assert target["x"] == stored and target[0] == stored
    if isinstance(value, SupervisorProxy):
        assert target["x"] is value.supervisor_target


def test_probe_errors_are_dropped():
    target, value = {}, ProbesFail()
    G(target, [], ["p"], "p", new_tx()).x = value
    assert target["x"] is value


def test_dict_targets_are_written_through_their_own_setitem():
    class Watched(dict):
        seen = []

        def __setitem__(self, key, value):
            Watched.seen.append((key, value))
            super().__setitem__(key, value)

    target = Watched()
    G(target, [], ["p"], "p", new_tx()).x = 1
    assert Watched.seen == [("x", 1)] and type(Watched.seen[0][0]) is str


@pytest.mark.parametrize(
    "prefix, key, path",
    [
        ("p", 0, "p[0]"), ("", 0, "[0]"), ("p", -1, "p[-1]"), ("p", True, "p[1]"),
        ("p", 1.5, "p.1.5"), ("", 1.5, "1.5"), ("p", 2**64, f"p.{2**64}"), ("p", (1, 2), "p.(1, 2)"),
    ],
)
def test_item_writes_are_always_transactional(prefix, key, path):
    target = {}
    g = G(target, [], [], prefix)
    with pytest.raises(PermissionError) as info:
        g[key] = 1
    assert str(info.value) == f"Illegal Write: '{path}'"
    with pytest.raises(PermissionError) as info:
        G(target, [], [path], prefix)[key] = 1
    assert str(info.value) == NO_TX.format(path)
    assert target == {}
    G(target, [], [path], prefix, new_tx())[key] = 1
    assert target == {key: 1}


def test_item_write_to_a_list_and_its_errors():
    target = [0, 1]
    g = G(target, [], ["p"], "p", new_tx())
    g[1] = "one"
    assert target == [0, "one"]
    with pytest.raises(IndexError):
        g[5] = 1  # the old value is None, the assignment itself fails
    with pytest.raises(TypeError):
        g[[1]] = 1
    assert target == [0, "one"]


def test_text_keys_follow_the_attribute_rule():
    target = {"log": "kept"}
    g = G(target, [], ["p"], "p")
    g["heavy_x"] = 1  # direct: no transaction needed
    g["log"] = "the guard's field"
    assert target == {"log": "kept", "heavy_x": 1}
    with pytest.raises(PermissionError, match=r"^Security Violation: Write to 'p.x'"):
        g["x"] = 1


def test_strict_mode_restricts_reads_only():
    target = {}
    g = G(target, [], ["p"], "p", new_tx(), strict_guards=True)
    g._x = 1
    assert target == {"_x": 1}
    with pytest.raises(PermissionError, match="denied in Strict Mode"):
        g._x


@pytest.mark.parametrize(
    "delete, exc, message",
    [
        (lambda g: delattr(g, "x"), AttributeError, "can't delete attribute"),
        (lambda g: delattr(g, "log"), AttributeError, "can't delete attribute"),
        (lambda g: g.__delitem__(0), NotImplementedError, "can't delete item"),
        (lambda g: g.__delitem__("x"), NotImplementedError, "can't delete item"),
    ],
)
def test_deletion_is_refused(delete, exc, message):
    target = {"x": 1, 0: 2}
    g = G(target, [], ["p"], "p", new_tx(), is_admin=True)
    with pytest.raises(exc) as info:
        delete(g)
    assert str(info.value) == message and target == {"x": 1, 0: 2}


def test_notices_record_nothing():
    tx = new_tx()
    g = G({}, [], ["p"], "p", tx, is_admin=True)
    g.x, g.sig_x, g[0] = 1, 2, 3
    assert tx.get_delta_log() == []


def test_odd_names():
    target = {}
    g = G(target, [], [], "", is_admin=True)
    with pytest.raises(UnicodeEncodeError):
        g["heavy_\udc80"] = 1
    g["heavy_x\0y"] = 1
    assert target == {"heavy_x\0y": 1}


# --- conflicts and threads --------------------------------------------------------------------


class Calls(dict):
    hook = None

    def __setitem__(self, key, value):
        Calls.hook()
        super().__setitem__(key, value)


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda g: g["k"], "Already mutably borrowed"),
        (lambda g: "k" in g, "Already mutably borrowed"),
        (lambda g: g.log("x"), "Already mutably borrowed"),
        (lambda g: g.heavy_y, "Already mutably borrowed"),
        (lambda g: setattr(g, "heavy_y", 1), "Already borrowed"),
    ],
)
def test_calls_from_inside_a_write_conflict(action, message):
    target = Calls(k=1)
    g = G(target, [], ["p"], "p")
    errors = []

    def hook():
        try:
            action(g)
        except RuntimeError as e:
            errors.append(str(e))

    Calls.hook = hook
    g.heavy_x = 1
    assert errors == [message] and target == {"k": 1, "heavy_x": 1}


class NoticeInsideCopy:
    """Writes through a guard while the transaction copies it."""

    guard = None
    seen = []

    def __deepcopy__(self, memo):
        try:
            NoticeInsideCopy.guard.x = 5
        except RuntimeError as e:
            NoticeInsideCopy.seen.append(str(e))
        return NoticeInsideCopy()


@on_fresh_thread
def test_a_write_whose_transaction_is_held_writes_nothing():
    tx = new_tx()
    target = {"copy_me": NoticeInsideCopy()}
    g = G(target, [], ["p"], "p", tx)
    NoticeInsideCopy.guard, NoticeInsideCopy.seen = G(target, [], ["p"], "p", tx), []
    g["copy_me"]
    assert NoticeInsideCopy.seen == ["Already borrowed"] and "x" not in target


def test_one_guard_shared_by_reading_and_writing_threads():
    class Slow(dict):
        def __getitem__(self, key):
            time.sleep(0)  # let the other threads in mid-call
            return super().__getitem__(key)

    target = Slow(k=1)
    g = G(target, ["p"], ["p"], "p")
    landed, refused, wrong = [], [], []
    barrier = threading.Barrier(6)

    def worker(n):
        barrier.wait()
        for i in range(300):
            try:
                if n % 2:
                    if g["k"] != 1:
                        wrong.append(i)
                else:
                    key = f"heavy_{n}_{i}"
                    g[key] = i
                    landed.append(key)
            except RuntimeError as e:
                refused.append(str(e))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not wrong
    assert set(refused) <= {"Already borrowed", "Already mutably borrowed"}
    assert all(key in target for key in landed)  # no write that reported success was lost
    assert len(target) == 1 + len(landed)


class Record:
    def __init__(self):
        self.count = 0

    def __eq__(self, other):
        return isinstance(other, Record) and self.count == other.count


@on_fresh_thread
def test_child_guard_writes_reach_the_inferred_deltas():
    tx = new_tx()
    domain = {"rec": Record(), "same": Record()}
    g = G(domain, [], ["domain"], "domain", tx)
    child = g["rec"]
    g["same"].count = 0
    child.count = 3
    assert domain["rec"].count == 0  # the shadow changed, not the original
    tx.infer_shadow_deltas()
    assert tx.get_delta_log() == ["domain.rec"]


class Settings:
    def __init__(self, mode):
        self.mode = mode

    def __eq__(self, other):
        return isinstance(other, Settings) and self.mode == other.mode


@on_fresh_thread
def test_a_guarded_process_run_commits_its_permitted_writes():
    class AppState(State):
        settings = Settings("slow")  # read through the context's fallback to its state

    engine = OlvexEngine()
    engine.commit_state(AppState(data={"domain": {"orders": {"count": 0}, "status": "idle"}}))
    committed = engine.state.data["domain"]
    refused = []

    def process(ctx):
        # As the framework's Python layer does: the process sees its context through a guard.
        g = G(ctx, ["domain", "settings"], ["domain.status", "domain.orders", "settings.mode"], tx=ctx.tx)
        domain = g.domain  # a proxy over the transaction's shadow of the committed object
        assert domain.supervisor_target == committed and domain.supervisor_target is not committed
        domain.status = "busy"
        domain["orders"]["count"] = domain["orders"]["count"] + 1
        settings = g.settings  # a child guard over a shadow
        assert type(settings) is G
        settings.mode = "fast"
        for refusal, exc in [(lambda: setattr(g, "other", {}), PermissionError), (lambda: g.local, PermissionError),
                             (lambda: setattr(settings, "level", 1), PermissionError),
                             (lambda: setattr(g, "domain", {}), AttributeError)]:  # the context's fields are fixed
            with pytest.raises(exc) as info:
                refusal()
            refused.append(str(info.value))
        g.outbox.add(OutboxMsg("done", ctx.state.version))

    async def main():
        with engine.transaction() as tx:
            await engine.execute_process_async("p", process, tx)
            assert tx.outbox.len() == 1

    asyncio.run(main())
    assert refused[:3] == ["Illegal Write: 'other'", "Illegal Read: 'local'", "Illegal Write: 'settings.level'"]
    assert engine.state.version == 2
    assert engine.state.data["domain"] == {"orders": {"count": 1}, "status": "busy"}
    assert engine.state.data["settings"] == Settings("fast")
    # The shadows took the writes; the committed objects are as they were.
    assert committed == {"orders": {"count": 0}, "status": "idle"} and AppState.settings.mode == "slow"
    delivered = []
    engine.attach_worker(lambda m: delivered.append((m.topic, m.payload)))
    engine.process_outbox()
    assert delivered == [("done", 1)]


# --- writes down chains of child guards ------------------------------------------------------


class Node:
    """Compares by value: inference sees only real changes."""

    copies = 0

    def __init__(self, v, nxt=None, d=None):
        self.v, self.nxt, self.d = v, nxt, d

    def __eq__(self, other):
        return type(other) is Node and (self.v, self.nxt, self.d) == (other.v, other.nxt, other.d)

    def __setstate__(self, state):  # deepcopy rebuilds each copy through here
        Node.copies += 1
        self.__dict__.update(state)


class Plain(Node):
    """Compares by identity: every tracked shadow gives a delta."""

    __eq__ = object.__eq__
    __hash__ = object.__hash__


def dump(x):
    """Objects as (class, fields); the lock manager a shadow drops is left out."""
    if isinstance(x, dict):
        return {k: dump(v) for k, v in x.items()}
    if hasattr(x, "__dict__"):
        return (type(x).__name__, {k: dump(v) for k, v in vars(x).items() if k != "_lock_manager"})
    return x


def chain(cls, n):
    head = None
    for i in reversed(range(n)):
        head = cls(i, head, {"k": 0})
    return head


def re_reads(g):
    a = g.nxt
    b = a.nxt
    b.v = "b"
    a.v = "a"
    b.nxt.v = "c"
    g.nxt.nxt.v = "b2"  # the same children again


def deep_write(g):
    g.nxt.nxt.nxt.v = "deep"


def dict_writes(g):
    g.nxt.d["k"] = 5  # a proxy over the dict inside the child's shadow
    g.nxt.nxt.d["k"] = 6


def every_level(g):
    g.v = "root"
    g.nxt.v = "one"
    g.nxt.nxt.d["k"] = 2


@pytest.mark.parametrize("cls", [Node, Plain])
@pytest.mark.parametrize("writes", [re_reads, deep_write, dict_writes, every_level])
@on_fresh_thread
def test_writes_down_a_chain_of_child_guards_commit_what_they_wrote(cls, writes):
    """Through guards over a tracked shadow, the commit holds what the same
    writes do to a plain copy, and the committed objects stay as they were."""
    engine = OlvexEngine()
    engine.commit_state(State(data={"domain": {"head": chain(cls, 5), "other": 1}}))
    head = engine.state.data["domain"]["head"]
    before = dump(head)
    expected = copy.deepcopy(head)
    writes(expected)
    with engine.transaction() as tx:
        writes(G(tx.get_shadow(head, "domain.head"), [], ["domain"], "domain.head", tx))
    assert engine.state.version == 2
    assert dump(head) == before
    assert dump(engine.state.data["domain"]) == {"head": dump(expected), "other": 1}


@on_fresh_thread
def test_a_walk_down_a_chain_copies_each_object_once():
    tx = new_tx()
    head = chain(Node, 30)
    Node.copies = 0
    g = G({"head": head}, [], ["domain"], "domain", tx)["head"]
    first = g._target
    assert Node.copies == 30
    for depth in range(1, 30):
        g = g.nxt
        assert g._target is first.nxt  # the object inside the first shadow
        first = first.nxt
    assert Node.copies == 30
    # A shadow handed back in is still no known shadow, and is copied anew.
    assert not tx.is_known_shadow(g._target)
    assert tx.get_shadow(g._target) is not g._target and Node.copies == 31
