// The C++ side of State, in an embedded interpreter: the construction
// routine other classes call, and the key versions, which Python cannot see.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "access/proxy.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"
#include "state/state.hpp"

namespace {

using olvex::py::Ref;
using olvex::state::state_data;
using olvex::state::StateData;

// Runs `code` with State and SupervisorProxy in scope; returns its `out`.
Ref run(const char* code) {
  Ref ns = Ref::steal(PyDict_New());
  PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(ns.get(), "State", olvex::state::state_type.get());
  PyDict_SetItemString(ns.get(), "SupervisorProxy", olvex::access::supervisor_proxy_type.get());
  Ref compiled = Ref::steal(Py_CompileString(code, "<test>", Py_file_input));
  Ref r = compiled ? Ref::steal(PyEval_EvalCode(compiled.get(), ns.get(), ns.get())) : Ref();
  if (!r) {
    PyErr_Print();
    ADD_FAILURE() << code;
    return Ref();
  }
  PyObject* out = PyDict_GetItemString(ns.get(), "out");
  EXPECT_NE(out, nullptr) << code;
  return Ref::borrow(out);
}

// Every key path with its version, as the key check reads them: a key of
// both zones counts once, with the newer of its versions.
std::map<std::string, std::uint64_t> versions_of(PyObject* state) {
  EXPECT_TRUE(olvex::state::is_state(state));
  const StateData& s = state_data(state);
  std::map<std::string, std::uint64_t> out;
  auto note = [&](std::string path, std::uint64_t v) {
    std::uint64_t& slot = out[std::move(path)];
    slot = std::max(slot, v);
  };
  for (const auto* zone : {&s.data, &s.heavy}) {
    for (const auto& e : *zone) note(std::string(olvex::state::ZoneKey::key(e)), e.version);
  }
  for (const auto& [path, v] : s.sub_versions) note(path, v);
  const auto versions = s.key_versions();
  for (const auto& [path, v] : out) {
    const std::uint64_t* found = versions.find(path);
    EXPECT_TRUE(found && *found == v) << path;
  }
  return out;
}

using Versions = std::map<std::string, std::uint64_t>;

TEST(StateConstruction, TheEnginesFirstState) {
  auto* type = reinterpret_cast<PyTypeObject*>(olvex::state::state_type.get());
  Ref s = olvex::state::new_state(type, nullptr, nullptr, nullptr, 0, 1000);
  ASSERT_TRUE(s);
  const StateData& f = state_data(s.get());
  EXPECT_EQ(f.version, 0u);
  EXPECT_EQ(f.meta_capacity, 1000u);
  EXPECT_EQ(f.ring->capacity(), 1000u);
  EXPECT_EQ(f.ring->size(), 0u);
  EXPECT_TRUE(f.data.empty() && f.heavy.empty() && f.key_versions().empty() && f.signals.empty());
}

TEST(StateConstruction, OnlyTopLevelKeysOfBothZonesGetTheVersion) {
  Ref s = run("out = State(data={'a': {'b': 1}, 'x': 2}, heavy={'h': {'i': 3}}, version=7)");
  ASSERT_TRUE(s);
  EXPECT_EQ(versions_of(s.get()), (Versions{{"a", 7}, {"h", 7}, {"x", 7}}));
}

TEST(StateUpdate, KeysAndOneLevelBelowAreStamped) {
  Ref s = run(
      "base = State(data={'a': {}, 'z': 0})\n"
      "parent = base.update(data={'a': {'b': 0, 'c': {'d': 1}}})\n"
      "child = parent.update(data={'a': {'b': 1}})\n"
      "out = (parent, child)\n");
  ASSERT_TRUE(s);
  PyObject* parent = PyTuple_GetItem(s.get(), 0);
  PyObject* child = PyTuple_GetItem(s.get(), 1);
  EXPECT_EQ(versions_of(parent), (Versions{{"a", 2}, {"a.b", 2}, {"a.c", 2}, {"z", 1}}));
  EXPECT_EQ(versions_of(child), (Versions{{"a", 3}, {"a.b", 3}, {"a.c", 2}, {"z", 1}}));
}

TEST(StateUpdate, NothingBelowTheSecondLevelIsStamped) {
  Ref s = run("out = State(data={'a': {'b': {'c': 0, 'd': 1}}}).update(data={'a': {'b': {'c': 5}}})");
  ASSERT_TRUE(s);
  EXPECT_EQ(versions_of(s.get()), (Versions{{"a", 2}, {"a.b", 2}}));
}

TEST(StateUpdate, HeavyKeysShareTheMapWithoutPrefix) {
  Ref s = run("out = State(data={'k': 1}).update(heavy={'k': {'s': 1}, 'h': 2})");
  ASSERT_TRUE(s);
  EXPECT_EQ(versions_of(s.get()), (Versions{{"h", 2}, {"k", 2}, {"k.s", 2}}));
}

TEST(StateUpdate, ProxyValuesAreStampedFromTheDictTheyWrap) {
  Ref s = run("out = State().update(data={'p': SupervisorProxy({'x': 1, 'y': 2}), 'v': [1]})");
  ASSERT_TRUE(s);
  EXPECT_EQ(versions_of(s.get()), (Versions{{"p", 2}, {"p.x", 2}, {"p.y", 2}, {"v", 2}}));
}

TEST(StateUpdate, AFailedUpdateStampsNothingOnTheParent) {
  Ref s = run(
      "parent = State(data={'a': 1})\n"
      "raised = False\n"
      "try:\n"
      "    parent.update(data={'a': {'ok': 1}, 'b': {2: 3}})\n"
      "except TypeError:\n"
      "    raised = True\n"
      "out = (parent, raised)\n");
  ASSERT_TRUE(s);
  PyObject* parent = PyTuple_GetItem(s.get(), 0);
  EXPECT_EQ(PyTuple_GetItem(s.get(), 1), Py_True);  // the update did fail
  EXPECT_EQ(versions_of(parent), (Versions{{"a", 1}}));
  EXPECT_EQ(state_data(parent).ring->size(), 1u);
}

}  // namespace
