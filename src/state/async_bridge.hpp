#pragma once
// Completes asyncio futures with the outcomes of asynchronous receives, on
// the event loop that was running when the receive started.
#include <memory>

#include "py/ref.hpp"
#include "support/broadcast.hpp"

namespace olvex::state {

// Starts an asynchronous receive on `cell` and returns its future. Without a
// running loop, asyncio's RuntimeError propagates and nothing starts.
py::Ref start_async_receive(std::shared_ptr<support::ReceiverCell> cell);

// Turns an outcome into a str, or sets its exception and throws PyErrorSet.
py::Ref outcome_to_python(support::RecvOutcome&& outcome);

}  // namespace olvex::state
