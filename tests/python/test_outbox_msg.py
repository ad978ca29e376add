import gc
import inspect
import weakref

import pytest


class Sub(str):
    pass


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


class Payload:
    pass


def test_class_surface(core):
    cls = core.OutboxMsg
    assert cls.__module__ == "olvex_core"
    assert str(inspect.signature(cls)) == "(topic, payload)"
    assert "OutboxMsg" in core.__all__
    assert not hasattr(core, "Outbox")  # reachable only through a context
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    m = cls("t", None)
    for attr in ("topic", "payload", "extra"):
        with pytest.raises(AttributeError):
            setattr(m, attr, 1)


@pytest.mark.parametrize(
    "payload",
    [None, 0, "text", {"k": [1]}, [1, 2], Payload()],
    ids=["none", "int", "str", "dict", "list", "object"],
)
def test_payload_is_kept_by_reference(core, payload):
    m = core.OutboxMsg("orders", payload)
    assert m.topic == "orders"
    assert m.payload is payload
    assert m.payload is m.payload


def test_keyword_arguments_and_mutable_payload(core):
    p = {"n": 1}
    m = core.OutboxMsg(payload=p, topic="t")
    p["n"] = 2
    assert m.payload == {"n": 2}


@pytest.mark.parametrize("topic", ["", "a\x00b", "\u00e9v\u00e9nement \U0001f4e6", "x" * 100_000])
def test_topic_text_round_trips(core, topic):
    assert core.OutboxMsg(topic, None).topic == topic


def test_topic_of_a_str_subclass_comes_back_as_str(core):
    m = core.OutboxMsg(Sub("t"), None)
    assert type(m.topic) is str and m.topic == "t"


@pytest.mark.parametrize(
    "args, kwargs, exc, text",
    [
        ((1, None), {}, TypeError, "argument 'topic': 'int' object cannot be converted to 'PyString'"),
        ((None, None), {}, TypeError, "argument 'topic': 'NoneType' object cannot be converted to 'PyString'"),
        ((b"t", None), {}, TypeError, "argument 'topic': 'bytes' object cannot be converted to 'PyString'"),
        ((BadStr(), None), {}, TypeError, "argument 'topic': 'BadStr' object cannot be converted to 'PyString'"),
        (("t",), {}, TypeError, "missing 1 required positional argument: 'payload'"),
        ((), {}, TypeError, "missing 2 required positional arguments: 'topic' and 'payload'"),
        (("t", 1, 2), {}, TypeError, "takes 2 positional arguments but 3 were given"),
        (("t",), {"topic": "u"}, TypeError, "got multiple values for argument 'topic'"),
        (("t", 1), {"extra": 1}, TypeError, "unexpected keyword argument 'extra'"),
        (("\ud800", 1), {}, UnicodeEncodeError, None),
    ],
)
def test_constructor_errors(core, args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        core.OutboxMsg(*args, **kwargs)
    if text:
        assert text in str(info.value)


def test_payload_released_with_the_message(core):
    p = Payload()
    ref = weakref.ref(p)
    m = core.OutboxMsg("t", p)
    del p
    gc.collect()
    assert ref() is not None
    del m
    assert ref() is None
