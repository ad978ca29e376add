// Reads through a SupervisorProxy: item and attribute reads, get, keys,
// items, values, and the wrapping of what they read into child proxies.
#include <fmt/format.h>

#include "access/current_tx.hpp"
#include "access/proxy.hpp"
#include "access/proxy_impl.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "support/capabilities.hpp"

namespace olvex::access {

namespace {

// Exact builtin types whose instances never have a __dict__; saves the
// attribute lookup for the common primitive values.
bool never_has_dict(PyObject* v) noexcept {
  return v == Py_None || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) ||
         PyBool_Check(v) || PyTuple_CheckExact(v) || PyBytes_CheckExact(v) || PyList_CheckExact(v);
}

// Does v have an attribute __dict__? An AttributeError counts as no; any
// other exception propagates.
bool has_instance_dict(PyObject* v) {
  if (never_has_dict(v)) return false;
  PyObject* found = nullptr;
  int rc = PyObject_GetOptionalAttr(v, OLVEX_NAME(__dict__), &found);
  if (rc < 0) throw py::PyErrorSet{};
  Py_XDECREF(found);
  return rc == 1;
}

// Item and attribute reads wrap dicts, lists and objects with __dict__.
bool wraps_on_read(PyObject* v) { return PyDict_Check(v) || PyList_Check(v) || has_instance_dict(v); }

enum class ShadowFailure { Propagate, Discard };

struct Choice {
  py::Ref target;
  bool is_shadow;
};

// Making a child's path or object fails only when the interpreter cannot
// allocate; that is treated as a broken invariant.
template <class Make>
auto or_panic(Make&& make) {
  try {
    return make();
  } catch (const py::PyErrorSet&) {
    PyErr_Clear();
    py::panic("creating a child SupervisorProxy failed");
  } catch (const std::bad_alloc&) {
    py::panic("creating a child SupervisorProxy failed");
  }
}

// The path of a child made at `child_path`, and when the current
// transaction `tx` is asked for a shadow of what it wraps, the path's text
// as a str in `text`.
support::ZonePath child_path_for(const ProxyData& d, const support::ChildPath& child_path, PyObject* tx,
                                 py::Ref& text) {
  if (!tx || d.is_shadow) return or_panic([&] { return kept_path(child_path); });
  py::Ref made;
  support::ZonePath path = or_panic([&] { return kept_path(child_path, made); });
  text = std::move(made);
  return path;
}

// What a child wraps, given the current transaction and the path's text
// (null when there is no transaction or the proxy wraps a shadow).
Choice choose_target(const ProxyData& d, PyObject* v, PyObject* path, PyObject* tx, ShadowFailure on_failure) {
  if (!tx) return {py::Ref::borrow(v), d.is_shadow};
  if (d.is_shadow) return {py::Ref::borrow(v), true};
  PyObject* shadow = shadow_for_read(tx, v, path);
  if (!shadow) {
    if (on_failure == ShadowFailure::Propagate) throw py::PyErrorSet{};
    PyErr_Clear();
    return {py::Ref::borrow(v), false};
  }
  return {py::Ref::steal(shadow), true};
}

py::Ref make_child(const ProxyData& d, const Choice& choice, support::ZonePath path, PyObject* tx,
                   std::uint8_t capabilities) {
  return or_panic([&] {
    return make_proxy(choice.target.get(), std::move(path), d.read_only, tx, choice.is_shadow, capabilities);
  });
}

// The child of an item or attribute read at `child_path` (whose physics the
// read test has already worked out): the shadow choice, then the byte
// narrowed by the path's zone or override.
py::Ref wrap_read(const ProxyData& d, PyObject* v, const support::ChildPath& child_path, support::PathPhysics physics,
                  ShadowFailure on_failure) {
  py::Ref tx = get_current_tx();
  py::Ref text;
  support::ZonePath path = child_path_for(d, child_path, tx.get(), text);
  Choice choice = choose_target(d, v, text.get(), tx.get(), on_failure);
  std::uint8_t caps = support::child_capabilities(d.capabilities, physics);
  return make_child(d, choice, std::move(path), tx.get(), caps);
}

// The target's attribute `name`; for a dict target that lacks it, its key.
py::Ref read_target_attr(PyObject* target, PyObject* name, std::string_view text, const support::ZonePath& path) {
  {
    ForwardGuard guard;
    PyObject* found = nullptr;
    // Absent and failing lookups go the same way; asking for an optional
    // attribute spares building an AttributeError that would be dropped.
    if (PyObject_GetOptionalAttr(target, name, &found) > 0) return py::Ref::steal(found);
    PyErr_Clear();
  }
  if (PyDict_Check(target)) {
    py::Ref key = PyUnicode_CheckExact(name) ? py::Ref::borrow(name) : py::to_py(text);
    PyObject* found = PyObject_GetItem(target, key.get());
    if (found) return py::Ref::steal(found);
    PyErr_Clear();
    py::raise(PyExc_AttributeError,
              fmt::format("'SupervisorProxy[dict]' object has no attribute '{}'. (Hint: Key '{}' missing in wrapped "
                          "dict at path '{}')",
                          text, text, path.text()));
  }
  py::Ref type_name =
      py::Ref::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(target)), OLVEX_NAME(__name__)));
  py::raise(PyExc_AttributeError, fmt::format("'SupervisorProxy[{}]' object has no attribute '{}'. (Path: '{}')",
                                              py::str_of(type_name.get()), text, path.text()));
}

// The names that the generic lookup on a proxy can find: those of the
// class's own dict and of object's (a proxy has no instance dict). Any
// other name skips straight to the fallback, without building an
// AttributeError only to drop it.
bool generic_lookup_may_find(PyObject* self, PyObject* name) {
  static PyObject* own = py::Ref::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                                         OLVEX_NAME(__dict__)))
                             .release();
  static PyObject* base = py::Ref::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                                          OLVEX_NAME(__dict__)))
                              .release();
  int rc = PySequence_Contains(own, name);
  if (rc == 0) rc = PySequence_Contains(base, name);
  return py::check(rc) == 1;
}

bool is_dict_name(PyObject* name) {
  return name == OLVEX_NAME(__dict__) || PyUnicode_EqualToUTF8(name, "__dict__");
}

PyObject* attr_fallback(PyObject* self, PyObject* name) {
  py::SharedBorrow borrow(proxy_flag(self));
  const ProxyData& d = proxy_data(self);
  std::string_view text = py::utf8(name);
  if (!text.empty() && text.front() == '_') {
    py::raise(PyExc_AttributeError, fmt::format("'SupervisorProxy' object has no attribute '{}'", text));
  }
  const support::ChildPath child_path = d.path.attr(text);
  const support::PathPhysics physics = support::path_physics(child_path);
  if (!support::can_read(d.capabilities, physics)) return py::none().release();
  py::Ref target = d.target;
  py::Ref v = read_target_attr(target.get(), name, text, d.path);
  if (!wraps_on_read(v.get())) return v.release();
  return wrap_read(d, v.get(), child_path, physics, ShadowFailure::Discard).release();
}

}  // namespace

Text text_of(PyObject* o) {
  if (PyUnicode_CheckExact(o)) return {py::Ref(), py::utf8(o)};
  py::Ref s = py::Ref::check(PyObject_Str(o));
  std::string_view view = py::utf8(s.get());
  return {std::move(s), view};
}

py::Ref wrap_result(PyObject* self, std::string_view key_or_path, PyObject* val) {
  const ProxyData& d = proxy_data(self);
  const support::ChildPath child_path = d.path.attr(key_or_path);
  if (PyDict_Check(val) || has_instance_dict(val)) {
    py::Ref tx = get_current_tx();
    py::Ref text;
    support::ZonePath path = child_path_for(d, child_path, tx.get(), text);
    Choice choice = choose_target(d, val, text.get(), tx.get(), ShadowFailure::Discard);
    return make_child(d, choice, std::move(path), tx.get(), d.capabilities);
  }
  if (PyList_Check(val)) {
    py::Ref tx = get_current_tx();
    if (!tx) return py::Ref::borrow(val);
    py::Ref text;
    kept_path(child_path, text);
    PyObject* shadow = shadow_for_read(tx.get(), val, text.get());
    if (shadow) return py::Ref::steal(shadow);
    PyErr_Clear();
    return py::Ref::borrow(val);
  }
  return py::Ref::borrow(val);
}

PyObject* proxy_getitem(PyObject* self, PyObject* key) {
  py::SharedBorrow borrow(proxy_flag(self));
  const ProxyData& d = proxy_data(self);
  Text k = text_of(key);
  const support::ChildPath child_path = d.path.item(k.view);
  const support::PathPhysics physics = support::path_physics(child_path);
  if (!support::can_read(d.capabilities, physics)) return py::none().release();
  py::Ref target = d.target;
  py::Ref v;
  {
    ForwardGuard guard;
    v = py::Ref::check(PyObject_GetItem(target.get(), key));
  }
  if (!wraps_on_read(v.get())) return v.release();
  return wrap_read(d, v.get(), child_path, physics, ShadowFailure::Propagate).release();
}

PyObject* proxy_getattro(PyObject* self, PyObject* name) {
  // The generic stage: no borrow, and __dict__ is always a new empty dict.
  if (!PyUnicode_Check(name)) {
    py::raise(PyExc_TypeError, fmt::format("attribute name must be string, not '{}'", py::type_name(name)));
  }
  if (is_dict_name(name)) return py::Ref::check(PyDict_New()).release();
  if (generic_lookup_may_find(self, name)) {
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found) return found;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::PyErrorSet{};
    PyErr_Clear();
  }
  return attr_fallback(self, name);
}

PyObject* proxy_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"SupervisorProxy.get", {"key", "default"}, 1};
  auto [key, fallback] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref target = proxy_data(self).target;
  py::Ref result;
  {
    ForwardGuard guard;
    result = py::call_method(target.get(), OLVEX_NAME(get), key, fallback ? fallback : Py_None);
  }
  Text k = text_of(key);
  return wrap_result(self, k.view, result.get()).release();
}

PyObject* proxy_keys(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref target = proxy_data(self).target;
  ForwardGuard guard;
  return py::call_method(target.get(), OLVEX_NAME(keys)).release();
}

namespace {
// list(target.<method>()), the target's answer made into a new list.
py::Ref listed(PyObject* self, PyObject* method) {
  py::Ref target = proxy_data(self).target;
  ForwardGuard guard;
  py::Ref result = py::call_method(target.get(), method);
  return py::Ref::check(PySequence_List(result.get()));
}
}  // namespace

PyObject* proxy_values(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref values = listed(self, OLVEX_NAME(values));
  Py_ssize_t count = PyList_Size(values.get());
  py::Ref out = py::Ref::check(PyList_New(0));
  for (Py_ssize_t i = 0; i < count; ++i) {
    py::Ref v = py::Ref::check(PyList_GetItemRef(values.get(), i));
    py::Ref wrapped = wrap_result(self, "?", v.get());
    py::check(PyList_Append(out.get(), wrapped.get()));
  }
  return out.release();
}

PyObject* proxy_items(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(proxy_flag(self));
  py::Ref items = listed(self, OLVEX_NAME(items));
  Py_ssize_t count = PyList_Size(items.get());
  py::Ref out = py::Ref::check(PyList_New(0));
  for (Py_ssize_t i = 0; i < count; ++i) {
    py::Ref item = py::Ref::check(PyList_GetItemRef(items.get(), i));
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2) continue;
    PyObject* k = PyTuple_GetItem(item.get(), 0);  // borrowed from `item`
    PyObject* v = PyTuple_GetItem(item.get(), 1);
    Text kt = text_of(k);
    py::Ref wrapped = wrap_result(self, kt.view, v);
    py::Ref pair = py::Ref::check(PyTuple_Pack(2, k, wrapped.get()));
    py::check(PyList_Append(out.get(), pair.get()));
  }
  return out.release();
}

PyObject* proxy_wrap_result(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"SupervisorProxy._wrap_result", {"key_or_path", "val"}, 2};
  auto [key_or_path, val] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(proxy_flag(self));
  std::string_view key = py::arg_str(key_or_path, "key_or_path");
  return wrap_result(self, key, val).release();
}

}  // namespace olvex::access
