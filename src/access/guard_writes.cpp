// Writes through a ContextGuard: attribute and item assignment with the
// contract check and the zone rules, the notice to the transaction, and the
// refusal of deletion.
#include "access/guard_impl.hpp"
#include "engine/transaction.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/objects.hpp"
#include "support/zones.hpp"

namespace olvex::access {

namespace {

// Builtin values that cannot carry the attributes a write unwraps.
bool plain_value(PyObject* v) noexcept {
  return v == Py_None || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) ||
         PyBool_Check(v) || PyBytes_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v) ||
         PyList_CheckExact(v);
}

// v.name, or empty when it has none or the probe fails (that error is
// dropped).
py::Ref probe(PyObject* v, PyObject* name) {
  PyObject* found = nullptr;
  int rc;
  {
    ForwardGuard depth(kGuardForwardWhere);
    rc = PyObject_GetOptionalAttr(v, name, &found);
  }
  if (rc < 0) py::discard_ordinary();
  return py::Ref::steal(found);
}

// What is written for `value`: a proxy's target, else an object's `_data`,
// else the value itself.
py::Ref unwrapped(PyObject* value) {
  if (plain_value(value)) return py::Ref::borrow(value);
  if (py::Ref inner = probe(value, OLVEX_NAME(supervisor_target))) return inner;
  if (py::Ref data = probe(value, OLVEX_NAME(_data))) return data;
  return py::Ref::borrow(value);
}

// The notice a transactional write gives, with the transaction held
// exclusively for it. A transaction that another call holds gives
// RuntimeError "Already borrowed", and the write goes no further.
void notify(PyObject* tx, std::string_view path, std::string_view op, PyObject* value, PyObject* old,
            PyObject* target, std::string_view key) {
  py::ExclusiveBorrow hold(engine::transaction_flag(tx));
  engine::log_internal(tx, path, op, value, old, target, key);
}

// The attribute rule; `name` is a str (a subclass counts as its text). The
// caller holds the guard exclusively.
void attr_write(GuardData& g, PyObject* name_arg, PyObject* value) {
  if (PyUnicode_EqualToUTF8(name_arg, "log") == 1) {
    py::Ref previous = std::exchange(g.log, py::Ref::borrow(value));
    return;
  }
  py::Str name = py::Str::exact(name_arg);
  std::string_view text = name.utf8();
  PathBuffer buf;
  std::string_view path = attr_path(buf, g.path_prefix, text);
  require(g, path, true);
  py::Ref target = g.target;
  py::Ref old = probe(target.get(), name.get());
  if (!old) old = py::none();
  py::Ref stored = unwrapped(value);
  switch (support::write_rule(support::resolve_zone(text), g.is_admin)) {
    case support::WriteRule::Refused:
      py::raise(PyExc_PermissionError, support::zone_refusal_message(path));
    case support::WriteRule::Transactional: {
      if (!g.tx) py::raise(PyExc_PermissionError, support::no_transaction_message(path));
      py::Ref tx = g.tx;
      notify(tx.get(), path, "SET", stored.get(), old.get(), target.get(), text);
      break;
    }
    case support::WriteRule::Direct:
      break;
  }
  ForwardGuard depth(kGuardForwardWhere);
  if (PyDict_Check(target.get())) {
    // By name, so a dict subclass's own __setitem__ runs.
    py::call_method(target.get(), OLVEX_NAME(__setitem__), name.get(), stored.get());
  } else {
    py::check(PyObject_SetAttr(target.get(), name.get(), stored.get()));
  }
}

}  // namespace

int guard_setattro(PyObject* self, PyObject* name, PyObject* value) {
  py::ExclusiveBorrow borrow(guard_flag(self));
  if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
  attr_write(guard_data(self), name, value);
  return 0;
}

int guard_setitem(PyObject* self, PyObject* key, PyObject* value) {
  py::ExclusiveBorrow borrow(guard_flag(self));
  if (!value) py::raise(PyExc_NotImplementedError, "can't delete item");
  GuardData& g = guard_data(self);
  // Text keys follow the attribute rule, under the borrow already held.
  if (PyUnicode_Check(key)) {
    attr_write(g, key, value);
    return 0;
  }
  PathBuffer buf;
  std::string_view path;
  auto index = integer_key(key);
  Text key_text;
  if (index) {
    path = index_path(buf, g.path_prefix, *index);
  } else {
    key_text = text_of(key);
    path = attr_path(buf, g.path_prefix, key_text.view);
  }
  require(g, path, true);
  py::Ref stored = unwrapped(value);
  py::Ref target = g.target;
  py::Ref old;
  {
    ForwardGuard depth(kGuardForwardWhere);
    old = py::Ref::steal(PyObject_GetItem(target.get(), key));
  }
  if (!old) {
    py::discard_ordinary();
    old = py::none();
  }
  // No zone rule applies to such keys: the write is always transactional.
  if (!g.tx) py::raise(PyExc_PermissionError, support::no_transaction_message(path));
  if (index) key_text = text_of(key);
  py::Ref tx = g.tx;
  notify(tx.get(), path, "SET_ITEM", stored.get(), old.get(), target.get(), key_text.view);
  ForwardGuard depth(kGuardForwardWhere);
  py::check(PyObject_SetItem(target.get(), key, stored.get()));
  return 0;
}

}  // namespace olvex::access
