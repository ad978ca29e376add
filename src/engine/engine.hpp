#pragma once
// OlvexEngine: the holder of the one committed State, its outbox buffer, the
// worker that delivers the outbox, the schema that validates commits, the
// audit system it keeps for callers, two flags and its conflict core.
//
// Locks: one mutex per cell. Every section only copies or swaps a reference
// (no Python code runs and no reference is released inside), so no thread
// ever waits for an engine lock while holding the interpreter lock, and
// callbacks (worker, schema) run with every cell unlocked.
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "py/lock.hpp"
#include "py/native.hpp"
#include "py/types.hpp"
#include "state/outbox_buffer.hpp"
#include "support/conflict.hpp"

namespace olvex::engine {

struct EngineData {
  explicit EngineData(py::Ref initial_state);

  py::Ref state;  // a State (or subclass instance); guarded by the borrow flag
  state::OutboxRef outbox;
  py::Mutex<py::Ref> worker;        // empty: none attached (None counts as one)
  py::Mutex<py::Ref> schema;        // empty: none set (None counts as one)
  py::Mutex<py::Ref> audit_system;  // empty: none set
  py::Mutex<bool> strict_guards;
  py::Mutex<bool> strict_cas;
  // Never handed to Python.
  std::shared_ptr<support::ConflictCore> conflicts;
};

extern py::TypeCell engine_type;

// Whether `o` is an OlvexEngine or an instance of a subclass.
bool is_engine(PyObject* o);

// A new engine exactly as OlvexEngine() makes one.
py::Ref new_engine();

inline EngineData& engine_data(PyObject* engine) noexcept { return py::value_of<EngineData>(engine); }
inline py::BorrowFlag& engine_flag(PyObject* engine) noexcept { return py::flag_of<EngineData>(engine); }

// ---- Internal accessors for commit, compare-and-swap and the runner --------
// `engine` is an OlvexEngine (is_engine). The caller holds the engine's
// borrow as its own Part requires (shared for reads, exclusive to replace
// the state); the accessors take none of their own and run no Python code.

// The current State, a new reference.
py::Ref current_state(PyObject* engine);

// Installs `next` (a State) and returns the previous one, to be released by
// the caller after it lets go of its borrow (a release can run Python code).
py::Ref replace_state(PyObject* engine, py::Ref next);

// The schema taken out of its cell (a new reference), or nullopt when none
// was ever set. None set through set_schema is a schema.
std::optional<py::Ref> schema(PyObject* engine);

bool strict_cas(PyObject* engine);

// The engine's outbox buffer (shared with every OutboxCollector over it).
const state::OutboxRef& outbox_buffer(PyObject* engine);

// The conflict core's VIP test: true when a VIP holder exists and
// `requester` is absent or another key.
bool is_blocked(PyObject* engine, std::optional<std::string_view> requester);

// ---- Method bodies defined in other files ----------------------------------
// process_outbox.cpp
PyObject* engine_process_outbox(PyObject* self, PyObject*);
// compare_and_swap.cpp
PyObject* engine_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// access/process_runner.cpp (it builds a ProcessContext, above this layer)
PyObject* engine_execute_process_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace olvex::engine
