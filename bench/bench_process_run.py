"""The demo's whole road of one process run on a running loop: a
transaction, entering it, execute_process_async, the await, the exit and
process_outbox to a no-op worker. The synchronous process's road is shown
without the time spent in asyncio.to_thread (the hop to the executor thread
and back: the time around the await less the body timed inside it); the
async def process has no such hop."""
import asyncio
import gc
import os
import statistics
import threading
import time

from harness import row, show

SYNC_REST_GOAL_NS = 25_000
ASYNC_ROAD_GOAL_NS = 20_000
WARMUP = 300
RUNS = 3_000

now = time.perf_counter_ns


def domain_state(n_keys=100):
    data = {f"key{i}": i for i in range(n_keys - 1)}
    data["domain"] = {"orders": {"count": 0, "last": None}, "status": "idle"}
    return data


class Body:
    """The process: a child read, one write below the root, one message;
    it times itself."""

    def __init__(self, OutboxMsg):
        self.msg = OutboxMsg("order", None)
        self.ns = 0

    def sync(self, ctx):
        t0 = now()
        orders = ctx.domain["orders"]
        orders["count"] = orders["count"] + 1
        ctx.outbox.add(self.msg)
        self.ns = now() - t0

    async def coro(self, ctx):
        orders = ctx.domain["orders"]
        orders["count"] = orders["count"] + 1
        ctx.outbox.add(self.msg)


async def timed_runs(engine, func, body, runs):
    """Per run: (whole road, time in asyncio.to_thread) in ns."""
    out = []
    for _ in range(runs):
        t0 = now()
        with engine.transaction() as tx:
            pending = engine.execute_process_async("p", func, tx)
            a0 = now()
            await pending
            a1 = now()
        engine.process_outbox()
        t1 = now()
        out.append((t1 - t0, a1 - a0 - body.ns))
    return out


def road(func_name):
    from olvex_core import OlvexEngine, OutboxMsg, State

    engine = OlvexEngine()
    engine.commit_state(State(data=domain_state()))
    engine.attach_worker(lambda msg: None)
    body = Body(OutboxMsg)
    func = getattr(body, func_name)

    async def main():
        await timed_runs(engine, func, body, WARMUP)
        gc.collect()
        gc.disable()
        try:
            return await timed_runs(engine, func, body, RUNS)
        finally:
            gc.enable()

    return asyncio.run(main())


def quiet_stderr(fn):
    """Runs fn with descriptor 2 on /dev/null: the outbox writes a debug
    line per message."""
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 2)
        return fn()
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


def measure(one_cpu=False):
    box = {}

    def run():
        if one_cpu:
            # The loop's thread and the executor threads it starts share one
            # CPU: the same road without the traffic between cores that the
            # hop to another thread brings.
            os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})
        box["sync"] = road("sync")
        box["async"] = road("coro")

    # A new thread starts with an empty current-transaction slot; its CPU
    # mask is its own.
    t = threading.Thread(target=lambda: quiet_stderr(run))
    t.start()
    t.join()
    return box["sync"], box["async"]


def split(runs):
    """Medians of the whole road, of the time in asyncio.to_thread and of
    the rest."""
    return (statistics.median(total for total, _ in runs), statistics.median(hop for _, hop in runs),
            statistics.median(total - hop for total, hop in runs))


def rows():
    sync_runs, async_runs = measure()
    whole, hop, rest = split(sync_runs)
    async_whole = split(async_runs)[0]
    pinned_whole, pinned_hop, pinned_rest = split(measure(one_cpu=True)[0])
    return [
        row("process run, sync process: whole road less asyncio.to_thread", rest, goal_ns=SYNC_REST_GOAL_NS,
            note=f"median whole road {whole / 1000:.1f} us, of which asyncio.to_thread {hop / 1000:.1f} us"),
        row("process run, async def process: whole road", async_whole, goal_ns=ASYNC_ROAD_GOAL_NS),
        row("process run, sync process on one CPU: less asyncio.to_thread", pinned_rest,
            note=f"reference; whole road {pinned_whole / 1000:.1f} us, of which asyncio.to_thread "
                 f"{pinned_hop / 1000:.1f} us"),
    ]


if __name__ == "__main__":
    show(rows())
