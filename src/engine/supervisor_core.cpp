// SupervisorCore: key text -> (the caller's own object, overwrite count).
//
// Locks: a read-write lock over the map, then one per entry, always in
// that order. No section runs Python code or allocates a Python object, so
// none can be interrupted by a finaliser or the cycle collector; a replaced
// object, a removed entry and everything a clear or a release drops are let
// go only after every lock is released, so their finalisers may call any
// method for any key. Allocation happens before locking, or is caught
// inside the section with the map unchanged, so MemoryError never poisons a
// lock.
//
// Keys are compared by exact text (NULs count; a str subclass is its text
// and its __eq__/__hash__ are never called) and hashed with a random seed
// of the store's own, so crafted collisions cannot degrade the map.
#include "engine/supervisor_core.hpp"

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/lock.hpp"
#include "py/native.hpp"
#include "py/release.hpp"
#include "py/trampoline.hpp"
#include "support/seeded_hash.hpp"

namespace olvex::engine {

namespace {

constexpr const char* kMapPoisoned = "Lock Poisoned";
constexpr const char* kEntryPoisoned = "Entry Lock Poisoned";

struct Entry {
  py::RwLock<py::Ref> value;
  std::atomic<std::uint64_t> version{0};  // overwrites since the key was written first
};

using EntryMap = std::unordered_map<std::string, std::unique_ptr<Entry>, support::SeededHash, std::equal_to<>>;

void release_map(EntryMap&& map) noexcept;

struct StoreData {
  StoreData() : hash{support::HashSeed::random()}, entries(0, hash) {}
  ~StoreData() { release_map(take_all()); }
  StoreData(const StoreData&) = delete;
  StoreData& operator=(const StoreData&) = delete;

  // Empties the map and hands its entries to the caller, to be released
  // after the lock is let go. Poisoning does not stop a teardown.
  EntryMap take_all() noexcept {
    EntryMap out(0, hash);
    auto map = entries.write_even_if_poisoned();
    out.swap(*map);
    return out;
  }

  const support::SeededHash hash;
  py::RwLock<EntryMap> entries;
};

using Instance = py::Native<StoreData>;
StoreData& data(PyObject* self) noexcept { return py::value_of<StoreData>(self); }
py::BorrowFlag& flag(PyObject* self) noexcept { return py::flag_of<StoreData>(self); }

// Releasing a store can release another one stored in it, and so on down a
// chain: the map goes through the module's bounded-depth release.
void release_map(EntryMap&& map) noexcept {
  if (map.empty()) return;
  py::release_value(map);
}

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  py::bind_none_tuple("SupervisorCore.__new__", args, kwargs);
  return py::make_native<StoreData>(type).release();
}

int store_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = Instance::of(self);
  if (!n->alive) return 0;
  // Never waits: a lock that is busy (it cannot be, as no section lets the
  // collector run) or poisoned hides its objects, which only keeps them.
  auto map = data(self).entries.try_read();
  if (!map) return 0;
  for (const auto& [key, entry] : **map) {
    if (auto value = entry->value.try_read()) Py_VISIT((*value)->get());
  }
  return 0;
}

int store_clear(PyObject* self) {
  auto* n = Instance::of(self);
  if (n->alive) release_map(data(self).take_all());
  return 0;
}

PyObject* store_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorCore.read", {"key"}, 1};
  auto [key_arg] = params.bind(args, nargs, kwnames);
  std::string_view key = py::arg_str(key_arg, "key");
  py::SharedBorrow borrow(flag(self));
  auto map = data(self).entries.read(kMapPoisoned);
  auto it = map->find(key);
  if (it == map->end()) return py::none().release();
  auto value = it->second->value.read(kEntryPoisoned);
  return py::Ref(*value).release();
}

PyObject* store_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"SupervisorCore.write", {"key", "val"}, 2};
  auto [key_arg, val] = params.bind(args, nargs, kwnames);
  std::string_view key = py::arg_str(key_arg, "key");
  py::SharedBorrow borrow(flag(self));
  StoreData& d = data(self);
  // Holds the new object until it is stored, then the one it replaced;
  // declared first, so it is released after every lock.
  py::Ref swapped = py::Ref::borrow(val);
  auto overwrite = [&swapped](Entry& entry) {
    auto value = entry.value.write(kEntryPoisoned);
    std::swap(*value, swapped);
    entry.version.fetch_add(1, std::memory_order_relaxed);
  };
  {
    auto map = d.entries.read(kMapPoisoned);
    auto it = map->find(key);
    if (it != map->end()) {
      overwrite(*it->second);
      return py::none().release();
    }
  }
  std::string owned(key);
  auto fresh = std::make_unique<Entry>();  // its value is set once it is in the map
  bool refused = false;
  {
    auto map = d.entries.write(kMapPoisoned);
    // Another call may have added the key since the read lock was let go.
    auto it = map->find(key);
    if (it != map->end()) {
      overwrite(*it->second);
    } else {
      try {
        it = map->emplace(std::move(owned), std::move(fresh)).first;
        *it->second->value.write() = std::move(swapped);
      } catch (const std::bad_alloc&) {
        refused = true;  // the map is unchanged
      }
    }
  }
  if (refused) throw std::bad_alloc();
  return py::none().release();
}

PyObject* store_get_version(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorCore.get_version", {"key"}, 1};
  auto [key_arg] = params.bind(args, nargs, kwnames);
  std::string_view key = py::arg_str(key_arg, "key");
  py::SharedBorrow borrow(flag(self));
  std::uint64_t version;
  {
    auto map = data(self).entries.read(kMapPoisoned);
    auto it = map->find(key);
    if (it == map->end()) return py::none().release();
    version = it->second->version.load(std::memory_order_relaxed);  // no entry lock: a writer may be mid-way
  }
  return py::to_py_u64(version).release();
}

PyObject* store_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorCore.contains", {"key"}, 1};
  auto [key_arg] = params.bind(args, nargs, kwnames);
  std::string_view key = py::arg_str(key_arg, "key");
  py::SharedBorrow borrow(flag(self));
  auto map = data(self).entries.read(kMapPoisoned);
  return py::boolean(map->find(key) != map->end()).release();
}

PyObject* store_keys(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(flag(self));
  std::vector<std::string> keys;
  {
    // Room first: a refused reservation leaves the section by an exception
    // that a read lock is not poisoned by.
    auto map = data(self).entries.read(kMapPoisoned);
    keys.reserve(map->size());
    for (const auto& [key, entry] : *map) keys.push_back(key);
  }
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), py::to_py(keys[i]).release());
  }
  return list.release();
}

PyObject* store_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorCore.remove", {"key"}, 1};
  auto [key_arg] = params.bind(args, nargs, kwnames);
  std::string_view key = py::arg_str(key_arg, "key");
  py::SharedBorrow borrow(flag(self));
  EntryMap::node_type removed;  // released after the lock
  {
    auto map = data(self).entries.write(kMapPoisoned);
    auto it = map->find(key);
    if (it != map->end()) removed = map->extract(it);
  }
  return py::boolean(!removed.empty()).release();
}

PyMethodDef store_methods[] = {
    {"read", py::method<store_read>(), METH_FASTCALL | METH_KEYWORDS,
     "read($self, key)\n--\n\nRead a value by key - returns reference (zero-copy)"},
    {"write", py::method<store_write>(), METH_FASTCALL | METH_KEYWORDS,
     "write($self, key, val)\n--\n\nWrite a value by key (creates if not exists)"},
    {"get_version", py::method<store_get_version>(), METH_FASTCALL | METH_KEYWORDS,
     "get_version($self, key)\n--\n\nGet version for a key"},
    {"contains", py::method<store_contains>(), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, key)\n--\n\nCheck if key exists"},
    {"keys", py::method<store_keys>(), METH_NOARGS, "keys($self)\n--\n\nGet all keys"},
    {"remove", py::method<store_remove>(), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, key)\n--\n\nRemove a key"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("SupervisorCore()\n--\n\nSupervisorCore - The central state manager using references")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<store_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::tramp<py::dealloc_native<StoreData>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(store_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(store_clear)},
    {Py_tp_methods, store_methods},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "olvex_core.SupervisorCore",
    static_cast<int>(sizeof(Instance)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    store_slots,
};

}  // namespace

py::TypeCell supervisor_core_type("SupervisorCore", [] { return py::make_type(&store_spec); });

}  // namespace olvex::engine
