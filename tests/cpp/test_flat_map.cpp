// FlatMap: lookups on both sides of the index threshold, insertion order,
// undoing the last insertion, clearing, swapping.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/flat_map.hpp"

namespace {

using olvex::support::FlatMap;
using olvex::support::TextHash;
using Texts = FlatMap<std::string, int, TextHash>;

class FlatMapSizes : public ::testing::TestWithParam<int> {};

TEST_P(FlatMapSizes, FindsEveryKeyAndKeepsOrder) {
  Texts m;
  const int n = GetParam();
  for (int i = 0; i < n; ++i) m.append("k" + std::to_string(n - i), i);
  ASSERT_EQ(m.size(), static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    std::string key = "k" + std::to_string(n - i);
    int* v = m.find(std::string_view(key));
    ASSERT_NE(v, nullptr) << key;
    EXPECT_EQ(*v, i);
  }
  EXPECT_EQ(m.find(std::string_view("absent")), nullptr);
  int expect = 0;
  for (const auto& [k, v] : m) EXPECT_EQ(v, expect++);
}

INSTANTIATE_TEST_SUITE_P(AroundTheThreshold, FlatMapSizes,
                         ::testing::Values(0, 1, int(Texts::kLinear), int(Texts::kLinear) + 1, 100));

TEST(FlatMap, PopBackUndoesTheLastAppendOnBothSides) {
  for (int n : {3, int(Texts::kLinear) + 3}) {
    Texts m;
    for (int i = 0; i < n; ++i) m.append(std::to_string(i), i);
    m.pop_back();
    EXPECT_EQ(m.size(), static_cast<std::size_t>(n - 1));
    EXPECT_EQ(m.find(std::string_view(std::to_string(n - 1))), nullptr);
    EXPECT_NE(m.find(std::string_view("0")), nullptr);
    m.append(std::to_string(n - 1), 42);  // the key can come back
    EXPECT_EQ(*m.find(std::string_view(std::to_string(n - 1))), 42);
  }
}

// A cleared map is empty and works as a new one on both sides of the
// threshold (a stale index would still find the old keys).
TEST(FlatMap, ClearForgetsEveryEntryAndKeepsWorking) {
  for (int n : {3, int(Texts::kLinear) + 3}) {
    Texts m;
    for (int i = 0; i < n; ++i) m.append(std::to_string(i), i);
    m.clear();
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.find(std::string_view("0")), nullptr);
    for (int i = 0; i < n; ++i) m.append("x" + std::to_string(i), -i);
    EXPECT_EQ(m.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(m.find(std::string_view("1")), nullptr);
    EXPECT_EQ(*m.find(std::string_view("x" + std::to_string(n - 1))), 1 - n);
    EXPECT_EQ(m.begin()->first, "x0");
  }
}

// Swapping exchanges the entries and the index with them.
TEST(FlatMap, SwapExchangesEntriesAndIndex) {
  Texts big, small;
  for (int i = 0; i < int(Texts::kLinear) + 5; ++i) big.append("b" + std::to_string(i), i);
  small.append("s", -1);
  big.swap(small);
  EXPECT_EQ(big.size(), 1u);
  EXPECT_EQ(*big.find(std::string_view("s")), -1);
  EXPECT_EQ(big.find(std::string_view("b3")), nullptr);
  EXPECT_EQ(*small.find(std::string_view("b12")), 12);
  EXPECT_EQ(small.find(std::string_view("s")), nullptr);
  small.append("late", 99);  // the index came along and still follows
  EXPECT_EQ(*small.find(std::string_view("late")), 99);
}

TEST(FlatMap, PointerKeys) {
  int a = 0, b = 0, c[20] = {};
  FlatMap<const int*, char> m;
  m.append(&a, 'a');
  m.append(&b, 'b');
  for (int& x : c) m.append(&x, 'c');
  EXPECT_EQ(*m.find(&a), 'a');
  EXPECT_EQ(*m.find(&b), 'b');
  EXPECT_EQ(*m.find(&c[19]), 'c');
  int other = 0;
  EXPECT_EQ(m.find(&other), nullptr);
}

}  // namespace
