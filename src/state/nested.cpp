#include "state/nested.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/names.hpp"
#include "py/recursion.hpp"
#include "state/dict_walk.hpp"
#include "support/path.hpp"

namespace olvex::state {

using py::Ref;
using support::PathError;

namespace {

// An ordinary failure (an Exception) is dropped where the rules say so;
// KeyboardInterrupt, SystemExit and the panic exception always go on.
void discard_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::PyErrorSet{};
  PyErr_Clear();
}

[[noreturn]] void raise_path(const PathError& e) {
  PyObject* type = e.kind == support::PathErrorKind::IndexError ? PyExc_IndexError : PyExc_TypeError;
  // Through a str object, not a C string: a key may hold NUL characters.
  Ref text = Ref::check(
      PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace"));
  PyErr_SetObject(type, text.get());
  throw py::PyErrorSet{};
}

// `__name__` of the object's type, or "unknown".
std::string type_name_of(PyObject* o) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
  if (name) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(s, static_cast<std::size_t>(n));
  }
  discard_ordinary_error();
  return "unknown";
}

// Replaces the pending ordinary exception by a path error.
[[noreturn]] void replace_error(PathError (*make)(std::string_view, std::string_view), std::string_view key,
                                PyObject* current) {
  discard_ordinary_error();
  raise_path(make(key, type_name_of(current)));
}

// Builtin values whose types cannot carry a `supervisor_target` attribute:
// unwrapping them needs no attribute lookup.
// None comes last: under the limited API it is reached through a call.
bool is_plain_builtin(PyObject* v) {
  return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyDict_CheckExact(v) || PyList_CheckExact(v) ||
         PyFloat_CheckExact(v) || PyBool_Check(v) || PyTuple_CheckExact(v) || v == Py_None;
}

// o.name, or null when the read fails (an ordinary failure is discarded).
Ref try_getattr(PyObject* o, PyObject* name) {
  PyObject* r = nullptr;
  if (PyObject_GetOptionalAttr(o, name, &r) < 0) discard_ordinary_error();
  return Ref::steal(r);
}

Ref key_object(std::string_view name) {
  return Ref::check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// Absent keys give null.
Ref dict_lookup(PyObject* dict, PyObject* key) {
  PyObject* v = nullptr;
  py::check(PyDict_GetItemRef(dict, key, &v));
  return Ref::steal(v);
}

// The value under key, or a new empty dict stored there when it is absent.
Ref dict_child(PyObject* dict, PyObject* key) {
  if (Ref v = dict_lookup(dict, key)) return v;
  Ref fresh = Ref::check(PyDict_New());
  py::check(PyDict_SetItem(dict, key, fresh.get()));
  return fresh;
}

Ref list_child(PyObject* list, std::uint64_t n) {
  if (n >= static_cast<std::uint64_t>(PyList_Size(list))) raise_path(support::index_out_of_range(n));
  return Ref::check(PyList_GetItemRef(list, static_cast<Py_ssize_t>(n)));
}

// list[n] = value, padding with None when n is at or beyond the end.
void write_list_index(PyObject* list, std::uint64_t n, PyObject* value) {
  const Py_ssize_t len = PyList_Size(list);
  if (n < static_cast<std::uint64_t>(len)) {
    py::check(PyList_SetItem(list, static_cast<Py_ssize_t>(n), Py_NewRef(value)));
    return;
  }
  if (auto err = support::check_list_padding(static_cast<std::size_t>(len), n)) raise_path(*err);
  for (std::uint64_t i = static_cast<std::uint64_t>(len); i < n; ++i) py::check(PyList_Append(list, Py_None));
  py::check(PyList_Append(list, value));
}

// The final key on something that is not a dict: through its
// supervisor_target when that is a dict, else as an attribute of the object
// itself (so a proxy applies its own assignment rules).
void write_key_on_object(PyObject* current, PyObject* key, std::string_view name, PyObject* value) {
  if (Ref target = try_getattr(current, OLVEX_NAME(supervisor_target))) {
    if (PyDict_Check(target.get())) {
      Ref v = unwrapped(value);
      py::check(PyDict_SetItem(target.get(), key, v.get()));
    } else {
      py::check(PyObject_SetAttr(current, key, value));
    }
    return;
  }
  if (PyObject_SetAttr(current, key, value) < 0) replace_error(support::cannot_set_key, name, current);
}

bool has_dot(PyObject* key) {
  Py_ssize_t at = PyUnicode_FindChar(key, '.', 0, PyUnicode_GetLength(key), 1);
  if (at == -2) throw py::PyErrorSet{};
  return at >= 0;
}

void require_dict(PyObject* o) {
  if (!PyDict_Check(o)) {
    py::raise(PyExc_TypeError, "'" + type_name_of(o) + "' object cannot be converted to 'PyDict'");
  }
}


}  // namespace

Ref unwrapped(PyObject* v) {
  if (!is_plain_builtin(v)) {
    if (Ref target = try_getattr(v, OLVEX_NAME(supervisor_target))) return target;
  }
  return Ref::borrow(v);
}

namespace {

// The key strings of recent replays, process-wide: consecutive commits
// mostly write the same few keys, which are then made and hashed once
// instead of once per commit. A fixed table of short keys, each text in the
// one slot its first, middle and last bytes and length pick, so a lookup
// compares one text; a newcomer takes over its slot. The table is created
// once and never freed (its strings would otherwise be released after the
// interpreter is gone). Reached with the interpreter lock held, and nothing
// in a lookup lets it go (a replaced key is a str: freeing it runs no code).
class RecentKeys {
 public:
  static constexpr std::size_t kMaxText = 40;

  static RecentKeys& instance() {
    static RecentKeys* table = new RecentKeys();
    return *table;
  }

  Ref get(std::string_view text) {
    if (text.size() > kMaxText) return key_object(text);
    Slot& s = slots_[slot_of(text)];
    if (s.size == text.size() && s.key && std::memcmp(s.text, text.data(), text.size()) == 0) return s.key;
    // Interned, so that it is the very object of an equal key written in
    // source (an attribute name, a literal): the dicts it meets then find
    // it by identity.
    PyObject* made = key_object(text).release();
    PyUnicode_InternInPlace(&made);
    Ref key = Ref::steal(made);
    Ref old = std::exchange(s.key, key);
    std::memcpy(s.text, text.data(), text.size());
    s.size = text.size();
    return key;
  }

 private:
  static constexpr std::size_t kSlots = 64;

  static std::size_t slot_of(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i])); };
    std::uint32_t h = static_cast<std::uint32_t>(text.size()) * 0x9E3779B1u;
    h ^= byte(0) * 0x85EBCA77u ^ byte(text.size() / 2) * 0xC2B2AE3Du ^ byte(text.size() - 1) * 0x27D4EB2Fu;
    return (h >> 26) % kSlots;
  }

  struct Slot {
    Ref key;
    std::size_t size = 0;
    char text[kMaxText];
  };
  std::array<Slot, kSlots> slots_{};
};

}  // namespace

Ref KeyCache::get(std::string_view text) { return RecentKeys::instance().get(text); }

// Iterative over the segments: no recursion, whatever the structure. The
// segments are views into `path` (a replay runs this once per entry), so
// the only objects made are the key strings. Each segment is written once
// the next one shows whether it is the last.
void set_nested_value(PyObject* root, std::string_view path, PyObject* value, KeyCache* keys) {
  support::SegmentCursor segments(path);
  support::SegmentView seg{};
  if (!segments.next(seg)) return;
  PyObject* cur = root;  // borrowed from the caller, then owned by `held`
  Ref held;
  for (;;) {
    support::SegmentView following{};
    const bool last = !segments.next(following);
    if (seg.is_index) {
      const std::uint64_t n = seg.index;
      if (last) {
        if (PyList_Check(cur)) {
          write_list_index(cur, n, value);
        } else if (PyDict_Check(cur)) {
          Ref key = Ref::check(PyUnicode_FromFormat("%llu", static_cast<unsigned long long>(n)));
          py::check(PyDict_SetItem(cur, key.get(), value));
        } else {
          raise_path(support::cannot_set_index(n));
        }
        return;
      }
      if (!PyList_Check(cur)) raise_path(support::cannot_navigate_index(n));
      held = list_child(cur, n);
    } else {
      const std::string_view name = seg.key;
      const Ref key = keys ? keys->get(name) : key_object(name);
      if (last) {
        if (!PyDict_Check(cur)) {
          write_key_on_object(cur, key.get(), name, value);
        } else if (is_plain_builtin(value)) {  // unwrapped() would hand it back as it is
          py::check(PyDict_SetItem(cur, key.get(), value));
        } else {
          Ref v = unwrapped(value);
          py::check(PyDict_SetItem(cur, key.get(), v.get()));
        }
        return;
      }
      if (PyDict_Check(cur)) {
        held = dict_child(cur, key.get());
      } else {
        PyObject* next = PyObject_GetAttr(cur, key.get());
        if (!next) replace_error(support::cannot_navigate_key, name, cur);
        held = Ref::steal(next);
      }
    }
    cur = held.get();
    seg = following;
  }
}

void deep_update_inplace(PyObject* target, PyObject* source) {
  require_dict(target);
  require_dict(source);
  // Every path back into this function (nested dicts, dotted keys whose
  // final value merges) comes through here, so one guard bounds them all.
  py::RecursionScope depth(" while merging nested dicts");
  const Ref keep_target = Ref::borrow(target);
  const Ref keep_source = Ref::borrow(source);
  DictWalk walk(source);
  Ref key;
  Ref v;
  while (walk.next(key, v)) {
    Ref w = unwrapped(v.get());
    if (PyUnicode_Check(key.get()) && has_dot(key.get())) {
      deep_update_at_path(target, py::utf8(key.get()), w.get());
      continue;
    }
    if (!PyDict_Check(w.get())) {
      Ref u = unwrapped(w.get());
      py::check(PyDict_SetItem(target, key.get(), u.get()));
      continue;
    }
    Ref existing = dict_lookup(target, key.get());
    if (existing && PyDict_Check(existing.get())) {
      deep_update_inplace(existing.get(), w.get());
    } else {
      py::check(PyDict_SetItem(target, key.get(), w.get()));
    }
  }
}

void deep_update_at_path(PyObject* root, std::string_view path, PyObject* value) {
  const auto segments = support::parse_path_segments(path);
  Ref current = Ref::borrow(root);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const auto& seg = segments[i];
    const bool last = i + 1 == segments.size();
    PyObject* cur = current.get();
    if (seg.is_index()) {
      const std::uint64_t n = seg.index_value();
      if (!PyList_Check(cur)) raise_path(support::index_on_non_list(n));
      if (last) {
        write_list_index(cur, n, value);
        return;
      }
      current = list_child(cur, n);
      continue;
    }
    const std::string& name = seg.key_name();
    Ref key = key_object(name);
    if (PyDict_Check(cur)) {
      if (!last) {
        current = dict_child(cur, key.get());
        continue;
      }
      if (PyDict_Check(value)) {
        Ref existing = dict_lookup(cur, key.get());
        if (existing && PyDict_Check(existing.get())) {
          deep_update_inplace(existing.get(), value);
          return;
        }
      }
      py::check(PyDict_SetItem(cur, key.get(), value));
      return;
    }
    if (last) {
      // Written as set_nested_value writes a final key on a non-dict, so the
      // value ends up at the path.
      write_key_on_object(cur, key.get(), name, value);
      return;
    }
    if (Ref next = try_getattr(cur, key.get())) {
      current = std::move(next);
      continue;
    }
    if (Ref target = try_getattr(cur, OLVEX_NAME(supervisor_target))) {
      if (Ref next = try_getattr(target.get(), key.get())) {
        current = std::move(next);
        continue;
      }
    }
    raise_path(support::cannot_navigate_key(name, type_name_of(cur)));
  }
}

}  // namespace olvex::state
