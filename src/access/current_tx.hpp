#pragma once
// The calling thread's current transaction: a per-thread slot that every
// proxy construction with a transaction fills, and the framework's context
// variable `olvex.guards._current_tx` as the fallback for an empty slot.
#include "py/ref.hpp"

namespace olvex::access {

// Makes `tx` (borrowed, not null) the calling thread's current transaction.
// The new reference is stored before the old one is released, so code that
// the release runs already finds `tx`. The slot is never cleared otherwise;
// its reference is released when the thread's interpreter state is cleared
// (the thread ends, or the interpreter finalises); a set that arrives after
// that, from code the release runs, stores nothing. Throws PyErrorSet only
// when the thread's release hook cannot be installed (memory exhausted).
void set_current_tx(PyObject* tx);

// The calling thread's current transaction as a new reference, or empty.
// The slot answers first; only an empty slot consults
// sys.modules.get("olvex.guards")._current_tx.get(), without importing
// anything. Raises nothing: every failure of that lookup counts as no
// transaction, and an exception pending on entry is left as it was.
// (Not noexcept: the forced unwinding of a thread the interpreter ends while
// the lookup runs Python code must pass through.)
py::Ref get_current_tx();

}  // namespace olvex::access
