#pragma once
// ContextGuard: the process-contract guard around the context a process is
// handed, with its interned contract of declared inputs and outputs.
#include "py/types.hpp"

namespace olvex::access {

extern py::TypeCell context_guard_type;

}  // namespace olvex::access
