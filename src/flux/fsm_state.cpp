// FSMState: the five workflow states. Values reach Python as the class
// attributes, made once with the class, and as new objects made by the
// engine; they compare equal to their number but are not hashable.
#include <fmt/format.h>

#include "flux/engine.hpp"
#include "py/convert.hpp"
#include "py/trampoline.hpp"

namespace olvex::flux {

namespace {

constexpr const char* kNames[] = {"Pending", "Running", "WaitingIO", "Complete", "Failed"};

Fsm value(PyObject* o) noexcept { return py::value_of<Fsm>(o); }

bool is_fsm(PyObject* o) {
  return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(fsm_state_type.get()));
}

PyObject* fsm_repr(PyObject* self) { return py::to_py(fmt::format("FSMState.{}", fsm_name(value(self)))).release(); }

PyObject* fsm_int(PyObject* self) { return PyLong_FromLong(static_cast<long>(value(self))); }

// The other operand as a signed 64-bit integer, when it is one (through
// __index__, bool included); anything else, an __index__ that fails or a
// value out of range means no comparison. Only an interruption (an
// exception that is not an Exception) passes on.
std::optional<long long> as_int64(PyObject* o) {
  if (!PyIndex_Check(o)) return std::nullopt;
  py::Ref i = py::Ref::steal(PyNumber_Index(o));
  if (i) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (!(v == -1 && PyErr_Occurred()) && overflow == 0) return v;
  }
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::PyErrorSet{};
    PyErr_Clear();
  }
  return std::nullopt;
}

PyObject* fsm_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  long long mine = static_cast<long long>(value(self));
  long long theirs;
  if (is_fsm(other)) {
    theirs = static_cast<long long>(value(other));
  } else if (std::optional<long long> v = as_int64(other)) {
    theirs = *v;
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return py::boolean((mine == theirs) == (op == Py_EQ)).release();
}

PyType_Slot fsm_slots[] = {
    {Py_tp_doc, const_cast<char*>("FSM State for Workflow execution tracking.\n"
                                  "Supports: Pending -> Running -> WaitingIO -> Complete/Failed")},
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<Fsm>>)},
    {Py_tp_repr, reinterpret_cast<void*>(py::tramp<fsm_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(py::tramp<fsm_richcompare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_int, reinterpret_cast<void*>(py::tramp<fsm_int>)},
    {0, nullptr},
};

PyType_Spec fsm_spec = {
    "olvex_core.FSMState",
    static_cast<int>(sizeof(py::Native<Fsm>)),
    0,
    Py_TPFLAGS_DEFAULT,
    fsm_slots,
};

PyObject* make_fsm_type() {
  py::Ref type = py::Ref::steal(py::make_type(&fsm_spec));
  for (int i = 0; i < 5; ++i) {
    py::Ref v = py::make_native<Fsm>(type.get(), static_cast<Fsm>(i));
    py::check(PyObject_SetAttrString(type.get(), kNames[i], v.get()));
  }
  return type.release();
}

}  // namespace

const char* fsm_name(Fsm s) noexcept { return kNames[static_cast<int>(s)]; }

py::TypeCell fsm_state_type("FSMState", make_fsm_type);

py::Ref fsm_object(Fsm s) { return py::make_native<Fsm>(fsm_state_type.get(), s); }

}  // namespace olvex::flux
