#include <unistd.h>

#include <chrono>
#include <exception>
#include <optional>

#include "py/names.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"
#include "state/async_bridge.hpp"
#include "state/signals.hpp"

namespace olvex::state {

using Cell = std::shared_ptr<support::ReceiverCell>;

namespace {

// Signal handlers run only on the main thread, so only a receive there
// wakes now and then to let Ctrl-C through.
bool on_main_thread() {
  PyObject* threading = PyImport_GetModule(OLVEX_NAME(threading));
  if (!threading) {
    PyErr_Clear();
    return false;
  }
  py::Ref keep = py::Ref::steal(threading);
  PyObject* main = PyObject_CallMethodObjArgs(threading, OLVEX_NAME(main_thread), nullptr);
  py::Ref main_ref = py::Ref::steal(main);
  py::Ref ident = main ? py::Ref::steal(PyObject_GetAttr(main, OLVEX_NAME(ident))) : py::Ref();
  if (!ident) {
    PyErr_Clear();
    return false;
  }
  unsigned long id = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return id == PyThread_get_thread_ident();
}

constexpr std::chrono::milliseconds kSignalCheckSlice{50};

PyObject* receiver_recv(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(py::flag_of<Cell>(self));
  Cell cell = py::value_of<Cell>(self);
  support::RecvOutcome outcome;
  if (cell->try_recv(outcome)) return outcome_to_python(std::move(outcome)).release();

  const bool interruptible = on_main_thread();
  bool interrupted = false;
  std::exception_ptr failure;
  PyThreadState* ts = PyEval_SaveThread();
  try {
    if (interruptible) {
      auto abort = [&] {
        if (Py_IsFinalizing()) return false;
        PyEval_RestoreThread(ts);
        interrupted = PyErr_CheckSignals() < 0;
        ts = PyEval_SaveThread();
        return interrupted;
      };
      std::optional<support::RecvOutcome> got = cell->recv_blocking(abort, kSignalCheckSlice);
      if (got) {
        outcome = std::move(*got);
        interrupted = false;  // the message arrived first; a pending signal is seen later
      }
    } else {
      outcome = cell->recv_blocking();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (Py_IsFinalizing()) {
    // The interpreter is going away under this thread: taking the lock
    // back would touch a dead interpreter, so the thread parks until the
    // process ends.
    for (;;) pause();
  }
  PyEval_RestoreThread(ts);
  if (failure) std::rethrow_exception(failure);
  if (interrupted) throw py::PyErrorSet{};
  return outcome_to_python(std::move(outcome)).release();
}

PyObject* receiver_recv_async(PyObject* self, PyObject*) {
  Cell cell;
  {
    py::SharedBorrow borrow(py::flag_of<Cell>(self));
    cell = py::value_of<Cell>(self);
  }
  return start_async_receive(std::move(cell)).release();
}

PyMethodDef receiver_methods[] = {
    {"recv", py::method<receiver_recv>(), METH_NOARGS,
     "recv($self)\n--\n\nBlocking receive. intended to be called via asyncio.to_thread()"},
    {"recv_async", py::method<receiver_recv_async>(), METH_NOARGS,
     "recv_async($self)\n--\n\n"
     "Non-blocking async receive. Returns Python awaitable that can be cancelled.\n"
     "\n"
     "Example:\n"
     "    msg = await rx.recv_async()\n"
     "\n"
     "    # with a time limit\n"
     "    msg = await asyncio.wait_for(rx.recv_async(), timeout=5.0)\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot receiver_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<Cell>>)},
    {Py_tp_methods, receiver_methods},
    {0, nullptr},
};

PyType_Spec receiver_spec = {
    "olvex_core.SignalReceiver",
    static_cast<int>(sizeof(py::Native<Cell>)),
    0,
    Py_TPFLAGS_DEFAULT,
    receiver_slots,
};

}  // namespace

py::TypeCell signal_receiver_type("SignalReceiver", [] { return py::make_type(&receiver_spec); });

py::Ref receiver_object_for(Cell cell) { return py::make_native<Cell>(signal_receiver_type.get(), std::move(cell)); }

}  // namespace olvex::state
