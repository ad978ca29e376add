"""MetaLogEntry as Python sees it as State hands them out: a class that
only the module can instantiate (the object itself is tested from C++)."""
import pytest


def test_no_constructor(core):
    with pytest.raises(TypeError) as e:
        core.MetaLogEntry()
    assert str(e.value) == "No constructor defined for MetaLogEntry"
    with pytest.raises(TypeError, match="No constructor defined for MetaLogEntry"):
        core.MetaLogEntry(1.0, "k", "m")


def test_class_shape(core):
    cls = core.MetaLogEntry
    assert cls.__module__ == "olvex_core" and cls.__doc__ is None
    assert [n for n in vars(cls) if n in {"timestamp", "key", "message"}] == ["timestamp", "key", "message"]
    assert all(vars(cls)[n].__doc__ is None for n in ("timestamp", "key", "message"))
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
