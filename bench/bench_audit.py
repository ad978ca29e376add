"""AuditSystem.log on a full shared ring against a bounded deque of
timestamped tuples, the pure-Python way to keep the same log."""
import collections
import time

from harness import ns_pair, row

CAPACITY = 1000
GOAL_NS = 300
GOAL_RATIO = 1.5


def rows():
    from olvex_core import AuditSystem

    # The first system of the process makes the shared ring.
    audit = AuditSystem(capacity=CAPACITY)
    log = audit.log
    key, message = "payments", "charge declined by the gateway"
    for _ in range(CAPACITY):
        log(key, message)
    assert audit.ring_buffer_len == CAPACITY, "another system made the ring first"

    dq = collections.deque(maxlen=CAPACITY)
    now = time.time
    base, cost = ns_pair(lambda: dq.append((now(), key, message)), lambda: log(key, message))
    return [
        row(f"AuditSystem.log, full ring of {CAPACITY:,}", cost, goal_ns=GOAL_NS, ratio=cost / base,
            goal_ratio=GOAL_RATIO, note=f"ratio to deque(maxlen).append((time.time(), k, m)) = {base:.0f} ns"),
    ]
