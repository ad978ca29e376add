"""MemoryRegistry among other users and processes: the scan rewrites the
file in place as its permissions allow (owner, mode and links stay), a
process of another user counts as alive, a forked child never keeps the
file lock, and an appender keeps pace beside a process that scans in a
loop. Another user is uid 65534 in a forked child when the suite runs as
root; without root the child stays this user."""
import json
import os
import pathlib
import select
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import traceback
import warnings

import pytest

import olvex_core
from registry_support import REG, SUCCESS, dead_pid, gc, record, segment_exists, segments, workdir  # noqa: F401

MemoryRegistry = olvex_core.shm.MemoryRegistry

NOBODY = 65534
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="dropping to another uid needs root")
DENIED = "[OlvexCore] Cleanup ERROR: Failed to create reg file: Permission denied\n"


@pytest.fixture
def shared_dir(monkeypatch):
    """A working directory that another user can reach (pytest's own are private)."""
    d = pathlib.Path(tempfile.mkdtemp(prefix="olvex-registry-", dir="/tmp"))
    d.chmod(0o777)
    monkeypatch.chdir(d)
    yield d
    d.chmod(0o700)
    shutil.rmtree(d)


def _fork():
    with warnings.catch_warnings():
        # Threads of earlier tests may still run; the child only runs its steps.
        warnings.simplefilter("ignore", DeprecationWarning)
        return os.fork()


class OtherUser:
    """A forked child, as another user, that runs steps[i]() each time it is
    called with i and answers with the result."""

    def __init__(self, *steps):
        down_r, down_w = os.pipe()
        up_r, up_w = os.pipe()
        self.pid = _fork()
        if self.pid == 0:
            status = 1
            try:
                os.close(down_w)
                os.close(up_r)
                if os.geteuid() == 0:
                    os.setgroups([])
                    os.setgid(NOBODY)
                    os.setuid(NOBODY)
                with os.fdopen(down_r) as orders, os.fdopen(up_w, "w") as answers:
                    for order in orders:
                        answers.write(json.dumps(steps[int(order)]()) + "\n")
                        answers.flush()
                status = 0
            except BaseException:
                traceback.print_exc()
            finally:
                os._exit(status)
        os.close(down_r)
        os.close(up_w)
        self._orders = os.fdopen(down_w, "w")
        self._answers = os.fdopen(up_r)

    def __call__(self, i):
        self._orders.write(f"{i}\n")
        self._orders.flush()
        answer = self._answers.readline()
        assert answer, "the child failed"
        return json.loads(answer)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._orders.close()
        _, status = os.waitpid(self.pid, 0)
        self._answers.close()
        assert status == 0


def scan():
    MemoryRegistry("other")


def test_rewrite_keeps_owner_mode_and_links(shared_dir, dead_pid, capfd):
    reg = shared_dir / REG
    reg.write_text(record("d", dead_pid) + record("mine", os.getpid()))
    reg.chmod(0o640)
    if os.geteuid() == 0:
        os.chown(reg, NOBODY, NOBODY)
    os.link(reg, "twin")
    before = reg.stat()
    capfd.readouterr()
    MemoryRegistry("s")
    assert capfd.readouterr().err == gc(2, 1, 1) + SUCCESS
    after = reg.stat()
    assert (after.st_ino, after.st_uid, after.st_gid, after.st_mode, after.st_nlink) == \
        (before.st_ino, before.st_uid, before.st_gid, before.st_mode, 2)
    assert (shared_dir / "twin").read_text() == record("mine", os.getpid())
    assert sorted(os.listdir(shared_dir)) == [REG, "twin"]


@needs_root
def test_another_users_scan_loses_none_of_the_owners_records(shared_dir, dead_pid, capfd, watchdog):
    watchdog(60)
    theirs = {}

    def first():
        os.umask(0o022)
        theirs["r"] = MemoryRegistry("theirs")
        theirs["r"].log_allocation("theirs-1", 1)
        return os.getpid()

    def second():
        theirs["r"].log_allocation("theirs-2", 2)

    capfd.readouterr()
    with OtherUser(first, second) as other:
        pid = other(0)
        with open(REG, "a") as f:
            f.write(record("d", dead_pid))
        MemoryRegistry("root")  # rewrites the file of uid 65534
        other(1)
        text = (shared_dir / REG).read_text()
    assert text == record("theirs-1", pid, "theirs", 1) + record("theirs-2", pid, "theirs", 2)
    st = (shared_dir / REG).stat()
    assert (st.st_uid, st.st_mode & 0o777) == (NOBODY, 0o644)
    assert capfd.readouterr().err == gc(2, 1, 1) + SUCCESS


# The directory's and the file's modes; whether the other user's scan
# rewrites the file (in place) or reports that it may not.
PERMISSIONS = [
    ("a 0666 file in a directory the scanner cannot write", 0o555, 0o666, True),
    ("a 0444 file in a directory the scanner can write", 0o777, 0o444, False),
]


@pytest.mark.parametrize("label, dir_mode, file_mode, cleaned", PERMISSIONS, ids=[p[0] for p in PERMISSIONS])
def test_scan_writes_as_the_file_permits(shared_dir, dead_pid, capfd, watchdog, label, dir_mode, file_mode, cleaned):
    watchdog(60)
    reg = shared_dir / REG
    content = record("d", dead_pid) + record("live", os.getpid())
    reg.write_text(content)
    reg.chmod(file_mode)
    shared_dir.chmod(dir_mode)
    before = reg.stat()
    capfd.readouterr()
    with OtherUser(scan) as other:
        other(0)
    assert capfd.readouterr().err == gc(2, 1, 1) + (SUCCESS if cleaned else DENIED)
    assert reg.read_text() == (record("live", os.getpid()) if cleaned else content)
    after = reg.stat()
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
    assert os.listdir(shared_dir) == [REG]


@needs_root
def test_a_process_of_another_user_counts_as_alive(shared_dir, dead_pid, segments, capfd, watchdog):
    watchdog(60)
    sleeper = subprocess.Popen(["sleep", "60"])  # root's: kill(pid, 0) from uid 65534 fails with EPERM
    try:
        seg = segments("theirs")
        os.chown("/dev/shm" + seg, NOBODY, NOBODY)  # so that a wrong verdict could unlink it
        reg = shared_dir / REG
        reg.write_text(record(seg, sleeper.pid) + record("d", dead_pid))
        reg.chmod(0o666)
        capfd.readouterr()
        with OtherUser(scan) as other:
            other(0)
        assert capfd.readouterr().err == gc(2, 1, 1) + SUCCESS
        assert reg.read_text() == record(seg, sleeper.pid)
        assert segment_exists(seg)
    finally:
        sleeper.kill()
        sleeper.wait()


PEER = textwrap.dedent("""
    import fcntl, os, sys
    from olvex_core import shm
    for order in sys.stdin:
        order = order.strip()
        if order == "lock":
            fd = os.open(sys.argv[1], os.O_RDWR)
            fcntl.flock(fd, fcntl.LOCK_EX)
        elif order == "unlock":
            os.close(fd)
        elif order == "registry":
            shm.MemoryRegistry("peer")
        print("ok", flush=True)
""")


def _answer(proc, timeout):
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    return proc.stdout.readline() if ready else None


def _lock_waiters(inode):
    with open("/proc/locks") as f:
        return sum(1 for line in f if "->" in line and f":{inode} " in line)


def test_a_child_forked_during_the_lock_wait_does_not_keep_the_lock(workdir, watchdog):
    watchdog(60)
    reg = workdir / REG
    reg.write_text(record("mine", os.getpid()))
    peer = subprocess.Popen([sys.executable, "-c", PEER, str(reg)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, cwd=workdir)
    release_r, release_w = os.pipe()
    child = None
    try:
        peer.stdin.write("lock\n")
        peer.stdin.flush()
        assert _answer(peer, 30) == "ok\n"
        waiter = threading.Thread(target=MemoryRegistry, args=("waiter",))
        waiter.start()
        deadline = time.monotonic() + 30
        while _lock_waiters(reg.stat().st_ino) == 0:
            assert time.monotonic() < deadline, "the scan never waited for the lock"
            time.sleep(0.01)
        child = _fork()  # while the scan waits in flock without the GIL
        if child == 0:
            try:
                os.read(release_r, 1)
            finally:
                os._exit(0)
        peer.stdin.write("unlock\n")
        peer.stdin.flush()
        assert _answer(peer, 30) == "ok\n"
        waiter.join(30)
        assert not waiter.is_alive()
        peer.stdin.write("registry\n")
        peer.stdin.flush()
        assert _answer(peer, 1.0) == "ok\n", "the forked child still holds the registry lock"
        inherited = [os.readlink(f"/proc/{child}/fd/{fd}") for fd in os.listdir(f"/proc/{child}/fd")]
        assert str(reg) not in inherited
    finally:
        os.write(release_w, b"x")
        if child:
            os.waitpid(child, 0)
        os.close(release_r)
        os.close(release_w)
        peer.stdin.close()
        peer.wait(30)
        peer.stdout.close()


SCANNER = textwrap.dedent("""
    import fcntl, json, os, sys
    from olvex_core import shm
    dead = int(sys.argv[1])
    r = shm.MemoryRegistry("scanner")
    k = 0
    while not os.path.exists("stop"):
        fd = os.open(".olvex_memory_registry.jsonl", os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
        fcntl.flock(fd, fcntl.LOCK_EX)
        os.write(fd, (json.dumps({"name": f"dead-{k}", "pid": dead, "session": "s", "size": 0, "ts": 0.0}) + "\\n").encode())
        os.close(fd)
        r.scan_zombies()  # rewrites every time
        if k == 0:
            print("scanning", flush=True)
        k += 1
""")

APPENDER = textwrap.dedent("""
    import sys
    from olvex_core import shm
    r = shm.MemoryRegistry("appender")
    for k in range(1500):
        r.log_allocation(f"a-{k}", k)
    print("done", flush=True)
    sys.stdin.read()  # alive until the file is checked, so its records stay
""")


def test_an_appender_beside_a_process_scanning_in_a_loop(workdir, dead_pid, watchdog):
    watchdog(120)
    run = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, cwd=workdir)
    scanner = subprocess.Popen([sys.executable, "-c", SCANNER, str(dead_pid)], **run)
    appender = None
    try:
        assert _answer(scanner, 30) == "scanning\n"
        appender = subprocess.Popen([sys.executable, "-c", APPENDER], **run)
        assert _answer(appender, 30) == "done\n", "1,500 appends did not finish beside the scanner"
        (workdir / "stop").touch()
        scanner.wait(30)
        lines = (workdir / REG).read_text().splitlines()
    finally:
        (workdir / "stop").touch()
        for p in filter(None, (scanner, appender)):
            p.stdin.close()
            p.wait(30)
            p.stdout.close()
    mine = [json.loads(line) for line in lines if line.startswith('{"name":"a-')]
    assert [(r["name"], r["pid"]) for r in mine] == [(f"a-{k}", appender.pid) for k in range(1500)]
