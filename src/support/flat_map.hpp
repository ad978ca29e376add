// An insertion-ordered map for records that are usually small: entries sit
// in one vector, found by a linear scan while there are few of them and by
// a hash index (built once the map grows past kLinear) after that. So a
// small map costs one allocation, a large one stays O(1) per lookup, and
// iteration follows insertion order. Entries are never removed, except the
// last one appended (to undo an insertion) and all of them at once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace olvex::support {

template <class K, class V, class Hash = std::hash<K>, class Eq = std::equal_to<>>
class FlatMap {
 public:
  static constexpr std::size_t kLinear = 8;
  using Entry = std::pair<K, V>;

  // The value under `key`, or null. `Q` is K or a type Hash and Eq take
  // alongside it (a string_view for string keys).
  template <class Q>
  V* find(const Q& key) {
    if (!index_) {
      for (Entry& e : entries_) {
        if (Eq{}(e.first, key)) return &e.second;
      }
      return nullptr;
    }
    auto it = index_->find(key);
    return it == index_->end() ? nullptr : &entries_[it->second].second;
  }

  // Adds an entry at the end; `key` must be absent. When an allocation
  // fails, nothing has changed (std::bad_alloc propagates).
  V& append(K key, V value) {
    entries_.emplace_back(std::move(key), std::move(value));
    try {
      if (index_) {
        index_->emplace(entries_.back().first, entries_.size() - 1);
      } else if (entries_.size() > kLinear) {
        auto built = std::make_unique<Index>();
        for (std::size_t i = 0; i < entries_.size(); ++i) built->emplace(entries_[i].first, i);
        index_ = std::move(built);
      }
    } catch (...) {
      entries_.pop_back();
      throw;
    }
    return entries_.back().second;
  }

  // Undoes the last append.
  void pop_back() {
    if (index_) index_->erase(entries_.back().first);
    entries_.pop_back();
  }

  // Removes every entry; the entries' storage stays for reuse, the index
  // goes.
  void clear() noexcept {
    entries_.clear();
    index_.reset();
  }

  void swap(FlatMap& other) noexcept {
    entries_.swap(other.entries_);
    index_.swap(other.index_);
  }

  void reserve(std::size_t n) { entries_.reserve(n); }
  std::size_t capacity() const noexcept { return entries_.capacity(); }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  auto begin() noexcept { return entries_.begin(); }
  auto end() noexcept { return entries_.end(); }
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }

 private:
  using Index = std::unordered_map<K, std::size_t, Hash, Eq>;
  std::vector<Entry> entries_;
  std::unique_ptr<Index> index_;  // small maps have none
};

// Hash and equality for std::string keys looked up by string_view.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

}  // namespace olvex::support
