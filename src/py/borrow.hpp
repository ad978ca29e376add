#pragma once
// A per-object shared/exclusive flag, checked like a RefCell: a method that
// conflicts with a call already running on the same object fails with
// RuntimeError instead of seeing half-changed fields. All access happens with
// the interpreter lock held, so a plain counter suffices.
//
// The exclusive holder's thread is recorded, so that a caller which must not
// fail may instead wait for another thread's exclusive hold to end
// (wait_to_share below); releasing an exclusive hold wakes such waiters.
#include <atomic>
#include <thread>

#include "py/errors.hpp"

namespace olvex::py {

// Threads sleeping in wait_to_share, process-wide. Written with the
// interpreter lock held, before the waiter lets it go.
inline std::atomic<int> g_borrow_waiters{0};
// Wakes every thread sleeping in wait_to_share; each rechecks its flag.
void wake_borrow_waiters() noexcept;

class BorrowFlag {
 public:
  bool can_share() const noexcept { return state_ >= 0; }
  bool can_take() const noexcept { return state_ == 0; }
  void share() noexcept { ++state_; }
  void unshare() noexcept { --state_; }
  void take() noexcept {
    state_ = -1;
    owner_ = std::this_thread::get_id();
  }
  void untake() noexcept {
    state_ = 0;
    owner_ = std::thread::id();
    if (g_borrow_waiters.load(std::memory_order_relaxed) > 0) wake_borrow_waiters();
  }
  // Whether the calling thread holds the flag exclusively.
  bool taken_here() const noexcept { return state_ < 0 && owner_ == std::this_thread::get_id(); }

 private:
  long state_ = 0;  // >0 shared borrows, -1 exclusive
  std::thread::id owner_;  // the exclusive holder's thread
};

// How a conflict is reported: on the object a method was called on it is an
// ordinary RuntimeError; on another object it is a broken invariant.
enum class OnConflict { Raise, Panic };

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& f, OnConflict how = OnConflict::Raise) : f_(f) {
    if (!f.can_share()) conflict(how, "Already mutably borrowed");
    f.share();
  }
  ~SharedBorrow() { f_.unshare(); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  [[noreturn]] static void conflict(OnConflict how, const char* msg) {
    if (how == OnConflict::Panic) panic(msg);
    raise(PyExc_RuntimeError, msg);
  }
  BorrowFlag& f_;
  friend class ExclusiveBorrow;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& f, OnConflict how = OnConflict::Raise) : f_(f) {
    if (!f.can_take()) SharedBorrow::conflict(how, "Already borrowed");
    f.take();
  }
  ~ExclusiveBorrow() { f_.untake(); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& f_;
};

// Waits until `f` can be borrowed shared, for callers that take an internal
// hold of another object and must neither fail nor crash on a short
// exclusive hold (a commit running Python code on another thread). While
// another thread holds `f` exclusively, sleeps with the interpreter lock
// released and no native lock held, running signal handlers between naps
// (a KeyboardInterrupt ends the wait); when the calling thread holds it
// itself, waiting could never end, so it raises RuntimeError "Already
// mutably borrowed" at once. Returns with the interpreter lock held and `f`
// shareable; the caller then takes its SharedBorrow without releasing the
// lock in between.
void wait_to_share(BorrowFlag& f);

}  // namespace olvex::py
