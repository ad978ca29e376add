// WorkflowEngine: construction from the YAML text, the workflow state and
// its history, observers, and the type object. The run, conditions and
// simulation live in their own files.
//
// Cycle collection: observers are the only Python objects an engine holds
// that can refer back to it, so traverse and clear cover them alone.
// Traverse reads the list without its mutex: the collector runs holding the
// interpreter lock, and the mutex is only ever held for short sections that
// run no Python code and never give the lock up.
#include <fmt/format.h>

#include "flux/engine.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/output.hpp"
#include "py/trampoline.hpp"

namespace olvex::flux {

using py::Ref;
namespace yaml = support::yaml;
namespace sflux = support::flux;

EngineData::EngineData(yaml::Tree tree, sflux::Workflow wf, std::vector<Ref> names, std::uint32_t max_ops_,
                       bool debug_)
    : config(std::move(tree)), workflow(std::move(wf)), process_names(std::move(names)), max_ops(max_ops_),
      debug(debug_) {
  if (const yaml::Item* n = config.root().find("nodes")) {
    nodes = n->node;
    if (nodes->kind() == yaml::Kind::Mapping) node_index = sflux::NodeIndex(*nodes);
  }
}

void debug_line(std::string_view text) {
  std::string line = fmt::format("[FLUX-DEBUG] {}\n", text);
  py::write_raw(2, line);
}

void check_ctx(PyObject* ctx) {
  if (!PyDict_Check(ctx)) py::raise_arg_type("ctx", ctx, "PyDict");
}

RecursionGuard::RecursionGuard(const char* where) { py::check(Py_EnterRecursiveCall(where)); }
RecursionGuard::~RecursionGuard() { Py_LeaveRecursiveCall(); }

void transition_state(EngineData& e, Fsm next) {
  Fsm old;
  {
    auto g = e.current.lock();
    old = *g;
  }
  {
    auto g = e.current.lock();
    *g = next;
  }
  {
    auto g = e.history.lock();
    g->push_back(next);
  }
  std::vector<Ref> observers;
  {
    auto g = e.observers.lock();
    observers = *g;
  }
  for (const Ref& observer : observers) {
    PyObject* result = nullptr;
    try {
      Ref a = fsm_object(old);
      Ref b = fsm_object(next);
      PyObject* argv[] = {nullptr, a.get(), b.get()};
      result = PyObject_Vectorcall(observer.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    } catch (const py::PyErrorSet&) {
    } catch (const std::bad_alloc&) {
    }
    Py_XDECREF(result);
    PyErr_Clear();
  }
  observers.clear();  // released before the line, with no lock held
  if (e.debug) debug_line(fmt::format("FSM State: {} -> {}", fsm_name(old), fsm_name(next)));
}

namespace {

using Instance = py::Native<EngineData>;

[[noreturn]] void value_error(std::string_view prefix, std::string_view text) {
  py::raise(PyExc_ValueError, fmt::format("{}{}", prefix, text));
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<3> params{"WorkflowEngine.__new__", {"yaml_config", "max_ops", "debug"}, 1};
  auto [config_arg, max_ops_arg, debug_arg] = params.bind(args, kwargs);
  std::string_view text = py::arg_str(config_arg, "yaml_config");
  std::uint32_t max_ops = max_ops_arg ? py::arg_unsigned<std::uint32_t>(max_ops_arg, "max_ops") : 10000;
  bool debug = debug_arg ? py::arg_bool(debug_arg, "debug") : false;

  yaml::ReadResult read = yaml::read(text);
  if (!read) value_error("Invalid YAML: ", read.error);
  if (std::optional<std::string> repeated = sflux::repeated_key_message(*read.tree)) {
    value_error("Invalid YAML: ", *repeated);
  }
  sflux::ParseOutcome parsed = sflux::parse_workflow(read.tree->root(), [](std::string_view warning) {
    py::write_raw(2, fmt::format("{}\n", warning));
  });
  if (!parsed.ok()) value_error("Parse error: ", parsed.error);
  if (debug) debug_line(fmt::format("Parsed {} top-level steps", parsed.workflow.steps.size()));

  std::vector<Ref> names(parsed.workflow.processes);
  sflux::for_each_process(parsed.workflow.steps, [&](const sflux::Process& p) { names[p.id] = py::to_py(p.name); });
  return py::make_native<EngineData>(type, std::move(*read.tree), std::move(parsed.workflow), std::move(names),
                                     max_ops, debug)
      .release();
}

int engine_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  auto& observers = n->value().observers;
  if (observers.poisoned()) return 0;
  // See the note at the top: no lock is needed, or taken, here.
  for (const Ref& o : observers.unguarded()) Py_VISIT(o.get());
  return 0;
}

int engine_clear(PyObject* self) {
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  std::vector<Ref> dropped;
  {
    auto g = n->value().observers.lock();
    dropped.swap(*g);
  }
  return 0;  // `dropped` releases the observers here, after unlocking
}

PyObject* get_fsm_state(PyObject* self, void*) {
  py::SharedBorrow borrow(engine_flag(self));
  Fsm s;
  {
    auto g = engine_of(self).current.lock();
    s = *g;
  }
  return fsm_object(s).release();
}

PyObject* get_state_history(PyObject* self, void*) {
  py::SharedBorrow borrow(engine_flag(self));
  std::vector<Fsm> copy;
  {
    auto g = engine_of(self).history.lock();
    copy = *g;
  }
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(copy.size())));
  for (std::size_t i = 0; i < copy.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), fsm_object(copy[i]).release());
  }
  return list.release();
}

PyObject* engine_add_state_observer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"WorkflowEngine.add_state_observer", {"callback"}, 1};
  auto [callback] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(engine_flag(self));
  Ref held = Ref::borrow(callback);
  {
    auto g = engine_of(self).observers.lock();
    g->push_back(std::move(held));
  }
  return py::none().release();
}

PyGetSetDef engine_getset[] = {
    {"fsm_state", py::tramp<get_fsm_state>, nullptr, "Get current FSM state.", nullptr},
    {"state", py::tramp<get_fsm_state>, nullptr, "Alias for fsm_state (for test compatibility).", nullptr},
    {"state_history", py::tramp<get_state_history>, nullptr, "Get state transition history.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef engine_methods[] = {
    {"add_state_observer", py::method<engine_add_state_observer>(), METH_FASTCALL | METH_KEYWORDS,
     "add_state_observer($self, callback)\n--\n\n"
     "Add an observer callback for state changes.\n"
     "Callback signature: (old_state, new_state) -> None"},
    {"execute", py::method<engine_execute>(), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, ctx, executor)\n--\n\n"
     "Execute the workflow using the provided executor callback.\n\n"
     "Args:\n"
     "    ctx: PyDict - Context for condition evaluation (e.g., {\"domain\": {...}, \"global\": {...}})\n"
     "    executor: Callable[[str], None] - Function to execute a process by name\n\n"
     "Returns:\n"
     "    List of executed process names (for debugging/logging)"},
    {"execute_async", py::method<engine_execute_async>(), METH_FASTCALL | METH_KEYWORDS,
     "execute_async($self, ctx, executor)\n--\n\n"
     "Execute the workflow asynchronously.\n"
     "Wraps the synchronous execution in a thread (asyncio.to_thread) to avoid blocking the event loop.\n"
     "Handles FSM state transitions correctly for async steps by blocking the worker thread."},
    {"simulate", py::method<engine_simulate>(), METH_FASTCALL | METH_KEYWORDS,
     "simulate($self, ctx)\n--\n\n"
     "Legacy method for backward compatibility with existing tests.\n"
     "Returns the simulated execution path without actually executing."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("WorkflowEngine(yaml_config, max_ops=10000, debug=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<engine_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<EngineData>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(py::tramp<engine_clear>)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "builtins.WorkflowEngine",
    static_cast<int>(sizeof(Instance)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    engine_slots,
};

PyObject* make_engine_type() {
  Ref type = Ref::steal(py::make_type(&engine_spec));
  // The text signature stays in the internal doc; the class itself has no docstring.
  py::check(PyObject_SetAttrString(type.get(), "__doc__", Py_None));
  return type.release();
}

}  // namespace

py::TypeCell workflow_engine_type("WorkflowEngine", make_engine_type);

}  // namespace olvex::flux
