#include "support/meta_ring.hpp"

#include <chrono>
#include <limits>
#include <new>
#include <stdexcept>


namespace olvex::support {

double wall_clock_seconds() {
  using namespace std::chrono;
  auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  if (ns < 0) return 0.0;
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

MetaRing::MetaRing(std::size_t capacity) : capacity_(capacity) {
  if (capacity == 0) return;
  if (capacity > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(MetaLogEntry)) {
    throw std::length_error("meta_capacity too large");
  }
  // The non-throwing form lets a refused reservation come back as null on
  // every allocator, instrumented ones included.
  void* p = ::operator new(capacity * sizeof(MetaLogEntry), std::align_val_t(alignof(MetaLogEntry)), std::nothrow);
  if (!p) throw std::bad_alloc();
  slots_ = static_cast<MetaLogEntry*>(p);
}

MetaRing::~MetaRing() {
  for (std::size_t i = 0; i < built_; ++i) slots_[i].~MetaLogEntry();
  if (slots_) ::operator delete(slots_, std::align_val_t(alignof(MetaLogEntry)));
}

void MetaRing::append(MetaLogEntry entry) {
  std::lock_guard lk(mu_);
  if (capacity_ == 0) return;
  // Entries are moved, never copied, so nothing here can throw: the ring
  // can never be left half-updated by a failure while locked.
  if (size_ < capacity_) {
    std::size_t pos = head_ + size_;  // head_ stays 0 until the ring is full
    if (pos == built_) {
      new (slots_ + pos) MetaLogEntry(std::move(entry));
      ++built_;
    } else {
      slots_[pos] = std::move(entry);
    }
    ++size_;
  } else {
    slots_[head_] = std::move(entry);
    head_ = (head_ + 1) % capacity_;
  }
}

std::vector<MetaLogEntry> MetaRing::snapshot() const {
  std::lock_guard lk(mu_);
  // A failed copy throws out of here and leaves the ring itself intact.
  std::vector<MetaLogEntry> out;
  out.reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) out.push_back(slots_[(head_ + i) % capacity_]);
  return out;
}

std::size_t MetaRing::size() const {
  std::lock_guard lk(mu_);
  return size_;
}

}  // namespace olvex::support
