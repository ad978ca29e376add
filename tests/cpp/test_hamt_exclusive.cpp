// PersistentMap::for_each_exclusive: what a map reports as its own must
// never count a stored entry once per map that shares it (a cycle collector
// fed by it would free objects still in use), and a map that shares nothing
// must report every entry.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/hamt.hpp"

namespace {

using olvex::support::PersistentMap;

enum class Collide { None, AllSame, LowBitsOnly };

struct ShapedHash {
  Collide mode = Collide::None;
  std::size_t operator()(const std::string& s) const {
    const std::size_t h = std::hash<std::string>{}(s);
    switch (mode) {
      case Collide::None: return h;
      case Collide::AllSame: return 7;  // one bucket at the deepest level
      case Collide::LowBitsOnly: return h & 0x3FF;
    }
    return h;
  }
};

using Value = std::shared_ptr<int>;
using Map = PersistentMap<std::string, Value, ShapedHash>;

// Visits per stored object, over the given maps.
std::map<const int*, long> exclusive_visits(const std::vector<Map>& maps) {
  std::map<const int*, long> seen;
  for (const Map& m : maps) {
    m.for_each_exclusive([&](const Map::value_type& e) {
      ++seen[e.second.get()];
      return 0;
    });
  }
  return seen;
}

class Exclusive : public testing::TestWithParam<Collide> {};

// Random copies, inserts, overwrites and drops. Each object is held once
// outside the maps, so a map entry holding it accounts for exactly one of
// the remaining uses: visits may never exceed them.
TEST_P(Exclusive, NeverCountsASharedEntryTwice) {
  const ShapedHash hash{GetParam()};
  std::mt19937_64 rng(99);
  std::vector<Value> objects;
  for (int i = 0; i < 400; ++i) objects.push_back(std::make_shared<int>(i));
  std::vector<Map> maps{Map(hash)};
  for (int step = 0; step < 3000; ++step) {
    Map& m = maps[rng() % maps.size()];
    switch (rng() % 8) {
      case 0:
        if (maps.size() < 12) maps.push_back(m);
        break;
      case 1:
        if (maps.size() > 1) maps.erase(maps.begin() + static_cast<long>(rng() % maps.size()));
        break;
      default:
        m.insert_or_assign("k" + std::to_string(rng() % 300), objects[rng() % objects.size()]);
    }
    if (step % 100 == 0) {
      for (const auto& [obj, n] : exclusive_visits(maps)) {
        long uses = 0;
        for (const Value& v : objects) {
          if (v.get() == obj) uses = v.use_count() - 1;
        }
        ASSERT_LE(n, uses) << "step " << step;
      }
    }
  }
  // Once a map is the only one left, it owns every entry.
  maps.erase(maps.begin() + 1, maps.end());
  long total = 0;
  for (const auto& [obj, n] : exclusive_visits(maps)) total += n;
  EXPECT_EQ(static_cast<std::size_t>(total), maps[0].size());
}

INSTANTIATE_TEST_SUITE_P(Hashes, Exclusive,
                         testing::Values(Collide::None, Collide::AllSame, Collide::LowBitsOnly));

// The same for every node count: the atomic one, the serial one that maps
// under one outside lock use, and the serial one whose freed nodes are kept.
template <class M>
class ExclusiveByCount : public testing::Test {};
using Counts = testing::Types<Map,
                              PersistentMap<std::string, Value, std::hash<std::string>, std::equal_to<std::string>,
                                            olvex::support::SerialCount>,
                              PersistentMap<std::string, Value, std::hash<std::string>, std::equal_to<std::string>,
                                            olvex::support::ProcessSerialCount>>;
TYPED_TEST_SUITE(ExclusiveByCount, Counts);

TYPED_TEST(ExclusiveByCount, CopyOwnsOnlyItsRebuiltPath) {
  using M = TypeParam;
  M base;
  for (int i = 0; i < 5000; ++i) base.insert_or_assign("key" + std::to_string(i), std::make_shared<int>(i));
  M child = base;
  auto count = [](const M& m) {
    long n = 0;
    m.for_each_exclusive([&](const typename M::value_type&) {
      ++n;
      return 0;
    });
    return n;
  };
  EXPECT_EQ(count(base), 0);
  EXPECT_EQ(count(child), 0);
  child.insert_or_assign("new", std::make_shared<int>(-1));
  const long child_own = count(child), base_own = count(base);
  EXPECT_GE(child_own, 1);
  EXPECT_LT(child_own, 200);  // the path to "new", not the whole map
  EXPECT_LT(base_own, 200);
  base = M();
  EXPECT_EQ(count(child), 5001);
}

TEST(ExclusiveWalk, StopsAtFirstNonZeroResult) {
  Map m;
  for (int i = 0; i < 100; ++i) m.insert_or_assign(std::to_string(i), std::make_shared<int>(i));
  int calls = 0;
  const int r = m.for_each_exclusive([&](const Map::value_type&) { return ++calls == 3 ? 42 : 0; });
  EXPECT_EQ(r, 42);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(Map().for_each_exclusive([](const Map::value_type&) { return 1; }), 0);
}

}  // namespace
