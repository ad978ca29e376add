// FrozenDict: a read-only view over one dict, held by reference.
//
// The view holds one strong reference, to its dict, and never changes it, so
// the type supports the cycle collector with tp_traverse alone: every cycle
// through a view runs through its dict (or, for subclass instances, their
// __dict__), which the collector clears. Without a tp_clear the reference
// can never be null while Python can still reach the view.
#include <fmt/format.h>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"
#include "state/dict_walk.hpp"
#include "state/exceptions.hpp"
#include "state/views.hpp"

namespace olvex::state {

using py::Ref;

namespace {

using View = py::Native<Ref>;

PyObject* data_of(PyObject* self) noexcept { return py::value_of<Ref>(self).get(); }
py::BorrowFlag& flag(PyObject* self) noexcept { return py::flag_of<Ref>(self); }

[[noreturn]] void not_a_dict(PyObject* o) {
  py::raise(PyExc_TypeError, fmt::format("'{}' object cannot be converted to 'PyDict'", py::type_name(o)));
}

Ref new_view(PyObject* type, PyObject* dict) { return py::make_native<Ref>(type, Ref::borrow(dict)); }

PyObject* fd_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<1> params{"FrozenDict.__new__", {"data"}, 1};
  auto [data] = params.bind(args, kwargs);
  if (!PyDict_Check(data)) py::raise_arg_type("data", data, "PyDict");
  return new_view(reinterpret_cast<PyObject*>(type), data).release();
}

int fd_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = py::Native<Ref>::of(self);
  if (n->alive) Py_VISIT(n->value().get());
  return 0;
}

// Absent keys give null without an error set.
Ref lookup(PyObject* dict, PyObject* key) {
  PyObject* v = nullptr;
  py::check(PyDict_GetItemRef(dict, key, &v));
  return Ref::steal(v);
}

PyObject* fd_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"FrozenDict.get", {"key", "default"}, 1};
  auto [key, dflt] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(flag(self));
  if (Ref v = lookup(data_of(self), key)) return v.release();
  return Ref::borrow(dflt ? dflt : Py_None).release();
}

PyObject* fd_to_dict(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(flag(self));
  return Ref::borrow(data_of(self)).release();
}

PyObject* fd_keys(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(flag(self));
  return py::check(PyDict_Keys(data_of(self)));
}

PyObject* fd_values(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(flag(self));
  return py::check(PyDict_Values(data_of(self)));
}

PyObject* fd_items(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(flag(self));
  return py::check(PyDict_Items(data_of(self)));
}

PyObject* fd_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"FrozenDict.__deepcopy__", {"memo"}, 1};
  auto [memo] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(flag(self));
  Ref copy = Ref::check(PyImport_ImportModule("copy"));
  Ref deepcopy = Ref::check(PyObject_GetAttr(copy.get(), OLVEX_NAME(deepcopy)));
  Ref result = py::call(deepcopy.get(), data_of(self), memo);
  if (!PyDict_Check(result.get())) not_a_dict(result.get());
  return new_view(frozen_dict_type.get(), result.get()).release();
}

PyObject* fd_getitem(PyObject* self, PyObject* key) {
  py::SharedBorrow borrow(flag(self));
  if (Ref v = lookup(data_of(self), key)) return v.release();
  py::raise(PyExc_KeyError, "Key not found");
}

int fd_setitem(PyObject*, PyObject*, PyObject* value) {
  if (!value) py::raise(PyExc_NotImplementedError, "can't delete item");
  state::raise(Exc::ContextError, "Context is Immutable. Use .update()");
}

Py_ssize_t fd_len(PyObject* self) {
  py::SharedBorrow borrow(flag(self));
  return PyDict_Size(data_of(self));
}

int fd_contains(PyObject* self, PyObject* key) {
  py::SharedBorrow borrow(flag(self));
  return py::check(PyDict_Contains(data_of(self), key));
}

PyObject* fd_str(PyObject* self) {
  py::SharedBorrow borrow(flag(self));
  PyObject* dict = data_of(self);
  Ref text = Ref::steal(PyObject_Str(dict));
  if (!text) {
    py::write_unraisable(dict);
    Ref name = Ref::check(PyType_GetName(Py_TYPE(dict)));
    text = Ref::check(PyUnicode_FromFormat("<unprintable %U object>", name.get()));
  }
  return py::check(PyUnicode_FromFormat("FrozenDict(%U)", text.get()));
}

// Runs only after ordinary attribute lookup raised AttributeError (the host
// calls __getattr__ then), so class attributes and methods come first.
PyObject* fd_getattr(PyObject* self, PyObject* name) {
  py::SharedBorrow borrow(flag(self));
  PyObject* v = nullptr;
  int rc = PyDict_GetItemRef(data_of(self), name, &v);
  if (rc > 0) return v;
  if (rc < 0) PyErr_Clear();
  py::raise(PyExc_AttributeError, "Attribute not found");
}

// The truth of one `v == w` result. Array-like results refuse a single truth
// value; for them all() decides, and an all() that fails means unequal.
bool equal_result_is_true(PyObject* result) {
  int t = PyObject_IsTrue(result);
  if (t >= 0) return t != 0;
  PyErr_Clear();
  Ref all = Ref::steal(PyObject_VectorcallMethod(OLVEX_NAME(all), &result, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 nullptr));
  if (!all) {
    PyErr_Clear();
    return false;
  }
  return py::check(PyObject_IsTrue(all.get())) != 0;
}

// Item-by-item equality of the view's dict `a` with the dict `b`.
bool dicts_equal(PyObject* a, PyObject* b) {
  if (PyDict_Size(a) != PyDict_Size(b)) return false;
  DictWalk walk(a);
  Ref key;
  Ref v;
  while (walk.next(key, v)) {
    PyObject* w_raw = nullptr;
    int rc = PyDict_GetItemRef(b, key.get(), &w_raw);
    Ref w = Ref::steal(w_raw);
    if (rc < 0) {
      PyErr_Clear();
      return false;
    }
    if (rc == 0) return false;
    Ref result = Ref::check(PyObject_RichCompare(v.get(), w.get(), Py_EQ));
    if (!equal_result_is_true(result.get())) return false;
  }
  return true;
}

bool view_equals(PyObject* self, PyObject* other) {
  PyObject* a = data_of(self);
  if (PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(frozen_dict_type.get()))) {
    py::SharedBorrow other_borrow(flag(other));
    PyObject* b = data_of(other);
    return a == b || dicts_equal(a, b);
  }
  if (PyDict_Check(other)) return dicts_equal(a, other);
  return false;
}

PyObject* fd_richcompare(PyObject* self, PyObject* other, int op) {
  switch (op) {
    case Py_EQ: {
      py::SharedBorrow borrow(flag(self));
      return py::boolean(view_equals(self, other)).release();
    }
    case Py_NE: {
      // The negation of the host's equality on the pair, so a subclass's
      // __eq__ (or the other operand's) takes part as it would for `==`.
      Ref eq = Ref::check(PyObject_RichCompare(self, other, Py_EQ));
      return py::boolean(py::check(PyObject_IsTrue(eq.get())) == 0).release();
    }
    default:
      return Py_NewRef(Py_NotImplemented);
  }
}

PyMethodDef fd_methods[] = {
    {"get", py::method<fd_get>(), METH_FASTCALL | METH_KEYWORDS, "get($self, key, default=None)\n--\n\n"},
    {"to_dict", py::method<fd_to_dict>(), METH_NOARGS, "to_dict($self)\n--\n\n"},
    {"keys", py::method<fd_keys>(), METH_NOARGS, "keys($self)\n--\n\n"},
    {"__deepcopy__", py::method<fd_deepcopy>(), METH_FASTCALL | METH_KEYWORDS, "__deepcopy__($self, memo)\n--\n\n"},
    {"values", py::method<fd_values>(), METH_NOARGS, "values($self)\n--\n\n"},
    {"items", py::method<fd_items>(), METH_NOARGS, "items($self)\n--\n\n"},
    {"__getattr__", py::method<fd_getattr>(), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fd_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<fd_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<Ref>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(fd_traverse)},
    {Py_tp_doc, const_cast<char*>("FrozenDict(data)\n--\n\n")},
    {Py_tp_methods, fd_methods},
    {Py_tp_str, reinterpret_cast<void*>(py::tramp<fd_str>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(py::tramp<fd_richcompare>)},
    {Py_mp_subscript, reinterpret_cast<void*>(py::tramp<fd_getitem>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(py::tramp<fd_setitem>)},
    {Py_mp_length, reinterpret_cast<void*>(py::tramp<fd_len>)},
    {Py_sq_contains, reinterpret_cast<void*>(py::tramp<fd_contains>)},
    {0, nullptr},
};

PyType_Spec fd_spec = {
    "builtins.FrozenDict",  // reported in module builtins; a bare name warns on 3.13
    static_cast<int>(sizeof(View)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    fd_slots,
};

PyObject* make_frozen_dict_type() {
  Ref type = Ref::steal(py::make_type(&fd_spec));
  // The doc slot carries only the text signature; the class has no docstring.
  py::check(PyObject_SetAttrString(type.get(), "__doc__", Py_None));
  // Assigning __getattr__ on the type installs the host's own attribute
  // hook (generic lookup, then __getattr__ on AttributeError). A type whose
  // tp_getattro is its own gets no cached method lookups from the
  // interpreter, which makes every view.get(...) build a bound method.
  Ref hook = Ref::check(PyObject_GetAttrString(type.get(), "__getattr__"));
  py::check(PyObject_SetAttrString(type.get(), "__getattr__", hook.get()));
  return type.release();
}

}  // namespace

py::TypeCell frozen_dict_type("FrozenDict", make_frozen_dict_type);

Ref frozen_dict_over(PyObject* dict) {
  if (!PyDict_Check(dict)) py::raise_arg_type("data", dict, "PyDict");
  return new_view(frozen_dict_type.get(), dict);
}

}  // namespace olvex::state
