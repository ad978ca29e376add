#include "support/meta_ring.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <stdexcept>
#include <thread>

using olvex::support::MetaLogEntry;
using olvex::support::MetaRing;

namespace {
std::vector<std::string> messages(const MetaRing& r) {
  std::vector<std::string> out;
  for (auto& e : r.snapshot()) out.push_back(e.message);
  return out;
}
MetaLogEntry entry(std::string m) { return {1.0, "k", std::move(m)}; }
}  // namespace

struct RingCase {
  std::size_t capacity;
  int appends;
  std::vector<std::string> expected;
};

class RingEviction : public ::testing::TestWithParam<RingCase> {};

TEST_P(RingEviction, KeepsTheNewestEntriesOldestFirst) {
  const auto& c = GetParam();
  MetaRing r(c.capacity);
  for (int i = 1; i <= c.appends; ++i) r.append(entry(std::to_string(i)));
  EXPECT_EQ(messages(r), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RingEviction,
                         ::testing::Values(RingCase{0, 3, {}}, RingCase{1, 3, {"3"}}, RingCase{2, 3, {"2", "3"}},
                                           RingCase{3, 3, {"1", "2", "3"}}, RingCase{5, 2, {"1", "2"}},
                                           RingCase{3, 10, {"8", "9", "10"}}));

TEST(MetaRing, SnapshotIsACopy) {
  MetaRing r(4);
  r.append(entry("a"));
  auto snap = r.snapshot();
  r.append(entry("b"));
  ASSERT_EQ(snap.size(), 1u);
  EXPECT_EQ(snap[0].message, "a");
  EXPECT_EQ(r.size(), 2u);
}

TEST(MetaRing, StorageThatCannotBeReservedIsRefused) {
  EXPECT_THROW(MetaRing(std::numeric_limits<std::size_t>::max()), std::length_error);
  EXPECT_THROW(MetaRing(std::numeric_limits<std::size_t>::max() / sizeof(MetaLogEntry) / 2), std::bad_alloc);
}

TEST(MetaRing, ConcurrentAppendsLoseNothingBelowCapacity) {
  constexpr int kThreads = 8, kEach = 400;  // 3200 entries in a ring of 4000
  MetaRing r(4000);
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([&r, t] {
      for (int i = 0; i < kEach; ++i) r.append({1.0, std::to_string(t), std::to_string(i)});
    });
  }
  for (auto& t : ts) t.join();
  // Every entry is there once, and each thread's entries keep its order.
  std::vector<int> next(kThreads, 0);
  auto snap = r.snapshot();
  ASSERT_EQ(snap.size(), static_cast<std::size_t>(kThreads * kEach));
  for (const auto& e : snap) {
    int& expected = next[static_cast<std::size_t>(std::stoi(e.key))];
    EXPECT_EQ(e.message, std::to_string(expected));
    ++expected;
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
}

TEST(MetaRing, WallClockIsSecondsSinceEpoch) {
  double now = olvex::support::wall_clock_seconds();
  EXPECT_GT(now, 1.6e9);
  EXPECT_LT(now, 1e11);
}
