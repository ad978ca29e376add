"""The per-thread current-transaction slot and its fallback to the
framework's context variable olvex.guards._current_tx."""
import contextvars
import gc
import sys
import threading
import weakref

import pytest

from proxy_support import FakeTx, SupervisorProxy, current_tx_name, guards_module, on_fresh_thread, run_on_thread

_MISSING = object()


@pytest.fixture
def guards():
    with guards_module() as mod:
        yield mod


@pytest.fixture
def no_guards():
    saved = sys.modules.pop("olvex.guards", _MISSING)
    yield
    if saved is not _MISSING:
        sys.modules["olvex.guards"] = saved


class RecordingFinder:
    def __init__(self):
        self.names = []

    def find_spec(self, name, path=None, target=None):
        self.names.append(name)
        return None


@on_fresh_thread
def test_empty_slot_without_guards_means_no_transaction_and_imports_nothing(no_guards):
    finder = RecordingFinder()
    sys.meta_path.insert(0, finder)
    try:
        assert current_tx_name() is None
        assert SupervisorProxy({"a": [1]}).get("a") == [1]
    finally:
        sys.meta_path.remove(finder)
    assert finder.names == []
    assert "olvex.guards" not in sys.modules


class RaisingGet:
    def get(self):
        raise RuntimeError("broken context variable")


def _no_attribute(mod):
    del mod._current_tx


def _unset_without_default(mod):
    mod._current_tx = contextvars.ContextVar("_current_tx")


def _set_to_none(mod):
    mod._current_tx.set(None)


def _module_entry_none(mod):
    sys.modules["olvex.guards"] = None


def _get_raises(mod):
    mod._current_tx = RaisingGet()


def _plain_object(mod):
    sys.modules["olvex.guards"] = object()


@pytest.mark.parametrize(
    "arrange",
    [_no_attribute, _unset_without_default, _set_to_none, _module_entry_none, _get_raises, _plain_object],
)
@on_fresh_thread
def test_fallback_failures_count_as_no_transaction(guards, arrange):
    arrange(guards)
    assert current_tx_name() is None


@on_fresh_thread
def test_a_transaction_found_through_the_context_variable_moves_into_the_slot(guards):
    guards._current_tx.set(FakeTx("B"))
    assert current_tx_name() == "B"
    guards._current_tx.set(FakeTx("C"))
    assert current_tx_name() == "B"
    del sys.modules["olvex.guards"]
    assert current_tx_name() == "B"


@on_fresh_thread
def test_the_slot_answers_before_the_context_variable(guards):
    guards._current_tx.set(FakeTx("B"))
    SupervisorProxy({}, transaction=FakeTx("A"))
    assert current_tx_name() == "A"


@on_fresh_thread
def test_slot_is_kept_until_replaced_and_is_invisible_to_other_threads():
    a = FakeTx("A")
    SupervisorProxy({}, transaction=a)
    del a  # the slot keeps its own reference, like a transaction that has committed
    SupervisorProxy({}, transaction=None)
    SupervisorProxy({})
    assert current_tx_name() == "A"
    assert run_on_thread(current_tx_name) is None
    SupervisorProxy({}, transaction=FakeTx("B"))
    assert current_tx_name() == "B"


@on_fresh_thread
def test_the_old_transaction_is_released_after_the_new_one_is_stored():
    seen = []

    class Noticing(FakeTx):
        def __del__(self):
            seen.append(current_tx_name())

    SupervisorProxy({}, transaction=Noticing("A"))
    assert seen == []
    SupervisorProxy({}, transaction=FakeTx("B"))
    assert seen == ["B"]


def test_the_slot_releases_its_transaction_when_the_thread_ends():
    refs = []

    def body():
        tx = FakeTx("A")
        refs.append(weakref.ref(tx))
        SupervisorProxy({}, transaction=tx)
        del tx
        gc.collect()
        assert refs[0]() is not None

    t = threading.Thread(target=body)
    t.start()
    t.join()
    assert refs[0]() is None


def test_a_transaction_set_while_the_thread_ends_is_not_kept():
    # Releasing the slot at thread end runs a __del__ that sets another
    # transaction; nothing may keep that one once the thread is gone.
    later = FakeTx("later")

    class SetsOnRelease(FakeTx):
        def __del__(self):
            SupervisorProxy({}, transaction=later)

    before = sys.getrefcount(later)
    for _ in range(20):
        t = threading.Thread(target=lambda: SupervisorProxy({}, transaction=SetsOnRelease()))
        t.start()
        t.join()
    gc.collect()
    assert sys.getrefcount(later) == before


@pytest.mark.parametrize("daemon_waits", [False, True])
def test_interpreter_exit_with_transactions_in_slots(run_python, daemon_waits):
    code = (
        "import sys, threading, olvex_core\n"
        "class Tx:\n"
        "    def get_shadow(self, v, p): return v\n"
        "    def log_delta(self, *a): pass\n"
        "    def __del__(self): self.gone = [1]\n"
        "olvex_core.SupervisorProxy({}, transaction=Tx())\n"
        "ready = threading.Event()\n"
        "def worker():\n"
        "    olvex_core.SupervisorProxy({}, transaction=Tx())\n"
        "    ready.set()\n"
        f"    if {daemon_waits}: threading.Event().wait()\n"
        "t = threading.Thread(target=worker, daemon=True)\n"
        "t.start()\n"
        "ready.wait()\n"
        "print('done', flush=True)\n"
    )
    r = run_python(code)
    assert r.returncode == 0, r.stderr
    assert "done\n" in r.stdout
    assert r.stderr == "[OLVEX-CORE] Loaded Version: 3.0.25 (Target Env Build)\n"
