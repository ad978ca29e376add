"""FrozenDict reads against the same reads through types.MappingProxyType
over the same dict, measured in the same run."""
import statistics
import time
import timeit
import types

REPEATS = 5
NUMBER = 200_000
GOAL_RATIO = 1.5


def _ns_per_call(stmt, env):
    timer = timeit.Timer(stmt, timer=time.perf_counter_ns, globals=env)
    runs = [timer.timeit(NUMBER) / NUMBER for _ in range(REPEATS)]
    return statistics.median(runs)


def rows():
    import olvex_core

    data = {f"key{i}": i for i in range(1000)}
    env = {
        "view": olvex_core.FrozenDict(data),
        "proxy": types.MappingProxyType(data),
        "key": "key500",
        "missing": "absent",
    }
    cases = [
        ("item read", "view[key]", "proxy[key]"),
        ("get (present)", "view.get(key)", "proxy.get(key)"),
        ("get (absent, default)", "view.get(missing, 0)", "proxy.get(missing, 0)"),
    ]
    out = []
    for label, ours, reference in cases:
        ref_ns = _ns_per_call(reference, env)
        our_ns = _ns_per_call(ours, env)
        out.append(
            {
                "name": f"MappingProxyType {label}",
                "ns_per_call": ref_ns,
                "goal_ns": None,
                "ratio": None,
                "goal_ratio": None,
                "note": "reference",
            }
        )
        out.append(
            {
                "name": f"FrozenDict {label}",
                "ns_per_call": our_ns,
                "goal_ns": None,
                "ratio": our_ns / ref_ns,
                "goal_ratio": GOAL_RATIO,
                "note": "ratio to MappingProxyType in the same run",
            }
        )
    return out


if __name__ == "__main__":
    for row in rows():
        ratio = "" if row["ratio"] is None else f"  x{row['ratio']:.2f} (goal <= {row['goal_ratio']})"
        print(f"{row['name']:<40} {row['ns_per_call']:8.1f} ns{ratio}")
