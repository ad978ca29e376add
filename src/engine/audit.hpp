#pragma once
// AuditLevel, AuditRecipe, AuditLogEntry and AuditSystem: the Python faces
// of the audit core in support/audit.hpp.
#include <optional>

#include "py/ref.hpp"
#include "py/types.hpp"
#include "support/audit.hpp"

namespace olvex::engine {

extern py::TypeCell audit_level_type;
extern py::TypeCell audit_recipe_type;
extern py::TypeCell audit_log_entry_type;
extern py::TypeCell audit_system_type;

// A new AuditLevel object for `level` (equal to the class attribute, not it).
py::Ref audit_level_object(support::AuditLevel level);
// The level of an AuditLevel argument; TypeError naming `arg` otherwise.
support::AuditLevel arg_audit_level(PyObject* o, const char* arg);

// The four values of an AuditRecipe argument; TypeError naming `arg` otherwise.
support::AuditRecipe arg_audit_recipe(PyObject* o, const char* arg);

// A new AuditLogEntry object holding `entry`.
py::Ref audit_log_entry_object(support::AuditEntry entry);

}  // namespace olvex::engine
