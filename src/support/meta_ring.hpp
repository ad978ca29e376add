#pragma once
// The meta-log ring of a State lineage: a bounded ring of meta-log entries.
#include "support/meta_log.hpp"
#include "support/ring.hpp"

namespace olvex::support {

// Seconds since the Unix epoch on the wall clock; 0.0 before the epoch.
double wall_clock_seconds();

using MetaRing = BoundedRing<MetaLogEntry>;

}  // namespace olvex::support
