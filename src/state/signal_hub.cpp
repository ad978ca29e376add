#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"
#include "state/signals.hpp"

namespace olvex::state {

using support::Sender;

namespace {

PyObject* hub_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  py::bind_none_tuple("SignalHub.__new__", args, kwargs);
  return py::make_native<Sender>(type, new_channel()).release();
}

PyObject* hub_publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SignalHub.publish", {"msg"}, 1};
  auto [msg] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(py::flag_of<Sender>(self));
  std::string_view text = py::arg_str(msg, "msg");
  std::size_t n = py::value_of<Sender>(self).send(text);
  return py::to_py_size(n).release();
}

PyObject* hub_subscribe(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(py::flag_of<Sender>(self));
  return receiver_object_for(py::value_of<Sender>(self).subscribe()).release();
}

PyMethodDef hub_methods[] = {
    {"publish", py::method<hub_publish>(), METH_FASTCALL | METH_KEYWORDS, "publish($self, msg)\n--\n\n"},
    {"subscribe", py::method<hub_subscribe>(), METH_NOARGS, "subscribe($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hub_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<hub_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<Sender>>)},
    {Py_tp_methods, hub_methods},
    {0, nullptr},
};

PyType_Spec hub_spec = {
    "olvex_core.SignalHub",
    static_cast<int>(sizeof(py::Native<Sender>)),
    0,
    Py_TPFLAGS_DEFAULT,
    hub_slots,
};

}  // namespace

py::TypeCell signal_hub_type("SignalHub", [] { return py::make_type(&hub_spec); });

Sender new_channel() { return Sender::create(100); }

py::Ref hub_object_for(const Sender& sender) {
  return py::make_native<Sender>(signal_hub_type.get(), Sender(sender));
}

void broadcast(const Sender& sender, std::string_view message) { sender.send(message); }

}  // namespace olvex::state
