#pragma once
// OutboxCollector: the Python handle on the outbox buffer of an engine or a
// transaction. Several handles may share one buffer.
#include "py/types.hpp"
#include "state/outbox_buffer.hpp"

namespace olvex::engine {

extern py::TypeCell outbox_collector_type;

// A new OutboxCollector over `buffer`.
py::Ref collector_for(state::OutboxRef buffer);

}  // namespace olvex::engine
