"""MemoryRegistry: logging allocations, the zombie scan over the registry
file, cleanup(), and the file lock shared by appends and scans. Every test
runs in its own working directory; segments are removed at teardown."""
import fcntl
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import olvex_core
from registry_support import (NOTHING, REG, SUCCESS, dead_pid, gc, record, segment_exists,  # noqa: F401
                              segments, workdir)

MemoryRegistry = olvex_core.shm.MemoryRegistry


OWNERS = {"self": os.getpid, "live": os.getppid}

# Each entry: a record (segment key, owner, segment size or None for no
# segment) or a raw line. `after` lists the entries expected in the file
# after the scan (None: byte for byte unchanged); `gone` the segments
# expected removed.
SCANS = [
    ("empty file", [], NOTHING, None, []),
    ("own and live records", [("a", "self", 16), ("b", "live", 16)], NOTHING, None, []),
    ("a reaped child's segment goes", [("a", "self", 16), ("d", "dead", 16), ("b", "live", 0)],
     gc(3, 2, 1) + SUCCESS, [0, 2], ["d"]),
    ("a size-0 segment goes too", [("z", "dead", 0)], gc(1, 0, 1) + SUCCESS, [], ["z"]),
    ("a dead record without a segment is dropped", [("n", "dead", None), ("a", "live", None)],
     gc(2, 1, 1) + SUCCESS, [1], []),
    ("invalid lines go, no segment touched", [("a", "live", 16), "\n", "{oops\n", '{"name":"x","pid":-1}\n',
                                              ("b", "self", 16)], gc(5, 2, 0) + SUCCESS, [0, 4], []),
    ("a segment a kept record names stays", [("s", "dead", 16), ("s", "live", None)], gc(2, 1, 1) + SUCCESS,
     [1], []),
]


def build(entries, segments, dead_pid):
    lines = []
    for e in entries:
        if isinstance(e, str):
            lines.append(e)
            continue
        key, owner, size = e
        name = segments(key, size) if size is not None and not segment_exists(segments.name(key)) \
            else segments.name(key)
        pid = dead_pid if owner == "dead" else OWNERS[owner]()
        lines.append(record(name, pid))
    return lines


@pytest.mark.parametrize("label, entries, err, after, gone", SCANS, ids=[s[0] for s in SCANS])
def test_scan(workdir, segments, dead_pid, capfd, label, entries, err, after, gone):
    lines = build(entries, segments, dead_pid)
    (workdir / REG).write_text("".join(lines))
    capfd.readouterr()
    MemoryRegistry("s").scan_zombies()  # construction scans; the second scan finds nothing to do
    out, errtext = capfd.readouterr()
    assert out == ""
    assert errtext == err + NOTHING
    expected = "".join(lines) if after is None else "".join(lines[i] for i in after)
    assert (workdir / REG).read_text() == expected
    for e in entries:
        if isinstance(e, tuple) and e[2] is not None:
            assert segment_exists(segments.name(e[0])) == (e[0] not in gone), e[0]
    assert os.listdir(workdir) == [REG]


def test_survivors_are_rewritten_in_the_written_form(workdir, dead_pid, capfd):
    me = os.getpid()
    (workdir / REG).write_text(
        f'["arr",{me},"s1",64,0.0]\n'
        f'{{"extra":[1],"ts":2.5,"size":1,"session":"s2","pid":{me},"name":"obj"}}\n'
        f'{{"name":"f","pid":{me}.0,"session":"s","size":1,"ts":0}}\n'
        + record("d", dead_pid))
    MemoryRegistry("s")
    assert capfd.readouterr().err == gc(4, 2, 1) + SUCCESS
    assert (workdir / REG).read_text() == (
        f'{{"name":"arr","pid":{me},"session":"s1","size":64,"ts":0.0}}\n'
        f'{{"name":"obj","pid":{me},"session":"s2","size":1,"ts":2.5}}\n')


def test_no_file_means_nothing_printed_or_created(workdir, capfd):
    r = MemoryRegistry("s")
    r.scan_zombies()
    r.cleanup()
    assert capfd.readouterr() == ("", "")
    assert os.listdir(workdir) == []


def test_log_allocation_appends_one_line_per_call(workdir, capfd):
    r = MemoryRegistry("sess")
    r.log_allocation("a", 1)
    r.log_allocation("a", 1)
    r.log_allocation(name='odd "name"\nwith a line feed', size=2**64 - 1)
    me = os.getpid()
    text = (workdir / REG).read_text()
    assert text == (f'{{"name":"a","pid":{me},"session":"sess","size":1,"ts":0.0}}\n' * 2 +
                    f'{{"name":"odd \\"name\\"\\nwith a line feed","pid":{me},"session":"sess",'
                    f'"size":18446744073709551615,"ts":0.0}}\n')
    assert oct((workdir / REG).stat().st_mode & 0o777) == oct(0o666 & ~_umask())
    r.scan_zombies()  # every line reads back as a record of this process
    assert capfd.readouterr() == ("", NOTHING)
    assert (workdir / REG).read_text() == text


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_cleanup_unlinks_logged_segments_and_leaves_the_file(workdir, segments, capfd):
    a, b = segments("a"), segments("b", 0)
    prefix = segments("p")
    r = MemoryRegistry("s")
    for name in (a, b, a, prefix + "\0tail", prefix + "/x", ".."):
        r.log_allocation(name, 1)
    before = (workdir / REG).read_text()
    r.cleanup()
    assert not segment_exists(a) and not segment_exists(b)
    assert segment_exists(prefix), "a name with a NUL must not unlink its prefix"
    assert (workdir / REG).read_text() == before
    r.cleanup()  # nothing left to unlink: passed over
    MemoryRegistry("s")
    assert capfd.readouterr().err == NOTHING  # own records stay


def test_class_surface():
    import inspect
    cls = MemoryRegistry
    assert cls.__module__ == "builtins" and cls.__doc__ is None
    assert str(inspect.signature(cls)) == "(session_id)"
    assert [n for n in vars(cls) if not n.startswith("__")] == ["scan_zombies", "log_allocation", "cleanup"]
    for name, sig in [("scan_zombies", "()"), ("log_allocation", "(name, size)"), ("cleanup", "()")]:
        method = getattr(cls, name)
        assert method.__doc__ is None and str(inspect.signature(getattr(cls("s"), name))) == sig
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(cls("s"), "__dict__")


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: MemoryRegistry(1), TypeError, "argument 'session_id': 'int' object cannot be converted to 'PyString'"),
        (lambda: MemoryRegistry(), TypeError, "missing 1 required positional argument: 'session_id'"),
        (lambda: MemoryRegistry("s").log_allocation(b"a", 1), TypeError,
         "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: MemoryRegistry("s").log_allocation("a", "1"), TypeError,
         "argument 'size': 'str' object cannot be interpreted as an integer"),
        (lambda: MemoryRegistry("s").log_allocation("a", -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: MemoryRegistry("s").log_allocation("a", 2**64), OverflowError, None),
        (lambda: MemoryRegistry("s").scan_zombies(1), TypeError, "takes 0 positional arguments"),
        (lambda: MemoryRegistry("s").cleanup(x=1), TypeError, "unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors(workdir, call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message:
        assert message in str(info.value)
    if exc is OverflowError:
        assert "argument" not in str(info.value)
    assert not (workdir / REG).exists()


@pytest.mark.parametrize("kind", ["directory", "fifo"])
def test_registry_path_that_is_not_a_file(workdir, capfd, kind):
    if kind == "directory":
        os.mkdir(REG)
    else:
        os.mkfifo(REG)
    r = MemoryRegistry("s")  # neither blocks nor reads
    r.scan_zombies()
    r.log_allocation("a", 1)
    reason = "Is a directory" if kind == "directory" else "Invalid argument"
    assert capfd.readouterr() == ("", f"[OlvexCore] Registry ERROR: Failed to append to reg file: {reason}\n")


def _holding_lock(path):
    fd = os.open(path, os.O_RDWR | os.O_CREAT)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


@pytest.mark.parametrize("call", ["log_allocation", "scan_zombies"])
def test_busy_lock_is_waited_for_without_the_gil(workdir, dead_pid, capfd, call):
    reg = MemoryRegistry("s")  # no file yet: no scan
    (workdir / REG).write_text(record("d", dead_pid))
    holder = _holding_lock(REG)
    released = []

    def release():
        time.sleep(0.2)
        released.append(time.monotonic())  # runs only if the waiting call let go of the GIL
        os.close(holder)

    t = threading.Thread(target=release)
    t.start()
    getattr(reg, call)(*(("a", 1) if call == "log_allocation" else ()))
    done = time.monotonic()
    t.join()
    assert released and released[0] <= done
    text = (workdir / REG).read_text()
    if call == "log_allocation":
        assert text == record("d", dead_pid) + record("a", os.getpid(), size=1)
    else:
        assert text == "" and capfd.readouterr().err == gc(1, 0, 1) + SUCCESS


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("raises", [True, False])
def test_signal_during_the_wait_runs_handlers(workdir, raises):
    reg = MemoryRegistry("s")
    holder = _holding_lock(REG)
    seen = []

    def handler(signum, frame):
        seen.append(signum)
        if raises:
            raise Interrupted

    old = signal.signal(signal.SIGALRM, handler)
    main = threading.main_thread().ident

    def poke():
        time.sleep(0.2)
        signal.pthread_kill(main, signal.SIGALRM)
        if not raises:
            time.sleep(0.1)
            os.close(holder)

    t = threading.Thread(target=poke)
    t.start()
    try:
        if raises:
            with pytest.raises(Interrupted):
                reg.log_allocation("a", 1)
        else:
            reg.log_allocation("a", 1)
    finally:
        t.join()
        signal.signal(signal.SIGALRM, old)
        if raises:
            os.close(holder)
    assert seen == [signal.SIGALRM]
    assert (workdir / REG).read_text() == ("" if raises else record("a", os.getpid(), size=1))


def _append_locked(line):
    fd = os.open(REG, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        os.write(fd, line.encode())
        time.sleep(0.0005)  # hold the lock with the GIL released
    finally:
        os.close(fd)


def _check_survivors(text, expected_names):
    names = []
    for line in text.splitlines(keepends=True):
        assert line.endswith("\n")
        names.append(json.loads(line)["name"])  # whole lines only
    assert sorted(n for n in names if not n.startswith("dead")) == sorted(expected_names)


def test_threads_appending_while_others_scan_lose_no_line(workdir, dead_pid, capfd):
    reg = MemoryRegistry("s")
    stop = threading.Event()
    errors = []

    def appender(i):
        try:
            for k in range(150):
                reg.log_allocation(f"t{i}-{k}", k)
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    def scanner(i):
        k = 0
        while not stop.is_set():
            _append_locked(record(f"dead-{i}-{k}", dead_pid))  # gives every scan a rewrite
            reg.scan_zombies()
            k += 1

    appenders = [threading.Thread(target=appender, args=(i,)) for i in range(4)]
    scanners = [threading.Thread(target=scanner, args=(i,)) for i in range(2)]
    for t in scanners + appenders:
        t.start()
    for t in appenders:
        t.join()
    stop.set()
    for t in scanners:
        t.join()
    assert not errors
    _check_survivors((workdir / REG).read_text(), [f"t{i}-{k}" for i in range(4) for k in range(150)])
    assert "Cleanup SUCCESS" in capfd.readouterr().err


CHILD = textwrap.dedent("""
    import sys
    from olvex_core import shm
    i, dead = int(sys.argv[1]), int(sys.argv[2])
    r = shm.MemoryRegistry(f"p{i}")
    for k in range(100):
        r.log_allocation(f"p{i}-{k}", k)
        if k % 10 == 0:
            r.scan_zombies()
    print("done", flush=True)
    sys.stdin.read()   # stay alive until every child is done, so no one's records are dropped
""")


def test_processes_appending_while_others_scan_lose_no_line(workdir, dead_pid):
    children = [subprocess.Popen([sys.executable, "-c", CHILD, str(i), str(dead_pid)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, cwd=workdir)
                for i in range(4)]
    try:
        for k in range(40):
            _append_locked(record(f"dead-{k}", dead_pid))
            time.sleep(0.005)
        for c in children:
            assert c.stdout.readline() == "done\n"
        text = (workdir / REG).read_text()
    finally:
        for c in children:
            c.stdin.close()
            c.wait(timeout=30)
            c.stdout.close()
    _check_survivors(text, [f"p{i}-{k}" for i in range(4) for k in range(100)])
