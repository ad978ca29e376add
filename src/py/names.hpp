#pragma once
// Attribute names the module calls by name, interned once and kept forever.
#include "py/errors.hpp"

namespace olvex::py {

inline PyObject* intern(const char* s) {
  PyObject* n = PyUnicode_InternFromString(s);
  if (!n) throw PyErrorSet{};
  return n;
}

// OLVEX_NAME(create_future) -> borrowed interned str "create_future".
#define OLVEX_NAME(ident)                                        \
  ([]() -> PyObject* {                                           \
    static PyObject* interned_ = ::olvex::py::intern(#ident);    \
    return interned_;                                            \
  }())

// obj.name(args...) with positional arguments only; a new reference.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* argv[] = {obj, args...};
  return Ref::check(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(args...) with positional arguments only; a new reference.
template <class... A>
Ref call(PyObject* f, A... args) {
  PyObject* argv[] = {nullptr, args...};
  return Ref::check(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace olvex::py
