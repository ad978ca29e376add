"""register_physics_override and clear_physics_overrides. What a
registration changes is seen by proxies; the lookups themselves are tested
from C++ (test_zones, embed_views)."""
import inspect

import pytest


@pytest.fixture(autouse=True)
def empty_table(core):
    yield
    core.clear_physics_overrides()


def test_module_functions(core):
    for f, sig in ((core.register_physics_override, "(path, caps)"), (core.clear_physics_overrides, "()")):
        assert f.__self__ is core and f.__module__ == "olvex_core"
        assert f.__text_signature__ == sig and str(inspect.signature(f)) == sig
        assert f.__doc__ is None
    names = list(core.__all__)
    i = names.index("register_physics_override")
    assert names[i + 1] == "clear_physics_overrides"
    assert names.index("ContextError") < i


# Each registration, and a proxy that reads the registered path: its parent
# has every bit but ADMIN, so the child shows the stored byte (less ADMIN),
# or nothing when the byte has no READ bit.
@pytest.mark.parametrize(
    "args, kwargs, stored, target, path, key",
    [
        (("domain.x", 3), {}, 3, {"x": {}}, "domain", "x"),
        (("domain.x",), {"caps": 0}, 0, {"x": {}}, "domain", "x"),
        ((), {"caps": 255, "path": "a[0]"}, 255, [{}], "a", 0),
        (("", True), {}, 1, {"": {}}, "", ""),
        (("d\u00e9j\u00e0", 31), {}, 31, {"d\u00e9j\u00e0": {}}, "", "d\u00e9j\u00e0"),
        (("p", 200), {}, 200, {"p": {}}, "", "p"),
    ],
)
def test_register_accepts_any_byte(core, args, kwargs, stored, target, path, key):
    proxy = core.SupervisorProxy(target, path, capabilities=0xFF & ~16)

    def seen():
        child = proxy[key]
        return None if child is None else child.capabilities

    assert core.register_physics_override(*args, **kwargs) is None
    assert core.register_physics_override(*args, **kwargs) is None  # replacing is fine
    assert seen() == (stored & ~16 if stored & 1 else None)
    assert core.clear_physics_overrides() is None
    assert seen() == 15


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("a", 256), {}, OverflowError, "out of range integral type conversion attempted"),
        (("a", -1), {}, OverflowError, "out of range integral type conversion attempted"),
        (("a", 2**70), {}, OverflowError, "out of range integral type conversion attempted"),
        ((1, 3), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ((None, 3), {}, TypeError, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
        ((1, 256), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (("a", "3"), {}, TypeError, "argument 'caps': 'str' object cannot be interpreted as an integer"),
        (("a", 3.0), {}, TypeError, "argument 'caps': 'float' object cannot be interpreted as an integer"),
        (("a", None), {}, TypeError, "argument 'caps': 'NoneType' object cannot be interpreted as an integer"),
        (("a",), {}, TypeError, "register_physics_override() missing 1 required positional argument: 'caps'"),
        (("a", 1, 2), {}, TypeError, "register_physics_override() takes 2 positional arguments but 3 were given"),
        (("a",), {"path": "b", "caps": 1}, TypeError,
         "register_physics_override() got multiple values for argument 'path'"),
        (("a", 1), {"mode": 1}, TypeError, "register_physics_override() got an unexpected keyword argument 'mode'"),
        (("\ud800", 1), {}, UnicodeEncodeError, None),
    ],
)
def test_register_argument_errors(core, args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        core.register_physics_override(*args, **kwargs)
    if message is not None:
        assert str(e.value) == message


def test_clear_takes_no_arguments(core):
    with pytest.raises(TypeError):
        core.clear_physics_overrides(1)
    with pytest.raises(TypeError):
        core.clear_physics_overrides(x=1)
