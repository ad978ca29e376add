// Conditions: Python expressions evaluated over the items of a context dict
// with a small table of builtins. The table and the globals are built anew
// for every evaluation, so patched builtins and changes to the context are
// seen; the compiled code of each distinct text is kept on the engine.
//
// Conditions are trusted expressions confined to what the context gives
// them: a syntax-tree check refuses attribute names that lead out of it
// (dunders, the frame attributes of generators, coroutines and
// tracebacks, and str.format, whose field syntax reads attributes). What an
// expression costs is not bounded: eval cannot be stopped safely.
#include <fmt/format.h>

#include <array>
#include <string_view>

#include "flux/engine.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"

namespace olvex::flux {

using py::Ref;

namespace {

// Host objects looked up on first use and kept for the life of the process.
struct Host {
  PyObject* builtins;   // the module
  PyObject* compile;    // builtins.compile as it was at first use
  PyObject* ast_base;   // ast.AST
  PyObject* attribute;  // ast.Attribute
  PyObject* only_ast;   // ast.PyCF_ONLY_AST
  PyObject* filename;   // "<string>"
  PyObject* mode;       // "eval"
  PyObject* no_flags;   // 0
};

Host host() {
  static PyObject* slots[5] = {};
  static PyObject* filename = py::intern("<string>");  // interning runs no Python code
  static PyObject* mode = py::intern("eval");
  static PyObject* no_flags = PyLong_FromLong(0);  // a small int: immortal, never fails
  return {kept_attr(slots[0], "builtins", nullptr), kept_attr(slots[1], "builtins", "compile"),
          kept_attr(slots[2], "ast", "AST"),        kept_attr(slots[3], "ast", "Attribute"),
          kept_attr(slots[4], "ast", "PyCF_ONLY_AST"), filename, mode, no_flags};
}

bool forbidden(std::string_view name) {
  static constexpr std::array<std::string_view, 10> kNames = {"gi_frame", "cr_frame", "ag_frame", "tb_frame",
                                                              "f_back",   "f_globals", "f_locals", "f_builtins",
                                                              "format",   "format_map"};
  if (name.starts_with("__")) return true;
  for (std::string_view n : kNames) {
    if (n == name) return true;
  }
  return false;
}

bool is_instance(PyObject* o, PyObject* cls) { return py::check(PyObject_IsInstance(o, cls)) != 0; }

// Walks the syntax tree with a stack of its own (a long chain of operators
// makes a deep tree) and refuses the first forbidden attribute it meets.
void check_tree(PyObject* tree) {
  const Host h = host();
  std::vector<Ref> stack{Ref::borrow(tree)};
  while (!stack.empty()) {
    Ref node = std::move(stack.back());
    stack.pop_back();
    if (is_instance(node.get(), h.attribute)) {
      Ref attr = Ref::check(PyObject_GetAttr(node.get(), OLVEX_NAME(attr)));
      if (PyUnicode_Check(attr.get())) {
        std::string_view name = py::utf8(attr.get());
        if (forbidden(name)) py::raise(PyExc_ValueError, fmt::format("Forbidden attribute in condition: '{}'", name));
      }
    }
    Ref fields = Ref::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(node.get())), OLVEX_NAME(_fields)));
    Ref iter = Ref::check(PyObject_GetIter(fields.get()));
    while (Ref field = Ref::steal(PyIter_Next(iter.get()))) {
      Ref value = Ref::steal(PyObject_GetAttr(node.get(), field.get()));
      if (!value) {  // optional fields may be missing
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::PyErrorSet{};
        PyErr_Clear();
        continue;
      }
      if (PyList_Check(value.get())) {
        Py_ssize_t n = PyList_Size(value.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
          Ref item = Ref::borrow(PyList_GetItem(value.get(), i));
          if (item && is_instance(item.get(), h.ast_base)) stack.push_back(std::move(item));
        }
      } else if (is_instance(value.get(), h.ast_base)) {
        stack.push_back(std::move(value));
      }
    }
    if (PyErr_Occurred()) throw py::PyErrorSet{};
  }
}

// Compiles one condition: parse to a syntax tree (SyntaxError passes with
// the file name "<string>"), check it, then compile the tree. Neither step
// inherits the calling code's __future__ flags: the code is kept on the
// engine and shared by every caller, so it must read the same for all.
Ref compile_condition(std::string_view expr) {
  const Host h = host();
  Ref source = py::to_py(expr);
  Ref tree = py::call(h.compile, source.get(), h.filename, h.mode, h.only_ast, Py_True);
  check_tree(tree.get());
  return py::call(h.compile, tree.get(), h.filename, h.mode, h.no_flags, Py_True);
}

Ref cached_code(EngineData& e, std::string_view expr) {
  {
    auto g = e.codes.lock();
    auto it = g->find(expr);
    if (it != g->end()) return it->second;
  }
  Ref code = compile_condition(expr);  // no lock held: compiling runs Python code
  std::string key(expr);
  auto g = e.codes.lock();
  auto [it, inserted] = g->try_emplace(std::move(key), code);
  return inserted ? code : it->second;
}

Ref builtins_table() {
  PyObject* const names[] = {OLVEX_NAME(len), OLVEX_NAME(int), OLVEX_NAME(float), OLVEX_NAME(str), OLVEX_NAME(bool),
                             OLVEX_NAME(abs), OLVEX_NAME(min), OLVEX_NAME(max),   OLVEX_NAME(sum)};
  PyObject* builtins = host().builtins;
  Ref table = Ref::check(PyDict_New());
  for (PyObject* name : names) {
    Ref v = Ref::check(PyObject_GetAttr(builtins, name));
    py::check(PyDict_SetItem(table.get(), name, v.get()));
  }
  py::check(PyDict_SetItem(table.get(), OLVEX_NAME(True), Py_True));
  py::check(PyDict_SetItem(table.get(), OLVEX_NAME(False), Py_False));
  py::check(PyDict_SetItem(table.get(), OLVEX_NAME(None), Py_None));
  return table;
}

}  // namespace

void copy_items(PyObject* to, PyObject* from) {
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(from, &pos, &k, &v)) {
    // Setting the item may run a key's __hash__ or __eq__, which may change
    // `from`; hold both while it does.
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    py::check(PyDict_SetItem(to, key.get(), value.get()));
  }
}

bool eval_condition(EngineData& e, std::string_view expr, PyObject* ctx) {
  Ref table = builtins_table();
  Ref globals = Ref::check(PyDict_New());
  py::check(PyDict_SetItem(globals.get(), OLVEX_NAME(__builtins__), table.get()));
  copy_items(globals.get(), ctx);
  if (e.debug) debug_line(fmt::format("Evaluating condition: '{}'", expr));
  if (expr.find('\0') != std::string_view::npos) {
    py::raise(PyExc_ValueError, "source code string cannot contain null bytes");
  }
  Ref code = cached_code(e, expr);
  Ref result = Ref::check(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  bool truth = py::check(PyObject_IsTrue(result.get())) != 0;
  if (e.debug) debug_line(fmt::format("Condition result: {}", truth));
  return truth;
}

}  // namespace olvex::flux
