// MemoryRegistry: logs this process's shared-memory allocations to the
// registry file in the working directory and removes the segments and
// records that dead processes left behind. File and segment problems are
// never raised; the file work lives in support/registry_file.
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/lock.hpp"
#include "py/native.hpp"
#include "py/output.hpp"
#include "py/trampoline.hpp"
#include "shm/shm.hpp"
#include "support/registry_file.hpp"

namespace olvex::shm {

namespace {

// Relative on purpose: each call resolves it against the current directory.
const std::string kRegistryPath = ".olvex_memory_registry.jsonl";

struct Registry {
  explicit Registry(std::string session) : session_id(std::move(session)) {}
  std::string session_id;
  py::Mutex<std::unordered_map<std::string, std::uint64_t>> allocations;
};

// The one place these methods let go of the interpreter lock: waiting for
// another holder of the file lock, so that no thread waits for it holding
// the interpreter lock and a stopped peer cannot freeze the interpreter. A
// signal that interrupts the wait runs the handlers; if one raises, the call
// ends with that exception and nothing written. No Python object is touched
// while the lock is released.
class InterpreterHost final : public support::RegistryHost {
 public:
  support::LockWait wait_for_lock(int fd) override {
    for (;;) {
      int err = 0;
      PyThreadState* ts = PyEval_SaveThread();
      if (::flock(fd, LOCK_EX) != 0) err = errno;
      if (Py_IsFinalizing()) {
        // Taking the interpreter lock back would touch a dying interpreter;
        // the thread parks until the process ends.
        for (;;) ::pause();
      }
      PyEval_RestoreThread(ts);
      if (err == 0) return support::LockWait::Locked;
      if (err != EINTR) return support::LockWait::Refused;
      if (PyErr_CheckSignals() < 0) return support::LockWait::Abandoned;
    }
  }
  void line(int fd, std::string_view text) override { py::write_raw(fd, text); }
};

void finish(support::Outcome outcome) {
  // Abandoned only when a signal handler raised: its exception is set.
  if (outcome == support::Outcome::Abandoned) throw py::PyErrorSet{};
}

void scan() {
  InterpreterHost host;
  support::ProcProcessTable processes;
  support::ShmUnlinker segments;
  finish(support::scan_registry(kRegistryPath, static_cast<std::uint32_t>(::getpid()), {processes, segments, host}));
}

PyObject* registry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<1> params{"MemoryRegistry.__new__", {"session_id"}, 1};
  auto [session_arg] = params.bind(args, kwargs);
  std::string session(py::arg_str(session_arg, "session_id"));
  scan();
  return py::make_native<Registry>(type, std::move(session)).release();
}

PyObject* registry_scan_zombies(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  py::bind_none("MemoryRegistry.scan_zombies", nargs, kwnames);
  py::SharedBorrow borrow(py::flag_of<Registry>(self));
  scan();
  return py::none().release();
}

PyObject* registry_log_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"MemoryRegistry.log_allocation", {"name", "size"}, 2};
  auto [name_arg, size_arg] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(py::flag_of<Registry>(self));
  Registry& r = py::value_of<Registry>(self);
  support::AllocRecord record;
  record.name = py::arg_str(name_arg, "name");
  record.size = py::arg_u64(size_arg, "size");
  record.pid = static_cast<std::uint32_t>(::getpid());
  record.session = r.session_id;
  // A poisoned map is skipped; the record still goes to the file.
  r.allocations.run_unless_poisoned([&](auto& map) { map.insert_or_assign(record.name, record.size); });
  InterpreterHost host;
  finish(support::append_record(kRegistryPath, record, host));
  return py::none().release();
}

PyObject* registry_cleanup(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  py::bind_none("MemoryRegistry.cleanup", nargs, kwnames);
  py::SharedBorrow borrow(py::flag_of<Registry>(self));
  // The map and the file stay: the lines go when a later process's scan
  // finds this one dead.
  py::value_of<Registry>(self).allocations.run_unless_poisoned([](auto& map) {
    for (const auto& entry : map) support::unlink_segment(entry.first);
  });
  return py::none().release();
}

PyMethodDef registry_methods[] = {
    {"scan_zombies", py::method<registry_scan_zombies>(), METH_FASTCALL | METH_KEYWORDS, "scan_zombies($self)\n--\n\n"},
    {"log_allocation", py::method<registry_log_allocation>(), METH_FASTCALL | METH_KEYWORDS,
     "log_allocation($self, name, size)\n--\n\n"},
    {"cleanup", py::method<registry_cleanup>(), METH_FASTCALL | METH_KEYWORDS, "cleanup($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot registry_slots[] = {
    {Py_tp_doc, const_cast<char*>("MemoryRegistry(session_id)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<registry_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<Registry>>)},
    {Py_tp_methods, registry_methods},
    {0, nullptr},
};

PyType_Spec registry_spec = {
    "builtins.MemoryRegistry",
    static_cast<int>(sizeof(py::Native<Registry>)),
    0,
    Py_TPFLAGS_DEFAULT,
    registry_slots,
};

}  // namespace

py::TypeCell memory_registry_type("MemoryRegistry", [] {
  py::Ref type = py::Ref::steal(py::make_type(&registry_spec));
  // The doc slot carries the text signature alone: no docstring.
  py::check(PyObject_SetAttrString(type.get(), "__doc__", Py_None));
  return type.release();
});

}  // namespace olvex::shm
