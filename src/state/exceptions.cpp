#include "state/exceptions.hpp"

#include <array>

namespace olvex::state {

namespace {
struct ExcSpec {
  const char* qualified_name;
  PyObject* (*base)();
};

const std::array<ExcSpec, 7> kSpecs = {{
    {"olvex_core.WriteTimeoutError", [] { return PyExc_TimeoutError; }},
    {"olvex.structures.ContextError", [] { return PyExc_Exception; }},
    {"olvex.config.SchemaViolationError", [] { return PyExc_Exception; }},
    {"olvex_core.AuditBlockError", [] { return PyExc_RuntimeError; }},
    {"olvex_core.AuditAbortError", [] { return PyExc_RuntimeError; }},
    {"olvex_core.AuditStopError", [] { return PyExc_RuntimeError; }},
    {"olvex_core.AuditWarning", [] { return PyExc_UserWarning; }},
}};

std::array<PyObject*, 7> g_cells{};
}  // namespace

PyObject* exception_type(Exc which) {
  auto i = static_cast<std::size_t>(which);
  if (!g_cells[i]) {
    PyObject* t = PyErr_NewException(kSpecs[i].qualified_name, kSpecs[i].base(), nullptr);
    if (!t) {
      PyErr_Clear();
      py::panic("Failed to initialize new exception type.");
    }
    if (g_cells[i]) {
      Py_DECREF(t);  // another thread stored one first
    } else {
      g_cells[i] = t;
    }
  }
  return g_cells[i];
}

void raise(Exc which, std::string message) { py::raise(exception_type(which), std::move(message)); }

}  // namespace olvex::state
