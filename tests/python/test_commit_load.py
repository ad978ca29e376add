"""Eight threads committing process runs on one engine while a ninth hands
the outbox to a worker: exits succeed or fail in order, an exit that
installed never fails, and every message is delivered once, only for a
committed or flushed transaction, or is still in the engine's outbox."""
import random
import threading
import time

from olvex_core import OlvexEngine, OutboxMsg, SchemaViolationError, State, SupervisorProxy

DURATION = 2.0  # seconds of load
WATCHDOG = 180  # a deadlock ends the run with every thread's traceback
THREADS = 8


def test_commits_under_load(watchdog):
    watchdog(WATCHDOG)
    run_load()


def run_load():
    released = set()  # transactions whose messages may be delivered: installed or flushed
    delivered = []
    errors = []
    local = threading.local()

    class Engine(OlvexEngine):
        def commit_state(self, new):
            OlvexEngine.commit_state(self, new)
            local.installed = True
            released.add(local.tx_id)

    class Schema:
        def model_validate(self, d):
            sum(range(200))  # some Python code, where other threads may get in
            if d["domain"]["orders"]["last"] == "reject":
                raise ValueError("marked")

    engine = Engine()
    OlvexEngine.commit_state(engine, State(data={"domain": {"orders": {"count": 0, "last": None}}}))
    engine.set_schema(Schema())
    stop = threading.Event()
    failed = []  # transactions that never committed, flushed at the end
    outcomes = {"ok": 0, "rejected": 0, "retried": 0}

    def worker(msg):
        tx_id, n = msg.payload
        if tx_id not in released:
            errors.append(AssertionError(f"message of {tx_id} delivered before its commit"))
        delivered.append(msg.payload)

    engine.attach_worker(worker)

    def process(k):
        r = random.Random(k)
        n = 0
        try:
            while not stop.is_set():
                tx = engine.transaction()
                local.tx_id = tx_id = f"{k}-{n}"
                domain = OlvexEngine.state.__get__(engine).data["domain"]
                p = SupervisorProxy(domain, "domain", transaction=tx)
                orders = p["orders"]  # a shadow of the committed dict
                orders.count = n
                orders["last"] = "reject" if r.random() < 0.1 else f"o-{k}-{n}"
                tx.outbox.add(OutboxMsg("order", (tx_id, n)))
                for attempt in range(10_000):
                    local.installed = False
                    try:
                        assert tx.__exit__() is None
                        outcomes["ok"] += 1
                        break
                    except SchemaViolationError:
                        assert not local.installed
                        outcomes["rejected"] += 1
                        failed.append((tx_id, tx))
                        break
                    except RuntimeError as e:
                        assert str(e) == "Already borrowed" and not local.installed, str(e)
                        outcomes["retried"] += 1
                        time.sleep(r.random() / 1000)
                else:
                    raise AssertionError("an exit never got through")
                n += 1
        except BaseException as e:
            errors.append(e)
            stop.set()

    def hand_over():
        try:
            while not stop.is_set():
                engine.process_outbox()
        except BaseException as e:
            errors.append(e)
            stop.set()

    threads = [threading.Thread(target=process, args=(k,)) for k in range(THREADS)]
    threads.append(threading.Thread(target=hand_over))
    for t in threads:
        t.start()
    time.sleep(DURATION)
    stop.set()
    for t in threads:
        t.join()
    assert errors == []
    for tx_id, tx in failed:
        released.add(tx_id)
        tx.flush_outbox()
    left = [m.payload for m in engine.outbox.drain()]
    everything = delivered + left
    assert len(everything) == len(set(everything))  # once each
    expected = outcomes["ok"] + outcomes["rejected"]
    assert len(everything) == expected and expected > THREADS
    assert outcomes["ok"] > 0 and outcomes["rejected"] > 0
