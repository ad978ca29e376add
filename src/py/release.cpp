#include "py/release.hpp"

#include <cstdlib>

namespace olvex::py {

namespace {

constexpr int kMaxReleaseDepth = 64;
constexpr std::size_t kFirstQueueCapacity = 64;

}  // namespace

namespace detail {

struct Queued {
  ReleaseFn fn;
  void* arg;
};

// The depth and the queue of this thread. Plain data, constant-initialised
// and trivially destroyed, so that an access is one thread-local address
// and no guard. The queue's storage exists only while a chain runs past the
// bound, and goes when the outermost release has emptied it, so no thread
// ends holding any.
struct ReleaseState {
  int depth;
  std::size_t size;
  std::size_t capacity;
  Queued* items;
};

}  // namespace detail

namespace {

using detail::Queued;
using detail::ReleaseState;

thread_local constinit ReleaseState t_release{};

bool push(ReleaseState& s, Queued q) noexcept {
  if (s.size == s.capacity) {
    const std::size_t capacity = s.capacity ? 2 * s.capacity : kFirstQueueCapacity;
    void* grown = std::realloc(s.items, capacity * sizeof(Queued));
    if (!grown) return false;
    s.items = static_cast<Queued*>(grown);
    s.capacity = capacity;
  }
  s.items[s.size++] = q;
  return true;
}

// Runs the queue, newest first, until it stays empty; the releases it runs
// may queue more.
void drain(ReleaseState& s) noexcept {
  while (s.size > 0) {
    Queued next = s.items[--s.size];
    next.fn(next.arg);
  }
  std::free(s.items);
  s.items = nullptr;
  s.capacity = 0;
}

}  // namespace

namespace detail {

ReleaseState* enter_release() noexcept {
  ReleaseState& s = t_release;
  if (s.depth >= kMaxReleaseDepth) return nullptr;
  ++s.depth;
  return &s;
}

void leave_release(ReleaseState* state) noexcept {
  ReleaseState& s = *state;
  if (s.depth == 1 && s.size > 0) drain(s);
  --s.depth;
}

}  // namespace detail

void release_bounded(ReleaseFn fn, void* arg) noexcept {
  if (ReleaseState* s = detail::enter_release()) {
    fn(arg);
    detail::leave_release(s);
    return;
  }
  if (push(t_release, {fn, arg})) return;
  fn(arg);  // no room for the queue: released in place
}

}  // namespace olvex::py
