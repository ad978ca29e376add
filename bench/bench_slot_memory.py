"""The memory a hub holds for messages it has overwritten: 128 publishes of
1 MB fill the ring, then 512 publishes of one character overwrite every slot
four times, for a receiver that never reads."""
import ctypes
import time

import olvex_core
from harness import row, show

BIG = 1 << 20


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _in_use():
    """Bytes the C allocator has handed out and not had back."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rows():
    hub = olvex_core.SignalHub()
    rx = hub.subscribe()  # counted at every publish, never reads
    big, small = "x" * BIG, "y"
    before = _in_use()
    for _ in range(128):
        hub.publish(big)
    full = _in_use() - before
    t0 = time.perf_counter_ns()
    for _ in range(512):
        hub.publish(small)
    per_publish = (time.perf_counter_ns() - t0) / 512
    held = max(_in_use() - before, 0)
    del rx
    return [
        row("publish of 1 char over slots that held 1 MB", per_publish, ratio=held / full, goal_ratio=0.01,
            note=f"held after: {held / 1e6:.2f} MB of the {full / 1e6:.0f} MB the full ring took (ratio)"),
    ]


if __name__ == "__main__":
    show(rows())
