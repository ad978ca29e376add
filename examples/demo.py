"""A tour of olvex_core: import (the banner goes to standard error), the
public names, a publish/subscribe exchange between a thread blocked in
recv() and an asyncio task awaiting recv_async(), and a versioned State
advanced by updates, with its signals, meta log and read-only proxy, and a
transaction that shadows a value, infers its change and hands an outbox
message to the engine's worker, and a whole process run: proxy writes, a
message, the commit onto a new version and a refused write; and the whole
road of processes: a synchronous and an async process run in one
transaction (the second behind a contract guard), the exit, the outbox handed
to a worker, and a compare-and-swap that conflicts, waits and succeeds."""
import asyncio
import threading
import time

import olvex_core


def main():
    print("olvex_core exports:", ", ".join(olvex_core.__all__))

    hub = olvex_core.SignalHub()
    blocking_rx = hub.subscribe()
    async_rx = hub.subscribe()
    received = []

    def worker():
        # recv() releases the interpreter lock while it waits.
        while True:
            try:
                msg = blocking_rx.recv()
            except StopAsyncIteration:
                received.append("thread: channel closed")
                return
            received.append(f"thread got {msg!r}")

    thread = threading.Thread(target=worker)
    thread.start()

    async def consumer():
        for _ in range(3):
            msg = await asyncio.wait_for(async_rx.recv_async(), timeout=5.0)
            received.append(f"task got {msg!r}")

    async def run():
        task = asyncio.create_task(consumer())
        await asyncio.sleep(0.01)
        for text in ("state advanced to v2", "state advanced to v3", "done"):
            n = hub.publish(text)
            print(f"published {text!r} to {n} receivers")
            await asyncio.sleep(0.01)
        await task

    asyncio.run(run())
    del hub  # the last sender goes: receivers see the channel close
    thread.join(timeout=5)
    # Each consumer's lines in arrival order; the two run concurrently.
    for who in ("thread", "task"):
        for line in received:
            if line.startswith(who):
                print(line)


def state_tour():
    state = olvex_core.State(data={"domain": {"orders": 0, "limits": {"max": 10, "min": 1}}})
    rx = state.signal.subscribe()  # receives the broadcasts of every later version
    v2 = state.update(data={"domain": {"orders": 1}}, signal={"order": "placed"})
    v3 = v2.update(data={"domain": {"limits": {"max": 20}}, "global": {"mode": "busy"}})
    v4 = v3.update(heavy={"blob": b"\x00" * 16}, signal=[{"order": "shipped"}, {"stock": 41}])
    for s in (state, v2, v3, v4):
        print(f"v{s.version}: domain={s.data['domain']} signals={dict(s.signals.items())}")
    # Nested merges copy only the merged path; untouched values are shared.
    assert v3.data["domain"]["limits"] is not v2.data["domain"]["limits"]
    assert v4.data["domain"] is v3.data["domain"]
    print("signals received:", [rx.recv() for _ in range(3)])
    v4.log_meta("demo", "tour finished")
    for entry in v4.get_meta_logs():  # one ring for the whole lineage
        print(f"  meta {entry.key}: {entry.message}")
    domain = v4.domain  # a read-only proxy over the committed dict itself
    print(f"domain proxy: path={domain.path()} read_only={domain.read_only} "
          f"capabilities={domain.capabilities} max={domain['limits']['max']}")
    try:
        v4.version = 99
    except olvex_core.ContextError as e:
        print("refused:", e)


def transaction_tour():
    engine = olvex_core.OlvexEngine()
    tx = engine.transaction()
    orders = {"count": 0, "lines": ["apple"]}
    shadow = tx.get_shadow(orders, "domain.orders")  # the process works on a copy
    shadow["count"] += 1
    shadow["lines"].append("pear")
    tx.infer_shadow_deltas()  # the changed copy becomes a delta
    print("inferred deltas:", tx.get_delta_log(), "original untouched:", orders)
    tx.log_delta("heavy.thumbnail", None, b"\x89PNG")  # a write a proxy would report
    tx.commit()
    print("pending data:", tx.pending_data)
    print("pending heavy:", tx.pending_heavy)
    delivered = []
    engine.attach_worker(lambda msg: delivered.append(f"{msg.topic} -> {msg.payload}"))
    engine.outbox.add(olvex_core.OutboxMsg("order.updated", {"count": shadow["count"]}))
    engine.process_outbox()
    print("worker got:", delivered)


WORKFLOW = """
steps:
  - load
  - flux: while
    condition: "len(items) < 3"
    do:
      - fetch
      - flux: if
        condition: "len(items) == 2"
        then: [checkpoint]
  - flux: run
    steps: [notify]
nodes:
  start: load
  load: {next: check}
  check: {next: {"if len(items) > 5": archive, else: publish}}
  archive: {next: publish}
  publish: {}
"""


def workflow_tour():
    engine = olvex_core.WorkflowEngine(WORKFLOW, max_ops=100)
    seen = []
    engine.add_state_observer(lambda old, new: seen.append(f"{old!r} -> {new!r}"))
    items = []

    async def notify():  # a coroutine process: it runs on the caller's loop
        await asyncio.sleep(0.01)
        return "sent"

    def executor(name):
        if name == "fetch":
            items.append(len(items) + 1)
        return notify() if name == "notify" else None

    async def run():
        # The walk runs on a worker thread over a shallow copy of ctx that
        # also holds "_loop"; the list inside is the same object.
        return await engine.execute_async({"items": items}, executor)

    print("executed:", asyncio.run(run()))
    print("observer saw:", ", ".join(seen))
    print("graph path, 3 items:", engine.simulate({"items": [1, 2, 3]}))
    print("graph path, 6 items:", engine.simulate({"items": list(range(6))}))
    loop_doc = "steps: [{flux: while, condition: 'True', do: [spin]}]"
    try:
        olvex_core.WorkflowEngine(loop_doc, max_ops=5).execute({}, lambda name: None)
    except RuntimeError as e:
        print("refused:", e)


def process_run_tour():
    engine = olvex_core.OlvexEngine()
    engine.commit_state(olvex_core.State(
        data={"domain": {"orders": {"count": 0, "last": None}, "status": "idle", "const_limit": 10}}, version=0))
    engine.attach_worker(lambda msg: print(f"worker got {msg.topic}: {msg.payload}"))
    tx = engine.transaction(write_timeout_ms=1000)
    with tx:
        # The process's view of the committed domain, reporting to tx.
        p = olvex_core.SupervisorProxy(engine.state.domain.supervisor_target, "domain", transaction=tx)
        orders = p["orders"]  # a child over the transaction's shadow copy
        orders.count = 1
        orders["last"] = "o-1"
        p.status = "busy"  # at the root: the committed dict itself
        tx.outbox.add(olvex_core.OutboxMsg("order.placed", {"id": "o-1"}))
        try:
            p.const_limit = 99  # the Constant zone allows reading only
        except PermissionError as e:
            print("refused:", e)
        print("delta log:", tx.get_delta_log())
        print("outbox before the exit: transaction", tx.outbox.len(), "engine", engine.outbox.len())
    state = engine.state
    print(f"committed v{state.version}: domain={state.data['domain']}")
    print("meta line:", state.get_meta_logs()[-1].message)
    print("outbox after the exit: transaction", tx.outbox.len(), "engine", engine.outbox.len())
    engine.process_outbox()


def process_road_tour():
    engine = olvex_core.OlvexEngine()
    engine.compare_and_swap(0, data={"domain": {"orders": {"count": 0, "status": "new"}, "const_rate": 3},
                                     "global": {"mode": "idle"}})
    engine.attach_worker(lambda msg: print(f"worker got {msg.topic}: {msg.payload}"))

    def reserve(ctx):
        # A synchronous process: the runner sends it to a worker thread.
        orders = ctx.domain["orders"]  # a child over the transaction's shadow copy
        orders.count = orders.count + 1
        ctx.outbox.add(olvex_core.OutboxMsg("order.reserved", {"count": orders.count}))
        return f"reserved on v{ctx.state.version}"

    async def confirm(ctx):
        # An async process runs on the loop; the framework would hand it its
        # context wrapped in a guard holding it to its contract.
        g = olvex_core.ContextGuard(ctx, inputs=["domain"], outputs=["domain"], tx=ctx.tx)
        g.domain["orders"]["status"] = "confirmed"  # a declared path: through a proxy over the shadow
        try:
            g.global_ctx  # not declared by this process
        except PermissionError as e:
            print("refused:", e)
        g.outbox.add(olvex_core.OutboxMsg("order.confirmed", {"status": "confirmed"}))
        return "confirmed"

    async def run():
        with engine.transaction(write_timeout_ms=5000) as tx:
            print(await engine.execute_process_async("reserve", reserve, tx))
            print(await engine.execute_process_async("confirm", confirm, tx))
            print("outbox before the exit: transaction", tx.outbox.len(), "engine", engine.outbox.len())

    asyncio.run(run())
    state = engine.state
    print(f"committed v{state.version}: domain={state.data['domain']}")
    engine.process_outbox()

    # Optimistic commits: a writer that read v2 loses to one that got in first,
    # waits as the conflict manager says, and succeeds on the new version.
    seen = engine.state.version
    engine.compare_and_swap(seen, data={"global": {"mode": "busy"}}, requester="ops")
    change = {"global": {"mode": "quiet"}}
    for _ in range(10):
        try:
            engine.compare_and_swap(seen, data=change, requester="tuner")
        except olvex_core.ContextError as e:
            decision = engine.report_conflict("tuner")
            print(f"conflict: {e}; {decision}")
            time.sleep(decision.wait_ms / 1000)
            seen = engine.state.version
        else:
            engine.report_success("tuner")
            break
    print(f"v{engine.state.version}: global={engine.state.data['global']}")


if __name__ == "__main__":
    main()
    state_tour()
    transaction_tour()
    workflow_tour()
    process_run_tour()
    process_road_tour()
