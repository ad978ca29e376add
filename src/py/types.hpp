#pragma once
// Type objects: built once from a spec, kept for the life of the process.
#include <string>

#include "py/errors.hpp"

namespace olvex::py {

// Makes a heap type with PyType_FromMetaclass. "olvex_core.X" is reported in
// module olvex_core; "builtins.X" in module builtins, and then renamed to the
// bare "X" so the host's messages show the name without a module part (a
// spec name without a dot would warn on 3.13).
PyObject* make_type(PyType_Spec* spec, PyObject* base = nullptr);

// A lazily filled cell for one class: registration at import fills it, or
// the first construction of an instance by the module's own code.
class TypeCell {
 public:
  using Factory = PyObject* (*)();  // returns a new reference or throws
  TypeCell(const char* class_name, Factory factory) : name_(class_name), factory_(factory) {}

  // The type object (borrowed; lives forever), created on first use.
  PyObject* get();
  // As get(), with the failure reported as registration reports it:
  // RuntimeError "An error occurred while initializing class {}" with the
  // creation error as its cause.
  PyObject* get_for_registration();
  const char* name() const { return name_; }
  // The type object when it has been made, else null; makes nothing.
  PyObject* peek() const noexcept { return type_; }

 private:
  const char* name_;
  Factory factory_;
  PyObject* type_ = nullptr;
};

// A tp_new that refuses construction from Python.
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace olvex::py
