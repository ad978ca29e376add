#include <utility>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"
#include "state/outbox.hpp"

namespace olvex::state {

namespace {

// Messages are immutable once built: no method ever takes the object
// exclusively, so the readers need no borrow.
PyObject* msg_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<2> params{"OutboxMsg.__new__", {"topic", "payload"}, 2};
  auto [topic, payload] = params.bind(args, kwargs);
  std::string_view text = py::arg_str(topic, "topic");
  OutboxMessage message{std::string(text), py::Ref::borrow(payload)};
  return py::make_kept<OutboxMessage>(reinterpret_cast<PyObject*>(type), std::move(message)).release();
}

PyObject* msg_topic(PyObject* self, void*) { return py::to_py(py::value_of<OutboxMessage>(self).topic).release(); }

PyObject* msg_payload(PyObject* self, void*) {
  return py::Ref(py::value_of<OutboxMessage>(self).payload).release();
}

// The payload is the one reference a message holds.
int msg_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = py::Native<OutboxMessage>::of(self);
  if (n->alive) Py_VISIT(n->value().payload.get());
  return 0;
}

// None keeps the payload non-null for anything that still reaches the message.
int msg_clear(PyObject* self) {
  auto* n = py::Native<OutboxMessage>::of(self);
  if (n->alive) {
    py::Ref old = std::exchange(n->value().payload, py::none());
  }
  return 0;
}

PyGetSetDef msg_getset[] = {
    {"topic", py::tramp<msg_topic>, nullptr, nullptr, nullptr},
    {"payload", py::tramp<msg_payload>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot msg_slots[] = {
    {Py_tp_doc, const_cast<char*>("OutboxMsg(topic, payload)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<msg_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_kept<OutboxMessage>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(msg_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(msg_clear)},
    {Py_tp_getset, msg_getset},
    {0, nullptr},
};

PyType_Spec msg_spec = {
    "olvex_core.OutboxMsg",
    static_cast<int>(sizeof(py::Native<OutboxMessage>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    msg_slots,
};

}  // namespace

py::TypeCell outbox_msg_type("OutboxMsg", [] { return py::make_type(&msg_spec); });

// Always newly allocated: a batch handed out makes more messages than are
// kept, and a failure to make one must leave it in the buffer.
py::Ref outbox_msg_object(OutboxMessage message) {
  return py::make_native<OutboxMessage>(outbox_msg_type.get(), std::move(message));
}

py::Ref outbox_msg_list(const std::vector<OutboxMessage>& messages) {
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(messages.size())));
  Py_ssize_t i = 0;
  for (const OutboxMessage& m : messages) {
    py::Ref item = outbox_msg_object(m);
    py::check(PyList_SetItem(list.get(), i++, item.release()));  // steals the item
  }
  return list;
}

OutboxMessage message_from_arg(PyObject* object, const char* arg) {
  PyObject* type = outbox_msg_type.get();
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) py::raise_arg_type(arg, object, "OutboxMsg");
  return py::value_of<OutboxMessage>(object);
}

}  // namespace olvex::state
