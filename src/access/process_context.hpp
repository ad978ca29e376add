#pragma once
// ProcessContext: what a user process receives. It bundles the committed
// State the process runs against, a process-local dict, an outbox buffer
// and optionally the Transaction the process runs in, hands out proxies
// over the two data roots and falls back to the state for every other
// attribute. Its four fields are fixed at construction.
#include <optional>
#include <utility>

#include "py/ref.hpp"
#include "py/types.hpp"
#include "state/outbox_buffer.hpp"

namespace olvex::access {

struct ContextData {
  ContextData(py::Ref state, py::Ref local, state::OutboxRef outbox, py::Ref tx) noexcept
      : state(std::move(state)), local(std::move(local)), outbox(std::move(outbox)), tx(std::move(tx)) {}
  // Releases the fields in the order of their own destruction, the buffer
  // given back for a later context when nothing else holds it.
  ~ContextData();
  ContextData(const ContextData&) = delete;
  ContextData& operator=(const ContextData&) = delete;

  py::Ref state;  // a State (or subclass instance)
  py::Ref local;  // a dict (or subclass instance); never read or changed here
  state::OutboxRef outbox;
  py::Ref tx;  // a Transaction, or empty
};

extern py::TypeCell process_context_type;

// Whether `o` is a ProcessContext (the class cannot be subclassed).
bool is_process_context(PyObject* o) noexcept;

// A new context from values used unchanged: `state` a State, `local` a
// dict, `tx` a Transaction or empty. The runner passes the transaction's
// own buffer, or a fresh one without a transaction.
py::Ref make_process_context(py::Ref state, py::Ref local, state::OutboxRef outbox, py::Ref tx);

// The outbox buffer of `o` when it is a ProcessContext, read under a shared
// borrow of the context; nothing for any other object.
std::optional<state::OutboxRef> process_context_buffer(PyObject* o);

}  // namespace olvex::access
