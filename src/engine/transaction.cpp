// Transaction: the type object, construction, the properties, update, the
// delta log's own members (log_delta, log_internal, get_delta_log), the
// pickling and copying refusals, and cycle collection. Shadows are in
// shadows.cpp, inference in inference.cpp, the replays in replay.cpp.
#include "engine/transaction.hpp"

#include <utility>

#include "engine/engine.hpp"
#include "engine/outbox_collector.hpp"
#include "py/args.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/objects.hpp"
#include "py/trampoline.hpp"
#include "state/exceptions.hpp"
#include "state/nested.hpp"
#include "support/spare_slots.hpp"

namespace olvex::engine {

using py::Ref;

namespace {

// The storage of the records of transactions gone, empty, for the next
// ones: a process run opens and drops one transaction after another, each
// with a few entries in each record, and would otherwise allocate and free
// the same four blocks every time. Storage moves in and out by swapping.
// Used only with the interpreter lock held and no Python code running in
// between; kept for the process.
struct SpareRecords {
  DeltaLog log;
  ShadowCache cache;
  RootShadows roots;
  TrackedPaths tracked;
};

// Larger storage is given back.
constexpr std::size_t kSpareMaxEntries = 64;
constexpr std::size_t kSpareMaxText = 4096;

support::SpareSlots<SpareRecords, 4>& spares() {
  static auto* const kept = new support::SpareSlots<SpareRecords, 4>();
  return *kept;
}

// The pending buffers of transactions gone, emptied, when nothing else held
// them: the next transactions take them instead of making new ones. A
// buffer is taken only while it is still empty and held by this table
// alone.
struct SpareBuffers {
  Ref data;
  Ref heavy;
  Ref signal;
};

support::SpareSlots<SpareBuffers, 4>& spare_buffers() {
  static auto* const kept = new support::SpareSlots<SpareBuffers, 4>();
  return *kept;
}

bool unshared_empty_dict(PyObject* o) noexcept {
  return Py_REFCNT(o) == 1 && PyDict_CheckExact(o) && PyDict_Size(o) == 0;
}

bool unshared_empty_list(PyObject* o) noexcept {
  return Py_REFCNT(o) == 1 && PyList_CheckExact(o) && PyList_Size(o) == 0;
}

bool reusable(const SpareBuffers& b) noexcept {
  return unshared_empty_dict(b.data.get()) && unshared_empty_dict(b.heavy.get()) &&
         unshared_empty_list(b.signal.get());
}

// Empties `data` and keeps the three for a later transaction, when nothing
// else holds them; otherwise they are let go. Emptying can run Python code.
void give_back(Ref data, Ref heavy, Ref signal) noexcept {
  if (!data || !heavy || !signal) return;
  if (Py_REFCNT(data.get()) == 1 && PyDict_CheckExact(data.get())) PyDict_Clear(data.get());
  SpareBuffers b{std::move(data), std::move(heavy), std::move(signal)};
  if (!reusable(b)) return;
  if (SpareBuffers* slot = spare_buffers().give()) *slot = std::move(b);
}

void swap_records(TransactionData& t, SpareRecords& spare) noexcept {
  t.delta_log.peek().swap(spare.log);
  t.shadow_cache.peek().swap(spare.cache);
  t.root_shadows.peek().swap(spare.roots);
  t.tracked_paths.peek().swap(spare.tracked);
}

}  // namespace

TransactionData::TransactionData(Ref engine, std::uint64_t write_timeout_ms, Ref pending_data, Ref pending_heavy,
                                 Ref pending_signal)
    : write_timeout_ms(write_timeout_ms),
      engine(std::move(engine)),
      pending_data(std::move(pending_data)),
      pending_heavy(std::move(pending_heavy)),
      pending_signal(std::move(pending_signal)),
      outbox(state::OutboxBuffer::create()),
      deltas_inferred(false) {
  if (SpareRecords* kept = spares().take()) swap_records(*this, *kept);
}

TransactionData::~TransactionData() {
  // Nothing can reach a transaction being destroyed, so the entries are
  // released in place, in the order the members' own destruction would
  // release them; that can run Python code, which may open and drop
  // transactions of its own meanwhile.
  tracked_paths.peek().clear();
  root_shadows.peek().clear();
  shadow_cache.peek().clear();
  delta_log.peek().clear();
  // Then the outbox buffer, as the members' destruction would (the const
  // does not hold for an object under destruction).
  state::OutboxBuffer::recycle(std::move(const_cast<state::OutboxRef&>(outbox)));
  {
    // Then the pending buffers, last made first released as before.
    Ref signal = std::move(const_cast<Ref&>(pending_signal));
    Ref heavy = std::move(const_cast<Ref&>(pending_heavy));
    Ref data = std::move(const_cast<Ref&>(pending_data));
    give_back(std::move(data), std::move(heavy), std::move(signal));
  }
  if (delta_log.peek().capacity() > kSpareMaxEntries || delta_log.peek().text_capacity() > kSpareMaxText ||
      shadow_cache.peek().capacity() > kSpareMaxEntries ||
      root_shadows.peek().capacity() > kSpareMaxEntries || tracked_paths.peek().capacity() > kSpareMaxEntries) {
    return;
  }
  if (SpareRecords* slot = spares().give()) swap_records(*this, *slot);
}

namespace {

using Instance = py::Native<TransactionData>;

Ref make_transaction(Ref engine, std::uint64_t write_timeout_ms) {
  SpareBuffers b;
  if (SpareBuffers* kept = spare_buffers().take()) b = std::move(*kept);
  if (!b.data || !reusable(b)) b = {py::Dict::make(), py::Dict::make(), py::List::make()};
  return py::make_kept<TransactionData>(transaction_type.get(), std::move(engine), write_timeout_ms,
                                        std::move(b.data), std::move(b.heavy), std::move(b.signal));
}

PyObject* tx_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const py::Params<2> params{"Transaction.__new__", {"engine", "write_timeout_ms"}, 0};
  auto [engine_arg, timeout] = params.bind(args, kwargs);
  PyObject* engine = engine_arg ? py::optional(engine_arg) : nullptr;
  if (engine && !is_engine(engine)) py::raise_arg_type("engine", engine, "OlvexEngine");
  std::uint64_t limit = timeout ? py::arg_u64(timeout, "write_timeout_ms") : kDefaultWriteTimeoutMs;
  // A private engine when none is given: nothing else refers to it.
  Ref bound = engine ? Ref::borrow(engine) : new_engine();
  return make_transaction(std::move(bound), limit).release();
}

// ---- properties ---------------------------------------------------------------

PyObject* tx_get_outbox(PyObject* self, void*) {
  py::SharedBorrow borrow(transaction_flag(self));
  return collector_for(transaction_data(self).outbox).release();
}

PyObject* tx_get_write_timeout_ms(PyObject* self, void*) {
  py::SharedBorrow borrow(transaction_flag(self));
  return py::to_py_u64(transaction_data(self).write_timeout_ms).release();
}

// A preview built afresh on every read; the first read runs the inference.
PyObject* tx_get_pending_data(PyObject* self, void*) {
  py::SharedBorrow borrow(transaction_flag(self));
  return build_pending_from_deltas(self).release();
}

PyObject* tx_get_pending_heavy(PyObject* self, void*) {
  py::SharedBorrow borrow(transaction_flag(self));
  return Ref(transaction_data(self).pending_heavy).release();
}

PyObject* tx_get_pending_signal(PyObject* self, void*) {
  py::SharedBorrow borrow(transaction_flag(self));
  return Ref(transaction_data(self).pending_signal).release();
}

// ---- update and the log ---------------------------------------------------------

PyObject* tx_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<3> params{"Transaction.update", {"data", "heavy", "signal"}, 0};
  auto [data_arg, heavy_arg, signal_arg] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(transaction_flag(self));
  const TransactionData& t = transaction_data(self);
  if (PyObject* data = data_arg ? py::optional(data_arg) : nullptr) {
    if (!py::Dict::is(data)) state::raise(state::Exc::ContextError, "update data must be a dict");
    state::deep_update_inplace(t.pending_data.get(), data);
  }
  if (PyObject* heavy = heavy_arg ? py::optional(heavy_arg) : nullptr) {
    if (!py::Dict::is(heavy)) state::raise(state::Exc::ContextError, "heavy update data must be a dict");
    state::deep_update_inplace(t.pending_heavy.get(), heavy);
  }
  if (PyObject* signal = signal_arg ? py::optional(signal_arg) : nullptr) {
    py::List::borrow(t.pending_signal.get()).append(signal);
  }
  return py::none().release();
}

PyObject* tx_log_delta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<3> params{"Transaction.log_delta", {"path", "old_val", "new_val"}, 1};
  auto [path, old_val, new_val] = params.bind(args, nargs, kwnames);
  log_delta(self, path, old_val, new_val);
  return py::none().release();
}

PyObject* tx_log_internal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<6> params{
      "Transaction.log_internal", {"_path", "_op", "_new_val", "_old_val", "_obj_ref", "_key"}, 2};
  auto [path, op, new_val, old_val, obj_ref, key_arg] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(transaction_flag(self));
  // Only the types are checked: the texts are not needed, so a lone
  // surrogate in them is no error.
  if (!py::Str::is(path)) py::raise_arg_type("_path", path, "PyString");
  if (!py::Str::is(op)) py::raise_arg_type("_op", op, "PyString");
  PyObject* key = key_arg ? py::optional(key_arg) : nullptr;
  if (key && !py::Str::is(key)) py::raise_arg_type("_key", key, "PyString");
  log_internal(self, {}, {}, new_val, old_val, obj_ref, std::nullopt);
  return py::none().release();
}

PyObject* tx_get_delta_log(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(transaction_flag(self));
  std::vector<Ref> paths = transaction_data(self).delta_log.with([](DeltaLog& log) {
    std::vector<Ref> out;
    out.reserve(log.size());
    for (DeltaEntry& e : log) out.push_back(log.path_of(e));
    return out;
  });
  py::List list = py::List::make(static_cast<Py_ssize_t>(paths.size()));
  for (std::size_t i = 0; i < paths.size(); ++i) list.put(static_cast<Py_ssize_t>(i), std::move(paths[i]));
  return list.release();
}

// ---- refusals -----------------------------------------------------------------

PyObject* tx_reduce(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(transaction_flag(self));
  py::raise(PyExc_RuntimeError,
            "Transaction objects cannot be pickled/deepcopied. They are transient controllers with scoped "
            "lifecycle. Use contextvars to access the active transaction.");
}

PyObject* tx_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"Transaction.__deepcopy__", {"_memo"}, 1};
  params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(transaction_flag(self));
  py::raise(PyExc_RuntimeError,
            "Transaction objects cannot be deepcopied. They are transient controllers with scoped lifecycle.");
}

// ---- cycle collection -------------------------------------------------------
// Every object the records hold is visited, without their locks (see
// Mutex::peek), and the outbox buffer (which visits its messages).

int tx_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  TransactionData& t = n->value();
  Py_VISIT(t.engine.get());
  Py_VISIT(t.pending_data.get());
  Py_VISIT(t.pending_heavy.get());
  Py_VISIT(t.pending_signal.get());
  Py_VISIT(t.outbox.object());
  for (const DeltaEntry& e : t.delta_log.peek()) {
    Py_VISIT(e.new_val.get());
    Py_VISIT(e.old_val.get());
  }
  for (const auto& [id, e] : t.shadow_cache.peek()) {
    Py_VISIT(e.shadow.get());
    Py_VISIT(e.original.get());
  }
  for (const auto& [root, shadow] : t.root_shadows.peek()) Py_VISIT(shadow.get());
  for (const auto& [path, e] : t.tracked_paths.peek()) Py_VISIT(e.original.get());
  return 0;
}

// Empties the records and the pending buffers (the references to the
// buffers and the outbox stay, so every member keeps working on an empty transaction).
// Everything is moved out first and released last.
int tx_clear(PyObject* self) {
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  TransactionData& t = n->value();
  DeltaLog log = std::exchange(t.delta_log.peek(), {});
  ShadowCache cache = std::exchange(t.shadow_cache.peek(), {});
  RootShadows roots = std::exchange(t.root_shadows.peek(), {});
  TrackedPaths tracked = std::exchange(t.tracked_paths.peek(), {});
  PyDict_Clear(t.pending_data.get());
  PyDict_Clear(t.pending_heavy.get());
  if (PyList_SetSlice(t.pending_signal.get(), 0, PY_SSIZE_T_MAX, nullptr) < 0) PyErr_Clear();
  return 0;
}

void tx_dealloc(PyObject* self) { py::dealloc_kept<TransactionData>(self); }

// Entries in their fixed order; the comments hold the places of the members
// that the lifecycle adds.
PyMethodDef tx_methods[] = {
    {"update", py::method<tx_update>(), METH_FASTCALL | METH_KEYWORDS,
     "update($self, data=None, heavy=None, signal=None)\n--\n\n"},
    {"get_shadow_updates", py::method<tx_get_shadow_updates>(), METH_NOARGS,
     "get_shadow_updates($self)\n--\n\n"
     "Get shadow updates keyed by root path (e.g., 'domain' -> shadow_dict)\n"
     "This extracts all modified root-level objects for committing to State."},
    {"build_pending_from_deltas", py::method<tx_build_pending_from_deltas>(), METH_NOARGS,
     "build_pending_from_deltas($self)\n--\n\n"
     "[v3.1 Delta Replay] Build pending_data from delta_log by replaying mutations"},
    {"get_delta_log", py::method<tx_get_delta_log>(), METH_NOARGS,
     "get_delta_log($self)\n--\n\n[v3.1.2] Expose raw delta log for strict contract validation"},
    {"flush_outbox", py::method<tx_flush_outbox>(), METH_NOARGS,
     "flush_outbox($self)\n--\n\n[v3.3] Manual Flush for Flux Engine / execute()"},
    {"__enter__", py::method<tx_enter>(), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", py::method<tx_exit>(), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"},
    {"infer_shadow_deltas", py::method<tx_infer_shadow_deltas>(), METH_NOARGS,
     "infer_shadow_deltas($self)\n--\n\n[v3.1.2] Infer Deltas from Shadow Mutations (Differential Merging)"},
    {"get_shadow", py::method<tx_get_shadow>(), METH_FASTCALL | METH_KEYWORDS,
     "get_shadow($self, val, path=None)\n--\n\nInternal: Get shadow copy for CoW/Tracking"},
    {"commit", py::method<tx_commit>(), METH_NOARGS,
     "commit($self)\n--\n\n"
     "[v3.1 Zero Trust] Commit Delta Log to Pending State\n"
     "This applies the implicit mutations (captured in shadow objects) to the pending_data/heavy buffers."},
    {"log_delta", py::method<tx_log_delta>(), METH_FASTCALL | METH_KEYWORDS,
     "log_delta($self, path, old_val=None, new_val=None)\n--\n\n[v3.1 Zero Trust] Log operation for Audit"},
    {"log_internal", py::method<tx_log_internal>(), METH_FASTCALL | METH_KEYWORDS,
     "log_internal($self, _path, _op, _new_val=None, _old_val=None, _obj_ref=None, _key=None)\n--\n\n"
     "Internal: Log operation for Audit (Full)"},
    {"__reduce__", py::method<tx_reduce>(), METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "[v3.4] Fail-fast: Transaction cannot be pickled/deepcopied.\n"
     "Prevents silent corruption if Transaction leaks into serializable paths."},
    {"__deepcopy__", py::method<tx_deepcopy>(), METH_FASTCALL | METH_KEYWORDS, "__deepcopy__($self, _memo)\n--\n\n"},
    {"is_known_shadow", py::method<tx_is_known_shadow>(), METH_FASTCALL | METH_KEYWORDS,
     "is_known_shadow($self, obj)\n--\n\n[INC-013] Helper: Check if object is a tracked Shadow."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tx_getset[] = {
    {"outbox", py::tramp<tx_get_outbox>, nullptr, nullptr, nullptr},
    {"write_timeout_ms", py::tramp<tx_get_write_timeout_ms>, nullptr, nullptr, nullptr},
    {"pending_data", py::tramp<tx_get_pending_data>, nullptr, nullptr, nullptr},
    {"pending_heavy", py::tramp<tx_get_pending_heavy>, nullptr, nullptr, nullptr},
    {"pending_signal", py::tramp<tx_get_pending_signal>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tx_slots[] = {
    {Py_tp_doc, const_cast<char*>("Transaction(engine=None, write_timeout_ms=5000)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<tx_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tx_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(tx_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tx_clear)},
    {Py_tp_methods, tx_methods},
    {Py_tp_getset, tx_getset},
    {0, nullptr},
};

PyType_Spec tx_spec = {
    "olvex_core.Transaction",
    static_cast<int>(sizeof(Instance)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    tx_slots,
};

}  // namespace

namespace {
// The class's own log_delta and get_shadow as the type was made, kept for
// the process: a native call is sound only while the class still has it.
PyObject* g_own_log_delta = nullptr;
PyObject* g_own_get_shadow = nullptr;
// The class's namespace, as the read-only view of it that `__dict__` gives
// (the live dict behind it: an assignment to the class or a deletion from
// it shows there at once).
PyObject* g_tx_namespace = nullptr;
// The live dict behind that view, when its traversal hands one over: read
// directly, a check is one dict lookup rather than one through the view.
PyObject* g_tx_dict = nullptr;

PyObject* dict_behind(PyObject* view) {
  auto traverse = reinterpret_cast<traverseproc>(PyType_GetSlot(Py_TYPE(view), Py_tp_traverse));
  if (!traverse) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* found = nullptr;
  traverse(
      view,
      [](PyObject* o, void* arg) -> int {
        auto** first = static_cast<PyObject**>(arg);
        if (!*first) *first = o;
        return 0;
      },
      &found);
  return found && PyDict_CheckExact(found) ? found : nullptr;
}

// Whether `tx` is the module's own Transaction and its class's `name` is
// still `own`. The class's own namespace answers as the attribute read on
// the class would: its metaclass is `type`, which has no such name, and the
// class's own entry comes first in its lookup order. Read there, the check
// costs one dict lookup instead of two lookups through the type caches and
// a descriptor call.
bool keeps_own(PyObject* tx, PyObject* name, PyObject* own) {
  if (!is_transaction(tx)) return false;
  PyObject* found = nullptr;
  const int rc = g_tx_dict ? PyDict_GetItemRef(g_tx_dict, name, &found)
                           : PyMapping_GetOptionalItem(g_tx_namespace, name, &found);
  if (rc < 0) {
    py::discard_ordinary();
    return false;
  }
  Ref now = Ref::steal(found);  // absent: deleted from the class, the call by name reports it
  return now.get() == own;
}
}  // namespace

py::TypeCell transaction_type("Transaction", [] {
  Ref type = Ref::steal(py::make_type(&tx_spec));
  g_own_log_delta = Ref::check(PyObject_GetAttr(type.get(), OLVEX_NAME(log_delta))).release();
  g_own_get_shadow = Ref::check(PyObject_GetAttr(type.get(), OLVEX_NAME(get_shadow))).release();
  g_tx_namespace = Ref::check(PyObject_GetAttrString(type.get(), "__dict__")).release();
  g_tx_dict = dict_behind(g_tx_namespace);  // held by the view, which is kept
  return type.release();
});

bool is_transaction(PyObject* o) { return Py_IS_TYPE(o, reinterpret_cast<PyTypeObject*>(transaction_type.get())); }

bool logs_natively(PyObject* tx) { return keeps_own(tx, OLVEX_NAME(log_delta), g_own_log_delta); }

bool shadows_natively(PyObject* tx) { return keeps_own(tx, OLVEX_NAME(get_shadow), g_own_get_shadow); }

void DeltaLog::push_text(std::string_view text, Ref new_val, Ref old_val, std::uint64_t ticket) {
  // Room first, so that nothing changes when an allocation fails.
  make_room();
  if (texts_.capacity() == 0) texts_.reserve(256);  // a few paths' worth, kept with the log
  const std::size_t at = texts_.size();
  texts_.append(text);
  entries_.push_back({Ref(), std::move(new_val), std::move(old_val), ticket, at, text.size()});
}

const Ref& DeltaLog::path_of(DeltaEntry& e) {
  if (!e.path) e.path = py::to_py(text_of(e));
  return e.path;
}

namespace {

template <class Append>
DeltaTicket log_entry(PyObject* tx, Append&& append) {
  TransactionData& t = transaction_data(tx);
  std::uint64_t number = t.last_ticket.fetch_add(1, std::memory_order_relaxed) + 1;
  t.delta_log.with([&](DeltaLog& log) { append(log, number); });
  return {Ref::borrow(tx), number};
}

}  // namespace

DeltaTicket log_delta(PyObject* tx, PyObject* path, PyObject* old_val, PyObject* new_val) {
  py::SharedBorrow borrow(transaction_flag(tx));
  if (!py::Str::is(path)) py::raise_arg_type("path", path, "PyString");
  DeltaEntry entry{py::Str::exact(path), Ref::borrow(new_val ? py::optional(new_val) : nullptr),
                   Ref::borrow(old_val ? py::optional(old_val) : nullptr)};
  return log_entry(tx, [&](DeltaLog& log, std::uint64_t number) {
    entry.ticket = number;
    log.push_back(std::move(entry));
  });
}

DeltaTicket log_delta(PyObject* tx, std::string_view path, PyObject* old_val, PyObject* new_val) {
  py::SharedBorrow borrow(transaction_flag(tx));
  return log_entry(tx, [&](DeltaLog& log, std::uint64_t number) {
    log.push_text(path, Ref::borrow(new_val ? py::optional(new_val) : nullptr),
                  Ref::borrow(old_val ? py::optional(old_val) : nullptr), number);
  });
}

void withdraw_delta(const DeltaTicket& ticket) noexcept {
  if (!ticket) return;
  py::ErrorScope keep;  // the failed write's exception stays as it was
  DeltaEntry gone;      // released after the unlock, below
  try {
    transaction_data(ticket.tx.get()).delta_log.run_unless_poisoned([&](DeltaLog& log) {
      for (auto it = log.rbegin(); it != log.rend(); ++it) {
        if (it->ticket != ticket.number) continue;
        gone = std::move(*it);
        log.erase(std::next(it).base());  // the shift drops only emptied references
        return;
      }
    });
  } catch (...) {
    // Only the mutex itself can fail here; the entry then stays.
  }
}

Ref new_transaction(Ref engine, std::uint64_t write_timeout_ms) {
  return make_transaction(std::move(engine), write_timeout_ms);
}

}  // namespace olvex::engine
