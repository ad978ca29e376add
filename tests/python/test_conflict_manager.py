import inspect
import sys
import threading

import pytest

U64_MAX = 2**64 - 1
U32_MAX = 2**32 - 1

# Wait ranges of the five backoff answers with the default settings.
DEFAULT_RANGES = [(1, 2), (3, 4), (6, 9), (12, 19), (25, 38)]


@pytest.fixture
def cm(core):
    return core.ConflictManager()


class Sub(str):
    pass


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


# ---------------------------------------------------------------------------
# Class surface


def test_class_surface(core):
    cls = core.ConflictManager
    assert cls.__module__ == "olvex_core"
    assert str(inspect.signature(cls)) == "(max_retries=5, base_backoff_ms=2)"
    assert cls.__doc__ == "Manages conflict resolution policies (Backoff, Priority)"
    names = [n for n in vars(cls) if not n.startswith("_")]
    assert names == ["report_conflict", "report_success", "get_failure_count", "is_blocked"]
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        cls().extra = 1


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        (
            "report_conflict",
            "(key)",
            "Report a conflict failure for a process/key.\n"
            "Returns a decision on whether to retry and how long to wait.",
        ),
        ("report_success", "(key)", "Report success to reset counters."),
        ("get_failure_count", "(key)", "Get current failure count (Internal Diagnostic)"),
        ("is_blocked", "(requester=None)", "Check if action is blocked by VIP"),
    ],
)
def test_method_signatures_and_docs(cm, name, signature, doc):
    method = getattr(cm, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ == doc


def test_retry_decision_surface(core, cm):
    cls = core.RetryDecision
    assert cls.__module__ == "olvex_core"
    assert cls.__doc__ is None
    with pytest.raises(TypeError, match="^No constructor defined for RetryDecision$"):
        cls()
    d = cm.report_conflict("a")
    assert type(d) is cls
    assert d.should_retry is True
    assert type(d.wait_ms) is int
    for attr in ("should_retry", "wait_ms"):
        with pytest.raises(AttributeError):
            setattr(d, attr, 0)
    assert cm.report_conflict("a") is not d
    assert d != cm.report_conflict("b")  # identity comparison only
    assert str(d) == repr(d)


def test_repr_of_blocked_and_holder_answers(core):
    cm = core.ConflictManager(max_retries=0)
    assert repr(cm.report_conflict("a")) == "RetryDecision(retry=true, wait=1ms)"
    assert repr(cm.report_conflict("b")) == "RetryDecision(retry=true, wait=50ms)"


def test_registration_order(core):
    names = core.__all__
    assert names.index("OutboxMsg") < names.index("ConflictManager") == names.index("RetryDecision") - 1


# ---------------------------------------------------------------------------
# Backoff


def test_fresh_manager(cm):
    assert cm.get_failure_count("a") == 0
    assert cm.is_blocked() is False
    assert cm.is_blocked("a") is False
    assert cm.is_blocked(None) is False


def test_default_jitter_ranges_then_vip(core):
    seen = [set() for _ in DEFAULT_RANGES]
    for _ in range(300):
        cm = core.ConflictManager()
        for i, (lo, hi) in enumerate(DEFAULT_RANGES):
            d = cm.report_conflict("a")
            assert d.should_retry is True
            assert lo <= d.wait_ms <= hi, (i, d)
            seen[i].add(d.wait_ms)
            assert cm.get_failure_count("a") == i + 1
        assert not cm.is_blocked()
        d = cm.report_conflict("a")
        assert (d.should_retry, d.wait_ms) == (True, 1)
        assert cm.get_failure_count("a") == 5
        assert cm.is_blocked() and cm.is_blocked("b") and not cm.is_blocked("a")
    # Jitter is drawn, not fixed: both ends of every range come up.
    assert all({lo, hi} <= s for (lo, hi), s in zip(DEFAULT_RANGES, seen))


@pytest.mark.parametrize(
    "base, prior, lo, hi",
    [
        (1, 10, 819, 1228),  # the exponent stops growing at 10 ...
        (1, 40, 819, 1228),  # ... however many reports came before
        (0, 3, 0, 0),
        (U64_MAX, 0, int(0.8 * 2**64), U64_MAX),  # clamped, not wrapped
        (2**60, 6, int(0.8 * 2**64), U64_MAX),  # a shift past 64 bits saturates
        (3 * 2**62, 1, int(0.8 * 2**64), U64_MAX),
    ],
)
def test_shift_cap_and_saturation(core, base, prior, lo, hi):
    cm = core.ConflictManager(max_retries=U32_MAX, base_backoff_ms=base)
    for _ in range(prior):
        cm.report_conflict("k")
    for _ in range(20):
        assert lo <= cm.report_conflict("k").wait_ms <= hi
    assert cm.get_failure_count("k") == prior + 20


# ---------------------------------------------------------------------------
# VIP


def test_vip_blocks_others_until_holder_succeeds(core):
    cm = core.ConflictManager(max_retries=2)
    for _ in range(3):
        cm.report_conflict("a")
    assert cm.is_blocked("b")
    for _ in range(4):
        assert cm.report_conflict("b").wait_ms == 50
    assert cm.get_failure_count("b") == 0

    cm.report_success("b")  # not the holder: only its count goes
    assert cm.is_blocked("b") and not cm.is_blocked("a")
    assert cm.report_conflict("a").wait_ms == 1

    cm.report_success("a")
    assert not cm.is_blocked()
    assert cm.get_failure_count("a") == 0
    assert 1 <= cm.report_conflict("a").wait_ms <= 2


def test_waiting_key_takes_over_after_holder_succeeds(core):
    cm = core.ConflictManager(max_retries=1)
    cm.report_conflict("a")
    cm.report_conflict("c")  # c counts up to max_retries while nobody holds VIP
    assert cm.report_conflict("a").wait_ms == 1  # a becomes the holder
    for _ in range(3):
        assert cm.report_conflict("c").wait_ms == 50
    assert cm.get_failure_count("c") == 1
    cm.report_success("a")
    assert cm.report_conflict("c").wait_ms == 1
    assert cm.is_blocked("a") and not cm.is_blocked("c")


def test_zero_retries_makes_first_reporter_holder(core):
    cm = core.ConflictManager(max_retries=0)
    d = cm.report_conflict("a")
    assert (d.should_retry, d.wait_ms) == (True, 1)
    assert cm.get_failure_count("a") == 0
    assert cm.is_blocked() and not cm.is_blocked("a")
    assert cm.report_conflict("b").wait_ms == 50


def test_keys_compare_as_exact_text(core):
    cm = core.ConflictManager(max_retries=0)
    cm.report_conflict("Proc")
    assert cm.is_blocked("proc")
    assert cm.is_blocked("Proc ")
    assert not cm.is_blocked(Sub("Proc"))  # a str subclass carries the same text
    cm.report_success("proc")
    assert cm.is_blocked("x")
    cm.report_success(Sub("Proc"))
    assert not cm.is_blocked("x")


# ---------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        ({"max_retries": -1}, OverflowError, None),
        ({"max_retries": U32_MAX + 1}, OverflowError, None),
        ({"max_retries": 2**100}, OverflowError, None),
        ({"base_backoff_ms": -1}, OverflowError, None),
        ({"base_backoff_ms": U64_MAX + 1}, OverflowError, None),
        ({"max_retries": "5"}, TypeError, "argument 'max_retries'"),
        ({"max_retries": None}, TypeError, "argument 'max_retries'"),
        ({"max_retries": 5.0}, TypeError, "argument 'max_retries'"),
        ({"base_backoff_ms": "2"}, TypeError, "argument 'base_backoff_ms'"),
        ({"base_backoff_ms": BadStr()}, TypeError, "argument 'base_backoff_ms'"),
        ({"retries": 1}, TypeError, "unexpected keyword argument 'retries'"),
    ],
)
def test_constructor_argument_errors(core, kwargs, exc, text):
    with pytest.raises(exc) as info:
        core.ConflictManager(**kwargs)
    if text:
        assert text in str(info.value)
    else:
        assert "argument" not in str(info.value)


def test_constructor_accepts_range_ends_and_positional(core):
    cm = core.ConflictManager(U32_MAX, U64_MAX)
    assert cm.report_conflict("a").wait_ms >= int(0.8 * 2**64)
    assert core.ConflictManager(True, 0).report_conflict("a").wait_ms == 0  # ints by __index__
    with pytest.raises(TypeError):
        core.ConflictManager(1, 2, 3)


@pytest.mark.parametrize("method", ["report_conflict", "report_success", "get_failure_count", "is_blocked"])
@pytest.mark.parametrize("bad", [1, b"a", ["a"], BadStr()], ids=["int", "bytes", "list", "bad-str"])
def test_key_must_be_str(cm, method, bad):
    name = "requester" if method == "is_blocked" else "key"
    with pytest.raises(TypeError, match=f"^argument '{name}': '{type(bad).__name__}' object cannot be converted to 'PyString'$"):
        getattr(cm, method)(bad)


@pytest.mark.parametrize("method", ["report_conflict", "report_success", "get_failure_count"])
def test_key_is_required_and_not_none(cm, method):
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'key'"):
        getattr(cm, method)()
    with pytest.raises(TypeError, match="^argument 'key': 'NoneType' object"):
        getattr(cm, method)(None)
    getattr(cm, method)(key="k")


def test_unencodable_key_raises_and_changes_nothing(cm):
    with pytest.raises(UnicodeEncodeError):
        cm.report_conflict("\ud800")
    assert cm.get_failure_count("a") == 0
    assert cm.report_conflict("\u00e9t\u00e9").wait_ms in (1, 2)
    assert cm.get_failure_count("\u00e9t\u00e9") == 1


# ---------------------------------------------------------------------------
# Threads


def test_concurrent_reports_keep_exact_counts(core):
    cm = core.ConflictManager(max_retries=U32_MAX, base_backoff_ms=1)
    threads, per_thread = 8, 2000
    errors = []
    start = threading.Barrier(threads)

    def work(i):
        try:
            start.wait()
            for n in range(per_thread):
                cm.report_conflict("shared")
                cm.report_conflict(f"own-{i}")
                if n % 3 == 0:
                    cm.report_success(f"gone-{i}")
                    cm.is_blocked(f"own-{i}")
                    cm.get_failure_count("shared")
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads between calls as often as possible
    try:
        for t in pool:
            t.start()
        for t in pool:
            t.join(timeout=60)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in pool), "deadlock"
    assert errors == []
    assert cm.get_failure_count("shared") == threads * per_thread
    assert all(cm.get_failure_count(f"own-{i}") == per_thread for i in range(threads))
