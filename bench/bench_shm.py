"""MemoryRegistry: one append against a Python anchor doing the same file
calls, the zombie scan over 10,000 and 1,000 records with 1% dead owners
against a Python anchor doing the same steps, and the scan of one line
with 150,000 unknown keys. Everything runs in a temporary directory; files
and segments are made outside the timed part."""
import contextlib
import fcntl
import json
import os
import statistics
import subprocess
import tempfile
import time
import timeit

import _posixshmem

from harness import REPEATS, row

REG = ".olvex_memory_registry.jsonl"
APPEND_GOAL_NS = 15_000
APPEND_GOAL_RATIO = 3.0
SCAN_GOAL_NS = 30e6
SCAN_SPEEDUP_GOAL = 3.0
SCALE_GOAL = 12.0
SCAN_RUNS = 7
MANY_KEYS = 150_000
MANY_KEYS_GOAL_NS = 0.5e9


def _line(name, pid, size=4096):
    return json.dumps({"name": name, "pid": pid, "session": "bench", "size": size, "ts": 0.0},
                      separators=(",", ":")) + "\n"


def _reaped_pid():
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


@contextlib.contextmanager
def _in_temporary_directory():
    cwd = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="olvex-bench-") as d:
        os.chdir(d)
        try:
            yield d
        finally:
            os.chdir(cwd)


@contextlib.contextmanager
def _quiet_stderr():
    """The scan prints its lines straight to descriptor 2; keep them out of the table."""
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def _direct_ns(stmt, names, number):
    t = timeit.Timer(stmt, globals=names)
    return statistics.median(t.timeit(number) for _ in range(REPEATS)) / number * 1e9


def append_rows():
    from olvex_core import shm

    line = _line("seg", os.getpid(), 64).encode()

    def anchor():
        fd = os.open(REG, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
        fcntl.flock(fd, fcntl.LOCK_EX)
        os.write(fd, line)
        os.close(fd)

    with _in_temporary_directory():
        reg = shm.MemoryRegistry("bench")  # no file yet: no scan
        reg.log_allocation("seg", 64)      # the registry exists from here on
        log = reg.log_allocation
        ours = _direct_ns("log('seg', 64)", {"log": log}, 20_000)
        os.unlink(REG)
        anchor()
        theirs = _direct_ns("anchor()", {"anchor": anchor}, 20_000)
    return [row("MemoryRegistry.log_allocation (existing file)", ours, goal_ns=APPEND_GOAL_NS, ratio=ours / theirs,
                goal_ratio=APPEND_GOAL_RATIO, note=f"ratio to os.open+flock+write+close ({theirs:.0f} ns)")]


def _python_scan():
    """The same steps in Python: lock, one /proc listing, json.loads per line,
    unlink the dead owners' segments, write survivors to a temporary file,
    fsync, replace."""
    fd = os.open(REG, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        present = {int(n) for n in os.listdir("/proc") if n.isdigit()}
        me = os.getpid()
        kept, dead = [], []
        with open(fd, "rb", closefd=False) as f:
            for raw in f:
                try:
                    rec = json.loads(raw)
                except ValueError:
                    continue
                if rec["pid"] == me or rec["pid"] in present:
                    kept.append(rec)
                else:
                    dead.append(rec["name"])
        names = {r["name"] for r in kept}
        for name in set(dead) - names:
            with contextlib.suppress(OSError):
                _posixshmem.shm_unlink(name)
        tmp = f"{REG}.{me}.tmp"
        out = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            os.write(out, "".join(json.dumps(r, separators=(",", ":")) + "\n" for r in kept).encode())
            os.fsync(out)
        finally:
            os.close(out)
        os.replace(tmp, REG)
    finally:
        os.close(fd)


def _scan_median(scan, records, dead_pid, tag):
    """Median time of scan() over a fresh file of `records` lines, 1% of
    them owned by a reaped child, each of those with its own segment."""
    live = os.getppid()
    n_dead = records // 100
    dead_names = [f"/{tag}-{i}" for i in range(n_dead)]
    step = records // n_dead
    times = []
    for _ in range(SCAN_RUNS):
        lines = []
        for i in range(records):
            if i % step == 0 and i // step < n_dead:
                lines.append(_line(dead_names[i // step], dead_pid))
            else:
                lines.append(_line(f"/{tag}-live-{i}", live))
        with open(REG, "w") as f:
            f.write("".join(lines))
        for name in dead_names:
            fd = _posixshmem.shm_open(name, os.O_CREAT | os.O_RDWR, 0o600)
            os.ftruncate(fd, 4096)
            os.close(fd)
        t0 = time.perf_counter_ns()
        scan()
        times.append(time.perf_counter_ns() - t0)
        left = [n for n in dead_names if _exists(n)]
        for name in left:
            _posixshmem.shm_unlink(name)
        assert not left, "the scan left dead owners' segments"
    return statistics.median(times)


def _exists(name):
    try:
        os.close(_posixshmem.shm_open(name, os.O_RDONLY, 0))
        return True
    except FileNotFoundError:
        return False


def scan_rows():
    from olvex_core import shm

    dead = _reaped_pid()
    tag = f"olvex-bench-{os.getpid()}"
    with _in_temporary_directory():
        reg = shm.MemoryRegistry("bench")
        with _quiet_stderr():
            big = _scan_median(reg.scan_zombies, 10_000, dead, tag)
            small = _scan_median(reg.scan_zombies, 1_000, dead, tag)
            anchor = _scan_median(_python_scan, 10_000, dead, tag)
    return [
        row("MemoryRegistry.scan_zombies (10,000 records, 1% dead)", big, goal_ns=SCAN_GOAL_NS,
            ratio=big / anchor, goal_ratio=1 / SCAN_SPEEDUP_GOAL,
            note=f"ratio to the Python scan ({anchor / 1e6:.1f} ms); rewrite and fsync included"),
        row("MemoryRegistry.scan_zombies (1,000 records, 1% dead)", small, ratio=big / small,
            goal_ratio=SCALE_GOAL, note="ratio: the 10,000-record figure over this one"),
    ]


def many_keys_rows():
    """One record of this process with MANY_KEYS unknown keys before its
    own (about 1.7 MB on one line): the scan holds the file lock while it
    checks them for repeats."""
    from olvex_core import shm

    extra = "".join(f'"k{i}":0,' for i in range(MANY_KEYS))
    line = "{" + extra + _line("seg", os.getpid())[1:]
    with _in_temporary_directory():
        with open(REG, "w") as f:
            f.write(line)
        with _quiet_stderr():
            reg = shm.MemoryRegistry("bench")
            times = []
            for _ in range(SCAN_RUNS):
                t0 = time.perf_counter_ns()
                reg.scan_zombies()
                times.append(time.perf_counter_ns() - t0)
    return [row(f"MemoryRegistry.scan_zombies (one line, {MANY_KEYS:,} unknown keys)", statistics.median(times),
                goal_ns=MANY_KEYS_GOAL_NS, note=f"{len(line) / 1e6:.1f} MB line, kept: no rewrite")]


def rows():
    return append_rows() + scan_rows() + many_keys_rows()
