"""SupervisorProxy assignment: the refusals in their order, the lens, old
values and writes, the two forms of the delta report, and the withdrawal of
an entry whose write failed."""
import sys

import pytest

import olvex_core
from olvex_core import OlvexEngine, Transaction
from proxy_support import FakeTx, SupervisorProxy, on_fresh_thread, run_on_thread

P = SupervisorProxy


@pytest.fixture
def overrides():
    olvex_core.clear_physics_overrides()
    yield olvex_core.register_physics_override
    olvex_core.clear_physics_overrides()


class Obj:
    pass


class Slotted:
    __slots__ = ("x",)


class LoggingDict(dict):
    """A dict subclass whose own get and __setitem__ take part."""

    def __init__(self, *a):
        super().__init__(*a)
        self.calls = []

    def get(self, key, default=None):
        self.calls.append(("get", key))
        return super().get(key, default)

    def __setitem__(self, key, value):
        self.calls.append(("set", key))
        super().__setitem__(key, value)


class NoTx:
    """A current transaction without log_delta."""

    def get_shadow(self, value, path):
        return value


class FailingTx(FakeTx):
    def __init__(self, exc):
        super().__init__()
        self.exc = exc

    def log_delta(self, path, old, new):
        raise self.exc


def native_tx():
    return OlvexEngine().transaction()


# ---- refusals ------------------------------------------------------------------


@pytest.mark.parametrize("kwargs", [{}, {"read_only": True}, {"capabilities": 0}, {"transaction": FakeTx()}])
@on_fresh_thread
def test_deletion_is_refused_before_anything_else(kwargs):
    target = {"x": 1, 0: 2}
    p = P(target, "domain", **kwargs)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del p.x
    with pytest.raises(NotImplementedError, match="^can't delete item$"):
        del p[0]
    assert target == {"x": 1, 0: 2}


class StrRaises:
    def __str__(self):
        raise LookupError("no text")


ATTR = "attr"
ITEM = "item"


def assign(p, form, key, value):
    """p.key = value or p[key] = value; setattr takes any name object."""
    if form == ATTR:
        P.__setattr__(p, key, value)
    else:
        p[key] = value


@pytest.mark.parametrize(
    "form, kwargs, name, exc, message",
    [
        # read-only comes first, then the lens, then the transaction
        (ATTR, {"read_only": True, "capabilities": 0}, "x", PermissionError, "PURE process cannot write to 'domain.x'"),
        (ITEM, {"read_only": True, "capabilities": 0}, "x", PermissionError, "PURE process cannot write"),
        (ATTR, {"capabilities": 1}, "x", PermissionError,
         "Permission Denied: UPDATE capability required for 'domain.x'. (Current Lens: 0001)"),
        (ITEM, {"capabilities": 1}, "x", PermissionError,
         "Permission Denied: UPDATE capability required for item assignment at 'domain[x]'. (Current Lens: 0001)"),
        (ATTR, {}, "x", PermissionError,
         "Supervisor blocked mutation to 'domain.x': No active transaction found. State is Immutable outside "
         "processes."),
        (ITEM, {}, "x", PermissionError, "Supervisor blocked mutation to path 'domain': No active transaction found."),
        # the name's binding comes before read-only; str(key) after it
        (ATTR, {"read_only": True}, 1, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (ATTR, {}, "lone \udc80", UnicodeEncodeError, None),
        (ITEM, {"read_only": True}, StrRaises(), PermissionError, "PURE process cannot write"),
        (ITEM, {"capabilities": 0}, StrRaises(), LookupError, "no text"),
        (ITEM, {}, "lone \udc80", UnicodeEncodeError, None),
    ],
)
@on_fresh_thread
def test_refusals_in_order(form, kwargs, name, exc, message):
    tx = FakeTx()
    P({}, "elsewhere", transaction=tx)  # a current transaction that must not be consulted
    target = {}
    p = P(target, "domain", **kwargs)
    with pytest.raises(exc) as e:
        assign(p, form, name, 5)
    if message is not None:
        assert str(e.value) == message
    assert target == {} and tx.deltas == []


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"read_only": True}, "PURE process cannot write to '.x'"),
        ({}, "Supervisor blocked mutation to '.x': No active transaction found. State is Immutable outside processes."),
    ],
)
def test_attribute_refusals_at_the_root_join_path_and_name(kwargs, message):
    with pytest.raises(PermissionError) as e:
        P({}, **kwargs).x = 1
    assert str(e.value) == message
    with pytest.raises(PermissionError) as e:
        P({})["x"] = 1
    assert str(e.value) == "Supervisor blocked mutation to path '': No active transaction found."


def test_refusal_texts_keep_nul_characters():
    with pytest.raises(PermissionError) as e:
        setattr(P({}, "domain", read_only=True), "a\0b", 1)
    assert str(e.value) == "PURE process cannot write to 'domain.a\0b'"


# ---- the lens --------------------------------------------------------------------


@pytest.mark.parametrize(
    "caps, name, override, lens",
    [
        (1, "x", None, "0001"),
        (15, "const_limit", None, "0001"),
        (15, "sig_x", None, "0011"),
        (15, "internal_x", None, "0000"),
        (15, "meta_x", None, None),
        (31, "internal_x", None, None),
        (31, "sig_x", None, None),
        (31, "const_limit", None, "0001"),
        (16, "const_limit", None, "0000"),
        (15, "sig_x", 4, None),
        (1, "sig_x", 4, "0000"),
        (15, "x", 0, "0000"),
        (15, "const_limit", 15, None),
        (27, "const_limit", 27, "11011"),  # at least four digits, never cut
    ],
)
@on_fresh_thread
def test_lens_of_attribute_and_item_assignment(overrides, caps, name, override, lens):
    if override is not None:
        overrides(f"domain.{name}", override)
        overrides(f"domain[{name}]", override)
    tx = FakeTx()
    for form in (ATTR, ITEM):
        target = {}
        p = P(target, "domain", transaction=tx, capabilities=caps)
        try:
            assign(p, form, name, 1)
        except PermissionError as e:
            assert lens is not None, str(e)
            where = f"'domain.{name}'" if form == ATTR else f"item assignment at 'domain[{name}]'"
            assert str(e) == f"Permission Denied: UPDATE capability required for {where}. (Current Lens: {lens})"
            assert target == {}
        else:
            assert lens is None and target == {name: 1}


@on_fresh_thread
def test_lens_follows_the_item_path_and_overrides_at_once(overrides):
    p = P({}, "domain", transaction=FakeTx())
    with pytest.raises(PermissionError, match=r"at 'domain\[a.const_b\]'"):
        p["a.const_b"] = 1  # segments domain, a, const_b: Constant
    p["a.b"] = 1
    overrides("domain.a", 0)
    with pytest.raises(PermissionError, match=r"'domain.a'. \(Current Lens: 0000\)"):
        p.a = 2
    olvex_core.clear_physics_overrides()
    p.a = 2


@pytest.mark.parametrize("path, key, lens", [
    ("domain.sig_a", "x", "0011"),  # the parent's zone decides
    ("", "const_x", "0001"),  # the bare key at the root
    ("domain", "b[meta_c]", None),
    ("domain", "]const_c", "0001"),  # a "]" hides the first byte
])
@pytest.mark.parametrize("other_override", [False, True])
@on_fresh_thread
def test_lens_of_a_step_with_and_without_overrides(overrides, path, key, lens, other_override):
    if other_override:
        overrides("elsewhere", 0)  # an entry that answers nothing here
    for form in (ATTR, ITEM):
        target = {}
        p = P(target, path, transaction=FakeTx())
        try:
            assign(p, form, key, 1)
        except PermissionError as e:
            assert lens is not None and str(e).endswith(f"(Current Lens: {lens})"), str(e)
        else:
            assert lens is None and target == {key: 1}


# ---- old values, reports and writes ----------------------------------------------


@pytest.mark.parametrize(
    "make, form, key, old, written",
    [
        (lambda: {"x": 1}, ATTR, "x", 1, lambda t: t["x"]),
        (lambda: {}, ATTR, "x", None, lambda t: t["x"]),
        (lambda: {"x": 1}, ITEM, "x", 1, lambda t: t["x"]),
        (lambda: [0, 1, 2], ITEM, 0, None, lambda t: t[0]),  # a list has no get
        (Obj, ATTR, "x", None, lambda t: t.x),
        (lambda: LoggingDict({"x": 1}), ATTR, "x", 1, lambda t: t["x"]),
    ],
)
@on_fresh_thread
def test_report_then_write(make, form, key, old, written):
    tx = FakeTx()
    target = make()
    p = P(target, "domain", transaction=tx)
    value = {"new": True}
    if form == ATTR:
        setattr(p, key, value)
        path = f"domain.{key}"
    else:
        p[key] = value
        path = f"domain[{key}]"
    assert tx.deltas == [(path, old, value)]
    assert written(target) is value


@on_fresh_thread
def test_dict_subclass_methods_run_by_name_in_the_order_of_each_form():
    tx = FakeTx()
    target = LoggingDict()
    p = P(target, "", transaction=tx)
    p.a = 1
    p["b"] = 2
    assert target.calls == [("get", "a"), ("set", "a"), ("get", "b"), ("set", "b")]
    assert tx.deltas == [("a", None, 1), ("b", None, 2)]


@on_fresh_thread
def test_every_name_reaches_the_target_and_values_stay_wrapped():
    tx = FakeTx()
    target = {}
    p = P(target, "domain", transaction=tx, capabilities=15)
    other = P({}, "other")
    for name in ("capabilities", "read_only", "path", "supervisor_target", "_private", "__dict__"):
        setattr(p, name, other)
    assert p.capabilities == 15 and not p.read_only and p.path() == "domain"
    assert list(target) == ["capabilities", "read_only", "path", "supervisor_target", "_private", "__dict__"]
    assert all(v is other for v in target.values())
    obj = Obj()
    P(obj, "o", transaction=tx).capabilities = 0
    assert obj.capabilities == 0


@on_fresh_thread
def test_old_value_is_read_only_with_a_current_transaction():
    class Watch(dict):
        def get(self, *a):
            raise AssertionError("read")

    tx = FakeTx()
    p = P(Watch(), "domain", transaction=tx)
    # Another thread: the proxy's transaction is not current there.
    run_on_thread(setattr, p, "x", 1)
    assert p.supervisor_target == {"x": 1} and tx.deltas == []
    run_on_thread(p.__setitem__, "y", 2)  # item assignment reads through get first: its failure gives None
    assert p.supervisor_target == {"x": 1, "y": 2}


@pytest.mark.parametrize(
    "target, form, exc",
    [
        (None, ATTR, AttributeError),
        (None, ITEM, AttributeError),  # no __setitem__ to call
        ((1, 2), ITEM, AttributeError),
        ((1, 2), ATTR, AttributeError),
        (Slotted(), ATTR, AttributeError),
        ({}, ITEM, TypeError),  # unhashable key
        ([0], ITEM, IndexError),
    ],
)
@on_fresh_thread
def test_failed_writes_propagate_and_leave_no_native_entry(target, form, exc):
    key = "y" if form == ATTR else [] if isinstance(target, dict) else 5
    tx = native_tx()
    with pytest.raises(exc):
        assign(P(target, "domain", transaction=tx), form, key, 1)
    assert tx.get_delta_log() == []
    duck = FakeTx()
    with pytest.raises(exc):
        assign(P(target, "domain", transaction=duck), form, key, 1)
    assert len(duck.deltas) == 1  # a duck-typed transaction keeps what it recorded


@on_fresh_thread
def test_withdrawal_removes_exactly_the_failed_entry():
    tx = native_tx()
    other = native_tx()

    class Target(dict):
        def __setitem__(self, key, value):
            if key == "bad":
                tx.log_delta("during", None, 1)  # the target's own entry stays
                P({}, "x", transaction=other)  # switches the thread's transaction
                raise ValueError("refused")
            super().__setitem__(key, value)

    p = P(Target(), "domain", transaction=tx)
    p.ok = 1
    with pytest.raises(ValueError, match="refused"):
        p.bad = 2
    assert tx.get_delta_log() == ["domain.ok", "during"]
    assert other.get_delta_log() == []
    p2 = P({}, "d", transaction=other)
    p2.z = 3
    assert other.get_delta_log() == ["d.z"]


@on_fresh_thread
def test_a_patched_log_delta_is_called_by_name_and_keeps_its_entry(monkeypatch):
    calls = []
    original = Transaction.log_delta

    def patched(self, path, old, new):
        calls.append(path)
        return original(self, path, old, new)

    monkeypatch.setattr(Transaction, "log_delta", patched)
    tx = native_tx()
    p = P([0], "items", transaction=tx)
    with pytest.raises(IndexError):
        p[3] = 1
    assert calls == ["items[3]"] and tx.get_delta_log() == ["items[3]"]


@pytest.mark.parametrize("name", ["status", "st\u00e4tus", "\u65e5\u672c\U0001f600"])
@pytest.mark.parametrize("patched", [False, True])
@on_fresh_thread
def test_reported_paths_read_back_as_their_text(monkeypatch, name, patched):
    calls = []
    if patched:
        original = Transaction.log_delta

        def by_name(self, path, old, new):
            calls.append((type(path), path))
            return original(self, path, old, new)

        monkeypatch.setattr(Transaction, "log_delta", by_name)
    tx = native_tx()
    p = P({}, "domain", transaction=tx)
    setattr(p, name, 1)
    p[name] = 2
    tx.log_delta("by.hand", None, 3)
    expected = [f"domain.{name}", f"domain[{name}]", "by.hand"]
    paths = tx.get_delta_log()
    assert paths == expected and [type(x) for x in paths] == [str] * 3
    assert all(a is b for a, b in zip(paths, tx.get_delta_log()))  # one str per entry
    assert calls == ([(str, x) for x in expected] if patched else [])
    assert tx.pending_data == {"domain": {name: 2}, "by": {"hand": 3}}
    tx.commit()
    assert tx.pending_data == {"domain": {name: 2}, "by": {"hand": 3}}
    assert tx.get_shadow_updates() == {"domain": {name: 2}, "by": {"hand": 3}}


# ---- the two report forms -------------------------------------------------------


@pytest.mark.parametrize(
    "tx, line, printed",
    [
        (NoTx(), "ERROR: Transaction object missing log_delta!\n", "AttributeError: 'NoTx' object has no attribute"),
        (FailingTx(ValueError("nope")), "ERROR: log_delta failed!\n", "ValueError: nope"),
    ],
)
@on_fresh_thread
def test_loud_attribute_reports_and_silent_item_reports(capfd, tx, line, printed):
    target = {}
    p = P(target, "domain", transaction=tx)
    p.x = 1
    out, err = capfd.readouterr()
    assert out == "" and err.startswith(line) and printed in err
    if isinstance(tx, FailingTx):
        assert "Traceback (most recent call last):" in err and "in log_delta" in err
    p["y"] = 2
    assert capfd.readouterr() == ("", "")
    assert target == {"x": 1, "y": 2}


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("form", [ATTR, ITEM])
@on_fresh_thread
def test_report_raising_beyond_exception_stops_the_write_unprinted(capfd, exc, form):
    target = {}
    p = P(target, "domain", transaction=FailingTx(exc("stop")))
    with pytest.raises(exc):
        assign(p, form, "x", 1)
    assert target == {} and capfd.readouterr() == ("", "")


@on_fresh_thread
def test_loud_report_survives_a_broken_stderr(capfd, monkeypatch):
    class Broken:
        def write(self, s):
            raise OSError("gone")

    monkeypatch.setattr(sys, "stderr", Broken())
    target = {}
    P(target, "domain", transaction=NoTx()).x = 1
    monkeypatch.undo()
    assert target == {"x": 1}
    assert capfd.readouterr().err.startswith("ERROR: Transaction object missing log_delta!\n")


def test_loud_report_with_descriptor_2_closed_still_writes(run_python):
    code = """if True:
        import os, olvex_core
        class NoTx:
            def get_shadow(self, v, p):
                return v
        target = {}
        os.close(2)
        olvex_core.SupervisorProxy(target, "domain", transaction=NoTx()).x = 1
        print(target)
    """
    done = run_python(code)
    assert done.returncode == 0 and done.stdout == "{'x': 1}\n"


@on_fresh_thread
def test_writes_that_re_enter_the_proxy():
    tx = native_tx()

    class Target(dict):
        def __setitem__(self, key, value):
            if key == "outer":
                p["inner"] = value + 1  # a nested write through the same proxy
            super().__setitem__(key, value)

    target = Target()
    p = P(target, "domain", transaction=tx)
    p.outer = 1
    assert target == {"inner": 2, "outer": 1}
    assert tx.get_delta_log() == ["domain.outer", "domain[inner]"]


@on_fresh_thread
def test_old_value_failures_give_none_but_interrupts_propagate():
    class Hostile(dict):
        def __init__(self, exc):
            self.exc = exc

        def get(self, key, default=None):
            raise self.exc

    tx = FakeTx()
    P(Hostile(LookupError()), "d", transaction=tx).x = 1
    P(Hostile(LookupError()), "d", transaction=tx)["y"] = 2
    assert tx.deltas == [("d.x", None, 1), ("d[y]", None, 2)]
    target = Hostile(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        P(target, "d", transaction=tx)["z"] = 3
    assert "z" not in target and len(tx.deltas) == 2


# ---- keys, indexes and names ------------------------------------------------------


class Changing:
    """A key whose text changes after the first call."""

    def __init__(self, exc=None):
        self.calls = 0
        self.exc = exc

    def __str__(self):
        self.calls += 1
        if self.calls == 1:
            return "plain"
        if self.exc:
            raise self.exc
        return "const_limit"

    def __hash__(self):
        return 1


@on_fresh_thread
def test_the_key_text_reported_is_the_one_tested():
    tx = native_tx()
    target = {}
    key = Changing()
    P(target, "domain", transaction=tx)[key] = 1
    assert key.calls == 2 and tx.get_delta_log() == ["domain[plain]"] and target == {key: 1}
    key = Changing(LookupError("second"))
    with pytest.raises(LookupError, match="second"):
        P(target, "domain", transaction=tx)[key] = 2
    assert tx.get_delta_log() == ["domain[plain]"] and len(target) == 1


class Idx:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i

    def __str__(self):
        return f"Idx({self.i})"


@pytest.mark.parametrize(
    "key, path, result",
    [
        (-1, "items[2]", [0, 1, 9]),
        (-3, "items[0]", [9, 1, 2]),
        (True, "items[1]", [0, 9, 2]),
        (False, "items[0]", [9, 1, 2]),
        (Idx(-2), "items[1]", [0, 9, 2]),
        (2, "items[2]", [0, 1, 9]),
    ],
)
def test_list_indexes_become_positions_that_replay(key, path, result):
    def body():
        engine = OlvexEngine()
        engine.commit_state(olvex_core.State(data={"items": [0, 1, 2]}))
        tx = engine.transaction()
        with tx:
            P({"items": engine.state.data["items"]}, "", transaction=tx)["items"][key] = 9
            assert tx.get_delta_log()[0] == path
        assert engine.state.data["items"] == result

    run_on_thread(body)


@pytest.mark.parametrize("key, path", [(3, "items[3]"), (-4, "items[-4]"), (2**100, f"items[{2**100}]"),
                                       (Idx(7), "items[Idx(7)]"), ("0", "items[0]")])
@on_fresh_thread
def test_list_keys_out_of_range_or_not_indexes_fail_and_are_withdrawn(key, path):
    tx = native_tx()
    with pytest.raises((IndexError, TypeError)):
        P([0, 1, 2], "items", transaction=tx)[key] = 9
    assert tx.get_delta_log() == []
    duck = FakeTx()
    with pytest.raises((IndexError, TypeError)):
        P([0, 1, 2], "items", transaction=duck)[key] = 9
    assert duck.deltas == [(path, None, 9)]


@on_fresh_thread
def test_str_subclass_names_count_as_their_text():
    class Name(str):
        def __hash__(self):
            raise AssertionError("hashed")

        def __eq__(self, other):
            raise AssertionError("compared")

        def __str__(self):
            raise AssertionError("str()")

    tx = FakeTx()
    target, obj = {}, Obj()
    P(target, "domain", transaction=tx).__setattr__(Name("k"), 1)
    setattr(P(obj, "o", transaction=tx), Name("k"), 2)
    assert [type(k) for k in target] == [str] and target == {"k": 1} and obj.k == 2
    assert [d[0] for d in tx.deltas] == ["domain.k", "o.k"]


class WritesWhileCopied:
    """Writes through proxies while a guard read holds the transaction."""

    writes = None

    def __deepcopy__(self, memo):
        WritesWhileCopied.writes()
        return WritesWhileCopied()


@on_fresh_thread
def test_a_failed_native_entry_is_reported_and_the_write_goes_on(capfd):
    tx = native_tx()
    targets = {}, {}

    def writes():
        P(targets[0], "domain", transaction=tx).x = 1
        P(targets[1], "domain", transaction=tx)["y"] = 2

    WritesWhileCopied.writes = writes
    olvex_core.ContextGuard({"v": WritesWhileCopied()}, [], ["p"], "p", tx)["v"]
    out, err = capfd.readouterr()
    assert err.startswith("ERROR: log_delta failed!\n") and err.count("ERROR") == 1
    assert "RuntimeError: Already mutably borrowed" in err and out == ""
    assert targets == ({"x": 1}, {"y": 2}) and tx.get_delta_log() == []


# ---- borrows and recursion ---------------------------------------------------------


@on_fresh_thread
def test_assignment_meets_the_exclusive_borrow_and_holds_a_shared_one():
    seen = []

    class Target(dict):
        def __setitem__(self, key, value):
            try:
                p._set_capabilities(31)
            except RuntimeError as e:
                seen.append(str(e))
            super().__setitem__(key, value)

    p = P(Target(), "domain", transaction=FakeTx())

    class Caps:
        def __index__(self):
            try:
                p.x = 1
            except RuntimeError as e:
                seen.append(str(e))
            return 15

    p._set_capabilities(Caps())
    p.y = 1
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    assert p.supervisor_target == {"y": 1}


def chain(depth):
    tx = FakeTx()
    p = {}
    for _ in range(depth):
        p = P(p, "", transaction=tx)
    return p


@pytest.mark.parametrize("form", [ATTR, ITEM])
@on_fresh_thread
def test_long_proxy_chains_end_in_recursion_error(form):
    # Built on another thread, so that no transaction is current here and
    # attribute assignment reads no old value on the way down (each level's
    # read would run down the chain again).
    p = run_on_thread(chain, 1200)
    with pytest.raises(RecursionError):
        assign(p, form, "x", 1)


@on_fresh_thread
def test_a_proxy_stored_in_its_own_target():
    tx = native_tx()
    target = {}
    p = P(target, "domain", transaction=tx)
    p.me = p
    p["again"] = p
    assert target["me"] is p and target["again"] is p
    assert tx.get_delta_log() == ["domain.me", "domain[again]"]
