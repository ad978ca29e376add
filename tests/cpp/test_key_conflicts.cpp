#include "support/key_conflicts.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "support/hamt.hpp"

namespace {

using Versions = olvex::support::PersistentMap<std::string, std::uint64_t>;
using Checker = olvex::support::KeyConflicts<Versions>;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Versions sample() {
  Versions v;
  v.insert_or_assign("a", 1);
  v.insert_or_assign("a.x", 1);
  v.insert_or_assign("b", 5);
  v.insert_or_assign("top", kMax);
  v.insert_or_assign("top.s", kMax);
  v.insert_or_assign("", 3);
  return v;
}

struct Row {
  const char* key;
  const char* sub;  // nullptr: the key itself
  std::uint64_t expected;
  bool conflict;
};

class Lookup : public ::testing::TestWithParam<Row> {};

TEST_P(Lookup, NewerEntryConflicts) {
  const Row& r = GetParam();
  Versions v = sample();
  Checker check(v, r.expected);
  EXPECT_EQ(r.sub ? check.sub_key(r.key, r.sub) : check.key(r.key), r.conflict);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Lookup,
    ::testing::Values(Row{"a", nullptr, 0, true}, Row{"a", nullptr, 1, false}, Row{"a", "x", 0, true},
                      Row{"a", "x", 1, false}, Row{"a", "y", 0, false},  // no entry
                      Row{"b", nullptr, 4, true}, Row{"b", nullptr, 6, false},
                      Row{"a.x", nullptr, 0, true},  // a dotted key meets the sub-key path
                      Row{"top", nullptr, kMax - 1, true}, Row{"top", nullptr, kMax, false},
                      Row{"top", "s", kMax - 1, true}, Row{"", nullptr, 2, true}, Row{"", "x", 0, false},
                      Row{"missing", nullptr, 0, false}));

TEST(KeyConflicts, BufferIsReusedAcrossLookups) {
  Versions v = sample();
  Checker check(v, 0);
  EXPECT_FALSE(check.sub_key("a", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"));
  EXPECT_TRUE(check.key("a"));  // a shorter path after a long one
  EXPECT_TRUE(check.sub_key("a", "x"));
  EXPECT_FALSE(check.key("c"));
}

TEST(KeyConflicts, EmptyMapNeverConflicts) {
  Versions v;
  Checker check(v, 0);
  EXPECT_FALSE(check.key("a"));
  EXPECT_FALSE(check.sub_key("a", "x"));
}

}  // namespace
