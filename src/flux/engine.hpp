#pragma once
// WorkflowEngine's fields and the routines its members share: the workflow
// state machine, condition evaluation, and the run itself. The methods are
// split by concern over workflow_engine.cpp (construction, state, observers),
// conditions.cpp, execution.cpp and simulate.cpp.
#include <cstdint>
#include <optional>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "py/lock.hpp"
#include "py/native.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "support/flux_graph.hpp"
#include "support/flux_steps.hpp"
#include "support/yaml_tree.hpp"

namespace olvex::flux {

enum class Fsm : std::uint8_t { Pending, Running, WaitingIO, Complete, Failed };

const char* fsm_name(Fsm s) noexcept;

extern py::TypeCell fsm_state_type;
extern py::TypeCell workflow_engine_type;

// A new FSMState object for `s`.
py::Ref fsm_object(Fsm s);

// Hashes std::string keys and std::string_view probes alike.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

struct EngineData {
  EngineData(support::yaml::Tree tree, support::flux::Workflow workflow, std::vector<py::Ref> names,
             std::uint32_t max_ops, bool debug);

  support::yaml::Tree config;  // the whole document
  support::flux::Workflow workflow;
  std::vector<py::Ref> process_names;  // str objects, by Process::id
  const support::yaml::Node* nodes = nullptr;  // the root's `nodes` value, when the root has that key
  support::flux::NodeIndex node_index;         // over `nodes` when it is a mapping
  py::Mutex<Fsm> current{Fsm::Pending};
  py::Mutex<std::vector<Fsm>> history{std::vector<Fsm>{Fsm::Pending}};
  py::Mutex<std::vector<py::Ref>> observers;
  // Compiled conditions by text; only successes are kept, the first stored wins.
  py::Mutex<std::unordered_map<std::string, py::Ref, TextHash, std::equal_to<>>> codes;
  std::uint32_t max_ops;
  bool debug;
};

inline EngineData& engine_of(PyObject* self) noexcept { return py::value_of<EngineData>(self); }
inline py::BorrowFlag& engine_flag(PyObject* self) noexcept { return py::flag_of<EngineData>(self); }

// Moves the workflow state and tells the observers; their errors are
// discarded. Must be called with no Python error set.
void transition_state(EngineData& e, Fsm next);

// The truth value of one condition over the items of `ctx` (a dict or a
// subclass, read from its own storage).
bool eval_condition(EngineData& e, std::string_view expr, PyObject* ctx);

// Copies every item of `from` (a dict or a subclass, its own storage, its
// own order) into `to`.
void copy_items(PyObject* to, PyObject* from);

// module.name (the module itself for a null name), looked up on first use
// and kept for good in `slot` (a
// static PyObject* that starts null; borrowed result). The lookup may run
// Python code that lets another thread in, so no C++ static-initialisation
// guard surrounds it (a thread waiting on one would hold the interpreter
// lock); the first thread to store wins.
PyObject* kept_attr(PyObject*& slot, const char* module, const char* name);

// `import asyncio`, as the statement does it on every call.
py::Ref import_asyncio();

// TypeError naming `ctx` unless it is a dict or a dict subclass.
void check_ctx(PyObject* ctx);

// Guards one level of re-entry against the interpreter's recursion limit.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where);
  ~RecursionGuard();
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// One "[FLUX-DEBUG] ..." line on descriptor 2.
void debug_line(std::string_view text);

// Members defined outside workflow_engine.cpp.
PyObject* engine_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_execute_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_simulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace olvex::flux
