"""OlvexEngine.process_outbox: the hand-over to the worker, its failures
and the worker's calls back into the engine."""
import threading

import pytest

from olvex_core import OlvexEngine, OutboxMsg, State


def fill(engine, *topics):
    for t in topics:
        engine.outbox.add(OutboxMsg(t, {"topic": t}))


def left(engine):
    return [m.topic for m in engine.outbox.drain()]


@pytest.fixture
def engine():
    return OlvexEngine()


def test_messages_go_to_the_worker_in_order(engine):
    got = []
    engine.attach_worker(got.append)
    fill(engine, "a", "b", "c")
    assert engine.process_outbox() is None
    assert [(m.topic, m.payload) for m in got] == [(t, {"topic": t}) for t in "abc"]
    assert all(type(m) is OutboxMsg for m in got)
    assert engine.outbox.len() == 0


def test_without_a_worker_messages_are_dropped(engine):
    fill(engine, "a", "b", "c")
    assert engine.process_outbox() is None
    assert engine.outbox.len() == 0


def test_an_empty_outbox_does_not_call_the_worker(engine):
    calls = []
    engine.attach_worker(calls.append)
    engine.process_outbox()
    assert calls == []


def test_the_worker_result_is_ignored(engine):
    engine.attach_worker(lambda m: 1 / 0 if False else "ignored")
    fill(engine, "a")
    assert engine.process_outbox() is None


class Boom(Exception):
    pass


@pytest.mark.parametrize("exc", [Boom("second"), KeyboardInterrupt("stop"), SystemExit(3)],
                         ids=lambda e: type(e).__name__)
def test_a_raising_worker_keeps_what_it_was_not_given(engine, exc):
    got = []

    def worker(msg):
        got.append(msg.topic)
        if msg.topic == "2":
            raise exc

    engine.attach_worker(worker)
    fill(engine, "1", "2", "3")
    with pytest.raises(type(exc)) as info:
        engine.process_outbox()
    assert info.value is exc
    assert got == ["1", "2"]  # the failing message counts as handed over
    assert left(engine) == ["3"]


def test_put_back_goes_ahead_of_messages_added_meanwhile(engine):
    def worker(msg):
        if msg.topic == "1":
            fill(engine, "added")
            raise Boom

    engine.attach_worker(worker)
    fill(engine, "1", "2", "3")
    with pytest.raises(Boom):
        engine.process_outbox()
    assert left(engine) == ["2", "3", "added"]


@pytest.mark.parametrize("worker", [None, 42, "text"], ids=repr)
def test_a_worker_that_cannot_be_called(engine, worker):
    engine.attach_worker(worker)
    fill(engine, "1", "2")
    with pytest.raises(TypeError, match="not callable"):
        engine.process_outbox()
    assert left(engine) == ["2"]


def test_messages_added_by_the_worker_wait_for_the_next_run(engine):
    got = []

    def worker(msg):
        got.append(msg.topic)
        if not msg.topic.startswith("re-"):
            fill(engine, "re-" + msg.topic)

    engine.attach_worker(worker)
    fill(engine, "a", "b")
    engine.process_outbox()
    assert got == ["a", "b"] and engine.outbox.len() == 2
    engine.process_outbox()
    assert got == ["a", "b", "re-a", "re-b"]


def test_the_worker_taken_at_the_start_serves_the_whole_run(engine):
    first, second = [], []

    def worker(msg):
        first.append(msg.topic)
        engine.attach_worker(second.append)  # no deadlock: the cell is not held

    engine.attach_worker(worker)
    fill(engine, "a", "b")
    engine.process_outbox()
    assert first == ["a", "b"] and second == []
    fill(engine, "c")
    engine.process_outbox()
    assert second[0].topic == "c"


def test_a_worker_may_reenter(engine):
    inner = []

    def worker(msg):
        inner.append(msg.topic)
        if msg.topic == "a":
            fill(engine, "nested")
            engine.process_outbox()  # delivers "nested" now, from inside the run
        engine.set_schema(None)
        engine.state
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            engine.commit_state(State(version=9))

    engine.attach_worker(worker)
    fill(engine, "a", "b")
    engine.process_outbox()
    assert inner == ["a", "nested", "b"]
    assert engine.state.version == 0


def test_two_threads_each_deliver_their_own_batches_in_order(engine):
    got = []
    gate = threading.Barrier(2)
    engine.attach_worker(lambda msg: got.append((threading.get_ident(), msg.topic)))

    def run(prefix):
        gate.wait()
        for i in range(50):
            engine.outbox.add(OutboxMsg(f"{prefix}{i:02}", None))
            engine.process_outbox()

    threads = [threading.Thread(target=run, args=(p,)) for p in "xy"]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert engine.outbox.len() == 0
    assert sorted(topic for _, topic in got) == sorted(f"{p}{i:02}" for p in "xy" for i in range(50))
    # batches of different threads may interleave; each thread's are in order
    for who in {w for w, _ in got}:
        for p in "xy":
            mine = [t for w, t in got if w == who and t.startswith(p)]
            assert mine == sorted(mine)
