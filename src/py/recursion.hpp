#pragma once
// The interpreter's recursion guard for C++ code that recurses without a
// Python frame in between: endless nesting ends in RecursionError instead
// of a C stack overflow.
#include "py/errors.hpp"

namespace olvex::py {

class RecursionScope {
 public:
  // `where` completes the message: "maximum recursion depth exceeded{where}".
  explicit RecursionScope(const char* where) {
    if (Py_EnterRecursiveCall(where)) throw PyErrorSet{};
  }
  ~RecursionScope() { Py_LeaveRecursiveCall(); }
  RecursionScope(const RecursionScope&) = delete;
  RecursionScope& operator=(const RecursionScope&) = delete;
};

}  // namespace olvex::py
