// Reads through a ContextGuard: attribute and item reads with the contract
// check, membership and iteration, and the wrapping of what is read.
#include <fmt/format.h>

#include <array>
#include <exception>

#include "access/guard_impl.hpp"
#include "access/proxy.hpp"
#include "engine/transaction.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/objects.hpp"
#include "support/zones.hpp"

namespace olvex::access {

namespace {

// The guard whose item read was the last to end on this thread, when it
// ended by an error after its chain had already had the second indexing
// (made by that read or by a guard below it); null when the last read ended
// any other way. A guard over that guard lets the error stand: retrying at
// every level of a chain of guards would double the work per level. A guard
// read that the target's own lookup makes on the side is another guard and
// does not count.
thread_local PyObject* t_retried = nullptr;

// Marks how the item read of `self` ended, whichever way it leaves.
class ReadEnd {
 public:
  explicit ReadEnd(PyObject* self) noexcept : self_(self), errors_(std::uncaught_exceptions()) {}
  ~ReadEnd() { t_retried = retried_ && std::uncaught_exceptions() > errors_ ? self_ : nullptr; }
  ReadEnd(const ReadEnd&) = delete;
  ReadEnd& operator=(const ReadEnd&) = delete;
  void retried() noexcept { retried_ = true; }

 private:
  PyObject* self_;
  int errors_;
  bool retried_ = false;
};

// The object an indexing of `target` reaches first when it goes on: the
// target, or what lies under the proxies over it (a proxy hands the error of
// indexing its target back unchanged).
PyObject* indexed_through(PyObject* target) noexcept {
  PyObject* proxy_type = supervisor_proxy_type.peek();
  while (proxy_type && Py_TYPE(target) == reinterpret_cast<PyTypeObject*>(proxy_type)) {
    target = proxy_data(target).target.get();
  }
  return target;
}

bool type_named(PyObject* v, const char* name) {
  py::Ref type_name = py::Ref::check(PyType_GetName(Py_TYPE(v)));
  return PyUnicode_EqualToUTF8(type_name.get(), name) == 1;
}

// Values handed back as they are: the unqualified type name is one of these.
constexpr std::array<const char*, 17> kPassThrough = {
    "int",   "str",    "bool",   "int8",   "float",   "int64",   "int32",    "int16",       "uint8",
    "bool_", "uint64", "uint32", "uint16", "float64", "float32", "NoneType", "Transaction",
};

bool passes_through(PyObject* v) {
  // The exact builtin types first, by identity.
  if (v == Py_None || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyBool_Check(v) || PyFloat_CheckExact(v) ||
      engine::is_transaction(v)) {
    return true;
  }
  if (PyDict_CheckExact(v) || PyList_CheckExact(v) || PyTuple_CheckExact(v)) return false;
  py::Ref type_name = py::Ref::check(PyType_GetName(Py_TYPE(v)));
  for (const char* name : kPassThrough) {
    if (PyUnicode_EqualToUTF8(type_name.get(), name) == 1) return true;
  }
  return false;
}

// Only values whose type is named exactly dict or list become proxies.
bool proxied_container(PyObject* v) {
  if (PyDict_CheckExact(v) || PyList_CheckExact(v)) return true;
  return type_named(v, "dict") || type_named(v, "list");
}

// The value's `supervisor_target`, when it has one (a proxy). Only an
// AttributeError counts as none; any other error of the probe propagates.
py::Ref supervisor_target_of(PyObject* v) {
  if (PyTuple_CheckExact(v)) return {};
  PyObject* found = nullptr;
  int rc;
  {
    ForwardGuard depth(kGuardForwardWhere);
    rc = PyObject_GetOptionalAttr(v, OLVEX_NAME(supervisor_target), &found);
  }
  if (rc < 0) throw py::PyErrorSet{};
  return py::Ref::steal(found);
}

// The transaction's shadow of `value`, with the transaction held
// exclusively for the call. A transaction that another call holds gives
// RuntimeError "Already borrowed", with nothing copied. A value read out of
// a shadow is the transaction's copy already: it is not copied again, so a
// walk down a chain of objects copies each of them once.
py::Ref shadow_of(PyObject* tx, PyObject* value, std::string_view path, support::ContextZone zone) {
  py::Ref path_text = py::to_py(path);
  py::ExclusiveBorrow hold(engine::transaction_flag(tx));
  ForwardGuard depth(kGuardForwardWhere);
  if (py::Ref part = engine::shadow_of_part(tx, value, path_text.get(), zone)) return part;
  return engine::get_shadow(tx, value, path_text.get());
}

// What a read at `path` hands back for `value`.
py::Ref apply_guard(const GuardData& g, PyObject* value, std::string_view path) {
  if (passes_through(value) || PyCallable_Check(value)) return py::Ref::borrow(value);
  if (!g.tx) return py::Ref::borrow(value);
  py::Ref tx = g.tx;
  const support::ContextZone zone = support::resolve_zone(path);
  if (zone == support::ContextZone::Private && !g.is_admin) return py::none();
  const bool write_ok = support::check_permissions(*g.policy, g.is_admin, path, true);
  const std::uint8_t caps = support::guard_read_capabilities(zone, g.is_admin, write_ok);
  py::Ref proxied;
  if (proxied_container(value)) {
    proxied = py::Ref::borrow(value);
  } else {
    proxied = supervisor_target_of(value);
  }
  if (proxied) {
    py::Ref shadow = shadow_of(tx.get(), proxied.get(), path, zone);
    return make_proxy(shadow.get(), std::string(path), !write_ok, write_ok ? tx.get() : nullptr, true, caps);
  }
  py::Ref shadow = shadow_of(tx.get(), value, path, zone);
  return make_guard(shadow.get(), g.policy, std::string(path), tx.get(), g.is_admin);
}

bool starts_with_underscore(PyObject* name) {
  return PyUnicode_GetLength(name) > 0 && PyUnicode_ReadChar(name, 0) == '_';
}

// Two or more characters, beginning and ending with "__".
bool is_dunder(PyObject* name) {
  Py_ssize_t n = PyUnicode_GetLength(name);
  return n >= 2 && PyUnicode_ReadChar(name, 0) == '_' && PyUnicode_ReadChar(name, 1) == '_' &&
         PyUnicode_ReadChar(name, n - 2) == '_' && PyUnicode_ReadChar(name, n - 1) == '_';
}

}  // namespace

py::Ref target_attr(PyObject* target, PyObject* name) {
  const unsigned overflows = t_forward_overflows;
  ForwardGuard depth(kGuardForwardWhere);
  PyObject* found = PyObject_GetAttr(target, name);
  if (found) return py::Ref::steal(found);
  // A proxy further down reports a lookup cut off at the forwarding bound
  // as a missing attribute; it is the bound, and going on would only reach
  // it again.
  if (overflows != t_forward_overflows && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    py::raise(PyExc_RecursionError, fmt::format("maximum recursion depth exceeded{}", kGuardForwardWhere));
  }
  throw py::PyErrorSet{};
}

namespace {

// The attribute fallback, also the road of text keys that indexing missed.
// `name` is a str (a subclass counts as its text). The caller holds the
// guard shared.
py::Ref attr_fallback(const GuardData& g, PyObject* name_arg) {
  py::Str name = py::Str::exact(name_arg);
  py::Ref target = g.target;
  if (starts_with_underscore(name.get())) {
    if (!g.policy->strict_guards) return target_attr(target.get(), name.get());
    if (is_dunder(name.get())) {
      PyErr_Format(PyExc_AttributeError, "'ContextGuard' object has no attribute '%U'", name.get());
    } else {
      PyErr_Format(PyExc_PermissionError, "Access to private attribute '%U' denied in Strict Mode", name.get());
    }
    throw py::PyErrorSet{};
  }
  std::string_view text = name.utf8();
  PathBuffer buf;
  std::string_view path = attr_path(buf, g.path_prefix, text);
  if (text == "outbox" || text == "policy_id") return target_attr(target.get(), name.get());
  require(g, path, false);
  py::Ref value = target_attr(target.get(), name.get());
  return apply_guard(g, value.get(), path);
}

// Errors that end an item read at once instead of leading to the second
// attempt: those that are not ordinary, and RecursionError (retrying would
// only go as deep again).
bool final_error() { return !py::ordinary_pending() || PyErr_ExceptionMatches(PyExc_RecursionError); }

py::Ref index_target(PyObject* target, PyObject* key) {
  ForwardGuard depth(kGuardForwardWhere);
  return py::Ref::steal(PyObject_GetItem(target, key));
}

}  // namespace

PyObject* guard_getattro(PyObject* self, PyObject* name) {
  // The generic lookup first: the class's attributes and the instance dict.
  const unsigned long forwards = t_outbox_forwards;
  if (PyObject* found = PyObject_GenericGetAttr(self, name)) return found;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::PyErrorSet{};
  // The outbox property found no outbox on the target, and the fallback
  // would ask the target again. When the property's own question already
  // went through another guard's outbox, that guard has asked twice; asking
  // again at every level of a chain would double the work per level.
  if (t_outbox_forwards - forwards > 1 && PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, "outbox") == 1) {
    throw py::PyErrorSet{};
  }
  PyErr_Clear();
  py::SharedBorrow borrow(guard_flag(self));
  return attr_fallback(guard_data(self), name).release();
}

PyObject* guard_getitem(PyObject* self, PyObject* key) {
  ReadEnd end(self);
  py::SharedBorrow borrow(guard_flag(self));
  const GuardData& g = guard_data(self);
  py::Ref target = g.target;
  t_retried = nullptr;
  py::Ref value = index_target(target.get(), key);
  if (!value) {
    if (final_error()) throw py::PyErrorSet{};
    if (PyUnicode_Check(key)) {
      PyErr_Clear();
      return attr_fallback(g, key).release();
    }
    end.retried();
    // The guard below has already indexed twice; its error stands.
    if (t_retried != nullptr && t_retried == indexed_through(target.get())) throw py::PyErrorSet{};
    PyErr_Clear();
    value = index_target(target.get(), key);
    if (!value) throw py::PyErrorSet{};
  }
  // A value from either attempt is checked and wrapped alike.
  PathBuffer buf;
  std::string_view path;
  if (auto i = integer_key(key)) {
    path = index_path(buf, g.path_prefix, *i);
  } else {
    Text k = text_of(key);
    path = attr_path(buf, g.path_prefix, k.view);
  }
  require(g, path, false);
  return apply_guard(g, value.get(), path).release();
}

int guard_contains(PyObject* self, PyObject* key) {
  py::SharedBorrow borrow(guard_flag(self));
  py::Ref target = guard_data(self).target;
  ForwardGuard depth(kGuardForwardWhere);
  return py::check(PySequence_Contains(target.get(), key));
}

PyObject* guard_iter(PyObject* self) {
  py::SharedBorrow borrow(guard_flag(self));
  py::Ref target = guard_data(self).target;
  ForwardGuard depth(kGuardForwardWhere);
  return py::call_method(target.get(), OLVEX_NAME(__iter__)).release();
}

}  // namespace olvex::access
