// MetaLogEntry: one meta-log entry as a Python object, an independent copy
// of the entry in the ring. Built only by the module; read-only.
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"
#include "state/views.hpp"

namespace olvex::state {

using support::MetaLogEntry;

namespace {

const MetaLogEntry& entry_of(PyObject* self) noexcept { return py::value_of<MetaLogEntry>(self); }

PyObject* entry_timestamp(PyObject* self, void*) {
  py::SharedBorrow borrow(py::flag_of<MetaLogEntry>(self));
  return py::check(PyFloat_FromDouble(entry_of(self).timestamp));
}

PyObject* entry_key(PyObject* self, void*) {
  py::SharedBorrow borrow(py::flag_of<MetaLogEntry>(self));
  return py::to_py(entry_of(self).key).release();
}

PyObject* entry_message(PyObject* self, void*) {
  py::SharedBorrow borrow(py::flag_of<MetaLogEntry>(self));
  return py::to_py(entry_of(self).message).release();
}

PyObject* entry_repr(PyObject* self) {
  py::SharedBorrow borrow(py::flag_of<MetaLogEntry>(self));
  return py::to_py(support::meta_log_repr(entry_of(self))).release();
}

PyGetSetDef entry_getset[] = {
    {"timestamp", py::tramp<entry_timestamp>, nullptr, nullptr, nullptr},
    {"key", py::tramp<entry_key>, nullptr, nullptr, nullptr},
    {"message", py::tramp<entry_message>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<MetaLogEntry>>)},
    {Py_tp_getset, entry_getset},
    {Py_tp_repr, reinterpret_cast<void*>(py::tramp<entry_repr>)},
    {0, nullptr},
};

PyType_Spec entry_spec = {
    "olvex_core.MetaLogEntry",
    static_cast<int>(sizeof(py::Native<MetaLogEntry>)),
    0,
    Py_TPFLAGS_DEFAULT,
    entry_slots,
};

}  // namespace

py::TypeCell meta_log_entry_type("MetaLogEntry", [] { return py::make_type(&entry_spec); });

py::Ref meta_log_entry_object(MetaLogEntry entry) {
  return py::make_native<MetaLogEntry>(meta_log_entry_type.get(), std::move(entry));
}

}  // namespace olvex::state
