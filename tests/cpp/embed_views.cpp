// The C++ side of the read-only views (the factories State uses) and of the
// override functions, in an embedded interpreter.
#include <gtest/gtest.h>

#include <string>

#include "py/errors.hpp"
#include "py/ref.hpp"
#include "state/overrides.hpp"
#include "state/views.hpp"
#include "support/zones.hpp"

namespace {

using olvex::py::Ref;

// Evaluates `expr` with `obj` bound to the name x.
Ref eval_with(const char* expr, PyObject* obj) {
  Ref ns = Ref::steal(PyDict_New());
  PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(ns.get(), "x", obj);
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  Ref eval = Ref::steal(PyObject_GetAttrString(builtins.get(), "eval"));
  Ref text = Ref::steal(PyUnicode_FromString(expr));
  Ref r = Ref::steal(PyObject_CallFunctionObjArgs(eval.get(), text.get(), ns.get(), nullptr));
  if (!r) {
    PyErr_Print();
    ADD_FAILURE() << expr;
  }
  return r;
}

std::string text_of(PyObject* o) {
  Py_ssize_t n = 0;
  const char* s = o ? PyUnicode_AsUTF8AndSize(o, &n) : nullptr;
  if (!s) {
    PyErr_Clear();
    return "<not text>";
  }
  return {s, static_cast<std::size_t>(n)};
}

std::string eval_text(const char* expr, PyObject* obj) { return text_of(eval_with(expr, obj).get()); }

// The error a C++ call raised, as "Type: message"; "" when none.
template <class F>
std::string raised(F f) {
  try {
    f();
    return "";
  } catch (...) {
    olvex::py::translate_current_exception();
  }
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
  Ref str = Ref::steal(PyObject_Str(exc.get()));
  return text_of(name.get()) + ": " + text_of(str.get());
}

TEST(MetaLogEntryObject, PropertiesAndRepr) {
  Ref e = olvex::state::meta_log_entry_object(2.5, "state_update", "State updated to version 2");
  EXPECT_EQ(eval_text("repr(x)", e.get()), "MetaLogEntry(time=2.5, key=state_update, msg=State updated to version 2)");
  EXPECT_EQ(eval_text("str(x)", e.get()), eval_text("repr(x)", e.get()));
  EXPECT_EQ(eval_text("repr((x.timestamp, x.key, x.message))", e.get()),
            "(2.5, 'state_update', 'State updated to version 2')");
  EXPECT_EQ(eval_text("type(x).__name__ + ' ' + type(x).__module__", e.get()), "MetaLogEntry olvex_core");
  Ref whole = olvex::state::meta_log_entry_object(3.0, "k", "it's \"m\"");
  EXPECT_EQ(eval_text("repr(x)", whole.get()), "MetaLogEntry(time=3, key=k, msg=it's \"m\")");
}

TEST(MetaLogEntryObject, ReadOnlyIndependentCopiesComparedByIdentity) {
  olvex::support::MetaLogEntry value{1e-7, "k\xc3\xa9", "m"};
  Ref a = olvex::state::meta_log_entry_object(value);
  value.key = "changed";
  Ref b = olvex::state::meta_log_entry_object(value);
  EXPECT_EQ(eval_text("x.key", a.get()), "k\xc3\xa9");
  EXPECT_EQ(eval_text("x.key", b.get()), "changed");
  EXPECT_EQ(eval_text("repr(x)", a.get()), "MetaLogEntry(time=0.0000001, key=k\xc3\xa9, msg=m)");
  for (const char* stmt : {"setattr(x, 'key', 'y')", "setattr(x, 'timestamp', 1.0)", "setattr(x, 'other', 1)"}) {
    std::string expr = std::string("(lambda: ") + stmt + ")";
    Ref f = eval_with(expr.c_str(), a.get());
    EXPECT_EQ(PyObject_CallNoArgs(f.get()), nullptr) << stmt;
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_AttributeError)) << stmt;
    PyErr_Clear();
  }
  Ref same = olvex::state::meta_log_entry_object(1.0, "k", "m");
  Ref other = olvex::state::meta_log_entry_object(1.0, "k", "m");
  EXPECT_EQ(PyObject_RichCompareBool(same.get(), other.get(), Py_EQ), 0);
  EXPECT_EQ(PyObject_RichCompareBool(same.get(), same.get(), Py_EQ), 1);
  EXPECT_EQ(eval_text("str(hash(x) == hash(x) and hash(x) == object.__hash__(x))", same.get()), "True");
}

TEST(FrozenDictFactory, ViewOverTheDictItself) {
  Ref d = eval_with("{'a': 1}", Py_None);
  Ref view = olvex::state::frozen_dict_over(d.get());
  EXPECT_EQ(eval_text("type(x).__name__", view.get()), "FrozenDict");
  Ref same = Ref::steal(PyObject_CallMethod(view.get(), "to_dict", nullptr));
  EXPECT_EQ(same.get(), d.get());
  EXPECT_EQ(raised([] {
              Ref list = Ref::steal(PyList_New(0));
              olvex::state::frozen_dict_over(list.get());
            }),
            "TypeError: argument 'data': 'list' object cannot be converted to 'PyDict'");
}

// The Python functions and the process-wide table that proxies consult are
// one and the same.
class OverrideFunctions : public ::testing::Test {
 protected:
  void SetUp() override {
    reg = Ref::steal(PyCFunction_New(&olvex::state::register_physics_override_def, nullptr));
    clear = Ref::steal(PyCFunction_New(&olvex::state::clear_physics_overrides_def, nullptr));
    ASSERT_TRUE(reg && clear);
    olvex::support::clear_physics_overrides();
  }
  void TearDown() override { olvex::support::clear_physics_overrides(); }

  // register_physics_override(path, caps) from Python; false when it raised.
  bool call_register(PyObject* path, PyObject* caps) {
    Ref r = Ref::steal(PyObject_CallFunctionObjArgs(reg.get(), path, caps, nullptr));
    if (!r) PyErr_Clear();
    return static_cast<bool>(r);
  }
  bool call_register(const char* path, long caps) {
    Ref p = Ref::steal(PyUnicode_FromString(path));
    Ref c = Ref::steal(PyLong_FromLong(caps));
    return call_register(p.get(), c.get());
  }

  Ref reg;
  Ref clear;
};

TEST_F(OverrideFunctions, RegisterAndClearReachTheTable) {
  using olvex::support::get_physics_override;
  ASSERT_TRUE(call_register("domain.x", 3));
  ASSERT_TRUE(call_register("a[0]", 5));
  EXPECT_EQ(get_physics_override("domain.x[0]"), 3);
  EXPECT_EQ(get_physics_override("a[0]"), 5);
  EXPECT_FALSE(get_physics_override("domain.xy"));
  ASSERT_TRUE(call_register("domain.x", 0));
  EXPECT_EQ(get_physics_override("domain.x"), 0);

  // Refused arguments leave the table as it was.
  EXPECT_FALSE(call_register("domain.x", 256));
  EXPECT_FALSE(call_register("domain.x", -1));
  EXPECT_FALSE(call_register("fresh", 256));
  EXPECT_EQ(get_physics_override("domain.x"), 0);
  EXPECT_FALSE(get_physics_override("fresh"));

  Ref r = Ref::steal(PyObject_CallNoArgs(clear.get()));
  ASSERT_TRUE(r);
  EXPECT_EQ(r.get(), Py_None);
  EXPECT_FALSE(get_physics_override("domain.x"));
  EXPECT_FALSE(get_physics_override("a[0]"));
}

TEST_F(OverrideFunctions, PathsAreStoredAsGivenInUtf8) {
  ASSERT_TRUE(call_register("d\xc3\xa9j\xc3\xa0", 2));
  EXPECT_EQ(olvex::support::get_physics_override("d\xc3\xa9j\xc3\xa0.x"), 2);
  Ref surrogate = Ref::steal(PyUnicode_DecodeUTF16("\x00\xd8", 2, "surrogatepass", nullptr));
  ASSERT_TRUE(surrogate);
  Ref one = Ref::steal(PyLong_FromLong(1));
  EXPECT_FALSE(call_register(surrogate.get(), one.get()));
}

}  // namespace
