// set_nested_value, deep_update_inplace and deep_update_at_path on live
// Python objects, in an embedded interpreter.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "py/errors.hpp"
#include "py/ref.hpp"
#include "state/nested.hpp"

namespace {

using olvex::py::Ref;
using namespace std::string_literals;

// Python helpers every case can use.
const char* kPrelude = R"PY(
class Obj:
    pass

class Proxy:
    """Stands in for a SupervisorProxy: it exposes what it wraps."""
    def __init__(self, target):
        object.__setattr__(self, "supervisor_target", target)

class StrictProxy(Proxy):
    def __setattr__(self, name, value):
        raise ValueError("proxy refused the write")

class NoAttrWrites:
    def __setattr__(self, name, value):
        raise ValueError("setattr failed")

class FailingGetattr:
    def __getattr__(self, name):
        raise ValueError("getattr failed")

class FailingTarget:
    @property
    def supervisor_target(self):
        raise RuntimeError("no target today")

class InterruptingTarget:
    @property
    def supervisor_target(self):
        raise KeyboardInterrupt("stop")

class CollidingKey:
    def __init__(self, name):
        self.name = name
    def __hash__(self):
        return 1
    def __eq__(self, other):
        if self is other:
            return True
        raise ValueError("no comparing keys")

class HashOnce:
    """Hashes once (to enter the source), then fails."""
    def __init__(self):
        self.used = False
    def __hash__(self):
        if self.used:
            raise ValueError("hash failed")
        self.used = True
        return 7

class OwnItemAccess(dict):
    def __setitem__(self, key, value):
        raise AssertionError("the dict's own storage is used")
    def __getitem__(self, key):
        raise AssertionError("the dict's own storage is used")
    def __missing__(self, key):
        raise AssertionError("the dict's own storage is used")

class OwnListAccess(list):
    def __setitem__(self, key, value):
        raise AssertionError("the list's own storage is used")
    def __getitem__(self, key):
        raise AssertionError("the list's own storage is used")
)PY";

PyObject* g_prelude = nullptr;  // namespace holding the helpers

[[noreturn]] void fail_with_python_error(const std::string& what) {
  PyErr_Print();
  throw std::runtime_error(what);
}

PyObject* builtin(const char* name) {
  Ref b = Ref::steal(PyImport_ImportModule("builtins"));
  PyObject* f = PyObject_GetAttrString(b.get(), name);
  if (!f) fail_with_python_error(name);
  return f;
}

Ref run(const char* fn, const std::string& code, PyObject* ns) {
  Ref f = Ref::steal(builtin(fn));
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(code.data(), static_cast<Py_ssize_t>(code.size())));
  Ref r = Ref::steal(PyObject_CallFunctionObjArgs(f.get(), text.get(), ns, nullptr));
  if (!r) fail_with_python_error(code);
  return r;
}

// A fresh namespace with the helpers and the case's own setup.
Ref scope(const std::string& setup) {
  Ref ns = Ref::steal(PyDict_Copy(g_prelude));
  run("exec", setup, ns.get());
  return ns;
}

PyObject* var(PyObject* ns, const char* name) {
  PyObject* v = PyDict_GetItemString(ns, name);
  if (!v) throw std::runtime_error(std::string("setup did not define ") + name);
  return v;
}

bool holds(PyObject* ns, const std::string& check) {
  Ref r = run("eval", check, ns);
  return PyObject_IsTrue(r.get()) == 1;
}

// "" when `f` succeeds, else "ExceptionType: message" of what it raised.
std::string outcome(const std::function<void()>& f) {
  try {
    f();
    if (PyErr_Occurred()) return "<error set after success>";
    return "";
  } catch (...) {
    olvex::py::translate_current_exception();
  }
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return "<no error set>";
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
  std::string out(s, static_cast<std::size_t>(n));
  s = PyUnicode_AsUTF8AndSize(text.get(), &n);
  return out + ": " + std::string(s, static_cast<std::size_t>(n));
}

enum class Op { Set, Merge, AtPath };

struct Case {
  const char* name;
  Op op;
  // Defines `root` and `value` (Set, AtPath) or `target` and `source` (Merge).
  std::string setup;
  std::string path;   // Set and AtPath
  std::string error;  // "" for success
  std::string check;  // Python expression that must hold afterwards
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Nested : public ::testing::TestWithParam<Case> {};

TEST_P(Nested, Outcome) {
  const Case& c = GetParam();
  Ref ns = scope(c.setup);
  const std::string got = outcome([&] {
    switch (c.op) {
      case Op::Set:
        olvex::state::set_nested_value(var(ns.get(), "root"), c.path, var(ns.get(), "value"));
        break;
      case Op::AtPath:
        olvex::state::deep_update_at_path(var(ns.get(), "root"), c.path, var(ns.get(), "value"));
        break;
      case Op::Merge:
        olvex::state::deep_update_inplace(var(ns.get(), "target"), var(ns.get(), "source"));
        break;
    }
  });
  EXPECT_EQ(got, c.error);
  EXPECT_TRUE(holds(ns.get(), c.check)) << c.check;
}

const char* kList = "root = {'l': [1]}; value = 'x'";

INSTANTIATE_TEST_SUITE_P(
    SetNestedValue, Nested,
    ::testing::Values(
        Case{"creates_dicts_and_index_on_dict_is_a_text_key", Op::Set, "root = {}; value = 5", "a.b[2]", "",
             "root == {'a': {'b': {'2': 5}}}"},
        Case{"pads_a_list_with_none", Op::Set, kList, "l[3]", "", "root['l'] == [1, None, None, 'x']"},
        Case{"replaces_a_list_item", Op::Set, kList, "l[0]", "", "root['l'] == ['x']"},
        Case{"appends_at_the_length", Op::Set, kList, "l[+1]", "", "root['l'] == [1, 'x']"},
        Case{"empty_path", Op::Set, kList, "", "", "root == {'l': [1]}"},
        Case{"lone_dot", Op::Set, kList, ".", "", "root == {'l': [1]}"},
        Case{"two_dots", Op::Set, kList, "..", "", "root == {'l': [1]}"},
        Case{"none_fails_at_the_next_segment", Op::Set, "root = {'a': None}; value = 1", "a.b.c",
             "TypeError: Cannot navigate key 'b' in non-dict type 'NoneType'", "root == {'a': None}"},
        Case{"final_key_on_none", Op::Set, "root = {'a': None}; value = 1", "a.b",
             "TypeError: Cannot set key 'b' on non-dict type 'NoneType'", "root == {'a': None}"},
        Case{"index_before_the_end_on_a_dict", Op::Set, "root = {'d': {}}; value = 1", "d[0].x",
             "TypeError: Cannot navigate index [0] in non-list", "root == {'d': {}}"},
        Case{"index_before_the_end_out_of_range", Op::Set, kList, "l[1].x", "IndexError: Index [1] out of range",
             "root == {'l': [1]}"},
        Case{"out_of_range_prints_unsigned", Op::Set, kList, "l[18446744073709551615].x",
             "IndexError: Index [18446744073709551615] out of range", "root == {'l': [1]}"},
        Case{"final_index_on_text", Op::Set, "root = {'s': 'text'}; value = 1", "s[0]",
             "TypeError: Cannot set index [0] on non-list/dict", "root == {'s': 'text'}"},
        Case{"dotted_number_on_a_list_is_a_key", Op::Set, kList, "l.0",
             "TypeError: Cannot set key '0' on non-dict type 'list'", "root == {'l': [1]}"},
        Case{"dotted_number_before_the_end", Op::Set, kList, "l.0.x",
             "TypeError: Cannot navigate key '0' in non-dict type 'list'", "root == {'l': [1]}"},
        Case{"quoted_key_keeps_its_dots", Op::Set, "root = {}; value = 1", "a['x.y']", "",
             "root == {'a': {'x.y': 1}}"},
        Case{"dots_make_levels", Op::Set, "root = {}; value = 1", "a.x.y", "", "root == {'a': {'x': {'y': 1}}}"},
        Case{"proxy_into_a_dict_stores_its_target", Op::Set, "root = {}; value = Proxy([1])", "k", "",
             "root['k'] is value.supervisor_target"},
        Case{"proxy_into_a_list_stores_the_proxy", Op::Set, "root = {'l': [0]}; value = Proxy([1])", "l[0]", "",
             "root['l'][0] is value"},
        Case{"proxy_into_a_dict_by_index_stores_the_proxy", Op::Set, "root = {}; value = Proxy([1])", "[4]", "",
             "root['4'] is value"},
        Case{"proxy_as_an_attribute_stores_the_proxy", Op::Set, "root = {'o': Obj()}; value = Proxy([1])", "o.k",
             "", "root['o'].k is value"},
        Case{"through_a_proxy_over_a_dict", Op::Set, "root = {'p': Proxy({})}; value = Proxy(3)", "p.k", "",
             "root['p'].supervisor_target == {'k': 3}"},
        Case{"through_a_proxy_over_a_list_sets_its_attribute", Op::Set, "root = {'p': Proxy([])}; value = 1",
             "p.k", "", "root['p'].k == 1 and root['p'].supervisor_target == []"},
        Case{"a_proxy_refusal_is_raised_unchanged", Op::Set, "root = {'p': StrictProxy([])}; value = 1", "p.k",
             "ValueError: proxy refused the write",
             "root['p'].supervisor_target == [] and 'k' not in vars(root['p'])"},
        Case{"failed_attribute_write_is_named", Op::Set, "root = {'o': NoAttrWrites()}; value = 1", "o.k",
             "TypeError: Cannot set key 'k' on non-dict type 'NoAttrWrites'", "vars(root['o']) == {}"},
        Case{"navigates_attributes", Op::Set, "o = Obj(); o.inner = {}; root = {'o': o}; value = 1", "o.inner.k",
             "", "o.inner == {'k': 1}"},
        Case{"failed_attribute_read_is_named", Op::Set, "root = {'o': FailingGetattr()}; value = 1", "o.x.y",
             "TypeError: Cannot navigate key 'x' in non-dict type 'FailingGetattr'",
             "list(root) == ['o'] and vars(root['o']) == {}"},
        Case{"failing_supervisor_target_is_passed_over", Op::Set, "root = {'o': FailingTarget()}; value = 1",
             "o.k", "", "root['o'].k == 1"},
        Case{"keyboard_interrupt_is_not_swallowed", Op::Set, "root = {'o': InterruptingTarget()}; value = 1",
             "o.k", "KeyboardInterrupt: stop", "not hasattr(root['o'], 'k')"},
        Case{"list_padding_bound", Op::Set, "root = {'l': []}; value = 1", "l[65537]",
             "IndexError: Index [65537] is too far beyond the end of a list of length 0", "root['l'] == []"},
        Case{"list_padding_at_the_bound", Op::Set, "root = {'l': [0]}; value = 1", "l[65537]", "",
             "len(root['l']) == 65538 and root['l'][-1] == 1 and root['l'][-2] is None"},
        Case{"largest_index", Op::Set, kList, "l[18446744073709551615]",
             "IndexError: Index [18446744073709551615] is too far beyond the end of a list of length 1",
             "root == {'l': [1]}"},
        Case{"subclass_item_access_is_not_used", Op::Set,
             "root = OwnItemAccess(); dict.__setitem__(root, 'l', OwnListAccess([0])); value = 1", "l[0]", "",
             "list(dict.get(root, 'l')) == [1]"},
        Case{"subclass_dicts_are_created_into", Op::Set, "root = OwnItemAccess(); value = 1", "a.b", "",
             "dict(root) == {'a': {'b': 1}}"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    DeepUpdate, Nested,
    ::testing::Values(
        Case{"dotted_key_is_a_path", Op::Merge, "target = {}; source = {'a.b': 1}", "", "",
             "target == {'a': {'b': 1}}"},
        Case{"dicts_merge", Op::Merge, "target = {'a': {'y': 2}}; source = {'a': {'x': 1}}", "", "",
             "target == {'a': {'y': 2, 'x': 1}} and list(target['a']) == ['y', 'x']"},
        Case{"a_value_replaces_a_dict", Op::Merge, "target = {'a': {'y': 2}}; source = {'a': 3}", "", "",
             "target == {'a': 3}"},
        Case{"a_dict_replaces_a_value", Op::Merge, "target = {'a': 3}; source = {'a': {'x': 1}}", "", "",
             "target['a'] is source['a']"},
        Case{"source_dicts_are_stored_by_reference", Op::Merge, "target = {}; inner = {'x': 1}; source = {'a': inner}",
             "", "", "target['a'] is inner"},
        Case{"proxied_dict_merges", Op::Merge, "target = {'a': {'y': 2}}; source = {'a': Proxy({'x': 1})}", "", "",
             "target == {'a': {'y': 2, 'x': 1}}"},
        Case{"values_are_unwrapped_twice", Op::Merge, "target = {}; source = {'a': Proxy(Proxy(5))}", "", "",
             "target == {'a': 5}"},
        Case{"non_text_keys_as_they_are", Op::Merge, "target = {}; source = {1: 'x', (1, 2): 'y', 'l[0]': 'z'}", "",
             "", "target == {1: 'x', (1, 2): 'y', 'l[0]': 'z'}"},
        Case{"dotted_key_merges_at_its_path", Op::Merge, "target = {'a': {'b': {'x': 1}}}; source = {'a.b': {'y': 2}}",
             "", "", "target == {'a': {'b': {'x': 1, 'y': 2}}}"},
        Case{"dotted_key_with_index", Op::Merge, "target = {'x': {'l': [0]}}; source = {'x.l[1]': 5}", "", "",
             "target == {'x': {'l': [0, 5]}}"},
        Case{"index_on_a_dict_is_refused", Op::Merge, "target = {'d': {}}; source = {'d.[0]': 1}", "",
             "TypeError: Index [0] on non-list", "target == {'d': {}}"},
        Case{"path_through_attributes", Op::Merge, "o = Obj(); o.inner = {}; target = {'o': o}; source = {'o.inner.k': 1}",
             "", "", "o.inner == {'k': 1}"},
        Case{"path_through_a_proxy_target", Op::Merge,
             "o = Obj(); o.inner = {}; target = {'p': Proxy(o)}; source = {'p.inner.k': 1}", "", "",
             "o.inner == {'k': 1}"},
        Case{"path_that_cannot_be_navigated", Op::Merge, "target = {'n': 5}; source = {'n.x.y': 1}", "",
             "TypeError: Cannot navigate key 'x' in non-dict type 'int'", "target == {'n': 5}"},
        Case{"final_key_on_an_object_is_written", Op::Merge, "target = {'o': Obj()}; source = {'o.k': 1}", "", "",
             "target['o'].k == 1"},
        Case{"final_key_through_a_proxy_over_a_dict", Op::Merge, "target = {'p': Proxy({})}; source = {'p.k': [1]}",
             "", "", "target['p'].supervisor_target == {'k': [1]}"},
        Case{"final_key_on_an_int", Op::Merge, "target = {'n': 5}; source = {'n.k': 1}", "",
             "TypeError: Cannot set key 'k' on non-dict type 'int'", "target == {'n': 5}"},
        Case{"no_rollback", Op::Merge, "target = {'n': 5}; source = {'a': 1, 'n.x.y': 2, 'z': 3}", "",
             "TypeError: Cannot navigate key 'x' in non-dict type 'int'", "target == {'n': 5, 'a': 1}"},
        Case{"key_hash_errors_propagate", Op::Merge, "target = {}; source = {HashOnce(): 1}", "",
             "ValueError: hash failed", "target == {}"},
        Case{"key_comparison_errors_propagate", Op::Merge,
             "target = {CollidingKey('a'): 1}; source = {CollidingKey('b'): 2}", "",
             "ValueError: no comparing keys", "len(target) == 1"},
        Case{"undotted_keys_need_no_encoding", Op::Merge, "target = {}; source = {'\\ud800': 1}", "", "",
             "target == {'\\ud800': 1}"},
        Case{"dotted_keys_must_encode", Op::Merge, "target = {}; source = {'a.\\ud800': 1}", "",
             "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 2: surrogates not "
             "allowed",
             "target == {}"},
        Case{"nul_characters_reach_the_message", Op::Merge, "target = {'n': 5}; source = {'n.a\\x00b': 1}", "",
             "TypeError: Cannot set key 'a\0b' on non-dict type 'int'"s, "target == {'n': 5}"},
        Case{"self_referencing_structures", Op::Merge, "target = {}; target['a'] = target; source = {}; source['a'] = source",
             "", "RecursionError: maximum recursion depth exceeded while merging nested dicts",
             "list(target) == ['a'] and target['a'] is target"},
        Case{"deep_but_finite_structures", Op::Merge,
             "source = s = {}; target = t = {}\n"
             "for i in range(3000):\n"
             "    s['k'] = s = {}; t['k'] = t = {}\n"
             "s['leaf'] = 1\n"
             "def bottom(d):\n"
             "    while 'k' in d: d = d['k']\n"
             "    return d\n",
             "", "", "bottom(target) == {'leaf': 1} and bottom(target) is not s"},
        Case{"source_changed_while_merged", Op::Merge,
             "class Grows:\n"
             "    @property\n"
             "    def supervisor_target(self):\n"
             "        source['new'] = 1\n"
             "        return 1\n"
             "target = {}; source = {'g': Grows()}",
             "", "PanicException: dictionary changed size during iteration", "target == {'g': 1}"},
        Case{"not_a_dict", Op::Merge, "target = []; source = {}", "",
             "TypeError: 'list' object cannot be converted to 'PyDict'", "target == []"},
        Case{"at_path_merges_a_dict", Op::AtPath, "root = {'a': {'b': {'x': 1}}}; value = {'y': 2}", "a.b", "",
             "root == {'a': {'b': {'x': 1, 'y': 2}}}"},
        Case{"at_path_index_pads", Op::AtPath, "root = {'l': [1]}; value = {'y': 2}", "l[2]", "",
             "root == {'l': [1, None, {'y': 2}]}"},
        Case{"at_path_final_index_on_a_dict", Op::AtPath, "root = {}; value = 1", "[0]",
             "TypeError: Index [0] on non-list", "root == {}"},
        Case{"at_path_out_of_range", Op::AtPath, "root = {'l': [1]}; value = 1", "l[3].x",
             "IndexError: Index [3] out of range", "root == {'l': [1]}"},
        Case{"at_path_empty", Op::AtPath, "root = {}; value = 1", ".", "", "root == {}"}),
    [](const auto& info) { return std::string(info.param.name); });

// A path may be long and loop through a self-referencing list: the walk is
// iterative, so it finishes whatever the length.
TEST(SetNestedValueWalk, LongPathThroughASelfReferencingList) {
  Ref ns = scope("root = []; root.append(root); value = 'end'");
  std::string path;
  for (int i = 0; i < 200000; ++i) path += "[0]";
  path += "[1]";
  EXPECT_EQ(outcome([&] { olvex::state::set_nested_value(var(ns.get(), "root"), path, var(ns.get(), "value")); }),
            "");
  EXPECT_TRUE(holds(ns.get(), "len(root) == 2 and root[0] is root and root[1] == 'end'"));
  run("exec", "root.clear()", ns.get());  // break the cycle
}

// Merging must leave every reference count as it found it.
TEST(DeepUpdateReferences, NoLeaksOrLosses) {
  Ref ns = scope(
      "import sys\n"
      "leaf = object(); inner = {'x': leaf}\n"
      "target = {}; source = {'a': inner, 'b.c': leaf, 'd': Proxy(leaf)}\n"
      "before = (sys.getrefcount(leaf), sys.getrefcount(inner))\n");
  ASSERT_EQ(outcome([&] {
              olvex::state::deep_update_inplace(var(ns.get(), "target"), var(ns.get(), "source"));
            }),
            "");
  // The target now holds inner once and leaf three times (b.c, d, and
  // inner's own item was there before).
  EXPECT_TRUE(holds(ns.get(), "(sys.getrefcount(leaf), sys.getrefcount(inner)) == (before[0] + 2, before[1] + 1)"));
  run("exec", "target.clear()", ns.get());
  EXPECT_TRUE(holds(ns.get(), "(sys.getrefcount(leaf), sys.getrefcount(inner)) == before"));
}

TEST(Unwrapped, TargetOrTheValueItself) {
  Ref ns = scope("p = Proxy([1]); o = Obj(); f = FailingTarget(); i = InterruptingTarget()");
  Ref expected = run("eval", "p.supervisor_target", ns.get());
  EXPECT_EQ(olvex::state::unwrapped(var(ns.get(), "p")).get(), expected.get());
  EXPECT_EQ(olvex::state::unwrapped(var(ns.get(), "o")).get(), var(ns.get(), "o"));
  EXPECT_EQ(olvex::state::unwrapped(var(ns.get(), "f")).get(), var(ns.get(), "f"));
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(outcome([&] { olvex::state::unwrapped(var(ns.get(), "i")); }), "KeyboardInterrupt: stop");
}

}  // namespace

// The helpers' namespace is made once the interpreter is up.
class Prelude : public ::testing::Environment {
 public:
  void SetUp() override {
    g_prelude = PyDict_New();
    PyDict_SetItemString(g_prelude, "__builtins__", PyEval_GetBuiltins());
    run("exec", kPrelude, g_prelude);
  }
  void TearDown() override { Py_CLEAR(g_prelude); }
};
const auto* const kPreludeEnv = ::testing::AddGlobalTestEnvironment(new Prelude);
