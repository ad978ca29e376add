#pragma once
// ConfigLoader: the strict check of schema configuration documents.
#include "py/types.hpp"

namespace olvex::state {

extern py::TypeCell config_loader_type;

}  // namespace olvex::state
