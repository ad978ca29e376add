#pragma once
// The module's exception and warning classes, each created once on first
// use (registration at import, or the first raise) and kept forever.
#include <string>

#include "py/errors.hpp"

namespace olvex::state {

enum class Exc {
  WriteTimeoutError,
  ContextError,
  SchemaViolationError,
  AuditBlockError,
  AuditAbortError,
  AuditStopError,
  AuditWarning,
};

// The class (borrowed, immortal in practice). A failure to create it is a
// broken invariant.
PyObject* exception_type(Exc which);

// Raises the class with one argument, the message.
[[noreturn]] void raise(Exc which, std::string message);

}  // namespace olvex::state
