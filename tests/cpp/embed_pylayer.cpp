// The binding layer's own logic, under an embedded interpreter: argument
// binding and its messages, the error bridge, borrow conflicts, poisoning.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/lock.hpp"
#include "py/trampoline.hpp"

using namespace olvex;
using py::Ref;

namespace {

std::string utf8_of(PyObject* str) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &n);
  return std::string(p, static_cast<std::size_t>(n));
}

// The pending exception as "TypeName: message" (every byte of it), cleared.
std::string take_error() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return "<none>";
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  return utf8_of(name.get()) + ": " + utf8_of(text.get());
}

// Calls a C++ body through the trampoline and reports what Python would see.
template <auto F>
std::string outcome() {
  PyObject* r = py::tramp<F>(nullptr, nullptr);
  if (r) {
    Py_DECREF(r);
    return "ok";
  }
  return take_error();
}

PyObject* throws_raise(PyObject*, PyObject*) { py::raise(PyExc_KeyError, "k"); }
PyObject* throws_panic(PyObject*, PyObject*) { py::panic("broken"); }
PyObject* throws_raise_nul(PyObject*, PyObject*) { py::raise(PyExc_ValueError, std::string("zz\0tail", 7)); }
PyObject* throws_panic_nul(PyObject*, PyObject*) { py::panic(std::string("a\0b", 3)); }
PyObject* throws_bad_alloc(PyObject*, PyObject*) { throw std::bad_alloc(); }
PyObject* throws_std(PyObject*, PyObject*) { throw std::runtime_error("std failure"); }
PyObject* throws_set_without_error(PyObject*, PyObject*) { throw py::PyErrorSet{}; }
PyObject* returns_none(PyObject*, PyObject*) { Py_RETURN_NONE; }

}  // namespace

TEST(Trampoline, TranslatesEveryKindOfFailure) {
  EXPECT_EQ(outcome<returns_none>(), "ok");
  EXPECT_EQ(outcome<throws_raise>(), "KeyError: 'k'");
  EXPECT_EQ(outcome<throws_panic>(), "PanicException: broken");
  EXPECT_EQ(outcome<throws_raise_nul>(), std::string("ValueError: zz\0tail", 19));
  EXPECT_EQ(outcome<throws_panic_nul>(), std::string("PanicException: a\0b", 19));
  EXPECT_EQ(outcome<throws_bad_alloc>(), "MemoryError: ");
  EXPECT_EQ(outcome<throws_std>(), "PanicException: std failure");
  EXPECT_EQ(outcome<throws_set_without_error>(), "PanicException: a failed call left no Python error set");
}

TEST(Trampoline, PanicEscapesExceptHandlers) {
  PyObject* t = py::panic_type();
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(PyObject_IsSubclass(t, PyExc_BaseException));
  EXPECT_FALSE(PyObject_IsSubclass(t, PyExc_Exception));
}

namespace {
const py::Params<3> kParams{"Thing.call", {"a", "b", "c"}, 1};

// Binds (args, kwnames-with-values) and returns "a,b,c" with "-" for unset.
std::string bind(std::initializer_list<PyObject*> positional, std::initializer_list<std::pair<const char*, PyObject*>> kw) {
  std::vector<PyObject*> argv(positional);
  Ref names = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
  Py_ssize_t i = 0;
  for (auto& [k, v] : kw) {
    PyTuple_SetItem(names.get(), i++, PyUnicode_FromString(k));
    argv.push_back(v);
  }
  try {
    auto out = kParams.bind(argv.data(), static_cast<Py_ssize_t>(positional.size()), kw.size() ? names.get() : nullptr);
    std::string s;
    for (PyObject* o : out) s += (o ? std::to_string(PyLong_AsLong(o)) : std::string("-")) + ",";
    return s;
  } catch (...) {
    py::translate_current_exception();
    return take_error();
  }
}
}  // namespace

TEST(ArgumentBinding, PositionalKeywordAndMessages) {
  Ref one = Ref::check(PyLong_FromLong(1));
  Ref two = Ref::check(PyLong_FromLong(2));
  PyObject* a = one.get();
  PyObject* b = two.get();
  EXPECT_EQ(bind({a}, {}), "1,-,-,");
  EXPECT_EQ(bind({a}, {{"c", b}}), "1,-,2,");
  EXPECT_EQ(bind({}, {{"b", b}, {"a", a}}), "1,2,-,");
  EXPECT_EQ(bind({}, {}), "TypeError: Thing.call() missing 1 required positional argument: 'a'");
  EXPECT_EQ(bind({a, a, a, a}, {}), "TypeError: Thing.call() takes 3 positional arguments but 4 were given");
  EXPECT_EQ(bind({a}, {{"a", b}}), "TypeError: Thing.call() got multiple values for argument 'a'");
  EXPECT_EQ(bind({a}, {{"d", b}}), "TypeError: Thing.call() got an unexpected keyword argument 'd'");
}

TEST(Conversions, MessagesNameTheArgument) {
  Ref num = Ref::check(PyLong_FromLong(5));
  Ref neg = Ref::check(PyLong_FromLong(-1));
  Ref big = Ref::check(PyLong_FromString("100000000000000000000", nullptr, 10));
  Ref text = Ref::check(PyUnicode_FromString("x"));
  auto run = [](auto f) {
    try {
      f();
      return std::string("ok");
    } catch (...) {
      py::translate_current_exception();
      return take_error();
    }
  };
  EXPECT_EQ(run([&] { py::arg_str(num.get(), "msg"); }),
            "TypeError: argument 'msg': 'int' object cannot be converted to 'PyString'");
  EXPECT_EQ(run([&] { py::arg_bool(num.get(), "flag"); }),
            "TypeError: argument 'flag': 'int' object cannot be converted to 'PyBool'");
  EXPECT_EQ(run([&] { py::arg_u64(text.get(), "n"); }),
            "TypeError: argument 'n': 'str' object cannot be interpreted as an integer");
  EXPECT_EQ(run([&] { py::arg_u64(neg.get(), "n"); }), "OverflowError: can't convert negative int to unsigned");
  EXPECT_EQ(run([&] { py::arg_unsigned<std::uint8_t>(Ref::check(PyLong_FromLong(256)).get(), "caps"); }),
            "OverflowError: out of range integral type conversion attempted");
  EXPECT_EQ(run([&] { py::arg_unsigned<std::uint8_t>(big.get(), "caps"); }),
            "OverflowError: out of range integral type conversion attempted");
  EXPECT_EQ(run([&] { EXPECT_EQ(py::arg_unsigned<std::uint8_t>(num.get(), "caps"), 5); }), "ok");
}

TEST(Borrow, ConflictsRaiseOnTheCalledObjectAndPanicOnOthers) {
  py::BorrowFlag f;
  auto attempt = [&](auto f2) {
    try {
      f2();
      return std::string("ok");
    } catch (...) {
      py::translate_current_exception();
      return take_error();
    }
  };
  {
    py::SharedBorrow s1(f);
    EXPECT_EQ(attempt([&] { py::SharedBorrow s2(f); }), "ok");
    EXPECT_EQ(attempt([&] { py::ExclusiveBorrow x(f); }), "RuntimeError: Already borrowed");
    EXPECT_EQ(attempt([&] { py::ExclusiveBorrow x(f, py::OnConflict::Panic); }), "PanicException: Already borrowed");
  }
  {
    py::ExclusiveBorrow x(f);
    EXPECT_EQ(attempt([&] { py::SharedBorrow s(f); }), "RuntimeError: Already mutably borrowed");
  }
  EXPECT_EQ(attempt([&] { py::ExclusiveBorrow x(f); }), "ok");
}

TEST(Mutex, SectionEndedByAnExceptionPoisonsTheLock) {
  py::Mutex<int> m(0);
  *m.lock() = 1;
  EXPECT_FALSE(m.poisoned());
  try {
    auto g = m.lock();
    *g = 2;
    throw std::runtime_error("half done");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(m.poisoned());
  try {
    m.lock();
    FAIL() << "a poisoned lock was handed out";
  } catch (...) {
    py::translate_current_exception();
    EXPECT_EQ(take_error().rfind("PanicException: PoisonError", 0), 0u);
  }
}

// The test binaries run with PYTHONOPTIMIZE set (see CMakeLists.txt): the
// snippets that the embedded tests check with assert must keep them.
TEST(EmbeddedInterpreter, KeepsAssertsWhateverTheEnvironmentSays) {
  Ref globals = Ref::check(PyDict_New());
  ASSERT_EQ(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()), 0);
  Ref code = Ref::check(Py_CompileString("import sys\nopt = sys.flags.optimize\nassert False, 'kept'\n", "<test>",
                                         Py_file_input));
  Ref result = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  EXPECT_FALSE(result);
  EXPECT_EQ(take_error(), "AssertionError: kept");
  EXPECT_EQ(PyLong_AsLong(PyDict_GetItemString(globals.get(), "opt")), 0);
}
