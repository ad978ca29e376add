#pragma once
// Writes and merges at context paths on live Python objects (dicts, lists and
// objects with attributes). Internal: the transaction builds its pending
// buffers with these. All run with the interpreter lock held, take no lock,
// keep no state, and stop at the first Python exception (thrown as
// py::PyErrorSet); changes made before it stay (no rollback).
#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "py/ref.hpp"

namespace olvex::state {

// The unwrapped value of v: v.supervisor_target when reading it succeeds,
// otherwise v itself. An ordinary exception from the read is discarded.
py::Ref unwrapped(PyObject* v);

// Key strings made for the segments of paths, reused across the writes of
// one replay (its paths repeat their leading segments): each text is made
// into a str once, and its hash is computed once. The texts are views into
// path buffers that must outlive the cache.
class KeyCache {
 public:
  // The key for `text`, borrowed: it stays alive until the next get().
  PyObject* get(std::string_view text);

 private:
  static constexpr std::size_t kLimit = 16;  // a few hot keys; the rest are made afresh
  std::array<std::pair<std::string_view, py::Ref>, kLimit> keys_;
  std::size_t size_ = 0;
};

// Writes `value` at `path` (UTF-8) under `root`, creating missing dicts on
// the way; a path with no segments changes nothing. `keys`, when given,
// lends and keeps the key strings.
void set_nested_value(PyObject* root, std::string_view path, PyObject* value, KeyCache* keys = nullptr);

// Merges the dict `source` into the dict `target` in place, key by key in
// the source's order; text keys holding a "." are paths (deep_update_at_path).
// Dicts of the source are stored by reference, never copied. RecursionError
// for structures that merge into themselves without end.
void deep_update_inplace(PyObject* target, PyObject* source);

// Writes or merges `value` at `path` under `root`: a dict value meeting a
// dict at the final key is merged into it, anything else is written.
void deep_update_at_path(PyObject* root, std::string_view path, PyObject* value);

}  // namespace olvex::state
