#include "py/args.hpp"

#include <fmt/format.h>

#include <string>

#include "py/convert.hpp"
#include "py/errors.hpp"

namespace olvex::py {

namespace {

[[noreturn]] void too_many(const Signature& sig, Py_ssize_t given) {
  raise(PyExc_TypeError, fmt::format("{}() takes {} positional argument{} but {} {} given", sig.function,
                                     sig.count, sig.count == 1 ? "" : "s", given, given == 1 ? "was" : "were"));
}

// The parameter whose interned name is `key` itself, or sig.count. Names
// are distinct, so this is the one a comparison of texts would find.
std::size_t interned_position(const Signature& sig, PyObject* key) {
  if (!sig.interned || sig.count == 0) return sig.count;
  if (!sig.interned[sig.count - 1]) {
    // Filled front to back; the last slot set marks the cache complete.
    for (std::size_t i = 0; i < sig.count; ++i) {
      if (sig.interned[i]) continue;
      PyObject* name = PyUnicode_InternFromString(sig.names[i]);
      if (!name) {
        // No room for the cache now: the texts are compared instead.
        PyErr_Clear();
        return sig.count;
      }
      sig.interned[i] = name;
    }
  }
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (sig.interned[i] == key) return i;
  }
  return sig.count;
}

void place_keyword(const Signature& sig, PyObject** out, PyObject* key, PyObject* value) {
  if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
  const std::size_t known = interned_position(sig, key);
  for (std::size_t i = known == sig.count ? 0 : known; i < sig.count; ++i) {
    int eq = i == known || PyUnicode_EqualToUTF8(key, sig.names[i]);
    if (eq) {
      if (out[i]) {
        raise(PyExc_TypeError, fmt::format("{}() got multiple values for argument '{}'", sig.function, sig.names[i]));
      }
      out[i] = value;
      return;
    }
  }
  // The key may hold lone surrogates; show it through repr, which never fails on them.
  Ref r = Ref::check(PyObject_Repr(key));
  raise(PyExc_TypeError, fmt::format("{}() got an unexpected keyword argument {}", sig.function, utf8(r.get())));
}

[[noreturn, gnu::noinline, gnu::cold]] void raise_missing(const Signature& sig, PyObject** out, std::size_t n) {
  std::string missing;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i]) continue;
    ++seen;
    if (seen > 1) missing += (seen == n) ? (n > 2 ? ", and " : " and ") : ", ";
    missing += fmt::format("'{}'", sig.names[i]);
  }
  raise(PyExc_TypeError, fmt::format("{}() missing {} required positional argument{}: {}", sig.function, n,
                                     n == 1 ? "" : "s", missing));
}

void check_required(const Signature& sig, PyObject** out) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (!out[i]) ++n;
  }
  if (n != 0) raise_missing(sig, out, n);
}

}  // namespace

void bind_fast(const Signature& sig, PyObject** out, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > static_cast<Py_ssize_t>(sig.count)) too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t nk = PyTuple_Size(kwnames);
    if (nk < 0) throw PyErrorSet{};
    for (Py_ssize_t k = 0; k < nk; ++k) {
      place_keyword(sig, out, PyTuple_GetItem(kwnames, k), args[nargs + k]);
    }
  }
  check_required(sig, out);
}

void bind_tuple(const Signature& sig, PyObject** out, PyObject* args, PyObject* kwargs) {
  Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  if (nargs < 0) throw PyErrorSet{};
  if (nargs > static_cast<Py_ssize_t>(sig.count)) too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, out, key, value);
  }
  check_required(sig, out);
}

void bind_none(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  Signature sig{function, nullptr, 0, 0};
  if (nargs > 0) too_many(sig, nargs);
  if (kwnames && PyTuple_Size(kwnames) > 0) place_keyword(sig, nullptr, PyTuple_GetItem(kwnames, 0), nullptr);
}

void bind_none_tuple(const char* function, PyObject* args, PyObject* kwargs) {
  Signature sig{function, nullptr, 0, 0};
  Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  if (nargs > 0) too_many(sig, nargs);
  if (kwargs && PyDict_Size(kwargs) > 0) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    PyDict_Next(kwargs, &pos, &key, &value);
    place_keyword(sig, nullptr, key, value);
  }
}

}  // namespace olvex::py
