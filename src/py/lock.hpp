#pragma once
// A mutex, and a read-write lock, that remember a section ended by an
// exception: the data they guard may be half-updated, so every later lock
// attempt fails.
#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include "py/errors.hpp"

namespace olvex::py {

inline constexpr const char* kPoisonedMessage =
    "PoisonError: a lock was poisoned by an earlier failure while it was held";

// The lock under Mutex. Every record section is short and, in this module,
// mostly runs holding the interpreter lock, so a lock is nearly always free:
// then taking and letting it go are one atomic instruction each, inline,
// where a std::mutex costs two library calls. A waiter sleeps on the word.
class Latch {
 public:
  void lock() noexcept {
    int seen = kFree;
    if (!state_.compare_exchange_strong(seen, kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
      wait_for(seen);
    }
  }
  void unlock() noexcept {
    if (state_.exchange(kFree, std::memory_order_release) == kContended) state_.notify_one();
  }

 private:
  static constexpr int kFree = 0;
  static constexpr int kHeld = 1;
  static constexpr int kContended = 2;  // held, and someone may be waiting

  void wait_for(int seen) noexcept {
    if (seen != kContended) seen = state_.exchange(kContended, std::memory_order_acquire);
    while (seen != kFree) {
      state_.wait(kContended, std::memory_order_relaxed);
      seen = state_.exchange(kContended, std::memory_order_acquire);
    }
  }

  std::atomic<int> state_{kFree};
};

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
      Latch& mu;
      ~Unlock() { mu.unlock(); }
    } unlock{mu_};
    return f(value_);
  }

  // The value without locking, for the cycle collector. Sound only where
  // every section runs with the interpreter lock held and lets no Python
  // code run: the collector holds that lock, so no section is open then.
  T& peek() noexcept { return value_; }

  bool poisoned() const noexcept { return poisoned_; }

  // The value without the lock, for the cycle collector's traverse only:
  // it runs holding the interpreter lock, so it cannot meet a section of a
  // lock that is never held while Python code runs or the interpreter lock
  // is given up.
  const T& unguarded() const noexcept { return value_; }

 private:
  Latch mu_;
  bool poisoned_ = false;
  T value_;
};

// A read-write lock over one value. Only a writer's section can poison it
// (readers cannot change the value). A poisoned lock fails every later
// read() and write(): with RuntimeError(`message`) when one is given, else
// as a broken invariant. The guards unlock on destruction.
template <class T>
class RwLock {
 public:
  template <class... A>
  explicit RwLock(A&&... a) : value_(std::forward<A>(a)...) {}

  class ReadGuard {
   public:
    ReadGuard(ReadGuard&& o) noexcept : l_(std::exchange(o.l_, nullptr)) {}
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ~ReadGuard() {
      if (l_) l_->mu_.unlock_shared();
    }
    const T& operator*() const noexcept { return l_->value_; }
    const T* operator->() const noexcept { return &l_->value_; }

   private:
    friend class RwLock;
    explicit ReadGuard(const RwLock& l) : l_(&l) {}
    const RwLock* l_;
  };

  class WriteGuard {
   public:
    WriteGuard(WriteGuard&& o) noexcept : l_(std::exchange(o.l_, nullptr)), exceptions_(o.exceptions_) {}
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    ~WriteGuard() {
      if (!l_) return;
      if (std::uncaught_exceptions() > exceptions_) l_->poisoned_.store(true, std::memory_order_relaxed);
      l_->mu_.unlock();
    }
    T& operator*() noexcept { return l_->value_; }
    T* operator->() noexcept { return &l_->value_; }

   private:
    friend class RwLock;
    explicit WriteGuard(RwLock& l) : l_(&l), exceptions_(std::uncaught_exceptions()) {}
    RwLock* l_;
    int exceptions_;
  };

  ReadGuard read(const char* message = nullptr) const {
    mu_.lock_shared();
    if (poisoned()) {
      mu_.unlock_shared();
      fail(message);
    }
    return ReadGuard(*this);
  }

  WriteGuard write(const char* message = nullptr) {
    mu_.lock();
    if (poisoned()) {
      mu_.unlock();
      fail(message);
    }
    return WriteGuard(*this);
  }

  // A reader that never waits: empty when a writer holds the lock or when
  // it is poisoned.
  std::optional<ReadGuard> try_read() const noexcept {
    if (!mu_.try_lock_shared()) return std::nullopt;
    if (poisoned()) {
      mu_.unlock_shared();
      return std::nullopt;
    }
    return ReadGuard(*this);
  }

  // For teardown only: the value whether or not the lock is poisoned (the
  // value is still a valid object, whatever state its contents are in).
  WriteGuard write_even_if_poisoned() {
    mu_.lock();
    return WriteGuard(*this);
  }

  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_relaxed); }

 private:
  [[noreturn]] static void fail(const char* message) {
    if (message) raise(PyExc_RuntimeError, message);
    panic(kPoisonedMessage);
  }

  mutable std::shared_mutex mu_;
  std::atomic<bool> poisoned_{false};
  T value_;
};

}  // namespace olvex::py
