#include "support/meta_ring.hpp"

#include <chrono>
#include <exception>

#include "support/invariant.hpp"

namespace olvex::support {

double wall_clock_seconds() {
  using namespace std::chrono;
  auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  if (ns < 0) return 0.0;
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

MetaRing::MetaRing(std::size_t capacity) : capacity_(capacity) {
  // Default-constructed entries hold no heap memory; reserving them all now
  // keeps the ring from growing or moving while it fills.
  slots_.reserve(capacity);
}

void MetaRing::check_locked() const {
  if (poisoned_) throw BrokenInvariant("PoisonError: the meta-log ring was poisoned by an earlier failure");
}

void MetaRing::append(MetaEntry entry) {
  std::lock_guard lk(mu_);
  check_locked();
  if (capacity_ == 0) return;
  // Only the entry's own strings can throw, and they are moved, never copied.
  if (size_ < capacity_) {
    std::size_t pos = (head_ + size_) % capacity_;
    if (pos == slots_.size()) {
      slots_.push_back(std::move(entry));
    } else {
      slots_[pos] = std::move(entry);
    }
    ++size_;
  } else {
    slots_[head_] = std::move(entry);
    head_ = (head_ + 1) % capacity_;
  }
}

std::vector<MetaEntry> MetaRing::snapshot() const {
  std::lock_guard lk(mu_);
  check_locked();
  std::vector<MetaEntry> out;
  out.reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) out.push_back(slots_[(head_ + i) % capacity_]);
  return out;
}

std::size_t MetaRing::size() const {
  std::lock_guard lk(mu_);
  return size_;
}

}  // namespace olvex::support
