#include "support/meta_log.hpp"

#include <fmt/format.h>

#include "support/float_text.hpp"

namespace olvex::support {

std::string meta_log_repr(const MetaLogEntry& entry) {
    return fmt::format("MetaLogEntry(time={}, key={}, msg={})", plain_decimal(entry.timestamp), entry.key,
                       entry.message);
}

}  // namespace olvex::support
