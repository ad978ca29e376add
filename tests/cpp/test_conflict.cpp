#include "support/conflict.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using olvex::support::BrokenInvariant;
using olvex::support::ConflictCore;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// Fixed bit sources pinning the jitter factor to the bottom (0.8) or the top
// (just below 1.2) of its range.
ConflictCore::BitSource low_bits() {
  return [] { return std::uint64_t{0}; };
}
ConflictCore::BitSource high_bits() {
  return [] { return kU64Max; };
}

// ---------------------------------------------------------------------------
// Jitter ranges with the default settings: the n-th backoff answer.

struct JitterRow {
  int count;
  std::uint64_t lo;
  std::uint64_t hi;
};

class JitterRange : public ::testing::TestWithParam<JitterRow> {};

TEST_P(JitterRange, RandomDrawsStayInRangeAndReachBothEnds) {
  const JitterRow row = GetParam();
  ConflictCore core;
  bool saw_lo = false;
  bool saw_hi = false;
  for (int trial = 0; trial < 4000; ++trial) {
    core.report_success("k");
    for (int i = 1; i < row.count; ++i) core.report_conflict("k");
    const auto d = core.report_conflict("k");
    ASSERT_TRUE(d.should_retry);
    ASSERT_GE(d.wait_ms, row.lo);
    ASSERT_LE(d.wait_ms, row.hi);
    saw_lo |= d.wait_ms == row.lo;
    saw_hi |= d.wait_ms == row.hi;
  }
  EXPECT_TRUE(saw_lo);
  EXPECT_TRUE(saw_hi);
}

TEST_P(JitterRange, ExtremeFactorsGiveExactlyTheEnds) {
  const JitterRow row = GetParam();
  ConflictCore low(5, 2, low_bits());
  ConflictCore high(5, 2, high_bits());
  for (int i = 1; i < row.count; ++i) {
    low.report_conflict("k");
    high.report_conflict("k");
  }
  EXPECT_EQ(low.report_conflict("k").wait_ms, row.lo);
  EXPECT_EQ(high.report_conflict("k").wait_ms, row.hi);
}

INSTANTIATE_TEST_SUITE_P(Defaults, JitterRange,
                         ::testing::Values(JitterRow{1, 1, 2}, JitterRow{2, 3, 4},
                                           JitterRow{3, 6, 9}, JitterRow{4, 12, 19},
                                           JitterRow{5, 25, 38}));

// ---------------------------------------------------------------------------
// Exponent cap and saturation: no shift past 10 bits, no lost high bits, no
// out-of-range float conversion.

struct BackoffRow {
  const char* name;
  std::uint64_t base;
  int prior_reports;
  bool high_factor;
  std::uint64_t expected;
};

class Backoff : public ::testing::TestWithParam<BackoffRow> {};

TEST_P(Backoff, WaitIsClampedNeverWrapped) {
  const BackoffRow row = GetParam();
  ConflictCore core(100, row.base, row.high_factor ? high_bits() : low_bits());
  for (int i = 0; i < row.prior_reports; ++i) core.report_conflict("k");
  const auto d = core.report_conflict("k");
  EXPECT_TRUE(d.should_retry);
  EXPECT_EQ(d.wait_ms, row.expected);
  EXPECT_EQ(core.get_failure_count("k"), static_cast<std::uint32_t>(row.prior_reports + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Backoff,
    ::testing::Values(
        BackoffRow{"ExponentCapReached", 1, 10, false, 819},   // 0.8 * 1024
        BackoffRow{"ExponentStaysCapped", 1, 25, true, 1228},  // <1.2 * 1024
        BackoffRow{"ZeroBase", 0, 3, true, 0},
        // The factor stays below 1.2: 1.2 * 5 would truncate to 6.
        BackoffRow{"FactorExcludesTop", 5, 0, true, 5},
        BackoffRow{"ProductAboveRange", kU64Max, 0, true, kU64Max},
        // 2^60 << 4 is 2^64: wrapping would answer 0.
        BackoffRow{"TopBitShiftedOut", std::uint64_t{1} << 60, 4, true, kU64Max},
        // 3*2^62 << 1 wraps to 2^63; saturated it is 2^64-1, times 0.8 in
        // double precision (where 2^64-1 is 2^64).
        BackoffRow{"HighBitsLost", std::uint64_t{3} << 62, 1, false,
                   static_cast<std::uint64_t>(0.8 * static_cast<double>(kU64Max))}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// VIP rule.

TEST(ConflictVip, KeyBecomesHolderAndBlocksOthersUntilItsSuccess) {
  ConflictCore core(5, 2, low_bits());
  EXPECT_EQ(core.get_failure_count("a"), 0u);
  EXPECT_FALSE(core.is_blocked());
  EXPECT_FALSE(core.is_blocked("a"));

  for (int i = 0; i < 5; ++i) core.report_conflict("a");
  EXPECT_EQ(core.get_failure_count("a"), 5u);
  EXPECT_FALSE(core.is_blocked());

  auto d = core.report_conflict("a");
  EXPECT_TRUE(d.should_retry);
  EXPECT_EQ(d.wait_ms, 1u);
  EXPECT_EQ(core.get_failure_count("a"), 5u);
  EXPECT_TRUE(core.is_blocked());
  EXPECT_TRUE(core.is_blocked("b"));
  EXPECT_TRUE(core.is_blocked("A"));  // exact, case-sensitive text
  EXPECT_FALSE(core.is_blocked("a"));

  for (int i = 0; i < 3; ++i) {
    d = core.report_conflict("b");
    EXPECT_TRUE(d.should_retry);
    EXPECT_EQ(d.wait_ms, 50u);
  }
  EXPECT_EQ(core.get_failure_count("b"), 0u);
  EXPECT_EQ(core.report_conflict("a").wait_ms, 1u);  // the holder keeps 1 ms

  core.report_success("b");
  EXPECT_TRUE(core.is_blocked("b"));

  core.report_success("a");
  EXPECT_FALSE(core.is_blocked());
  EXPECT_EQ(core.get_failure_count("a"), 0u);
  EXPECT_EQ(core.report_conflict("a").wait_ms, 1u);  // backoff starts over: 0.8 * 2
  EXPECT_EQ(core.get_failure_count("a"), 1u);
}

TEST(ConflictVip, WaitingKeyTakesOverAfterHolderSucceeds) {
  ConflictCore core(2, 2, low_bits());
  core.report_conflict("b");
  core.report_conflict("b");  // b at max_retries, no holder yet
  core.report_conflict("a");
  core.report_conflict("a");
  EXPECT_EQ(core.report_conflict("a").wait_ms, 1u);  // a takes VIP first

  EXPECT_EQ(core.report_conflict("b").wait_ms, 50u);
  EXPECT_EQ(core.get_failure_count("b"), 2u);
  EXPECT_FALSE(core.is_blocked("a"));

  core.report_success("a");
  EXPECT_EQ(core.report_conflict("b").wait_ms, 1u);
  EXPECT_TRUE(core.is_blocked("a"));
  EXPECT_FALSE(core.is_blocked("b"));
  EXPECT_EQ(core.report_conflict("a").wait_ms, 50u);
}

TEST(ConflictVip, ZeroRetriesMakesFirstReporterHolder) {
  ConflictCore core(0, 2);
  const auto d = core.report_conflict("a");
  EXPECT_TRUE(d.should_retry);
  EXPECT_EQ(d.wait_ms, 1u);
  EXPECT_EQ(core.get_failure_count("a"), 0u);
  EXPECT_TRUE(core.is_blocked());
  EXPECT_EQ(core.report_conflict("b").wait_ms, 50u);
}

// ---------------------------------------------------------------------------
// Concurrency: counts are exact and both lock paths interleave without
// deadlock.

TEST(ConflictThreads, CountsExactUnderConcurrentReports) {
  constexpr int kThreads = 8;
  constexpr int kReports = 2000;
  ConflictCore core(kThreads * kReports, 0);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string own = "own-" + std::to_string(t);
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      for (int i = 0; i < kReports; ++i) {
        EXPECT_EQ(core.report_conflict("shared").wait_ms, 0u);
        core.report_conflict(own);
        core.report_success("other");  // takes both locks too
        EXPECT_FALSE(core.is_blocked(own));
        (void)core.get_failure_count("shared");
      }
    });
  }
  for (auto& th : threads) th.join();

  EXPECT_EQ(core.get_failure_count("shared"), static_cast<std::uint32_t>(kThreads * kReports));
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(core.get_failure_count("own-" + std::to_string(t)),
              static_cast<std::uint32_t>(kReports));
  EXPECT_FALSE(core.is_blocked());
  EXPECT_EQ(core.report_conflict("shared").wait_ms, 1u);  // now at max_retries
  EXPECT_TRUE(core.is_blocked());
}

// ---------------------------------------------------------------------------
// Poisoning: a failure inside the locked section breaks every later call.

static_assert(std::is_base_of_v<std::runtime_error, BrokenInvariant>);

struct SourceFailure : std::exception {};

TEST(ConflictPoison, FailureWhileLockedPoisonsBothLocks) {
  int calls = 0;
  ConflictCore core(5, 2, [&calls]() -> std::uint64_t {
    if (++calls == 2) throw SourceFailure{};
    return 0;
  });
  EXPECT_EQ(core.report_conflict("a").wait_ms, 1u);
  EXPECT_THROW(core.report_conflict("a"), SourceFailure);

  EXPECT_THROW(core.get_failure_count("a"), BrokenInvariant);  // counts lock
  EXPECT_THROW(core.is_blocked(), BrokenInvariant);            // VIP lock
  EXPECT_THROW(core.is_blocked("a"), BrokenInvariant);
  EXPECT_THROW(core.report_conflict("b"), BrokenInvariant);
  EXPECT_THROW(core.report_success("a"), BrokenInvariant);
  EXPECT_THROW(core.get_failure_count("a"), BrokenInvariant);  // stays broken
}

TEST(ConflictPoison, CallDuringUnwindingDoesNotPoison) {
  // A call made from a destructor while some other exception unwinds leaves
  // its own sections normally and must not poison them.
  ConflictCore core(5, 2, low_bits());
  struct ReportOnUnwind {
    ConflictCore& core;
    ~ReportOnUnwind() { core.report_conflict("a"); }
  };
  try {
    ReportOnUnwind reporter{core};
    throw SourceFailure{};
  } catch (const SourceFailure&) {
  }
  EXPECT_EQ(core.get_failure_count("a"), 1u);
  EXPECT_FALSE(core.is_blocked());
}

}  // namespace
