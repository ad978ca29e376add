// AuditSystem: per-object failure counters over the process-wide audit
// ring. Every recording call converts all its arguments before it changes
// anything, prepares its entry before it counts, and appends last (an
// append cannot fail), so a call either records once or leaves no trace.
// The only Python code that runs while a call holds the object is the
// warning of log_fail, and no native lock is held then.
#include <fmt/format.h>

#include <limits>
#include <new>
#include <stdexcept>

#include "engine/audit.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/native.hpp"
#include "py/trampoline.hpp"
#include "state/exceptions.hpp"
#include "support/meta_ring.hpp"

namespace olvex::engine {

using support::AuditEntry;
using support::AuditRing;

namespace {

struct AuditSystemData {
  support::AuditRecipe recipe;
  support::AuditCounters counters;
  AuditRing* buffer;  // the process-wide ring, never freed
};

AuditSystemData& data(PyObject* self) noexcept { return py::value_of<AuditSystemData>(self); }
py::BorrowFlag& flag(PyObject* self) noexcept { return py::flag_of<AuditSystemData>(self); }

// Each thread fills one spare entry and swaps it into the ring, getting the
// evicted entry back as its next spare: once the ring is full, an append
// reuses the storage of the entry it replaces instead of allocating.
AuditEntry& spare_entry() {
  thread_local AuditEntry spare;
  return spare;
}

// Fills the spare; std::bad_alloc leaves nothing recorded.
void prepare(std::string_view key, std::string_view message) {
  AuditEntry& e = spare_entry();
  e.timestamp = support::wall_clock_seconds();
  e.key.assign(key);
  e.message.assign(message);
}

// Appends the prepared entry; cannot fail.
void commit(AuditRing& ring) noexcept {
  ring.swap_in(spare_entry());
}

AuditRing& shared_buffer(std::size_t capacity) {
  try {
    return support::audit_buffer(capacity);
  } catch (const std::length_error&) {
    py::raise(PyExc_OverflowError, fmt::format("capacity {} is too large to reserve", capacity));
  } catch (const std::bad_alloc&) {
    py::raise(PyExc_MemoryError, fmt::format("cannot reserve room for {} audit log entries", capacity));
  }
}

PyObject* system_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<2> params{"AuditSystem.__new__", {"recipe", "capacity"}, 0};
  auto [recipe_arg, capacity_arg] = params.bind(args, kwargs);
  support::AuditRecipe recipe;
  if (PyObject* r = py::optional(recipe_arg)) recipe = arg_audit_recipe(r, "recipe");
  std::size_t capacity = capacity_arg ? py::arg_unsigned<std::size_t>(capacity_arg, "capacity") : 1000;
  // Allocated first, so that a failure here makes no buffer.
  py::Ref self = py::make_native<AuditSystemData>(type, AuditSystemData{recipe, {}, nullptr});
  data(self.get()).buffer = &shared_buffer(capacity);
  return self.release();
}

PyObject* system_log_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<3> params{"AuditSystem.log_fail", {"key", "level", "threshold_max"}, 1};
  auto [key_arg, level_arg, threshold_arg] = params.bind(args, nargs, kwnames);
  std::string_view key = py::arg_str(key_arg, "key");
  PyObject* level_given = py::optional(level_arg);
  PyObject* threshold_given = py::optional(threshold_arg);
  std::optional<support::AuditLevel> level;
  if (level_given) level = arg_audit_level(level_given, "level");
  std::optional<std::uint32_t> threshold;
  if (threshold_given) threshold = py::arg_unsigned<std::uint32_t>(threshold_given, "threshold_max");

  py::ExclusiveBorrow borrow(flag(self));
  AuditSystemData& d = data(self);
  const std::uint32_t count = support::next_failure_count(d.counters.get(key));
  prepare(key, support::fail_entry_text(count));
  d.counters.set(key, count);
  commit(*d.buffer);

  const std::uint32_t effective = threshold.value_or(d.recipe.threshold_max);
  switch (support::judge_failure(level.value_or(d.recipe.level), count, effective, d.recipe.threshold_min)) {
    case support::AuditVerdict::Stop:
      state::raise(state::Exc::AuditStopError, support::stop_text(key));
    case support::AuditVerdict::Abort:
      state::raise(state::Exc::AuditAbortError, support::abort_text(key));
    case support::AuditVerdict::Block:
      state::raise(state::Exc::AuditBlockError, support::block_text(key, effective));
    case support::AuditVerdict::Warn: {
      // Attributed to the Python line that called log_fail. Filters and
      // hooks run here and may raise; then nothing more is logged.
      std::string text = support::warning_text(count, effective);
      py::check(PyErr_WarnEx(state::exception_type(state::Exc::AuditWarning), text.c_str(), 1));
      prepare(key, support::warn_entry_text(count, effective));
      commit(*d.buffer);
      break;
    }
    case support::AuditVerdict::Pass:
      break;
  }
  return py::none().release();
}

PyObject* system_log_success(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"AuditSystem.log_success", {"key"}, 1};
  auto [key_arg] = params.bind(args, nargs, kwnames);
  std::string_view key = py::arg_str(key_arg, "key");
  py::ExclusiveBorrow borrow(flag(self));
  AuditSystemData& d = data(self);
  prepare(key, support::kSuccessEntryText);
  if (d.recipe.reset_on_success) d.counters.set(key, 0);
  commit(*d.buffer);
  return py::none().release();
}

PyObject* system_get_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"AuditSystem.get_count", {"key"}, 1};
  auto [key_arg] = params.bind(args, nargs, kwnames);
  std::string_view key = py::arg_str(key_arg, "key");
  py::SharedBorrow borrow(flag(self));
  return py::to_py_u64(data(self).counters.get(key)).release();
}

PyObject* system_get_count_all(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(flag(self));
  return py::to_py_u64(data(self).buffer->total()).release();
}

PyObject* system_log(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"AuditSystem.log", {"key", "message"}, 2};
  auto [key_arg, message_arg] = params.bind(args, nargs, kwnames);
  std::string_view key = py::arg_str(key_arg, "key");
  std::string_view message = py::arg_str(message_arg, "message");
  py::ExclusiveBorrow borrow(flag(self));
  prepare(key, message);
  commit(*data(self).buffer);
  return py::none().release();
}

PyObject* system_get_logs(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(flag(self));
  std::vector<AuditEntry> entries = data(self).buffer->snapshot();
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    py::Ref item = audit_log_entry_object(std::move(entries[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}

PyObject* system_ring_buffer_len(PyObject* self, void*) {
  py::SharedBorrow borrow(flag(self));
  return py::to_py_size(data(self).buffer->size()).release();
}

PyMethodDef system_methods[] = {
    {"log_fail", py::method<system_log_fail>(), METH_FASTCALL | METH_KEYWORDS,
     "log_fail($self, key, level=None, threshold_max=None)\n--\n\n"
     "Log a failure event. Behavior depends on AuditLevel.\n"
     "Can override global level and threshold per-call."},
    {"log_success", py::method<system_log_success>(), METH_FASTCALL | METH_KEYWORDS,
     "log_success($self, key)\n--\n\nLog a success event. Resets counter if configured."},
    {"get_count", py::method<system_get_count>(), METH_FASTCALL | METH_KEYWORDS,
     "get_count($self, key)\n--\n\nGet current count for a key."},
    {"get_count_all", py::method<system_get_count_all>(), METH_NOARGS,
     "get_count_all($self)\n--\n\nGet total count across all keys."},
    {"log", py::method<system_log>(), METH_FASTCALL | METH_KEYWORDS,
     "log($self, key, message)\n--\n\nLog a general event to ring buffer."},
    {"get_logs", py::method<system_get_logs>(), METH_NOARGS, "get_logs($self)\n--\n\nGet all logs from ring buffer."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef system_getset[] = {
    {"ring_buffer_len", py::tramp<system_ring_buffer_len>, nullptr, "Get number of logs in buffer.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot system_slots[] = {
    {Py_tp_doc, const_cast<char*>("AuditSystem(recipe=None, capacity=1000)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<system_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<AuditSystemData>>)},
    {Py_tp_methods, system_methods},
    {Py_tp_getset, system_getset},
    {0, nullptr},
};

PyType_Spec system_spec = {
    "olvex_core.AuditSystem",
    static_cast<int>(sizeof(py::Native<AuditSystemData>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    system_slots,
};

}  // namespace

py::TypeCell audit_system_type("AuditSystem", [] { return py::make_type(&system_spec); });

}  // namespace olvex::engine
