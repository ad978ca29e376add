"""State.update: the cost of a new version against the size of the state,
against a pure-Python copy-on-write baseline, and with one nested merge."""
from harness import ns_per_call, row

SIZES = (100, 10_000, 100_000, 1_000_000)
FLAT_GOAL_RATIO = {100_000: 1.5, 1_000_000: 2.0}  # cost at N keys over the cost at 100
COW_SIZE = 100_000
SPEEDUP_GOAL = 1000  # over the pure-Python baseline at 100,000 keys
NESTED_GOAL_NS = 3_000


class CowState:
    """The baseline: what a pure-Python immutable state does per version:
    copy the dicts, merge, stamp the key versions, bump the version."""

    __slots__ = ("data", "key_versions", "version")

    def __init__(self, data, key_versions, version):
        self.data = data
        self.key_versions = key_versions
        self.version = version

    def update(self, data):
        n = self.version + 1
        new = dict(self.data)
        versions = dict(self.key_versions)
        for k, v in data.items():
            versions[k] = n
            old = new.get(k)
            new[k] = {**old, **v} if isinstance(old, dict) and isinstance(v, dict) else v
        return CowState(new, versions, n)


def _items(n):
    return {f"key{i}": i for i in range(n)}


def rows():
    from olvex_core import State

    out = []
    arg = {"fresh": 1}  # one key the state does not have
    cost = {}
    for n in SIZES:
        s = State(data=_items(n))
        cost[n] = ns_per_call(lambda: s.update(data=arg), number=100_000)
        goal = FLAT_GOAL_RATIO.get(n)
        out.append(
            row(
                f"State.update one new key, N={n:,}",
                cost[n],
                ratio=cost[n] / cost[SIZES[0]] if goal else None,
                goal_ratio=goal,
                note=f"ratio to N={SIZES[0]}" if goal else "",
            )
        )
        del s

    big = COW_SIZE
    items = _items(big)
    cow = CowState(items, dict.fromkeys(items, 1), 1)
    base_ns = ns_per_call(lambda: cow.update(arg), number=200)
    out.append(row(f"pure-Python copy-on-write update, N={big:,}", base_ns, note="reference"))
    out.append(
        row(
            f"State.update vs pure-Python COW, N={big:,}",
            cost[big],
            ratio=cost[big] / base_ns,
            goal_ratio=1 / SPEEDUP_GOAL,
            note=f"ratio to the baseline; goal {SPEEDUP_GOAL}x faster ({base_ns / cost[big]:.0f}x)",
        )
    )

    nested = dict(items, nested={"a": 1, "b": {"c": 2}, "d": [3], "e": "x"})
    s = State(data=nested)
    merge = {"nested": {"a": 2}}
    nested_ns = ns_per_call(lambda: s.update(data=merge), number=100_000)
    out.append(
        row(f"State.update one nested-dict merge, N={big:,}", nested_ns, goal_ns=NESTED_GOAL_NS)
    )
    return out


if __name__ == "__main__":
    for r in rows():
        extra = "" if r["ratio"] is None else f"  ratio {r['ratio']:.3f} (goal <= {r['goal_ratio']:.3f})"
        print(f"{r['name']:<48} {r['ns_per_call']:10.1f} ns{extra}")
