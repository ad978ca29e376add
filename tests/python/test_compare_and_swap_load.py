"""Six threads incrementing one counter through compare-and-swap retry
loops on one engine with a schema: no deadlock or stray exception, the
counter equals the number of successful calls, and no requester other than
the VIP holder ever reaches the schema step while a holder exists."""
import threading
import time

from olvex_core import ContextError, OlvexEngine

THREADS = 6
SUCCESSES = 20  # per thread
WATCHDOG = 180  # a deadlock ends the run with every thread's traceback
MAX_RETRIES = 5  # the engine's manager
BLOCKED_WAIT = 50  # its answer to others while a holder exists


def retried(call):
    """An engine call, repeated while another thread holds the engine."""
    while True:
        try:
            return call()
        except RuntimeError as err:
            if str(err) not in ("Already borrowed", "Already mutably borrowed"):
                raise
            time.sleep(0)


def test_counter_under_contention(watchdog):
    watchdog(WATCHDOG)
    run_load()


def run_load():
    engine = OlvexEngine()
    local = threading.local()
    mirror = {"holder": None}  # set after the engine makes a holder, cleared before it ends one
    errors = []

    class Schema:
        def model_validate(self, d):
            time.sleep(0)  # other threads get in, and meet the engine's borrow
            holder = mirror["holder"]
            if holder is not None and local.name != holder:
                errors.append(AssertionError(f"{local.name} passed the VIP check while {holder} held it"))

    engine.set_schema(Schema())
    retried(lambda: engine.compare_and_swap(0, data={"counter": 0}))
    successes = []  # list.append is atomic; a shared += is not

    def run(name):
        local.name = name
        count = 0  # this key's backoff answers since its last success
        try:
            for _ in range(SUCCESSES):
                while True:
                    state = retried(lambda: engine.state)
                    n = state.data["counter"]
                    time.sleep(0.0005)  # others commit meanwhile
                    try:
                        retried(lambda: engine.compare_and_swap(state.version, data={"counter": n + 1, "by": name},
                                                                requester=name))
                    except ContextError as err:
                        assert str(err).startswith(("System Busy", "CAS Version Mismatch")), err
                        wait = retried(lambda: engine.report_conflict(name)).wait_ms
                        if wait != BLOCKED_WAIT:
                            if count < MAX_RETRIES:
                                count += 1
                            elif wait == 1:
                                mirror["holder"] = name
                        time.sleep(wait / 1000)
                        continue
                    successes.append(name)
                    if mirror["holder"] == name:
                        mirror["holder"] = None
                    count = 0
                    retried(lambda: engine.report_success(name))
                    break
        except BaseException as err:  # noqa: B036 - reported by the main thread
            errors.append(err)

    threads = [threading.Thread(target=run, args=(f"p{k}",)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(successes) == THREADS * SUCCESSES
    assert engine.state.data["counter"] == THREADS * SUCCESSES
    assert engine.state.version == THREADS * SUCCESSES + 1
