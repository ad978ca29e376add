"""Eight threads, each running its own event loop of synchronous processes
(through asyncio.to_thread), and one more loop of concurrent async processes,
all committing a shared counter through compare_and_swap on one engine with a
schema, while another thread hands the outbox to a worker.

Holds: nothing deadlocks or raises, the final counter equals the number of
calls that reported success (no lost commit), every message is delivered once
or still queued, and no requester other than the VIP holder gets past the VIP
check while a holder exists (checked inside model_validate against a mirror of
the conflict manager kept from the reports)."""
import asyncio
import random
import threading
import time

from olvex_core import ContextError, OlvexEngine, OutboxMsg

WATCHDOG = 240  # a deadlock ends the run with every thread's traceback
SYNC_LOOPS = 8
ASYNC_TASKS = 4
SUCCESSES = 6  # per requester
MAX_RETRIES = 5  # the engine's own manager


def test_process_road_under_load(watchdog):
    watchdog(WATCHDOG)
    run_load()


def is_borrow_conflict(e):
    return isinstance(e, RuntimeError) and str(e) in ("Already borrowed", "Already mutably borrowed")


def retry(fn, *args, **kwargs):
    """Calls fn until no other thread's hold on the engine stands in the way."""
    for _ in range(200_000):
        try:
            return fn(*args, **kwargs)
        except RuntimeError as e:
            if not is_borrow_conflict(e):
                raise
            time.sleep(random.random() / 5000)
    raise AssertionError(f"{fn.__name__} never got through")


class ManagerMirror:
    """The engine's conflict manager as the test predicts it. Reports are
    serialised by `lock`, so the prediction follows the engine's order. While a
    report is in flight the engine may hold either outcome, so `candidates`
    names both; model_validate reads it without the lock (it runs inside an
    exclusive hold that a reporter may be waiting on)."""

    def __init__(self, engine):
        self.engine = engine
        self.lock = threading.Lock()
        self.counts = {}
        self.holder = None
        self.candidates = (None,)

    def conflict(self, name):
        with self.lock:
            before = self.holder
            n = self.counts.setdefault(name, 0)
            if before is not None and before != name:
                expected_wait = 50
            elif n < MAX_RETRIES:
                self.counts[name] = n + 1
                expected_wait = None  # a jittered backoff
            else:
                self.holder = name
                expected_wait = 1
            self.candidates = (before, self.holder)
            decision = retry(self.engine.report_conflict, name)
            self.candidates = (self.holder,)
        assert decision.should_retry
        if expected_wait is not None:
            assert decision.wait_ms == expected_wait, (name, decision, before)
        return decision.wait_ms

    def success(self, name):
        with self.lock:
            before = self.holder
            self.counts.pop(name, None)
            if self.holder == name:
                self.holder = None
            self.candidates = (before, self.holder)
            retry(self.engine.report_success, name)
            self.candidates = (self.holder,)


def run_load():
    errors = []
    delivered = []
    engine = OlvexEngine()
    mirror = ManagerMirror(engine)
    validated = [0]

    class Schema:
        def model_validate(self, d):
            validated[0] += 1
            by = d["by"]
            if all(h is not None and h != by for h in mirror.candidates):
                errors.append(AssertionError(f"{by} passed the VIP check while {mirror.candidates} held it"))
            sum(range(100))  # some Python code, where other threads may get in

    engine.compare_and_swap(0, data={"counter": 0, "by": None, "domain": {"region": "eu"}})
    engine.set_schema(Schema())
    engine.attach_worker(lambda msg: delivered.append(msg.payload))
    runs = []  # every process run's message id
    successes = {}

    def make_process(name, run_id, is_async):
        def body(ctx):
            domain = ctx.domain  # a proxy over the committed dict, this transaction current
            assert domain["region"] == "eu"
            ctx.outbox.add(OutboxMsg("road", run_id))
            time.sleep(0.001)  # others commit meanwhile, so conflicts pile up to the VIP rule
            return ctx.state.version, ctx.state.data["counter"]

        if not is_async:
            return body

        async def process(ctx):
            await asyncio.sleep(0.001)
            return body(ctx)

        return process

    async def requester(name, is_async):
        run = 0
        done = 0
        while done < SUCCESSES:
            run_id = (name, run)
            run += 1
            runs.append(run_id)
            tx = retry(engine.transaction)
            assert tx.__enter__() is tx
            pending = retry(engine.execute_process_async, name, make_process(name, run_id, is_async), tx)
            version, counter = await pending
            try:
                retry(engine.compare_and_swap, version, data={"counter": counter + 1, "by": name}, requester=name)
            except ContextError as e:
                text = str(e)
                assert text == "System Busy (VIP Access Only)" or text.startswith("CAS Version Mismatch"), text
                wait_ms = mirror.conflict(name)
                await asyncio.sleep(wait_ms / 1000)
            else:
                mirror.success(name)
                done += 1
            finally:
                # Leave without committing: the counter moves only through compare_and_swap.
                assert tx.__exit__(RuntimeError, None, None) is None
                retry(tx.flush_outbox)
        successes[name] = done

    def loop_thread(names, is_async):
        async def main():
            await asyncio.gather(*(requester(n, is_async) for n in names))

        try:
            asyncio.run(main())
        except BaseException as e:
            errors.append(e)

    stop = threading.Event()

    def hand_over():
        try:
            while not stop.is_set():
                retry(engine.process_outbox)
                time.sleep(0.0005)
        except BaseException as e:
            errors.append(e)

    loops = [threading.Thread(target=loop_thread, args=([f"sync-{k}"], False)) for k in range(SYNC_LOOPS)]
    loops.append(threading.Thread(target=loop_thread, args=([f"async-{k}" for k in range(ASYNC_TASKS)], True)))
    deliverer = threading.Thread(target=hand_over)
    deliverer.start()
    for t in loops:
        t.start()
    for t in loops:
        t.join()
    stop.set()
    deliverer.join()

    assert errors == []
    total = sum(successes.values())
    assert total == (SYNC_LOOPS + ASYNC_TASKS) * SUCCESSES
    state = engine.state
    assert state.data["counter"] == total  # no lost commit reported as success
    assert state.version == 1 + total
    assert validated[0] >= total
    left = [m.payload for m in engine.outbox.drain()]
    everything = delivered + left
    assert len(everything) == len(set(everything))  # once each
    assert sorted(everything) == sorted(runs)
