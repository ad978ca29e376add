#pragma once
// Typed views over Ref for the builtin objects the engine classes work
// with: each view is a Ref known to hold an object of its kind (subclasses
// included), with the handful of operations the module uses, so class files
// read as the behaviour they implement. All need the interpreter lock; a
// failure throws PyErrorSet with the Python error set.
#include <string>
#include <string_view>
#include <utility>

#include "py/errors.hpp"

namespace olvex::py {

// The part every view shares: its type test and the ways to make one from
// an object already known to be of its kind.
#define OLVEX_VIEW(Name, Check)                                               \
 public:                                                                      \
  Name() noexcept = default;                                                  \
  static bool is(PyObject* o) noexcept { return Check(o); }                   \
  /* Precondition: is(r.get()). */                                            \
  static Name adopt(Ref r) noexcept { return Name(std::move(r)); }            \
  static Name borrow(PyObject* o) noexcept { return Name(Ref::borrow(o)); }   \
                                                                              \
 private:                                                                     \
  explicit Name(Ref r) noexcept : Ref(std::move(r)) {}                        \
                                                                              \
 public:

class Dict : public Ref {
  OLVEX_VIEW(Dict, PyDict_Check)
  static Dict make() { return adopt(Ref::check(PyDict_New())); }
  // The value under `key` from the dict's own storage; empty when absent.
  Ref lookup(PyObject* key) const {
    PyObject* v = nullptr;
    py::check(PyDict_GetItemRef(get(), key, &v));
    return Ref::steal(v);
  }
  void set(PyObject* key, PyObject* value) const { py::check(PyDict_SetItem(get(), key, value)); }
  // self[k] = v for every item of the dict `other`, in its order.
  void update(PyObject* other) const { py::check(PyDict_Update(get(), other)); }
  Py_ssize_t size() const noexcept { return PyDict_Size(get()); }
};

class List : public Ref {
  OLVEX_VIEW(List, PyList_Check)
  // A new list of `n` empty slots, each to be filled once with put().
  static List make(Py_ssize_t n = 0) { return adopt(Ref::check(PyList_New(n))); }
  void append(PyObject* item) const { py::check(PyList_Append(get(), item)); }
  void put(Py_ssize_t i, Ref item) const { py::check(PyList_SetItem(get(), i, item.release())); }
  Py_ssize_t size() const noexcept { return PyList_Size(get()); }
};

// UTF-8 bytes of a str, kept alive by `owner` (empty when the str object
// itself holds them).
struct Utf8 {
  Ref owner;
  std::string_view view;
};

class Str : public Ref {
  OLVEX_VIEW(Str, PyUnicode_Check)
  static Str from(std::string_view utf8) {
    return adopt(Ref::check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()))));
  }
  // A str object from code points; lone surrogates are kept.
  static Str from_code_points(std::u32string_view text);
  // An exact str with the text of the str `s`: `s` itself when it is one.
  static Str exact(PyObject* s) {
    if (PyUnicode_CheckExact(s)) return borrow(s);
    return adopt(Ref::check(PyUnicode_FromObject(s)));
  }

  // The UTF-8 text; UnicodeEncodeError for a lone surrogate. The view lives
  // as long as the object.
  std::string_view utf8() const;
  // The UTF-8 text with lone surrogates encoded as themselves (as the
  // "surrogatepass" error handler does), so every str has one: a lossless
  // key for native maps. ASCII characters keep their single bytes.
  Utf8 bytes() const;
  std::u32string code_points() const;
  Py_ssize_t length() const noexcept { return PyUnicode_GetLength(get()); }
  // The position of the first `c` at or after `start`, or -1.
  Py_ssize_t find(Py_UCS4 c, Py_ssize_t start = 0) const;
  Str slice(Py_ssize_t start, Py_ssize_t end) const {
    return adopt(Ref::check(PyUnicode_Substring(get(), start, end)));
  }
};

#undef OLVEX_VIEW

}  // namespace olvex::py
