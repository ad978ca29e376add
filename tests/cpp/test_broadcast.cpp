#include "support/broadcast.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace olvex::support;

namespace {

std::string text(const RecvOutcome& o) {
  if (auto* s = std::get_if<std::string>(&o)) return *s;
  if (auto* l = std::get_if<Lagged>(&o)) return "lagged:" + std::to_string(l->missed);
  return "closed";
}

std::string take(ReceiverCell& r) {
  RecvOutcome o;
  if (!r.try_recv(o)) return "<empty>";
  return text(o);
}

// Waits until `n` receives are queued on `r` (a thread has blocked).
void wait_until_pending(const ReceiverCell& r, std::size_t n) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (r.pending() < n) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no receive queued";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Asynchronous outcomes land here, keyed by ticket.
std::mutex g_mu;
std::map<std::uint64_t, std::string> g_async;
void record(std::vector<AsyncOutcome>& outcomes) {
  std::lock_guard lk(g_mu);
  for (const auto& o : outcomes) g_async[o.ticket] = text(o.outcome);
}

class Broadcast : public ::testing::Test {
 protected:
  void SetUp() override {
    set_async_sink(&record);
    std::lock_guard lk(g_mu);
    g_async.clear();
  }
  void TearDown() override { set_async_sink(nullptr); }
  static std::string async_result(std::uint64_t t) {
    std::lock_guard lk(g_mu);
    auto it = g_async.find(t);
    return it == g_async.end() ? "<pending>" : it->second;
  }
};

}  // namespace

TEST_F(Broadcast, CapacityIsRoundedUpToAPowerOfTwo) {
  EXPECT_EQ(Sender::create(100).capacity(), 128u);
  EXPECT_EQ(channel_capacity_for(128), 128u);
  EXPECT_EQ(channel_capacity_for(0), 1u);
}

TEST_F(Broadcast, SendWithoutReceiversIsDropped) {
  Sender tx = Sender::create();
  EXPECT_EQ(tx.send("lost"), 0u);
  auto rx = tx.subscribe();
  EXPECT_EQ(take(*rx), "<empty>");
  EXPECT_EQ(tx.send("kept"), 1u);
  EXPECT_EQ(take(*rx), "kept");
}

TEST_F(Broadcast, CountFollowsLiveReceivers) {
  Sender tx = Sender::create();
  auto a = tx.subscribe();
  auto b = tx.subscribe();
  EXPECT_EQ(tx.send("m"), 2u);
  b.reset();
  EXPECT_EQ(tx.send("n"), 1u);
  EXPECT_EQ(take(*a), "m");
  EXPECT_EQ(take(*a), "n");
}

TEST_F(Broadcast, EveryReceiverSeesEveryMessage) {
  Sender tx = Sender::create();
  auto a = tx.subscribe();
  auto b = tx.subscribe();
  tx.send("");
  tx.send("x");
  for (auto* r : {a.get(), b.get()}) {
    EXPECT_EQ(take(*r), "");
    EXPECT_EQ(take(*r), "x");
    EXPECT_EQ(take(*r), "<empty>");
  }
}

struct LagCase {
  int published;
  std::string first;
  int retained;
};

class LagRule : public Broadcast, public ::testing::WithParamInterface<LagCase> {};

TEST_P(LagRule, OverwrittenMessagesAreReportedOnceThenOldestRetainedFollows) {
  const LagCase& c = GetParam();
  Sender tx = Sender::create();
  auto rx = tx.subscribe();
  for (int i = 1; i <= c.published; ++i) tx.send("m" + std::to_string(i));
  int start = c.published - c.retained + 1;
  if (!c.first.empty()) {
    EXPECT_EQ(take(*rx), c.first);
  }
  for (int i = start; i <= c.published; ++i) EXPECT_EQ(take(*rx), "m" + std::to_string(i));
  EXPECT_EQ(take(*rx), "<empty>");
}

INSTANTIATE_TEST_SUITE_P(Cases, LagRule,
                         ::testing::Values(LagCase{128, "", 128}, LagCase{129, "lagged:1", 128},
                                           LagCase{130, "lagged:2", 128},
                                           LagCase{1000, "lagged:872", 128}));

TEST_F(Broadcast, CloseAfterLastSenderDeliversRetainedThenClosedForever) {
  std::shared_ptr<ReceiverCell> rx;
  {
    Sender tx = Sender::create();
    Sender second = tx;
    rx = tx.subscribe();
    tx.send("a");
  }
  EXPECT_EQ(take(*rx), "a");
  EXPECT_EQ(take(*rx), "closed");
  EXPECT_EQ(take(*rx), "closed");
}

TEST_F(Broadcast, LagIsSeenBeforeClose) {
  std::shared_ptr<ReceiverCell> rx;
  {
    Sender tx = Sender::create();
    rx = tx.subscribe();
    for (int i = 0; i < 129; ++i) tx.send(std::to_string(i));
  }
  EXPECT_EQ(take(*rx), "lagged:1");
  for (int i = 1; i < 129; ++i) EXPECT_EQ(take(*rx), std::to_string(i));
  EXPECT_EQ(take(*rx), "closed");
}

TEST_F(Broadcast, BlockedThreadsOnOneReceiverShareMessagesFirstComeFirstServed) {
  Sender tx = Sender::create();
  auto rx = tx.subscribe();
  std::vector<std::string> got(4);
  std::vector<std::thread> ts;
  for (std::size_t i = 0; i < 4; ++i) {
    ts.emplace_back([&, i] { got[i] = text(rx->recv_blocking()); });
    wait_until_pending(*rx, i + 1);  // thread i queues i-th
  }
  for (int i = 0; i < 4; ++i) tx.send("m" + std::to_string(i));
  for (auto& t : ts) t.join();
  EXPECT_EQ(got, (std::vector<std::string>{"m0", "m1", "m2", "m3"}));
}

TEST_F(Broadcast, BlockedReceiveWakesOnClose) {
  auto tx = std::make_unique<Sender>(Sender::create());
  auto rx = tx->subscribe();
  std::string got;
  std::thread t([&] { got = text(rx->recv_blocking()); });
  wait_until_pending(*rx, 1);
  EXPECT_EQ(got, "");  // still blocked when the channel closes
  tx.reset();
  t.join();
  EXPECT_EQ(got, "closed");
}

TEST_F(Broadcast, AsyncReceiveCompletesAtOnceOrOnPublish) {
  Sender tx = Sender::create();
  auto rx = tx.subscribe();
  tx.send("ready");
  rx->recv_async(1);
  EXPECT_EQ(async_result(1), "ready");
  rx->recv_async(2);
  EXPECT_EQ(async_result(2), "<pending>");
  tx.send("later");
  EXPECT_EQ(async_result(2), "later");
}

TEST_F(Broadcast, CancelledAsyncReceiveConsumesNothingAndUnblocksQueue) {
  Sender tx = Sender::create();
  auto rx = tx.subscribe();
  rx->recv_async(7);
  rx->recv_async(8);
  EXPECT_TRUE(rx->cancel(7));
  EXPECT_FALSE(rx->cancel(7));
  tx.send("one");
  EXPECT_EQ(async_result(7), "<pending>");
  EXPECT_EQ(async_result(8), "one");
  EXPECT_FALSE(rx->cancel(8));
  tx.send("two");
  EXPECT_EQ(take(*rx), "two");
}

TEST_F(Broadcast, QueuedReceiveKeepsItsTurnAheadOfTryRecv) {
  Sender tx = Sender::create();
  auto rx = tx.subscribe();
  rx->recv_async(3);
  // A later receive may not overtake the queued one.
  RecvOutcome o;
  EXPECT_FALSE(rx->try_recv(o));
  tx.send("first");
  tx.send("second");
  EXPECT_EQ(async_result(3), "first");
  EXPECT_EQ(take(*rx), "second");
}

TEST_F(Broadcast, ManyPublishersAndReceiversLoseNothingWithinCapacity) {
  Sender tx = Sender::create();
  std::vector<std::shared_ptr<ReceiverCell>> rxs;
  for (int i = 0; i < 4; ++i) rxs.push_back(tx.subscribe());
  std::vector<std::thread> pubs;
  for (int p = 0; p < 4; ++p) {
    pubs.emplace_back([&, p] {
      for (int i = 0; i < 30; ++i) tx.send(std::to_string(p * 100 + i));
    });
  }
  for (auto& t : pubs) t.join();
  std::set<std::string> sent;
  for (int p = 0; p < 4; ++p) {
    for (int i = 0; i < 30; ++i) sent.insert(std::to_string(p * 100 + i));
  }
  for (auto& rx : rxs) {
    std::set<std::string> seen;
    std::map<int, int> last;  // publisher -> its last message seen: each keeps its order
    for (int i = 0; i < 120; ++i) {
      std::string m = take(*rx);
      seen.insert(m);
      if (m.front() == '<' || m.front() == 'l') continue;  // "<empty>", "lagged:": counted as missing
      int n = std::stoi(m);
      auto [it, fresh] = last.try_emplace(n / 100, n % 100);
      if (!fresh) {
        EXPECT_LT(it->second, n % 100) << m;
        it->second = n % 100;
      }
    }
    EXPECT_EQ(seen, sent);
    EXPECT_EQ(take(*rx), "<empty>");
  }
}

namespace {
// A wait break driven by a function; counts its calls.
struct Break final : WaitBreak {
  explicit Break(std::function<bool()> f) : f(std::move(f)) {}
  bool give_up() override {
    ++asked;
    return f();
  }
  void resume() override { ++resumed; }
  std::function<bool()> f;
  int asked = 0;
  int resumed = 0;
};
}  // namespace

TEST_F(Broadcast, ReceiveGivenUpTakesNothing) {
  Sender tx = Sender::create();
  auto rx = tx.subscribe();
  Break brk([&] { return brk.asked == 2; });
  auto got = rx->recv_blocking(brk, std::chrono::milliseconds(1));
  EXPECT_FALSE(got.has_value());
  EXPECT_EQ(brk.asked, 2);
  EXPECT_EQ(brk.resumed, 1);
  tx.send("kept");
  EXPECT_EQ(take(*rx), "kept");
}

// A message that arrives while the receive has stepped out (a signal handler
// publishing) is held for it: taken when the wait goes on, left in the ring
// when the receive is given up. Never both an outcome and a give-up.
struct ArrivalCase {
  const char* name;
  bool give_up;
  const char* returned;
  const char* next;
};

class ArrivalWhileSteppedOut : public Broadcast, public ::testing::WithParamInterface<ArrivalCase> {};

TEST_P(ArrivalWhileSteppedOut, IsEitherReturnedOrLeft) {
  const ArrivalCase& c = GetParam();
  Sender tx = Sender::create();
  auto rx = tx.subscribe();
  Break brk([&] {
    tx.send("arrived");
    return c.give_up;
  });
  auto got = rx->recv_blocking(brk, std::chrono::milliseconds(1));
  EXPECT_EQ(got ? text(*got) : "<given up>", c.returned);
  EXPECT_EQ(take(*rx), c.next);
}

INSTANTIATE_TEST_SUITE_P(Cases, ArrivalWhileSteppedOut,
                         ::testing::Values(ArrivalCase{"WaitGoesOn", false, "arrived", "<empty>"},
                                           ArrivalCase{"GivenUp", true, "<given up>", "arrived"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Broadcast, ReceivesQueuedBehindASteppedOutOneKeepTheirTurn) {
  Sender tx = Sender::create();
  auto rx = tx.subscribe();
  Break brk([&] {
    rx->recv_async(5);  // queued behind the blocked receive
    tx.send("a");
    EXPECT_EQ(async_result(5), "<pending>");
    return true;
  });
  EXPECT_FALSE(rx->recv_blocking(brk, std::chrono::milliseconds(1)).has_value());
  // Given up: the message goes to the next in line before the call returns.
  EXPECT_EQ(async_result(5), "a");
}

// Withdrawing queued receives from any place leaves the others queued in
// their order.
struct CancelCase {
  const char* name;
  std::vector<std::uint64_t> cancelled;
};

class CancelPattern : public Broadcast, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancelPattern, TheRestKeepTheirOrder) {
  Sender tx = Sender::create();
  auto rx = tx.subscribe();
  for (std::uint64_t t = 1; t <= 6; ++t) rx->recv_async(t);
  std::set<std::uint64_t> gone(GetParam().cancelled.begin(), GetParam().cancelled.end());
  for (std::uint64_t t : GetParam().cancelled) EXPECT_TRUE(rx->cancel(t));
  EXPECT_EQ(rx->pending(), 6 - gone.size());
  for (int i = 1; i <= 6; ++i) tx.send("m" + std::to_string(i));
  int next = 1;
  for (std::uint64_t t = 1; t <= 6; ++t) {
    EXPECT_EQ(async_result(t), gone.count(t) ? "<pending>" : "m" + std::to_string(next++)) << "ticket " << t;
    EXPECT_FALSE(rx->cancel(t));
  }
  EXPECT_EQ(rx->pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Orders, CancelPattern,
                         ::testing::Values(CancelCase{"OldestFirst", {1, 2, 3}}, CancelCase{"NewestFirst", {6, 5, 4}},
                                           CancelCase{"Alternate", {2, 4, 6}}, CancelCase{"Middle", {3, 4}},
                                           CancelCase{"All", {5, 1, 3, 6, 2, 4}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Broadcast, ReceiversLeaveTheWaitListFromAnyPlace) {
  Sender tx = Sender::create();
  std::vector<std::shared_ptr<ReceiverCell>> rxs;
  for (std::uint64_t t = 1; t <= 5; ++t) {
    rxs.push_back(tx.subscribe());
    rxs.back()->recv_async(t);
  }
  rxs[2].reset();  // the middle one, then the first
  rxs[0].reset();
  EXPECT_EQ(tx.send("x"), 3u);
  for (std::uint64_t t : {2, 4, 5}) EXPECT_EQ(async_result(t), "x") << t;
  rxs[3]->recv_async(9);  // back in the wait list after being woken
  tx.send("y");
  EXPECT_EQ(async_result(9), "y");
}
