#pragma once
// Transaction: the isolation of one process run. It hands out deep-copied
// shadows of the values a process reads (one per original object; heavy
// values uncopied), records the writes reported to it in its delta log,
// infers deltas from shadows changed in place, and replays the log into
// its pending buffers.
//
// Locks: each record has a mutex of its own, taken in the order shadow cache
// before root shadows and before tracked paths (never those two together),
// root shadows before the delta log. Every section only looks up, stores or
// copies references: Python code (copies, comparisons, replays) runs with
// every record unlocked, on snapshots, and references leave the records to
// be released after the unlock. Re-entry from that code therefore never
// deadlocks, and no thread waits for a record while holding the
// interpreter lock.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py/lock.hpp"
#include "py/native.hpp"
#include "py/types.hpp"
#include "state/outbox_buffer.hpp"
#include "support/flat_map.hpp"
#include "support/zones.hpp"

namespace olvex::engine {

inline constexpr std::uint64_t kDefaultWriteTimeoutMs = 5000;

// One recorded write, operation "SET". A None value is stored as absent;
// an entry without a new value is listed but never replayed.
struct DeltaEntry {
  // An exact str; null for a native report's path, whose (ASCII) text is
  // kept in the log's text buffer at [text_at, text_at + text_size) until
  // a reader asks for the str (DeltaLog::path_of).
  py::Ref path;
  py::Ref new_val;
  py::Ref old_val;  // informational only
  // The number a native report handed out for this entry (DeltaTicket);
  // 0 for entries nobody may withdraw.
  std::uint64_t ticket = 0;
  std::size_t text_at = 0;
  std::size_t text_size = 0;
};

// The entries in log order, and the texts of the native reports' paths in
// one buffer: a process run reports a few writes through proxies, whose
// paths then cost no str each unless something reads them back. The
// buffer's storage is kept with the log's. A withdrawn entry's text stays
// in the buffer as a gap, so the others' offsets never move.
class DeltaLog {
 public:
  using Entries = std::vector<DeltaEntry>;

  Entries::iterator begin() noexcept { return entries_.begin(); }
  Entries::iterator end() noexcept { return entries_.end(); }
  Entries::const_iterator begin() const noexcept { return entries_.begin(); }
  Entries::const_iterator end() const noexcept { return entries_.end(); }
  Entries::reverse_iterator rbegin() noexcept { return entries_.rbegin(); }
  Entries::reverse_iterator rend() noexcept { return entries_.rend(); }
  std::size_t size() const noexcept { return entries_.size(); }
  std::size_t capacity() const noexcept { return entries_.capacity(); }
  std::size_t text_capacity() const noexcept { return texts_.capacity(); }
  void reserve(std::size_t n) { entries_.reserve(n); }
  void push_back(DeltaEntry&& e) {
    make_room();
    entries_.push_back(std::move(e));
  }
  // An entry at the path `text` (ASCII). Strong guarantee.
  void push_text(std::string_view text, py::Ref new_val, py::Ref old_val, std::uint64_t ticket);
  Entries::iterator erase(Entries::iterator it) { return entries_.erase(it); }
  void clear() noexcept {
    entries_.clear();
    texts_.clear();
  }
  void swap(DeltaLog& other) noexcept {
    entries_.swap(other.entries_);
    texts_.swap(other.texts_);
  }

  // The path text of a native report's entry (one without a str).
  std::string_view text_of(const DeltaEntry& e) const noexcept { return {texts_.data() + e.text_at, e.text_size}; }
  // The entry's path as a str: made from its text on the first ask and kept,
  // so every reader gets the one object. Strong guarantee.
  const py::Ref& path_of(DeltaEntry& e);

 private:
  // Room for one more entry; a process logs a few writes, so the first
  // regrowths are spared.
  void make_room() {
    if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.empty() ? 8 : 2 * entries_.size());
  }

  Entries entries_;
  std::string texts_;
};

// Identity of an original -> (its shadow, the original). The entry keeps
// the original alive, so its identity cannot be reused meanwhile.
struct ShadowEntry {
  py::Ref shadow;
  py::Ref original;
};
//
// The cache also knows the objects a deep copy made inside a shadow (its
// parts), each with the original it was copied from, so that a value read
// out of a shadow is recognised as the transaction's copy already. A part
// is kept under its identity with the lowest bit set: no lookup of an
// original can find it, while everything that goes over the whole cache
// (the collector's visit, the release) sees it as any other entry.
using ShadowCache = support::FlatMap<PyObject*, ShadowEntry>;

inline PyObject* part_key(PyObject* part) noexcept {
  return reinterpret_cast<PyObject*>(reinterpret_cast<std::uintptr_t>(part) | 1);
}
// The entry of `part` (shadow: the part, original: what it was copied
// from), or null.
inline ShadowEntry* find_part(ShadowCache& cache, PyObject* part) { return cache.find(part_key(part)); }

// Root text (the path up to its first "." or "[", as Str::bytes) -> the
// first shadow registered under it.
using RootShadows = support::FlatMap<std::string, py::Ref, support::TextHash>;

// Full path text (as Str::bytes) -> the original last shadowed under it, in
// the order each path text was first tracked (a replaced original keeps its
// place).
struct TrackedEntry {
  py::Ref path;  // an exact str
  py::Ref original;
};
using TrackedPaths = support::FlatMap<std::string, TrackedEntry, support::TextHash>;

struct TransactionData {
  TransactionData(py::Ref engine, std::uint64_t write_timeout_ms, py::Ref pending_data, py::Ref pending_heavy,
                  py::Ref pending_signal);
  // Releases the records' entries, then keeps their storage for a later
  // transaction.
  ~TransactionData();
  TransactionData(const TransactionData&) = delete;
  TransactionData& operator=(const TransactionData&) = delete;

  const std::uint64_t write_timeout_ms;
  const py::Ref engine;  // an OlvexEngine
  // Exact dicts and an exact list; the references never change. Guarded by
  // the interpreter lock.
  const py::Ref pending_data;
  const py::Ref pending_heavy;
  const py::Ref pending_signal;
  const state::OutboxRef outbox;
  py::Mutex<DeltaLog> delta_log;
  py::Mutex<ShadowCache> shadow_cache;
  py::Mutex<RootShadows> root_shadows;
  py::Mutex<TrackedPaths> tracked_paths;
  py::Mutex<bool> deltas_inferred;
  // Set by __enter__; the exit road's time check reads it.
  std::optional<std::chrono::steady_clock::time_point> entered_at;
  // The last ticket number handed out; numbers start at 1.
  std::atomic<std::uint64_t> last_ticket{0};
};

extern py::TypeCell transaction_type;

bool is_transaction(PyObject* o);

// A new transaction bound to `engine` (an OlvexEngine) with a fresh outbox
// buffer and empty records.
py::Ref new_transaction(py::Ref engine, std::uint64_t write_timeout_ms);

inline TransactionData& transaction_data(PyObject* tx) noexcept { return py::value_of<TransactionData>(tx); }
inline py::BorrowFlag& transaction_flag(PyObject* tx) noexcept { return py::flag_of<TransactionData>(tx); }

// ---- Native entry points ----------------------------------------------------
// For guards (which hold the transaction exclusively for the call) and the
// exit road. `tx` is a Transaction; each behaves exactly as its Python form
// and takes no borrow of its own.

// The one shadow of `val` for this transaction. `path` is a str or null (no
// path). Fails with the isolation RuntimeError when the copy fails.
py::Ref get_shadow(PyObject* tx, PyObject* val, PyObject* path);

// For a value read out of one of the transaction's shadows (a part): the
// one shadow of the original it was copied from, with no new copy. That is
// the part itself, registered and tracked under `path` just as get_shadow
// of the original would have stored a copy, unless the original has a
// shadow already. Empty when `val` is no part of a shadow, or when `zone`
// (that of `path`, a str) is Heavy: get_shadow then hands the value out as
// it is.
py::Ref shadow_of_part(PyObject* tx, PyObject* val, PyObject* path, support::ContextZone zone);

// What one native log_delta left in a transaction's log: the transaction
// and the entry's number, unique within it. An empty ticket (no
// transaction) stands for a report that went elsewhere and cannot be
// withdrawn.
struct DeltaTicket {
  py::Ref tx;
  std::uint64_t number = 0;
  explicit operator bool() const noexcept { return static_cast<bool>(tx); }
};

// Whether a report to `tx` may go through log_delta() below: `tx` is the
// module's own Transaction and its class's `log_delta` is still the
// original method (a patched one is called by name instead).
bool logs_natively(PyObject* tx);

// The same for get_shadow(): `tx` is the module's own Transaction and its
// class's `get_shadow` is still the original method.
bool shadows_natively(PyObject* tx);

// Transaction.log_delta(path, old_val, new_val) without the binding: takes
// the shared borrow ("Already mutably borrowed"), appends a SET entry
// (None values stored as absent) and returns its ticket. `path` is a str.
DeltaTicket log_delta(PyObject* tx, PyObject* path, PyObject* old_val, PyObject* new_val);
// The same for a path given as text, all ASCII (its str is made only when
// a reader of the log asks for it).
DeltaTicket log_delta(PyObject* tx, std::string_view path, PyObject* old_val, PyObject* new_val);

// Removes the entry `ticket` names, searching from the newest (entries
// logged after it stay in order); nothing when it is empty or the entry is
// gone. The entry is released after the log's mutex is let go, with any
// pending exception kept as it was, so a failed write's exception passes
// on unchanged. A poisoned log is left alone.
void withdraw_delta(const DeltaTicket& ticket) noexcept;

// Records nothing: guards report here, and their writes reach the commit
// only through shadow inference.
inline void log_internal(PyObject* /*tx*/, std::string_view /*path*/, std::string_view /*op*/,
                         PyObject* /*new_val*/, PyObject* /*old_val*/, PyObject* /*obj_ref*/,
                         std::optional<std::string_view> /*key*/) noexcept {}

// Turns in-place changes of tracked shadows into deltas, once per
// transaction.
void infer_shadow_deltas(PyObject* tx);

// Replays the replayable deltas, shortest path first, into the pending
// buffers; the first failure stops it and what was written stays.
void commit(PyObject* tx);

// ---- Method bodies defined in other files ------------------------------------
// commit.cpp
PyObject* tx_flush_outbox(PyObject* self, PyObject*);
PyObject* tx_enter(PyObject* self, PyObject*);
PyObject* tx_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// shadows.cpp
PyObject* tx_get_shadow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tx_is_known_shadow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// inference.cpp
PyObject* tx_infer_shadow_deltas(PyObject* self, PyObject*);
// replay.cpp
PyObject* tx_commit(PyObject* self, PyObject*);
PyObject* tx_build_pending_from_deltas(PyObject* self, PyObject*);
PyObject* tx_get_shadow_updates(PyObject* self, PyObject*);
// The result of build_pending_from_deltas (the pending_data property too).
py::Ref build_pending_from_deltas(PyObject* tx);

}  // namespace olvex::engine
