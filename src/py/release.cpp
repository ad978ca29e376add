#include "py/release.hpp"

#include <vector>

namespace olvex::py {

namespace {

constexpr int kMaxReleaseDepth = 64;

struct Queued {
  ReleaseFn fn;
  void* arg;
};

thread_local int t_depth = 0;
thread_local std::vector<Queued> t_queue;

}  // namespace

namespace detail {

bool enter_release() noexcept {
  if (t_depth >= kMaxReleaseDepth) return false;
  ++t_depth;
  return true;
}

void leave_release() noexcept {
  if (t_depth == 1) {
    while (!t_queue.empty()) {
      Queued next = t_queue.back();
      t_queue.pop_back();
      next.fn(next.arg);
    }
  }
  --t_depth;
}

}  // namespace detail

void release_bounded(ReleaseFn fn, void* arg) noexcept {
  if (!detail::enter_release()) {
    try {
      t_queue.push_back({fn, arg});
      return;
    } catch (const std::bad_alloc&) {
      // No room for the queue: released in place.
    }
    fn(arg);
    return;
  }
  fn(arg);
  detail::leave_release();
}

}  // namespace olvex::py
