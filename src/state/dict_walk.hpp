#pragma once
// Walks a dict in its own order with strong references to each key and
// value, so Python code may run between steps. Python code that changes the
// dict's size or keys meanwhile breaks the walk's invariant; that is reported
// with the panic exception, as a for loop over the dict would report it.
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace olvex::state {

class DictWalk {
 public:
  // `dict` is borrowed and must outlive the walk (the caller holds it).
  explicit DictWalk(PyObject* dict) : dict_(dict), size_(PyDict_Size(dict)) {}

  // The next item, or false at the end.
  bool next(py::Ref& key, py::Ref& value) {
    if (PyDict_Size(dict_) != size_) py::panic("dictionary changed size during iteration");
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    if (!PyDict_Next(dict_, &pos_, &k, &v)) {
      // Same size but fewer items seen: keys were removed and others added.
      if (seen_ != size_) py::panic("dictionary keys changed during iteration");
      return false;
    }
    if (++seen_ > size_) py::panic("dictionary keys changed during iteration");
    key = py::Ref::borrow(k);
    value = py::Ref::borrow(v);
    return true;
  }

 private:
  PyObject* dict_;
  Py_ssize_t size_;
  Py_ssize_t pos_ = 0;
  Py_ssize_t seen_ = 0;
};

}  // namespace olvex::state
