// A few objects given back for reuse, at most N. The slots are handed out
// to move or swap from and into, so a kept object's storage changes hands
// without a copy. Not thread-safe: callers serialise (the module's callers
// hold the interpreter lock).
#pragma once

#include <cstddef>

namespace olvex::support {

template <class T, std::size_t N>
class SpareSlots {
 public:
  // The slot of the object given back last, now the caller's to take from;
  // null when none is kept.
  T* take() noexcept { return count_ > 0 ? &kept_[--count_] : nullptr; }
  // A free slot for the caller to put an object in; null when N are kept.
  T* give() noexcept { return count_ < N ? &kept_[count_++] : nullptr; }

 private:
  T kept_[N]{};
  std::size_t count_ = 0;
};

}  // namespace olvex::support
