// The exit watch: a hook in `atexit` that marks the start of the
// interpreter's exit. CPython runs those hooks before it begins to
// finalise, and only from then on may it end a thread in the middle of the
// module's code; until then every release is sound without asking.
#include "py/ref.hpp"

namespace olvex::py {

namespace {

PyObject* exit_begins(PyObject*, PyObject*) {
  detail::g_exit_begun.store(true, std::memory_order_release);
  Py_INCREF(Py_None);
  return Py_None;
}

PyMethodDef g_exit_hook = {"_olvex_exit_watch", exit_begins, METH_NOARGS, nullptr};

}  // namespace

void watch_exit() noexcept {
  static bool watched = false;
  if (watched) return;
  watched = true;
  // Already exiting (an import from an exit hook): nothing to wait for.
  if (Py_IsFinalizing()) {
    detail::g_exit_begun.store(true, std::memory_order_release);
    return;
  }
  PyObject* saved = PyErr_GetRaisedException();
  PyObject* hook = PyCFunction_New(&g_exit_hook, nullptr);
  PyObject* atexit = hook ? PyImport_ImportModule("atexit") : nullptr;
  PyObject* done = atexit ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
  if (!done) {
    // Without the hook the exit cannot be seen coming: ask on every release.
    PyErr_Clear();
    detail::g_exit_begun.store(true, std::memory_order_release);
  }
  Py_XDECREF(done);
  Py_XDECREF(atexit);
  Py_XDECREF(hook);
  PyErr_SetRaisedException(saved);
}

}  // namespace olvex::py
