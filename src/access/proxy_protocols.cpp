// The object protocols of SupervisorProxy: text form, equality, length,
// membership, iteration, to_dict and the three pickling methods. They pass
// straight through to the target: no capability test, no zone, no
// transaction, nothing wrapped.
#include <fmt/format.h>

#include "access/proxy_impl.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "support/capabilities.hpp"

namespace olvex::access {

namespace {

// Exact dicts and lists cannot be patched, so their slots give the same
// results and exceptions as calling their methods by name, minus the
// lookup and the bound-method object. Subclasses always go by name.
bool builtin_container(PyObject* t) noexcept { return PyDict_CheckExact(t) || PyList_CheckExact(t); }

richcmpfunc builtin_richcompare(PyObject* t) noexcept {
  static const auto dict_cmp = reinterpret_cast<richcmpfunc>(PyType_GetSlot(&PyDict_Type, Py_tp_richcompare));
  static const auto list_cmp = reinterpret_cast<richcmpfunc>(PyType_GetSlot(&PyList_Type, Py_tp_richcompare));
  return PyDict_CheckExact(t) ? dict_cmp : list_cmp;
}

py::Ref not_implemented() { return py::Ref::borrow(Py_NotImplemented); }

// A length as the interpreter's size type: an int, not negative, not too large.
Py_ssize_t length_of(PyObject* n) {
  if (!PyLong_Check(n)) {
    py::raise(PyExc_TypeError, fmt::format("'{}' object cannot be interpreted as an integer", py::type_name(n)));
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
  if (overflow > 0 || (overflow == 0 && v > PY_SSIZE_T_MAX)) {
    py::raise(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
  }
  if (overflow < 0 || v < 0) py::raise(PyExc_OverflowError, "__len__() should return >= 0");
  return static_cast<Py_ssize_t>(v);
}

// The conversions of __setstate__'s items; the tuple keeps each item alive.
PyObject* state_item(PyObject* state, Py_ssize_t i) {
  if (i >= PyTuple_Size(state)) py::raise(PyExc_IndexError, "tuple index out of range");
  return PyTuple_GetItem(state, i);
}

std::string_view state_str(PyObject* v) {
  if (!PyUnicode_Check(v)) py::raise_type(v, "PyString");
  return py::utf8(v);
}

bool state_bool(PyObject* v) {
  if (v == Py_True) return true;
  if (v == Py_False) return false;
  py::raise_type(v, "PyBool");
}

// Any integer (objects with __index__ too, as the byte's other setters
// take), 0 to 255.
std::uint8_t state_byte(PyObject* v) {
  py::Ref i = py::Ref::check(PyNumber_Index(v));
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
  if (x == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
  if (overflow != 0 || x < 0 || x > 255) {
    py::raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint8_t>(x);
}

// Holds a replaced target until the proxy is free again, so a finaliser
// that it runs sees the proxy whole and may use it; an error in flight is
// kept across the release.
struct ReleaseAfter {
  py::Ref ref;
  ReleaseAfter() = default;
  ReleaseAfter(const ReleaseAfter&) = delete;
  ReleaseAfter& operator=(const ReleaseAfter&) = delete;
  ~ReleaseAfter() {
    if (ref) {
      py::ErrorScope keep;
      ref.reset();
    }
  }
};

py::Ref to_dict_of(PyObject* self) {
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref target = proxy_data(self).target;
  PyObject* t = target.get();
  ForwardGuard guard;
  // An exact dict has none of the three attributes.
  if (PyDict_CheckExact(t)) return py::Ref::check(PyDict_Copy(t));
  for (PyObject* name : {OLVEX_NAME(model_dump), OLVEX_NAME(dict), OLVEX_NAME(to_dict)}) {
    PyObject* found = nullptr;
    unsigned overflows = t_forward_overflows;
    int rc = PyObject_GetOptionalAttr(t, name, &found);
    if (rc < 0) throw py::PyErrorSet{};
    // Through a chain of proxies deeper than the forwarding bound a probe
    // comes back "absent"; going on would probe the chain again at every
    // level of the nested to_dict calls that end in the same RecursionError.
    if (rc == 0 && overflows != t_forward_overflows) {
      py::raise(PyExc_RecursionError, kForwardDepthMessage);
    }
    if (rc > 0) {
      py::Ref method = py::Ref::steal(found);
      return py::call(method.get());
    }
  }
  if (PyDict_Check(t)) return py::call_method(t, OLVEX_NAME(copy));
  py::raise(PyExc_AttributeError, "Wrapped object has no to_dict/model_dump");
}

}  // namespace

PyObject* proxy_repr(PyObject* self) {
  py::SharedBorrow borrow(proxy_flag(self));
  const ProxyData& d = proxy_data(self);
  py::Ref target = d.target;
  py::Ref name;
  {
    ForwardGuard guard;
    py::Ref type_name =
        py::Ref::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(target.get())), OLVEX_NAME(__name__)));
    name = py::Ref::check(PyObject_Str(type_name.get()));
  }
  // Built from str objects, so any name and path print, NULs and lone
  // surrogates included.
  py::Ref path = py::to_py(d.path.text());
  std::string caps = support::format_capabilities(d.capabilities);
  return py::Ref::check(
             PyUnicode_FromFormat("<SupervisorProxy[%U] at path='%U' cap=%s>", name.get(), path.get(), caps.c_str()))
      .release();
}

PyObject* proxy_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) return not_implemented().release();
  // A proxy held exclusively declines instead of raising, so the
  // interpreter can still answer through `other` or identity.
  if (!proxy_flag(self).can_share()) return not_implemented().release();
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref target = proxy_data(self).target;
  PyObject* t = target.get();
  ForwardGuard guard;
  if (builtin_container(t)) return py::check(builtin_richcompare(t)(t, other, op));
  return py::call_method(t, op == Py_EQ ? OLVEX_NAME(__eq__) : OLVEX_NAME(__ne__), other).release();
}

Py_ssize_t proxy_length(PyObject* self) {
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref target = proxy_data(self).target;
  PyObject* t = target.get();
  ForwardGuard guard;
  if (PyDict_CheckExact(t)) return PyDict_Size(t);
  if (PyList_CheckExact(t)) return PyList_Size(t);
  py::Ref n = py::call_method(t, OLVEX_NAME(__len__));
  return length_of(n.get());
}

int proxy_contains(PyObject* self, PyObject* key) {
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref target = proxy_data(self).target;
  PyObject* t = target.get();
  ForwardGuard guard;
  if (PyDict_CheckExact(t)) return py::check(PyDict_Contains(t, key));
  if (PyList_CheckExact(t)) return py::check(PySequence_Contains(t, key));
  // No fallback to iteration: the target answers or the call fails.
  py::Ref found = py::call_method(t, OLVEX_NAME(__contains__), key);
  if (!PyBool_Check(found.get())) py::raise_type(found.get(), "PyBool");
  return found.get() == Py_True;
}

PyObject* proxy_iter(PyObject* self) {
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref target = proxy_data(self).target;
  PyObject* t = target.get();
  ForwardGuard guard;
  if (builtin_container(t)) return py::Ref::check(PyObject_GetIter(t)).release();
  return py::call_method(t, OLVEX_NAME(__iter__)).release();
}

PyObject* proxy_to_dict(PyObject* self, PyObject*) { return to_dict_of(self).release(); }

PyObject* get_proxy_dict(PyObject* self, void*) { return to_dict_of(self).release(); }

PyObject* proxy_getstate(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(proxy_flag(self));
  const ProxyData& d = proxy_data(self);
  py::Ref path = py::to_py(d.path.text());
  py::Ref caps = py::Ref::check(PyLong_FromLong(d.capabilities));
  return py::Ref::check(PyTuple_Pack(5, d.target.get(), path.get(), d.read_only ? Py_True : Py_False,
                                     d.is_shadow ? Py_True : Py_False, caps.get()))
      .release();
}

PyObject* proxy_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorProxy.__setstate__", {"state"}, 1};
  auto [state] = params.bind(args, nargs, kwnames);
  ReleaseAfter replaced;  // declared first: released after the borrow ends
  py::ExclusiveBorrow borrow(proxy_flag(self));
  ProxyData& d = proxy_data(self);
  if (!PyTuple_Check(state)) py::raise_type(state, "PyTuple");
  // Each field is set as soon as its item converts; a failing item leaves
  // the fields after it as they were.
  PyObject* target = state_item(state, 0);
  replaced.ref = std::exchange(d.target, py::Ref::borrow(target));
  d.path = support::ZonePath(state_str(state_item(state, 1)));
  d.read_only = state_bool(state_item(state, 2));
  Py_ssize_t n = PyTuple_Size(state);
  d.is_shadow = n >= 4 ? state_bool(state_item(state, 3)) : false;
  d.capabilities = n >= 5 ? state_byte(state_item(state, 4)) : support::DEFAULT_CAPABILITIES;
  d.has_transaction = false;
  return py::none().release();
}

PyObject* proxy_getnewargs(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref path = py::to_py("");
  py::Ref caps = py::Ref::check(PyLong_FromLong(support::DEFAULT_CAPABILITIES));
  return py::Ref::check(PyTuple_Pack(6, Py_None, path.get(), Py_True, Py_None, Py_False, caps.get())).release();
}

}  // namespace olvex::access
