#pragma once
// The lifecycle of a transaction: entering, the commit road of its exit,
// and the outbox hand-over. Native entry points for the process runner and
// compare-and-swap, which share the engine hold and the schema step.
#include "py/borrow.hpp"
#include "py/errors.hpp"

namespace olvex::engine {

// A shared hold of an engine taken by a commit. Another thread's exclusive
// hold (its commit_state or compare_and_swap running Python code) is waited
// out with the interpreter lock released and no native lock held; the
// calling thread's own exclusive hold fails at once with RuntimeError
// "Already mutably borrowed", since waiting for it could never end.
class EngineHold {
 public:
  explicit EngineHold(PyObject* engine);
  ~EngineHold();
  EngineHold(const EngineHold&) = delete;
  EngineHold& operator=(const EngineHold&) = delete;

 private:
  py::BorrowFlag& flag_;
};

// The schema step: d = new_state.data.to_dict(), then
// schema.model_validate(d), its result dropped. Errors of `data` and
// `to_dict` propagate unchanged; an ordinary exception from model_validate
// (its lookup included) becomes SchemaViolationError with the text
// `prefix` followed by the exception described (py::describe_exception),
// the exception kept as its __context__. Any other exception propagates.
// `schema` is the object taken out of the engine's cell; the caller holds
// the engine for the whole step.
void validate_with_schema(PyObject* schema, PyObject* new_state, const char* prefix);

// Transaction.__enter__ without its borrow: starts (or restarts) the write
// time limit. The caller holds the transaction exclusively.
void enter_transaction(PyObject* tx);

// Transaction.__exit__ without its binding and borrow: commits unless
// `exc_type` is set and not None. The caller holds the transaction shared.
void exit_transaction(PyObject* tx, PyObject* exc_type);

// Transaction.flush_outbox without its borrow: moves the transaction's
// messages to the engine's outbox; an empty outbox leaves the engine alone.
void flush_outbox(PyObject* tx);

}  // namespace olvex::engine
