#pragma once
// ConflictManager and RetryDecision: the Python faces of the conflict core.
#include "py/types.hpp"
#include "support/conflict.hpp"

namespace olvex::engine {

extern py::TypeCell conflict_manager_type;
extern py::TypeCell retry_decision_type;

// A new RetryDecision object holding `decision`.
py::Ref retry_decision_object(support::RetryDecision decision);

}  // namespace olvex::engine
