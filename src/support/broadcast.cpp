#include "support/broadcast.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <stdexcept>

namespace olvex::support {

namespace {
std::atomic<AsyncSink> g_sink{nullptr};

using Completion = AsyncOutcome;

void deliver(std::vector<Completion>& done) {
  if (done.empty()) return;
  if (AsyncSink sink = g_sink.load(std::memory_order_acquire)) sink(done);
}
}  // namespace

void set_async_sink(AsyncSink sink) { g_sink.store(sink, std::memory_order_release); }

std::size_t channel_capacity_for(std::size_t requested) {
  return std::bit_ceil(std::max<std::size_t>(requested, 1));
}

// A pending receive. An asynchronous one lives on the heap, owned by its
// receiver's ticket index; a blocking one lives on the waiting thread's
// stack.
struct ReceiverCell::Ticket {
  std::uint64_t id = 0;
  bool is_async = false;
  bool queued = false;
  bool done = false;
  bool held = false;  // a blocking receive stepped out of its wait: not to be completed now
  Ticket* prev = nullptr;
  Ticket* next = nullptr;
  RecvOutcome result;
  std::condition_variable cv;
};

void ReceiverCell::Queue::push_back(Ticket* t) noexcept {
  t->prev = tail;
  t->next = nullptr;
  (tail ? tail->next : head) = t;
  tail = t;
  t->queued = true;
  ++size;
}

void ReceiverCell::Queue::unlink(Ticket* t) noexcept {
  (t->prev ? t->prev->next : head) = t->next;
  (t->next ? t->next->prev : tail) = t->prev;
  t->prev = t->next = nullptr;
  t->queued = false;
  --size;
}

class Channel {
 public:
  explicit Channel(std::size_t requested)
      : slots_(channel_capacity_for(requested)), mask_(slots_.size() - 1) {
    const std::uint64_t cap = slots_.size();
    // A slot that holds the position one lap below a cursor tells that
    // cursor it has read everything.
    for (std::uint64_t i = 0; i < cap; ++i) slots_[i].pos = i - cap;
  }

  std::mutex mu;
  std::size_t senders = 0;
  std::size_t receivers = 0;

  std::size_t capacity() const { return slots_.size(); }

  // Caller holds mu.
  std::size_t send_locked(std::string_view message, std::vector<Completion>& done) {
    if (receivers == 0) return 0;
    Slot& s = slots_[tail_ & mask_];
    s.pos = tail_;
    store(s.msg, message);
    s.remaining = receivers;
    ++tail_;
    wake_waiting_locked(done);
    return receivers;
  }

  void close_locked(std::vector<Completion>& done) {
    closed_ = true;
    wake_waiting_locked(done);
  }

  std::uint64_t tail() const { return tail_; }

  // Reads at the receiver's cursor. Returns false when there is nothing yet.
  bool read_locked(ReceiverCell& r, RecvOutcome& out) {
    const std::uint64_t cap = slots_.size();
    Slot& s = slots_[r.cursor_ & mask_];
    if (s.pos == r.cursor_) {
      if (s.remaining > 1) {
        --s.remaining;
        out = s.msg;
      } else {
        // The last reader counted at publish takes the text itself.
        s.remaining = 0;
        out = std::move(s.msg);
        s.msg = std::string();
      }
      ++r.cursor_;
      return true;
    }
    if (s.pos + cap == r.cursor_) {
      if (!closed_) return false;
      out = Closed{};
      return true;
    }
    const std::uint64_t oldest = tail_ - cap;
    const std::uint64_t missed = oldest - r.cursor_;
    r.cursor_ = oldest;
    out = Lagged{missed};
    return true;
  }

  // Completes as many queued receives of `r` as the ring allows.
  void advance_locked(ReceiverCell& r, std::vector<Completion>& done) {
    while (!r.queue_.empty()) {
      ReceiverCell::Ticket* t = r.queue_.head;
      if (t->held) break;  // keeps its turn, and the order behind it
      if (t->is_async) done.reserve(done.size() + 1);  // before anything is taken
      RecvOutcome o;
      if (!read_locked(r, o)) break;
      r.queue_.unlink(t);
      if (t->is_async) {
        done.push_back({t->id, std::move(o)});
        r.async_.erase(t->id);
        delete t;
      } else {
        t->result = std::move(o);
        t->done = true;
        t->cv.notify_one();
      }
    }
    if (r.queue_.empty()) leave_wait_list_locked(r);
  }

  // Every receiver knows its place in the wait list, so leaving it is O(1).
  void join_wait_list_locked(ReceiverCell& r) {
    if (r.in_wait_list_) return;
    waiting_.push_back(&r);
    r.wait_pos_ = waiting_.size() - 1;
    r.in_wait_list_ = true;
  }

  void leave_wait_list_locked(ReceiverCell& r) noexcept {
    if (!r.in_wait_list_) return;
    ReceiverCell* last = waiting_.back();
    waiting_[r.wait_pos_] = last;
    last->wait_pos_ = r.wait_pos_;
    waiting_.pop_back();
    r.in_wait_list_ = false;
  }

 private:
  struct Slot {
    std::uint64_t pos = 0;
    std::string msg;
    std::size_t remaining = 0;
  };

  // Overwrites a slot's text. Its storage is reused for a message of about
  // its size, which keeps a publish down to a copy; a much smaller message
  // lets it go, so a slot never holds on to the largest message it once had.
  static void store(std::string& slot, std::string_view message) {
    constexpr std::size_t kAlwaysKept = 1024;  // below this, reuse whatever the size
    if (slot.capacity() > kAlwaysKept && slot.capacity() / 4 > message.size()) {
      std::string(message).swap(slot);
    } else {
      slot.assign(message);
    }
  }

  void wake_waiting_locked(std::vector<Completion>& done) {
    // advance_locked may drop entries from waiting_; walk a copy (kept for
    // the next publish, so its room is reused).
    if (waiting_.empty()) return;
    walk_.assign(waiting_.begin(), waiting_.end());
    done.reserve(done.size() + walk_.size());
    for (ReceiverCell* r : walk_) advance_locked(*r, done);
    walk_.clear();
  }

  std::vector<Slot> slots_;
  std::uint64_t mask_;
  std::uint64_t tail_ = 0;
  bool closed_ = false;
  std::vector<ReceiverCell*> waiting_;
  std::vector<ReceiverCell*> walk_;
};

Sender Sender::create(std::size_t requested_capacity) {
  auto ch = std::make_shared<Channel>(requested_capacity);
  ch->senders = 1;
  return Sender(std::move(ch));
}

Sender::Sender(const Sender& other) : ch_(other.ch_) {
  std::lock_guard lk(ch_->mu);
  ++ch_->senders;
}

Sender::Sender(Sender&& other) noexcept : ch_(std::move(other.ch_)) {}

Sender::~Sender() {
  if (!ch_) return;
  std::vector<Completion> done;
  {
    std::lock_guard lk(ch_->mu);
    if (--ch_->senders == 0) ch_->close_locked(done);
  }
  deliver(done);
}

std::size_t Sender::send(std::string_view message) const {
  std::vector<Completion> done;
  std::size_t n;
  {
    std::lock_guard lk(ch_->mu);
    n = ch_->send_locked(message, done);
  }
  deliver(done);
  return n;
}

std::shared_ptr<ReceiverCell> Sender::subscribe() const { return std::make_shared<ReceiverCell>(ch_); }

std::size_t Sender::capacity() const { return ch_->capacity(); }

std::size_t Sender::receiver_count() const {
  std::lock_guard lk(ch_->mu);
  return ch_->receivers;
}

ReceiverCell::ReceiverCell(std::shared_ptr<Channel> ch) : ch_(std::move(ch)) {
  std::lock_guard lk(ch_->mu);
  cursor_ = ch_->tail();
  ++ch_->receivers;
}

ReceiverCell::~ReceiverCell() {
  std::lock_guard lk(ch_->mu);
  --ch_->receivers;
  ch_->leave_wait_list_locked(*this);
  // Only asynchronous receives can outlive their receiver's last handle.
  for (auto& [id, t] : async_) delete t;
}

void ReceiverCell::withdraw(Ticket* t) noexcept {
  if (!t->queued) return;
  queue_.unlink(t);
  if (t->is_async) async_.erase(t->id);
}

std::uint64_t ReceiverCell::cursor() const {
  std::lock_guard lk(ch_->mu);
  return cursor_;
}

std::size_t ReceiverCell::pending() const {
  std::lock_guard lk(ch_->mu);
  return queue_.size;
}

bool ReceiverCell::try_recv(RecvOutcome& out) {
  std::lock_guard lk(ch_->mu);
  if (!queue_.empty()) return false;
  return ch_->read_locked(*this, out);
}

RecvOutcome ReceiverCell::recv_blocking() {
  // Never gives up, so an outcome always comes back.
  struct Never final : WaitBreak {
    bool give_up() override { return false; }
  } never;
  return *recv_blocking(never, std::chrono::hours(24));
}

std::optional<RecvOutcome> ReceiverCell::recv_blocking(WaitBreak& brk, std::chrono::milliseconds slice) {
  std::unique_lock lk(ch_->mu);
  RecvOutcome out;
  if (queue_.empty() && ch_->read_locked(*this, out)) return out;
  Ticket t;
  ch_->join_wait_list_locked(*this);
  queue_.push_back(&t);
  // The ticket lives here: however this call ends, it leaves the queue.
  struct Leave {
    ReceiverCell& r;
    std::unique_lock<std::mutex>& lk;
    Ticket& t;
    ~Leave() {
      if (!t.queued) return;
      if (!lk.owns_lock()) lk.lock();
      r.withdraw(&t);
    }
  } leave{*this, lk, t};
  for (;;) {
    if (t.cv.wait_for(lk, slice, [&] { return t.done; })) return std::move(t.result);
    t.held = true;
    lk.unlock();
    const bool stop = brk.give_up();
    lk.lock();
    t.held = false;
    if (stop) withdraw(&t);
    // What arrived while the receive was held back goes out now, in turn.
    std::vector<Completion> done;
    ch_->advance_locked(*this, done);
    lk.unlock();
    deliver(done);
    if (stop) return std::nullopt;
    brk.resume();
    lk.lock();
  }
}

void ReceiverCell::recv_async(std::uint64_t ticket) {
  std::vector<Completion> done;
  {
    std::lock_guard lk(ch_->mu);
    RecvOutcome out;
    if (queue_.empty() && ch_->read_locked(*this, out)) {
      done.push_back({ticket, std::move(out)});
    } else {
      auto t = std::make_unique<Ticket>();
      t->id = ticket;
      t->is_async = true;
      auto [slot, fresh] = async_.try_emplace(ticket, t.get());
      if (!fresh) throw std::logic_error("an asynchronous receive is already queued under this ticket");
      try {
        ch_->join_wait_list_locked(*this);
      } catch (...) {
        async_.erase(slot);
        throw;
      }
      queue_.push_back(t.release());
    }
  }
  deliver(done);
}

bool ReceiverCell::cancel(std::uint64_t ticket) {
  std::vector<Completion> done;
  {
    std::lock_guard lk(ch_->mu);
    auto it = async_.find(ticket);
    if (it == async_.end()) return false;
    Ticket* t = it->second;
    const bool was_first = t == queue_.head;
    queue_.unlink(t);
    async_.erase(it);
    delete t;
    // Whoever queued behind the withdrawn receive may now be first.
    if (was_first) ch_->advance_locked(*this, done);
  }
  deliver(done);
  return true;
}

}  // namespace olvex::support
