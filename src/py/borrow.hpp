#pragma once
// A per-object shared/exclusive flag, checked like a RefCell: a method that
// conflicts with a call already running on the same object fails with
// RuntimeError instead of seeing half-changed fields. All access happens with
// the interpreter lock held, so a plain counter suffices.
#include "py/errors.hpp"

namespace olvex::py {

class BorrowFlag {
 public:
  bool can_share() const noexcept { return state_ >= 0; }
  bool can_take() const noexcept { return state_ == 0; }
  void share() noexcept { ++state_; }
  void unshare() noexcept { --state_; }
  void take() noexcept { state_ = -1; }
  void untake() noexcept { state_ = 0; }

 private:
  long state_ = 0;  // >0 shared borrows, -1 exclusive
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

}  // namespace olvex::py
