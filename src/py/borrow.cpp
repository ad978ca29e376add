#include "py/borrow.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace olvex::py {

namespace {

// One process-wide wake-up for all flags: waits are rare and short, and a
// waiter whose flag is still taken goes back to sleep.
struct Waiters {
  std::mutex mu;
  std::condition_variable cv;
  std::uint64_t generation = 0;  // bumped by every wake-up
};

Waiters& waiters() {
  static Waiters* w = new Waiters();  // never freed: may be used at exit
  return *w;
}

// Naps are bounded so that signal handlers run on the main thread even
// when no release comes.
constexpr auto kNap = std::chrono::milliseconds(50);

}  // namespace

void wake_borrow_waiters() noexcept {
  Waiters& w = waiters();
  {
    std::lock_guard<std::mutex> lock(w.mu);
    ++w.generation;
  }
  w.cv.notify_all();
}

void wait_to_share(BorrowFlag& f) {
  while (!f.can_share()) {
    if (f.taken_here()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    Waiters& w = waiters();
    std::uint64_t seen;
    {
      std::lock_guard<std::mutex> lock(w.mu);
      seen = w.generation;
    }
    // Counted before the interpreter lock is let go: the holder can release
    // only after that, and then sees the count and wakes this thread.
    g_borrow_waiters.fetch_add(1, std::memory_order_relaxed);
    PyThreadState* saved = PyEval_SaveThread();
    {
      std::unique_lock<std::mutex> lock(w.mu);
      w.cv.wait_for(lock, kNap, [&] { return w.generation != seen; });
    }
    PyEval_RestoreThread(saved);
    g_borrow_waiters.fetch_sub(1, std::memory_order_relaxed);
    if (PyErr_CheckSignals() < 0) throw PyErrorSet{};
  }
}

}  // namespace olvex::py
