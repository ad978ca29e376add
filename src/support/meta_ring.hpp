#pragma once
// The meta-log ring of a State lineage: a bounded, oldest-first list of
// entries whose storage is reserved once, so an append never allocates for
// the ring itself and evicts the oldest entry in constant time.
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace olvex::support {

struct MetaEntry {
  double timestamp = 0.0;  // seconds since the Unix epoch
  std::string key;
  std::string message;
};

// Seconds since the Unix epoch on the wall clock; 0.0 before the epoch.
double wall_clock_seconds();

class MetaRing {
 public:
  // Reserves room for `capacity` entries up front. Throws std::bad_alloc
  // when the storage cannot be had and std::length_error when the size
  // cannot be represented.
  explicit MetaRing(std::size_t capacity);

  // Appends at the newest end, evicting the oldest entry when full; a ring
  // of capacity 0 keeps nothing.
  void append(MetaEntry entry);
  // Every entry, oldest first.
  std::vector<MetaEntry> snapshot() const;

  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t size() const;

 private:
  void check_locked() const;
  mutable std::mutex mu_;
  std::size_t capacity_;
  std::vector<MetaEntry> slots_;  // the first `size_` entries from `head_`, wrapping
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  bool poisoned_ = false;
};

}  // namespace olvex::support
