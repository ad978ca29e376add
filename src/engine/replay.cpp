// The replays of the delta log: commit() into the pending buffers (shortest
// path first, heavy paths into pending_heavy), and the two previews,
// build_pending_from_deltas() and get_shadow_updates().
//
// Each works on a snapshot of the log taken under its lock and replays with
// the log unlocked, so a write that the replay makes (an attribute set on a
// logging proxy) may report log_delta: such entries stay for later replays.
#include <algorithm>
#include <cstddef>
#include <memory_resource>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/transaction.hpp"
#include "py/convert.hpp"
#include "py/objects.hpp"
#include "state/nested.hpp"
#include "support/zones.hpp"

namespace olvex::engine {

using py::Ref;

namespace {

struct Replayable {
  py::Str path;  // null for a native report's entry: `text` holds its path
  Ref value;
  std::size_t length = 0;  // bytes of the path's lossless text, the sort key
  // The path's UTF-8 text: a native report's, or a str's own when taking
  // its length found one (a str with a lone surrogate has none: utf8()
  // then raises at the entry's turn).
  std::string_view text{};
};

// The replayable entries (those with a new value), in log order. The
// native reports' path texts are copied into `texts`, as the log's buffer
// may grow while the replay runs Python code.
template <class Vector, class Text>
void snapshot(TransactionData& t, Vector& out, Text& texts) {
  t.delta_log.with([&](DeltaLog& log) {
    std::size_t room = 0;
    for (const DeltaEntry& e : log) {
      if (e.new_val && !e.path) room += e.text_size;
    }
    texts.reserve(room);  // the views below stay valid
    out.reserve(log.size());
    for (const DeltaEntry& e : log) {
      if (!e.new_val) continue;
      if (e.path) {
        out.push_back({py::Str::borrow(e.path.get()), e.new_val});
        continue;
      }
      const std::size_t at = texts.size();
      texts.append(log.text_of(e));
      out.push_back({py::Str(), e.new_val, e.text_size, std::string_view(texts.data() + at, e.text_size)});
    }
  });
}

// The UTF-8 text of an entry's path.
std::string_view text_of(const Replayable& e) { return e.text.data() ? e.text : e.path.utf8(); }

constexpr std::string_view kHeavyPrefix = "heavy.";

// Whether the path lies in the Heavy zone. Most paths never spell "heavy"
// and are spared the full zone walk.
bool in_heavy_zone(std::string_view path) {
  return support::may_be_heavy(path) && support::resolve_zone(path) == support::ContextZone::Heavy;
}

// Stable by length: equal lengths keep log order. A short log (the usual
// case) is sorted in place without the merge buffer a stable sort takes.
void sort_by_length(std::pmr::vector<Replayable>& entries) {
  constexpr std::size_t kInPlace = 32;
  auto shorter = [](const Replayable& a, const Replayable& b) { return a.length < b.length; };
  if (entries.size() > kInPlace) {
    std::stable_sort(entries.begin(), entries.end(), shorter);
    return;
  }
  for (std::size_t i = 1; i < entries.size(); ++i) {
    for (std::size_t j = i; j > 0 && shorter(entries[j], entries[j - 1]); --j) std::swap(entries[j], entries[j - 1]);
  }
}

}  // namespace

void commit(PyObject* tx) {
  TransactionData& t = transaction_data(tx);
  // A process logs a few writes: their snapshot fits in room on the stack.
  alignas(std::max_align_t) std::byte room[8 * sizeof(Replayable) + 256];
  std::pmr::monotonic_buffer_resource arena(room, sizeof room);
  std::pmr::vector<Replayable> entries(&arena);
  std::pmr::string texts(&arena);
  snapshot(t, entries, texts);
  for (Replayable& e : entries) {
    if (!e.path) continue;  // a native text: its length is known
    py::Utf8 bytes = e.path.bytes();
    e.length = bytes.view.size();
    if (!bytes.owner) e.text = bytes.view;  // the str's own UTF-8, which lives as long as the str
  }
  sort_by_length(entries);
  state::KeyCache keys;
  for (const Replayable& e : entries) {
    std::string_view path = text_of(e);
    PyObject* target = t.pending_data.get();
    if (in_heavy_zone(path)) {
      target = t.pending_heavy.get();
      if (path.starts_with(kHeavyPrefix)) path.remove_prefix(kHeavyPrefix.size());
    }
    state::set_nested_value(target, path, e.value.get(), &keys);
  }
}

Ref build_pending_from_deltas(PyObject* tx) {
  infer_shadow_deltas(tx);
  TransactionData& t = transaction_data(tx);
  py::Dict result = py::Dict::make();
  std::vector<Replayable> entries;
  std::string texts;
  snapshot(t, entries, texts);
  for (const Replayable& e : entries) state::set_nested_value(result.get(), text_of(e), e.value.get());
  if (py::Dict::borrow(t.pending_data.get()).size() > 0) {
    state::deep_update_inplace(result.get(), t.pending_data.get());
  }
  return result;
}

namespace {

struct Root {
  std::string_view key;  // into `text`'s bytes
  py::Utf8 text;
  py::Str name;
};

// The root of a logged path: the text before its first "." or "[".
Root root_of(const py::Str& path) {
  py::Utf8 bytes = path.bytes();
  std::string_view view = bytes.view;
  std::size_t cut = std::min(view.find('.'), view.find('['));
  if (cut == std::string_view::npos) return {view, std::move(bytes), path};
  Py_ssize_t dot = path.find('.');
  Py_ssize_t bracket = path.find('[');
  Py_ssize_t end = dot < 0 ? bracket : (bracket < 0 ? dot : std::min(dot, bracket));
  return {view.substr(0, cut), std::move(bytes), path.slice(0, end)};
}

Ref shadow_updates(PyObject* tx) {
  TransactionData& t = transaction_data(tx);
  // Snapshots under both locks, roots first.
  std::vector<std::pair<std::string, Ref>> roots;
  std::vector<py::Str> paths;
  t.root_shadows.with([&](RootShadows& shadows) {
    t.delta_log.with([&](DeltaLog& log) {
      roots.reserve(shadows.size());
      for (const auto& [root, shadow] : shadows) roots.emplace_back(root, shadow);
      paths.reserve(log.size());
      for (DeltaEntry& e : log) paths.push_back(py::Str::borrow(log.path_of(e).get()));
    });
  });
  std::unordered_map<std::string_view, PyObject*> by_root;
  for (const auto& [root, shadow] : roots) by_root.emplace(root, shadow.get());
  py::Dict result = py::Dict::make();
  std::unordered_set<std::string> seen;
  for (const py::Str& path : paths) {
    Root root = root_of(path);
    if (!seen.emplace(root.key).second) continue;
    auto it = by_root.find(root.key);
    if (it != by_root.end()) result.set(root.name.get(), it->second);
  }
  result.update(t.pending_data.get());
  return result;
}

}  // namespace

PyObject* tx_commit(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(transaction_flag(self));
  commit(self);
  return py::none().release();
}

PyObject* tx_build_pending_from_deltas(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(transaction_flag(self));
  return build_pending_from_deltas(self).release();
}

PyObject* tx_get_shadow_updates(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(transaction_flag(self));
  return shadow_updates(self).release();
}

}  // namespace olvex::engine
