"""SignalHub and SignalReceiver: broadcast, lag, close, blocking and asyncio receives."""
import asyncio
import concurrent.futures
import gc
import inspect
import threading
import time

import pytest


@pytest.fixture
def hub(core):
    return core.SignalHub()


def test_publish_without_receivers_is_lost(hub):
    assert hub.publish("x") == 0
    rx = hub.subscribe()
    assert hub.publish("y") == 1
    assert rx.recv() == "y"


def test_publish_counts_live_receivers(hub):
    a, b = hub.subscribe(), hub.subscribe()
    assert hub.publish("m") == 2
    del b
    gc.collect()
    assert hub.publish("n") == 1
    assert [a.recv(), a.recv()] == ["m", "n"]


@pytest.mark.parametrize("msg", ["", "x", "ünïcødé ✓", "a" * 10_000, "nul\0inside"])
def test_messages_round_trip(hub, msg):
    rx = hub.subscribe()
    hub.publish(msg)
    assert rx.recv() == msg


class StrSub(str):
    def __str__(self):
        raise RuntimeError("no")


@pytest.mark.parametrize("bad", [1, None, b"bytes", 1.5, ["x"]])
def test_publish_rejects_non_str(hub, bad):
    with pytest.raises(TypeError) as e:
        hub.publish(bad)
    assert str(e.value) == f"argument 'msg': '{type(bad).__name__}' object cannot be converted to 'PyString'"


def test_publish_accepts_str_subclass_and_rejects_lone_surrogate(hub):
    rx = hub.subscribe()
    assert hub.publish(StrSub("sub")) == 1
    assert rx.recv() == "sub"
    with pytest.raises(UnicodeEncodeError):
        hub.publish("\ud800")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda h: h.publish(), "SignalHub.publish() missing 1 required positional argument: 'msg'"),
        (lambda h: h.publish("a", "b"), "SignalHub.publish() takes 1 positional argument but 2 were given"),
        (lambda h: h.publish(msg="a", other=1), "SignalHub.publish() got an unexpected keyword argument 'other'"),
        (lambda h: h.publish("a", msg="a"), "SignalHub.publish() got multiple values for argument 'msg'"),
    ],
)
def test_argument_binding_errors(hub, call, message):
    with pytest.raises(TypeError) as e:
        call(hub)
    assert str(e.value) == message


def test_publish_by_keyword(hub):
    rx = hub.subscribe()
    assert hub.publish(msg="kw") == 1
    assert rx.recv() == "kw"


def test_text_signatures_and_docstrings(core, hub):
    rx = hub.subscribe()
    assert str(inspect.signature(hub.publish)) == "(msg)"
    assert str(inspect.signature(hub.subscribe)) == "()"
    assert str(inspect.signature(rx.recv)) == "()"
    assert rx.recv.__doc__ == "Blocking receive. intended to be called via asyncio.to_thread()"
    doc = rx.recv_async.__doc__
    assert doc.startswith("Non-blocking async receive. Returns Python awaitable that can be cancelled.")
    assert "msg = await rx.recv_async()" in doc
    assert "asyncio.wait_for(rx.recv_async(), timeout=5.0)" in doc


def test_receiver_has_no_constructor(core):
    with pytest.raises(TypeError, match="^No constructor defined for SignalReceiver$"):
        core.SignalReceiver()


def test_hub_constructor_takes_no_arguments(core):
    with pytest.raises(TypeError):
        core.SignalHub(1)


@pytest.mark.parametrize("published, missed", [(128, None), (129, 1), (130, 2), (1000, 872)])
def test_lag_is_reported_once_then_oldest_retained(hub, published, missed):
    rx = hub.subscribe()
    for i in range(1, published + 1):
        hub.publish(f"m{i}")
    if missed is not None:
        with pytest.raises(RuntimeError) as e:
            rx.recv()
        assert str(e.value) == f"Channel Lagged: missed {missed} messages"
    got = [rx.recv() for _ in range(128)]
    assert got == [f"m{i}" for i in range(published - 127, published + 1)]
    # Nothing more: the next receive must wait.
    result = []
    t = threading.Thread(target=lambda: result.append(rx.recv()), daemon=True)
    t.start()
    t.join(0.05)
    assert t.is_alive() and not result
    hub.publish("last")
    t.join(5)
    assert result == ["last"]


def test_close_after_last_hub_delivers_retained_then_stops(core):
    hub = core.SignalHub()
    rx = hub.subscribe()
    hub.publish("a")
    del hub
    gc.collect()
    assert rx.recv() == "a"
    for _ in range(2):
        with pytest.raises(StopAsyncIteration, match="^Channel Closed$"):
            rx.recv()


def test_blocked_recv_releases_the_gil_and_wakes_on_close(core):
    hub = core.SignalHub()
    rx = hub.subscribe()
    outcome = []

    def wait():
        try:
            outcome.append(rx.recv())
        except StopAsyncIteration as e:
            outcome.append(e)

    t = threading.Thread(target=wait)
    t.start()
    # This thread keeps running Python while the other waits.
    deadline = time.monotonic() + 0.05
    while time.monotonic() < deadline:
        pass
    assert t.is_alive() and outcome == []  # still blocked when the channel closes
    del hub
    gc.collect()
    t.join(5)
    assert not t.is_alive()
    assert isinstance(outcome[0], StopAsyncIteration)


def _scheduling(thread):
    """(state, voluntary switches, involuntary switches) of a thread, from
    the kernel's view of it."""
    with open(f"/proc/self/task/{thread.native_id}/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return (fields["State"].split()[0], int(fields["voluntary_ctxt_switches"]),
            int(fields["nonvoluntary_ctxt_switches"]))


def wait_until_blocked(threads, quiet=0.05, timeout=30):
    """Returns once every thread sleeps in a native wait. A thread counts as
    blocked when it sleeps and is not scheduled once over an interval in
    which this thread leaves the interpreter lock free: one that waits for
    that lock is woken when it is let go (and every few milliseconds
    anyway), so a thread that stays asleep waits on something else."""
    deadline = time.monotonic() + timeout
    while True:
        first = [_scheduling(t) for t in threads]
        time.sleep(quiet)
        again = [_scheduling(t) for t in threads]
        if all(a == b and a[0] == "S" for a, b in zip(first, again)):
            return
        assert time.monotonic() < deadline, f"threads never blocked: {again}"


def test_threads_sharing_a_receiver_get_different_messages(hub):
    rx = hub.subscribe()
    got = []
    lock = threading.Lock()

    def take():
        m = rx.recv()
        with lock:
            got.append(m)

    # Daemons: threads a fault leaves blocked must not hold up the exit.
    threads = [threading.Thread(target=take, daemon=True) for _ in range(2)]
    for t in threads:
        t.start()
    wait_until_blocked(threads)
    hub.publish("one")
    hub.publish("two")
    for t in threads:
        t.join(5)
    assert sorted(got) == ["one", "two"]


def test_recv_async_completes_on_the_running_loop(hub):
    rx = hub.subscribe()

    async def main():
        fut = rx.recv_async()
        assert isinstance(fut, asyncio.Future)
        assert fut.get_loop() is asyncio.get_running_loop()
        hub.publish("hello")
        return await fut

    assert asyncio.run(main()) == "hello"


def test_recv_async_from_another_thread_publisher(hub):
    rx = hub.subscribe()

    async def main():
        fut = rx.recv_async()
        threading.Timer(0.02, hub.publish, args=("later",)).start()
        return await asyncio.wait_for(fut, 5)

    assert asyncio.run(main()) == "later"


def test_cancelled_recv_async_consumes_nothing(hub):
    rx = hub.subscribe()

    async def main():
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(rx.recv_async(), timeout=0.05)
        hub.publish("kept")
        return await rx.recv_async()

    assert asyncio.run(main()) == "kept"


def test_recv_async_maps_lag_and_close(core):
    hub = core.SignalHub()
    rx = hub.subscribe()
    for i in range(130):
        hub.publish(str(i))

    async def main():
        with pytest.raises(RuntimeError, match="^Channel Lagged: missed 2 messages$"):
            await rx.recv_async()
        assert await rx.recv_async() == "2"

    asyncio.run(main())

    async def main2():
        for _ in range(127):
            await rx.recv_async()
        fut = rx.recv_async()
        nonlocal hub
        del hub
        gc.collect()
        with pytest.raises(StopAsyncIteration, match="^Channel Closed$"):
            await fut

    asyncio.run(main2())


@pytest.mark.parametrize("loops", [1, 3, 12])
def test_one_publish_completes_receives_on_every_loop(hub, loops):
    # Receives waiting on several threads' loops (more than a few, too):
    # one publish settles every one of them, each on its own loop.
    queued = threading.Semaphore(0)
    got = {}

    def wait(i):
        rxs = [hub.subscribe() for _ in range(3)]

        async def main():
            futures = [rx.recv_async() for rx in rxs]
            queued.release()
            return await asyncio.wait_for(asyncio.gather(*futures), 10)

        got[i] = asyncio.run(main())

    threads = [threading.Thread(target=wait, args=(i,)) for i in range(loops)]
    for t in threads:
        t.start()
    for _ in threads:
        assert queued.acquire(timeout=10)
    assert hub.publish("all") == 3 * loops
    for t in threads:
        t.join(10)
    assert got == {i: ["all"] * 3 for i in range(loops)}


def test_recv_async_without_running_loop(hub):
    rx = hub.subscribe()
    with pytest.raises(RuntimeError, match="no running event loop"):
        rx.recv_async()


def test_blocking_and_async_receives_share_one_queue(hub):
    rx = hub.subscribe()

    async def main():
        first = rx.recv_async()
        second = rx.recv_async()
        hub.publish("a")
        hub.publish("b")
        return await first, await second

    assert asyncio.run(main()) == ("a", "b")


@pytest.mark.parametrize(
    "code",
    [
        # A daemon thread blocked in recv() while the interpreter exits.
        "import threading, olvex_core\n"
        "h = olvex_core.SignalHub(); r = h.subscribe()\n"
        "threading.Thread(target=r.recv, daemon=True).start()\n"
        "import time; time.sleep(0.05)\n",
        # The hub goes away during finalisation and wakes the blocked thread.
        "import threading, olvex_core, time\n"
        "h = olvex_core.SignalHub(); r = h.subscribe()\n"
        "def f():\n"
        "    try: r.recv()\n"
        "    except StopAsyncIteration: time.sleep(10)\n"
        "threading.Thread(target=f, daemon=True).start()\n"
        "time.sleep(0.05)\n",
        # A future left pending when the loop and interpreter end.
        "import asyncio, olvex_core\n"
        "h = olvex_core.SignalHub(); r = h.subscribe()\n"
        "async def main():\n"
        "    global fut\n"
        "    fut = r.recv_async()\n"
        "asyncio.run(main())\n"
        "h.publish('after the loop closed')\n",
    ],
    ids=["blocked-daemon", "woken-at-exit", "pending-future"],
)
def test_interpreter_exit_with_receives_in_flight(run_python, code):
    r = run_python(code, timeout=30)
    assert r.returncode == 0, r.stderr
    assert "Traceback" not in r.stderr


def test_daemon_threads_ended_inside_async_receives_exit_cleanly(run_python):
    # Daemon threads publish and await in a loop; the interpreter ends them
    # wherever they are, often inside a delivery to their loop. Every run of
    # many must exit cleanly.
    code = (
        "import threading, asyncio, time, olvex_core\n"
        "hub = olvex_core.SignalHub()\n"
        "def t():\n"
        "    rx = hub.subscribe()\n"
        "    async def m():\n"
        "        while True:\n"
        "            hub.publish('x'); await rx.recv_async()\n"
        "    asyncio.run(m())\n"
        "for _ in range(8): threading.Thread(target=t, daemon=True).start()\n"
        "time.sleep(0.3)\n"
    )
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        runs = list(pool.map(lambda _: run_python(code, timeout=60), range(50)))
    failed = [r for r in runs if r.returncode != 0]
    assert not failed, (len(failed), failed[0].returncode, failed[0].stderr[-2000:])


def test_ctrl_c_interrupts_recv_on_the_main_thread(run_python):
    r = run_python(
        "import os, signal, threading, olvex_core\n"
        "h = olvex_core.SignalHub(); r = h.subscribe()\n"
        "threading.Timer(0.1, os.kill, args=(os.getpid(), signal.SIGINT)).start()\n"
        "try:\n"
        "    r.recv()\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted')\n"
        "h.publish('after')\n"
        "print(r.recv())\n",
        timeout=30,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "interrupted\nafter\n"


def test_signal_handler_that_returns_lets_recv_wait_on(run_python):
    r = run_python(
        "import os, signal, threading, olvex_core\n"
        "signal.signal(signal.SIGUSR1, lambda *a: print('handled'))\n"
        "h = olvex_core.SignalHub(); r = h.subscribe()\n"
        "threading.Timer(0.1, os.kill, args=(os.getpid(), signal.SIGUSR1)).start()\n"
        "threading.Timer(0.4, h.publish, args=('message',)).start()\n"
        "print(r.recv())\n",
        timeout=30,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "handled\nmessage\n"


def test_handler_that_raises_as_a_message_arrives_loses_nothing(run_python):
    # The handler publishes, then raises: recv() reports the handler's error
    # alone, and the message waits for the next receive.
    r = run_python(
        "import os, signal, threading, olvex_core\n"
        "hub = olvex_core.SignalHub(); rx = hub.subscribe()\n"
        "def handler(*a):\n"
        "    hub.publish('msg'); raise ValueError('from handler')\n"
        "signal.signal(signal.SIGUSR1, handler)\n"
        "threading.Timer(0.1, os.kill, args=(os.getpid(), signal.SIGUSR1)).start()\n"
        "try:\n"
        "    rx.recv()\n"
        "except ValueError as e:\n"
        "    print('raised:', e)\n"
        "print(rx.recv())\n",
        timeout=30,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "raised: from handler\nmsg\n"


@pytest.mark.parametrize(
    "handler, caught",
    [("on_alarm", "TimeoutError"), ("signal.default_int_handler", "KeyboardInterrupt")],
    ids=["alarm-handler", "ctrl-c"],
)
def test_recv_is_interruptible_without_threading_imported(run_python, handler, caught):
    r = run_python(
        "import signal, sys, olvex_core\n"
        "def on_alarm(*a):\n"
        "    raise TimeoutError('alarm')\n"
        f"signal.signal(signal.SIGALRM, {handler})\n"
        "hub = olvex_core.SignalHub(); rx = hub.subscribe()\n"
        "signal.setitimer(signal.ITIMER_REAL, 0.1)\n"
        "try:\n"
        "    rx.recv()\n"
        f"except {caught}:\n"
        "    print('interrupted')\n"
        "print('threading' in sys.modules)\n",
        timeout=20,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "interrupted\nFalse\n"
