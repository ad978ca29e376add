#pragma once
// State: the immutable, versioned snapshot of the context. Its zones live in
// persistent maps, so a new version shares everything it does not change
// with its parent; the signal hub and the meta-log ring are shared by the
// whole lineage.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "py/native.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "support/broadcast.hpp"
#include "support/hamt.hpp"
#include "support/meta_ring.hpp"

namespace olvex::state {

// Every State map is copied, updated and dropped with the interpreter lock
// held (one for the process: the module shares it with every interpreter),
// so its node counts need no atomic operations and its freed nodes can be
// kept for the next version's.
template <class Value>
using StateMap = support::PersistentMap<std::string, Value, std::hash<std::string>, std::equal_to<std::string>,
                                        support::ProcessSerialCount>;
// Key path "{key}.{sub-key}" -> the version that last wrote it.
using VersionMap = StateMap<std::uint64_t>;
// Signal name -> text.
using TextMap = StateMap<std::string>;

// One entry of a zone: the key as an exact str (the caller's own object
// when it is one, so a read hands out the str whose hash is cached instead
// of making a new one), the caller's object, held by reference, and the
// version that last wrote the key.
struct ZoneEntry {
  py::Ref key;
  py::Ref value;
  std::uint64_t version = 0;
};

// A zone finds its entries by the UTF-8 text of the key, hashed as a
// std::string of it would be. The text is read from the str itself: for
// one that is not ASCII, the UTF-8 copy that the str caches once the key
// has been converted on its way in, so this never fails.
struct ZoneKey {
  static std::string_view key(const ZoneEntry& e) noexcept {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(e.key.get(), &n);
    return {text, static_cast<std::size_t>(n)};
  }
};

// Text key -> entry. Every copy, update and destruction happens with the
// interpreter lock held: its entries own Python references.
using Zone = support::PersistentTrie<ZoneEntry, ZoneKey, std::hash<std::string_view>,
                                     std::equal_to<std::string_view>, support::ProcessSerialCount>;

// The exact str stored for a str key whose UTF-8 text is `text` (already
// read from it, so the str holds its UTF-8 form): the key itself, or a
// plain str of its text, its UTF-8 form made, for a str subclass.
py::Ref plain_key(PyObject* key, std::string_view text);

struct StateData;

// For each key path, the version that last wrote it: a top-level key of
// either zone (the two share their paths, without a prefix) or
// "{key}.{sub-key}". One text can name a key of both zones and a sub-key
// path at once; the newest of their versions is the one written last, as
// every write stamps a version newer than any its State holds.
class KeyVersions {
 public:
  explicit KeyVersions(const StateData& s) noexcept : s_(s) {}
  const std::uint64_t* find(const std::string& path) const;
  bool empty() const noexcept;

 private:
  const StateData& s_;
};

struct StateData {
  Zone data;
  Zone heavy;
  std::shared_ptr<const support::Sender> hub;  // one per lineage
  std::shared_ptr<support::MetaRing> ring;     // one per lineage
  VersionMap sub_versions;  // the "{key}.{sub-key}" paths; top-level keys are in the zones' entries
  TextMap signals;          // written by the update that made this version
  std::size_t meta_capacity = 0;
  std::uint64_t version = 0;

  KeyVersions key_versions() const noexcept { return KeyVersions(*this); }
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
py::Ref wrap_state(StateData&& fields);

// The meta-ring append: one entry stamped with the wall clock.
void append_meta(support::MetaRing& ring, std::string key, std::string message);

// One of the two well-known data roots, with the hash its zone files it
// under, computed once: a process run reads its root every time.
struct RootKey {
  std::string_view text;
  std::size_t hash;
};
const RootKey& domain_root();
const RootKey& global_root();

// A read-only view on one of the two well-known data roots of `s` (None
// when the root is absent): the read bit alone and no transaction, so the
// thread's current transaction is left alone. Defined beside the proxies
// (access/root_proxy.cpp), a layer above this one, as are the roots.
py::Ref root_proxy(const StateData& s, const RootKey& root, bool read_only);

// State.update (state_update.cpp), METH_FASTCALL | METH_KEYWORDS.
PyObject* state_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace olvex::state
