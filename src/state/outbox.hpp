#pragma once
// OutboxMsg and Outbox: the Python faces of outbox messages and buffers.
#include <string_view>
#include <vector>

#include "py/types.hpp"
#include "state/outbox_buffer.hpp"

namespace olvex::state {

extern py::TypeCell outbox_msg_type;
// Not registered in the module: made on first use.
extern py::TypeCell outbox_type;

// A new OutboxMsg object carrying the message (its own topic copy, a new
// reference to the payload).
py::Ref outbox_msg_object(OutboxMessage message);

// A new list of new OutboxMsg objects, one per message, in order.
py::Ref outbox_msg_list(const std::vector<OutboxMessage>& messages);

// The message value of an OutboxMsg argument, copied out of it; anything
// else raises TypeError "argument '{arg}': '{type}' object cannot be
// converted to 'OutboxMsg'".
OutboxMessage message_from_arg(PyObject* object, const char* arg);

// A new Outbox object over `buffer`; every call makes a new handle, all of
// them sharing the buffer.
py::Ref outbox_object_for(OutboxRef buffer);

}  // namespace olvex::state
