"""What a State holds in memory, each figure from a fresh interpreter so
that one measurement's garbage never counts in another's: the lineage held
after `.data` reads are dropped, a 1M-key State against a dict of the same
items, and the bytes one new version adds.

Memory is the process's resident set after a collection and malloc_trim(0),
so freed native nodes and dict tables handed back to the C allocator do not
count as held."""
import json
import os
import subprocess
import sys

from harness import row, show

LINEAGE_KEYS = 100_000
LINEAGE_VERSIONS = 31
LINEAGE_GOAL_MB = 10
BIG = 1_000_000
MEMORY_GOAL_RATIO = 2.0  # a 1M-key State over a dict of the same items
NEW_VERSIONS = 20_000
VERSION_GOAL_BYTES = 1024

_PRELUDE = r"""
import ctypes, gc, json, os, sys, time
from olvex_core import State
gc.disable()  # collections run only where rss() asks for one
_libc = ctypes.CDLL(None)
def rss():
    gc.collect()
    _libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
"""

_LINEAGE = r"""
base = {f"key{i}": i for i in range(KEYS)}
lineage = [State(data=base)]
for i in range(VERSIONS - 1):
    lineage.append(lineage[-1].update(data={"key0": -i}))
before = rss()
for s in lineage:
    s.data
held = rss() - before
copies = [dict(base) for _ in range(VERSIONS)]
copies_bytes = rss() - before - held
print(json.dumps({"held": held, "copies": copies_bytes}))
"""

_BIG = r"""
keys = [f"key{i}" for i in range(KEYS)]
values = [object() for _ in range(KEYS)]
new_values = [object() for _ in range(VERSIONS)]  # the versions' own bytes only
before = rss()
d = dict(zip(keys, values))
with_dict = rss()
t0 = time.perf_counter_ns()
s = State(data=d)
build_ns = time.perf_counter_ns() - t0
with_state = rss()
versions = []
cur = s
t0 = time.perf_counter_ns()
for i in range(VERSIONS):
    cur = cur.update(data={keys[i]: new_values[i]})
    versions.append(cur)
update_ns = time.perf_counter_ns() - t0
with_versions = rss()
print(json.dumps({"dict": with_dict - before, "state": with_state - with_dict, "build_ns": build_ns,
                  "versions": with_versions - with_state, "update_ns": update_ns}))
"""


def _measure(body, **names):
    code = _PRELUDE + "".join(f"{k} = {v!r}\n" for k, v in names.items()) + body
    env = dict(os.environ)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env)
    return json.loads(out.stdout)


def rows():
    lin = _measure(_LINEAGE, KEYS=LINEAGE_KEYS, VERSIONS=LINEAGE_VERSIONS)
    big = _measure(_BIG, KEYS=BIG, VERSIONS=NEW_VERSIONS)
    mb = 1e6
    per_version = big["versions"] / NEW_VERSIONS
    return [
        row(f"lineage of {LINEAGE_VERSIONS} x {LINEAGE_KEYS:,} keys, held after .data reads", 0.0,
            ratio=lin["held"] / mb / LINEAGE_GOAL_MB, goal_ratio=1.0,
            note=f"ratio to {LINEAGE_GOAL_MB} MB: {lin['held'] / mb:.1f} MB held; "
                 f"{LINEAGE_VERSIONS} dict copies take {lin['copies'] / mb:.0f} MB"),
        row(f"State(data=d) memory, N={BIG:,}", big["build_ns"] / BIG,
            ratio=big["state"] / big["dict"], goal_ratio=MEMORY_GOAL_RATIO,
            note=f"ratio to the dict: {big['state'] / mb:.0f} MB vs {big['dict'] / mb:.0f} MB; ns per key built"),
        row(f"bytes per new version, one key changed, N={BIG:,}", big["update_ns"] / NEW_VERSIONS,
            ratio=per_version / VERSION_GOAL_BYTES, goal_ratio=1.0,
            note=f"ratio to {VERSION_GOAL_BYTES} B: {per_version:.0f} B per version; ns per update"),
    ]


if __name__ == "__main__":
    show(rows())
