#pragma once
// The outbox buffer: an ordered list of messages behind one mutex, an
// internal object of its own that every holder (engine, transaction,
// context, Outbox and OutboxCollector handles) keeps one reference to. Each
// holder visits that reference for the cycle collector, and the buffer
// visits its messages' payloads, so every reference is visited once, by its
// owner. Messages cross into and out of it as values: a copy of the topic
// text and a reference to the payload.
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "py/lock.hpp"
#include "py/native.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"

namespace olvex::state {

// One message value: the topic text and its payload. Copying, moving out of
// and releasing one need the interpreter lock, as for any Ref.
struct OutboxMessage {
  std::string topic;
  py::Ref payload;  // never null
};

class OutboxBuffer;

// Not registered in the module: made on first use.
extern py::TypeCell outbox_buffer_type;

// A reference to one buffer object, used as a pointer to its buffer. Copies
// share the buffer; copying and releasing one need the interpreter lock.
class OutboxRef {
 public:
  OutboxRef() noexcept = default;

  OutboxBuffer* operator->() const noexcept { return &py::value_of<OutboxBuffer>(object_.get()); }
  OutboxBuffer& operator*() const noexcept { return py::value_of<OutboxBuffer>(object_.get()); }
  OutboxBuffer* get() const noexcept { return object_ ? operator->() : nullptr; }
  // The buffer object, borrowed: what a holder's traverse visits.
  PyObject* object() const noexcept { return object_.get(); }
  void reset() noexcept { object_.reset(); }

 private:
  friend class OutboxBuffer;
  explicit OutboxRef(py::Ref object) noexcept : object_(std::move(object)) {}
  py::Ref object_;
};

// tp_traverse of a handle whose value is an OutboxRef (Outbox,
// OutboxCollector). Handles have no clear: every cycle through one runs
// through its buffer, whose clear breaks it, and the handle stays usable.
int traverse_buffer_handle(PyObject* self, visitproc visit, void* arg);

// Every operation locks the buffer for its own length only and runs no
// Python code meanwhile, so it never waits on the interpreter lock. Messages
// leave through the return values, so their payloads are released after the
// mutex is let go. A poisoned mutex fails the call with the panic exception.
class OutboxBuffer {
 public:
  // A new, empty buffer: one given back by recycle when there is one.
  static OutboxRef create();
  // Lets go of `buffer`, keeping it for a later create() when nothing else
  // refers to it and it is empty and not poisoned (it is then as good as
  // new, and nobody can tell it from a new one).
  static void recycle(OutboxRef buffer) noexcept;

  OutboxBuffer() = default;
  OutboxBuffer(const OutboxBuffer&) = delete;
  OutboxBuffer& operator=(const OutboxBuffer&) = delete;

  // Appends one message at the end.
  void append(OutboxMessage message);
  // The number of buffered messages.
  std::size_t size();
  // A copy of every message, oldest first; the buffer is unchanged.
  std::vector<OutboxMessage> copy_out();
  // Every message, oldest first, leaving the buffer empty.
  std::vector<OutboxMessage> take_all();
  // Appends every message of this buffer to `dest`, in order, after those
  // already there, leaving this buffer empty. Locks this buffer first, then
  // `dest`. Moving a buffer into itself changes nothing.
  void move_all_into(OutboxBuffer& dest);
  // Puts messages that were taken out back at the front, in their order,
  // ahead of every message added since; they are moved out of `messages`.
  // When there is no room (std::bad_alloc) nothing changes on either side.
  void put_back(std::span<OutboxMessage> messages);

  // For the buffer object's traverse and clear.
  int visit_payloads(visitproc visit, void* arg);
  std::vector<OutboxMessage> take_for_clear() noexcept;

 private:
  py::Mutex<std::vector<OutboxMessage>> messages_;
};

}  // namespace olvex::state
