// One entry of a state lineage's meta-log ring, as plain values: the ring
// stores these and hands out copies.
#pragma once

#include <string>

namespace olvex::support {

struct MetaLogEntry {
    double timestamp = 0.0;  // seconds since the Unix epoch
    std::string key;         // UTF-8
    std::string message;     // UTF-8
};

// "MetaLogEntry(time=2.5, key=state_update, msg=...)": the time in plain
// decimal, key and message as they are (no quotes, no escaping).
std::string meta_log_repr(const MetaLogEntry& entry);

}  // namespace olvex::support
