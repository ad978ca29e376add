// What the ring's slots keep of the messages they held, counted through the
// allocator. A binary of its own: it replaces operator new and delete to
// count the bytes in use.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <variant>
#include <vector>

#include "support/broadcast.hpp"

// These are the replaceable global forms, so pairing their malloc and free
// is right; GCC cannot tell once it inlines them into their callers.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long long> g_live{0};
std::atomic<long long> g_allocations{0};
}  // namespace

void* operator new(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  g_live += static_cast<long long>(malloc_usable_size(p));
  ++g_allocations;
  return p;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  g_live -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using olvex::support::ReceiverCell;
using olvex::support::RecvOutcome;
using olvex::support::Sender;

struct SlotCase {
  const char* name;
  std::size_t first;   // 128 messages of this size fill the ring...
  std::size_t second;  // ...then 512 of this size overwrite every slot four times
  bool storage_let_go;
};

class SlotStorage : public ::testing::TestWithParam<SlotCase> {};

TEST_P(SlotStorage, FollowsTheSizeOfTheMessageNowHeld) {
  const SlotCase& c = GetParam();
  Sender tx = Sender::create();
  auto rx = tx.subscribe();  // counted at every publish, never reads
  const std::string first(c.first, 'x');
  const std::string second(c.second, 'y');
  const long long before = g_live;
  for (int i = 0; i < 128; ++i) tx.send(first);
  const long long full = g_live - before;
  EXPECT_GE(full, static_cast<long long>(128 * c.first));
  const long long allocations = g_allocations;
  for (int i = 0; i < 512; ++i) tx.send(second);
  const long long held = g_live - before;
  if (c.storage_let_go) {
    // Within a wide margin of what 128 messages of the second size need.
    EXPECT_LE(held, static_cast<long long>(128 * (c.second + 64) * 4)) << "held " << held << " of " << full;
  } else {
    EXPECT_EQ(held, full);                        // the storage is reused...
    EXPECT_EQ(g_allocations - allocations, 0);    // ...without allocating
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SlotStorage,
                         ::testing::Values(SlotCase{"MegabytesThenOneCharacter", 1 << 20, 1, true},
                                           SlotCase{"LargeThenMuchSmaller", 100'000, 2'000, true},
                                           SlotCase{"SimilarSizes", 2'000, 1'500, false},
                                           SlotCase{"SmallSlotsAreKept", 1'000, 10, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The text of a message stays while any receiver counted at its publish has
// yet to read it, and goes with the last one's read: the ring keeps no copy.
class SlotRelease : public ::testing::TestWithParam<int> {};

TEST_P(SlotRelease, TheTextGoesWithTheLastRead) {
  constexpr int kMessages = 16;
  const std::string text(64 * 1024, 'x');
  Sender tx = Sender::create();
  std::vector<std::shared_ptr<ReceiverCell>> receivers;
  for (int i = 0; i < GetParam(); ++i) receivers.push_back(tx.subscribe());
  const long long before = g_live;
  for (int i = 0; i < kMessages; ++i) tx.send(text);
  const long long texts = kMessages * static_cast<long long>(text.size());
  for (std::size_t r = 0; r < receivers.size(); ++r) {
    EXPECT_GE(g_live - before, texts) << "released before receiver " << r << " read";
    for (int i = 0; i < kMessages; ++i) {
      RecvOutcome out;
      ASSERT_TRUE(receivers[r]->try_recv(out));
      ASSERT_EQ(std::get<std::string>(out), text);
    }
  }
  EXPECT_LT(g_live - before, static_cast<long long>(text.size())) << "the slots still hold the texts";
}

INSTANTIATE_TEST_SUITE_P(Receivers, SlotRelease, ::testing::Values(1, 2, 5));

}  // namespace
