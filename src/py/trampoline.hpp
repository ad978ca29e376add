#pragma once
// One trampoline for every function CPython calls: it runs the C++ body and
// turns any C++ exception into a Python error with the slot's error value,
// so no C++ exception ever crosses into the interpreter.
#include <type_traits>

#include "py/errors.hpp"
#include "py/unwind.hpp"

namespace olvex::py {

template <class R>
constexpr R error_value() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

template <auto F>
struct Trampoline;

template <class R, class... A, R (*F)(A...)>
  requires(!std::is_void_v<R>)
struct Trampoline<F> {
  // Not noexcept: a thread that the interpreter ends during finalisation is
  // unwound by the C library, and that unwinding must pass through.
  OLVEX_PASSES_FORCED_UNWIND static R call(A... a) {
    try {
      return F(a...);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      translate_current_exception();
      return error_value<R>();
    }
  }
};

template <class... A, void (*F)(A...)>
struct Trampoline<F> {
  OLVEX_PASSES_FORCED_UNWIND static void call(A... a) {
    try {
      F(a...);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      translate_current_exception();
      write_unraisable(nullptr);
    }
  }
};

// The C function for a C++ body of the same signature.
template <auto F>
constexpr auto tramp = &Trampoline<F>::call;

// Casts a trampoline to the PyCFunction type that method tables expect.
template <auto F>
inline PyCFunction method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tramp<F>));
}

}  // namespace olvex::py
