#include "support/hamt.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <cstdint>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using olvex::support::PersistentMap;

// Counts live objects and detects double destruction; copies can be made to
// throw after a countdown.
struct Counted {
  static inline long live = 0;
  static inline long copies = 0;
  static inline long moves = 0;
  static inline long throw_in = -1;  // copies left before one throws; -1: never
  static constexpr std::uint32_t kAlive = 0xA11CE5ED, kDead = 0xDEADDEAD;

  std::uint64_t v;
  std::uint32_t magic = kAlive;

  explicit Counted(std::uint64_t x) : v(x) { ++live; }
  Counted(const Counted& o) : v(o.v) {
    EXPECT_EQ(o.magic, kAlive);
    if (throw_in == 0) throw std::runtime_error("copy failed");
    if (throw_in > 0) --throw_in;
    ++copies;
    ++live;
  }
  Counted(Counted&& o) noexcept : v(o.v) {
    EXPECT_EQ(o.magic, kAlive);
    ++moves;
    ++live;
  }
  Counted& operator=(const Counted&) = default;
  Counted& operator=(Counted&&) noexcept = default;
  ~Counted() {
    EXPECT_EQ(magic, kAlive) << "destroyed twice";
    magic = kDead;
    --live;
  }
};

// Long enough to live on the heap, so leaked or doubly freed keys show up
// under the sanitizers.
std::string key_of(std::uint64_t n) { return "a-key-long-enough-for-heap-" + std::to_string(n); }

enum class Collide { None, AllSame, FourBuckets, TopBitsOnly, LowBitsOnly };

// Shapes the hash to force full collisions (buckets), long single-child
// chains and the last, 4-bit level of a 64-bit hash.
struct TestHash {
  Collide mode = Collide::None;
  std::size_t operator()(const std::string& s) const {
    const std::size_t h = std::hash<std::string>{}(s);
    switch (mode) {
      case Collide::None: return h;
      case Collide::AllSame: return 42;
      case Collide::FourBuckets: return (h % 4) * 0x9E3779B97F4A7C15ull;
      case Collide::TopBitsOnly: return ((h & 0xF) << 60) | 0x0123456789ABCDEull;
      case Collide::LowBitsOnly: return h & 0x3FF;
    }
    return h;
  }
};

using Map = PersistentMap<std::string, Counted, TestHash>;
static_assert(std::forward_iterator<Map::const_iterator>);
using Ref = std::unordered_map<std::string, std::uint64_t>;

// The documented order: hashes compared five bits at a time from the low end.
bool digit_less(std::size_t a, std::size_t b) {
  for (unsigned shift = 0; shift < 64; shift += 5) {
    const std::size_t da = (a >> shift) & 31, db = (b >> shift) & 31;
    if (da != db) return da < db;
  }
  return false;
}

template <class M>
void expect_same(const M& m, const Ref& ref, const TestHash& hash) {
  ASSERT_EQ(m.size(), ref.size());
  ASSERT_EQ(m.empty(), ref.empty());
  std::size_t n = 0;
  std::set<std::string> seen;
  const std::string* prev = nullptr;
  for (const auto& [k, v] : m) {
    ++n;
    auto it = ref.find(k);
    ASSERT_NE(it, ref.end()) << k;
    ASSERT_EQ(v.v, it->second) << k;
    ASSERT_TRUE(seen.insert(k).second) << "visited twice: " << k;
    if (prev) {
      ASSERT_FALSE(digit_less(hash(k), hash(*prev))) << *prev << " before " << k;
    }
    prev = &k;
  }
  ASSERT_EQ(n, ref.size());
  for (const auto& [k, v] : ref) {
    const Counted* found = m.find(k);
    ASSERT_NE(found, nullptr) << k;
    ASSERT_EQ(found->v, v);
  }
}

struct Shape {
  const char* name;
  Collide mode;
  unsigned keys;  // distinct keys drawn from
  unsigned ops;
};

class MapByHash : public testing::TestWithParam<Shape> {
 protected:
  void TearDown() override {
    Counted::throw_in = -1;
    EXPECT_EQ(Counted::live, 0) << "values leaked or destroyed twice";
  }
};

// Random inserts, overwrites, copies, `set`s and drops over a family of
// diverging versions, each checked against its own unordered_map. Every
// value must be destroyed exactly once when the versions are gone.
TEST_P(MapByHash, MatchesUnorderedMapAcrossDivergingCopies) {
  const Shape shape = GetParam();
  const TestHash hash{shape.mode};
  std::mt19937_64 rng(0x5eed + static_cast<unsigned>(shape.mode));
  {
    std::vector<std::pair<Map, Ref>> versions;
    versions.emplace_back(Map(hash), Ref());
    auto pick = [&] { return rng() % versions.size(); };
    auto key = [&] { return key_of(rng() % shape.keys); };

    for (unsigned op = 0; op < shape.ops; ++op) {
      const unsigned r = rng() % 100;
      auto& [m, ref] = versions[pick()];
      if (r < 55) {
        const std::string k = key();
        const std::uint64_t v = rng();
        const bool fresh = ref.find(k) == ref.end();
        ASSERT_EQ(m.insert_or_assign(k, Counted(v)), fresh);
        ref[k] = v;
      } else if (r < 65) {
        const std::string k = key();
        const std::uint64_t v = rng();
        const std::size_t before = m.size();
        Map next = m.set(k, Counted(v));
        const Counted* old = m.find(k);
        auto it = ref.find(k);
        ASSERT_EQ(m.size(), before);
        if (it == ref.end()) {
          ASSERT_EQ(old, nullptr);
        } else {
          ASSERT_NE(old, nullptr);
          ASSERT_EQ(old->v, it->second);
        }
        Ref next_ref = ref;
        next_ref[k] = v;
        versions.emplace_back(std::move(next), std::move(next_ref));
      } else if (r < 73) {
        auto copy = versions[pick()];
        versions.push_back(std::move(copy));
      } else if (r < 77 || versions.size() > 12) {
        if (versions.size() > 1) versions.erase(versions.begin() + static_cast<long>(pick()));
      } else {
        const std::string k = key();
        const Counted* found = m.find(k);
        auto it = ref.find(k);
        ASSERT_EQ(found != nullptr, it != ref.end()) << k;
        if (found) {
          ASSERT_EQ(found->v, it->second);
        }
      }
      if (op % 2000 == 0) {
        for (const auto& [vm, vref] : versions) expect_same(vm, vref, hash);
      }
    }
    for (const auto& [vm, vref] : versions) expect_same(vm, vref, hash);
  }
}

// A copy that throws part-way through an update leaves the map as it was:
// on a map sharing all its nodes, on one sharing only its children, and on
// one owning every node (where an entry pushed down a level is copied).
TEST_P(MapByHash, FailedUpdateLeavesMapUnchanged) {
  const Shape shape = GetParam();
  const TestHash hash{shape.mode};
  const unsigned n = std::min(shape.keys, 600u);
  {
    Map base(hash);
    Ref ref;
    for (std::uint64_t i = 0; i < n; i += 2) {
      base.insert_or_assign(key_of(i), Counted(i));
      ref[key_of(i)] = i;
    }
    for (int sharing = 0; sharing < 3; ++sharing) {
      Map m = base;
      if (sharing == 1) m.insert_or_assign(key_of(1), Counted(1));  // own root, shared children
      Map keep = sharing == 2 ? Map(hash) : base;
      if (sharing == 2) m = Map(base.begin(), base.end(), hash);  // owns every node
      Ref mref = ref;
      if (sharing == 1) mref[key_of(1)] = 1;
      for (std::uint64_t k = 3; k < n; k += 97) {
        for (const bool overwrite : {false, true}) {
          const std::string key = key_of(overwrite ? k - 1 : k);
          for (long t = 0;; ++t) {
            Counted value(7);
            Counted::throw_in = t;
            try {
              m.insert_or_assign(key, value);
              Counted::throw_in = -1;
              mref[key] = 7;
              break;
            } catch (const std::runtime_error&) {
              Counted::throw_in = -1;
              expect_same(m, mref, hash);
            }
          }
        }
      }
      expect_same(m, mref, hash);
      if (sharing != 2) expect_same(keep, ref, hash);
    }
  }
}

std::vector<std::pair<std::string, std::uint64_t>> listing(const Map& m) {
  std::vector<std::pair<std::string, std::uint64_t>> out;
  for (const auto& [k, v] : m) out.emplace_back(k, v.v);
  return out;
}

// Building from a range gives the very map that inserting the items one by
// one gives (same order, also among full collisions; the last of repeated
// keys wins), whether the items are copied or moved out of the range; a
// failed build leaks nothing.
TEST_P(MapByHash, BuildFromRangeMatchesRepeatedInserts) {
  const Shape shape = GetParam();
  const TestHash hash{shape.mode};
  std::mt19937_64 rng(7);
  {
    std::vector<std::pair<std::string, Counted>> items;
    Map inserted(hash);
    Ref ref;
    for (unsigned i = 0; i < std::min(shape.keys * 2, 6000u); ++i) {
      const std::string k = key_of(rng() % shape.keys);
      items.emplace_back(k, Counted(i));
      inserted.insert_or_assign(k, Counted(i));
      ref[k] = i;
    }
    EXPECT_TRUE(Map(items.begin(), items.begin(), hash).empty());

    Map built(items.begin(), items.end(), hash);
    expect_same(built, ref, hash);
    EXPECT_EQ(listing(built), listing(inserted));

    for (const long t : {0L, 1L, 5L, static_cast<long>(ref.size() / 2)}) {
      const long live = Counted::live;
      Counted::throw_in = t;
      EXPECT_THROW(Map(items.begin(), items.end(), hash), std::runtime_error);
      Counted::throw_in = -1;
      EXPECT_EQ(Counted::live, live);
    }

    // A built map takes updates like any other.
    const Map before = built;
    Ref updated = ref;
    for (std::uint64_t i = 0; i < 50; ++i) {
      const std::string k = key_of(rng() % (shape.keys + 50));
      built.insert_or_assign(k, Counted(i));
      updated[k] = i;
    }
    expect_same(built, updated, hash);
    expect_same(before, ref, hash);

    const Map moved(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()),
                    hash);
    EXPECT_EQ(listing(moved), listing(inserted));
  }
}

// Entries handed over through MovingIterator take the bulk build: every
// value is constructed once, moved straight into its final node, and never
// copied; the same map as inserting them.
TEST_P(MapByHash, MovedEntriesAreBuiltInBulk) {
  using Source = olvex::support::MovingIterator<std::vector<std::pair<std::string, Counted>>::iterator>;
  static_assert(Map::builds_in_bulk<Source>());
  const TestHash hash{GetParam().mode};
  std::vector<std::pair<std::string, Counted>> items;
  Map inserted(hash);
  for (unsigned i = 0; i < std::min(GetParam().keys, 3000u); ++i) {
    items.emplace_back(key_of(i), Counted(i));
    inserted.insert_or_assign(key_of(i), Counted(i));
  }
  const long copies = Counted::copies, moves = Counted::moves;
  const Map built(Source(items.begin()), Source(items.end()), hash);
  EXPECT_EQ(Counted::copies - copies, 0);
  EXPECT_EQ(Counted::moves - moves, static_cast<long>(items.size()));
  EXPECT_EQ(listing(built), listing(inserted));
}

// Maps whose freed nodes are kept for later ones: a run of versions, each
// a copy of the last with a few keys changed, the oldest dropped, so that
// every update is built in nodes that an earlier version gave back. Every
// version must still read as its own record (a node handed out at the
// wrong size shows as a corrupted entry or, under the sanitizers, an
// overflow), and every value must be destroyed exactly once.
TEST_P(MapByHash, KeptNodesServeLaterVersionsIntact) {
  using Kept = PersistentMap<std::string, Counted, TestHash, std::equal_to<std::string>,
                             olvex::support::ProcessSerialCount>;
  const Shape shape = GetParam();
  const TestHash hash{shape.mode};
  std::mt19937_64 rng(0xC0FFEE + static_cast<unsigned>(shape.mode));
  {
    std::vector<std::pair<Kept, Ref>> versions;
    versions.emplace_back(Kept(hash), Ref());
    for (unsigned step = 0; step < shape.ops / 8; ++step) {
      auto next = versions.back();
      for (unsigned i = 0, n = 1 + static_cast<unsigned>(rng() % 4); i < n; ++i) {
        const std::string k = key_of(rng() % shape.keys);
        const std::uint64_t v = rng();
        next.first.insert_or_assign(k, Counted(v));
        next.second[k] = v;
      }
      versions.push_back(std::move(next));
      if (versions.size() > 3) versions.erase(versions.begin());
      if (step % 500 == 0) {
        for (const auto& [vm, vref] : versions) expect_same(vm, vref, hash);
      }
    }
    for (const auto& [vm, vref] : versions) expect_same(vm, vref, hash);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MapByHash,
    testing::Values(Shape{"spread", Collide::None, 5000, 40000},
                    Shape{"all_same", Collide::AllSame, 150, 6000},
                    Shape{"four_buckets", Collide::FourBuckets, 400, 12000},
                    Shape{"top_bits_only", Collide::TopBitsOnly, 400, 12000},
                    Shape{"low_bits_only", Collide::LowBitsOnly, 3000, 30000}),
    [](const testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

TEST(PersistentMap, CopiesDoNotSeeEachOthersUpdates) {
  using SMap = PersistentMap<std::string, int>;
  SMap empty;
  EXPECT_EQ(empty.find("x"), nullptr);
  EXPECT_TRUE(empty.begin() == empty.end());

  SMap a;
  for (int i = 0; i < 1000; ++i) a.insert_or_assign(key_of(i), i);
  SMap b = a;
  a.insert_or_assign("only-a", 1);
  a.insert_or_assign(key_of(5), -5);  // in place on a's fresh path, or a copy
  a.insert_or_assign("only-a-too", 2);
  b.insert_or_assign("only-b", 3);
  b.insert_or_assign(key_of(6), -6);

  EXPECT_EQ(a.size(), 1002u);
  EXPECT_EQ(b.size(), 1001u);
  EXPECT_EQ(*a.find(key_of(5)), -5);
  EXPECT_EQ(*b.find(key_of(5)), 5);
  EXPECT_EQ(*a.find(key_of(6)), 6);
  EXPECT_EQ(*b.find(key_of(6)), -6);
  EXPECT_EQ(a.find("only-b"), nullptr);
  EXPECT_EQ(b.find("only-a"), nullptr);
  EXPECT_EQ(b.find("only-a-too"), nullptr);

  const SMap c = b.set("only-c", 4);
  EXPECT_EQ(b.find("only-c"), nullptr);
  EXPECT_EQ(*c.find("only-c"), 4);
  EXPECT_EQ(c.size(), b.size() + 1);

  SMap moved = std::move(a);
  EXPECT_EQ(moved.size(), 1002u);
  a = b;  // a moved-from map can be assigned
  EXPECT_EQ(a.find("only-a"), nullptr);
}

TEST(PersistentMap, FullCollisionsIterateInFirstInsertionOrder) {
  PersistentMap<std::string, int, TestHash> m(TestHash{Collide::AllSame});
  for (const char* k : {"c", "a", "d", "b"}) m.insert_or_assign(k, 0);
  m.insert_or_assign("a", 1);  // an overwrite keeps the place
  const auto copy = m;
  std::vector<std::string> order;
  for (const auto& [k, v] : copy) order.push_back(k);
  EXPECT_EQ(order, (std::vector<std::string>{"c", "a", "d", "b"}));
  EXPECT_EQ(*m.find("a"), 1);
  EXPECT_EQ(m.find("e"), nullptr);
}

// Values copied by one insert into a fresh copy: only the entries on the
// changed path, whatever the size of the map.
long copies_for_one_insert(const PersistentMap<std::string, Counted>& m, const std::string& key) {
  auto copy = m;
  Counted value(1);
  const long before = Counted::copies;
  copy.insert_or_assign(key, value);
  const long copied = Counted::copies - before - 1;  // less the argument
  EXPECT_EQ(copy.find(key)->v, 1u);
  EXPECT_EQ(m.find(key) == nullptr, copy.size() == m.size() + 1);
  return copied;
}

TEST(PersistentMap, LargeMapsRebuildOnlyOnePath) {
  {
    std::vector<std::pair<std::string, Counted>> items;
    for (std::uint64_t i = 0; i < 100000; ++i) items.emplace_back(key_of(i), Counted(i));
    const PersistentMap<std::string, Counted> big(items.begin(), items.end());
    const PersistentMap<std::string, Counted> small(items.begin(), items.begin() + 100);
    items.clear();

    ASSERT_EQ(big.size(), 100000u);
    for (std::uint64_t i = 0; i < 100000; ++i) {
      const Counted* v = big.find(key_of(i));
      ASSERT_NE(v, nullptr);
      ASSERT_EQ(v->v, i);
    }
    EXPECT_EQ(big.find(key_of(100000)), nullptr);
    std::vector<bool> seen(100000);
    std::size_t n = 0;
    for (const auto& [k, v] : big) {
      ASSERT_FALSE(seen[v.v]);
      seen[v.v] = true;
      ++n;
    }
    EXPECT_EQ(n, 100000u);

    for (const auto* m : {&small, &big}) {
      for (const std::string& key : {std::string("new-key"), key_of(42), key_of(77)}) {
        EXPECT_LE(copies_for_one_insert(*m, key), 64) << m->size() << " " << key;
      }
    }
  }
  EXPECT_EQ(Counted::live, 0);
}

}  // namespace

namespace {

// Entries that carry more than a key and a value and are found by a view of
// their key: the layout of a State's zones.
struct Tagged {
  std::string key;
  Counted value;
  std::uint64_t version;
};

struct TaggedKey {
  static std::string_view key(const Tagged& e) noexcept { return e.key; }
};

struct ViewHash {
  Collide mode = Collide::None;
  std::size_t operator()(std::string_view s) const { return TestHash{mode}(std::string(s)); }
};

using Trie = olvex::support::PersistentTrie<Tagged, TaggedKey, ViewHash, std::equal_to<std::string_view>>;

std::vector<std::string> keys_in_order(const Trie& t) {
  std::vector<std::string> out;
  for (const Tagged& e : t) out.push_back(e.key);
  return out;
}

class TrieByHash : public testing::TestWithParam<Collide> {
 protected:
  void TearDown() override { EXPECT_EQ(Counted::live, 0) << "entries leaked or destroyed twice"; }
};

// A replaced entry is the new one whole (key, value and tag) in the old
// one's place; an insert adds one; the copy they were made on still holds
// what it held, and every entry off the changed path is the very same
// object in both versions, in nodes they share.
TEST_P(TrieByHash, UpdatesOfACopyShareEverythingOffTheirPath) {
  const ViewHash hash{GetParam()};
  const unsigned n = GetParam() == Collide::AllSame ? 150 : 3000;
  {
    std::vector<Tagged> items;
    for (unsigned i = 0; i < n; ++i) items.push_back(Tagged{key_of(i), Counted(i), 1});
    using Source = olvex::support::MovingIterator<std::vector<Tagged>::iterator>;
    static_assert(Trie::builds_in_bulk<Source>());
    const Trie base(Source(items.begin()), Source(items.end()), hash);
    items.clear();
    ASSERT_EQ(base.size(), n);

    Trie child = base;
    const std::string changed = key_of(n / 2);
    EXPECT_FALSE(child.insert_or_assign(Tagged{changed, Counted(1000), 2}));
    EXPECT_TRUE(child.insert_or_assign(Tagged{"brand-new-key-on-the-heap", Counted(1001), 2}));
    EXPECT_EQ(child.size(), n + 1);
    EXPECT_EQ(base.size(), n);

    std::vector<std::string> order = keys_in_order(child);
    order.erase(std::find(order.begin(), order.end(), "brand-new-key-on-the-heap"));
    EXPECT_EQ(order, keys_in_order(base));

    const Tagged* now = child.find(changed);
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(now->value.v, 1000u);
    EXPECT_EQ(now->version, 2u);
    const Tagged* before = base.find(changed);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(before->value.v, n / 2);
    EXPECT_EQ(before->version, 1u);
    EXPECT_EQ(base.find("brand-new-key-on-the-heap"), nullptr);

    unsigned shared = 0;
    for (unsigned i = 0; i < n; ++i) {
      const Tagged* a = base.find(key_of(i));
      const Tagged* b = child.find(key_of(i));
      ASSERT_TRUE(a && b) << i;
      ASSERT_EQ(a->value.v, i);
      if (i != n / 2) {
        ASSERT_EQ(b->value.v, i);
      }
      shared += a == b;
    }
    // Full collisions put every key on the changed path.
    if (GetParam() == Collide::None) {
      EXPECT_GE(shared, n - 128);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, TrieByHash,
                         testing::Values(Collide::None, Collide::AllSame, Collide::FourBuckets,
                                         Collide::LowBitsOnly));

// A million entries built in one go: all found, each once in the walk, and
// in the order of a std::string-keyed map with the same keys, since the
// order depends on the key's hash alone and a view hashes as its string.
TEST(PersistentTrie, MillionEntriesIterateInTheOrderOfTheirStringHash) {
  using ByString = PersistentMap<std::string, std::uint64_t>;
  using Entries = olvex::support::PersistentTrie<Tagged, TaggedKey, std::hash<std::string_view>,
                                                 std::equal_to<std::string_view>>;
  constexpr unsigned n = 1'000'000;
  {
    std::vector<Tagged> items;
    std::vector<std::pair<std::string, std::uint64_t>> pairs;
    items.reserve(n);
    pairs.reserve(n);
    for (unsigned i = 0; i < n; ++i) {
      std::string k = "k" + std::to_string(i);
      pairs.emplace_back(k, i);
      items.push_back(Tagged{std::move(k), Counted(i), i});
    }
    using Source = olvex::support::MovingIterator<std::vector<Tagged>::iterator>;
    const Entries built(Source(items.begin()), Source(items.end()));
    items.clear();
    const ByString reference(pairs.begin(), pairs.end());
    ASSERT_EQ(built.size(), n);
    auto it = reference.begin();
    std::vector<bool> seen(n);
    for (const Tagged& e : built) {
      ASSERT_NE(it, reference.end());
      ASSERT_EQ(e.key, it->first);
      ASSERT_EQ(e.version, it->second);
      ASSERT_FALSE(seen[e.version]);
      seen[e.version] = true;
      ++it;
    }
    EXPECT_EQ(it, reference.end());
    for (unsigned i = 0; i < n; i += 997) {
      const Tagged* e = built.find("k" + std::to_string(i));
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->value.v, i);
    }
    EXPECT_EQ(built.find("k" + std::to_string(n)), nullptr);
  }
  EXPECT_EQ(Counted::live, 0);
}

}  // namespace
