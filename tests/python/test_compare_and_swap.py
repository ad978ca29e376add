"""OlvexEngine.compare_and_swap: version and key checks in smart and strict
mode, the VIP block, the schema step, update overrides, argument rules,
borrows held across callbacks, and what a refusal leaves behind."""
import pytest

from olvex_core import ContextError, OlvexEngine, SchemaViolationError, State, SupervisorProxy

from index_support import Index

U64_MAX = 2**64 - 1
BUSY = "System Busy (VIP Access Only)"
NOT_STR = "'int' object cannot be converted to 'PyString'"


def smart_text(expected, found):
    return f"CAS Version Mismatch (Conflict Detected): Expected {expected}, Found {found} (Keys Changed)"


def strict_text(expected, found):
    return f"Strict CAS Mismatch: Expected {expected}, Found {found} (Strict CAS Enabled)"


def meta(engine):
    return [m.message for m in engine.state.get_meta_logs()]


def engine_at_v1(data=None, heavy=None, strict=False):
    """An engine whose version 1 wrote `data` and `heavy`."""
    e = OlvexEngine()
    e.compare_and_swap(0, data=data, heavy=heavy)
    e.set_strict_cas(strict)
    return e


class Sub(dict):
    pass


def test_a_new_engine_installs_version_1():
    e = OlvexEngine()
    assert e.compare_and_swap(0, data={"a": 1}) is None
    s = e.state
    assert type(s) is State and s.version == 1 and s.data["a"] == 1
    assert meta(e) == ["State updated to version 1"]


# (written by version 1, call arguments, expected_version, smart outcome):
# "ok" installs version 2, "conflict" is the smart mismatch. Strict mode
# refuses every row whose expected_version is not 1, and agrees otherwise.
CHECKS = [
    ({"a": {"x": 1}}, {"data": {"a": {"x": 2}}}, 0, "conflict"),
    ({"a": {"x": 1}}, {"data": {"a": {"y": 2}}}, 0, "ok"),  # only a.y is looked up
    ({"a": {"x": 1}}, {"data": {"b": 1}}, 0, "ok"),
    ({"a": 5}, {"data": {"a": 6}}, 0, "conflict"),
    ({"a": 5}, {"data": {"a": {"z": 1}}}, 0, "ok"),  # a dict value never looks up its key
    ({"a": 5}, {"data": {"a": {}}}, 0, "ok"),  # an empty dict looks up nothing
    ({"a": {"x": 1}}, {"data": {"a": Sub(x=2)}}, 0, "conflict"),  # dict subclasses count as dicts
    ({"a": 5}, {"data": Sub(a=6)}, 0, "conflict"),
    ({"a": {"x": 1}}, {"data": {"a.x": 0}}, 0, "conflict"),  # a dotted key meets the sub-key path
    ({"a": 5}, {"data": {"a": 6}}, 1, "ok"),  # equal versions: nothing examined
    ({"a": 5}, {"data": {"a": 6}}, 7, "ok"),  # no recorded version exceeds it
    ({"a": 5}, {"data": {"b": 1, "c": {"d": 1}, "a": 6}}, 0, "conflict"),  # at the last key
    ({"a": 5}, {"data": {"b": 1}, "heavy": {"a": 1}}, 0, "conflict"),  # heavy keys share the map, unprefixed
    ({"a": 5}, {"heavy": {"a": {"q": 1}}}, 0, "ok"),
    ({"a": 5}, {"signal": {"a": "x"}}, 0, "ok"),  # signals are never examined
    ({"a": 5}, {"data": None, "heavy": None, "signal": None}, 0, "ok"),
]
HEAVY_CHECKS = [
    ({"k": 1}, {"heavy": {"k": 2}}, 0, "conflict"),
    ({"k": 1}, {"data": {"k": 2}}, 0, "conflict"),
    ({"k": {"s": 1}}, {"heavy": {"k": {"s": 2}}}, 0, "conflict"),
    ({"k": 1}, {"heavy": {"j": 2}}, 0, "ok"),
]


def run_check(e, kwargs, expected, outcome):
    before, lines = e.state, meta(e)
    if outcome == "ok":
        e.compare_and_swap(expected, **kwargs)
        assert e.state.version == 2 and e.state is not before
        assert meta(e) == lines + ["State updated to version 2"]
        return
    with pytest.raises(ContextError) as info:
        e.compare_and_swap(expected, **kwargs)
    text = smart_text if outcome == "conflict" else strict_text
    assert str(info.value) == text(expected, 1)
    assert type(info.value) is ContextError
    assert e.state is before and meta(e) == lines  # refused before update: no line


@pytest.mark.parametrize("strict", [False, True], ids=["smart", "strict"])
@pytest.mark.parametrize("written, kwargs, expected, outcome", CHECKS)
def test_data_checks(strict, written, kwargs, expected, outcome):
    e = engine_at_v1(data=written, strict=strict)
    run_check(e, kwargs, expected, "strict" if strict and expected != 1 else outcome)


@pytest.mark.parametrize("strict", [False, True], ids=["smart", "strict"])
@pytest.mark.parametrize("written, kwargs, expected, outcome", HEAVY_CHECKS)
def test_heavy_checks(strict, written, kwargs, expected, outcome):
    e = engine_at_v1(heavy=written, strict=strict)
    run_check(e, kwargs, expected, "strict" if strict and expected != 1 else outcome)


def test_keyword_and_positional_forms():
    e = engine_at_v1(data={"a": 5})
    e.compare_and_swap(1, {"a": 6}, {"h": 1}, {"s": "v"}, None)
    e.compare_and_swap(expected_version=2, data={"a": 7}, requester="p")
    assert e.state.version == 3 and e.state.data["a"] == 7 and e.state.heavy["h"] == 1


def test_the_result_version_is_current_plus_one_whatever_was_expected():
    e = engine_at_v1(data={"a": 5})
    e.compare_and_swap(1000, data={"b": 1})
    assert e.state.version == 2


# Bad zones and keys: smart mode with a version difference, the same with
# strict mode, and equal versions (the outcome is then update's).
LINE = "State updated to version 2"
BAD_ZONES = [
    # kwargs, smart (E=0), equal versions (E=1): (exception, text, meta line written)
    ({"data": {1: "x"}}, (TypeError, NOT_STR, False), (TypeError, NOT_STR, True)),
    ({"data": {"b": {1: "x"}}}, (TypeError, NOT_STR, False), (TypeError, NOT_STR, True)),
    ({"heavy": {1: "x"}}, (TypeError, NOT_STR, False), (TypeError, NOT_STR, True)),
    ({"heavy": {"b": {2: "x"}}}, (TypeError, NOT_STR, False), (TypeError, NOT_STR, True)),
    ({"data": {"b": 1}, "heavy": {1: "x"}}, (TypeError, NOT_STR, False), (TypeError, NOT_STR, True)),
    ({"data": {"\ud800": 1}}, (UnicodeEncodeError, None, False), (UnicodeEncodeError, None, True)),
    ({"data": {"b": {"\udfff": 1}}}, (UnicodeEncodeError, None, False), (UnicodeEncodeError, None, True)),
    # a conflict found first ends the walk before a bad key
    ({"data": {"a": 1, 2: "x"}}, (ContextError, smart_text(0, 1), False), (TypeError, NOT_STR, True)),
    # not dicts: never examined; update refuses them
    ({"data": [("b", 1)]}, (TypeError, "'list' object cannot be converted to 'PyDict'", True),
     (TypeError, "'list' object cannot be converted to 'PyDict'", True)),
    ({"heavy": "b"}, (TypeError, "'str' object cannot be converted to 'PyDict'", True),
     (TypeError, "'str' object cannot be converted to 'PyDict'", True)),
    ({"signal": [1]}, (TypeError, "'int' object cannot be converted to 'PyDict'", True),
     (TypeError, "'int' object cannot be converted to 'PyDict'", True)),
]


@pytest.mark.parametrize("kwargs, smart, equal", BAD_ZONES)
@pytest.mark.parametrize("mode", ["smart", "strict", "equal"])
def test_bad_zones_and_keys_install_nothing(mode, kwargs, smart, equal):
    e = engine_at_v1(data={"a": 5}, strict=mode == "strict")
    before, lines = e.state, meta(e)
    exc, text, line = {"smart": smart, "strict": (ContextError, strict_text(0, 1), False), "equal": equal}[mode]
    with pytest.raises(exc) as info:
        e.compare_and_swap(1 if mode == "equal" else 0, **kwargs)
    if text is not None:
        assert str(info.value) == text
    assert e.state is before
    assert meta(e) == lines + [LINE] * line


def test_proxy_values_are_not_dicts_to_the_check_but_unwrapped_by_update():
    e = engine_at_v1(data={"a": {"x": 1}})
    with pytest.raises(ContextError):  # the key a itself is looked up, and version 1 wrote it
        e.compare_and_swap(0, data={"a": SupervisorProxy({"y": 2})})
    e.compare_and_swap(0, data={"b": SupervisorProxy({"y": 2})})
    assert e.state.data["b"] == {"y": 2}
    e.compare_and_swap(2, data={"a": SupervisorProxy({"y": 2})})
    assert e.state.data["a"] == {"x": 1, "y": 2}


def test_a_proxy_zone_is_not_examined():
    e = engine_at_v1(data={"a": 5})
    with pytest.raises(TypeError, match="'SupervisorProxy' object cannot be converted to 'PyDict'"):
        e.compare_and_swap(0, data=SupervisorProxy({"a": 6}))
    assert e.state.version == 1


# ---- arguments --------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, exc, text",
    [
        ((-1,), {}, OverflowError, "can't convert negative int to unsigned"),
        ((2**64,), {}, OverflowError, "int too big to convert"),
        ((1.0,), {}, TypeError, "argument 'expected_version': 'float' object cannot be interpreted as an integer"),
        ((None,), {}, TypeError, "argument 'expected_version': 'NoneType' object cannot be interpreted as an integer"),
        (("1",), {}, TypeError, "argument 'expected_version': 'str' object cannot be interpreted as an integer"),
        ((Index(ValueError("no")),), {}, ValueError, "no"),
        ((Index(TypeError("no")),), {}, TypeError, "argument 'expected_version': no"),
        ((Index(-1),), {}, OverflowError, None),
        ((1,), {"requester": 5}, TypeError, "argument 'requester': 'int' object cannot be converted to 'PyString'"),
        ((1,), {"requester": b"a"}, TypeError, "argument 'requester': 'bytes' object cannot be converted to 'PyString'"),
        ((1,), {"requester": "\ud800"}, UnicodeEncodeError, None),
        ((), {}, TypeError, None),
        ((), {"data": {}}, TypeError, None),
        ((1, None, None, None, None, None), {}, TypeError, None),
        ((1,), {"expected_version": 1}, TypeError, None),
        ((1,), {"other": 1}, TypeError, None),
    ],
)
def test_argument_errors_change_nothing(args, kwargs, exc, text):
    e = engine_at_v1(data={"a": 5})
    before, lines = e.state, meta(e)
    with pytest.raises(exc) as info:
        e.compare_and_swap(*args, **kwargs)
    if text is not None:
        assert str(info.value) == text
    assert e.state is before and meta(e) == lines


def test_index_and_str_subclasses_are_accepted():
    e = engine_at_v1(data={"a": 5})
    e.compare_and_swap(Index(1), data={"a": 6}, requester=type("Name", (str,), {})("p"))
    e.compare_and_swap(True + 1, data={"a": 7})
    assert e.state.version == 3


def test_version_at_the_top_of_the_range():
    e = OlvexEngine()
    e.commit_state(State(data={"a": 1}, version=U64_MAX))
    before = e.state
    with pytest.raises(OverflowError, match=f"State version {U64_MAX} cannot be advanced"):
        e.compare_and_swap(U64_MAX, data={"a": 2})
    with pytest.raises(ContextError, match="Keys Changed"):  # the constructor recorded a at its version
        e.compare_and_swap(U64_MAX - 1, data={"a": 2})
    with pytest.raises(OverflowError):  # b has no entry: the check passes, update refuses
        e.compare_and_swap(U64_MAX - 1, data={"b": 2})
    e.set_strict_cas(True)
    with pytest.raises(ContextError) as info:
        e.compare_and_swap(0, data={"a": 2})
    assert str(info.value) == strict_text(0, U64_MAX)
    assert e.state is before and meta(e) == []
    # the largest expected version against a small one: nothing exceeds it
    e = engine_at_v1(data={"a": 5})
    e.compare_and_swap(U64_MAX, data={"a": 6})
    assert e.state.version == 2


def test_a_key_written_at_the_top_version_conflicts_below_it():
    e = OlvexEngine()
    e.commit_state(State(version=U64_MAX - 1))
    e.compare_and_swap(U64_MAX - 1, data={"a": 1})
    assert e.state.version == U64_MAX
    with pytest.raises(OverflowError):  # nothing conflicts at the top; update cannot advance
        e.compare_and_swap(U64_MAX, data={"a": 2})
    with pytest.raises(ContextError, match="Keys Changed"):
        e.compare_and_swap(U64_MAX - 1, data={"a": 2})


# ---- the VIP block ----------------------------------------------------------


def vip(e, key="a"):
    for _ in range(6):
        e.report_conflict(key)


@pytest.mark.parametrize("requester", [None, "b", "A", "a "])
@pytest.mark.parametrize("expected", [1, 0, 5])
def test_others_are_refused_while_a_vip_holds(requester, expected):
    e = engine_at_v1(data={"a": 5}, strict=True)
    vip(e)
    before, lines = e.state, meta(e)
    with pytest.raises(ContextError) as info:
        e.compare_and_swap(expected, data={"b": 1}, requester=requester)
    assert str(info.value) == BUSY
    assert e.state is before and meta(e) == lines


def test_the_holder_proceeds_and_only_report_success_ends_vip():
    e = engine_at_v1(data={"a": 5})
    vip(e)
    e.compare_and_swap(1, data={"b": 1}, requester="a")
    with pytest.raises(ContextError, match="Keys Changed"):
        e.compare_and_swap(0, data={"b": 2}, requester="a")  # the holder still meets the checks
    with pytest.raises(ContextError, match=r"^System Busy"):
        e.compare_and_swap(2, data={"b": 2}, requester="b")  # a success reported nothing
    e.report_success("a")
    e.compare_and_swap(2, data={"b": 2}, requester="b")
    assert e.state.version == 3


def test_refusals_report_nothing_to_the_manager():
    e = engine_at_v1(data={"a": 5})
    for _ in range(10):
        with pytest.raises(ContextError):
            e.compare_and_swap(0, data={"a": 6}, requester="p")
    e.compare_and_swap(1, data={"a": 6})  # nobody became VIP
    # p has no count: its first report is the first backoff answer (1 or 2 ms)
    assert e.report_conflict("p").wait_ms in (1, 2)


def test_engines_have_managers_of_their_own():
    e, other = OlvexEngine(), OlvexEngine()
    vip(other)
    e.compare_and_swap(0, data={"a": 1})
    with pytest.raises(ContextError, match=r"^System Busy"):
        other.compare_and_swap(0, data={"a": 1})


# ---- the schema step --------------------------------------------------------


class Schema:
    def __init__(self, result=None):
        self.result = result
        self.seen = []

    def model_validate(self, d):
        self.seen.append(d)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class NoStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "schema, text",
    [
        (Schema(ValueError("bad")), "Schema Violation (CAS): ValueError: bad"),
        (Schema(NoStr()), "Schema Violation (CAS): NoStr: <exception str() failed>"),
        (None, "Schema Violation (CAS): AttributeError: 'NoneType' object has no attribute 'model_validate'"),
        (object(), "Schema Violation (CAS): AttributeError: 'object' object has no attribute 'model_validate'"),
        (type("S", (), {"model_validate": 5})(), "Schema Violation (CAS): TypeError: 'int' object is not callable"),
    ],
)
def test_schema_rejection_keeps_the_state_and_the_rejected_line(schema, text):
    e = engine_at_v1(data={"a": 5})
    e.set_schema(schema)
    before, lines = e.state, meta(e)
    rx = before.signal.subscribe()
    with pytest.raises(SchemaViolationError) as info:
        e.compare_and_swap(1, data={"a": 6}, signal={"s": "v"})
    assert str(info.value) == text
    assert isinstance(info.value.__context__, Exception)
    assert e.state is before
    assert meta(e) == lines + ["State updated to version 2"]
    assert rx.recv() == "s:v"  # the broadcast of the rejected version stays sent


def test_schema_sees_the_new_data_and_its_result_is_ignored():
    e = engine_at_v1(data={"a": {"x": 1}})
    schema = Schema(result=False)
    e.set_schema(schema)
    e.compare_and_swap(1, data={"a": {"y": 2}})
    assert schema.seen == [{"a": {"x": 1, "y": 2}}] and type(schema.seen[0]) is dict
    assert e.state.version == 2


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_schema_raising_beyond_exception_propagates_unchanged(exc):
    e = engine_at_v1(data={"a": 5})
    e.set_schema(Schema(exc("stop")))
    before = e.state
    with pytest.raises(exc, match="stop"):
        e.compare_and_swap(1, data={"a": 6})
    assert e.state is before


def test_no_schema_step_before_a_refusal():
    e = engine_at_v1(data={"a": 5})
    schema = Schema()
    e.set_schema(schema)
    with pytest.raises(ContextError):
        e.compare_and_swap(0, data={"a": 6})
    assert schema.seen == []


# ---- update overrides and what they return ----------------------------------


class Plan:
    """What a Custom state's update does, told by the test (a State takes
    no attributes of its own)."""

    def __init__(self):
        self.calls = []
        self.answer = None


def custom_state(version=1, data=None):
    plan = Plan()

    class Custom(State):
        def update(self, *args, **kwargs):
            plan.calls.append((args, kwargs))
            if isinstance(plan.answer, BaseException):
                raise plan.answer
            if callable(plan.answer):
                return plan.answer()
            return plan.answer

        @property
        def version(self):  # never read by the check
            return 99

    return Custom(data=data, version=version), plan


def engine_with_custom(version=1, data=None):
    e = OlvexEngine()
    s, plan = custom_state(version, data)
    e.commit_state(s)
    return e, s, plan


def test_update_is_called_by_name_with_three_positional_arguments():
    e, s, plan = engine_with_custom()
    made = State(version=5)
    plan.answer = lambda: made
    signal = ["not examined"]
    e.compare_and_swap(1, data={"a": 1}, signal=signal)
    e2, s2, plan2 = engine_with_custom()
    plan2.answer = lambda: made
    e2.compare_and_swap(1)
    assert plan.calls == [(({"a": 1}, None, signal), {})]
    assert plan2.calls == [((None, None, None), {})]
    assert e.state is made  # whatever update made is installed, its version included


def test_version_comes_from_the_native_field_not_the_property():
    e, s, plan = engine_with_custom(version=3, data={"a": 1})
    plan.answer = lambda: State()
    with pytest.raises(ContextError) as smart:
        e.compare_and_swap(0, data={"a": 2})
    e.set_strict_cas(True)
    with pytest.raises(ContextError) as strict:
        e.compare_and_swap(99, data={"a": 2})  # equal to the property, not to the field
    assert (str(smart.value), str(strict.value)) == (smart_text(0, 3), strict_text(99, 3))
    e.compare_and_swap(3, data={"a": 2})
    assert len(plan.calls) == 1


@pytest.mark.parametrize(
    "answer, exc, text",
    [
        (42, TypeError, "'int' object cannot be converted to 'State'"),
        (None, TypeError, "'NoneType' object cannot be converted to 'State'"),
        ({"a": 1}, TypeError, "'dict' object cannot be converted to 'State'"),
        (KeyError("k"), KeyError, "'k'"),
        (KeyboardInterrupt("stop"), KeyboardInterrupt, "stop"),
        (RecursionError("deep"), RecursionError, "deep"),
    ],
)
def test_update_raising_or_returning_junk_installs_nothing(answer, exc, text):
    e, s, plan = engine_with_custom()
    plan.answer = answer
    with pytest.raises(exc) as info:
        e.compare_and_swap(1, data={"a": 1})
    assert str(info.value) == text
    assert e.state is s


def test_junk_from_update_meets_the_schema_step_first():
    e, s, plan = engine_with_custom()
    plan.answer = 42
    schema = Schema()
    e.set_schema(schema)
    with pytest.raises(AttributeError, match="'int' object has no attribute 'data'"):
        e.compare_and_swap(1, data={"a": 1})
    assert e.state is s and schema.seen == []


def test_data_and_to_dict_errors_of_the_new_state_propagate_unchanged():
    class View:
        def to_dict(self):
            raise LookupError("no dict")

    class Odd(State):
        @property
        def data(self):
            return View()

    e, s, plan = engine_with_custom()
    plan.answer = lambda: Odd()
    e.set_schema(Schema())
    with pytest.raises(LookupError, match="no dict"):
        e.compare_and_swap(1)
    assert e.state is s


def test_a_missing_update_propagates():
    class NoUpdate(State):
        update = property(lambda self: (_ for _ in ()).throw(AttributeError("gone")))

    e = OlvexEngine()
    e.commit_state(NoUpdate())
    with pytest.raises(AttributeError, match="gone"):
        e.compare_and_swap(1)


def test_a_state_subclass_result_is_installed():
    e, s, plan = engine_with_custom()
    made, _ = custom_state(version=8)
    plan.answer = lambda: made
    e.compare_and_swap(1)
    assert e.state is made


# ---- borrows across callbacks ------------------------------------------------


def engine_calls(e):
    """Each call back into the engine, and what it met."""
    out = {}
    for name, call in {
        "state": lambda: e.state,
        "outbox": lambda: e.outbox,
        "set_schema": lambda: e.set_schema(None),
        "report_conflict": lambda: e.report_conflict("x"),
        "commit_state": lambda: e.commit_state(State()),
        "compare_and_swap": lambda: e.compare_and_swap(0),
        "process_outbox": lambda: e.process_outbox(),
        "execute_process_async": lambda: e.execute_process_async("p", lambda ctx: None),
        "transaction": lambda: e.transaction(),
    }.items():
        try:
            made = call()
            if name == "execute_process_async":
                made.close()  # a coroutine nobody awaits
            out[name] = "ok"
        except RuntimeError as err:
            out[name] = str(err)
    return out


MET = {
    "state": "Already mutably borrowed",
    "outbox": "Already mutably borrowed",
    "set_schema": "Already mutably borrowed",
    "report_conflict": "Already mutably borrowed",
    "commit_state": "Already borrowed",
    "compare_and_swap": "Already borrowed",
    "process_outbox": "Already mutably borrowed",
    "execute_process_async": "Already mutably borrowed",
    "transaction": "ok",
}


@pytest.mark.parametrize("where", ["update", "model_validate", "__index__"])
def test_callbacks_meet_the_exclusive_borrow(where):
    e, s, plan = engine_with_custom()
    seen = {}
    plan.answer = lambda: seen.update(engine_calls(e)) or State(version=2)

    class Validator:
        def model_validate(self, d):
            seen.update(engine_calls(e))

    class Calling:
        def __index__(self):
            seen.update(engine_calls(e))
            return 1

    if where == "update":
        e.compare_and_swap(1)
    else:
        plan.answer = lambda: State(version=2)
        if where == "model_validate":
            e.set_schema(Validator())
        e.compare_and_swap(Calling() if where == "__index__" else 1)
    assert seen == MET
    assert e.state.version == 2  # the borrow ended


def test_releases_after_the_borrow_may_use_the_engine():
    e = OlvexEngine()
    seen = []

    class Dying(State):
        def __del__(self):
            seen.append(e.state.version)

    e.commit_state(Dying(version=1))
    e.compare_and_swap(1)  # the old state's last reference goes after the borrow
    assert seen == [2]

    class Rejected(State):
        def update(self, *args):
            return Dying(version=9)

    e.commit_state(Rejected(version=3))
    e.set_schema(Schema(ValueError("no")))
    with pytest.raises(SchemaViolationError):
        e.compare_and_swap(3)  # the rejected state goes after the borrow too
    assert seen == [2, 3]
