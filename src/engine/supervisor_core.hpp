#pragma once
// SupervisorCore: a thread-safe store of object references with a version
// per key.
#include "py/types.hpp"

namespace olvex::engine {

extern py::TypeCell supervisor_core_type;

}  // namespace olvex::engine
