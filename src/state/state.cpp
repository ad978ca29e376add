// State: the type object, construction, the read-only properties, the meta
// log and restrict_view. update is in state_update.cpp.
//
// Cycle collection: the objects a State holds sit in persistent-map nodes
// that several versions share, and such a node owns one reference per value
// however many maps reach it. Visiting those values once per State would
// let the collector count references that do not exist and free objects
// still in use, so a State visits only the values on the paths that it
// alone reaches (PersistentMap::for_each_exclusive). A cycle through nodes
// that other live versions share is therefore not collected until those
// versions are gone; once a version is the last holder of its nodes it
// reports everything it holds.
#include "state/state.hpp"

#include <fmt/format.h>

#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/trampoline.hpp"
#include "state/dict_walk.hpp"
#include "state/exceptions.hpp"
#include "state/signals.hpp"
#include "state/views.hpp"

namespace olvex::state {

using py::Ref;
using support::MetaRing;
using support::Sender;

namespace {

using Instance = py::Native<StateData>;

// The reserved room of a new lineage's ring; failures become Python errors
// instead of ending the process.
std::shared_ptr<MetaRing> make_ring(std::size_t capacity) {
  try {
    return std::make_shared<MetaRing>(capacity);
  } catch (const std::length_error&) {
    py::raise(PyExc_OverflowError, fmt::format("meta_capacity {} is too large to reserve", capacity));
  } catch (const std::bad_alloc&) {
    py::raise(PyExc_MemoryError, fmt::format("cannot reserve room for {} meta-log entries", capacity));
  }
}

std::shared_ptr<const Sender> make_hub() { return std::make_shared<const Sender>(new_channel()); }

// The entries of a constructor zone, keys checked and converted, each with
// the constructor's version; they move into the map through the bulk
// build: one pass per trie level, each node allocated once at its final
// size.
Zone build_zone(PyObject* dict, std::vector<ZoneEntry>& items, std::uint64_t version) {
  if (!PyDict_Check(dict)) py::raise_type(dict, "PyDict");
  items.clear();
  items.reserve(static_cast<std::size_t>(PyDict_Size(dict)));
  DictWalk walk(dict);
  Ref key;
  Ref value;
  while (walk.next(key, value)) {
    if (!PyUnicode_Check(key.get())) py::raise_type(key.get(), "PyString");
    Ref stored = plain_key(key.get(), py::utf8(key.get()));
    items.push_back(ZoneEntry{std::move(stored), std::move(value), version});
  }
  using Source = support::MovingIterator<std::vector<ZoneEntry>::iterator>;
  static_assert(Zone::builds_in_bulk<Source>(), "a State's zones must take the bulk build");
  return Zone(Source(items.begin()), Source(items.end()));
}

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<5> params{"State.__new__", {"data", "heavy", "signal", "version", "meta_capacity"}, 0};
  auto [data, heavy, signal, version, capacity] = params.bind(args, kwargs);
  std::uint64_t v = version ? py::arg_u64(version, "version") : 1;
  std::size_t cap = capacity ? py::arg_unsigned<std::size_t>(capacity, "meta_capacity") : 1000;
  return new_state(type, py::optional(data), py::optional(heavy), py::optional(signal), v, cap).release();
}

// A State can hold another in its data, and so on down a chain: the
// deallocation is bounded by itself. Each update makes a State and drops
// the one before: the memory of the class's own instances is kept for the
// next ones (wrap_state).
void state_dealloc(PyObject* self) { py::dealloc_kept<StateData>(self); }

int state_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  auto each = [&](const ZoneEntry& e) -> int {
    Py_VISIT(e.value.get());
    return 0;
  };
  if (int r = n->value().data.for_each_exclusive(each)) return r;
  return n->value().heavy.for_each_exclusive(each);
}

// Breaks a cycle through this State by emptying its zones; the values are
// released after the fields are already empty.
int state_clear(PyObject* self) {
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  Zone data;
  Zone heavy;
  data.swap(n->value().data);
  heavy.swap(n->value().heavy);
  return 0;
}

int state_setattro(PyObject*, PyObject*, PyObject* value) {
  if (!value) py::raise(PyExc_AttributeError, "can't delete attribute");
  state::raise(Exc::ContextError, "State is Immutable. Use .update() to create a new version.");
}

const StateData& fields(PyObject* self) { return state_data(self); }

// A new FrozenDict over a new dict of the zone, in the map's order. Every
// read builds its own dict and keeps nothing: a cache would hold a whole
// dict per version for as long as the version lives. The keys are the
// stored strs, whose hashes they carry, so an insert computes nothing; what
// it waits for is the key's hash and the value's count, in objects spread
// over memory. The entries are listed first so that those objects can be
// fetched a few inserts early (at a million keys a fifth faster than
// inserting during the walk; a list of pairs for PyDict_MergeFromSeq2, the
// limited API's other way, costs a tuple per key and is three times slower).
Ref zone_view(const Zone& zone) {
  constexpr std::size_t kAhead = 16;
  std::vector<const ZoneEntry*> entries;
  entries.reserve(zone.size());
  for (const ZoneEntry& e : zone) entries.push_back(&e);
  Ref dict = Ref::check(PyDict_New());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + kAhead < entries.size()) {
      __builtin_prefetch(entries[i + kAhead]->key.get());
      __builtin_prefetch(entries[i + kAhead]->value.get(), 1);
    }
    py::check(PyDict_SetItem(dict.get(), entries[i]->key.get(), entries[i]->value.get()));
  }
  return frozen_dict_over(dict.get());
}

Ref meta_list(const StateData& s) {
  std::vector<support::MetaLogEntry> entries = s.ring->snapshot();
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Ref e = meta_log_entry_object(std::move(entries[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), e.release());
  }
  return list;
}

// NumPy's bool scalar, recognised by its type's module and name so that
// NumPy need not be imported.
bool is_numpy_bool(PyObject* o) {
  auto* type = Py_TYPE(o);
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_EqualToUTF8(name.get(), "bool_") && !PyUnicode_EqualToUTF8(name.get(), "bool")) return false;
  Ref module = Ref::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy");
}

bool read_only_arg(PyObject* o) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  if (is_numpy_bool(o)) return py::check(PyObject_IsTrue(o)) != 0;
  py::raise_arg_type("read_only", o, "PyBool");
}

PyObject* state_log_meta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"State.log_meta", {"key", "message"}, 2};
  auto [key, message] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(state_flag(self));
  std::string_view k = py::arg_str(key, "key");
  std::string_view m = py::arg_str(message, "message");
  append_meta(*fields(self).ring, std::string(k), std::string(m));
  return py::none().release();
}

PyObject* state_get_meta_logs(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(state_flag(self));
  return meta_list(fields(self)).release();
}

PyObject* state_restrict_view(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(state_flag(self));
  StateData view = fields(self);
  view.hub = make_hub();
  return wrap_state(std::move(view)).release();
}

PyObject* state_domain_proxy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"State.domain_proxy", {"read_only"}, 0};
  auto [read_only] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(state_flag(self));
  PyObject* given = read_only ? py::optional(read_only) : nullptr;
  bool ro = given ? read_only_arg(given) : true;
  return root_proxy(fields(self), domain_root(), ro).release();
}

PyObject* get_version(PyObject* self, void*) {
  py::SharedBorrow borrow(state_flag(self));
  return py::to_py_u64(fields(self).version).release();
}

PyObject* get_data(PyObject* self, void*) {
  py::SharedBorrow borrow(state_flag(self));
  return zone_view(fields(self).data).release();
}

PyObject* get_heavy(PyObject* self, void*) {
  py::SharedBorrow borrow(state_flag(self));
  return zone_view(fields(self).heavy).release();
}

PyObject* get_signal(PyObject* self, void*) {
  py::SharedBorrow borrow(state_flag(self));
  return hub_object_for(*fields(self).hub).release();
}

PyObject* get_signals(PyObject* self, void*) {
  py::SharedBorrow borrow(state_flag(self));
  Ref dict = Ref::check(PyDict_New());
  for (const auto& [name, text] : fields(self).signals) {
    Ref k = py::to_py(name);
    Ref v = py::to_py(text);
    py::check(PyDict_SetItem(dict.get(), k.get(), v.get()));
  }
  return frozen_dict_over(dict.get()).release();
}

PyObject* get_domain(PyObject* self, void*) {
  py::SharedBorrow borrow(state_flag(self));
  return root_proxy(fields(self), domain_root(), true).release();
}

PyObject* get_global(PyObject* self, void*) {
  py::SharedBorrow borrow(state_flag(self));
  return root_proxy(fields(self), global_root(), true).release();
}

PyObject* get_meta(PyObject* self, void*) {
  py::SharedBorrow borrow(state_flag(self));
  return meta_list(fields(self)).release();
}

PyMethodDef state_methods[] = {
    {"update", py::method<state_update>(), METH_FASTCALL | METH_KEYWORDS,
     "update($self, data=None, heavy=None, signal=None)\n--\n\n"},
    {"log_meta", py::method<state_log_meta>(), METH_FASTCALL | METH_KEYWORDS,
     "log_meta($self, key, message)\n--\n\nLog a system event to the Meta Zone Ring Buffer."},
    {"get_meta_logs", py::method<state_get_meta_logs>(), METH_NOARGS,
     "get_meta_logs($self)\n--\n\nRetrieve persistent meta logs (shared across state versions)."},
    {"restrict_view", py::method<state_restrict_view>(), METH_NOARGS, "restrict_view($self)\n--\n\n"},
    {"domain_proxy", py::method<state_domain_proxy>(), METH_FASTCALL | METH_KEYWORDS,
     "domain_proxy($self, read_only=None)\n--\n\n"
     "v3.1: Returns domain wrapped in SupervisorProxy (preserves PyObject idiomatics)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef state_getset[] = {
    {"version", py::tramp<get_version>, nullptr, nullptr, nullptr},
    {"data", py::tramp<get_data>, nullptr, nullptr, nullptr},
    {"heavy", py::tramp<get_heavy>, nullptr, nullptr, nullptr},
    {"signal", py::tramp<get_signal>, nullptr, nullptr, nullptr},
    {"signals", py::tramp<get_signals>, nullptr, nullptr, nullptr},
    {"domain", py::tramp<get_domain>, nullptr, nullptr, nullptr},
    {"global", py::tramp<get_global>, nullptr, nullptr, nullptr},
    {"meta", py::tramp<get_meta>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot state_slots[] = {
    {Py_tp_doc, const_cast<char*>("State(data=None, heavy=None, signal=None, version=1, meta_capacity=1000)\n--\n\n"
                                  "Olvex v3 Immutable State")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<state_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear)},
    {Py_tp_setattro, reinterpret_cast<void*>(py::tramp<state_setattro>)},
    {Py_tp_methods, state_methods},
    {Py_tp_getset, state_getset},
    {0, nullptr},
};

PyType_Spec state_spec = {
    "builtins.State",  // reported in module builtins; a bare name warns on 3.13
    static_cast<int>(sizeof(Instance)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    state_slots,
};

}  // namespace

py::TypeCell state_type("State", [] { return py::make_type(&state_spec); });

bool is_state(PyObject* o) { return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(state_type.get())); }

Ref new_state(PyTypeObject* type, PyObject* data, PyObject* heavy, PyObject*, std::uint64_t version,
              std::size_t meta_capacity) {
  StateData s;
  s.hub = make_hub();
  std::vector<ZoneEntry> items;
  if (data) s.data = build_zone(data, items, version);
  if (heavy) s.heavy = build_zone(heavy, items, version);
  s.ring = make_ring(meta_capacity);
  s.meta_capacity = meta_capacity;
  s.version = version;
  return py::make_native<StateData>(type, std::move(s));
}

Ref plain_key(PyObject* key, std::string_view text) {
  if (PyUnicode_CheckExact(key)) return Ref::borrow(key);
  Ref plain = py::to_py(text);
  py::utf8(plain.get());  // made here, so the map's reads of the text never fail
  return plain;
}

const std::uint64_t* KeyVersions::find(const std::string& path) const {
  const std::uint64_t* newest = nullptr;
  auto take = [&](const std::uint64_t* v) {
    if (v && (!newest || *v > *newest)) newest = v;
  };
  if (const ZoneEntry* e = s_.data.find(path)) take(&e->version);
  if (const ZoneEntry* e = s_.heavy.find(path)) take(&e->version);
  if (path.find('.') != std::string::npos) take(s_.sub_versions.find(path));
  return newest;
}

bool KeyVersions::empty() const noexcept { return s_.data.empty() && s_.heavy.empty() && s_.sub_versions.empty(); }

Ref wrap_state(StateData&& fields) { return py::make_kept<StateData>(state_type.get(), std::move(fields)); }

void append_meta(MetaRing& ring, std::string key, std::string message) {
  ring.append(support::MetaLogEntry{support::wall_clock_seconds(), std::move(key), std::move(message)});
}

}  // namespace olvex::state
