// The run: execute walks the steps, hands process names to the executor,
// waits for the coroutines that processes return on the context's loop and
// counts every operation against the budget; execute_async runs the same
// walk on one of asyncio's worker threads.
#include <cxxabi.h>
#include <fmt/format.h>

#include "flux/engine.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"

namespace olvex::flux {

using py::Ref;
namespace sflux = support::flux;

PyObject* kept_attr(PyObject*& slot, const char* module, const char* name) {
  if (!slot) {
    Ref m = Ref::check(PyImport_ImportModule(module));
    PyObject* value = name ? py::check(PyObject_GetAttrString(m.get(), name)) : Ref(m).release();
    if (slot) {
      Py_DECREF(value);
    } else {
      slot = value;
    }
  }
  return slot;
}

Ref import_asyncio() {
  // The builtin __import__ as it was at first use; when the frame's
  // builtins still hold it, the import machinery is entered directly, as
  // the import statement does.
  static PyObject* slot = nullptr;
  PyObject* original = kept_attr(slot, "builtins", "__import__");
  Ref builtins = Ref::check(PyEval_GetFrameBuiltins());
  PyObject* found = nullptr;
  py::check(PyDict_GetItemRef(builtins.get(), OLVEX_NAME(__import__), &found));
  Ref import = Ref::steal(found);
  if (!import) py::raise(PyExc_ImportError, "__import__ not found");
  if (import.get() == original) {
    return Ref::check(PyImport_ImportModuleLevelObject(OLVEX_NAME(asyncio), nullptr, nullptr, nullptr, 0));
  }
  Ref globals = Ref::steal(PyEval_GetFrameGlobals());
  if (PyErr_Occurred()) throw py::PyErrorSet{};
  PyObject* g = globals ? globals.get() : Py_None;
  Ref level = Ref::check(PyLong_FromLong(0));
  return py::call(import.get(), OLVEX_NAME(asyncio), g, g, Py_None, level.get());
}

namespace {

// The running loop of this thread as the event loop itself records it,
// read past whatever the module a step imported says.
Ref running_loop() {
  static PyObject* slot = nullptr;
  return py::call(kept_attr(slot, "_asyncio", "_get_running_loop"));
}

// asyncio.iscoroutine(None) spends most of a process step in an ABC
// instance check, and executors mostly return None. Its answer can change
// only when an ABC registration moves abc's cache token or asyncio's own
// type cache gains NoneType, so while the module's function is asyncio's own
// and neither has happened, the last answer for None stands; anything else
// is asked of the function itself.
class NoneAnswer {
 public:
  bool ask(PyObject* iscoroutine) {
    if (iscoroutine != stock()) return call(iscoroutine);
    Ref token = py::call(token_fn_);
    if (known_) {
      int in_cache = py::check(PySet_Contains(typecache_, reinterpret_cast<PyObject*>(Py_TYPE(Py_None))));
      int same = py::check(PyObject_RichCompareBool(token.get(), token_, Py_EQ));
      if (!in_cache && same) return answer_;
    }
    bool answer = call(iscoroutine);
    PyObject* old = token_;
    token_ = token.release();
    Py_XDECREF(old);
    answer_ = answer;
    known_ = true;
    return answer;
  }

  // Lives as long as the process (never destroyed: it holds Python objects).
  static NoneAnswer& get() {
    static NoneAnswer one;  // constant-initialised: no guard, no destructor work
    return one;
  }

 private:
  // asyncio's own function, or null when this asyncio lacks what the
  // shortcut relies on (then the function is always asked).
  PyObject* stock() {
    if (!tried_) {
      try {
        PyObject* f = kept_attr(stock_, "asyncio.coroutines", "iscoroutine");
        kept_attr(typecache_, "asyncio.coroutines", "_iscoroutine_typecache");
        kept_attr(token_fn_, "abc", "get_cache_token");
        usable_ = f && PySet_Check(typecache_);
      } catch (const py::PyErrorSet&) {
        PyErr_Clear();
      }
      tried_ = true;
    }
    return usable_ ? stock_ : nullptr;
  }

  static bool call(PyObject* iscoroutine) {
    Ref answer = py::call(iscoroutine, Py_None);
    return py::check(PyObject_IsTrue(answer.get())) != 0;
  }

  bool tried_ = false;
  bool usable_ = false;
  PyObject* stock_ = nullptr;
  PyObject* typecache_ = nullptr;
  PyObject* token_fn_ = nullptr;
  bool known_ = false;
  bool answer_ = false;
  PyObject* token_ = nullptr;  // abc's cache token when answer_ was given
};

bool is_coroutine(PyObject* asyncio, PyObject* result) {
  Ref iscoroutine = Ref::check(PyObject_GetAttr(asyncio, OLVEX_NAME(iscoroutine)));
  if (result == Py_None) return NoneAnswer::get().ask(iscoroutine.get());
  Ref answer = py::call(iscoroutine.get(), result);
  return py::check(PyObject_IsTrue(answer.get())) != 0;
}

class Run {
 public:
  Run(EngineData& e, PyObject* ctx, PyObject* executor)
      : e_(e), ctx_(ctx), executor_(executor), names_(Ref::check(PyList_New(0))) {}

  void steps(const sflux::Block& block) {
    for (const sflux::FluxStep& s : block) {
      count();
      if (e_.debug) debug_line(fmt::format("Op #{}: {}", ops_, sflux::debug_render(s)));
      if (const auto* p = std::get_if<sflux::Process>(&s.step)) {
        process(*p);
      } else if (const auto* w = std::get_if<sflux::While>(&s.step)) {
        while (eval_condition(e_, w->condition, ctx_)) {
          count();
          nested(w->do_steps);
        }
      } else if (const auto* i = std::get_if<sflux::If>(&s.step)) {
        nested(eval_condition(e_, i->condition, ctx_) ? i->then_steps : i->else_steps);
      } else {
        nested(std::get<sflux::Run>(s.step).steps);
      }
    }
  }

  Ref take_names() { return std::move(names_); }

 private:
  void count() {
    if (++ops_ > e_.max_ops) {
      py::raise(PyExc_RuntimeError,
                fmt::format("Flux Safety Trip: Exceeded {} operations. Check for infinite loops.", e_.max_ops));
    }
  }

  void nested(const sflux::Block& block) {
    RecursionGuard guard(" in a nested flux block");
    steps(block);
  }

  void process(const sflux::Process& p) {
    PyObject* name = e_.process_names[p.id].get();
    Ref result = py::call(executor_, name);
    Ref asyncio = import_asyncio();
    if (is_coroutine(asyncio.get(), result.get())) {
      PyObject* found = nullptr;
      py::check(PyDict_GetItemRef(ctx_, OLVEX_NAME(_loop), &found));
      Ref loop = Ref::steal(found);
      if (!loop) {
        py::raise(PyExc_RuntimeError,
                  "Async process returned coroutine but '_loop' missing in context. Ensure you used "
                  "execute_async() or provided '_loop'.");
      }
      // Waiting here for a coroutine that this very thread's loop would have
      // to run can never end.
      Ref running = running_loop();
      if (running.get() == loop.get() && running.get() != Py_None) {
        py::raise(PyExc_RuntimeError,
                  "Async process returned coroutine but execute() is running on the thread of the '_loop' event "
                  "loop. Use execute_async().");
      }
      transition_state(e_, Fsm::WaitingIO);
      Ref future = py::call_method(asyncio.get(), OLVEX_NAME(run_coroutine_threadsafe), result.get(), loop.get());
      py::call_method(future.get(), OLVEX_NAME(result));
      transition_state(e_, Fsm::Running);
    }
    py::check(PyList_Append(names_.get(), name));
  }

  EngineData& e_;
  PyObject* ctx_;
  PyObject* executor_;
  std::uint64_t ops_ = 0;  // never wraps: at most max_ops + 1
  Ref names_;
};

}  // namespace

PyObject* engine_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"WorkflowEngine.execute", {"ctx", "executor"}, 2};
  auto [ctx, executor] = params.bind(args, nargs, kwnames);
  check_ctx(ctx);
  py::SharedBorrow borrow(engine_flag(self));
  RecursionGuard guard(" in WorkflowEngine.execute");
  EngineData& e = engine_of(self);
  transition_state(e, Fsm::Running);
  Run run(e, ctx, executor);
  try {
    run.steps(e.workflow.steps);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    py::translate_current_exception();
    Ref error = Ref::steal(PyErr_GetRaisedException());
    try {
      transition_state(e, Fsm::Failed);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // The run's own error is the one to report.
      py::translate_current_exception();
      PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
    throw py::PyErrorSet{};
  }
  transition_state(e, Fsm::Complete);
  return run.take_names().release();
}

PyObject* engine_execute_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"WorkflowEngine.execute_async", {"ctx", "executor"}, 2};
  auto [ctx, executor] = params.bind(args, nargs, kwnames);
  check_ctx(ctx);
  py::SharedBorrow borrow(engine_flag(self));
  Ref asyncio = import_asyncio();
  Ref loop = py::call_method(asyncio.get(), OLVEX_NAME(get_running_loop));
  Ref copy = Ref::check(PyDict_New());
  copy_items(copy.get(), ctx);
  py::check(PyDict_SetItem(copy.get(), OLVEX_NAME(_loop), loop.get()));
  Ref execute = Ref::check(PyObject_GetAttr(self, OLVEX_NAME(execute)));
  return py::call_method(asyncio.get(), OLVEX_NAME(to_thread), execute.get(), copy.get(), executor).release();
}

}  // namespace olvex::flux
