#include <unistd.h>

#include <chrono>
#include <exception>
#include <optional>

#include "py/names.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"
#include "py/unwind.hpp"
#include "state/async_bridge.hpp"
#include "state/signals.hpp"

namespace olvex::state {

using Cell = std::shared_ptr<support::ReceiverCell>;

namespace {

// Signal handlers run only on the main thread, so only a receive there
// steps out of its wait now and then to let them run. The runtime itself
// names that thread (threading need not have been imported); when it cannot
// be asked, the receive steps out anyway, which off the main thread runs no
// handler and costs only the wake-ups.
bool on_main_thread() {
  static PyObject* main_ident = nullptr;  // _thread._get_main_thread_ident, kept for the process
  if (!main_ident) {
    py::Ref thread = py::Ref::steal(PyImport_ImportModule("_thread"));
    if (thread) main_ident = PyObject_GetAttr(thread.get(), OLVEX_NAME(_get_main_thread_ident));
    if (!main_ident) {
      PyErr_Clear();
      return true;
    }
  }
  py::Ref ident = py::Ref::steal(PyObject_CallNoArgs(main_ident));
  unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  return id == PyThread_get_thread_ident();
}

constexpr std::chrono::milliseconds kSignalCheckSlice{50};

// Takes the interpreter lock back every slice and runs the signal handlers.
// When one raises, the lock stays taken: the receive is given up (it takes
// nothing, so a message that arrived meanwhile stays for the next receive)
// and the handler's exception goes to the caller.
struct SignalBreak final : support::WaitBreak {
  PyThreadState* ts = nullptr;
  bool holding = false;  // this thread has the interpreter lock back

  bool give_up() override {
    if (Py_IsFinalizing()) return false;
    PyEval_RestoreThread(ts);
    holding = true;
    return PyErr_CheckSignals() < 0;
  }
  void resume() override {
    if (!holding) return;
    ts = PyEval_SaveThread();
    holding = false;
  }
};

OLVEX_PASSES_FORCED_UNWIND PyObject* receiver_recv(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(py::flag_of<Cell>(self));
  Cell cell = py::value_of<Cell>(self);
  support::RecvOutcome outcome;
  if (cell->try_recv(outcome)) return outcome_to_python(std::move(outcome)).release();

  SignalBreak brk;
  const bool interruptible = on_main_thread();
  std::optional<support::RecvOutcome> got;
  std::exception_ptr failure;
  brk.ts = PyEval_SaveThread();
  try {
    got = interruptible ? cell->recv_blocking(brk, kSignalCheckSlice) : cell->recv_blocking();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  if (!brk.holding) {
    if (Py_IsFinalizing()) {
      // The interpreter is going away under this thread: taking the lock
      // back would touch a dead interpreter, so the thread parks until the
      // process ends.
      for (;;) pause();
    }
    PyEval_RestoreThread(brk.ts);
  }
  if (failure) std::rethrow_exception(failure);
  if (!got) throw py::PyErrorSet{};  // a signal handler raised
  return outcome_to_python(std::move(*got)).release();
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
