#pragma once
// Declarative argument binding: each method names its parameters once (the
// names of its text signature) and gets back one borrowed slot per
// parameter, filled from positional or keyword arguments; a slot left null
// was not given.
#include <array>
#include <cstddef>

#include "py/python.hpp"

namespace olvex::py {

struct Signature {
  const char* function;  // as named in messages, e.g. "SignalHub.publish"
  const char* const* names;
  std::size_t count;
  std::size_t required;  // the first `required` parameters must be given
  // The names as interned strs, filled on the first keyword call (null
  // until then): a keyword spelled in a call is mostly that very object.
  PyObject** interned = nullptr;
};

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
void bind_fast(const Signature& sig, PyObject** out, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Tuple-and-dict convention (tp_new, tp_init, tp_call).
void bind_tuple(const Signature& sig, PyObject** out, PyObject* args, PyObject* kwargs);

template <std::size_t N>
struct Params {
  const char* function;
  std::array<const char*, N> names;
  std::size_t required;
  mutable std::array<PyObject*, N> interned{};  // kept for the process

  Signature sig() const { return {function, names.data(), N, required, interned.data()}; }

  std::array<PyObject*, N> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    std::array<PyObject*, N> out{};
    // Positional only, enough and not too many (most calls): nothing to check.
    if (!kwnames && nargs >= static_cast<Py_ssize_t>(required) && nargs <= static_cast<Py_ssize_t>(N)) {
      for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
      return out;
    }
    bind_fast(sig(), out.data(), args, nargs, kwnames);
    return out;
  }
  std::array<PyObject*, N> bind(PyObject* args, PyObject* kwargs) const {
    std::array<PyObject*, N> out{};
    if (!kwargs && args) {
      const Py_ssize_t nargs = PyTuple_Size(args);
      if (nargs >= static_cast<Py_ssize_t>(required) && nargs <= static_cast<Py_ssize_t>(N)) {
        for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
        return out;
      }
    }
    bind_tuple(sig(), out.data(), args, kwargs);
    return out;
  }
};

// Refuses any argument at all, for functions that take none.
void bind_none(const char* function, Py_ssize_t nargs, PyObject* kwnames);
void bind_none_tuple(const char* function, PyObject* args, PyObject* kwargs);

}  // namespace olvex::py
