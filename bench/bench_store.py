"""SupervisorCore.read against dict.get on the same 1,000 keys."""
from harness import ns_pair, row

KEYS = 1000
GOAL_RATIO = 4


def rows():
    from olvex_core import SupervisorCore

    d = {f"key{i}": object() for i in range(KEYS)}
    store = SupervisorCore()
    for k, v in d.items():
        store.write(k, v)
    key = "key500"
    read, get = store.read, d.get
    assert read(key) is get(key)
    base, cost = ns_pair(lambda: get(key), lambda: read(key))
    return [
        row(f"SupervisorCore.read, {KEYS:,} keys", cost, ratio=cost / base, goal_ratio=GOAL_RATIO,
            note=f"ratio to dict.get = {base:.0f} ns"),
    ]
