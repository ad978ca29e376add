// Transaction.get_shadow and is_known_shadow: one deep copy per original
// object, heavy values handed out uncopied, roots and paths tracked for
// inference.
//
// The copy runs with no record locked: get_shadow looks up, unlocks, copies
// and then locks again to store. When a shadow of the same original was
// stored meanwhile (by another thread, or by a __deepcopy__ that asked for
// its own object), that one is returned and this call tracks nothing, so
// each original keeps one shadow.
#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "engine/deep_copy.hpp"
#include "engine/transaction.hpp"
#include "py/args.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/objects.hpp"
#include "support/quote.hpp"
#include "support/zones.hpp"

namespace olvex::engine {

using py::Ref;

namespace {

// The path as written into the isolation message: Some("...") or None.
Ref path_in_message(PyObject* path) {
  if (!path) return Ref::check(PyUnicode_FromString("None"));
  py::Str quoted = py::Str::from_code_points(support::quote_text(py::Str::borrow(path).code_points()));
  return Ref::check(PyUnicode_FromFormat("Some(%U)", quoted.get()));
}

// The pending failure of the copy, as the isolation RuntimeError (with the
// failure as its cause). Only ordinary failures are wrapped; any other
// propagates unchanged.
[[noreturn]] void isolation_failure(PyObject* val, PyObject* path) {
  Ref cause = py::take_ordinary();
  Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(val)));
  if (!type_name) {
    py::discard_ordinary();
    type_name = Ref::check(PyUnicode_FromString("unknown"));
  }
  Ref where = path_in_message(path);
  Ref original = py::describe_exception(cause.get());
  Ref message = Ref::check(PyUnicode_FromFormat(
      "Transaction isolation failure: cannot deepcopy object of type '%U' at path %U. Store non-copyable objects "
      "in Heavy Zone instead. Original error: %U",
      type_name.get(), where.get(), original.get()));
  Ref error = py::call(PyExc_RuntimeError, message.get());
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetRaisedException(error.release());
  throw py::PyErrorSet{};
}

// The host module `copy`, as `import copy` finds it. A module that another
// thread is still importing sits in sys.modules half made, so only one that
// an import here has already returned is taken from there directly;
// anything else goes through the import machinery, which waits for it. A
// failure propagates unchanged.
Ref copy_module() {
  static PyObject* name = py::intern("copy");
  static PyObject* imported = nullptr;  // kept for the process
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (imported && modules && PyDict_CheckExact(modules)) {
    PyObject* found = nullptr;
    py::check(PyDict_GetItemRef(modules, name, &found));
    Ref module = Ref::steal(found);
    if (module.get() == imported) return module;
  }
  Ref module = Ref::check(PyImport_Import(name));
  if (module.get() != imported) {
    Py_XDECREF(std::exchange(imported, Ref(module).release()));
  }
  return module;
}

// module.name, or empty with the error set. The attribute of a plain
// module is the entry of its namespace (its type defines no such name and
// cannot be given one), read there directly; anything else, and a name
// that is absent (the module's __getattr__, the error), goes through the
// attribute protocol.
Ref module_attr(PyObject* module, PyObject* name) {
  if (PyModule_CheckExact(module)) {
    PyObject* found = nullptr;
    const int rc = PyDict_GetItemRef(PyModule_GetDict(module), name, &found);
    if (rc != 0) return Ref::steal(found);  // found, or failed (null)
  }
  return Ref::steal(PyObject_GetAttr(module, name));
}

class CopyDepth {
 public:
  CopyDepth(PyObject* val, PyObject* path) {
    if (Py_EnterRecursiveCall(" while copying a shadow")) isolation_failure(val, path);
  }
  ~CopyDepth() { Py_LeaveRecursiveCall(); }
  CopyDepth(const CopyDepth&) = delete;
  CopyDepth& operator=(const CopyDepth&) = delete;
};

// The objects a copy made, each with the original it was copied from.
using Parts = std::vector<std::pair<Ref, Ref>>;

// What the standard deepcopy's memo says: id(x) -> the copy of x, for every
// x it copied (each of them also in the list it keeps under id(memo)).
// Objects that are their own copy are not in it.
void collect_parts(PyObject* memo, Parts& parts) {
  Ref memo_id = Ref::check(PyLong_FromVoidPtr(memo));
  PyObject* found = nullptr;
  py::check(PyDict_GetItemRef(memo, memo_id.get(), &found));
  Ref kept = Ref::steal(found);
  if (!kept || !PyList_CheckExact(kept.get())) return;
  for (Py_ssize_t i = 0; i < PyList_Size(kept.get()); ++i) {
    Ref original = Ref::check(PyList_GetItemRef(kept.get(), i));
    Ref id = Ref::check(PyLong_FromVoidPtr(original.get()));
    py::check(PyDict_GetItemRef(memo, id.get(), &found));
    Ref copy = Ref::steal(found);
    if (copy && copy.get() != original.get()) parts.emplace_back(std::move(copy), std::move(original));
  }
}

// copy.deepcopy(val), natively when the value and the host allow. The
// standard library's deepcopy is given a memo of ours, which is what it
// would make itself, so that the copy's parts can be told afterwards.
Ref copy_of(PyObject* val, PyObject* path, Parts& parts) {
  Ref module = copy_module();
  Ref deepcopy = module_attr(module.get(), OLVEX_NAME(deepcopy));
  if (!deepcopy) isolation_failure(val, path);
  CopyDepth depth(val, path);
  Ref fast;
  try {
    fast = native_deepcopy(module.get(), deepcopy.get(), val);
  } catch (const py::PyErrorSet&) {
    isolation_failure(val, path);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    isolation_failure(val, path);
  }
  if (fast) return fast;
  Ref memo;
  if (is_standard_deepcopy(module.get(), deepcopy.get())) memo = Ref::check(PyDict_New());
  PyObject* argv[] = {nullptr, val, memo.get()};
  const std::size_t nargs = memo ? 2 : 1;
  Ref copy = Ref::steal(PyObject_Vectorcall(deepcopy.get(), argv + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!copy) isolation_failure(val, path);
  if (memo) collect_parts(memo.get(), parts);
  return copy;
}

// shadow._lock_manager = None; ordinary failures are dropped. The builtin
// types the native copy handles refuse the attribute, so they are skipped.
void clear_lock_manager(PyObject* shadow) {
  if (is_native_copy_type(shadow)) return;
  if (PyObject_SetAttr(shadow, OLVEX_NAME(_lock_manager), Py_None) < 0) py::discard_ordinary();
}

std::string_view root_of(std::string_view path) {
  return path.substr(0, std::min(path.find('.'), path.find('[')));
}

// Registers the root and the path of a new shadow. Called with the shadow
// cache locked; the original an earlier shadowing left under the same path
// goes to `released`. On failure nothing stays registered.
void track(TransactionData& t, PyObject* val, const Ref& shadow, const py::Str& path, std::string_view key,
           Ref& released) {
  bool new_root = t.root_shadows.with([&](RootShadows& roots) {
    std::string_view root = root_of(key);
    if (roots.find(root)) return false;
    roots.append(std::string(root), shadow);
    return true;
  });
  try {
    t.tracked_paths.with([&](TrackedPaths& tracked) {
      if (TrackedEntry* e = tracked.find(key)) {
        released = std::exchange(e->original, Ref::borrow(val));
        return;
      }
      tracked.append(std::string(key), TrackedEntry{path, Ref::borrow(val)});
    });
  } catch (...) {
    // Still under the cache lock, so the root added above is the last one.
    if (new_root) t.root_shadows.with([](RootShadows& roots) { roots.pop_back(); });
    throw;
  }
}

// Adds the parts a new shadow's copy made. They only spare later copies,
// so running out of memory here just leaves the rest out.
void remember_parts(ShadowCache& cache, Parts& parts) noexcept {
  try {
    for (auto& [part, original] : parts) {
      PyObject* const key = part_key(part.get());
      if (cache.find(key)) continue;
      cache.append(key, ShadowEntry{std::move(part), std::move(original)});
    }
  } catch (const std::bad_alloc&) {
  }
}

Ref cached_shadow(TransactionData& t, PyObject* val) {
  return t.shadow_cache.with([&](ShadowCache& cache) -> Ref {
    ShadowEntry* e = cache.find(val);
    return e ? e->shadow : Ref();
  });
}

}  // namespace

Ref get_shadow(PyObject* tx, PyObject* val, PyObject* path) {
  TransactionData& t = transaction_data(tx);
  if (Ref hit = cached_shadow(t, val)) return hit;
  py::Str path_text;
  py::Utf8 key;
  if (path) {
    path_text = py::Str::exact(path);
    key = path_text.bytes();
  }
  if (path && support::may_be_heavy(key.view) && support::resolve_zone(key.view) == support::ContextZone::Heavy) {
    // Heavy values are handed out as they are and never tracked.
    return t.shadow_cache.with([&](ShadowCache& cache) -> Ref {
      if (ShadowEntry* e = cache.find(val)) return e->shadow;
      cache.append(val, ShadowEntry{Ref::borrow(val), Ref::borrow(val)});
      return Ref::borrow(val);
    });
  }
  Parts parts;  // let go after every lock, like `released`
  Ref shadow = copy_of(val, path, parts);
  clear_lock_manager(shadow.get());
  Ref released;  // let go after every lock
  return t.shadow_cache.with([&](ShadowCache& cache) -> Ref {
    if (ShadowEntry* e = cache.find(val)) return e->shadow;  // stored meanwhile
    cache.append(val, ShadowEntry{shadow, Ref::borrow(val)});
    if (path) {
      try {
        track(t, val, shadow, path_text, key.view, released);
      } catch (...) {
        cache.pop_back();  // the shadow and the original are held elsewhere too
        throw;
      }
    }
    remember_parts(cache, parts);
    return shadow;
  });
}

Ref shadow_of_part(PyObject* tx, PyObject* val, PyObject* path, support::ContextZone zone) {
  if (zone == support::ContextZone::Heavy) return Ref();
  TransactionData& t = transaction_data(tx);
  // The original it was copied from, and its shadow when it has one.
  auto look = [&](Ref& original) {
    return t.shadow_cache.with([&](ShadowCache& cache) -> Ref {
      if (!original) {
        ShadowEntry* part = find_part(cache, val);
        if (!part) return Ref();
        original = part->original;
      }
      ShadowEntry* e = cache.find(original.get());
      return e ? e->shadow : Ref();
    });
  };
  Ref original;
  if (Ref hit = look(original)) return hit;
  if (!original) return Ref();
  py::Str path_text = py::Str::exact(path);
  py::Utf8 key = path_text.bytes();
  // As a new shadow would have it (Python code may run: no record locked).
  clear_lock_manager(val);
  Ref released;  // let go after every lock
  return t.shadow_cache.with([&](ShadowCache& cache) -> Ref {
    if (ShadowEntry* e = cache.find(original.get())) return e->shadow;  // stored meanwhile
    Ref part = Ref::borrow(val);
    cache.append(original.get(), ShadowEntry{part, original});
    try {
      track(t, original.get(), part, path_text, key.view, released);
    } catch (...) {
      cache.pop_back();
      throw;
    }
    return part;
  });
}

PyObject* tx_get_shadow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"Transaction.get_shadow", {"val", "path"}, 1};
  auto [val, path_arg] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(transaction_flag(self));
  PyObject* path = path_arg ? py::optional(path_arg) : nullptr;
  if (path && !py::Str::is(path)) py::raise_arg_type("path", path, "PyString");
  return get_shadow(self, val, path).release();
}

PyObject* tx_is_known_shadow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"Transaction.is_known_shadow", {"obj"}, 1};
  auto [obj] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(transaction_flag(self));
  bool known = transaction_data(self).shadow_cache.with([&](ShadowCache& cache) {
    ShadowEntry* e = cache.find(obj);
    return e && e->original.get() == obj;
  });
  return py::boolean(known).release();
}

}  // namespace olvex::engine
