#include "engine/conflict_manager.hpp"

#include <fmt/format.h>

#include <optional>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"

namespace olvex::engine {

using support::ConflictCore;
using support::RetryDecision;

namespace {

// ---- ConflictManager --------------------------------------------------------
// The core guards its own state with its two mutexes; the borrow flag only
// keeps the calls in line with the module's other classes.

PyObject* manager_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<2> params{"ConflictManager.__new__", {"max_retries", "base_backoff_ms"}, 0};
  auto [retries_arg, base_arg] = params.bind(args, kwargs);
  std::uint32_t max_retries = retries_arg ? py::arg_unsigned<std::uint32_t>(retries_arg, "max_retries") : 5;
  std::uint64_t base_backoff_ms = base_arg ? py::arg_u64(base_arg, "base_backoff_ms") : 2;
  return py::make_native<ConflictCore>(type, max_retries, base_backoff_ms).release();
}

PyObject* manager_report_conflict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"ConflictManager.report_conflict", {"key"}, 1};
  auto [key] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(py::flag_of<ConflictCore>(self));
  std::string_view text = py::arg_str(key, "key");
  return retry_decision_object(py::value_of<ConflictCore>(self).report_conflict(text)).release();
}

PyObject* manager_report_success(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"ConflictManager.report_success", {"key"}, 1};
  auto [key] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(py::flag_of<ConflictCore>(self));
  std::string_view text = py::arg_str(key, "key");
  py::value_of<ConflictCore>(self).report_success(text);
  return py::none().release();
}

PyObject* manager_get_failure_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"ConflictManager.get_failure_count", {"key"}, 1};
  auto [key] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(py::flag_of<ConflictCore>(self));
  std::string_view text = py::arg_str(key, "key");
  return py::to_py_u64(py::value_of<ConflictCore>(self).get_failure_count(text)).release();
}

PyObject* manager_is_blocked(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"ConflictManager.is_blocked", {"requester"}, 0};
  auto [requester_arg] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(py::flag_of<ConflictCore>(self));
  std::optional<std::string_view> requester;
  if (PyObject* r = py::optional(requester_arg)) requester = py::arg_str(r, "requester");
  return py::boolean(py::value_of<ConflictCore>(self).is_blocked(requester)).release();
}

PyMethodDef manager_methods[] = {
    {"report_conflict", py::method<manager_report_conflict>(), METH_FASTCALL | METH_KEYWORDS,
     "report_conflict($self, key)\n--\n\n"
     "Report a conflict failure for a process/key.\n"
     "Returns a decision on whether to retry and how long to wait."},
    {"report_success", py::method<manager_report_success>(), METH_FASTCALL | METH_KEYWORDS,
     "report_success($self, key)\n--\n\nReport success to reset counters."},
    {"get_failure_count", py::method<manager_get_failure_count>(), METH_FASTCALL | METH_KEYWORDS,
     "get_failure_count($self, key)\n--\n\nGet current failure count (Internal Diagnostic)"},
    {"is_blocked", py::method<manager_is_blocked>(), METH_FASTCALL | METH_KEYWORDS,
     "is_blocked($self, requester=None)\n--\n\nCheck if action is blocked by VIP"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot manager_slots[] = {
    {Py_tp_doc, const_cast<char*>("ConflictManager(max_retries=5, base_backoff_ms=2)\n--\n\n"
                                  "Manages conflict resolution policies (Backoff, Priority)")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<manager_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<ConflictCore>>)},
    {Py_tp_methods, manager_methods},
    {0, nullptr},
};

PyType_Spec manager_spec = {
    "olvex_core.ConflictManager",
    static_cast<int>(sizeof(py::Native<ConflictCore>)),
    0,
    Py_TPFLAGS_DEFAULT,
    manager_slots,
};

// ---- RetryDecision ----------------------------------------------------------
// Immutable once made, so its readers take no borrow.

PyObject* decision_should_retry(PyObject* self, void*) {
  return py::boolean(py::value_of<RetryDecision>(self).should_retry).release();
}

PyObject* decision_wait_ms(PyObject* self, void*) {
  return py::to_py_u64(py::value_of<RetryDecision>(self).wait_ms).release();
}

PyObject* decision_repr(PyObject* self) {
  const RetryDecision& d = py::value_of<RetryDecision>(self);
  return py::to_py(fmt::format("RetryDecision(retry={}, wait={}ms)", d.should_retry, d.wait_ms)).release();
}

PyGetSetDef decision_getset[] = {
    {"should_retry", py::tramp<decision_should_retry>, nullptr, nullptr, nullptr},
    {"wait_ms", py::tramp<decision_wait_ms>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decision_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<RetryDecision>>)},
    {Py_tp_repr, reinterpret_cast<void*>(py::tramp<decision_repr>)},
    {Py_tp_getset, decision_getset},
    {0, nullptr},
};

PyType_Spec decision_spec = {
    "olvex_core.RetryDecision",
    static_cast<int>(sizeof(py::Native<RetryDecision>)),
    0,
    Py_TPFLAGS_DEFAULT,
    decision_slots,
};

}  // namespace

py::TypeCell conflict_manager_type("ConflictManager", [] { return py::make_type(&manager_spec); });
py::TypeCell retry_decision_type("RetryDecision", [] { return py::make_type(&decision_spec); });

py::Ref retry_decision_object(RetryDecision decision) {
  return py::make_native<RetryDecision>(retry_decision_type.get(), decision);
}

}  // namespace olvex::engine
