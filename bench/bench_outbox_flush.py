"""Many small flushes into one engine: each transaction flush moves one
message into the engine's outbox, which then holds one more. The engine's
buffer grows geometrically, so a flush into an outbox that holds 100,000
messages costs about what one into a fresh outbox does (a few times at most:
the heap grows meanwhile); growth by one slot per flush copies the whole
buffer every time, hundreds of times the cost."""
import statistics
import time

import olvex_core
from harness import malloc_in_use, row, show

CHUNK, CHUNKS = 1_000, 100
GIVE_UP = 50  # three chunks in a row this many times the reference show the growth: the run stops


def fresh_engine():
    engine = olvex_core.OlvexEngine()
    tx = engine.transaction()
    msg = olvex_core.OutboxMsg("m", 1)
    return engine, tx.outbox.add, tx.flush_outbox, msg


def chunk_ns(add, flush, msg):
    t0 = time.perf_counter_ns()
    for _ in range(CHUNK):
        add(msg)
        flush()
    return (time.perf_counter_ns() - t0) / CHUNK


def reference_ns():
    """ns per add-and-flush over the first CHUNK flushes into a fresh engine."""
    return min(chunk_ns(*fresh_engine()[1:]) for _ in range(21))


def long_run(reference):
    """(ns per add-and-flush over the last chunks, flushes made, bytes the
    engine's outbox holds per message then)."""
    engine, add, flush, msg = fresh_engine()
    before = malloc_in_use()
    chunks = []
    while len(chunks) < CHUNKS:
        chunks.append(chunk_ns(add, flush, msg))
        if len(chunks) >= 3 and min(chunks[-3:]) > GIVE_UP * reference:
            break
    n = CHUNK * len(chunks)
    held = malloc_in_use() - before
    assert engine.outbox.len() == n
    return statistics.median(chunks[-3:]), n, held / n


def rows():
    reference = reference_ns()
    runs = [long_run(reference) for _ in range(3)]
    last, n, per_message = min(runs)  # noise only ever adds time
    reached = f"{n:,}" if n == CHUNK * CHUNKS else f"{n:,} (stopped: the growth shows)"
    return [
        row(f"tx.flush_outbox() of 1 message into a fresh engine (first {CHUNK:,})", reference, note="reference"),
        row(f"tx.flush_outbox() of 1 message into an outbox of {CHUNK * CHUNKS:,}", last,
            ratio=last / reference, goal_ratio=10.0,
            note=f"ratio to a fresh one; at {reached} messages the outbox holds {per_message:.0f} bytes each"),
    ]


if __name__ == "__main__":
    show(rows())
