"""A whole process run (transaction, proxy reads and writes, an outbox
message, the exit) against a pure-Python road of the same steps; proxy
assignment over a shadow beside a bare dict write; the exit alone at two
state sizes."""
import copy
import gc
import re
import statistics
import time

from harness import REPEATS, batch_ns, row

ROAD_SPEEDUP_GOAL = 8  # over the pure-Python road, both ways a process is run
SET_ATTR_GOAL_NS = 600
SET_ITEM_GOAL_NS = 700
EXIT_GOAL_NS = 6_000
EXIT_FLAT_GOAL_RATIO = 1.5  # at 100,000 keys over 100

STATE_KEYS = 100


def domain_state(n_keys):
    data = {f"key{i}": i for i in range(n_keys - 1)}
    data["domain"] = {"orders": {"count": 0, "last": None}, "status": "idle"}
    return data


# ---- the pure-Python road ------------------------------------------------------

# The zone rules: (prefix, mask) and (whole name, mask); the first piece
# that names a zone decides.
ZONE_PREFIXES = [("sig_", 3), ("cmd_", 3), ("const_", 1), ("meta_", 5), ("heavy_", 5), ("log_", 3),
                 ("audit_", 3), ("internal_", 0)]
ZONE_NAMES = {"sig": 3, "meta": 5, "heavy": 5, "log": 3}
OVERRIDES = {}
SEGMENT = re.compile(r"[^.\[\]]+")


def zone_mask(path):
    for part in path.replace("[", ".").replace("]", "").split("."):
        if part in ZONE_NAMES:
            return ZONE_NAMES[part]
        for prefix, mask in ZONE_PREFIXES:
            if part.startswith(prefix):
                return mask
    return 15


def is_heavy(parts):
    return any(p == "heavy" or p.startswith("heavy_") for p in parts)


class PyProxy:
    __slots__ = ("target", "path", "tx", "caps")

    def __init__(self, target, path, tx, caps=15):
        object.__setattr__(self, "target", target)
        object.__setattr__(self, "path", path)
        object.__setattr__(self, "tx", tx)
        object.__setattr__(self, "caps", caps)

    def _lens(self, full):
        if self.caps & 16 and zone_mask(full) != 1:
            return 31
        base = OVERRIDES.get(full)
        return self.caps & (base if base is not None else zone_mask(full))

    def __getitem__(self, key):
        full = f"{self.path}[{key}]" if self.path else str(key)
        if not self._lens(full) & 1:
            return None
        value = self.target[key]
        if isinstance(value, (dict, list)):
            return PyProxy(self.tx.get_shadow(value, full), full, self.tx, self._lens(full))
        return value

    def _write(self, full, key, value, what):
        lens = self._lens(full)
        if not lens & 4:
            raise PermissionError(f"Permission Denied: UPDATE capability required for {what}'{full}'. "
                                  f"(Current Lens: {lens:04b})")
        self.tx.log_delta(full, self.target.get(key), value)
        self.target[key] = value

    def __setattr__(self, name, value):
        self._write(f"{self.path}.{name}" if self.path else name, name, value, "")

    def __setitem__(self, key, value):
        self._write(f"{self.path}[{key}]" if self.path else str(key), key, value, "item assignment at ")


class PyState:
    __slots__ = ("data", "key_versions", "version", "meta")

    def __init__(self, data, key_versions, version, meta):
        self.data, self.key_versions, self.version, self.meta = data, key_versions, version, meta

    def update(self, pending, heavy):
        n = self.version + 1
        self.meta.append((time.time(), "state_update", f"State updated to version {n}"))
        data = dict(self.data)
        versions = dict(self.key_versions)
        for zone, incoming in ((data, pending), (None, heavy)):
            for k, v in incoming.items():
                versions[k] = n
                if isinstance(v, dict):
                    for sub in v:
                        versions[f"{k}.{sub}"] = n
                if zone is not None:
                    old = zone.get(k)
                    zone[k] = merge(old, v) if isinstance(old, dict) and isinstance(v, dict) else v
        return PyState(data, versions, n, self.meta)


def merge(old, new):
    out = dict(old)
    for k, v in new.items():
        o = out.get(k)
        out[k] = merge(o, v) if isinstance(o, dict) and isinstance(v, dict) else v
    return out


class PyEngine:
    def __init__(self, data):
        self.state = PyState(data, dict.fromkeys(data, 1), 1, [])
        self.outbox = []


class PyTx:
    def __init__(self, engine, write_timeout_ms=5000):
        self.engine, self.limit = engine, write_timeout_ms
        self.shadows, self.tracked, self.log, self.outbox = {}, {}, [], []
        self.entered = None

    def __enter__(self):
        self.entered = time.monotonic()
        return self

    def get_shadow(self, value, path):
        hit = self.shadows.get(id(value))
        if hit is None:
            hit = self.shadows[id(value)] = (copy.deepcopy(value), value)
            self.tracked[path] = value
        return hit[0]

    def log_delta(self, path, old, new):
        self.log.append((path, old, new))

    def __exit__(self, *exc):
        if exc and exc[0] is not None:
            return
        if self.entered is not None and (time.monotonic() - self.entered) * 1000 > self.limit:
            raise TimeoutError("Transaction timed out")
        for path, original in self.tracked.items():
            shadow = self.shadows[id(original)][0]
            if shadow != original:
                self.log.append((path, original, shadow))
        pending, heavy = {}, {}
        for path, _, new in sorted(self.log, key=lambda e: len(e[0])):
            parts = SEGMENT.findall(path)
            target = pending
            if is_heavy(parts):
                target = heavy
                if parts[0] == "heavy":
                    parts = parts[1:]
            for p in parts[:-1]:
                nxt = target.get(p)
                if not isinstance(nxt, dict):
                    nxt = target[p] = {}
                target = nxt
            target[parts[-1]] = new
        self.engine.state = self.engine.state.update(pending, heavy)
        self.engine.outbox.extend(self.outbox)
        self.outbox.clear()


def python_road(engine, n):
    tx = PyTx(engine)
    with tx:
        p = PyProxy(engine.state.data["domain"], "domain", tx)
        orders = p["orders"]
        orders.count = n
        orders["last"] = f"o-{n}"
        p.status = "busy"
        tx.outbox.append(("order", {"n": n}))


def native_road(engine, n, SupervisorProxy, OutboxMsg):
    tx = engine.transaction()
    with tx:
        # The committed state's own object, as a process context hands it out.
        p = SupervisorProxy(engine.state.domain.supervisor_target, "domain", transaction=tx)
        orders = p["orders"]
        orders.count = n
        orders["last"] = f"o-{n}"
        p.status = "busy"
        tx.outbox.add(OutboxMsg("order", {"n": n}))


def context_road(engine, n, ProcessContext, OutboxMsg):
    """The same steps as a process run with a context: the domain through
    ProcessContext over the engine's state and the transaction."""
    tx = engine.transaction()
    with tx:
        d = ProcessContext(engine.state, {}, tx).domain
        orders = d["orders"]
        orders.count = n
        orders["last"] = f"o-{n}"
        d.status = "busy"
        tx.outbox.add(OutboxMsg("order", {"n": n}))


BLOCK = 100  # runs in a row before the next contender takes its turn


def interleaved_ns(runs_and_drains, blocks=30):
    """For each (run, drain) pair, the mean cost of one run. The pairs take
    turns block by block, so a slow spell of the shared machine weighs on
    all of them alike while each block runs warm; each run is timed on its
    own, so that the outboxes are emptied between runs outside the timing
    (their messages would otherwise pile up). The timer's own cost is taken
    off."""
    totals = [0] * len(runs_and_drains)
    gc.disable()
    try:
        base = 0
        for _ in range(BLOCK):
            t0 = time.perf_counter_ns()
            base += time.perf_counter_ns() - t0
        for b in range(blocks):
            for i, (run, drain) in enumerate(runs_and_drains):
                for n in range(b * BLOCK, (b + 1) * BLOCK):
                    t0 = time.perf_counter_ns()
                    run(n)
                    totals[i] += time.perf_counter_ns() - t0
                    drain()
    finally:
        gc.enable()
    runs = blocks * BLOCK
    return [(total - base * blocks) / runs for total in totals]


# ---- assignment and the exit alone ------------------------------------------------


def prepared_exit(engine, SupervisorProxy, n):
    """A transaction that tracks one shadow and logged three writes."""
    tx = engine.transaction()
    p = SupervisorProxy(engine.state.domain.supervisor_target, "domain", transaction=tx)
    orders = p["orders"]
    orders.count = n
    orders["last"] = "o"
    p["status"] = "busy"
    return tx


def exit_alone_ns(engines, SupervisorProxy, blocks=20):
    """Per engine, the median of single timed exits; the engines take turns
    block by block."""
    times = [[] for _ in engines]
    for b in range(blocks):
        for i, engine in enumerate(engines):
            for n in range(b * BLOCK, (b + 1) * BLOCK):
                tx = prepared_exit(engine, SupervisorProxy, n)
                gc.disable()
                try:
                    t0 = time.perf_counter_ns()
                    tx.__exit__(None, None, None)
                    times[i].append(time.perf_counter_ns() - t0)
                finally:
                    gc.enable()
    return [statistics.median(t) for t in times]


def rows():
    from olvex_core import OlvexEngine, OutboxMsg, ProcessContext, State, SupervisorProxy

    out = []

    engine = OlvexEngine()
    engine.commit_state(State(data=domain_state(STATE_KEYS)))
    py_engine = PyEngine(domain_state(STATE_KEYS))

    def drain_python():
        py_engine.outbox.clear()
        del py_engine.state.meta[:-1000]  # a ring of 1,000 lines, as the native one

    native, context, python = interleaved_ns(
        [(lambda n: native_road(engine, n, SupervisorProxy, OutboxMsg), engine.outbox.drain),
         (lambda n: context_road(engine, n, ProcessContext, OutboxMsg), engine.outbox.drain),
         (lambda n: python_road(py_engine, n), drain_python)])
    out.append(row("pure-Python process road, 100-key state", python, note="reference"))
    out.append(row("process road: tx, proxy, 3 writes, message, exit", native, ratio=native / python,
                   goal_ratio=1 / ROAD_SPEEDUP_GOAL,
                   note=f"ratio to the Python road; goal {ROAD_SPEEDUP_GOAL}x faster ({python / native:.1f}x)"))
    out.append(row("process road through ProcessContext, same steps", context, ratio=context / python,
                   goal_ratio=1 / ROAD_SPEEDUP_GOAL,
                   note=f"ratio to the Python road; goal {ROAD_SPEEDUP_GOAL}x faster ({python / context:.1f}x)"))

    setup = ("tx = engine.transaction(); "
             "p = SupervisorProxy(tx.get_shadow({'x': 0, 'k': 0}, 'domain'), 'domain', transaction=tx, is_shadow=True)")
    names = {"engine": engine, "SupervisorProxy": SupervisorProxy}
    bare = batch_ns("d['x'] = i", "d = {'x': 0}; i = 1", {})
    attr = batch_ns("p.x = 1", setup, names)
    item = batch_ns("p['k'] = 1", setup, names)
    out.append(row("d['x'] = i on a bare dict", bare, note="reference"))
    out.append(row("p.x = i over a shadow, own Transaction current", attr, goal_ns=SET_ATTR_GOAL_NS,
                   note=f"{attr / bare:.0f}x a bare dict write"))
    out.append(row("p['k'] = i over a shadow, own Transaction current", item, goal_ns=SET_ITEM_GOAL_NS,
                   note=f"{item / bare:.0f}x a bare dict write"))

    big_engine = OlvexEngine()
    big_engine.commit_state(State(data=domain_state(100_000)))
    small, big = exit_alone_ns([engine, big_engine], SupervisorProxy)
    out.append(row("Transaction.__exit__, 1 shadow + 3 writes, 100 keys", small, goal_ns=EXIT_GOAL_NS))
    out.append(row("Transaction.__exit__, 1 shadow + 3 writes, 100,000 keys", big, ratio=big / small,
                   goal_ratio=EXIT_FLAT_GOAL_RATIO, note="ratio to 100 keys"))
    return out
