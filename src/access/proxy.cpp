// SupervisorProxy: the type object, construction, fields and the release of
// instances. Reads are in proxy_reads.cpp, writes in proxy_writes.cpp,
// container methods in proxy_methods.cpp, protocols in proxy_protocols.cpp.
#include "access/proxy.hpp"

#include <array>
#include <string>
#include <utility>

#include "access/current_tx.hpp"
#include "access/proxy_impl.hpp"
#include "py/args.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/recursion.hpp"
#include "py/trampoline.hpp"

namespace olvex::access {

namespace {

py::Ref build(PyTypeObject* type, PyObject* target, support::ZonePath path, bool read_only, PyObject* transaction,
              bool is_shadow, std::uint8_t capabilities) {
  if (transaction) set_current_tx(transaction);
  return py::make_kept<ProxyData>(reinterpret_cast<PyObject*>(type), py::Ref::borrow(target), std::move(path),
                                  read_only, transaction != nullptr, is_shadow, capabilities);
}

PyObject* proxy_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<6> params{
      "SupervisorProxy.__new__",
      {"target", "path", "read_only", "transaction", "is_shadow", "capabilities"},
      1,
  };
  auto [target, path, read_only, transaction, is_shadow, capabilities] = params.bind(args, kwargs);
  support::ZonePath p = path ? whole_path(py::arg_str(path, "path")) : support::ZonePath();
  bool ro = read_only ? py::arg_bool(read_only, "read_only") : false;
  PyObject* tx = transaction ? py::optional(transaction) : nullptr;
  bool shadow = is_shadow ? py::arg_bool(is_shadow, "is_shadow") : false;
  std::uint8_t caps = capabilities ? py::arg_unsigned<std::uint8_t>(capabilities, "capabilities")
                                   : support::DEFAULT_CAPABILITIES;
  return build(type, target, std::move(p), ro, tx, shadow, caps).release();
}

// A proxy over a proxy over ... is a chain: the deallocation is bounded by
// itself.
void proxy_dealloc(PyObject* self) { py::dealloc_kept<ProxyData>(self); }

int proxy_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = py::Native<ProxyData>::of(self);
  if (n->alive) {
    PyObject* target = n->value().target.get();
    Py_VISIT(target);
  }
  return 0;
}

int proxy_clear(PyObject* self) {
  auto* n = py::Native<ProxyData>::of(self);
  if (n->alive) {
    // None keeps the target non-null for anything that still reaches the proxy.
    py::Ref old = std::exchange(n->value().target, py::Ref::borrow(Py_None));
  }
  return 0;
}

PyObject* proxy_set_capabilities(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorProxy._set_capabilities", {"caps"}, 1};
  auto [caps] = params.bind(args, nargs, kwnames);
  py::ExclusiveBorrow borrow(proxy_flag(self));
  proxy_data(self).capabilities = py::arg_unsigned<std::uint8_t>(caps, "caps");
  return py::none().release();
}

PyObject* proxy_is_proxy(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(proxy_flag(self));
  return py::boolean(true).release();
}

PyObject* proxy_path(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(proxy_flag(self));
  return py::to_py(proxy_data(self).path.text()).release();
}

PyObject* get_read_only(PyObject* self, void*) {
  py::SharedBorrow borrow(proxy_flag(self));
  return py::boolean(proxy_data(self).read_only).release();
}

PyObject* get_supervisor_target(PyObject* self, void*) {
  py::SharedBorrow borrow(proxy_flag(self));
  return py::Ref(proxy_data(self).target).release();
}

PyObject* get_capabilities(PyObject* self, void*) {
  py::SharedBorrow borrow(proxy_flag(self));
  return py::Ref::check(PyLong_FromLong(proxy_data(self).capabilities)).release();
}

int set_capabilities(PyObject* self, PyObject* value, void*) {
  if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
  std::uint8_t caps = py::arg_unsigned<std::uint8_t>(value, "capabilities");
  py::ExclusiveBorrow borrow(proxy_flag(self));
  proxy_data(self).capabilities = caps;
  return 0;
}

// Entries in their fixed order.
PyMethodDef proxy_methods[] = {
    {"_set_capabilities", py::method<proxy_set_capabilities>(), METH_FASTCALL | METH_KEYWORDS,
     "_set_capabilities($self, caps)\n--\n\n"},
    {"is_proxy", py::method<proxy_is_proxy>(), METH_NOARGS,
     "is_proxy($self)\n--\n\n"
     "Helper for users confused by type checks\n"
     "\"isinstance(proxy, dict)\" fails, so we provide this hint."},
    {"to_dict", py::method<proxy_to_dict>(), METH_NOARGS,
     "to_dict($self)\n--\n\nConversion to dict (Delegates to target or returns None)"},
    {"append", py::method<proxy_append>(), METH_FASTCALL | METH_KEYWORDS, "append($self, item)\n--\n\n"},
    {"extend", py::method<proxy_extend>(), METH_FASTCALL | METH_KEYWORDS, "extend($self, iterable)\n--\n\n"},
    {"insert", py::method<proxy_insert>(), METH_FASTCALL | METH_KEYWORDS, "insert($self, index, item)\n--\n\n"},
    {"remove", py::method<proxy_remove>(), METH_FASTCALL | METH_KEYWORDS, "remove($self, value)\n--\n\n"},
    {"sort", py::method<proxy_sort>(), METH_FASTCALL | METH_KEYWORDS, "sort($self, kwargs=None)\n--\n\n"},
    {"reverse", py::method<proxy_reverse>(), METH_NOARGS, "reverse($self)\n--\n\n"},
    {"clear", py::method<proxy_clear_method>(), METH_NOARGS, "clear($self)\n--\n\n"},
    {"get", py::method<proxy_get>(), METH_FASTCALL | METH_KEYWORDS, "get($self, key, default=None)\n--\n\n"},
    {"keys", py::method<proxy_keys>(), METH_NOARGS, "keys($self)\n--\n\n"},
    {"values", py::method<proxy_values>(), METH_NOARGS, "values($self)\n--\n\n"},
    {"items", py::method<proxy_items>(), METH_NOARGS, "items($self)\n--\n\n"},
    {"update", py::method<proxy_update>(), METH_FASTCALL | METH_KEYWORDS, "update($self, other=None, kwargs=None)\n--\n\n"},
    {"pop", py::method<proxy_pop>(), METH_FASTCALL | METH_KEYWORDS, "pop($self, key_or_index=None, default=None)\n--\n\n"},
    {"popitem", py::method<proxy_popitem>(), METH_NOARGS, "popitem($self)\n--\n\n"},
    {"setdefault", py::method<proxy_setdefault>(), METH_FASTCALL | METH_KEYWORDS, "setdefault($self, key, default=None)\n--\n\n"},
    {"_wrap_result", py::method<proxy_wrap_result>(), METH_FASTCALL | METH_KEYWORDS,
     "_wrap_result($self, key_or_path, val)\n--\n\n"},
    {"path", py::method<proxy_path>(), METH_NOARGS, "path($self)\n--\n\n"},
    {"__getstate__", py::method<proxy_getstate>(), METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", py::method<proxy_setstate>(), METH_FASTCALL | METH_KEYWORDS, "__setstate__($self, state)\n--\n\n"},
    {"__getnewargs__", py::method<proxy_getnewargs>(), METH_NOARGS, "__getnewargs__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef proxy_getset[] = {
    {"__dict__", py::tramp<get_proxy_dict>, nullptr,
     "Expose internals as dict for Pydantic/Standard Library compatibility", nullptr},
    {"read_only", py::tramp<get_read_only>, nullptr, nullptr, nullptr},
    {"supervisor_target", py::tramp<get_supervisor_target>, nullptr, "Get the underlying target (for internal use)",
     nullptr},
    {"capabilities", py::tramp<get_capabilities>, py::tramp<set_capabilities>, "[RFC-001] Capability Bitmask",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc =
    "SupervisorProxy(target, path=..., read_only=False, transaction=None, is_shadow=False, capabilities=15)\n"
    "--\n"
    "\n"
    "SupervisorProxy - The Gatekeeper for Python object access\n"
    "\n"
    "Unlike FrozenDict which returns copies, SupervisorProxy returns\n"
    "the original Python object while intercepting mutations.";

PyType_Slot proxy_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<proxy_new>)},
    {Py_mp_subscript, reinterpret_cast<void*>(py::tramp<proxy_getitem>)},
    {Py_tp_repr, reinterpret_cast<void*>(py::tramp<proxy_repr>)},
    {Py_tp_str, reinterpret_cast<void*>(py::tramp<proxy_repr>)},
    {Py_sq_contains, reinterpret_cast<void*>(py::tramp<proxy_contains>)},
    {Py_tp_iter, reinterpret_cast<void*>(py::tramp<proxy_iter>)},
    {Py_mp_length, reinterpret_cast<void*>(py::tramp<proxy_length>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(py::tramp<proxy_richcompare>)},
    {Py_tp_getattro, reinterpret_cast<void*>(py::tramp<proxy_getattro>)},
    {Py_tp_setattro, reinterpret_cast<void*>(py::tramp<proxy_setattro>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(py::tramp<proxy_ass_subscript>)},
    {Py_tp_methods, proxy_methods},
    {Py_tp_getset, proxy_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(proxy_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(proxy_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(proxy_clear)},
    {0, nullptr},
};

PyType_Spec proxy_spec = {
    "olvex_core.SupervisorProxy",
    static_cast<int>(sizeof(py::Native<ProxyData>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    proxy_slots,
};

}  // namespace

namespace {

struct KeptPaths {
  std::array<support::ZonePath, 8> paths;
  // Each path's text as a str, made when first asked for: a read that
  // shadows its value hands the transaction the same text on every run.
  std::array<py::Ref, 8> texts;
  std::size_t next = 0;
};

// Longer paths are made afresh each time: what the table keeps stays small
// whatever paths the process walks (a path keeps its parents alive).
constexpr std::size_t kKeptPathMax = 256;

KeptPaths& kept_paths() {
  static auto* const kept = new KeptPaths();
  return *kept;
}

support::ZonePath make_from(const support::ChildPath& path) { return path.make(); }
support::ZonePath make_from(std::string_view text) { return support::ZonePath(text); }

// The kept path made from `source` and its slot, or the path made afresh
// and no slot.
template <class Source>
std::pair<support::ZonePath, std::size_t> kept(const Source& source) {
  KeptPaths& k = kept_paths();
  for (std::size_t i = 0; i < k.paths.size(); ++i) {
    if (k.paths[i].made_from(source)) return {k.paths[i], i};
  }
  support::ZonePath made = make_from(source);
  if (made.empty() || made.size() > kKeptPathMax) return {std::move(made), k.paths.size()};
  const std::size_t slot = k.next++ % k.paths.size();
  k.paths[slot] = made;
  py::Ref gone = std::move(k.texts[slot]);  // a str: its release runs no Python code
  return {std::move(made), slot};
}

py::Ref text_str(const support::ZonePath& path) {
  PathBuffer buf;
  buf.resize(path.size());
  path.write(buf.data());
  return py::to_py(std::string_view(buf.data(), buf.size()));
}

}  // namespace

support::ZonePath kept_path(const support::ChildPath& path) { return kept(path).first; }

support::ZonePath kept_path(const support::ChildPath& path, py::Ref& text) {
  auto [made, slot] = kept(path);
  KeptPaths& k = kept_paths();
  if (slot == k.paths.size()) {
    text = text_str(made);
  } else {
    if (!k.texts[slot]) k.texts[slot] = text_str(made);
    text = k.texts[slot];
  }
  return std::move(made);
}

support::ZonePath whole_path(std::string_view text) { return kept(text).first; }

py::TypeCell supervisor_proxy_type("SupervisorProxy", [] { return py::make_type(&proxy_spec); });

PyObject* shadow_for_read(PyObject* tx, PyObject* val, PyObject* path) {
  if (!engine::shadows_natively(tx)) {
    PyObject* argv[] = {tx, val, path};
    return PyObject_VectorcallMethod(OLVEX_NAME(get_shadow), argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  }
  try {
    // The call by name would enter a recursion level and take the
    // transaction's shared borrow: so does this.
    py::RecursionScope scope(" while calling a Python object");
    py::SharedBorrow borrow(engine::transaction_flag(tx));
    return engine::get_shadow(tx, val, path).release();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    py::translate_current_exception();
    return nullptr;
  }
}

py::Ref make_proxy(PyObject* target, support::ZonePath path, bool read_only, PyObject* transaction, bool is_shadow,
                   std::uint8_t capabilities) {
  auto* type = reinterpret_cast<PyTypeObject*>(supervisor_proxy_type.get());
  return build(type, target, std::move(path), read_only, transaction, is_shadow, capabilities);
}

py::Ref make_proxy(PyObject* target, std::string_view path, bool read_only, PyObject* transaction, bool is_shadow,
                   std::uint8_t capabilities) {
  return make_proxy(target, whole_path(path), read_only, transaction, is_shadow, capabilities);
}

}  // namespace olvex::access
