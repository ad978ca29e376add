#include "engine/outbox_collector.hpp"

#include <cxxabi.h>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"
#include "state/outbox.hpp"

namespace olvex::engine {

namespace {

using state::OutboxMessage;
using state::OutboxRef;

OutboxRef& buffer_of(PyObject* self) noexcept { return py::value_of<OutboxRef>(self); }

PyObject* collector_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"OutboxCollector.add", {"msg"}, 1};
  auto [msg] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(py::flag_of<OutboxRef>(self));
  buffer_of(self)->append(state::message_from_arg(msg, "msg"));
  return py::none().release();
}

PyObject* collector_drain(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(py::flag_of<OutboxRef>(self));
  std::vector<OutboxMessage> taken = buffer_of(self)->take_all();
  try {
    return state::outbox_msg_list(taken).release();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    // The list could not be made: nothing was handed out, so the messages
    // go back ahead of any added meanwhile.
    buffer_of(self)->put_back(taken);
    throw;
  }
}

PyObject* collector_len(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(py::flag_of<OutboxRef>(self));
  return py::to_py_size(buffer_of(self)->size()).release();
}

PyMethodDef collector_methods[] = {
    {"add", py::method<collector_add>(), METH_FASTCALL | METH_KEYWORDS, "add($self, msg)\n--\n\n"},
    {"drain", py::method<collector_drain>(), METH_NOARGS,
     "drain($self)\n--\n\n[v3.3] Drain all messages from the buffer for Python-side flush"},
    {"len", py::method<collector_len>(), METH_NOARGS, "len($self)\n--\n\n[v3.3] Get current message count"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot collector_slots[] = {
    {Py_tp_doc, const_cast<char*>("Helper to collect outbox messages in Transaction")},
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_kept<OutboxRef>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(state::traverse_buffer_handle)},
    {Py_tp_methods, collector_methods},
    {0, nullptr},
};

PyType_Spec collector_spec = {
    "olvex_core.OutboxCollector",
    static_cast<int>(sizeof(py::Native<OutboxRef>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    collector_slots,
};

}  // namespace

py::TypeCell outbox_collector_type("OutboxCollector", [] { return py::make_type(&collector_spec); });

py::Ref collector_for(state::OutboxRef buffer) {
  return py::make_kept<state::OutboxRef>(outbox_collector_type.get(), std::move(buffer));
}

}  // namespace olvex::engine
