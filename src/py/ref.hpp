#pragma once
// Owned and borrowed handles. A raw PyObject* in a signature is borrowed;
// a Ref owns exactly one reference.
#include <atomic>
#include <utility>

#include "py/python.hpp"

namespace olvex::py {

struct PyErrorSet;

namespace detail {
// Set once the interpreter's exit has begun (py/exit_watch.cpp), or could
// not be watched; never cleared.
inline std::atomic<bool> g_exit_begun{false};
}  // namespace detail

// Makes the exit watch that may_release relies on; called once, by the
// module's initialisation, before any object of the module exists.
void watch_exit() noexcept;

// False only on a thread that the interpreter is ending at exit: it has lost
// its thread state while frames of the module are being unwound, and what
// they hold must stay where it is (the process is about to end). Inline:
// every Ref's release asks it.
inline bool may_release() noexcept {
  // Only during finalisation can a thread lose its state in the middle of
  // the module's code (the interpreter ends it as it asks for the lock
  // back), and finalisation starts only after the exit hooks have run: so
  // until the watch has seen them run, no call is needed.
  if (!detail::g_exit_begun.load(std::memory_order_acquire)) return true;
  // PyThreadState_GetDict answers null exactly when the calling thread has
  // no current state.
  return !Py_IsFinalizing() || PyThreadState_GetDict() != nullptr;
}

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_ && may_release()) Py_DECREF(p_);
  }

  // Takes over a new reference (null stays empty).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Takes over the result of a C API call that returns null on error.
  static Ref check(PyObject* p);

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace olvex::py
