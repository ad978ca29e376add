"""SignalHub.publish cost and publish-to-recv wake-up latency."""
import queue
import statistics
import threading
import time
import timeit

import olvex_core
from harness import REPEATS, row


def direct_ns(stmt, names, number=500_000):
    t = timeit.Timer(stmt, globals=names)
    return statistics.median(t.timeit(number) for _ in range(REPEATS)) / number * 1e9


def publish_rows():
    hub = olvex_core.SignalHub()
    rx = hub.subscribe()  # one live receiver; the ring overwrites, so it never fills
    publish = hub.publish
    q = queue.SimpleQueue()
    put = q.put

    def drain():
        while not q.empty():
            q.get_nowait()

    # Timed as direct calls in a timeit loop, so neither side carries a
    # lambda's cost and no base needs subtracting from such small figures.
    pub_ns = direct_ns("publish('tick')", {"publish": publish})
    put_ns = direct_ns("put('tick')", {"put": put})
    drain()
    del rx
    return [
        row("SignalHub.publish (1 receiver)", pub_ns, goal_ns=250, ratio=pub_ns / put_ns, goal_ratio=2.0,
            note=f"ratio to SimpleQueue.put ({put_ns:.0f} ns)"),
    ]


def wakeup_rows(rounds=2000):
    ping, pong = olvex_core.SignalHub(), olvex_core.SignalHub()
    ping_rx, pong_rx = ping.subscribe(), pong.subscribe()
    latencies = []

    def echo():
        for _ in range(rounds):
            sent = int(ping_rx.recv())
            latencies.append(time.perf_counter_ns() - sent)
            pong.publish("ack")

    t = threading.Thread(target=echo)
    t.start()
    for _ in range(rounds):
        ping.publish(str(time.perf_counter_ns()))
        pong_rx.recv()  # blocks with the interpreter lock released
    t.join()
    med = statistics.median(latencies)
    return [row("publish -> recv() wake-up (median)", med, goal_ns=50_000, note=f"{rounds} ping-pong rounds")]


def rows():
    return publish_rows() + wakeup_rows()
