#pragma once
// The pending Python exception, where the module may drop or describe it.
// Only ordinary exceptions (Exception subclasses) are ever dropped or
// wrapped; KeyboardInterrupt, SystemExit, the panic exception and every
// other BaseException go on unchanged.
#include "py/errors.hpp"

namespace olvex::py {

// Whether the pending exception is an ordinary one.
inline bool ordinary_pending() noexcept { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// Drops the pending exception when it is ordinary; otherwise throws
// PyErrorSet, leaving it set.
inline void discard_ordinary() {
  if (!ordinary_pending()) throw PyErrorSet{};
  PyErr_Clear();
}

// Takes the pending exception when it is ordinary (the error indicator is
// then clear); otherwise throws PyErrorSet, leaving it set.
inline Ref take_ordinary() {
  if (!ordinary_pending()) throw PyErrorSet{};
  return Ref::steal(PyErr_GetRaisedException());
}

// The exception as messages embed it: its type's qualified name, a colon, a
// blank and its text, or the name followed by ": <exception str() failed>"
// when the text cannot be made. A str object, so any text fits. An
// ordinary failure of str() is dropped; any other propagates.
Ref describe_exception(PyObject* exc);

}  // namespace olvex::py
