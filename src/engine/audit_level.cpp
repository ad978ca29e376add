// AuditLevel: four members held as class attributes, equal to each other's
// copies and to their integer values, and unhashable.
#include <fmt/format.h>

#include <array>

#include "engine/audit.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"

namespace olvex::engine {

using support::AuditLevel;

namespace {

bool is_level(PyObject* o) {
  return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(audit_level_type.get()));
}

// Members never change, so their readers take no borrow.
AuditLevel level_of(PyObject* self) noexcept { return py::value_of<AuditLevel>(self); }

PyObject* level_repr(PyObject* self) {
  return py::to_py(fmt::format("AuditLevel.{}", support::audit_level_name(level_of(self)))).release();
}

PyObject* level_int(PyObject* self) { return py::to_py_u64(static_cast<std::uint64_t>(level_of(self))).release(); }

// Equality with a member or with an int of the same value (bool included);
// everything else, and every ordering, is left to the other operand.
PyObject* level_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool equal;
  if (is_level(other)) {
    equal = level_of(other) == level_of(self);
  } else if (PyLong_Check(other)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(other, &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    equal = overflow == 0 && v == static_cast<long long>(level_of(self));
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return py::boolean(equal == (op == Py_EQ)).release();
}

PyType_Slot level_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<AuditLevel>>)},
    {Py_tp_repr, reinterpret_cast<void*>(py::tramp<level_repr>)},
    {Py_nb_int, reinterpret_cast<void*>(py::tramp<level_int>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(py::tramp<level_richcompare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec level_spec = {
    "olvex_core.AuditLevel",
    static_cast<int>(sizeof(py::Native<AuditLevel>)),
    0,
    Py_TPFLAGS_DEFAULT,
    level_slots,
};

PyObject* make_level_type() {
  py::Ref type = py::Ref::steal(py::make_type(&level_spec));
  constexpr std::array<AuditLevel, 4> kMembers = {AuditLevel::Stop, AuditLevel::Abort, AuditLevel::Block,
                                                  AuditLevel::Count};
  for (AuditLevel level : kMembers) {
    py::Ref member = py::make_native<AuditLevel>(type.get(), level);
    std::string name(support::audit_level_name(level));
    py::check(PyObject_SetAttrString(type.get(), name.c_str(), member.get()));
  }
  return type.release();
}

}  // namespace

py::TypeCell audit_level_type("AuditLevel", make_level_type);

py::Ref audit_level_object(AuditLevel level) { return py::make_native<AuditLevel>(audit_level_type.get(), level); }

AuditLevel arg_audit_level(PyObject* o, const char* arg) {
  if (!is_level(o)) py::raise_arg_type(arg, o, "AuditLevel");
  return level_of(o);
}

}  // namespace olvex::engine
