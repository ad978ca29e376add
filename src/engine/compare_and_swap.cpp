// OlvexEngine.compare_and_swap: the version-checked commit. The caller names
// the version its change is based on; the merged result is installed only
// when nothing the change writes was written by a newer version (smart
// mode) or when the versions are equal (strict mode).
//
// The engine is held exclusively for the whole call, Python code included
// (__index__, update, the schema): a call back into this engine from there
// meets the borrow. The version and the key-version map are the native
// fields of the engine's own state, never its Python attributes. Every
// reference that may be the last one to an object (the current, the new
// and the replaced state, the schema) is released only after the borrow
// ends, since a release can run Python code that uses the engine.
#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/commit.hpp"
#include "engine/engine.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "state/exceptions.hpp"
#include "state/state.hpp"
#include "support/key_conflicts.hpp"

namespace olvex::engine {

using py::Ref;

namespace {

using Checker = support::KeyConflicts<state::KeyVersions>;

std::string_view key_text(PyObject* key) {
  if (!PyUnicode_Check(key)) py::raise_type(key, "PyString");
  return py::utf8(key);
}

// Whether a key the zone writes was written after the checker's version: a
// dict value stands for its sub-keys ("key.sub"), any other value for the
// key itself. No Python code runs during the walk, so the items are read
// from the dicts' own storage as borrowed references.
bool zone_conflicts(PyObject* zone, Checker& check) {
  if (!zone || !PyDict_Check(zone)) return false;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(zone, &pos, &key, &value)) {
    std::string_view name = key_text(key);
    if (PyDict_Check(value)) {
      Py_ssize_t sub_pos = 0;
      PyObject* sub = nullptr;
      PyObject* sub_value = nullptr;
      while (PyDict_Next(value, &sub_pos, &sub, &sub_value)) {
        if (check.sub_key(name, key_text(sub))) return true;
      }
    } else if (check.key(name)) {
      return true;
    }
  }
  return false;
}

// The version comparison and, in smart mode, the key check.
// The mismatch message, or nothing when the change may go on. `current` is
// the engine's State.
std::optional<std::string> mismatch(PyObject* current, std::uint64_t expected, bool strict, PyObject* data,
                                    PyObject* heavy) {
  py::SharedBorrow hold(state::state_flag(current), py::OnConflict::Panic);
  const state::StateData& s = state::state_data(current);
  if (s.version == expected) return std::nullopt;
  if (strict) return fmt::format("Strict CAS Mismatch: Expected {}, Found {} (Strict CAS Enabled)", expected, s.version);
  const state::KeyVersions versions = s.key_versions();
  Checker check(versions, expected);
  if (zone_conflicts(data, check) || zone_conflicts(heavy, check)) {
    return fmt::format("CAS Version Mismatch (Conflict Detected): Expected {}, Found {} (Keys Changed)", expected,
                       s.version);
  }
  return std::nullopt;
}

PyObject* or_none(PyObject* o) noexcept { return o ? o : Py_None; }

// References that may be the last ones to their objects, released by the
// caller once the borrow has ended.
struct Held {
  Ref current;
  Ref next;
  Ref previous;
  std::optional<Ref> validator;
};

struct Call {
  PyObject* expected;
  PyObject* data;
  PyObject* heavy;
  PyObject* signal;
  PyObject* requester;
};

// The whole call under the caller's exclusive borrow. A refusal comes back
// as its ContextError message, to be set without a C++ throw: retry loops
// meet refusals often, and a throw would cost more than the whole check.
std::optional<std::string> swap(PyObject* self, const Call& call, Held& held) {
  const std::uint64_t expected = py::arg_u64(call.expected, "expected_version");
  std::optional<std::string_view> requester;
  if (PyObject* r = py::optional(call.requester)) requester = py::arg_str(r, "requester");
  PyObject* data = py::optional(call.data);
  PyObject* heavy = py::optional(call.heavy);
  PyObject* signal = py::optional(call.signal);

  if (is_blocked(self, requester)) return "System Busy (VIP Access Only)";
  const bool strict = strict_cas(self);
  held.current = current_state(self);
  if (auto refused = mismatch(held.current.get(), expected, strict, data, heavy)) return refused;

  held.next = py::call_method(held.current.get(), OLVEX_NAME(update), or_none(data), or_none(heavy), or_none(signal));
  held.validator = schema(self);
  if (held.validator) validate_with_schema(held.validator->get(), held.next.get(), "Schema Violation (CAS): ");
  if (!state::is_state(held.next.get())) py::raise_type(held.next.get(), "State");
  held.previous = replace_state(self, std::move(held.next));
  return std::nullopt;
}

}  // namespace

PyObject* engine_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<5> params{
      "OlvexEngine.compare_and_swap", {"expected_version", "data", "heavy", "signal", "requester"}, 1};
  auto [expected, data, heavy, signal, requester] = params.bind(args, nargs, kwnames);
  Held held;
  std::optional<std::string> refused;
  {
    py::ExclusiveBorrow borrow(engine_flag(self));
    refused = swap(self, Call{expected, data, heavy, signal, requester}, held);
  }
  if (refused) {
    py::set_error(state::exception_type(state::Exc::ContextError), *refused);
    return nullptr;
  }
  return py::none().release();
}

}  // namespace olvex::engine
