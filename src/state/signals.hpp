#pragma once
// SignalHub and SignalReceiver: Python handles on a broadcast channel.
#include <memory>

#include "py/types.hpp"
#include "support/broadcast.hpp"

namespace olvex::state {

extern py::TypeCell signal_hub_type;
extern py::TypeCell signal_receiver_type;

// A new channel with a requested capacity of 100 (128 slots).
support::Sender new_channel();

// A new SignalHub object holding one more sending handle on `sender`'s channel.
py::Ref hub_object_for(const support::Sender& sender);

// Sends on a channel and ignores the count, as a lineage's broadcast does.
void broadcast(const support::Sender& sender, std::string_view message);

// A new SignalReceiver over a receiver cell.
py::Ref receiver_object_for(std::shared_ptr<support::ReceiverCell> cell);

}  // namespace olvex::state
