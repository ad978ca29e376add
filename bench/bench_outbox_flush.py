"""Many small flushes into one engine: each transaction flush moves one
message into the engine's outbox, which then holds one more. The engine's
buffer grows geometrically, so a flush costs the same after 100,000 of them
as after 1,000 (ratio near 1; growth by one slot per flush makes it about
100)."""
import time

import olvex_core
from harness import malloc_in_use, row, show

SMALL, LARGE = 1_000, 100_000


def flushes(n):
    """(ns per add-and-flush over n of them into one fresh engine, bytes the
    engine's outbox holds per message)."""
    engine = olvex_core.OlvexEngine()
    tx = engine.transaction()
    msg = olvex_core.OutboxMsg("m", 1)
    add, flush = tx.outbox.add, tx.flush_outbox
    before = malloc_in_use()
    t0 = time.perf_counter_ns()
    for _ in range(n):
        add(msg)
        flush()
    ns = (time.perf_counter_ns() - t0) / n
    held = malloc_in_use() - before
    assert engine.outbox.len() == n
    return ns, held / n


def rows():
    small = min(flushes(SMALL)[0] for _ in range(21))
    large, per_message = min(flushes(LARGE) for _ in range(3))
    return [
        row(f"tx.flush_outbox() of 1 message, {SMALL:,} into one engine", small, note="reference"),
        row(f"tx.flush_outbox() of 1 message, {LARGE:,} into one engine", large, ratio=large / small,
            goal_ratio=2.0, note=f"ratio to {SMALL:,}; the outbox holds {per_message:.0f} bytes per message"),
    ]


if __name__ == "__main__":
    show(rows())
