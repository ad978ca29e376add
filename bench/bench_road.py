"""The process road split into its parts, each timed on its own in a batch
of fresh setups, so that the next person sees where the time of the whole
road (bench_commit's "process road" row) goes: the empty transaction, the
first shadow of the domain, the proxy and its child read, the writes with
the exit. Also the same road through a ProcessContext with a transaction."""
from bench_commit import STATE_KEYS, domain_state
from harness import batch_ns, on_fresh_thread, row, show


def _measure(out):
    from olvex_core import OlvexEngine, OutboxMsg, ProcessContext, State, SupervisorProxy

    engine = OlvexEngine()
    engine.commit_state(State(data=domain_state(STATE_KEYS)))
    domain = engine.state.domain.supervisor_target
    names = {"engine": engine, "domain": domain, "SupervisorProxy": SupervisorProxy, "OutboxMsg": OutboxMsg,
             "ProcessContext": ProcessContext, "drain": engine.outbox.drain}

    def timed(stmt, setup):
        return batch_ns(stmt, setup, names, number=200, repeats=31)

    out["empty"] = timed("with engine.transaction(): pass", "")
    # A run that needs a fresh transaction takes the next of a list made in
    # the setup (the cost of next() is in the figure).
    out["shadow"] = timed("next(it).get_shadow(domain, 'domain')",
                          "it = iter([engine.transaction() for _ in range(200)])")
    out["proxy"] = timed("SupervisorProxy(shadow, 'domain', transaction=tx, is_shadow=True)['orders']",
                         "tx = engine.transaction(); shadow = tx.get_shadow(domain, 'domain')")
    setup_runs = ("runs = []\n"
                  "for _ in range(200):\n"
                  "    tx = engine.transaction()\n"
                  "    p = SupervisorProxy(tx.get_shadow(domain, 'domain'), 'domain', transaction=tx, is_shadow=True)\n"
                  "    runs.append((tx, p, p['orders']))\n"
                  "it = iter(runs); drain()")
    out["writes_exit"] = timed(
        "tx, p, orders = next(it)\n"
        "tx.__enter__(); orders.count = 1; orders['last'] = 'o'; p.status = 'busy'; tx.__exit__(None, None, None)",
        setup_runs)
    out["context"] = timed(
        "tx = engine.transaction()\n"
        "with tx:\n"
        "    d = ProcessContext(engine.state, {}, tx).domain\n"
        "    orders = d['orders']; orders.count = 1; orders['last'] = 'o'; d.status = 'busy'\n"
        "    tx.outbox.add(OutboxMsg('order', None))\n",
        "drain()")


def rows():
    m = on_fresh_thread(_measure, {})
    return [
        row("road part: an empty `with engine.transaction()`", m["empty"]),
        row("road part: the first get_shadow of the domain", m["shadow"]),
        row("road part: a proxy over the shadow and a child read", m["proxy"]),
        row("road part: three writes and the exit (replay, commit, install)", m["writes_exit"]),
        row("process road through ProcessContext: tx, ctx.domain, 3 writes, message, exit", m["context"]),
    ]


if __name__ == "__main__":
    show(rows())
