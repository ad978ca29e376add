#include <fmt/format.h>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/output.hpp"
#include "py/trampoline.hpp"
#include "state/outbox.hpp"

namespace olvex::state {

namespace {

PyObject* outbox_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  py::bind_none_tuple("Outbox.__new__", args, kwargs);
  return py::make_native<OutboxRef>(type, OutboxBuffer::create()).release();
}

PyObject* outbox_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"Outbox.add", {"msg"}, 1};
  auto [msg] = params.bind(args, nargs, kwnames);
  py::ExclusiveBorrow borrow(py::flag_of<OutboxRef>(self));
  OutboxMessage message = message_from_arg(msg, "msg");
  py::write_raw(2, fmt::format("DEBUG: Outbox::add topic={}\n", message.topic));
  py::value_of<OutboxRef>(self)->append(std::move(message));
  return py::none().release();
}

PyObject* outbox_messages(PyObject* self, void*) {
  std::vector<OutboxMessage> snapshot;
  {
    py::SharedBorrow borrow(py::flag_of<OutboxRef>(self));
    snapshot = py::value_of<OutboxRef>(self)->copy_out();
  }
  return outbox_msg_list(snapshot).release();
}

PyMethodDef outbox_methods[] = {
    {"add", py::method<outbox_add>(), METH_FASTCALL | METH_KEYWORDS, "add($self, msg)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef outbox_getset[] = {
    {"messages", py::tramp<outbox_messages>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot outbox_slots[] = {
    {Py_tp_doc, const_cast<char*>("Outbox()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<outbox_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<OutboxRef>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_buffer_handle)},
    {Py_tp_methods, outbox_methods},
    {Py_tp_getset, outbox_getset},
    {0, nullptr},
};

PyType_Spec outbox_spec = {
    "olvex_core.Outbox",
    static_cast<int>(sizeof(py::Native<OutboxRef>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    outbox_slots,
};

}  // namespace

py::TypeCell outbox_type("Outbox", [] { return py::make_type(&outbox_spec); });

py::Ref outbox_object_for(OutboxRef buffer) {
  return py::make_native<OutboxRef>(outbox_type.get(), std::move(buffer));
}

}  // namespace olvex::state
