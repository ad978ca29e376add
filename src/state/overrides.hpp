#pragma once
// The module functions over the process-wide physics override table.
#include "py/python.hpp"

namespace olvex::state {

// register_physics_override(path, caps) and clear_physics_overrides(); the
// module frame binds them to the module at registration.
extern PyMethodDef register_physics_override_def;
extern PyMethodDef clear_physics_overrides_def;

}  // namespace olvex::state
