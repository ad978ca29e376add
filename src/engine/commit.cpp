// Transaction.__enter__, __exit__ (the commit road) and flush_outbox.
//
// The road calls Python code at almost every step (the engine's `state`,
// the state's `update`, the data view's `to_dict`, the schema,
// `commit_state`), each looked up by name so that overrides take part, and
// holds no native lock while that code runs: the schema is taken out of its
// cell first, and the engine is held only through its borrow flag. The
// outbox moves only after the install, so its messages are delivered only
// for committed transactions; after any failure they stay in the
// transaction for its next successful exit or flush_outbox.
#include "engine/commit.hpp"

#include <fmt/format.h>

#include <chrono>
#include <optional>

#include "engine/engine.hpp"
#include "engine/transaction.hpp"
#include "py/args.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/trampoline.hpp"
#include "state/exceptions.hpp"
#include "support/write_time.hpp"

namespace olvex::engine {

using py::Ref;

EngineHold::EngineHold(PyObject* engine) : flag_(engine_flag(engine)) {
  py::wait_to_share(flag_);
  flag_.share();  // no Python code ran since the wait ended: it is shareable
}

EngineHold::~EngineHold() { flag_.unshare(); }

void validate_with_schema(PyObject* schema, PyObject* new_state, const char* prefix) {
  Ref data = Ref::check(PyObject_GetAttr(new_state, OLVEX_NAME(data)));
  Ref d = py::call_method(data.get(), OLVEX_NAME(to_dict));
  PyObject* argv[] = {schema, d.get()};
  Ref valid = Ref::steal(
      PyObject_VectorcallMethod(OLVEX_NAME(model_validate), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (valid) return;
  Ref cause = py::take_ordinary();
  Ref described = py::describe_exception(cause.get());
  Ref message = Ref::check(PyUnicode_FromFormat("%s%U", prefix, described.get()));
  Ref error = py::call(state::exception_type(state::Exc::SchemaViolationError), message.get());
  PyException_SetContext(error.get(), cause.release());
  PyErr_SetRaisedException(error.release());
  throw py::PyErrorSet{};
}

void enter_transaction(PyObject* tx) { transaction_data(tx).entered_at = std::chrono::steady_clock::now(); }

namespace {

// Step 2: never entered, no limit.
void check_write_time(const TransactionData& t) {
  if (!t.entered_at) return;
  auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - *t.entered_at);
  support::WriteTime time = support::check_write_time(elapsed, t.write_timeout_ms);
  if (time.exceeded) {
    state::raise(state::Exc::WriteTimeoutError,
                 fmt::format("Transaction timed out after {}ms (limit {}ms)", time.elapsed_ms, t.write_timeout_ms));
  }
}

}  // namespace

void exit_transaction(PyObject* tx, PyObject* exc_type) {
  if (exc_type && exc_type != Py_None) return;
  TransactionData& t = transaction_data(tx);
  check_write_time(t);
  PyObject* engine = t.engine.get();
  Ref current = Ref::check(PyObject_GetAttr(engine, OLVEX_NAME(state)));
  infer_shadow_deltas(tx);
  commit(tx);
  // The buffers themselves, not the pending_data preview.
  Ref next = py::call_method(current.get(), OLVEX_NAME(update), t.pending_data.get(), t.pending_heavy.get(),
                             t.pending_signal.get());
  {
    EngineHold hold(engine);
    if (std::optional<Ref> s = schema(engine)) validate_with_schema(s->get(), next.get(), "Schema Violation: ");
  }
  py::call_method(engine, OLVEX_NAME(commit_state), next.get());
  flush_outbox(tx);
}

void flush_outbox(PyObject* tx) {
  TransactionData& t = transaction_data(tx);
  // Nothing to move, no hold: the engine is not touched. Messages added
  // while the hold is awaited (other threads run then) simply move too.
  if (t.outbox->size() == 0) return;
  PyObject* engine = t.engine.get();
  // Held before any message leaves the transaction, so a wait or a refusal
  // finds them all still there and the transaction's outbox is never
  // locked while waiting.
  EngineHold hold(engine);
  t.outbox->move_all_into(*outbox_buffer(engine));
}

PyObject* tx_flush_outbox(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(transaction_flag(self));
  flush_outbox(self);
  return py::none().release();
}

PyObject* tx_enter(PyObject* self, PyObject*) {
  py::ExclusiveBorrow borrow(transaction_flag(self));
  enter_transaction(self);
  return Ref::borrow(self).release();
}

PyObject* tx_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<3> params{"Transaction.__exit__", {"_exc_type", "_exc_value", "_traceback"}, 0};
  auto [exc_type, exc_value, traceback] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(transaction_flag(self));
  exit_transaction(self, exc_type);
  return py::none().release();
}

}  // namespace olvex::engine
