// State.update: the next version, built copy-on-write from its parent. The
// child's maps start as O(1) copies of the parent's; each write rebuilds one
// path of a map, and a merge copies only the dicts on the merged paths.
// Nothing reachable from the parent is ever changed, so a failure simply
// drops the child (the meta-log line and the broadcasts already sent stay).
#include <fmt/format.h>

#include <limits>
#include <string>
#include <string_view>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/recursion.hpp"
#include "state/dict_walk.hpp"
#include "state/nested.hpp"
#include "state/signals.hpp"
#include "state/state.hpp"

namespace olvex::state {

using py::Ref;

namespace {

// A new plain dict with the same keys and value objects. The items are
// read from the dict's own storage, for subclasses too.
Ref shallow_copy(PyObject* dict) {
  if (PyDict_CheckExact(dict)) return Ref::check(PyDict_Copy(dict));
  Ref out = Ref::check(PyDict_New());
  DictWalk walk(dict);
  Ref key;
  Ref value;
  while (walk.next(key, value)) py::check(PyDict_SetItem(out.get(), key.get(), value.get()));
  return out;
}

// Whether merging `incoming` over the dict `old` only replaces every value:
// the same exact str key objects in the same order, and no two dicts to
// merge under any of them. The merge is then a copy of `incoming`, made
// without a write per key (a shadow merged over its original, say): as
// every key is an exact str, the writes it spares would run no code. Reads
// the two dicts' storage; no code runs.
bool replaces_every_value(PyObject* old, PyObject* incoming) {
  if (!PyDict_CheckExact(incoming) || PyDict_Size(old) != PyDict_Size(incoming)) return false;
  Py_ssize_t at_old = 0;
  Py_ssize_t at_new = 0;
  PyObject *old_key, *old_value, *new_key, *new_value;
  while (PyDict_Next(incoming, &at_new, &new_key, &new_value)) {
    if (!PyDict_Next(old, &at_old, &old_key, &old_value)) return false;
    if (new_key != old_key || !PyUnicode_CheckExact(new_key)) return false;
    if (PyDict_Check(old_value) && PyDict_Check(new_value)) return false;
  }
  return true;
}

// The items of a merge's own copy, when it is small and every key is an
// exact str: an exact str key of the incoming dict is found among them by
// a scan instead of a lookup, the copy's own key object first, then an
// equal one, starting at the key's own place (the two dicts often list
// their keys alike). With exact str keys only, neither the scan nor a
// lookup runs any code. Each found item is taken out, so a key seen twice
// (its dict changed meanwhile) is looked up the usual way.
class CopiedItems {
 public:
  static constexpr int kMost = 8;

  explicit CopiedItems(PyObject* copy) {
    if (PyDict_Size(copy) > kMost) return;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy, &at, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) {
        n_ = 0;
        return;
      }
      keys_[n_] = key;
      values_[n_++] = value;
    }
  }

  // The value the copy holds under a key equal to `key`, the `place`-th
  // key of its dict, taken out; or null when it is not among the items.
  PyObject* take(PyObject* key, int place) {
    if (n_ == 0 || !PyUnicode_CheckExact(key)) return nullptr;
    for (int i = 0; i < n_; ++i) {
      if (keys_[i] == key) return take_at(i);
    }
    for (int k = 0; k < n_; ++k) {
      const int i = (place + k) % n_;
      if (keys_[i] && PyUnicode_Compare(keys_[i], key) == 0) return take_at(i);
    }
    return nullptr;
  }

 private:
  PyObject* take_at(int i) {
    keys_[i] = nullptr;
    return values_[i];
  }

  PyObject* keys_[kMost];
  PyObject* values_[kMost];
  int n_ = 0;
};

// `incoming` (a dict) merged over `old`: every dict on a merged path is new,
// everything else stays shared. Neither argument is changed.
Ref deep_merge_cow(PyObject* old, PyObject* incoming) {
  py::RecursionScope guard(" while merging nested dicts");
  if (!PyDict_Check(old)) return shallow_copy(incoming);
  if (replaces_every_value(old, incoming)) return Ref::check(PyDict_Copy(incoming));
  Ref result = shallow_copy(old);
  CopiedItems copied(result.get());
  DictWalk walk(incoming);
  Ref key;
  Ref value;
  for (int place = 0; walk.next(key, value); ++place) {
    Ref current;
    // The copy alone holds what it found, and nothing writes that key
    // before the value is read.
    PyObject* found = copied.take(key.get(), place);
    if (found) {
      current = Ref::borrow(found);
    } else {
      PyObject* raw = nullptr;
      py::check(PyDict_GetItemRef(result.get(), key.get(), &raw));
      current = Ref::steal(raw);
    }
    if (current && PyDict_Check(current.get()) && PyDict_Check(value.get())) {
      Ref merged = deep_merge_cow(current.get(), value.get());
      py::check(PyDict_SetItem(result.get(), key.get(), merged.get()));
    } else if (found != value.get()) {
      // A value the copy already holds under the same key object needs no write.
      py::check(PyDict_SetItem(result.get(), key.get(), value.get()));
    }
  }
  return result;
}

// Writes the items of `incoming` (a data or heavy argument) into the child's
// zone with version n, recording n also for each sub-key of a dict value.
void merge_zone(PyObject* incoming, Zone& zone, VersionMap& versions, std::uint64_t n) {
  if (!PyDict_Check(incoming)) py::raise_type(incoming, "PyDict");
  DictWalk walk(incoming);
  Ref key;
  Ref value;
  while (walk.next(key, value)) {
    Ref target = unwrapped(value.get());
    if (!PyUnicode_Check(key.get())) py::raise_type(key.get(), "PyString");
    std::string_view name = py::utf8(key.get());  // lives as long as `key`
    const bool is_dict = PyDict_Check(target.get());
    if (is_dict) {
      // No code runs in this walk, so its keys stay borrowed from the dict.
      Py_ssize_t at = 0;
      PyObject *sub_key, *sub_value;
      while (PyDict_Next(target.get(), &at, &sub_key, &sub_value)) {
        if (!PyUnicode_Check(sub_key)) py::raise_type(sub_key, "PyString");
        // Made at its length in one go and moved into the map.
        const std::string_view sub = py::utf8(sub_key);
        std::string path(name.size() + 1 + sub.size(), '.');
        name.copy(path.data(), name.size());
        sub.copy(path.data() + name.size() + 1, sub.size());
        versions.insert_or_assign(std::move(path), n);
      }
    }
    const std::size_t h = zone.hash_of(name);
    const ZoneEntry* existing = is_dict ? zone.find(name, h) : nullptr;
    if (existing) {
      Ref old = existing->value;
      target = deep_merge_cow(old.get(), target.get());
    }
    zone.insert_or_assign(ZoneEntry{plain_key(key.get(), name), std::move(target), n}, h);
  }
}

// UTF-8 of a str, each lone surrogate replaced by U+FFFD.
std::string lossy_utf8(PyObject* str) {
  Py_ssize_t n = 0;
  if (const char* s = PyUnicode_AsUTF8AndSize(str, &n)) return std::string(s, static_cast<std::size_t>(n));
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::PyErrorSet{};
  PyErr_Clear();
  Ref bytes = Ref::check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  char* raw = nullptr;
  py::check(PyBytes_AsStringAndSize(bytes.get(), &raw, &n));
  std::string_view b(raw, static_cast<std::size_t>(n));
  std::string out;
  out.reserve(b.size());
  for (std::size_t i = 0; i < b.size(); ++i) {
    // A surrogate is written ED A0..BF 80..BF; valid UTF-8 never holds it.
    if (static_cast<unsigned char>(b[i]) == 0xED && i + 2 < b.size() &&
        (static_cast<unsigned char>(b[i + 1]) & 0xE0) == 0xA0) {
      out += "\xEF\xBF\xBD";
      i += 2;
    } else {
      out += b[i];
    }
  }
  return out;
}

// str(value) for a signal; a failing str() is reported, not raised.
std::string signal_text(PyObject* value) {
  if (Ref s = Ref::steal(PyObject_Str(value))) return lossy_utf8(s.get());
  PyErr_WriteUnraisable(value);
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(value)));
  if (!name) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return "<unprintable " + lossy_utf8(name.get()) + " object>";
}

void send_signals(PyObject* dict, const support::Sender& hub, TextMap& signals) {
  DictWalk walk(dict);
  Ref name;
  Ref value;
  std::string message;
  while (walk.next(name, value)) {
    if (!PyUnicode_Check(name.get())) py::raise_type(name.get(), "PyString");
    std::string_view text_name = py::utf8(name.get());  // lives as long as `name`
    std::string text = signal_text(value.get());
    message.assign(text_name).append(1, ':').append(text);
    broadcast(hub, message);
    signals.insert_or_assign(std::string(text_name), std::move(text));
  }
}

// A list of dicts, one dict, or anything else (ignored).
void apply_signals(PyObject* signal, const support::Sender& hub, TextMap& signals) {
  if (PyDict_Check(signal)) {
    send_signals(signal, hub, signals);
    return;
  }
  if (!PyList_Check(signal)) return;
  // The length is read again at every step: str() of a value may change the list.
  for (Py_ssize_t i = 0; i < PyList_Size(signal); ++i) {
    Ref item = Ref::check(PyList_GetItemRef(signal, i));
    if (!PyDict_Check(item.get())) py::raise_type(item.get(), "PyDict");
    send_signals(item.get(), hub, signals);
  }
}

// The meta-log line of a new version. The entry is filled in storage that
// the ring handed back from the append before (the entry it evicted, once
// it is full), so a line costs no allocation; the interpreter lock
// serialises every update, and so every use of that storage.
void append_update_line(support::MetaRing& ring, std::uint64_t n) {
  static constexpr std::string_view kKey = "state_update";
  static constexpr std::string_view kText = "State updated to version ";
  static support::MetaLogEntry spare;
  spare.timestamp = support::wall_clock_seconds();
  if (spare.key != kKey) spare.key.assign(kKey);  // most evicted lines are update lines
  const fmt::format_int digits(n);
  spare.message.assign(kText).append(digits.data(), digits.size());
  ring.swap_in(spare);
}

}  // namespace

PyObject* state_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<3> params{"State.update", {"data", "heavy", "signal"}, 0};
  auto [data, heavy, signal] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(state_flag(self));
  const StateData& parent = state_data(self);
  if (parent.version == std::numeric_limits<std::uint64_t>::max()) {
    py::raise(PyExc_OverflowError, fmt::format("State version {} cannot be advanced", parent.version));
  }
  const std::uint64_t n = parent.version + 1;
  StateData child{parent.data, parent.heavy, parent.hub,          parent.ring,
                  parent.sub_versions, TextMap(), parent.meta_capacity, n};
  append_update_line(*child.ring, n);
  if (PyObject* d = data ? py::optional(data) : nullptr) merge_zone(d, child.data, child.sub_versions, n);
  if (PyObject* h = heavy ? py::optional(heavy) : nullptr) merge_zone(h, child.heavy, child.sub_versions, n);
  if (PyObject* s = signal ? py::optional(signal) : nullptr) apply_signals(s, *child.hub, child.signals);
  return wrap_state(std::move(child)).release();
}

}  // namespace olvex::state
