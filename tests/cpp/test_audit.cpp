#include "support/audit.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>

using namespace olvex::support;
using namespace std::string_literals;

namespace {
constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
}

// level, count, threshold, threshold_min -> verdict
using JudgeCase = std::tuple<AuditLevel, std::uint32_t, std::uint32_t, std::uint32_t, AuditVerdict>;
class Judge : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(Judge, FollowsTheLevel) {
  auto [level, count, threshold, min, expected] = GetParam();
  EXPECT_EQ(judge_failure(level, count, threshold, min), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Judge,
    ::testing::Values(JudgeCase{AuditLevel::Stop, 1, 3, 0, AuditVerdict::Stop},
                      JudgeCase{AuditLevel::Abort, 1, 3, 1, AuditVerdict::Abort},
                      JudgeCase{AuditLevel::Block, 3, 3, 0, AuditVerdict::Pass},
                      JudgeCase{AuditLevel::Block, 4, 3, 0, AuditVerdict::Block},
                      JudgeCase{AuditLevel::Block, 1, 3, 2, AuditVerdict::Pass},
                      JudgeCase{AuditLevel::Block, 2, 3, 2, AuditVerdict::Warn},
                      JudgeCase{AuditLevel::Block, 3, 3, 2, AuditVerdict::Warn},
                      JudgeCase{AuditLevel::Block, 4, 3, 2, AuditVerdict::Block},
                      JudgeCase{AuditLevel::Block, 1, 3, 1, AuditVerdict::Warn},
                      JudgeCase{AuditLevel::Block, 1, 0, 0, AuditVerdict::Block},
                      JudgeCase{AuditLevel::Block, kMax, kMax, 0, AuditVerdict::Pass},
                      JudgeCase{AuditLevel::Count, kMax, 0, 1, AuditVerdict::Pass}));

TEST(AuditCounters, FailureCountsSaturateInsteadOfWrapping) {
  AuditCounters c;
  c.set("k", kMax - 1);
  for (int i = 0; i < 3; ++i) c.set("k", next_failure_count(c.get("k")));
  EXPECT_EQ(c.get("k"), kMax);
  // A key blocked four billion times over stays blocked.
  EXPECT_EQ(judge_failure(AuditLevel::Block, c.get("k"), 3, 0), AuditVerdict::Block);
}

TEST(AuditCounters, KeysAreExactText) {
  AuditCounters c;
  c.set("a\0b"s, 2);
  c.set("a", 1);
  EXPECT_EQ(c.get("a\0b"s), 2u);
  EXPECT_EQ(c.get("a"), 1u);
  EXPECT_EQ(c.get("a\0"s), 0u);
  EXPECT_EQ(c.size(), 2u);
}

TEST(AuditTexts, ReadAsTheSystemWritesThem) {
  EXPECT_EQ(fail_entry_text(4), "Fail #4");
  EXPECT_EQ(warning_text(2, 3), "WARNING: Approaching threshold (2/3)");
  EXPECT_EQ(warn_entry_text(3, 3), "WARN: Approaching threshold (3/3)");
  EXPECT_EQ(stop_text("job"), "Audit Stop: job triggered immediate halt");
  EXPECT_EQ(abort_text("job"), "Audit Abort: job operation cancelled");
  EXPECT_EQ(block_text("job", 0), "Audit Blocked: job exceeded threshold 0");
  EXPECT_EQ(audit_entry_text({1700000000.0, "k", "m"}), "[1700000000] k: m");
  EXPECT_EQ(audit_entry_text({2.5e-7, "k", "m"}), "[0.00000025] k: m");
}

TEST(AuditRing, TotalCountsEveryAppendEvenWithoutRoom) {
  AuditRing none(0);
  for (int i = 0; i < 3; ++i) none.append({1.0, "k", "m"});
  EXPECT_EQ(none.total(), 3u);
  EXPECT_EQ(none.size(), 0u);
  EXPECT_TRUE(none.snapshot().empty());

  AuditRing two(2);
  for (int i = 0; i < 5; ++i) two.append({1.0, "k", std::to_string(i)});
  EXPECT_EQ(two.total(), 5u);
  auto snap = two.snapshot();
  ASSERT_EQ(snap.size(), 2u);
  EXPECT_EQ(snap[0].message, "3");
  EXPECT_EQ(snap[1].message, "4");
}

TEST(AuditRing, SwapInHandsBackWhatItEvicts) {
  AuditRing r(2);
  auto put = [&r](std::string m) {
    AuditEntry e{1.0, "k", std::move(m)};
    r.swap_in(e);
    return e.message;
  };
  EXPECT_EQ(put("a"), "");
  EXPECT_EQ(put("b"), "");
  EXPECT_EQ(put("c"), "a");
  EXPECT_EQ(put("d"), "b");
  AuditRing none(0);
  AuditEntry kept{1.0, "k", "kept"};
  none.swap_in(kept);
  EXPECT_EQ(kept.message, "kept");
  EXPECT_EQ(r.total(), 4u);
  EXPECT_EQ(r.snapshot().front().message, "c");
}

// The process-wide ring exists once; this is the only test that makes it.
TEST(AuditBuffer, FirstReservableCapacityWinsAndRefusalsMakeNone) {
  constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
  EXPECT_THROW(audit_buffer(kHuge), std::length_error);
  EXPECT_THROW(audit_buffer(kHuge / sizeof(AuditEntry) / 2), std::bad_alloc);
  AuditRing& first = audit_buffer(3);
  EXPECT_EQ(first.capacity(), 3u);
  AuditRing& later = audit_buffer(10);
  EXPECT_EQ(&later, &first);
  EXPECT_EQ(later.capacity(), 3u);
}
