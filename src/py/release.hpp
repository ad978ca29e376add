#pragma once
// Bounded-depth release. Releasing one object can release another that it
// holds, and so on down a chain (a State kept in a later State's data, a
// proxy over a proxy, a message whose payload is a message), recursing once
// per link. Past a fixed depth a release is queued instead and run by the
// outermost release on this thread, so a chain of any length is released in
// bounded stack. All kinds share one depth and one queue, so mixed chains
// are bounded too; every module object's deallocation takes part
// (dealloc_native), so the bound holds however a value drops what it
// holds. Every release runs with the interpreter lock held; the
// queued ones run before the outermost release returns, so still under it.
#include <new>
#include <utility>

#include "py/python.hpp"

namespace olvex::py {

using ReleaseFn = void (*)(void*) noexcept;

// Runs fn(arg) now, or queues it when the releases already running on this
// thread are too deep. Without room for the queue it runs at once.
void release_bounded(ReleaseFn fn, void* arg) noexcept;

namespace detail {
// This thread's depth and queue.
struct ReleaseState;
// enter_release() counts one more release running on this thread and
// answers the thread's state, or answers null (counting nothing) when the
// release is to be queued; leave_release(state) ends a counted one, running
// the queue when it was the outermost. The state is handed back so that a
// release looks up the thread's state once.
ReleaseState* enter_release() noexcept;
void leave_release(ReleaseState* state) noexcept;
}  // namespace detail

// Drops one reference (null is ignored).
inline void release_ref(PyObject* o) noexcept {
  if (!o) return;
  release_bounded([](void* p) noexcept { Py_DECREF(static_cast<PyObject*>(p)); }, o);
}

// Destroys the value that `value` holds (leaving it moved from), at once or
// queued as above.
template <class T>
void release_value(T& value) noexcept {
  if (detail::ReleaseState* state = detail::enter_release()) {
    { T dying(std::move(value)); }
    detail::leave_release(state);
    return;
  }
  if (T* queued = new (std::nothrow) T(std::move(value))) {
    release_bounded([](void* p) noexcept { delete static_cast<T*>(p); }, queued);
  } else {
    T dying(std::move(value));  // no room to queue it: released in place
  }
}

}  // namespace olvex::py
