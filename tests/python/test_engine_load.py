"""Many threads on one engine: no deadlock, crash or panic, every message
accounted for once, one shadow per original per transaction."""
import random
import threading
import time

from olvex_core import OlvexEngine, OutboxMsg, State

DURATION = 2.0  # seconds of load
WATCHDOG = 180  # a deadlock ends the run with every thread's traceback


class Boom(Exception):
    pass


def test_shared_engine_under_load(watchdog):
    watchdog(WATCHDOG)
    run_load()


def run_load():
    engine = OlvexEngine()
    pool = [{"n": i, "items": list(range(i % 5)), "nested": {"k": (i, [i])}} for i in range(32)]
    pair_tx = [engine.transaction() for _ in range(4)]  # threads 2i and 2i+1 share one
    stop = threading.Event()
    errors = []
    added, delivered, taken, drained = [], [], [], []
    shadows = {}  # (id(tx), id(original)) -> id(shadow); every tx is kept, so ids stay unique
    kept = []
    shadow_lock = threading.Lock()
    installs = {"ok": 0, "refused": 0}

    def record(tx, original, shadow):
        key = (id(tx), id(original))
        with shadow_lock:
            assert shadows.setdefault(key, id(shadow)) == id(shadow), "two shadows of one original"

    def guarded(body):
        def run(*args):
            try:
                body(*args)
            except BaseException as e:  # handed to the main thread
                errors.append(e)
                stop.set()
        return run

    @guarded
    def process(k):
        r = random.Random(k)
        handle = engine.outbox
        n = 0
        while not stop.is_set():
            own = engine.transaction()
            kept.append(own)
            for tx in (own, pair_tx[k // 2]):
                d = r.choice(pool)
                s = tx.get_shadow(d, f"domain.p{d['n']}")
                record(tx, d, s)
                record(tx, d, tx.get_shadow(d, "domain.other"))
                s["n"] = r.randint(0, 3)
                tx.log_delta(f"domain.k{k}.v", None, n)
                if r.random() < 0.3:
                    tx.infer_shadow_deltas()
                tx.commit()
                tx.build_pending_from_deltas()
                tx.get_shadow_updates()
            topic = f"{k}-{n}"
            added.append(topic)
            handle.add(OutboxMsg(topic, k))
            n += 1

    def make_worker(name):
        r = random.Random(name)

        def worker(msg):
            if r.random() < 0.05:
                taken.append(msg.topic)
                raise Boom(msg.topic)
            delivered.append(msg.topic)
            if r.random() < 0.02:
                before = engine.state
                try:
                    engine.commit_state(State(version=999))
                except RuntimeError as e:
                    assert str(e) == "Already borrowed"
                    assert engine.state is before
                else:
                    raise AssertionError("commit_state during process_outbox")

        return worker

    @guarded
    def run_outbox():
        workers = [make_worker("a"), make_worker("b")]
        r = random.Random(99)
        version = 1
        while not stop.is_set():
            try:
                engine.process_outbox()
            except Boom:
                pass
            if r.random() < 0.1:
                engine.attach_worker(r.choice(workers))
            if r.random() < 0.1:
                new = State(version=version)
                try:
                    engine.commit_state(new)
                except RuntimeError as e:
                    assert str(e) == "Already borrowed"
                    assert engine.state is not new
                    installs["refused"] += 1
                else:
                    assert engine.state is new or engine.state.version >= 0
                    installs["ok"] += 1
                version += 1

    @guarded
    def drain():
        handle = engine.outbox
        while not stop.is_set():
            drained.extend(m.topic for m in handle.drain())
            time.sleep(0.001)

    engine.attach_worker(make_worker("first"))
    threads = [threading.Thread(target=process, args=(k,), daemon=True) for k in range(8)]
    threads += [threading.Thread(target=run_outbox, daemon=True), threading.Thread(target=drain, daemon=True)]
    for t in threads:
        t.start()
    stop.wait(DURATION)
    stop.set()
    for t in threads:
        t.join(WATCHDOG)
        assert not t.is_alive(), "a thread did not finish"
    if errors:
        raise errors[0]

    left = [m.topic for m in engine.outbox.drain()]
    accounted = delivered + taken + drained + left
    assert len(accounted) == len(set(accounted)), "a message was handed out twice"
    assert sorted(accounted) == sorted(added), "a message was lost"
    assert installs["ok"] > 0
    assert len(added) > 100
