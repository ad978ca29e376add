"""OutboxCollector: handles on the outbox buffers of engines and transactions."""
import inspect
import weakref

import pytest

from olvex_core import OlvexEngine, OutboxCollector, OutboxMsg, Transaction


def test_class_surface():
    assert OutboxCollector.__module__ == "olvex_core"
    assert OutboxCollector.__doc__ == "Helper to collect outbox messages in Transaction"
    with pytest.raises(TypeError, match="^No constructor defined for OutboxCollector$"):
        OutboxCollector()
    with pytest.raises(TypeError):
        type("Sub", (OutboxCollector,), {})
    c = OlvexEngine().outbox
    assert not hasattr(c, "__dict__")
    for name, sig, doc in [
        ("add", "(msg)", None),
        ("drain", "()", "[v3.3] Drain all messages from the buffer for Python-side flush"),
        ("len", "()", "[v3.3] Get current message count"),
    ]:
        assert str(inspect.signature(getattr(c, name))) == sig
        assert getattr(c, name).__doc__ == doc
    for protocol in ("__len__", "__iter__", "__eq__"):
        assert getattr(OutboxCollector, protocol, None) is getattr(object, protocol, None), protocol


@pytest.mark.parametrize("owner", [OlvexEngine, Transaction], ids=["engine", "transaction"])
def test_handles_share_the_owners_buffer(owner, capfd):
    o = owner()
    a, b = o.outbox, o.outbox
    assert a is not b and type(a) is OutboxCollector
    payload = {"k": 1}
    m = OutboxMsg("t1", payload)
    assert a.add(m) is None
    b.add(msg=OutboxMsg("t2", None))
    assert a.len() == b.len() == 2
    out = b.drain()
    assert [x.topic for x in out] == ["t1", "t2"]
    assert out[0] is not m and out[0].payload is payload
    assert a.len() == 0 and a.drain() == []
    assert capfd.readouterr() == ("", "")  # no diagnostic line, unlike Outbox.add


def test_engine_and_transaction_buffers_are_separate():
    e = OlvexEngine()
    tx = e.transaction()
    tx.outbox.add(OutboxMsg("t", None))
    assert e.outbox.len() == 0 and tx.outbox.len() == 1
    assert e.transaction().outbox.len() == 0


@pytest.mark.parametrize("bad", [{"topic": "t"}, "t", None, 1])
def test_add_refuses_what_is_not_a_message(bad):
    c = OlvexEngine().outbox
    with pytest.raises(TypeError, match=r"^argument 'msg': '\w+' object cannot be converted to 'OutboxMsg'$"):
        c.add(bad)
    assert c.len() == 0


def test_a_handle_keeps_the_buffer_alive():
    e = OlvexEngine()
    c = e.outbox
    c.add(OutboxMsg("kept", 1))
    del e
    assert [m.topic for m in c.drain()] == ["kept"]


class Payload:
    pass


@pytest.mark.parametrize("ending", ["flushed", "unflushed", "handle kept", "handle kept and flushed"])
def test_each_transaction_starts_with_an_outbox_of_its_own(ending):
    # A transaction's buffer outlives it through a handle, or holds what was
    # never flushed; the next transactions never see any of it.
    e = OlvexEngine()
    for _ in range(6):
        tx = e.transaction()
        payload = Payload()
        gone = weakref.ref(payload)
        tx.outbox.add(OutboxMsg("old", payload))
        handle = tx.outbox if "kept" in ending else None
        if "flushed" in ending and "unflushed" not in ending:
            tx.flush_outbox()
        del tx, payload
        if ending == "unflushed":
            assert gone() is None  # dropped with its transaction
        fresh = e.transaction()
        assert fresh.outbox.len() == 0
        fresh.outbox.add(OutboxMsg("new", 1))
        if handle is not None:
            handle.add(OutboxMsg("late", 2))
            assert [m.topic for m in handle.drain()] == ([] if "flushed" in ending else ["old"]) + ["late"]
        assert [m.topic for m in fresh.outbox.drain()] == ["new"]
        del fresh, handle
    assert all(m.topic == "old" for m in e.outbox.drain())
