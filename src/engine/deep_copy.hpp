#pragma once
// A native copy.deepcopy for plain data: values made only of exact dicts,
// lists and tuples (at most 64 levels deep) and immutable scalars (str,
// int, float, bool, None, bytes). Its result is exactly copy.deepcopy's
// with a fresh memo: shared sub-objects and cycles come out shared and
// cyclic the same way, scalars and tuples of immutable values come back as
// themselves. It is used only while the host's copy.deepcopy and its
// dispatch for the types met are the standard library's own.
#include "py/ref.hpp"

namespace olvex::engine {

// The copy of `value`, or an empty Ref when the native copy does not apply
// (another type, deeper nesting, a source changed by Python code that an
// allocation ran, or a host `copy` module that is not the standard
// library's as it ships): then copy.deepcopy must be called. `copy_module`
// and `deepcopy` are the host module and its attribute as just read. A
// failure to allocate throws PyErrorSet.
py::Ref native_deepcopy(PyObject* copy_module, PyObject* deepcopy, PyObject* value);

// Whether `deepcopy` is the standard library's own, in its own module
// `copy_module` (so it takes a memo as its second argument).
bool is_standard_deepcopy(PyObject* copy_module, PyObject* deepcopy);

// Whether `o` is of one of the exact builtin types the native copy handles.
bool is_native_copy_type(PyObject* o) noexcept;

}  // namespace olvex::engine
