#pragma once
// SupervisorProxy: the capability-checked view on a dict, list or object
// inside the shared context.
#include <cstdint>
#include <string>
#include <string_view>

#include "py/types.hpp"
#include "support/capabilities.hpp"

namespace olvex::access {

extern py::TypeCell supervisor_proxy_type;

// Builds a proxy exactly as the Python constructor does once its arguments
// are converted: a `transaction` (borrowed; null for none) first becomes the
// calling thread's current transaction, then the proxy is made over
// `target`. The proxy keeps no reference to the transaction, only the fact
// that one was given.
py::Ref make_proxy(PyObject* target, std::string_view path, bool read_only, PyObject* transaction, bool is_shadow,
                   std::uint8_t capabilities = support::DEFAULT_CAPABILITIES);
// The same with a path built by steps (a child's).
py::Ref make_proxy(PyObject* target, support::ZonePath path, bool read_only, PyObject* transaction, bool is_shadow,
                   std::uint8_t capabilities);

}  // namespace olvex::access
