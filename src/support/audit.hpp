#pragma once
// The audit system's rules as plain C++: failure counts per key, what a
// failure leads to at each level, the texts it logs and raises, and the one
// process-wide ring of log entries that every audit system shares.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/meta_log.hpp"
#include "support/ring.hpp"

namespace olvex::support {

enum class AuditLevel : std::uint8_t { Stop = 0, Abort = 1, Block = 2, Count = 3 };

// "Stop", "Abort", "Block", "Count".
std::string_view audit_level_name(AuditLevel level) noexcept;

struct AuditRecipe {
  AuditLevel level = AuditLevel::Block;
  std::uint32_t threshold_max = 3;
  std::uint32_t threshold_min = 0;
  bool reset_on_success = true;
};

// What one failure leads to, once it has been counted and logged.
enum class AuditVerdict { Pass, Stop, Abort, Block, Warn };

// Stop and Abort at once; Block above `threshold`, warning from
// `threshold_min` (when at least 1) up to it; Count never.
AuditVerdict judge_failure(AuditLevel level, std::uint32_t count, std::uint32_t threshold,
                           std::uint32_t threshold_min) noexcept;

// The count after one more failure. It stops at the top of its range: a
// wrap to 0 would read four billion failures as none and unblock the key.
constexpr std::uint32_t next_failure_count(std::uint32_t count) noexcept {
  return count == UINT32_MAX ? count : count + 1;
}

// Failure counts by exact key text (NULs included).
class AuditCounters {
 public:
  // 0 for a key never counted.
  std::uint32_t get(std::string_view key) const;
  // Adds the key when absent; std::bad_alloc leaves the counters unchanged.
  void set(std::string_view key, std::uint32_t count);
  std::size_t size() const noexcept { return counts_.size(); }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> counts_;
};

// The texts of the audit system; keys are written bare.
std::string fail_entry_text(std::uint32_t count);                             // "Fail #4"
std::string warning_text(std::uint32_t count, std::uint32_t threshold);       // "WARNING: Approaching ..."
std::string warn_entry_text(std::uint32_t count, std::uint32_t threshold);    // "WARN: Approaching ..."
std::string stop_text(std::string_view key);
std::string abort_text(std::string_view key);
std::string block_text(std::string_view key, std::uint32_t threshold);
inline constexpr std::string_view kSuccessEntryText = "Success";

// One logged event: the same three fields as a meta-log entry.
using AuditEntry = MetaLogEntry;
using AuditRing = BoundedRing<AuditEntry>;

// "[1700000000.25] key: message", the timestamp in plain decimal.
std::string audit_entry_text(const AuditEntry& entry);

// The process-wide ring. The first call makes it with `capacity` (later
// calls ignore theirs) and it is never freed. A capacity that cannot be
// reserved throws std::length_error or std::bad_alloc and makes no ring, so
// a later call tries again.
AuditRing& audit_buffer(std::size_t capacity);

}  // namespace olvex::support
