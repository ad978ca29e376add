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

  // For callers whose rule is to skip the guarded work on a poisoned lock:
  // runs f on the value under the lock, or returns false without running it.
  template <class F>
  bool run_unless_poisoned(F&& f) {
    mu_.lock();
    if (poisoned_) {
      mu_.unlock();
      return false;
    }
    Guard g(*this);
    f(value_);
    return true;
  }

  // Runs `f` on the locked value and returns its result. `f` must leave the
  // value as it found it when it throws (an allocation failure under the
  // strong guarantee), so such a failure passes on after the unlock without
  // poisoning the mutex.
  template <class F>
  decltype(auto) with(F&& f) {
    mu_.lock();
    if (poisoned_) {
      mu_.unlock();
      panic(kPoisonedMessage);
    }
    struct Unlock {
      std::mutex& mu;
      ~Unlock() { mu.unlock(); }
    } unlock{mu_};
    return f(value_);
  }

  // The value without locking, for the cycle collector. Sound only where
  // every section runs with the interpreter lock held and lets no Python
  // code run: the collector holds that lock, so no section is open then.
  T& peek() noexcept { return value_; }

  bool poisoned() const noexcept { return poisoned_; }

 private:
  std::mutex mu_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace olvex::py
