// The write time rule: whole milliseconds, truncated, strictly greater fails.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

#include "support/write_time.hpp"

namespace {

using olvex::support::check_write_time;
using std::chrono::nanoseconds;

struct Case {
  std::int64_t elapsed_ns;
  std::uint64_t limit_ms;
  std::uint64_t elapsed_ms;
  bool exceeded;
};

class WriteTimeRule : public ::testing::TestWithParam<Case> {};

TEST_P(WriteTimeRule, Table) {
  const Case& c = GetParam();
  auto got = check_write_time(nanoseconds(c.elapsed_ns), c.limit_ms);
  EXPECT_EQ(got.elapsed_ms, c.elapsed_ms);
  EXPECT_EQ(got.exceeded, c.exceeded);
}

constexpr auto kMaxLimit = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteTimeRule,
    ::testing::Values(
        // Just under one millisecond is 0 ms: within a limit of 0.
        Case{999'999, 0, 0, false},
        // One millisecond exceeds a limit of 0.
        Case{1'000'000, 0, 1, true},
        // Equal to the limit commits; the next whole millisecond fails.
        Case{5'000'000'000, 5000, 5000, false}, Case{5'000'999'999, 5000, 5000, false},
        Case{5'001'000'000, 5000, 5001, true},
        // Seconds and the truncated sub-second part together.
        Case{2'345'678'901, 2000, 2345, true},
        // No span at all, and a clock that seemed to go back.
        Case{0, 0, 0, false}, Case{-5'000'000, 0, 0, false},
        // The largest limit is never exceeded.
        Case{std::numeric_limits<std::int64_t>::max(), kMaxLimit, 9'223'372'036'854, false}));

}  // namespace
