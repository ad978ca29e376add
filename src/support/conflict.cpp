#include "support/conflict.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <random>

namespace olvex::support {

namespace {

constexpr std::uint64_t kBlockedWaitMs = 50;  // any key while another holds VIP
constexpr std::uint64_t kHolderWaitMs = 1;    // the VIP holder itself
constexpr std::uint32_t kMaxShift = 10;       // the backoff stops growing here
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
// Same wording as the binding layer's own poisoned locks.
constexpr const char* kPoisonedMessage =
    "PoisonError: a lock was poisoned by an earlier failure while it was held";

std::mt19937_64& thread_generator() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  return generator;
}

// Uniform in [0.8, 1.2). The top bits give u in [0, 1); rounding can still
// carry 0.8 + 0.4u up to 1.2 itself, which the range excludes.
double jitter_factor(std::uint64_t bits) {
  const double u = static_cast<double>(bits >> 11) * 0x1p-53;
  const double x = 0.8 + 0.4 * u;
  static const double below_top = std::nextafter(1.2, 0.0);
  return std::min(x, below_top);
}

// base << min(count, 10). Saturates rather than dropping high bits: a larger
// base must never produce a shorter wait.
std::uint64_t backoff_ms(std::uint64_t base, std::uint32_t count) {
  const std::uint32_t shift = std::min(count, kMaxShift);
  if (base > (kU64Max >> shift)) return kU64Max;
  return base << shift;
}

// trunc(factor * backoff) in double precision, clamped to the u64 range
// (2^64-1 converts to exactly 2^64, and converting that back would be UB).
std::uint64_t jittered_wait_ms(double factor, std::uint64_t backoff) {
  const double wait = factor * static_cast<double>(backoff);
  if (!(wait > 0.0)) return 0;
  if (wait >= 0x1p64) return kU64Max;
  return static_cast<std::uint64_t>(wait);
}

}  // namespace

// Holds a PoisonableMutex for a scope. Refuses a poisoned mutex; poisons it if
// the scope is left by an exception, since the guarded data may then be half
// updated.
class ConflictCore::Section {
 public:
  explicit Section(PoisonableMutex& m)
      : mutex_(m), lock_(m.mutex), exceptions_(std::uncaught_exceptions()) {
    if (m.poisoned) throw BrokenInvariant(kPoisonedMessage);
  }
  ~Section() {
    if (std::uncaught_exceptions() > exceptions_) mutex_.poisoned = true;
  }
  Section(const Section&) = delete;
  Section& operator=(const Section&) = delete;

 private:
  PoisonableMutex& mutex_;
  std::unique_lock<std::mutex> lock_;
  int exceptions_;
};

ConflictCore::ConflictCore(std::uint32_t max_retries, std::uint64_t base_backoff_ms,
                           BitSource bits)
    : base_backoff_ms_(base_backoff_ms), max_retries_(max_retries), bits_(std::move(bits)) {}

std::uint64_t ConflictCore::draw_bits() const {
  return bits_ ? bits_() : thread_generator()();
}

RetryDecision ConflictCore::report_conflict(std::string_view key) {
  Section counts(counts_mutex_);
  auto it = failure_counts_.find(key);
  if (it == failure_counts_.end()) it = failure_counts_.emplace(std::string(key), 0).first;
  std::uint32_t& count = it->second;

  Section vip(vip_mutex_);
  if (vip_holder_ && *vip_holder_ != key) return {true, kBlockedWaitMs};

  if (count < max_retries_) {
    const std::uint64_t backoff = backoff_ms(base_backoff_ms_, count);
    const std::uint64_t wait = jittered_wait_ms(jitter_factor(draw_bits()), backoff);
    ++count;  // after the draw, so a failing source leaves the count as it was
    return {true, wait};
  }

  if (!vip_holder_) vip_holder_.emplace(key);
  return {true, kHolderWaitMs};
}

void ConflictCore::report_success(std::string_view key) {
  Section counts(counts_mutex_);
  if (auto it = failure_counts_.find(key); it != failure_counts_.end()) failure_counts_.erase(it);

  Section vip(vip_mutex_);
  if (vip_holder_ && *vip_holder_ == key) vip_holder_.reset();
}

std::uint32_t ConflictCore::get_failure_count(std::string_view key) const {
  Section counts(counts_mutex_);
  const auto it = failure_counts_.find(key);
  return it == failure_counts_.end() ? 0 : it->second;
}

bool ConflictCore::is_blocked(std::optional<std::string_view> requester) const {
  Section vip(vip_mutex_);
  if (!vip_holder_) return false;
  return !requester || *requester != *vip_holder_;
}

}  // namespace olvex::support
