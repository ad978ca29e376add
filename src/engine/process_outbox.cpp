// OlvexEngine.process_outbox: the engine's outbox handed, message by
// message, to the attached worker.
//
// No lock is held while the worker runs: the batch is taken out of the
// buffer, the worker reference out of its cell, and both are let go before
// the first call. The worker taken at the start serves the whole batch, so a
// worker may attach another one, add messages or run process_outbox itself
// (its commit_state still meets this call's shared borrow).
//
// A failure loses nothing that was not handed over: when the worker raises,
// the message it was given counts as delivered and the rest go back to the
// front of the outbox; when a message object cannot be made, that message
// goes back too. Either way the exception propagates.
#include <cxxabi.h>

#include <span>
#include <vector>

#include "engine/engine.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "state/outbox.hpp"

namespace olvex::engine {

using py::Ref;
using state::OutboxMessage;

PyObject* engine_process_outbox(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(engine_flag(self));
  EngineData& e = engine_data(self);
  std::vector<OutboxMessage> batch = e.outbox->take_all();
  if (batch.empty()) return py::none().release();
  Ref worker = e.worker.with([](Ref& cell) { return cell; });
  if (!worker) return py::none().release();  // no worker: the batch is dropped
  for (std::size_t i = 0; i < batch.size(); ++i) {
    Ref msg;
    try {
      msg = state::outbox_msg_object(batch[i]);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      e.outbox->put_back(std::span<OutboxMessage>(batch).subspan(i));
      throw;
    }
    try {
      py::call(worker.get(), msg.get());  // the result is dropped
    } catch (const py::PyErrorSet&) {
      e.outbox->put_back(std::span<OutboxMessage>(batch).subspan(i + 1));
      throw;
    }
  }
  return py::none().release();
}

}  // namespace olvex::engine
