#pragma once
// Writes and merges at context paths on live Python objects (dicts, lists and
// objects with attributes). Internal: the transaction builds its pending
// buffers with these. All run with the interpreter lock held, take no lock,
// keep no state, and stop at the first Python exception (thrown as
// py::PyErrorSet); changes made before it stay (no rollback).
#include <cstddef>
#include <string_view>

#include "py/ref.hpp"

namespace olvex::state {

// The unwrapped value of v: v.supervisor_target when reading it succeeds,
// otherwise v itself. An ordinary exception from the read is discarded.
py::Ref unwrapped(PyObject* v);

// Key strings for the segments of paths, lent by a small process-wide table
// of recent keys: the paths of one replay repeat their leading segments,
// and consecutive replays mostly write the same few keys, so each text is
// made into a str, and hashed, once while it stays in the table.
class KeyCache {
 public:
  // The key for `text` (UTF-8).
  py::Ref get(std::string_view text);
};

// Writes `value` at `path` (UTF-8) under `root`, creating missing dicts on
// the way; a path with no segments changes nothing. `keys`, when given,
// lends the key strings.
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
