#include "access/current_tx.hpp"

#include <memory>

#include "py/errors.hpp"
#include "py/names.hpp"
#include "py/unwind.hpp"

namespace olvex::access {

namespace {

// One thread's slot. Its reference must be released with the interpreter
// lock held and never once the interpreter is gone, which a thread_local
// destructor cannot promise: it runs after the thread's Python state is
// deleted, and taking the lock from there can race with finalisation. So
// the release is tied to the thread's interpreter state instead, the way
// threading.local is: a capsule in the thread-state dict owns the
// reference and gives it up when the interpreter clears that dict (at thread
// end, on the ending thread with the lock held; or during finalisation, by
// the interpreter itself). The thread keeps a second owner of the cell only
// so that the hot read needs no interpreter call; that owner never touches
// Python.
struct SlotCell {
  PyObject* tx = nullptr;  // strong reference, or null
  bool hooked = false;     // a capsule for this cell sits in the thread-state dict
  // The thread-state dict let the capsule go: the thread is ending (or the
  // interpreter finalising). A set that arrives now, from code that the
  // release runs, stores nothing, since hooking again would make a fresh
  // thread-state dict that nobody clears.
  bool closed = false;
  // Invariant: tx != nullptr implies hooked.
};

constexpr const char* kCapsuleName = "olvex_core.current_tx";

thread_local SlotCell* t_cell = nullptr;  // the fast read; owned by t_owner and the capsule

struct ThreadOwner {
  std::shared_ptr<SlotCell> cell;
  ~ThreadOwner() { t_cell = nullptr; }
};
thread_local ThreadOwner t_owner;

// Capsule destructor: runs with the interpreter lock held when the
// thread-state dict lets the capsule go.
void release_cell(PyObject* capsule) {
  auto* owner = static_cast<std::shared_ptr<SlotCell>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (!owner) {
    PyErr_Clear();
    return;
  }
  SlotCell& cell = **owner;
  PyObject* old = cell.tx;
  cell.tx = nullptr;
  if (cell.hooked) cell.closed = true;  // not on a failed hook, which never reached the dict
  cell.hooked = false;
  delete owner;
  Py_XDECREF(old);
}

PyObject* capsule_key() {
  static PyObject* key = py::intern("olvex_core.current_tx");
  return key;
}

void hook(const std::shared_ptr<SlotCell>& cell) {
  PyObject* dict = PyThreadState_GetDict();  // borrowed
  if (!dict) py::panic("the current thread has no interpreter state");
  auto* owner = new std::shared_ptr<SlotCell>(cell);
  PyObject* capsule = PyCapsule_New(owner, kCapsuleName, release_cell);
  if (!capsule) {
    delete owner;
    throw py::PyErrorSet{};
  }
  // On failure the capsule's release finds an empty cell (not hooked yet).
  py::Ref hold = py::Ref::steal(capsule);
  py::check(PyDict_SetItem(dict, capsule_key(), capsule));
}

PyObject* sys_module() {
  static PyObject* sys = nullptr;  // kept for the life of the process
  if (!sys) {
    static PyObject* name = py::intern("sys");
    sys = PyImport_GetModule(name);
  }
  return sys;
}

OLVEX_PASSES_FORCED_UNWIND py::Ref from_guards() {
  // Saves a pending exception and, on the way out, drops whatever the
  // lookup below raised: the fallback never fails.
  py::ErrorScope keep;
  try {
    PyObject* sys = sys_module();
    if (!sys) return {};
    py::Ref modules = py::Ref::steal(PyObject_GetAttr(sys, OLVEX_NAME(modules)));
    if (!modules) return {};
    static PyObject* guards_name = py::intern("olvex.guards");
    py::Ref guards;
    if (PyDict_CheckExact(modules.get())) {
      // The same answer as calling its `get`, which an exact dict cannot override.
      PyObject* found = nullptr;
      if (PyDict_GetItemRef(modules.get(), guards_name, &found) < 0) return {};
      guards = py::Ref::steal(found);
    } else {
      PyObject* argv[] = {modules.get(), guards_name};
      guards = py::Ref::steal(
          PyObject_VectorcallMethod(OLVEX_NAME(get), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    if (!guards || guards.get() == Py_None) return {};
    py::Ref var = py::Ref::steal(PyObject_GetAttr(guards.get(), OLVEX_NAME(_current_tx)));
    if (!var) return {};
    PyObject* argv[] = {var.get()};
    py::Ref tx =
        py::Ref::steal(PyObject_VectorcallMethod(OLVEX_NAME(get), argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!tx || tx.get() == Py_None) return {};
    return tx;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return {};
  }
}

}  // namespace

void set_current_tx(PyObject* tx) {
  if (!t_owner.cell) {
    t_owner.cell = std::make_shared<SlotCell>();
    t_cell = t_owner.cell.get();
  }
  SlotCell& cell = *t_owner.cell;
  // A child proxy names the transaction its parent set a moment ago.
  if (cell.tx == tx) return;
  if (cell.closed) return;
  if (!cell.hooked) {
    hook(t_owner.cell);
    cell.hooked = true;
  }
  PyObject* old = cell.tx;
  cell.tx = Py_NewRef(tx);
  Py_XDECREF(old);
}

py::Ref get_current_tx() {
  if (SlotCell* cell = t_cell; cell && cell->tx) return py::Ref::borrow(cell->tx);
  return from_guards();
}

}  // namespace olvex::access
