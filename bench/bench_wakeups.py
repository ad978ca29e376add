"""Asynchronous receives at scale: one publish waking many pending
recv_async calls, and withdrawing many pending receives in either order."""
import asyncio
import statistics
import time

import olvex_core
from harness import row, show

WAITERS = (1_000, 10_000, 100_000)
WAKE_GOAL = 1.5  # cost per waiter at 100,000 over the cost at 1,000
CANCELS = 10_000
CANCEL_GOAL = 1.5  # per cancel, newest-first over oldest-first
ROUNDS = 5


def _wake_ns(n):
    """ns per waiter of one publish that completes n pending receives, one
    on each of n receivers."""
    hub = olvex_core.SignalHub()
    receivers = [hub.subscribe() for _ in range(n)]

    async def once():
        futures = [rx.recv_async() for rx in receivers]
        t0 = time.perf_counter_ns()
        hub.publish("x")
        elapsed = time.perf_counter_ns() - t0
        await asyncio.gather(*futures)
        return elapsed / n

    async def rounds():
        return [await once() for _ in range(ROUNDS if n < 100_000 else 3)]

    return min(asyncio.run(rounds()))


def _cancel_ns(newest_first):
    """ns per cancel of CANCELS pending receives on one receiver."""
    hub = olvex_core.SignalHub()
    rx = hub.subscribe()

    async def once():
        futures = [rx.recv_async() for _ in range(CANCELS)]
        order = reversed(futures) if newest_first else futures
        t0 = time.perf_counter_ns()
        for f in order:
            f.cancel()
        await asyncio.sleep(0)  # the done-callbacks withdraw the receives
        elapsed = time.perf_counter_ns() - t0
        assert hub.publish("after") == 1
        assert await rx.recv_async() == "after"  # nothing was left queued ahead
        return elapsed / CANCELS

    async def rounds():
        return [await once() for _ in range(ROUNDS)]

    return min(asyncio.run(rounds()))


def rows():
    out = []
    wake = {n: _wake_ns(n) for n in WAITERS}
    for n in WAITERS:
        last = n == WAITERS[-1]
        out.append(row(f"publish waking {n:,} pending recv_async, per waiter", wake[n],
                       ratio=wake[n] / wake[WAITERS[0]] if last else None,
                       goal_ratio=WAKE_GOAL if last else None,
                       note=f"ratio to {WAITERS[0]:,} waiters" if last else ""))
    oldest = _cancel_ns(False)
    newest = _cancel_ns(True)
    out.append(row(f"cancel {CANCELS:,} pending recv_async oldest-first, per cancel", oldest))
    out.append(row(f"cancel {CANCELS:,} pending recv_async newest-first, per cancel", newest,
                   ratio=newest / oldest, goal_ratio=CANCEL_GOAL, note="ratio to oldest-first"))
    return out


if __name__ == "__main__":
    show(rows())
