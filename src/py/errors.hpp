#pragma once
// How failures travel: C++ exceptions inside the module, Python exceptions at
// its edge. Every function CPython calls goes through the trampoline in
// trampoline.hpp, which turns these into the Python error indicator.
#include <string>
#include <string_view>

#include "py/ref.hpp"

namespace olvex::py {

// A C API call failed and left the Python error set.
struct PyErrorSet {};

// A Python exception still to be set: `type` is a borrowed class that lives
// as long as the process (a builtin or one of the module's own).
struct PyRaise {
  PyObject* type;
  std::string message;
};

// A broken invariant: raised as the module's panic exception.
struct Panic {
  std::string message;
};

[[noreturn]] void raise(PyObject* type, std::string message);
// Sets the Python error `type(message)` without a C++ throw, for refusals
// that callers meet often (a throw and its catch cost microseconds). The
// caller then returns its error value.
void set_error(PyObject* type, const std::string& message) noexcept;
[[noreturn]] void panic(std::string message);
// Throws PyErrorSet when the C API reported failure by a null result.
inline PyObject* check(PyObject* p) {
  if (!p) throw PyErrorSet{};
  return p;
}
inline int check(int rc) {
  if (rc < 0) throw PyErrorSet{};
  return rc;
}

// The panic exception class (derived from BaseException, so `except
// Exception` does not catch it); created once, never freed.
PyObject* panic_type();

// Converts the exception in flight into the Python error indicator. Called
// from inside a catch block, never for the forced unwinding of a thread that
// the interpreter ends at exit: every `catch (...)` that could see one
// rethrows `abi::__forced_unwind` first (py/unwind.hpp).
void translate_current_exception() noexcept;

// Reports an exception that cannot propagate (destructors, callbacks) to the
// host's unraisable hook.
void write_unraisable(PyObject* context) noexcept;

// Saves the current error for the length of a scope (deallocation may run
// with an exception in flight).
class ErrorScope {
 public:
  ErrorScope() noexcept : saved_(PyErr_GetRaisedException()) {}
  ~ErrorScope() {
    if (may_release()) PyErr_SetRaisedException(saved_);
  }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

 private:
  PyObject* saved_;
};

}  // namespace olvex::py
