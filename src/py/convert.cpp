#include "py/convert.hpp"

#include <fmt/format.h>

namespace olvex::py {

std::string type_name(PyObject* o) {
  Ref name = Ref::check(PyType_GetName(Py_TYPE(o)));
  return std::string(utf8(name.get()));
}

std::string_view utf8(PyObject* str) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (!s) throw PyErrorSet{};
  return {s, static_cast<std::size_t>(n)};
}

std::string str_of(PyObject* o) {
  Ref s = Ref::check(PyObject_Str(o));
  return std::string(utf8(s.get()));
}

void raise_type(PyObject* value, const char* expected) {
  raise(PyExc_TypeError, fmt::format("'{}' object cannot be converted to '{}'", type_name(value), expected));
}

void raise_arg_type(const char* arg, PyObject* value, const char* expected) {
  raise(PyExc_TypeError,
        fmt::format("argument '{}': '{}' object cannot be converted to '{}'", arg, type_name(value), expected));
}

void rethrow_for_arg(const char* arg) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  std::string inner;
  {
    Ref text = Ref::steal(PyObject_Str(cause.get()));
    if (text) {
      Py_ssize_t n = 0;
      const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
      if (s) inner.assign(s, static_cast<std::size_t>(n));
    }
    PyErr_Clear();
  }
  std::string msg = fmt::format("argument '{}': {}", arg, inner);
  Ref err = Ref::check(PyObject_CallFunction(PyExc_TypeError, "s#", msg.data(), (Py_ssize_t)msg.size()));
  PyException_SetCause(err.get(), cause.release());
  PyErr_SetRaisedException(err.release());
  throw PyErrorSet{};
}

std::string_view arg_str(PyObject* o, const char* arg) {
  if (!PyUnicode_Check(o)) raise_arg_type(arg, o, "PyString");
  return utf8(o);
}

bool arg_bool(PyObject* o, const char* arg) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  raise_arg_type(arg, o, "PyBool");
}

namespace {
Ref index_of(PyObject* o, const char* arg) {
  PyObject* i = PyNumber_Index(o);
  if (!i) rethrow_for_arg(arg);
  return Ref::steal(i);
}
}  // namespace

std::uint64_t arg_u64(PyObject* o, const char* arg) {
  Ref i = index_of(o, arg);
  unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
  return v;
}

std::uint64_t arg_u64_small(PyObject* o, const char* arg) {
  Ref i = index_of(o, arg);
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (overflow != 0 || v < 0) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<std::uint64_t>(v);
}

std::vector<std::uint64_t> arg_u64_list(PyObject* o, const char* arg) {
  if (PyUnicode_Check(o)) raise(PyExc_TypeError, fmt::format("argument '{}': {}", arg, kStrNotSequence));
  if (!PySequence_Check(o)) raise_arg_type(arg, o, "Sequence");
  Ref it = Ref::steal(PyObject_GetIter(o));
  if (!it) rethrow_for_arg(arg);
  std::vector<std::uint64_t> out;
  while (PyObject* item = PyIter_Next(it.get())) {
    Ref keep = Ref::steal(item);
    out.push_back(arg_u64(item, arg));
  }
  if (PyErr_Occurred()) rethrow_for_arg(arg);
  return out;
}

Ref to_py(std::string_view s) {
  return Ref::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref to_py_u64(std::uint64_t v) { return Ref::check(PyLong_FromUnsignedLongLong(v)); }

Ref to_py_size(std::size_t v) { return Ref::check(PyLong_FromSize_t(v)); }

}  // namespace olvex::py
