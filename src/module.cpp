// The module frame: one module object per process, the banner, and the
// registration of every public name in one fixed order.
#include "module.hpp"

#include <atomic>
#include <cstdint>
#include <vector>

#include "access/guard.hpp"
#include "access/proxy.hpp"
#include "engine/audit.hpp"
#include "engine/conflict_manager.hpp"
#include "engine/engine.hpp"
#include "engine/outbox_collector.hpp"
#include "engine/transaction.hpp"
#include "engine/supervisor_core.hpp"
#include "flux/engine.hpp"
#include "py/errors.hpp"
#include "py/output.hpp"
#include "py/trampoline.hpp"
#include "py/types.hpp"
#include "py/unwind.hpp"
#include "shm/shm.hpp"
#include "state/config_loader.hpp"
#include "state/exceptions.hpp"
#include "state/overrides.hpp"
#include "state/outbox.hpp"
#include "access/process_context.hpp"
#include "state/signals.hpp"
#include "state/state.hpp"
#include "state/views.hpp"

namespace olvex::module {

namespace {

constexpr std::string_view kBanner = "[OLVEX-CORE] Loaded Version: 3.0.25 (Target Env Build)\n";

// Both modules of the library share the interpreter slot.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;
PyObject* g_shm_module = nullptr;

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "olvex_core",
    "Native core of the olvex framework: versioned state, transactions and guarded context access.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyModuleDef g_shm_def = {
    PyModuleDef_HEAD_INIT, "olvex_shm", "Exposed Python Module", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (created by the first addition),
// then sets the attribute.
void add_name(PyObject* module, const char* name, PyObject* value) {
  py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::PyErrorSet{};
    PyErr_Clear();
    all = py::Ref::check(PyList_New(0));
    py::check(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  py::Ref text = py::Ref::check(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    py::panic("could not append __name__ to __all__");
  }
  py::check(PyObject_SetAttrString(module, name, value));
}

enum class Kind { Class, Exception, Function };

struct Entry {
  const char* name;
  Kind kind;
  py::TypeCell* cell = nullptr;
  state::Exc exc{};
  PyMethodDef* function = nullptr;  // for Kind::Function: bound to the module
};

// The public names in their order.
std::vector<Entry> registration_table() {
  using state::Exc;
  return {
      {"SupervisorCore", Kind::Class, &engine::supervisor_core_type},
      {"SupervisorProxy", Kind::Class, &access::supervisor_proxy_type},
      {"OlvexEngine", Kind::Class, &engine::engine_type},
      {"Transaction", Kind::Class, &engine::transaction_type},
      {"OutboxCollector", Kind::Class, &engine::outbox_collector_type},
      {"WriteTimeoutError", Kind::Exception, nullptr, Exc::WriteTimeoutError},
      {"WorkflowEngine", Kind::Class, &flux::workflow_engine_type},
      {"FSMState", Kind::Class, &flux::fsm_state_type},
      {"SignalHub", Kind::Class, &state::signal_hub_type},
      {"SignalReceiver", Kind::Class, &state::signal_receiver_type},
      {"State", Kind::Class, &state::state_type},
      {"ProcessContext", Kind::Class, &access::process_context_type},
      {"FrozenDict", Kind::Class, &state::frozen_dict_type},
      {"OutboxMsg", Kind::Class, &state::outbox_msg_type},
      {"MetaLogEntry", Kind::Class, &state::meta_log_entry_type},
      {"ContextError", Kind::Exception, nullptr, Exc::ContextError},
      {"ContextGuard", Kind::Class, &access::context_guard_type},
      {"register_physics_override", Kind::Function, nullptr, {}, &state::register_physics_override_def},
      {"clear_physics_overrides", Kind::Function, nullptr, {}, &state::clear_physics_overrides_def},
      {"ConfigLoader", Kind::Class, &state::config_loader_type},
      {"SchemaViolationError", Kind::Exception, nullptr, Exc::SchemaViolationError},
      {"AuditSystem", Kind::Class, &engine::audit_system_type},
      {"AuditRecipe", Kind::Class, &engine::audit_recipe_type},
      {"AuditLevel", Kind::Class, &engine::audit_level_type},
      {"AuditLogEntry", Kind::Class, &engine::audit_log_entry_type},
      {"AuditBlockError", Kind::Exception, nullptr, Exc::AuditBlockError},
      {"AuditAbortError", Kind::Exception, nullptr, Exc::AuditAbortError},
      {"AuditStopError", Kind::Exception, nullptr, Exc::AuditStopError},
      {"AuditWarning", Kind::Exception, nullptr, Exc::AuditWarning},
      {"ConflictManager", Kind::Class, &engine::conflict_manager_type},
      {"RetryDecision", Kind::Class, &engine::retry_decision_type},
  };
}

void initialise(PyObject* m) {
  py::write_raw(2, kBanner);
  for (const Entry& e : registration_table()) {
    switch (e.kind) {
      case Kind::Class:
        add_name(m, e.name, e.cell->get_for_registration());
        break;
      case Kind::Exception:
        add_name(m, e.name, state::exception_type(e.exc));
        break;
      case Kind::Function: {
        py::Ref module_name = py::Ref::check(PyModule_GetNameObject(m));
        py::Ref f = py::Ref::check(PyCFunction_NewEx(e.function, m, module_name.get()));
        add_name(m, e.function->ml_name, f.get());
        break;
      }
    }
  }
  // Last, the shm submodule: an attribute only, not entered in sys.modules.
  py::Ref shm = py::Ref::check(PyModule_New("shm"));
  add_name(shm.get(), "BufferDescriptor", shm::buffer_descriptor_type.get_for_registration());
  add_name(shm.get(), "MemoryRegistry", shm::memory_registry_type.get_for_registration());
  const char* shm_name = PyModule_GetName(shm.get());
  if (!shm_name) throw py::PyErrorSet{};
  add_name(m, shm_name, shm.get());
}

// The refusal of a second interpreter comes before anything is made.
void claim_interpreter() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    py::raise(PyExc_ImportError,
              "PyO3 modules do not yet support subinterpreters, see "
              "https://docs.python.org/3/howto/isolating-extensions.html");
  }
}

PyObject* init() {
  claim_interpreter();
  py::watch_exit();
  if (g_module) return py::Ref::borrow(g_module).release();
  py::Ref m = py::Ref::check(PyModule_Create(&g_def));
  initialise(m.get());
  g_module = py::Ref(m).release();
  return m.release();
}

// olvex_shm: BufferDescriptor alone, made independently of olvex_core (no
// banner), with the same class object.
PyObject* init_shm_module() {
  claim_interpreter();
  py::watch_exit();
  if (g_shm_module) return py::Ref::borrow(g_shm_module).release();
  py::Ref m = py::Ref::check(PyModule_Create(&g_shm_def));
  add_name(m.get(), "BufferDescriptor", shm::buffer_descriptor_type.get_for_registration());
  g_shm_module = py::Ref(m).release();
  return m.release();
}

template <PyObject* (*Init)()>
OLVEX_PASSES_FORCED_UNWIND PyObject* guarded() {
  try {
    return Init();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    py::translate_current_exception();
    return nullptr;
  }
}

}  // namespace

PyObject* init_core() { return guarded<init>(); }

PyObject* init_shm() { return guarded<init_shm_module>(); }

}  // namespace olvex::module
