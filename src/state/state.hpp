#pragma once
// State: the immutable, versioned snapshot of the context. Its zones live in
// persistent maps, so a new version shares everything it does not change
// with its parent; the signal hub and the meta-log ring are shared by the
// whole lineage.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "py/native.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "support/broadcast.hpp"
#include "support/hamt.hpp"
#include "support/meta_ring.hpp"

namespace olvex::state {

// Every State map is copied, updated and dropped with the interpreter lock
// held, so its node counts need no atomic operations.
template <class Value>
using StateMap = support::PersistentMap<std::string, Value, std::hash<std::string>, std::equal_to<std::string>,
                                        support::SerialCount>;
// Text key (UTF-8) -> the caller's own object, held by reference.
using ObjectMap = StateMap<py::Ref>;
// Key path -> the version that last wrote it.
using VersionMap = StateMap<std::uint64_t>;
// Signal name -> text.
using TextMap = StateMap<std::string>;

// Every copy, update and destruction of an ObjectMap happens with the
// interpreter lock held: its values own Python references.
struct StateData {
  ObjectMap data;
  ObjectMap heavy;
  std::shared_ptr<const support::Sender> hub;  // one per lineage
  std::shared_ptr<support::MetaRing> ring;     // one per lineage
  VersionMap key_versions;  // top-level keys of both zones, and "{key}.{sub-key}"
  TextMap signals;          // written by the update that made this version
  std::size_t meta_capacity = 0;
  std::uint64_t version = 0;
};

extern py::TypeCell state_type;

// Whether `o` is a State or an instance of a subclass.
bool is_state(PyObject* o);

// The fields of a State object (the caller has checked is_state). No
// operation ever borrows a State exclusively, so reading them needs no
// borrow of its own; the fields never change after construction.
inline const StateData& state_data(PyObject* self) noexcept { return py::value_of<StateData>(self); }
inline py::BorrowFlag& state_flag(PyObject* self) noexcept { return py::flag_of<StateData>(self); }

// The constructor's routine: a new instance of `type` (State or a subclass)
// from `data` and `heavy` (borrowed; null when not given, each a dict with
// str keys), a `signal` that is accepted and not used, the version and the
// ring's capacity. TypeError for a non-dict zone or a non-str key;
// MemoryError or OverflowError when the ring's room cannot be reserved.
py::Ref new_state(PyTypeObject* type, PyObject* data, PyObject* heavy, PyObject* signal, std::uint64_t version,
                  std::size_t meta_capacity);

// A new object of the class State itself holding `fields`.
py::Ref wrap_state(StateData fields);

// The meta-ring append: one entry stamped with the wall clock.
void append_meta(support::MetaRing& ring, std::string key, std::string message);

// State.update (state_update.cpp), METH_FASTCALL | METH_KEYWORDS.
PyObject* state_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace olvex::state
