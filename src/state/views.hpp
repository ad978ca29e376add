#pragma once
// Read-only views handed out by State: FrozenDict over one dict, and
// MetaLogEntry objects copied out of the meta-log ring.
#include <string>

#include "py/ref.hpp"
#include "py/types.hpp"
#include "support/meta_log.hpp"

namespace olvex::state {

extern py::TypeCell frozen_dict_type;
extern py::TypeCell meta_log_entry_type;

// A new FrozenDict (the base class) over `dict`, by reference: later changes
// to the dict show through the view. TypeError naming the argument `data`
// when `dict` is not a dict or dict subclass.
py::Ref frozen_dict_over(PyObject* dict);

// A new MetaLogEntry object holding its own copy of the entry.
py::Ref meta_log_entry_object(support::MetaLogEntry entry);
inline py::Ref meta_log_entry_object(double timestamp, std::string key, std::string message) {
  return meta_log_entry_object(support::MetaLogEntry{timestamp, std::move(key), std::move(message)});
}

}  // namespace olvex::state
