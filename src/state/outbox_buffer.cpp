#include "state/outbox_buffer.hpp"

#include <algorithm>
#include <exception>
#include <iterator>
#include <type_traits>
#include <utility>

#include "py/release.hpp"
#include "py/unwind.hpp"

namespace olvex::state {

Payload Payload::hold(PyObject* object) {
  auto cell = std::make_shared<const Cell>(object);  // may throw: take the reference after
  Py_INCREF(object);
  return Payload(std::move(cell));
}

Payload::Cell::~Cell() {
  // The last copy may go on a thread that does not hold the interpreter
  // lock. Once the interpreter is gone, or going away under a thread that
  // has no current state there (asking for the lock would end the thread),
  // the reference is left to the process end.
  if (!Py_IsInitialized() || !py::may_release()) return;
  // A payload can be a message whose payload is a message, and so on.
  PyGILState_STATE gil = PyGILState_Ensure();
  py::release_ref(object);
  PyGILState_Release(gil);
}

namespace {

// Runs `f` on the locked list. Only operations that leave the list as it was
// when they throw (an allocation failure) come through here, so such a
// failure is passed on after the unlock and does not poison the mutex.
template <class M, class F>
OLVEX_PASSES_FORCED_UNWIND auto locked(M& mutex, F&& f) {
  std::exception_ptr failure;
  {
    auto list = mutex.lock();
    try {
      return f(*list);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      failure = std::current_exception();
    }
  }
  std::rethrow_exception(failure);
}

}  // namespace

OutboxRef OutboxBuffer::create() { return std::make_shared<OutboxBuffer>(); }

void OutboxBuffer::append(OutboxMessage message) {
  locked(messages_, [&](std::vector<OutboxMessage>& list) { list.push_back(std::move(message)); });
}

std::size_t OutboxBuffer::size() {
  return locked(messages_, [](std::vector<OutboxMessage>& list) { return list.size(); });
}

std::vector<OutboxMessage> OutboxBuffer::copy_out() {
  return locked(messages_, [](std::vector<OutboxMessage>& list) { return list; });
}

std::vector<OutboxMessage> OutboxBuffer::take_all() {
  return locked(messages_, [](std::vector<OutboxMessage>& list) { return std::exchange(list, {}); });
}

void OutboxBuffer::move_all_into(OutboxBuffer& dest) {
  if (&dest == this) return;
  locked(messages_, [&](std::vector<OutboxMessage>& from) {
    if (from.empty()) return;
    locked(dest.messages_, [&](std::vector<OutboxMessage>& to) {
      // Reserving is the only step that can fail; the moves cannot. Growth
      // is geometric, so many small moves into one buffer stay linear.
      const std::size_t needed = to.size() + from.size();
      if (needed > to.capacity()) to.reserve(std::max(needed, 2 * to.capacity()));
      for (OutboxMessage& m : from) to.push_back(std::move(m));
    });
    from.clear();  // moved-from husks: no payload left to release here
  });
}

static_assert(std::is_nothrow_move_constructible_v<OutboxMessage> && std::is_nothrow_move_assignable_v<OutboxMessage>,
              "put_back relies on moves that cannot fail");

void OutboxBuffer::put_back(std::span<OutboxMessage> messages) {
  if (messages.empty()) return;
  locked(messages_, [&](std::vector<OutboxMessage>& list) {
    // Moves cannot throw, so a failed insert has changed nothing.
    list.insert(list.begin(), std::make_move_iterator(messages.begin()), std::make_move_iterator(messages.end()));
  });
}

}  // namespace olvex::state
