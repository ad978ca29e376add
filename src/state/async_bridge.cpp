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

// Runs on the loop: settles each (future, ok, value) of the batch in order,
// skipping a future that is already done (cancelled in the meantime). One
// future that cannot be settled does not keep the others waiting.
PyObject* settle(PyObject*, PyObject* batch) {
  const Py_ssize_t n = PyList_Size(batch);
  if (n < 0) throw py::PyErrorSet{};
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(batch, i);  // borrowed from the batch
    PyObject* fut = PyTuple_GetItem(item, 0);
    try {
      py::Ref done = py::call_method(fut, OLVEX_NAME(done));
      if (py::check(PyObject_IsTrue(done.get()))) continue;
      PyObject* method = PyTuple_GetItem(item, 1) == Py_True ? OLVEX_NAME(set_result) : OLVEX_NAME(set_exception);
      py::call_method(fut, method, PyTuple_GetItem(item, 2));
    } catch (const py::PyErrorSet&) {
      py::write_unraisable(fut);
    }
  }
  Py_RETURN_NONE;
}

PyMethodDef settle_def = {"_settle_receives",
                          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::tramp<settle>)), METH_O,
                          nullptr};

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

// The futures of one loop that one action completed, settled together.
struct Batch {
  py::Ref loop;
  py::Ref items;  // list of (future, ok, value)
};

// Hands every outcome to its loop: one thread-safe call per loop and action
// settles that loop's futures in the order their receives completed, so a
// publish that wakes many receives schedules one call, not one each.
void deliver(std::vector<support::AsyncOutcome>& outcomes) {
  constexpr std::size_t kFewLoops = 8;  // searched in turn; past that, by a map
  std::vector<Batch> batches;
  std::unordered_map<PyObject*, std::size_t> by_loop;
  auto batch_for = [&](PyObject* loop) -> Batch& {
    if (batches.size() <= kFewLoops) {
      for (Batch& b : batches) {
        if (b.loop.get() == loop) return b;
      }
    } else if (auto it = by_loop.find(loop); it != by_loop.end()) {
      return batches[it->second];
    }
    batches.push_back({py::Ref::borrow(loop), py::Ref::check(PyList_New(0))});
    if (batches.size() > kFewLoops) {
      for (std::size_t i = by_loop.size(); i < batches.size(); ++i) by_loop.emplace(batches[i].loop.get(), i);
    }
    return batches.back();
  };
  for (support::AsyncOutcome& o : outcomes) {
    auto it = pending().find(o.ticket);
    if (it == pending().end()) continue;  // cancelled
    const bool ok = std::holds_alternative<std::string>(o.outcome);
    py::Ref value = ok ? py::to_py(std::get<std::string>(o.outcome)) : exception_for(o.outcome);
    Batch& b = batch_for(it->second.loop.get());
    py::Ref item = py::Ref::check(PyTuple_Pack(3, it->second.future.get(), ok ? Py_True : Py_False, value.get()));
    py::check(PyList_Append(b.items.get(), item.get()));
    pending().erase(it);
  }
  for (Batch& b : batches) {
    PyObject* argv[] = {b.loop.get(), settle_function(), b.items.get()};
    py::Ref r = py::Ref::steal(PyObject_VectorcallMethod(OLVEX_NAME(call_soon_threadsafe), argv,
                                                         3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (r) continue;
    // A closed loop can no longer run anything; the outcomes have nowhere to go.
    if (PyErr_ExceptionMatches(PyExc_RuntimeError)) {
      PyErr_Clear();
    } else {
      py::write_unraisable(b.loop.get());
    }
  }
}

// Every action that can complete an asynchronous receive (a publish, the
// release of the last sender, a withdrawal, a blocking receive on the main
// thread stepping out to run signal handlers) runs with the interpreter
// lock held, so the sink runs under it too.
OLVEX_PASSES_FORCED_UNWIND void sink(std::vector<support::AsyncOutcome>& outcomes) {
  if (Py_IsFinalizing()) return;
  py::ErrorScope keep;
  try {
    deliver(outcomes);
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
