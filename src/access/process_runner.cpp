// OlvexEngine.execute_process_async: builds the context one process run
// receives and returns the awaitable that runs the process with it. It
// enters, commits and awaits nothing; the transaction the caller passes
// does the committing when the caller leaves it. A method of the engine,
// defined here beside the context it builds: the context joins the engine
// and the proxies, so it sits above both.
#include "access/process_context.hpp"
#include "engine/engine.hpp"
#include "engine/transaction.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/objects.hpp"

namespace olvex::engine {

using py::Ref;

namespace {

// module.attr, with the module imported as the import statement would
// (sys.modules first), on every call, so patches of either count.
Ref module_attr(PyObject* module_name, PyObject* attr) {
  Ref module = Ref::check(PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, nullptr, 0));
  return Ref::check(PyObject_GetAttr(module.get(), attr));
}

}  // namespace

PyObject* engine_execute_process_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<3> params{"OlvexEngine.execute_process_async", {"name", "func", "tx"}, 2};
  auto [name, func, tx_arg] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(engine_flag(self));
  // Only its type matters: the name is not used further.
  if (!PyUnicode_Check(name)) py::raise_arg_type("name", name, "PyString");
  PyObject* tx = tx_arg ? py::optional(tx_arg) : nullptr;
  Ref state = current_state(self);

  Ref iscoroutinefunction = module_attr(OLVEX_NAME(inspect), OLVEX_NAME(iscoroutinefunction));
  Ref answer = py::call(iscoroutinefunction.get(), func);
  const bool is_coroutine_function = py::check(PyObject_IsTrue(answer.get())) != 0;

  py::Dict local = py::Dict::make();
  state::OutboxRef buffer;
  if (tx) {
    if (!is_transaction(tx)) py::raise_arg_type("tx", tx, "Transaction");
    // Only the buffer is taken, and it never changes: a transaction held
    // exclusively by another call (its __enter__) is an ordinary conflict.
    py::SharedBorrow tx_borrow(transaction_flag(tx));
    buffer = transaction_data(tx).outbox;
  } else {
    buffer = state::OutboxBuffer::create();
  }
  Ref ctx = access::make_process_context(std::move(state), std::move(local), std::move(buffer), Ref::borrow(tx));

  if (is_coroutine_function) return py::call(func, ctx.get()).release();
  Ref to_thread = module_attr(OLVEX_NAME(asyncio), OLVEX_NAME(to_thread));
  return py::call(to_thread.get(), func, ctx.get()).release();
}

}  // namespace olvex::engine
