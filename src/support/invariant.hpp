#pragma once

#include <stdexcept>
#include <string>

namespace olvex::support {

// A broken internal invariant: a poisoned lock, a failed one-time
// initialisation, a conflicting internal borrow. The binding layer turns it
// into the module's panic exception, which Python code cannot catch with
// `except Exception`.
class BrokenInvariant : public std::runtime_error {
 public:
  explicit BrokenInvariant(const std::string& what) : std::runtime_error(what) {}
  explicit BrokenInvariant(const char* what) : std::runtime_error(what) {}
};

}  // namespace olvex::support
