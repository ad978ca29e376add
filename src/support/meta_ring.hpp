#pragma once
// The meta-log ring of a State lineage: a bounded, oldest-first list of
// entries whose storage is reserved once, so the ring never grows or moves
// while it fills and an append evicts the oldest entry in constant time.
#include <cstddef>
#include <mutex>
#include <vector>

#include "support/meta_log.hpp"

namespace olvex::support {

// Seconds since the Unix epoch on the wall clock; 0.0 before the epoch.
double wall_clock_seconds();

class MetaRing {
 public:
  // Reserves room for `capacity` entries. Throws std::length_error when the
  // size cannot be represented and std::bad_alloc when it cannot be had.
  explicit MetaRing(std::size_t capacity);
  ~MetaRing();
  MetaRing(const MetaRing&) = delete;
  MetaRing& operator=(const MetaRing&) = delete;

  // Appends at the newest end, evicting the oldest entry when full; a ring
  // of capacity 0 keeps nothing.
  void append(MetaLogEntry entry);
  // Every entry, oldest first.
  std::vector<MetaLogEntry> snapshot() const;

  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t size() const;

 private:
  mutable std::mutex mu_;
  std::size_t capacity_;
  MetaLogEntry* slots_ = nullptr;  // raw storage; the first `built_` are constructed
  std::size_t built_ = 0;
  std::size_t head_ = 0;  // oldest entry
  std::size_t size_ = 0;
};

}  // namespace olvex::support
