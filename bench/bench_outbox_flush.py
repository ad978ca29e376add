"""Many small flushes into one engine: each transaction flush moves one
message into the engine's outbox, which then holds one more. The engine's
buffer grows geometrically, so the 100th thousand flushes cost what the
first thousand did (ratio near 1; growth by one slot per flush makes it
about 100)."""
import time

import olvex_core
from harness import malloc_in_use, row, show

CHUNK, CHUNKS = 1_000, 100


def flushes():
    """(ns per add-and-flush over the first CHUNK flushes into a fresh
    engine, the same over the last CHUNK of CHUNK * CHUNKS, bytes the
    engine's outbox holds per message at the end)."""
    engine = olvex_core.OlvexEngine()
    tx = engine.transaction()
    msg = olvex_core.OutboxMsg("m", 1)
    add, flush = tx.outbox.add, tx.flush_outbox
    before = malloc_in_use()
    chunks = []
    for _ in range(CHUNKS):
        t0 = time.perf_counter_ns()
        for _ in range(CHUNK):
            add(msg)
            flush()
        chunks.append((time.perf_counter_ns() - t0) / CHUNK)
    held = malloc_in_use() - before
    assert engine.outbox.len() == CHUNK * CHUNKS
    return chunks[0], chunks[-1], held / (CHUNK * CHUNKS)


def rows():
    runs = [flushes() for _ in range(3)]
    first = min(r[0] for r in runs)  # noise only ever adds time
    last = min(r[1] for r in runs)
    per_message = runs[-1][2]
    return [
        row(f"tx.flush_outbox() of 1 message: the first {CHUNK:,} into one engine", first, note="reference"),
        row(f"tx.flush_outbox() of 1 message: the last {CHUNK:,} of {CHUNK * CHUNKS:,} into one engine", last,
            ratio=last / first, goal_ratio=4.0,
            note=f"ratio to the first {CHUNK:,}; the outbox then holds {per_message:.0f} bytes per message"),
    ]


if __name__ == "__main__":
    show(rows())
