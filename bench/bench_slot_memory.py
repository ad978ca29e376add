"""The memory a hub holds for messages it has overwritten: 128 publishes of
1 MB fill the ring, then 512 publishes of one character overwrite every slot
four times, for a receiver that never reads."""
import time

import olvex_core
from harness import malloc_in_use, row, show

BIG = 1 << 20


def rows():
    hub = olvex_core.SignalHub()
    rx = hub.subscribe()  # counted at every publish, never reads
    big, small = "x" * BIG, "y"
    before = malloc_in_use()
    for _ in range(128):
        hub.publish(big)
    full = malloc_in_use() - before
    t0 = time.perf_counter_ns()
    for _ in range(512):
        hub.publish(small)
    per_publish = (time.perf_counter_ns() - t0) / 512
    held = max(malloc_in_use() - before, 0)
    del rx
    return [
        row("publish of 1 char over slots that held 1 MB", per_publish, ratio=held / full, goal_ratio=0.01,
            note=f"held after: {held / 1e6:.2f} MB of the {full / 1e6:.0f} MB the full ring took (ratio)"),
    ]


if __name__ == "__main__":
    show(rows())
