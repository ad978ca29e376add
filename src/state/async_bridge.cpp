#include "state/async_bridge.hpp"

#include <fmt/format.h>

#include <unordered_map>

#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/names.hpp"
#include "py/trampoline.hpp"
#include "py/unwind.hpp"

namespace olvex::state {

using support::RecvOutcome;

namespace {

struct Pending {
  std::shared_ptr<support::ReceiverCell> cell;
  py::Ref loop;
  py::Ref future;
};

// Receives waiting for an outcome, by ticket. Touched only with the
// interpreter lock held; never freed, so nothing is released after the
// interpreter has gone.
std::unordered_map<std::uint64_t, Pending>& pending() {
  static auto* map = new std::unordered_map<std::uint64_t, Pending>();
  return *map;
}
std::uint64_t g_next_ticket = 1;

// Runs on the loop: sets the outcome unless the future is already done
// (cancelled in the meantime).
PyObject* settle(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) py::raise(PyExc_TypeError, "settle() takes 3 arguments");
  PyObject* fut = args[0];
  py::Ref done = py::call_method(fut, OLVEX_NAME(done));
  int is_done = py::check(PyObject_IsTrue(done.get()));
  if (is_done) Py_RETURN_NONE;
  PyObject* method = PyObject_IsTrue(args[1]) ? OLVEX_NAME(set_result) : OLVEX_NAME(set_exception);
  py::call_method(fut, method, args[2]);
  Py_RETURN_NONE;
}

PyMethodDef settle_def = {"_settle_receive", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::tramp<settle>)),
                          METH_FASTCALL, nullptr};

PyObject* settle_function() {
  static PyObject* f = py::check(PyCFunction_NewEx(&settle_def, nullptr, nullptr));
  return f;
}

// An exception instance for an outcome that is not a message.
py::Ref exception_for(const RecvOutcome& outcome) {
  if (std::holds_alternative<support::Closed>(outcome)) {
    return py::call(PyExc_StopAsyncIteration, py::Ref::check(PyUnicode_FromString("Channel Closed")).get());
  }
  auto missed = std::get<support::Lagged>(outcome).missed;
  std::string msg = fmt::format("Channel Lagged: missed {} messages", missed);
  py::Ref text = py::Ref::check(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
  return py::call(PyExc_RuntimeError, text.get());
}

void deliver(std::uint64_t ticket, RecvOutcome&& outcome) {
  auto it = pending().find(ticket);
  if (it == pending().end()) return;  // cancelled
  Pending p = std::move(it->second);
  pending().erase(it);
  py::Ref value;
  bool ok = std::holds_alternative<std::string>(outcome);
  if (ok) {
    value = py::to_py(std::get<std::string>(outcome));
  } else {
    value = exception_for(outcome);
  }
  PyObject* argv[] = {p.loop.get(), settle_function(), p.future.get(), ok ? Py_True : Py_False, value.get()};
  PyObject* r = PyObject_VectorcallMethod(OLVEX_NAME(call_soon_threadsafe), argv,
                                          5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!r) {
    // A closed loop can no longer run anything; the outcome has nowhere to go.
    if (PyErr_ExceptionMatches(PyExc_RuntimeError)) {
      PyErr_Clear();
    } else {
      throw py::PyErrorSet{};
    }
  }
  Py_XDECREF(r);
}

// Every action that can complete an asynchronous receive (a publish, the
// release of the last sender, a cancellation) runs with the interpreter
// lock held, so the sink runs under it too; a blocked recv() only waits and
// never completes another receive itself.
OLVEX_PASSES_FORCED_UNWIND void sink(std::uint64_t ticket, RecvOutcome&& outcome) {
  if (Py_IsFinalizing()) return;
  py::ErrorScope keep;
  try {
    deliver(ticket, std::move(outcome));
  } catch (abi::__forced_unwind&) {
    // This thread is being ended at exit while the loop call ran: it has no
    // state left, so nothing may be reported; the unwinding goes on.
    throw;
  } catch (...) {
    py::translate_current_exception();
    py::write_unraisable(nullptr);
  }
}

// The future's done-callback: a cancelled receive leaves its queue and
// takes nothing.
PyObject* on_done(PyObject* ticket_obj, PyObject* future) {
  py::Ref cancelled = py::call_method(future, OLVEX_NAME(cancelled));
  if (!PyObject_IsTrue(cancelled.get())) Py_RETURN_NONE;
  std::uint64_t ticket = PyLong_AsUnsignedLongLong(ticket_obj);
  auto it = pending().find(ticket);
  if (it == pending().end()) Py_RETURN_NONE;
  Pending p = std::move(it->second);
  pending().erase(it);
  p.cell->cancel(ticket);
  Py_RETURN_NONE;
}

PyMethodDef on_done_def = {"_receive_done", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::tramp<on_done>)),
                           METH_O, nullptr};

void install_sink() {
  static bool installed = [] {
    support::set_async_sink(&sink);
    return true;
  }();
  (void)installed;
}

}  // namespace

py::Ref start_async_receive(std::shared_ptr<support::ReceiverCell> cell) {
  install_sink();
  py::Ref asyncio = py::Ref::check(PyImport_ImportModule("asyncio"));
  py::Ref loop = py::call_method(asyncio.get(), OLVEX_NAME(get_running_loop));
  py::Ref future = py::call_method(loop.get(), OLVEX_NAME(create_future));
  std::uint64_t ticket = g_next_ticket++;
  py::Ref ticket_obj = py::Ref::check(PyLong_FromUnsignedLongLong(ticket));
  py::Ref callback = py::Ref::check(PyCFunction_NewEx(&on_done_def, ticket_obj.get(), nullptr));
  py::call_method(future.get(), OLVEX_NAME(add_done_callback), callback.get());
  pending().emplace(ticket, Pending{cell, loop, future});
  cell->recv_async(ticket);
  return future;
}

py::Ref outcome_to_python(RecvOutcome&& outcome) {
  if (auto* s = std::get_if<std::string>(&outcome)) return py::to_py(*s);
  py::Ref exc = exception_for(outcome);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  throw py::PyErrorSet{};
}

}  // namespace olvex::state
