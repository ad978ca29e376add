"""BufferDescriptor: construction, argument errors, fields and repr."""
import pytest

import olvex_core

BufferDescriptor = olvex_core.shm.BufferDescriptor


class LyingLen:
    """A sequence whose __len__ is far off; nothing may be reserved from it."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i < 3:
            return i + 1
        raise IndexError(i)


class RaisingLen(LyingLen):
    def __len__(self):
        raise RuntimeError("len")


class BreaksMidway:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise ValueError("midway")
        return 7


class BadIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class Text(str):
    pass


def test_class_surface():
    cls = BufferDescriptor
    assert cls.__module__ == "builtins" and cls.__qualname__ == "BufferDescriptor"
    assert cls.__doc__ == ('BufferDescriptor: The "Passport" for Zero-Copy Data.\n'
                           "Contains metadata needed for Python to reconstruct a memoryview.")
    assert cls.__text_signature__ == "(name, size, shape, dtype)"
    for field in ("name", "size", "shape", "dtype"):
        assert vars(cls)[field].__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    d = cls("a", 0, [], "u8")
    assert not hasattr(d, "__dict__")
    assert "__str__" not in vars(cls)


@pytest.mark.parametrize(
    "shape, expected",
    [([], []), ([2, 3], [2, 3]), ((2, 3), [2, 3]), (range(2, 4), [2, 3]), (b"\x01\x02", [1, 2]),
     ([True, 2**64 - 1], [1, 2**64 - 1]), (LyingLen(), [1, 2, 3]), (RaisingLen(), [1, 2, 3])],
)
def test_shapes(shape, expected):
    d = BufferDescriptor("buf", 2**64 - 1, shape, "f4")
    assert d.shape == expected
    assert d.size == 2**64 - 1


def test_fields_repr_and_identity():
    d = BufferDescriptor(name="it's\n\"x\"", size=24, shape=[2, 3], dtype="float32")
    assert repr(d) == str(d) == "<BufferDescriptor name='it's\n\"x\"' size=24 shape=[2, 3] dtype='float32'>"
    assert repr(BufferDescriptor("buf1", 24, (2, 3), "float32")) == \
        "<BufferDescriptor name='buf1' size=24 shape=[2, 3] dtype='float32'>"
    assert repr(BufferDescriptor("a", 0, [], "u8")) == "<BufferDescriptor name='a' size=0 shape=[] dtype='u8'>"
    shape = d.shape
    shape.append(9)
    assert d.shape == [2, 3] and d.shape is not d.shape
    assert d.name is not d.name
    with pytest.raises(AttributeError):
        d.size = 5
    twin = BufferDescriptor(d.name, d.size, d.shape, d.dtype)
    assert twin != d and d == d
    assert hash(d) == object.__hash__(d)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((1, 0, [], "u8"), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (("\ud800", 0, [], "u8"), UnicodeEncodeError, None),
        (("a", -1, [], "u8"), OverflowError, None),
        (("a", 2**64, [], "u8"), OverflowError, None),
        (("a", 1.0, [], "u8"), TypeError, "argument 'size': 'float' object cannot be interpreted as an integer"),
        (("a", 0, "23", "u8"), TypeError, "argument 'shape': 'str' object cannot be converted to a sequence"),
        (("a", 0, Text("23"), "u8"), TypeError, "argument 'shape': 'str' object cannot be converted to a sequence"),
        (("a", 0, {1: 2}, "u8"), TypeError, "argument 'shape': 'dict' object cannot be converted to 'Sequence'"),
        (("a", 0, {1}, "u8"), TypeError, "argument 'shape': 'set' object cannot be converted to 'Sequence'"),
        (("a", 0, 5, "u8"), TypeError, "argument 'shape': 'int' object cannot be converted to 'Sequence'"),
        (("a", 0, (i for i in [1]), "u8"), TypeError,
         "argument 'shape': 'generator' object cannot be converted to 'Sequence'"),
        (("a", 0, [2, -1], "u8"), OverflowError, None),
        (("a", 0, [2**64], "u8"), OverflowError, None),
        (("a", 0, [2.0], "u8"), TypeError, "argument 'shape': 'float' object cannot be interpreted as an integer"),
        (("a", 0, [BadIndex(ValueError("idx"))], "u8"), ValueError, "idx"),
        (("a", 0, [BadIndex(TypeError("idx"))], "u8"), TypeError, "argument 'shape': idx"),
        (("a", 0, BreaksMidway(), "u8"), ValueError, "midway"),
        (("a", 0, [], None), TypeError, "argument 'dtype': 'NoneType' object cannot be converted to 'PyString'"),
        (("a", 0, [], "\udfff"), UnicodeEncodeError, None),
        # Extraction stops at the first failing argument, in order.
        ((1, -1, "x", 2), TypeError, "argument 'name': "),
        (("a", -1, "x", 2), OverflowError, None),
        (("a", 0, "x", 2), TypeError, "argument 'shape': "),
    ],
)
def test_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        BufferDescriptor(*args)
    if message is not None:
        assert str(info.value).startswith(message)
    if exc is OverflowError:
        assert "argument" not in str(info.value)


def test_missing_and_unknown_arguments():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'dtype'"):
        BufferDescriptor("a", 0, [])
    with pytest.raises(TypeError, match="unexpected keyword argument 'kind'"):
        BufferDescriptor("a", 0, [], "u8", kind=1)
