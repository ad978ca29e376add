#pragma once
// A mutex that remembers a section ended by an exception: the data it guards
// may be half-updated, so every later lock attempt is a broken invariant.
#include <exception>
#include <mutex>

#include "py/errors.hpp"

namespace olvex::py {

inline constexpr const char* kPoisonedMessage =
    "PoisonError: a lock was poisoned by an earlier failure while it was held";

template <class T>
class Mutex {
 public:
  template <class... A>
  explicit Mutex(A&&... a) : value_(std::forward<A>(a)...) {}

  class Guard {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_) m_.poisoned_ = true;
      m_.mu_.unlock();
    }
    T& operator*() noexcept { return m_.value_; }
    T* operator->() noexcept { return &m_.value_; }

   private:
    friend class Mutex;
    explicit Guard(Mutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) {}
    Mutex& m_;
    int exceptions_;
  };

  // Locks, or fails with the panic exception when poisoned.
  Guard lock() {
    mu_.lock();
    if (poisoned_) {
      mu_.unlock();
      panic(kPoisonedMessage);
    }
    return Guard(*this);
  }

  bool poisoned() const noexcept { return poisoned_; }

  // The value without the lock, for the cycle collector's traverse only:
  // it runs holding the interpreter lock, so it cannot meet a section of a
  // lock that is never held while Python code runs or the interpreter lock
  // is given up.
  const T& unguarded() const noexcept { return value_; }

 private:
  std::mutex mu_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace olvex::py
