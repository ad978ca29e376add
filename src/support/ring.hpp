#pragma once
// A bounded, oldest-first log whose storage is reserved once: it never grows
// or moves while it fills, and an append evicts the oldest entry in
// constant time. Its own mutex is held only to append or to copy.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace olvex::support {

template <class T>
class BoundedRing {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_swappable_v<T> &&
                    std::is_nothrow_default_constructible_v<T> && std::is_nothrow_move_assignable_v<T>,
                "appends must not be able to fail once the lock is held");

 public:
  // Reserves room for `capacity` entries. Throws std::length_error when the
  // size cannot be represented and std::bad_alloc when it cannot be had.
  explicit BoundedRing(std::size_t capacity) : capacity_(capacity) {
    if (capacity == 0) return;
    if (capacity > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T)) {
      throw std::length_error("ring capacity too large");
    }
    // The non-throwing form lets a refused reservation come back as null on
    // every allocator, instrumented ones included.
    void* p = ::operator new(capacity * sizeof(T), std::align_val_t(alignof(T)), std::nothrow);
    if (!p) throw std::bad_alloc();
    slots_ = static_cast<T*>(p);
  }

  ~BoundedRing() {
    for (std::size_t i = 0; i < built_; ++i) slots_[i].~T();
    if (slots_) ::operator delete(slots_, std::align_val_t(alignof(T)));
  }
  BoundedRing(const BoundedRing&) = delete;
  BoundedRing& operator=(const BoundedRing&) = delete;

  // Appends at the newest end, evicting the oldest entry when full; a ring
  // of capacity 0 keeps nothing but still counts the append. Entries are
  // moved, never copied, so nothing under the lock can fail; an evicted
  // entry is destroyed after the lock is let go.
  void append(T entry) noexcept { swap_in(entry); }

  // As append, taking the entry from `entry` and leaving there the one it
  // evicted (a default one when nothing was evicted; the entry itself when
  // the capacity is 0): a caller that refills it reuses its storage.
  void swap_in(T& entry) noexcept {
    using std::swap;
    std::lock_guard lk(mu_);
    ++total_;
    if (capacity_ == 0) return;
    if (size_ < capacity_) {
      std::size_t pos = head_ + size_++;  // head_ stays 0 until the ring is full
      if (pos == built_) {
        new (slots_ + pos) T(std::move(entry));
        ++built_;
        entry = T();
      } else {
        swap(slots_[pos], entry);
      }
      return;
    }
    swap(slots_[head_], entry);
    head_ = (head_ + 1) % capacity_;
  }

  // Every entry, oldest first. A failed copy throws out of here and leaves
  // the ring itself intact.
  std::vector<T> snapshot() const {
    std::lock_guard lk(mu_);
    std::vector<T> out;
    out.reserve(size_);
    for (std::size_t i = 0; i < size_; ++i) out.push_back(slots_[(head_ + i) % capacity_]);
    return out;
  }

  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t size() const {
    std::lock_guard lk(mu_);
    return size_;
  }
  // Appends ever made, evicted and capacity-0 ones included.
  std::uint64_t total() const {
    std::lock_guard lk(mu_);
    return total_;
  }

 private:
  mutable std::mutex mu_;
  std::size_t capacity_;
  T* slots_ = nullptr;  // raw storage; the first `built_` are constructed
  std::size_t built_ = 0;
  std::size_t head_ = 0;  // oldest entry once full
  std::size_t size_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace olvex::support
