// Writes through a SupervisorProxy: attribute and item assignment (their
// deletion forms are always refused) and the delta report that carries a
// permitted write into the current transaction's log.
//
// A permitted assignment passes, in order: the proxy is not read-only, the
// lens of the full path holds UPDATE, the proxy was built with a
// transaction. The report then goes to whatever transaction is current on
// the calling thread, and the write to the wrapped object itself. When the
// write fails after a native report, that report's entry is withdrawn, so
// the log never holds a change the target refused.
#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <string_view>

#include "access/current_tx.hpp"
#include "access/proxy_impl.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/objects.hpp"
#include "py/output.hpp"
#include "support/capabilities.hpp"

namespace olvex::access {

using py::Ref;

namespace {

// The full path of an assignment one step below the proxy's (`open`: '.'
// or '['), put together in `out`, and the lens there, computed afresh: an
// override registered or cleared meanwhile counts at once. While no
// override can answer, the step's zone and its mask are all there is to
// it, and no ChildPath is built for it.
struct StepLens {
  std::string_view path;
  std::uint8_t lens;
};

StepLens step_lens(const ProxyData& d, PathBuffer& out, char open, std::string_view key) {
  const bool root = d.path.empty();
  const std::size_t head = d.path.size();
  out.resize(head + key.size() + (root ? 0 : open == '[' ? 2 : 1));
  char* at = out.data();
  d.path.write(at);
  at += head;
  if (!root) *at++ = open;
  at = std::copy(key.begin(), key.end(), at);
  if (!root && open == '[') *at = ']';
  const std::string_view path(out.data(), out.size());
  if (!support::PHYSICS_OVERRIDES().may_answer()) {
    const support::ContextZone zone = d.path.child_zone(path.substr(head));
    return {path, support::write_lens(d.capabilities, support::path_physics(zone, std::nullopt))};
  }
  const support::ChildPath child = open == '[' ? d.path.item(key) : d.path.attr(key);
  return {path, support::write_lens(d.capabilities, support::path_physics(child))};
}

// A failed report: dropped (silent), or announced and printed (loud).
// Only ordinary exceptions are handled; any other goes on.
void report_failed(ReportForm form, std::string_view line) {
  if (!py::ordinary_pending()) throw py::PyErrorSet{};
  if (form == ReportForm::Silent) {
    PyErr_Clear();
    return;
  }
  py::write_raw(2, line);
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  PyErr_DisplayException(exc.get());
  // A broken sys.stderr loses the print, never the write.
  if (PyErr_Occurred()) py::discard_ordinary();
}

constexpr std::string_view kMissingLine = "ERROR: Transaction object missing log_delta!\n";
constexpr std::string_view kFailedLine = "ERROR: log_delta failed!\n";

bool is_ascii(std::string_view text) noexcept {
  unsigned char any = 0;
  for (char c : text) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

// The native entry of a report in `ticket`; false, with its failure set
// as the Python error, when it fails.
template <class Path>
bool enter_natively(PyObject* tx, Path path, PyObject* old_arg, PyObject* new_val, engine::DeltaTicket& ticket) {
  try {
    ticket = engine::log_delta(tx, path, old_arg, new_val);
    return true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    py::translate_current_exception();
    return false;
  }
}

// ---- attribute assignment ---------------------------------------------------

// The old value of an attribute assignment: `get(name)` on a dict, the
// attribute on anything else; an ordinary failure gives None.
Ref attr_old_value(PyObject* target, PyObject* name) {
  ForwardGuard guard;
  if (PyDict_CheckExact(target)) return py::Dict::borrow(target).lookup(name);  // an exact str key cannot fail
  PyObject* found = nullptr;
  if (PyDict_Check(target)) {
    PyObject* argv[] = {target, name};
    found = PyObject_VectorcallMethod(OLVEX_NAME(get), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!found) py::discard_ordinary();
    return Ref::steal(found);
  }
  // Asking for an optional attribute spares building an AttributeError.
  if (PyObject_GetOptionalAttr(target, name, &found) < 0) py::discard_ordinary();
  return Ref::steal(found);
}

void attr_write(PyObject* target, PyObject* name, PyObject* value) {
  ForwardGuard guard;
  if (PyDict_CheckExact(target)) {
    py::check(PyDict_SetItem(target, name, value));
  } else if (PyDict_Check(target)) {
    py::call_method(target, OLVEX_NAME(__setitem__), name, value);
  } else {
    py::check(PyObject_SetAttr(target, name, value));
  }
}

void assign_attr(PyObject* self, PyObject* name, PyObject* value) {
  py::SharedBorrow borrow(proxy_flag(self));
  std::string_view text = py::arg_str(name, "name");
  const ProxyData& d = proxy_data(self);
  if (d.read_only) raise_text(PyExc_PermissionError, fmt::format("PURE process cannot write to '{}.{}'", d.path.text(), text));
  PathBuffer buf;
  const auto [full_path, lens] = step_lens(d, buf, '.', text);
  if (!(lens & support::UPDATE)) {
    raise_text(PyExc_PermissionError,
               fmt::format("Permission Denied: UPDATE capability required for '{}'. (Current Lens: {})", full_path,
                           support::format_capabilities(lens)));
  }
  if (!d.has_transaction) {
    raise_text(PyExc_PermissionError,
               fmt::format("Supervisor blocked mutation to '{}.{}': No active transaction found. State is Immutable "
                           "outside processes.",
                           d.path.text(), text));
  }
  Ref target = d.target;
  // A str subclass counts as its text; the target sees a plain str.
  py::Str key = py::Str::exact(name);
  engine::DeltaTicket ticket;
  if (Ref tx = get_current_tx()) {
    if (PyDict_CheckExact(target.get()) && is_ascii(full_path) && engine::logs_natively(tx.get())) {
      {
        // Reported natively, the old value's read, the entry and the write
        // run under the read's guard: from the read's end to the write no
        // Python code runs, so the write's own guard would test the very
        // depths the read's passed.
        ForwardGuard guard;
        Ref old = py::Dict::borrow(target.get()).lookup(key.get());  // an exact str key cannot fail
        if (enter_natively(tx.get(), full_path, old ? old.get() : Py_None, value, ticket)) {
          write_or_withdraw(ticket, [&] { py::check(PyDict_SetItem(target.get(), key.get(), value)); });
          return;
        }
      }
      report_failed(ReportForm::Loud, kFailedLine);  // announced outside any guard
    } else {
      Ref old = attr_old_value(target.get(), key.get());
      ticket = report_delta(tx.get(), full_path, old.get(), value, ReportForm::Loud);
    }
  }
  write_or_withdraw(ticket, [&] { attr_write(target.get(), key.get(), value); });
}

// ---- item assignment --------------------------------------------------------

// The position an index key names in a list target, counted from the front
// (so items[-1] and items[True] name the positions a replay can reach);
// nothing when the key is no index or out of range.
std::optional<Py_ssize_t> list_position(PyObject* target, PyObject* key) {
  if (!PyList_Check(target) || !PyIndex_Check(key)) return std::nullopt;
  Ref index = Ref::steal(PyNumber_Index(key));
  if (!index) {
    py::discard_ordinary();
    return std::nullopt;
  }
  Py_ssize_t i = PyLong_AsSsize_t(index.get());
  if (i == -1 && PyErr_Occurred()) {
    py::discard_ordinary();  // beyond any list's length
    return std::nullopt;
  }
  Py_ssize_t size = PyList_Size(target);
  if (i < 0) i += size;
  if (i < 0 || i >= size) return std::nullopt;
  return i;
}

// The full path of an item assignment and its lens: the proxy's path and
// the key's text (str(key), or the position for a list index), in brackets.
StepLens item_step(const ProxyData& d, PathBuffer& out, PyObject* target, PyObject* key) {
  // An int's text cannot fail, so for a list it is made only when needed.
  bool text_later = PyLong_CheckExact(key) && PyList_Check(target);
  Text text;
  if (!text_later) text = text_of(key);
  if (std::optional<Py_ssize_t> position = list_position(target, key)) {
    fmt::format_int digits(*position);
    return step_lens(d, out, '[', std::string_view(digits.data(), digits.size()));
  }
  if (text_later) text = text_of(key);
  return step_lens(d, out, '[', text.view);
}

// The old value of an item assignment: `get(key)` on any target; an
// ordinary failure (a list has no `get`, an unhashable key) gives None.
Ref item_old_value(PyObject* target, PyObject* key) {
  if (PyList_CheckExact(target)) return Ref();
  ForwardGuard guard;
  if (PyDict_CheckExact(target)) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(target, key, &found) < 0) py::discard_ordinary();
    return Ref::steal(found);
  }
  PyObject* argv[] = {target, key};
  PyObject* found = PyObject_VectorcallMethod(OLVEX_NAME(get), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!found) py::discard_ordinary();
  return Ref::steal(found);
}

void item_write(PyObject* target, PyObject* key, PyObject* value) {
  ForwardGuard guard;
  if (PyDict_CheckExact(target)) {
    py::check(PyDict_SetItem(target, key, value));
  } else if (PyList_CheckExact(target)) {
    py::check(PyObject_SetItem(target, key, value));
  } else {
    py::call_method(target, OLVEX_NAME(__setitem__), key, value);
  }
}

void assign_item(PyObject* self, PyObject* key, PyObject* value) {
  py::SharedBorrow borrow(proxy_flag(self));
  const ProxyData& d = proxy_data(self);
  if (d.read_only) raise_text(PyExc_PermissionError, "PURE process cannot write");
  Ref target = d.target;
  PathBuffer buf;
  const auto [full_path, lens] = item_step(d, buf, target.get(), key);
  if (!(lens & support::UPDATE)) {
    raise_text(PyExc_PermissionError,
               fmt::format("Permission Denied: UPDATE capability required for item assignment at '{}'. (Current "
                           "Lens: {})",
                           full_path, support::format_capabilities(lens)));
  }
  if (!d.has_transaction) {
    raise_text(PyExc_PermissionError,
               fmt::format("Supervisor blocked mutation to path '{}': No active transaction found.", d.path.text()));
  }
  // The key's text is asked for once more, as the rule has it, but the
  // path reported is the one tested: a key whose text changes must not
  // reach the log at a path the lens never saw.
  if (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key)) Ref::check(PyObject_Str(key));
  Ref old = item_old_value(target.get(), key);
  engine::DeltaTicket ticket;
  if (Ref tx = get_current_tx()) {
    ticket = report_delta(tx.get(), full_path, old.get(), value, ReportForm::Silent);
  }
  write_or_withdraw(ticket, [&] { item_write(target.get(), key, value); });
}

}  // namespace

void raise_text(PyObject* type, std::string_view message) {
  Ref text = Ref::check(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  PyErr_SetObject(type, text.get());
  throw py::PyErrorSet{};
}

namespace {

// The native report: its failure is handled as the report's own.
template <class Path>
engine::DeltaTicket log_natively(PyObject* tx, Path path, PyObject* old_arg, PyObject* new_val, ReportForm form) {
  engine::DeltaTicket ticket;
  if (!enter_natively(tx, path, old_arg, new_val, ticket)) report_failed(form, kFailedLine);
  return ticket;
}

engine::DeltaTicket report_by_name(PyObject* tx, PyObject* path, PyObject* old_arg, PyObject* new_val,
                                   ReportForm form);

}  // namespace

engine::DeltaTicket report_delta(PyObject* tx, std::string_view path, PyObject* old_val, PyObject* new_val,
                                 ReportForm form) {
  // A path with other characters is made into its str at once, as its text
  // may not decode: that fails the write before any report.
  if (!is_ascii(path)) return report_delta(tx, py::to_py(path).get(), old_val, new_val, form);
  PyObject* old_arg = old_val ? old_val : Py_None;
  if (engine::logs_natively(tx)) return log_natively(tx, path, old_arg, new_val, form);
  return report_by_name(tx, py::to_py(path).get(), old_arg, new_val, form);
}

engine::DeltaTicket report_delta(PyObject* tx, PyObject* path, PyObject* old_val, PyObject* new_val,
                                 ReportForm form) {
  PyObject* old_arg = old_val ? old_val : Py_None;
  if (engine::logs_natively(tx)) return log_natively(tx, path, old_arg, new_val, form);
  return report_by_name(tx, path, old_arg, new_val, form);
}

namespace {

engine::DeltaTicket report_by_name(PyObject* tx, PyObject* path, PyObject* old_arg, PyObject* new_val,
                                   ReportForm form) {
  Ref method = Ref::steal(PyObject_GetAttr(tx, OLVEX_NAME(log_delta)));
  if (!method) {
    report_failed(form, kMissingLine);
    return {};
  }
  PyObject* argv[] = {nullptr, path, old_arg, new_val};
  Ref result = Ref::steal(PyObject_Vectorcall(method.get(), argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) report_failed(form, kFailedLine);
  return {};
}

}  // namespace

int proxy_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
  assign_attr(self, name, value);
  return 0;
}

int proxy_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  if (!value) py::raise(PyExc_NotImplementedError, "can't delete item");
  assign_item(self, key, value);
  return 0;
}

}  // namespace olvex::access
