// The native deep copy follows copy.deepcopy's own steps for the types it
// takes: the memo is consulted first; a dict or list copy enters the memo
// before its items are copied; a tuple's items are copied first, then the
// memo is consulted again (a cycle through the tuple may have copied it
// meanwhile), and a tuple whose items all copy to themselves is its own
// copy and is not memoised.
//
// Allocations can run Python code (the cycle collector's finalizers), which
// may change the value being copied. So every source object is held by a
// strong reference while it is in use or in the memo, and a dict or list
// whose size changes under the copy makes it decline: the host function
// then copies whatever is there.
#include "engine/deep_copy.hpp"

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "py/caught.hpp"
#include "support/flat_map.hpp"
#include "py/errors.hpp"
#include "py/names.hpp"

namespace olvex::engine {

using py::Ref;

namespace {

constexpr int kMaxDepth = 64;

// The types met, one bit each, so that only their dispatch entries are
// checked.
enum Kind : unsigned {
  kDict,
  kList,
  kTuple,
  kStr,
  kInt,
  kFloat,
  kBool,
  kNone,
  kBytes,
  kKinds,
};

PyTypeObject* kind_type(unsigned k) noexcept {
  switch (k) {
    case kDict: return &PyDict_Type;
    case kList: return &PyList_Type;
    case kTuple: return &PyTuple_Type;
    case kStr: return &PyUnicode_Type;
    case kInt: return &PyLong_Type;
    case kFloat: return &PyFloat_Type;
    case kBool: return &PyBool_Type;
    case kNone: return Py_TYPE(Py_None);
    default: return &PyBytes_Type;
  }
}

// Under the limited API, Py_None is a function call; the copy asks often.
PyObject* none_object() noexcept {
  static PyObject* const none = Py_None;
  return none;
}

// The scalar kinds, or kKinds for anything else.
unsigned scalar_kind(PyObject* o) noexcept {
  if (PyUnicode_CheckExact(o)) return kStr;
  if (PyLong_CheckExact(o)) return kInt;
  if (o == none_object()) return kNone;
  if (PyBool_Check(o)) return kBool;
  if (PyFloat_CheckExact(o)) return kFloat;
  if (PyBytes_CheckExact(o)) return kBytes;
  return kKinds;
}

// Source object -> its copy, with strong references to both. Most copies
// meet a handful of containers: the first few entries sit in the copier
// itself, so that such a copy allocates no memo.
class Memo {
 public:
  const Ref* find(PyObject* x) const {
    for (std::size_t i = 0; i < used_; ++i) {
      if (inline_[i].source.get() == x) return &inline_[i].copy;
    }
    if (more_.empty()) return nullptr;
    auto* hit = const_cast<Spill&>(more_).find(x);
    return hit ? &hit->second : nullptr;
  }
  void append(PyObject* x, const Ref& y) {
    if (used_ < kInline) {
      inline_[used_] = {Ref::borrow(x), y};
      ++used_;
      return;
    }
    more_.append(x, {Ref::borrow(x), y});
  }

 private:
  static constexpr std::size_t kInline = 8;
  struct Entry {
    Ref source;
    Ref copy;
  };
  using Spill = support::FlatMap<PyObject*, std::pair<Ref, Ref>>;
  Entry inline_[kInline];
  std::size_t used_ = 0;
  Spill more_;
};

class Copier {
 public:

  // The copy, or empty when the native copy declines.
  Ref copy(PyObject* x, int depth) {
    if (unsigned k = scalar_kind(x); k != kKinds) {
      seen_ |= 1u << k;
      return Ref::borrow(x);
    }
    if (Ref hit = memoised(x)) return hit;
    if (depth >= kMaxDepth) return {};
    if (PyDict_CheckExact(x)) return copy_dict(x, depth + 1);
    if (PyList_CheckExact(x)) return copy_list(x, depth + 1);
    if (PyTuple_CheckExact(x)) return copy_tuple(x, depth + 1);
    return {};
  }

  unsigned seen() const noexcept { return seen_; }

  // A top-level dict of scalars alone: nothing in it can be met twice, so
  // its copy needs no memo; the kinds met go to `kinds`. Empty when the
  // dict holds anything else (`kinds` then kKinds: the general copy
  // decides) or changed under the copy (the native copy declines).
  static Ref copy_flat_dict(PyObject* x, unsigned& kinds) {
    kinds = flat_kinds(x);
    if (kinds == kKinds) return {};
    Ref y = Ref::check(PyDict_Copy(x));  // may run Python code, as in copy_dict
    kinds = flat_kinds(y.get());
    if (kinds == kKinds) {
      kinds = 0;
      return {};
    }
    kinds |= 1u << kDict;
    return y;
  }

 private:
  Ref memoised(PyObject* x) {
    const Ref* hit = memo_.find(x);
    return hit ? *hit : Ref();
  }
  void remember(PyObject* x, const Ref& y) { memo_.append(x, y); }

  // The kinds of a dict's keys and values when all of them are scalars,
  // else kKinds.
  static unsigned flat_kinds(PyObject* d) noexcept {
    unsigned kinds = 0;
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(d, &pos, &k, &v)) {
      const unsigned a = scalar_kind(k);
      const unsigned b = scalar_kind(v);
      if (a == kKinds || b == kKinds) return kKinds;
      kinds |= (1u << a) | (1u << b);
    }
    return kinds;
  }

  Ref copy_dict(PyObject* x, int depth) {
    seen_ |= 1u << kDict;
    if (flat_kinds(x) != kKinds) {
      // Scalars copy to themselves, so the copy holds the same items in the
      // same order: made whole. The allocation may run Python code that
      // changes `x`, so what was copied is checked again.
      Ref y = Ref::check(PyDict_Copy(x));
      const unsigned kinds = flat_kinds(y.get());
      if (kinds == kKinds) return {};
      seen_ |= kinds;
      remember(x, y);
      return y;
    }
    Ref y = Ref::check(PyDict_New());
    remember(x, y);
    const Py_ssize_t size = PyDict_Size(x);
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(x, &pos, &k, &v)) {
      Ref key = Ref::borrow(k);
      Ref value = Ref::borrow(v);
      Ref key_copy = copy(key.get(), depth);
      if (!key_copy) return {};
      Ref value_copy = copy(value.get(), depth);
      if (!value_copy) return {};
      py::check(PyDict_SetItem(y.get(), key_copy.get(), value_copy.get()));
      if (PyDict_Size(x) != size) return {};
    }
    return y;
  }

  // Filled slot by slot: a list that changes length under the copy makes
  // it decline, and the half-filled copy (empty slots are allowed in a
  // list being built) is dropped.
  Ref copy_list(PyObject* x, int depth) {
    seen_ |= 1u << kList;
    const Py_ssize_t size = PyList_Size(x);
    Ref y = Ref::check(PyList_New(size));
    remember(x, y);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (PyList_Size(x) != size) return {};
      Ref item = Ref::check(PyList_GetItemRef(x, i));
      Ref item_copy = copy(item.get(), depth);
      if (!item_copy) return {};
      py::check(PyList_SetItem(y.get(), i, item_copy.release()));
    }
    if (PyList_Size(x) != size) return {};
    return y;
  }

  Ref copy_tuple(PyObject* x, int depth) {
    seen_ |= 1u << kTuple;
    const Py_ssize_t size = PyTuple_Size(x);
    std::vector<Ref> items;
    items.reserve(static_cast<std::size_t>(size));
    bool all_same = true;
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyTuple_GetItem(x, i);  // borrowed from the tuple, which cannot change
      Ref item_copy = copy(item, depth);
      if (!item_copy) return {};
      all_same = all_same && item_copy.get() == item;
      items.push_back(std::move(item_copy));
    }
    if (Ref hit = memoised(x)) return hit;
    if (all_same) return Ref::borrow(x);
    Ref y = Ref::check(PyTuple_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      py::check(PyTuple_SetItem(y.get(), i, items[static_cast<std::size_t>(i)].release()));
    }
    remember(x, y);
    return y;
  }

  Memo memo_;
  unsigned seen_ = 0;
};

// ---- the host's copy module -------------------------------------------------
// Validated once per module, deepcopy and dispatch objects seen; the
// per-type dispatch entries are compared on every copy.

struct Host {
  Ref module;
  Ref globals;  // the module's namespace, where deepcopy finds its dispatch
  Ref deepcopy;
  Ref dispatch;
  Ref per_kind[kKinds];  // the standard copier of each kind
};

// The last validated host. Never destroyed (it holds Python references);
// a replaced one goes when its last user lets go.
std::shared_ptr<Host>& g_host = *new std::shared_ptr<Host>();

// o.name, or empty when absent or when reading fails in an ordinary way.
Ref optional_attr(PyObject* o, const char* name) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(o, name, &found) < 0) py::discard_ordinary();
  return Ref::steal(found);
}

bool equal(PyObject* a, PyObject* b) {
  int eq = PyObject_RichCompareBool(a, b, Py_EQ);
  if (eq < 0) {
    py::discard_ordinary();
    return false;
  }
  return eq == 1;
}

// A function defined in the module whose namespace is `globals`, under the
// qualified name `name`.
bool defined_in(PyObject* fn, PyObject* globals, const char* name) {
  Ref fn_globals = optional_attr(fn, "__globals__");
  if (!fn_globals || fn_globals.get() != globals) return false;
  Ref qualname = optional_attr(fn, "__qualname__");
  return qualname && PyUnicode_Check(qualname.get()) && PyUnicode_EqualToUTF8(qualname.get(), name);
}

// The module is the standard library's copy.py, when the interpreter says
// where its standard library is.
bool from_stdlib(PyObject* module) {
  PyObject* dir = PySys_GetObject("_stdlib_dir");  // borrowed
  if (!dir || !PyUnicode_Check(dir)) return true;
  Ref file = optional_attr(module, "__file__");
  if (!file) return false;
  Ref expected = Ref::check(PyUnicode_FromFormat("%U/copy.py", dir));
  return equal(file.get(), expected.get());
}

const char* copier_name(unsigned k) noexcept {
  switch (k) {
    case kDict: return "_deepcopy_dict";
    case kList: return "_deepcopy_list";
    case kTuple: return "_deepcopy_tuple";
    default: return "_deepcopy_atomic";
  }
}

std::shared_ptr<Host> validate(PyObject* module, PyObject* deepcopy) {
  Ref globals = optional_attr(module, "__dict__");
  if (!globals || !PyDict_Check(globals.get())) return nullptr;
  if (!defined_in(deepcopy, globals.get(), "deepcopy") || !from_stdlib(module)) return nullptr;
  Ref dispatch = optional_attr(module, "_deepcopy_dispatch");
  if (!dispatch || !PyDict_CheckExact(dispatch.get())) return nullptr;
  auto host = std::make_shared<Host>();
  for (unsigned k = 0; k < kKinds; ++k) {
    PyObject* fn = nullptr;
    if (PyDict_GetItemRef(dispatch.get(), reinterpret_cast<PyObject*>(kind_type(k)), &fn) < 0) {
      py::discard_ordinary();
      return nullptr;
    }
    host->per_kind[k] = Ref::steal(fn);
    if (!fn || !defined_in(fn, globals.get(), copier_name(k))) return nullptr;
  }
  host->module = Ref::borrow(module);
  host->globals = std::move(globals);
  host->deepcopy = Ref::borrow(deepcopy);
  host->dispatch = std::move(dispatch);
  return host;
}

// The validated host for this module and function, or null.
std::shared_ptr<Host> host_for(PyObject* module, PyObject* deepcopy) {
  if (g_host && g_host->module.get() == module && g_host->deepcopy.get() == deepcopy) {
    // What deepcopy itself reads: the module global of that name.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(g_host->globals.get(), OLVEX_NAME(_deepcopy_dispatch), &found) < 0) py::discard_ordinary();
    Ref dispatch = Ref::steal(found);
    if (dispatch.get() == g_host->dispatch.get()) return g_host;
  }
  std::shared_ptr<Host> fresh = validate(module, deepcopy);
  if (!fresh) return nullptr;
  std::shared_ptr<Host> previous = std::exchange(g_host, fresh);
  return fresh;
}

// The dispatch entries of the kinds met are still the standard copiers.
bool dispatch_unchanged(const Host& host, unsigned seen) {
  for (unsigned k = 0; k < kKinds; ++k) {
    if (!(seen & (1u << k))) continue;
    // Borrowed: only its identity is compared.
    PyObject* fn = PyDict_GetItemWithError(host.dispatch.get(), reinterpret_cast<PyObject*>(kind_type(k)));
    if (!fn && PyErr_Occurred()) {
      py::discard_ordinary();
      return false;
    }
    if (fn != host.per_kind[k].get()) return false;
  }
  return true;
}

}  // namespace

bool is_standard_deepcopy(PyObject* copy_module, PyObject* deepcopy) {
  return host_for(copy_module, deepcopy) != nullptr;
}

bool is_native_copy_type(PyObject* o) noexcept {
  return scalar_kind(o) != kKinds || PyDict_CheckExact(o) || PyList_CheckExact(o) || PyTuple_CheckExact(o);
}

Ref native_deepcopy(PyObject* copy_module, PyObject* deepcopy, PyObject* value) {
  if (!is_native_copy_type(value)) return {};
  // Held for the call: Python code that the copy's allocations run may
  // replace the process's host meanwhile.
  std::shared_ptr<Host> host = host_for(copy_module, deepcopy);
  if (!host) return {};
  if (PyDict_CheckExact(value)) {
    unsigned kinds = 0;
    if (Ref flat = Copier::copy_flat_dict(value, kinds)) {
      if (!dispatch_unchanged(*host, kinds)) return {};
      return flat;
    }
    if (kinds != kKinds) return {};
  }
  Copier copier;
  Ref result = copier.copy(value, 0);
  if (!result) return {};
  if (!dispatch_unchanged(*host, copier.seen())) return {};
  return result;
}

}  // namespace olvex::engine
