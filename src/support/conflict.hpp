#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/invariant.hpp"

namespace olvex::support {

// The answer to "retry or not, and after how long". The manager answers
// `should_retry` true in every decision it makes.
struct RetryDecision {
  bool should_retry = true;
  std::uint64_t wait_ms = 0;
};

// Per-key conflict counts, exponential backoff with jitter, and the exclusive
// (VIP) holder. It only answers; it never sleeps and never retries.
//
// Thread-safe. Lock order: failure counts before the VIP holder, released in
// reverse. If an exception unwinds through a section holding either lock,
// that lock is poisoned and every later call that needs it throws
// BrokenInvariant.
class ConflictCore {
 public:
  // Returns 64 random bits per call. Empty means the calling thread's own
  // generator; tests inject a fixed source to pin the jitter factor.
  using BitSource = std::function<std::uint64_t()>;

  explicit ConflictCore(std::uint32_t max_retries = 5, std::uint64_t base_backoff_ms = 2,
                        BitSource bits = {});

  ConflictCore(const ConflictCore&) = delete;
  ConflictCore& operator=(const ConflictCore&) = delete;

  RetryDecision report_conflict(std::string_view key);
  void report_success(std::string_view key);
  // 0 when the key has no entry.
  std::uint32_t get_failure_count(std::string_view key) const;
  // True when someone holds VIP and `requester` is absent or not the holder.
  bool is_blocked(std::optional<std::string_view> requester = std::nullopt) const;

 private:
  struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };

  // A mutex with a poison flag, set when a locked section unwinds.
  struct PoisonableMutex {
    std::mutex mutex;
    bool poisoned = false;  // guarded by `mutex`
  };
  class Section;

  std::uint64_t draw_bits() const;

  const std::uint64_t base_backoff_ms_;
  const std::uint32_t max_retries_;
  const BitSource bits_;

  mutable PoisonableMutex counts_mutex_;
  std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> failure_counts_;

  mutable PoisonableMutex vip_mutex_;
  std::optional<std::string> vip_holder_;
};

}  // namespace olvex::support
