#include "support/audit.hpp"

#include <fmt/format.h>

#include <atomic>
#include <mutex>

#include "support/float_text.hpp"

namespace olvex::support {

std::string_view audit_level_name(AuditLevel level) noexcept {
  switch (level) {
    case AuditLevel::Stop:
      return "Stop";
    case AuditLevel::Abort:
      return "Abort";
    case AuditLevel::Block:
      return "Block";
    case AuditLevel::Count:
      break;
  }
  return "Count";
}

AuditVerdict judge_failure(AuditLevel level, std::uint32_t count, std::uint32_t threshold,
                           std::uint32_t threshold_min) noexcept {
  switch (level) {
    case AuditLevel::Stop:
      return AuditVerdict::Stop;
    case AuditLevel::Abort:
      return AuditVerdict::Abort;
    case AuditLevel::Block:
      if (count > threshold) return AuditVerdict::Block;
      if (threshold_min >= 1 && count >= threshold_min) return AuditVerdict::Warn;
      return AuditVerdict::Pass;
    case AuditLevel::Count:
      break;
  }
  return AuditVerdict::Pass;
}

std::uint32_t AuditCounters::get(std::string_view key) const {
  auto it = counts_.find(key);
  return it == counts_.end() ? 0 : it->second;
}

void AuditCounters::set(std::string_view key, std::uint32_t count) {
  auto it = counts_.find(key);
  if (it != counts_.end()) {
    it->second = count;
  } else {
    counts_.emplace(std::string(key), count);
  }
}

std::string fail_entry_text(std::uint32_t count) { return fmt::format("Fail #{}", count); }

std::string warning_text(std::uint32_t count, std::uint32_t threshold) {
  return fmt::format("WARNING: Approaching threshold ({}/{})", count, threshold);
}

std::string warn_entry_text(std::uint32_t count, std::uint32_t threshold) {
  return fmt::format("WARN: Approaching threshold ({}/{})", count, threshold);
}

std::string stop_text(std::string_view key) { return fmt::format("Audit Stop: {} triggered immediate halt", key); }

std::string abort_text(std::string_view key) { return fmt::format("Audit Abort: {} operation cancelled", key); }

std::string block_text(std::string_view key, std::uint32_t threshold) {
  return fmt::format("Audit Blocked: {} exceeded threshold {}", key, threshold);
}

std::string audit_entry_text(const AuditEntry& entry) {
  return fmt::format("[{}] {}: {}", plain_decimal(entry.timestamp), entry.key, entry.message);
}

AuditRing& audit_buffer(std::size_t capacity) {
  static std::atomic<AuditRing*> made{nullptr};
  static std::mutex making;
  if (AuditRing* r = made.load(std::memory_order_acquire)) return *r;
  std::lock_guard lk(making);
  if (AuditRing* r = made.load(std::memory_order_relaxed)) return *r;
  auto* r = new AuditRing(capacity);  // never freed: it lives as long as the process
  made.store(r, std::memory_order_release);
  return *r;
}

}  // namespace olvex::support
