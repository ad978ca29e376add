"""AuditLevel, AuditRecipe and AuditLogEntry: the values an audit system is
configured with and hands out."""
import inspect
import time

import pytest

U32_MAX = 2**32 - 1
LEVELS = [("Stop", 0), ("Abort", 1), ("Block", 2), ("Count", 3)]


# ---------------------------------------------------------------------------
# AuditLevel


def test_level_class_surface(core):
    cls = core.AuditLevel
    assert cls.__module__ == "olvex_core"
    with pytest.raises(TypeError, match="^No constructor defined for AuditLevel$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert [n for n in vars(cls) if n in dict(LEVELS)] == [n for n, _ in LEVELS]
    assert not hasattr(cls.Stop, "__dict__")


@pytest.mark.parametrize("name, value", LEVELS)
def test_level_members(core, name, value):
    member = getattr(core.AuditLevel, name)
    assert type(member) is core.AuditLevel
    assert repr(member) == f"AuditLevel.{name}"
    assert int(member) == value
    assert member == value and value == member and not member != value
    assert member == getattr(core.AuditLevel, name)
    others = [getattr(core.AuditLevel, n) for n, v in LEVELS if v != value]
    assert all(member != o and not member == o for o in others)
    with pytest.raises(TypeError, match="unhashable"):
        hash(member)


@pytest.mark.parametrize("other", [2**100, -(2**100), 2.0, "Block", "AuditLevel.Block", None, b"\x02", [2]])
def test_level_equality_with_other_things_is_false_never_an_error(core, other):
    block = core.AuditLevel.Block
    assert (block == other) is False and (other == block) is False
    assert (block != other) is True


def test_level_bool_compares_as_its_int(core):
    assert core.AuditLevel.Abort == True  # noqa: E712
    assert core.AuditLevel.Stop == False  # noqa: E712


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_level_has_no_ordering(core, op):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": core.AuditLevel.Stop, "b": core.AuditLevel.Count})
    with pytest.raises(TypeError):
        eval(f"a {op} 1", {"a": core.AuditLevel.Stop})


# ---------------------------------------------------------------------------
# AuditRecipe


def test_recipe_surface_and_defaults(core):
    cls = core.AuditRecipe
    assert cls.__module__ == "olvex_core" and cls.__doc__ is None
    assert str(inspect.signature(cls)) == "(level=None, threshold_max=3, threshold_min=0, reset_on_success=True)"
    props = ["level", "threshold_max", "threshold_min", "reset_on_success"]
    assert [n for n in vars(cls) if not n.startswith("_")] == props
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    r = cls()
    assert (r.level, r.threshold_max, r.threshold_min, r.reset_on_success) == (core.AuditLevel.Block, 3, 0, True)
    assert cls(level=None).level == core.AuditLevel.Block
    with pytest.raises(AttributeError):
        r.extra = 1


def test_recipe_level_reads_as_a_new_equal_object(core):
    r = core.AuditRecipe(core.AuditLevel.Count, 7, 2, False)
    assert r.level == core.AuditLevel.Count and r.level is not core.AuditLevel.Count
    assert (r.threshold_max, r.threshold_min, r.reset_on_success) == (7, 2, False)
    r.level = core.AuditLevel.Stop
    r.threshold_max, r.threshold_min, r.reset_on_success = U32_MAX, 0, True
    assert (r.level, r.threshold_max, r.threshold_min, r.reset_on_success) == (0, U32_MAX, 0, True)


@pytest.mark.parametrize(
    "field, value, error, message",
    [
        ("level", None, TypeError, "argument 'level': 'NoneType' object cannot be converted to 'AuditLevel'"),
        ("level", 2, TypeError, "argument 'level': 'int' object cannot be converted to 'AuditLevel'"),
        ("threshold_max", -1, OverflowError, None),
        ("threshold_max", 2**32, OverflowError, None),
        ("threshold_max", 1.5, TypeError, None),
        ("threshold_min", "1", TypeError, None),
        ("threshold_min", 2**64, OverflowError, None),
        ("reset_on_success", 1, TypeError, "argument 'reset_on_success': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_recipe_setters_check_types(core, field, value, error, message):
    r = core.AuditRecipe()
    before = getattr(r, field)
    with pytest.raises(error) as e:
        setattr(r, field, value)
    if message:
        assert str(e.value) == message
    assert getattr(r, field) == before
    if field != "level" or value is not None:  # the constructor takes None as Block
        with pytest.raises(error):
            core.AuditRecipe(**{field: value})


@pytest.mark.parametrize("field", ["level", "threshold_max", "threshold_min", "reset_on_success"])
def test_recipe_fields_cannot_be_deleted(core, field):
    r = core.AuditRecipe()
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(r, field)


# ---------------------------------------------------------------------------
# AuditLogEntry


def test_log_entry_surface(core):
    cls = core.AuditLogEntry
    assert cls.__module__ == "olvex_core"
    with pytest.raises(TypeError, match="^No constructor defined for AuditLogEntry$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert [n for n in vars(cls) if n in {"timestamp", "key", "message"}] == ["timestamp", "key", "message"]


def test_log_entry_fields_and_text(core):
    a = core.AuditSystem()
    before = time.time()
    a.log("job\0x", "did ünïcode\nthings")
    e = a.get_logs()[-1]
    assert type(e) is core.AuditLogEntry
    assert (e.key, e.message) == ("job\0x", "did ünïcode\nthings")
    assert before - 1 <= e.timestamp <= time.time() + 1
    ts = repr(e.timestamp)
    assert str(e) == f"[{ts[:-2] if ts.endswith('.0') else ts}] job\0x: did ünïcode\nthings"
    for field in ("timestamp", "key", "message"):
        with pytest.raises(AttributeError):
            setattr(e, field, 1)
