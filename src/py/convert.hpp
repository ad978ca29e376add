#pragma once
// Conversions between Python values and C++ values, with the module's
// argument-conversion messages.
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "py/errors.hpp"

namespace olvex::py {

// The type's name as the host reports it ("int", "State").
std::string type_name(PyObject* o);

// UTF-8 view of a str object; UnicodeEncodeError for lone surrogates. The
// view lives as long as the str object.
std::string_view utf8(PyObject* str);

// str(o) as UTF-8; exceptions propagate.
std::string str_of(PyObject* o);

// TypeError "'{type}' object cannot be converted to '{expected}'": a value
// checked after its argument was taken as any object.
[[noreturn]] void raise_type(PyObject* value, const char* expected);

// TypeError "argument '{arg}': '{type}' object cannot be converted to '{expected}'".
[[noreturn]] void raise_arg_type(const char* arg, PyObject* value, const char* expected);

// Re-raises the pending TypeError as "argument '{arg}': {message}", chained.
[[noreturn]] void rethrow_for_arg(const char* arg);

// A str argument (str subclasses included).
std::string_view arg_str(PyObject* o, const char* arg);
// A bool argument: True or False only.
bool arg_bool(PyObject* o, const char* arg);
// An unsigned 64-bit integer argument: any object with __index__; negative
// or too large raises OverflowError, whose message names no argument.
std::uint64_t arg_u64(PyObject* o, const char* arg);

// Like arg_u64 but for narrower targets: negative values get the same
// message as values above the target's range.
std::uint64_t arg_u64_small(PyObject* o, const char* arg);

// A sequence argument of unsigned 64-bit integers. A str (or subclass) is
// refused first, then any object that is not a sequence; the items are
// converted one by one in iteration order (nothing is reserved from a
// __len__ that may lie). TypeErrors name the argument.
std::vector<std::uint64_t> arg_u64_list(PyObject* o, const char* arg);

// The message for a str where a sequence argument is due.
inline constexpr const char* kStrNotSequence = "'str' object cannot be converted to a sequence";

template <class T>
T arg_unsigned(PyObject* o, const char* arg) {
  static_assert(std::is_unsigned_v<T>);
  if constexpr (std::is_same_v<T, std::uint64_t> || sizeof(T) == sizeof(std::uint64_t)) {
    return static_cast<T>(arg_u64(o, arg));
  } else {
    std::uint64_t v = arg_u64_small(o, arg);
    if (v > std::numeric_limits<T>::max()) {
      raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<T>(v);
  }
}

// An optional object parameter: explicit None counts as not given.
inline PyObject* optional(PyObject* o) noexcept { return o == Py_None ? nullptr : o; }

Ref to_py(std::string_view s);
Ref to_py_u64(std::uint64_t v);
Ref to_py_size(std::size_t v);
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace olvex::py
