#pragma once
// A bounded broadcast channel for short text messages.
//
// Every message is offered to every receiver alive at publish time; a ring
// of a fixed number of slots retains the newest messages, so a slow receiver
// loses the oldest ones (and learns how many) instead of holding the
// publisher back. Receives on one receiver are served first come, first
// served, whether they block a thread or complete asynchronously.
//
// Asynchronous receives are identified by a ticket number; their outcomes
// are handed to one process-wide sink outside the channel lock, so the
// caller decides on which thread and under which interpreter lock they are
// delivered.
#include <chrono>
#include <condition_variable>
#include <optional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace olvex::support {

struct Lagged {
  std::uint64_t missed;
};
struct Closed {};
using RecvOutcome = std::variant<std::string, Lagged, Closed>;

// The outcome of one asynchronous receive, by its ticket.
struct AsyncOutcome {
  std::uint64_t ticket;
  RecvOutcome outcome;
};

// Receives the outcomes of the asynchronous receives that one action (a
// publish, a close, a withdrawal) completed, in the order they completed,
// all in one call, so that a publish waking many receives can hand them on
// together. Called without any channel lock held, on the thread whose
// action completed them; it may take the outcomes out of the vector.
using AsyncSink = void (*)(std::vector<AsyncOutcome>& outcomes);
void set_async_sink(AsyncSink sink);

class Channel;
class ReceiverCell;

// Lets a blocked receive step out of its wait now and then (to run signal
// handlers, for instance).
class WaitBreak {
 public:
  virtual ~WaitBreak() = default;
  // Called every slice with no channel lock held. Meanwhile the receive is
  // held back: nothing completes it, nor the receives queued behind it, so a
  // message that arrives now stays in the ring for it. True gives it up; it
  // then takes nothing.
  virtual bool give_up() = 0;
  // Called when give_up() said false, before the wait goes on.
  virtual void resume() {}
};

// Rounds a requested capacity up to a power of two, as the ring needs.
std::size_t channel_capacity_for(std::size_t requested);

// A sending handle; the channel closes when the last one goes away.
class Sender {
 public:
  // A new channel with one sender and no receivers.
  static Sender create(std::size_t requested_capacity = 100);

  Sender(const Sender& other);
  Sender(Sender&& other) noexcept;
  Sender& operator=(const Sender&) = delete;
  Sender& operator=(Sender&&) = delete;
  ~Sender();

  // Stores the message for every live receiver and returns their number; a
  // message sent with no receiver is dropped and 0 is returned.
  // The text is copied into the slot, reusing the slot's storage unless
  // the message is much smaller than that.
  std::size_t send(std::string_view message) const;

  // A receiver positioned after the last message sent so far.
  std::shared_ptr<ReceiverCell> subscribe() const;

  std::size_t capacity() const;
  std::size_t receiver_count() const;

 private:
  explicit Sender(std::shared_ptr<Channel> ch) : ch_(std::move(ch)) {}
  std::shared_ptr<Channel> ch_;
};

// One receiving handle with its cursor and its queue of pending receives.
class ReceiverCell {
 public:
  explicit ReceiverCell(std::shared_ptr<Channel> ch);
  ~ReceiverCell();
  ReceiverCell(const ReceiverCell&) = delete;
  ReceiverCell& operator=(const ReceiverCell&) = delete;

  // Takes the next outcome if the receive can finish at once: no other
  // receive is queued ahead and a message, lag or close is there. Returns
  // false (and takes nothing) when the receive would have to wait.
  bool try_recv(RecvOutcome& out);

  // Blocks the calling thread until this receive's turn comes and an
  // outcome is there.
  RecvOutcome recv_blocking();

  // As recv_blocking(), but every `slice` the wait steps out through `brk`
  // and returns nothing when it gives up. The receives that the step lets
  // through (those queued behind this one) are handed to the sink on this
  // thread, after give_up() and before resume() or the return, so
  // give_up() leaves the thread able to run the sink.
  std::optional<RecvOutcome> recv_blocking(WaitBreak& brk, std::chrono::milliseconds slice);

  // Queues an asynchronous receive; its outcome goes to the sink under
  // `ticket`, possibly before this call returns.
  void recv_async(std::uint64_t ticket);

  // Withdraws a pending asynchronous receive. Returns false when it had
  // already been completed (its outcome is then on its way to the sink).
  bool cancel(std::uint64_t ticket);

  std::uint64_t cursor() const;
  // The receives queued on this receiver, waiting for their turn or for a
  // message.
  std::size_t pending() const;

 private:
  friend class Channel;
  struct Ticket;
  // Pending receives in arrival order, linked through the tickets so that
  // any one leaves in O(1); the asynchronous ones are also found by ticket.
  struct Queue {
    Ticket* head = nullptr;
    Ticket* tail = nullptr;
    std::size_t size = 0;
    bool empty() const noexcept { return head == nullptr; }
    void push_back(Ticket* t) noexcept;
    void unlink(Ticket* t) noexcept;
  };
  void withdraw(Ticket* t) noexcept;

  std::shared_ptr<Channel> ch_;
  // Guarded by the channel's mutex.
  std::uint64_t cursor_;
  Queue queue_;
  std::unordered_map<std::uint64_t, Ticket*> async_;  // queued asynchronous receives, owned
  std::size_t wait_pos_ = 0;                          // place in the channel's wait list
  bool in_wait_list_ = false;
};

}  // namespace olvex::support
