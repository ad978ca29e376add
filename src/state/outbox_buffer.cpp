#include "state/outbox_buffer.hpp"

#include <algorithm>
#include <iterator>
#include <type_traits>
#include <utility>

#include "py/trampoline.hpp"
#include "support/spare_slots.hpp"

namespace olvex::state {

namespace {

// Buffers given back, for the next transactions: each process run makes
// and drops one. Used with the interpreter lock held and no Python code
// running in between; kept for the process.
constexpr std::size_t kSpareMaxCapacity = 64;  // larger storage is given back

support::SpareSlots<OutboxRef, 4>& spare_buffers() {
  static auto* const spares = new support::SpareSlots<OutboxRef, 4>();
  return *spares;
}

}  // namespace

OutboxRef OutboxBuffer::create() {
  if (OutboxRef* kept = spare_buffers().take()) return std::move(*kept);
  return OutboxRef(py::make_native<OutboxBuffer>(outbox_buffer_type.get()));
}

void OutboxBuffer::recycle(OutboxRef buffer) noexcept {
  PyObject* object = buffer.object();
  if (!object || Py_REFCNT(object) != 1) return;
  auto& messages = buffer->messages_;
  if (messages.poisoned() || !messages.peek().empty() || messages.peek().capacity() > kSpareMaxCapacity) return;
  if (OutboxRef* slot = spare_buffers().give()) *slot = std::move(buffer);
}

void OutboxBuffer::append(OutboxMessage message) {
  messages_.with([&](std::vector<OutboxMessage>& list) { list.push_back(std::move(message)); });
}

std::size_t OutboxBuffer::size() {
  return messages_.with([](std::vector<OutboxMessage>& list) { return list.size(); });
}

std::vector<OutboxMessage> OutboxBuffer::copy_out() {
  return messages_.with([](std::vector<OutboxMessage>& list) { return list; });
}

std::vector<OutboxMessage> OutboxBuffer::take_all() {
  return messages_.with([](std::vector<OutboxMessage>& list) { return std::exchange(list, {}); });
}

void OutboxBuffer::move_all_into(OutboxBuffer& dest) {
  if (&dest == this) return;
  messages_.with([&](std::vector<OutboxMessage>& from) {
    if (from.empty()) return;
    dest.messages_.with([&](std::vector<OutboxMessage>& to) {
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
  messages_.with([&](std::vector<OutboxMessage>& list) {
    // Moves cannot throw, so a failed insert has changed nothing.
    list.insert(list.begin(), std::make_move_iterator(messages.begin()), std::make_move_iterator(messages.end()));
  });
}

int OutboxBuffer::visit_payloads(visitproc visit, void* arg) {
  // Without the lock (see Mutex::peek): no section runs Python code.
  for (const OutboxMessage& m : messages_.peek()) Py_VISIT(m.payload.get());
  return 0;
}

std::vector<OutboxMessage> OutboxBuffer::take_for_clear() noexcept {
  std::vector<OutboxMessage> out;
  if (!messages_.run_unless_poisoned([&](std::vector<OutboxMessage>& list) { out.swap(list); })) {
    out.swap(messages_.peek());  // a poisoned lock is not held: nobody is inside
  }
  return out;
}

int traverse_buffer_handle(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = py::Native<OutboxRef>::of(self);
  if (n->alive) Py_VISIT(n->value().object());
  return 0;
}

namespace {

using Instance = py::Native<OutboxBuffer>;

int buffer_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  return n->value().visit_payloads(visit, arg);
}

// Drops every message; the payloads are released after the unlock. The
// holders keep their references to the buffer, which stays usable.
int buffer_clear(PyObject* self) {
  auto* n = Instance::of(self);
  if (n->alive) {
    std::vector<OutboxMessage> dropped = n->value().take_for_clear();
  }
  return 0;
}

PyType_Slot buffer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<OutboxBuffer>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(buffer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(buffer_clear)},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    "olvex_core.OutboxBuffer",
    static_cast<int>(sizeof(Instance)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    buffer_slots,
};

}  // namespace

py::TypeCell outbox_buffer_type("OutboxBuffer", [] { return py::make_type(&buffer_spec); });

}  // namespace olvex::state
