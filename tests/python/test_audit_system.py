"""AuditSystem: failure counting by level, warnings through the warning
machinery, and the process-wide log every system shares. The log's first
construction fixes its capacity for the whole process, so those cases run
in fresh interpreters."""
import inspect
import itertools
import textwrap
import threading
import warnings

import pytest

U32_MAX = 2**32 - 1
_keys = itertools.count()


@pytest.fixture
def key():
    """A key no other test has used: the log is shared by the process."""
    return f"key-{next(_keys)}"


def tail(system, key):
    return [e.message for e in system.get_logs() if e.key == key]


@pytest.fixture
def caught():
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        yield seen


# ---------------------------------------------------------------------------
# Class surface


def test_class_surface(core):
    cls = core.AuditSystem
    assert cls.__module__ == "olvex_core" and cls.__doc__ is None
    assert str(inspect.signature(cls)) == "(recipe=None, capacity=1000)"
    assert [n for n in vars(cls) if not n.startswith("_")] == [
        "log_fail", "log_success", "get_count", "get_count_all", "log", "get_logs", "ring_buffer_len",
    ]
    assert cls.ring_buffer_len.__doc__ == "Get number of logs in buffer."
    assert not hasattr(cls(), "__dict__")


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("log_fail", "(key, level=None, threshold_max=None)",
         "Log a failure event. Behavior depends on AuditLevel.\nCan override global level and threshold per-call."),
        ("log_success", "(key)", "Log a success event. Resets counter if configured."),
        ("get_count", "(key)", "Get current count for a key."),
        ("get_count_all", "()", "Get total count across all keys."),
        ("log", "(key, message)", "Log a general event to ring buffer."),
        ("get_logs", "()", "Get all logs from ring buffer."),
    ],
)
def test_method_signatures_and_docs(core, name, signature, doc):
    method = getattr(core.AuditSystem(), name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ == doc


def test_subclass_works_like_the_base(core, key):
    class Audited(core.AuditSystem):
        def __init__(self, recipe=None, capacity=1000):
            self.name = "sub"

    a = Audited(core.AuditRecipe(threshold_max=0))
    with pytest.raises(core.AuditBlockError):
        a.log_fail(key)
    assert a.name == "sub" and a.get_count(key) == 1


# ---------------------------------------------------------------------------
# Levels and thresholds


def test_default_recipe_blocks_past_three(core, key):
    a = core.AuditSystem()
    assert [a.log_fail(key) for _ in range(3)] == [None, None, None]
    for n in (4, 5):
        with pytest.raises(core.AuditBlockError) as e:
            a.log_fail(key)
        assert str(e.value) == f"Audit Blocked: {key} exceeded threshold 3" and e.value.args == (str(e.value),)
        assert a.get_count(key) == n
    assert tail(a, key) == [f"Fail #{n}" for n in range(1, 6)]


def test_approaching_threshold_warns_at_the_callers_line(core, key, caught):
    a = core.AuditSystem(core.AuditRecipe(threshold_min=2))
    lines = []
    for _ in range(3):
        lines.append(inspect.currentframe().f_lineno + 1)
        a.log_fail(key)
    with pytest.raises(core.AuditBlockError):
        a.log_fail(key)
    assert [(w.category, str(w.message)) for w in caught] == [
        (core.AuditWarning, "WARNING: Approaching threshold (2/3)"),
        (core.AuditWarning, "WARNING: Approaching threshold (3/3)"),
    ]
    assert [(w.filename, w.lineno) for w in caught] == [(__file__, lines[1]), (__file__, lines[2])]
    assert tail(a, key) == [
        "Fail #1", "Fail #2", "WARN: Approaching threshold (2/3)", "Fail #3",
        "WARN: Approaching threshold (3/3)", "Fail #4",
    ]


@pytest.mark.parametrize("threshold_min, warned_from", [(0, None), (1, 1), (3, 3), (4, None)])
def test_threshold_min_decides_the_first_warning(core, key, caught, threshold_min, warned_from):
    a = core.AuditSystem(core.AuditRecipe(threshold_min=threshold_min))
    counts = []
    for n in range(1, 4):
        before = len(caught)
        a.log_fail(key)
        if len(caught) > before:
            counts.append(n)
    assert counts == ([] if warned_from is None else list(range(warned_from, 4)))


@pytest.mark.parametrize(
    "level, error, message",
    [
        ("Stop", "AuditStopError", "Audit Stop: {} triggered immediate halt"),
        ("Abort", "AuditAbortError", "Audit Abort: {} operation cancelled"),
    ],
)
@pytest.mark.parametrize("per_call", [True, False])
def test_stop_and_abort_raise_at_once_after_counting(core, key, level, error, message, per_call):
    lvl = getattr(core.AuditLevel, level)
    a = core.AuditSystem(None if per_call else core.AuditRecipe(level=lvl))
    with pytest.raises(getattr(core, error)) as e:
        a.log_fail(key, level=lvl) if per_call else a.log_fail(key)
    assert str(e.value) == message.format(key)
    assert a.get_count(key) == 1
    assert tail(a, key) == ["Fail #1"]
    assert a.get_logs()[-1].message == "Fail #1"


def test_per_call_threshold_and_level(core, key, caught):
    a = core.AuditSystem(core.AuditRecipe(threshold_min=1))
    with pytest.raises(core.AuditBlockError, match=f"^Audit Blocked: {key} exceeded threshold 0$"):
        a.log_fail(key, threshold_max=0)
    a.log_fail(key, threshold_max=5)  # count 2 of 5: the recipe's threshold_min still warns
    assert str(caught[-1].message) == "WARNING: Approaching threshold (2/5)"
    a.log_fail(key, level=core.AuditLevel.Count)
    with pytest.raises(core.AuditBlockError):
        a.log_fail(key, level=None, threshold_max=None)  # None means the recipe's
    assert a.get_count(key) == 4


def test_count_level_only_counts(core, key, caught):
    a = core.AuditSystem(core.AuditRecipe(level=core.AuditLevel.Count, threshold_max=0, threshold_min=1))
    for _ in range(50):
        a.log_fail(key)
    assert a.get_count(key) == 50 and caught == []


@pytest.mark.parametrize("reset, after", [(True, 0), (False, 3)])
def test_success_logs_and_resets_if_configured(core, key, reset, after):
    a = core.AuditSystem(core.AuditRecipe(threshold_max=10, reset_on_success=reset))
    for _ in range(3):
        a.log_fail(key)
    assert a.log_success(key) is None
    assert a.get_count(key) == after
    assert tail(a, key)[-1] == "Success"
    a.log_fail(key)
    assert a.get_count(key) == after + 1


def test_recipe_is_copied_at_construction(core, key):
    r = core.AuditRecipe()
    a = core.AuditSystem(r)
    r.level, r.threshold_max, r.reset_on_success = core.AuditLevel.Stop, 0, False
    a.log_fail(key)
    a.log_success(key)
    assert a.get_count(key) == 0


# ---------------------------------------------------------------------------
# The shared log


def test_systems_share_the_log_but_not_their_counters(core, key):
    a, b = core.AuditSystem(), core.AuditSystem(capacity=5)  # a later capacity is ignored
    total = a.get_count_all()
    a.log_fail(key)
    b.log(key, "from b")
    assert a.get_count_all() == b.get_count_all() == total + 2
    assert tail(a, key) == tail(b, key) == ["Fail #1", "from b"]
    assert a.ring_buffer_len == b.ring_buffer_len
    assert (a.get_count(key), b.get_count(key)) == (1, 0)


def test_logs_are_oldest_first_copies(core, key):
    a = core.AuditSystem()
    a.log(key, "one")
    first = a.get_logs()
    a.log(key, "two")
    assert first[-1].message == "one" and a.get_logs()[-1].message == "two"
    assert a.get_logs()[-1] is not a.get_logs()[-1]


def test_eight_threads_count_and_log_exactly(core, key):
    a = core.AuditSystem(core.AuditRecipe(level=core.AuditLevel.Count))
    total = a.get_count_all()

    def work():
        for _ in range(500):
            a.log_fail(key)
            a.log(key, "x")

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert a.get_count(key) == 4000
    assert a.get_count_all() == total + 8000


# ---------------------------------------------------------------------------
# Bad input: refused before anything is counted or logged


class Sub(str):
    def __eq__(self, other):
        raise AssertionError("never compared")

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda a, c: a.log_fail(1), TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"),
        (lambda a, c: a.log_fail(b"k"), TypeError, "argument 'key': 'bytes' object cannot be converted to 'PyString'"),
        (lambda a, c: a.log_fail("\ud800"), UnicodeEncodeError, None),
        (lambda a, c: a.log_fail("k", level=2), TypeError,
         "argument 'level': 'int' object cannot be converted to 'AuditLevel'"),
        (lambda a, c: a.log_fail("k", threshold_max=-1), OverflowError, None),
        (lambda a, c: a.log_fail("k", threshold_max=2**32), OverflowError, None),
        (lambda a, c: a.log_fail("k", threshold_max=1.5), TypeError, None),
        (lambda a, c: a.log_success(None), TypeError, None),
        (lambda a, c: a.log_success("\udfff"), UnicodeEncodeError, None),
        (lambda a, c: a.log("k", 5), TypeError,
         "argument 'message': 'int' object cannot be converted to 'PyString'"),
        (lambda a, c: a.log("k", "\ud800"), UnicodeEncodeError, None),
        (lambda a, c: a.log(5, "m"), TypeError, None),
        (lambda a, c: a.get_count(5), TypeError, None),
        (lambda a, c: a.log_fail(), TypeError, None),
        (lambda a, c: c.AuditSystem(recipe=5), TypeError,
         "argument 'recipe': 'int' object cannot be converted to 'AuditRecipe'"),
        (lambda a, c: c.AuditSystem(recipe=c.AuditLevel.Block), TypeError, None),
        (lambda a, c: c.AuditSystem(capacity=-1), OverflowError, None),
        (lambda a, c: c.AuditSystem(capacity=2**64), OverflowError, None),
        (lambda a, c: c.AuditSystem(capacity=1.5), TypeError, None),
        (lambda a, c: c.AuditSystem(capacity="1"), TypeError, None),
    ],
)
def test_bad_arguments_change_nothing(core, call, error, message):
    a = core.AuditSystem(core.AuditRecipe(level=core.AuditLevel.Count))
    total = a.get_count_all()
    with pytest.raises(error) as e:
        call(a, core)
    if message:
        assert str(e.value) == message
    assert a.get_count_all() == total
    assert a.get_count("k") == 0


def test_keys_are_exact_text(core, key, caught):
    a = core.AuditSystem(core.AuditRecipe(threshold_min=1))
    nul = key + "\0tail"
    a.log_fail(nul)
    a.log_fail(Sub(nul))  # a str subclass is its text; its __eq__ is never called
    assert (a.get_count(nul), a.get_count(key)) == (2, 0)
    with pytest.raises(core.AuditStopError) as e:
        a.log_fail(nul, level=core.AuditLevel.Stop)
    assert str(e.value) == f"Audit Stop: {nul} triggered immediate halt"
    assert {e.key for e in a.get_logs()[-5:]} == {nul}


# ---------------------------------------------------------------------------
# The warning's own failures and re-entry


def test_warning_turned_error_keeps_the_count_and_skips_warn(core, key):
    a = core.AuditSystem(core.AuditRecipe(threshold_min=1))
    with warnings.catch_warnings():
        warnings.simplefilter("error", core.AuditWarning)
        with pytest.raises(core.AuditWarning, match=r"^WARNING: Approaching threshold \(1/3\)$"):
            a.log_fail(key)
    assert a.get_count(key) == 1
    assert tail(a, key) == ["Fail #1"]
    a.log_fail(key, level=core.AuditLevel.Count)  # the system is usable afterwards
    assert a.get_count(key) == 2


def hook_raising(*args, **kw):
    raise ValueError("hook failed")


@pytest.mark.parametrize(
    "hook, error, message",
    [
        (hook_raising, ValueError, "hook failed"),
        (lambda a, key: a.log(key, "inside"), RuntimeError, "Already borrowed"),
        (lambda a, key: a.get_count(key), RuntimeError, "Already mutably borrowed"),
        (lambda a, key: a.ring_buffer_len, RuntimeError, "Already mutably borrowed"),
    ],
)
def test_showwarning_hooks_that_raise_or_reenter(core, key, hook, error, message):
    a = core.AuditSystem(core.AuditRecipe(threshold_min=1))
    other = core.AuditSystem()
    calls = []

    def showwarning(*args, **kw):
        calls.append(str(args[0]))
        other.log(key, "other systems are free")
        if hook is hook_raising:
            hook()
        else:
            hook(a, key)

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = showwarning
        with pytest.raises(error, match=f"^{message}$"):
            a.log_fail(key)
    assert calls == ["WARNING: Approaching threshold (1/3)"]
    assert a.get_count(key) == 1
    assert tail(a, key) == ["Fail #1", "other systems are free"]
    a.log(key, "after")  # the borrow ended with the call
    assert tail(a, key)[-1] == "after"


def test_hook_reaching_another_system_is_fine(core, key):
    a, b = core.AuditSystem(core.AuditRecipe(threshold_min=1)), core.AuditSystem()
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = lambda *args, **kw: b.log_fail(key)
        a.log_fail(key)
    assert (a.get_count(key), b.get_count(key)) == (1, 1)
    assert tail(a, key) == ["Fail #1", "Fail #1", "WARN: Approaching threshold (1/3)"]


# ---------------------------------------------------------------------------
# The first system of a process fixes the log (fresh interpreters)

FIRST_BUFFER_CASES = {
    "capacity_three_keeps_the_newest": """
        a = AuditSystem(capacity=3)
        for i in range(1, 6):
            a.log("k", str(i))
        assert a.ring_buffer_len == 3, a.ring_buffer_len
        assert [e.message for e in a.get_logs()] == ["3", "4", "5"]
        assert a.get_count_all() == 5
        b = AuditSystem(capacity=10)
        b.log("k", "6")
        assert [e.message for e in b.get_logs()] == ["4", "5", "6"] and b.ring_buffer_len == 3
    """,
    "capacity_zero_keeps_nothing_and_counts": """
        a = AuditSystem(AuditRecipe(threshold_min=1), capacity=0)
        import warnings
        warnings.simplefilter("ignore")
        for _ in range(3):
            a.log_fail("k")
        a.log("k", "m"); a.log_success("k")
        assert a.ring_buffer_len == 0 and a.get_logs() == []
        assert a.get_count_all() == 8, a.get_count_all()  # three failures, three warnings, a message, a success
        assert AuditSystem(capacity=5).ring_buffer_len == 0
    """,
    "unreservable_capacity_makes_no_buffer": """
        for cap, err in [(2**50, MemoryError), (2**62, OverflowError), (2**64 - 1, OverflowError)]:
            try:
                AuditSystem(capacity=cap)
            except err:
                pass
            else:
                raise AssertionError(cap)
        a = AuditSystem(capacity=2)
        for m in "xyz":
            a.log("k", m)
        assert [e.message for e in a.get_logs()] == ["y", "z"] and a.get_count_all() == 3
    """,
    "refused_arguments_make_no_buffer": """
        for kw in [{"capacity": -1}, {"capacity": 1.5}, {"recipe": 1, "capacity": 1}]:
            try:
                AuditSystem(**kw)
            except (TypeError, OverflowError):
                pass
            else:
                raise AssertionError(kw)
        a = AuditSystem(capacity=1)
        a.log("k", "a"); a.log("k", "b")
        assert [e.message for e in a.get_logs()] == ["b"] and a.get_count_all() == 2
    """,
}


@pytest.mark.parametrize("case", sorted(FIRST_BUFFER_CASES))
def test_first_buffer(run_python, case):
    code = "from olvex_core import AuditSystem, AuditRecipe\n" + textwrap.dedent(FIRST_BUFFER_CASES[case])
    r = run_python(code + "print('ok')\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout == "ok\n"
