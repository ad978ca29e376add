"""ProcessContext: the class, construction, its members with and without a
transaction and data roots, the current-transaction slot per thread, the
attribute fallback to the state, the life of instances, and the Outbox
handle it hands out."""
import copy
import gc
import inspect
import pickle
import weakref

import pytest

import olvex_core
from olvex_core import FrozenDict, OlvexEngine, OutboxMsg, ProcessContext, State, SupervisorProxy
from proxy_support import FakeTx, current_tx_among, on_fresh_thread, run_on_thread

DOMAIN_DOC = (
    "[FIX v3.3] Explicit Domain Getter \u2014 Transaction NOT injected into SupervisorProxy.\n"
    "SupervisorProxy queries contextvars for Transaction when it needs to log or COW."
)
GLOBAL_DOC = "[FIX v3.3] Explicit Global Getter \u2014 same pattern as domain"
MEMBERS = ["transaction", "global_ctx", "domain_ctx", "domain", "global", "state", "local", "outbox", "tx"]
ROOTS = [("domain", ("domain", "domain_ctx")), ("global", ("global", "global_ctx"))]


def new_tx():
    return OlvexEngine().transaction()


class Box:
    pass


class SubState(State):
    pass


class SubDict(dict):
    pass


# --- the class ------------------------------------------------------------------------------


def test_class_surface():
    assert ProcessContext.__module__ == "olvex_core" and ProcessContext.__qualname__ == "ProcessContext"
    assert ProcessContext.__doc__ == "Ephemeral Context passed to Process"
    assert str(inspect.signature(ProcessContext)) == "(state, local, tx=None)"
    names = olvex_core.__all__
    assert names[names.index("State") + 1] == "ProcessContext"
    assert [n for n in ProcessContext.__dict__ if not n.startswith("__")] == MEMBERS
    docs = {n: ProcessContext.__dict__[n].__doc__ for n in MEMBERS}
    assert docs == {n: {"domain": DOMAIN_DOC, "global": GLOBAL_DOC}.get(n) for n in MEMBERS}
    with pytest.raises(TypeError):
        type("Sub", (ProcessContext,), {})
    ctx = ProcessContext(State(), {})
    assert not hasattr(ctx, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(ctx)


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((5, []), {}, "argument 'state': 'int' object cannot be converted to 'State'"),
        (({}, {}), {}, "argument 'state': 'dict' object cannot be converted to 'State'"),
        ((None, {}), {}, "argument 'state': 'NoneType' object cannot be converted to 'State'"),
        ((State(), []), {}, "argument 'local': 'list' object cannot be converted to 'PyDict'"),
        ((State(), None), {}, "argument 'local': 'NoneType' object cannot be converted to 'PyDict'"),
        ((State(), FrozenDict({})), {}, "argument 'local': 'FrozenDict' object cannot be converted to 'PyDict'"),
        ((State(), {}, 5), {}, "argument 'tx': 'int' object cannot be converted to 'Transaction'"),
        ((State(), {}, {}), {}, "argument 'tx': 'dict' object cannot be converted to 'Transaction'"),
        ((State(), {}, OlvexEngine()), {}, "argument 'tx': 'OlvexEngine' object cannot be converted to 'Transaction'"),
        ((State(), {}, FakeTx()), {}, "argument 'tx': 'FakeTx' object cannot be converted to 'Transaction'"),
        ((State(),), {}, "missing 1 required positional argument: 'local'"),
        ((State(), {}, None, 1), {}, "takes 3 positional arguments but 4 were given"),
        ((State(), {}), {"state": State()}, "got multiple values for argument 'state'"),
    ],
)
def test_constructor_checks_in_order(args, kwargs, text):
    with pytest.raises(TypeError) as info:
        ProcessContext(*args, **kwargs)
    assert text in str(info.value)


def test_constructor_takes_subclasses_and_keywords_and_uses_the_objects_themselves():
    s, local, tx = SubState(data={"domain": {}}), SubDict(a=1), new_tx()
    ctx = ProcessContext(local=local, tx=tx, state=s)
    assert ctx.state is s and ctx.local is local and ctx.tx is tx and ctx.transaction is tx
    assert ProcessContext(s, {}, None).tx is None


# --- members with and without a transaction and roots ---------------------------------------


@pytest.fixture(params=[False, True], ids=["no-tx", "tx"])
def tx(request):
    return new_tx() if request.param else None


@pytest.mark.parametrize(
    "data",
    [{}, {"domain": {"a": 1}}, {"global": [1, 2]}, {"domain": {"a": {"b": 2}}, "global": Box()},
     {"domain": None, "global": 0}],
    ids=["none", "domain", "global", "both", "primitive"],
)
@on_fresh_thread
def test_root_properties(tx, data):
    s = State(data=data)
    ctx = ProcessContext(s, {}, tx)
    for root, names in ROOTS:
        for name in names:
            p = getattr(ctx, name)
            if root not in data:
                assert p is None, name
                continue
            assert type(p) is SupervisorProxy, name
            assert p.supervisor_target is data[root]  # the stored object itself, no copy
            assert p.path() == root and p.capabilities == 15 and p.read_only is (tx is None)
            assert p is not getattr(ctx, name)  # a new proxy per read


@on_fresh_thread
def test_reads_without_a_transaction_hand_out_the_committed_objects():
    inner = {"b": 1}
    ctx = ProcessContext(State(data={"domain": {"a": inner}}), {})
    assert ctx.domain["a"].supervisor_target is inner
    with pytest.raises(PermissionError):
        ctx.domain["x"] = 1


@on_fresh_thread
def test_reads_with_a_transaction_shadow_and_log_through_it():
    inner = {"b": 1}
    tx = new_tx()
    ctx = ProcessContext(State(data={"domain": {"a": inner}}), {}, tx)
    child = ctx.domain["a"]
    assert child.supervisor_target == inner and child.supervisor_target is not inner
    assert tx.is_known_shadow(inner)


# --- the current-transaction slot, per thread -----------------------------------------------


@pytest.mark.parametrize("name", ["domain", "domain_ctx", "global", "global_ctx"])
@on_fresh_thread
def test_each_root_read_makes_the_transaction_current_on_the_reading_thread_only(name):
    first, second = new_tx(), new_tx()
    s = State(data={"domain": {}, "global": {}})
    a, b = ProcessContext(s, {}, first), ProcessContext(s, {}, second)
    assert current_tx_among(first, second) is None
    getattr(a, name)
    assert current_tx_among(first, second) is first
    run_on_thread(lambda: getattr(b, name))  # another thread's slot
    assert current_tx_among(first, second) is first
    getattr(b, name)
    assert current_tx_among(first, second) is second
    getattr(a, name)  # every read, not just the first
    assert current_tx_among(first, second) is first
    assert run_on_thread(current_tx_among, first, second) is None


@pytest.mark.parametrize(
    "data, with_tx",
    [({}, True), ({"domain": {}, "global": {}}, False)],
    ids=["absent-roots", "no-transaction"],
)
@on_fresh_thread
def test_reads_that_build_no_writable_proxy_leave_the_slot_alone(data, with_tx):
    held, other = new_tx(), new_tx()
    ProcessContext(State(data={"domain": {}}), {}, held).domain
    ctx = ProcessContext(State(data=data), {}, other if with_tx else None)
    for name in ("domain", "domain_ctx", "global", "global_ctx"):
        getattr(ctx, name)
    assert current_tx_among(held, other) is held


# --- the attribute fallback -----------------------------------------------------------------


def raising_state(error):
    class Raising(State):
        def __getattr__(self, name):
            raise error

    return Raising()


class Recursing(State):
    def __getattr__(self, name):
        return getattr(self, name + "x")


@pytest.mark.parametrize("name", ["version", "data", "meta", "signals", "heavy"])
def test_other_names_read_the_state(name):
    s = State(data={"k": 1}, version=7)
    ctx = ProcessContext(s, {})
    assert getattr(ctx, name) == getattr(s, name)
    assert ctx.update.__self__ is s and ctx.log_meta.__self__ is s


def test_state_subclass_attributes_are_reached():
    class Rich(State):
        label = "rich"

    ctx = ProcessContext(Rich(), {})
    assert ctx.label == "rich"


@pytest.mark.parametrize(
    "state, name, cause",
    [
        (State(), "nope", AttributeError),
        (State(), "\ud800", AttributeError),
        (State(), "a.b", AttributeError),
        (raising_state(ValueError("boom")), "x", ValueError),
        (raising_state(RuntimeError("boom")), "x", RuntimeError),
        (Recursing(), "x", RecursionError),
    ],
    ids=["missing", "surrogate", "dotted", "value-error", "runtime-error", "recursion"],
)
def test_failures_of_the_state_become_the_contexts_attribute_error(state, name, cause):
    ctx = ProcessContext(state, {})
    with pytest.raises(AttributeError) as info:
        getattr(ctx, name)
    assert info.value.args == (f"'ProcessContext' object has no attribute '{name}'",)
    assert isinstance(info.value.__context__, cause)
    assert not hasattr(ctx, name)


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_exceptions_that_are_not_errors_pass_the_fallback_unchanged(error):
    ctx = ProcessContext(raising_state(error), {})
    with pytest.raises(type(error)) as info:
        hasattr(ctx, "x")
    assert info.value is error


def test_a_non_str_name_is_refused_by_the_ordinary_lookup():
    ctx = ProcessContext(State(), {})
    with pytest.raises(TypeError):
        ProcessContext.__getattribute__(ctx, 5)


@pytest.mark.parametrize("name", MEMBERS + ["version", "anything"])
def test_assignment_and_deletion_are_refused_by_the_host(name):
    ctx = ProcessContext(State(), {})
    with pytest.raises(AttributeError):
        setattr(ctx, name, 1)
    with pytest.raises(AttributeError):
        delattr(ctx, name)


# --- the outbox -----------------------------------------------------------------------------


def test_each_read_is_a_new_handle_over_the_one_buffer(capfd):
    ctx = ProcessContext(State(), {})
    a, b = ctx.outbox, ctx.outbox
    assert a is not b and type(a) is type(b)
    payload = {"n": 1}
    a.add(OutboxMsg("t", payload))
    assert [(m.topic, m.payload) for m in b.messages] == [("t", payload)]
    assert capfd.readouterr().err == "DEBUG: Outbox::add topic=t\n"


def test_a_context_built_from_python_keeps_its_messages_from_the_transaction(tx):
    ctx = ProcessContext(State(), {}, tx)
    ctx.outbox.add(OutboxMsg("t", None))
    assert len(ctx.outbox.messages) == 1
    if tx is not None:
        assert tx.outbox.len() == 0
    other = ProcessContext(ctx.state, {}, tx)
    assert other.outbox.messages == []


@pytest.mark.parametrize("ending", ["dropped", "unread", "handle kept"])
def test_each_context_starts_with_an_outbox_of_its_own(ending, capfd):
    # Buffers of contexts gone serve later contexts and transactions only
    # when nothing was left in them and nothing else holds them.
    e = OlvexEngine()
    for _ in range(6):
        ctx = ProcessContext(State(), {})
        handle = ctx.outbox
        if ending != "dropped":
            handle.add(OutboxMsg("old", None))
        if ending != "handle kept":
            handle = None
        del ctx
        fresh, tx = ProcessContext(State(), {}), e.transaction()
        assert fresh.outbox.messages == [] and tx.outbox.len() == 0
        if handle is not None:
            assert [m.topic for m in handle.messages] == ["old"]
        del fresh, tx, handle
    capfd.readouterr()


# --- life of instances ----------------------------------------------------------------------


@pytest.mark.parametrize("tie", ["local", "state", "shadow"])
def test_cycles_through_the_context_are_collected(tie):
    marker = Box()
    alive = weakref.ref(marker)
    tx = new_tx()
    local = {"m": marker}
    data = {"domain": {}}
    ctx = ProcessContext(State(data=data) if tie != "state" else State(data={"box": data}), local, tx)
    if tie == "local":
        local["me"] = ctx
    elif tie == "state":
        data["ctx"] = ctx
    else:
        tx.get_shadow({"k": 1}, "domain")["ctx"] = ctx
    del ctx, local, data, tx, marker
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("link", ["local", "state"])
def test_long_chains_release_without_recursion(link):
    marker = Box()
    alive = weakref.ref(marker)
    ctx = ProcessContext(State(), {"m": marker})
    del marker
    for _ in range(100_000):
        if link == "local":
            ctx = ProcessContext(State(), {"next": ctx})
        else:
            ctx = ProcessContext(State(data={"next": ctx}), {})
    del ctx
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("operation", [copy.copy, copy.deepcopy, pickle.dumps])
def test_copying_and_pickling_are_refused(operation):
    with pytest.raises(TypeError, match="cannot pickle"):
        operation(ProcessContext(State(), {}, new_tx()))


# --- the Outbox handle ----------------------------------------------------------------------


@pytest.fixture
def Outbox():
    return type(ProcessContext(State(), {}).outbox)


def test_outbox_class_surface(Outbox):
    assert Outbox.__name__ == "Outbox" and Outbox.__module__ == "olvex_core"
    assert not hasattr(olvex_core, "Outbox")
    assert [n for n in Outbox.__dict__ if not n.startswith("__")] == ["add", "messages"]
    assert str(inspect.signature(Outbox.add)) == "(self, /, msg)"
    with pytest.raises(TypeError):
        type("Sub", (Outbox,), {})


def test_a_new_outbox_is_empty_and_private(Outbox):
    a, b = Outbox(), Outbox()
    assert a.messages == [] and b.messages == []
    a.add(OutboxMsg("t", None))
    assert b.messages == []


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})])
def test_outbox_constructor_takes_no_arguments(Outbox, args, kwargs):
    with pytest.raises(TypeError):
        Outbox(*args, **kwargs)


@pytest.mark.parametrize("payload", [None, 0, {"k": [1]}, Box()], ids=["none", "int", "dict", "object"])
def test_add_writes_the_debug_line_and_keeps_copies_in_order(Outbox, capfd, payload):
    o = Outbox()
    sent = OutboxMsg("first", payload)
    assert o.add(sent) is None
    o.add(msg=OutboxMsg("second \u00e9", None))
    assert capfd.readouterr().err == "DEBUG: Outbox::add topic=first\nDEBUG: Outbox::add topic=second \u00e9\n"
    first, second = o.messages, o.messages
    assert [m.topic for m in first] == ["first", "second \u00e9"]
    assert first[0].payload is payload and second[0].payload is payload
    assert first[0] is not second[0] and first[0] is not sent
    if isinstance(payload, dict):
        payload["k"].append(2)
        assert o.messages[0].payload == {"k": [1, 2]}


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        (("text",), {}, "argument 'msg': 'str' object cannot be converted to 'OutboxMsg'"),
        ((None,), {}, "argument 'msg': 'NoneType' object cannot be converted to 'OutboxMsg'"),
        ((), {}, "missing 1 required positional argument: 'msg'"),
        ((OutboxMsg("t", 1), 2), {}, "takes 1 positional argument but 2 were given"),
    ],
)
def test_a_failed_add_writes_nothing_and_changes_nothing(Outbox, capfd, args, kwargs, text):
    o = Outbox()
    with pytest.raises(TypeError) as info:
        o.add(*args, **kwargs)
    assert text in str(info.value)
    assert o.messages == [] and capfd.readouterr().err == ""
