"""The registry file's name, the scan's lines, the written form of a
record, and the working-directory, segment and dead-process fixtures, for the tests of
MemoryRegistry."""
import json
import os
import subprocess
import uuid

import _posixshmem
import pytest

REG = ".olvex_memory_registry.jsonl"
NOTHING = "[OlvexCore] Registry GC: No cleanup needed. All records alive?\n"
SUCCESS = "[OlvexCore] Cleanup SUCCESS. File rewritten.\n"


def gc(read, kept, dropped):
    return f"[OlvexCore] Registry GC: {read} lines read, {kept} kept ({dropped} dropped). Rewriting...\n"


def record(name, pid, session="s", size=8):
    return json.dumps({"name": name, "pid": pid, "session": session, "size": size, "ts": 0.0},
                      separators=(",", ":"), ensure_ascii=False) + "\n"


def segment_exists(name):
    try:
        fd = _posixshmem.shm_open(name, os.O_RDONLY, 0)
    except FileNotFoundError:
        return False
    os.close(fd)
    return True


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def segments():
    """make(key, size) creates a segment with a name unique to this test."""
    made = []
    tag = f"/olvex-pytest-{os.getpid()}-{uuid.uuid4().hex[:8]}"

    def make(key, size=16):
        name = f"{tag}-{key}"
        fd = _posixshmem.shm_open(name, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
        os.ftruncate(fd, size)
        os.close(fd)
        made.append(name)
        return name

    make.name = lambda key: f"{tag}-{key}"
    yield make
    for name in made:
        try:
            _posixshmem.shm_unlink(name)
        except FileNotFoundError:
            pass


@pytest.fixture(scope="module")
def dead_pid():
    """The id of a child that has exited and been reaped."""
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid
