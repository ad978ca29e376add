"""AuditSystem.log on a full shared ring against a bounded deque of
timestamped tuples, the pure-Python way to keep the same log."""
import collections
import time

from harness import ns_per_call, row

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
    base = ns_per_call(lambda: dq.append((now(), key, message)))
    cost = ns_per_call(lambda: log(key, message))
    return [
        row(f"AuditSystem.log, full ring of {CAPACITY:,}", cost, goal_ns=GOAL_NS, ratio=cost / base,
            goal_ratio=GOAL_RATIO, note=f"ratio to deque(maxlen).append((time.time(), k, m)) = {base:.0f} ns"),
    ]
