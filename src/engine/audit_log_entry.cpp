// AuditLogEntry: one entry of the shared audit ring, copied out of it.
// Read-only and never changed, so its readers take no borrow.
#include "engine/audit.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"

namespace olvex::engine {

using support::AuditEntry;

namespace {

const AuditEntry& entry_of(PyObject* self) noexcept { return py::value_of<AuditEntry>(self); }

PyObject* entry_str(PyObject* self) { return py::to_py(support::audit_entry_text(entry_of(self))).release(); }

PyObject* entry_timestamp(PyObject* self, void*) { return py::check(PyFloat_FromDouble(entry_of(self).timestamp)); }

PyObject* entry_key(PyObject* self, void*) { return py::to_py(entry_of(self).key).release(); }

PyObject* entry_message(PyObject* self, void*) { return py::to_py(entry_of(self).message).release(); }

PyGetSetDef entry_getset[] = {
    {"timestamp", py::tramp<entry_timestamp>, nullptr, nullptr, nullptr},
    {"key", py::tramp<entry_key>, nullptr, nullptr, nullptr},
    {"message", py::tramp<entry_message>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<AuditEntry>>)},
    {Py_tp_str, reinterpret_cast<void*>(py::tramp<entry_str>)},
    {Py_tp_getset, entry_getset},
    {0, nullptr},
};

PyType_Spec entry_spec = {
    "olvex_core.AuditLogEntry",
    static_cast<int>(sizeof(py::Native<AuditEntry>)),
    0,
    Py_TPFLAGS_DEFAULT,
    entry_slots,
};

}  // namespace

py::TypeCell audit_log_entry_type("AuditLogEntry", [] { return py::make_type(&entry_spec); });

py::Ref audit_log_entry_object(AuditEntry entry) {
  return py::make_native<AuditEntry>(audit_log_entry_type.get(), std::move(entry));
}

}  // namespace olvex::engine
