#pragma once
// The outbox buffer: an ordered list of messages behind one mutex, shared by
// reference among every holder (engine, transaction, context, Outbox and
// OutboxCollector handles). Messages cross into and out of it as values: a
// copy of the topic text and a shared reference to the payload.
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "py/lock.hpp"
#include "py/ref.hpp"

namespace olvex::state {

// A shared reference to a payload object. Copies share one reference cell, so
// copying needs no interpreter lock; the object is released with the lock
// held (taken for the moment if need be) when the last copy goes.
class Payload {
 public:
  // Takes a new reference to `object` (borrowed). Needs the interpreter lock.
  static Payload hold(PyObject* object);

  // The payload object, borrowed from this reference.
  PyObject* get() const noexcept { return cell_->object; }
  // A new reference to the payload object. Needs the interpreter lock.
  py::Ref ref() const noexcept { return py::Ref::borrow(cell_->object); }

 private:
  struct Cell {
    explicit Cell(PyObject* o) noexcept : object(o) {}
    ~Cell();
    Cell(const Cell&) = delete;
    Cell& operator=(const Cell&) = delete;
    PyObject* object;  // owned
  };
  explicit Payload(std::shared_ptr<const Cell> cell) noexcept : cell_(std::move(cell)) {}
  std::shared_ptr<const Cell> cell_;
};

// One message value: the topic text and its payload.
struct OutboxMessage {
  std::string topic;
  Payload payload;
};

class OutboxBuffer;
using OutboxRef = std::shared_ptr<OutboxBuffer>;

// Every operation locks the buffer for its own length only and runs no
// Python code meanwhile, so it never waits on the interpreter lock. Messages
// leave through the return values, so their payloads are released after the
// mutex is let go. A poisoned mutex fails the call with the panic exception.
class OutboxBuffer {
 public:
  // A new, empty buffer.
  static OutboxRef create();

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

 private:
  py::Mutex<std::vector<OutboxMessage>> messages_;
};

}  // namespace olvex::state
