// OlvexEngine: the type object, construction, the setters, the conflict
// forwarding, the properties, transaction() and commit_state(). The outbox
// hand-over to the worker is in process_outbox.cpp, compare-and-swap in
// compare_and_swap.cpp.
//
// References replaced in a cell (worker, schema, audit system) and the
// state replaced by commit_state are released only after the cell's lock
// and the call's borrow are let go: their release can run Python code,
// which may call back into this engine.
#include "engine/engine.hpp"

#include <utility>

#include "engine/conflict_manager.hpp"
#include "engine/outbox_collector.hpp"
#include "engine/transaction.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/trampoline.hpp"
#include "state/state.hpp"

namespace olvex::engine {

using py::Ref;

EngineData::EngineData(Ref initial_state)
    : state(std::move(initial_state)),
      outbox(state::OutboxBuffer::create()),
      strict_guards(false),
      strict_cas(false),
      conflicts(std::make_shared<support::ConflictCore>(5, 2)) {}

namespace {

using Instance = py::Native<EngineData>;

constexpr std::uint64_t kInitialVersion = 0;
constexpr std::size_t kInitialMetaCapacity = 1000;

Ref make_engine(PyTypeObject* type) {
  auto* state_type = reinterpret_cast<PyTypeObject*>(state::state_type.get());
  Ref initial = state::new_state(state_type, nullptr, nullptr, nullptr, kInitialVersion, kInitialMetaCapacity);
  return py::make_native<EngineData>(type, std::move(initial));
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  py::bind_none_tuple("OlvexEngine.__new__", args, kwargs);
  return make_engine(type).release();
}

// Swaps `value` into the cell; the previous reference comes back to be
// released by the caller once everything is let go.
Ref swap_cell(py::Mutex<Ref>& cell, Ref value) {
  return cell.with([&](Ref& held) { return std::exchange(held, std::move(value)); });
}

PyObject* set_object_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          const py::Params<1>& params, py::Mutex<Ref> EngineData::*cell) {
  auto [value] = params.bind(args, nargs, kwnames);
  Ref previous;  // released after the borrow below
  {
    py::SharedBorrow borrow(engine_flag(self));
    previous = swap_cell(engine_data(self).*cell, Ref::borrow(value));
  }
  return py::none().release();
}

PyObject* set_flag_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        const py::Params<1>& params, py::Mutex<bool> EngineData::*cell) {
  auto [value] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(engine_flag(self));
  bool enabled = py::arg_bool(value, "enabled");
  (engine_data(self).*cell).with([&](bool& held) { held = enabled; });
  return py::none().release();
}

PyObject* engine_set_audit_system(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OlvexEngine.set_audit_system", {"audit"}, 1};
  return set_object_cell(self, args, nargs, kwnames, params, &EngineData::audit_system);
}

PyObject* engine_set_strict_guards(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OlvexEngine.set_strict_guards", {"enabled"}, 1};
  return set_flag_cell(self, args, nargs, kwnames, params, &EngineData::strict_guards);
}

PyObject* engine_set_strict_cas(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OlvexEngine.set_strict_cas", {"enabled"}, 1};
  return set_flag_cell(self, args, nargs, kwnames, params, &EngineData::strict_cas);
}

PyObject* engine_set_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OlvexEngine.set_schema", {"schema"}, 1};
  return set_object_cell(self, args, nargs, kwnames, params, &EngineData::schema);
}

PyObject* engine_attach_worker(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OlvexEngine.attach_worker", {"worker"}, 1};
  return set_object_cell(self, args, nargs, kwnames, params, &EngineData::worker);
}

PyObject* engine_report_conflict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OlvexEngine.report_conflict", {"process_name"}, 1};
  auto [name] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(engine_flag(self));
  std::string_view key = py::arg_str(name, "process_name");
  return retry_decision_object(engine_data(self).conflicts->report_conflict(key)).release();
}

PyObject* engine_report_success(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OlvexEngine.report_success", {"process_name"}, 1};
  auto [name] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(engine_flag(self));
  std::string_view key = py::arg_str(name, "process_name");
  engine_data(self).conflicts->report_success(key);
  return py::none().release();
}

PyObject* engine_get_state(PyObject* self, void*) {
  py::SharedBorrow borrow(engine_flag(self));
  return current_state(self).release();
}

PyObject* engine_get_outbox(PyObject* self, void*) {
  py::SharedBorrow borrow(engine_flag(self));
  return collector_for(engine_data(self).outbox).release();
}

// No borrow: a transaction can be opened while another call holds the
// engine exclusively.
PyObject* engine_transaction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OlvexEngine.transaction", {"write_timeout_ms"}, 0};
  auto [timeout] = params.bind(args, nargs, kwnames);
  std::uint64_t limit = timeout ? py::arg_u64(timeout, "write_timeout_ms") : kDefaultWriteTimeoutMs;
  return new_transaction(Ref::borrow(self), limit).release();
}

PyObject* engine_commit_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OlvexEngine.commit_state", {"state"}, 1};
  auto [next] = params.bind(args, nargs, kwnames);
  Ref previous;  // released after the borrow below
  {
    py::ExclusiveBorrow borrow(engine_flag(self));
    if (!state::is_state(next)) py::raise_arg_type("state", next, "State");
    previous = replace_state(self, Ref::borrow(next));
  }
  return py::none().release();
}

// ---- cycle collection -------------------------------------------------------
// Every Python object the engine holds is visited, its outbox buffer too
// (the buffer visits the messages). Cells are read without their locks (see
// Mutex::peek).

int engine_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  EngineData& e = n->value();
  Py_VISIT(e.state.get());
  Py_VISIT(e.outbox.object());
  Py_VISIT(e.worker.peek().get());
  Py_VISIT(e.schema.peek().get());
  Py_VISIT(e.audit_system.peek().get());
  return 0;
}

// Breaks cycles through the callbacks and the audit system. The state stays:
// it must remain a State, and its own clear empties its zones; so does the
// outbox buffer, whose own clear drops its messages.
int engine_clear(PyObject* self) {
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  EngineData& e = n->value();
  Ref worker = std::exchange(e.worker.peek(), Ref());
  Ref schema = std::exchange(e.schema.peek(), Ref());
  Ref audit = std::exchange(e.audit_system.peek(), Ref());
  return 0;
}

void engine_dealloc(PyObject* self) { py::dealloc_native<EngineData>(self); }

// Entries in their fixed order; the comment holds the place of the member
// that the process runner adds.
PyMethodDef engine_methods[] = {
    {"set_audit_system", py::method<engine_set_audit_system>(), METH_FASTCALL | METH_KEYWORDS,
     "set_audit_system($self, audit)\n--\n\n"},
    {"set_strict_guards", py::method<engine_set_strict_guards>(), METH_FASTCALL | METH_KEYWORDS,
     "set_strict_guards($self, enabled)\n--\n\n"},
    {"set_strict_cas", py::method<engine_set_strict_cas>(), METH_FASTCALL | METH_KEYWORDS,
     "set_strict_cas($self, enabled)\n--\n\n"},
    {"set_schema", py::method<engine_set_schema>(), METH_FASTCALL | METH_KEYWORDS, "set_schema($self, schema)\n--\n\n"},
    {"report_conflict", py::method<engine_report_conflict>(), METH_FASTCALL | METH_KEYWORDS,
     "report_conflict($self, process_name)\n--\n\n"},
    {"report_success", py::method<engine_report_success>(), METH_FASTCALL | METH_KEYWORDS,
     "report_success($self, process_name)\n--\n\n"},
    // state, outbox: properties (engine_getset)
    {"transaction", py::method<engine_transaction>(), METH_FASTCALL | METH_KEYWORDS,
     "transaction($self, write_timeout_ms=5000)\n--\n\n"},
    {"commit_state", py::method<engine_commit_state>(), METH_FASTCALL | METH_KEYWORDS,
     "commit_state($self, state)\n--\n\n"},
    {"attach_worker", py::method<engine_attach_worker>(), METH_FASTCALL | METH_KEYWORDS,
     "attach_worker($self, worker)\n--\n\n"},
    {"process_outbox", py::method<engine_process_outbox>(), METH_NOARGS, "process_outbox($self)\n--\n\n"},
    {"compare_and_swap", py::method<engine_compare_and_swap>(), METH_FASTCALL | METH_KEYWORDS,
     "compare_and_swap($self, expected_version, data=None, heavy=None, signal=None, requester=None)\n--\n\n"},
    {"execute_process_async", py::method<engine_execute_process_async>(), METH_FASTCALL | METH_KEYWORDS,
     "execute_process_async($self, name, func, tx=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_getset[] = {
    {"state", py::tramp<engine_get_state>, nullptr, nullptr, nullptr},
    {"outbox", py::tramp<engine_get_outbox>, nullptr, "[v3.3] Expose Engine Outbox for manual flushing", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("OlvexEngine()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<engine_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engine_clear)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "olvex_core.OlvexEngine",
    static_cast<int>(sizeof(Instance)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    engine_slots,
};

}  // namespace

py::TypeCell engine_type("OlvexEngine", [] { return py::make_type(&engine_spec); });

bool is_engine(PyObject* o) { return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(engine_type.get())); }

Ref new_engine() { return make_engine(reinterpret_cast<PyTypeObject*>(engine_type.get())); }

Ref current_state(PyObject* engine) { return engine_data(engine).state; }

Ref replace_state(PyObject* engine, Ref next) { return std::exchange(engine_data(engine).state, std::move(next)); }

std::optional<Ref> schema(PyObject* engine) {
  Ref held = engine_data(engine).schema.with([](Ref& cell) { return cell; });
  if (!held) return std::nullopt;
  return held;
}

bool strict_cas(PyObject* engine) {
  return engine_data(engine).strict_cas.with([](bool& v) { return v; });
}

const state::OutboxRef& outbox_buffer(PyObject* engine) { return engine_data(engine).outbox; }

bool is_blocked(PyObject* engine, std::optional<std::string_view> requester) {
  return engine_data(engine).conflicts->is_blocked(requester);
}

}  // namespace olvex::engine
