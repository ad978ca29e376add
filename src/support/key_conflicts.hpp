#pragma once
// The key-level conflict test of an optimistic write: a path conflicts when
// the key-version map records a version newer than the one the write was
// based on. A path without an entry never conflicts. Paths are a top-level
// key itself, or a key, a dot and one sub-key ("order.qty").
//
// `Map` needs `const std::uint64_t* find(const std::string&) const`. The
// path is composed in a buffer of the checker's own, reused across lookups.
#include <cstdint>
#include <string>
#include <string_view>

namespace olvex::support {

template <class Map>
class KeyConflicts {
 public:
  KeyConflicts(const Map& versions, std::uint64_t expected) : versions_(versions), expected_(expected) {}

  // Whether the key itself was written after the expected version.
  bool key(std::string_view key) {
    path_.assign(key);
    return newer();
  }

  // Whether "{key}.{sub}" was written after the expected version.
  bool sub_key(std::string_view key, std::string_view sub) {
    path_.assign(key).append(1, '.').append(sub);
    return newer();
  }

 private:
  bool newer() const {
    const std::uint64_t* written = versions_.find(path_);
    return written && *written > expected_;
  }

  const Map& versions_;
  const std::uint64_t expected_;
  std::string path_;
};

}  // namespace olvex::support
