#pragma once
// Internals shared by the files that implement SupervisorProxy: the value
// each instance carries, the path builders, and the slot and method bodies
// that the type's tables in proxy.cpp refer to. A file adding behaviour
// declares its bodies here and adds their rows to those tables.
#include <cxxabi.h>
#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "engine/transaction.hpp"
#include "py/native.hpp"
#include "py/recursion.hpp"
#include "support/zone_path.hpp"

namespace olvex::access {

struct ProxyData {
  ProxyData(py::Ref target, support::ZonePath path, bool read_only, bool has_transaction, bool is_shadow,
            std::uint8_t capabilities)
      : target(std::move(target)),
        path(std::move(path)),
        read_only(read_only),
        has_transaction(has_transaction),
        is_shadow(is_shadow),
        capabilities(capabilities) {}

  py::Ref target;  // never null: the collector's clear puts None in its place
  // Shares its parent's text: a child costs its own step, whatever the depth.
  support::ZonePath path;
  bool read_only;
  bool has_transaction;
  bool is_shadow;
  std::uint8_t capabilities;
};

// Forwarding to a target can recurse without a Python frame in between (a
// proxy over a proxy over ..., a guard over a proxy over a guard). The
// interpreter's C recursion limit allows more levels than a thread's stack
// holds for these frames in some builds, so nesting through the module's
// wrappers has a bound of its own: one counter per thread for every read,
// write, method and protocol that calls into a wrapped object.
inline constexpr int kMaxForwardDepth = 1000;
inline thread_local int t_forward_depth = 0;
// How often the bound was hit on this thread. Attribute reads count any
// failure of the target's lookup as a missing attribute, so a caller that
// probes attributes compares this to tell a cut-off lookup from an absent one.
inline thread_local unsigned t_forward_overflows = 0;
inline constexpr const char* kForwardDepthMessage =
    "maximum recursion depth exceeded while reading through a SupervisorProxy";
inline constexpr const char* kProxyForwardWhere = " while reading through a SupervisorProxy";

class ForwardGuard {
 public:
  ForwardGuard() : ForwardGuard(kProxyForwardWhere) {}
  // `where` completes the RecursionError's "maximum recursion depth exceeded".
  explicit ForwardGuard(const char* where) : count_(where), scope_(where) {}
  ForwardGuard(const ForwardGuard&) = delete;
  ForwardGuard& operator=(const ForwardGuard&) = delete;

 private:
  // The module's own bound is tested first; members are built in order and
  // a failure of the second unwinds the first.
  struct Count {
    explicit Count(const char* where) {
      if (t_forward_depth >= kMaxForwardDepth) {
        ++t_forward_overflows;
        py::raise(PyExc_RecursionError, fmt::format("maximum recursion depth exceeded{}", where));
      }
      ++t_forward_depth;
    }
    ~Count() { --t_forward_depth; }
  } count_;
  py::RecursionScope scope_;
};

inline ProxyData& proxy_data(PyObject* self) noexcept { return py::value_of<ProxyData>(self); }
inline py::BorrowFlag& proxy_flag(PyObject* self) noexcept { return py::flag_of<ProxyData>(self); }

// Child paths are built on the stack: every read needs one for its
// capability test, and most never become a child.
using PathBuffer = fmt::basic_memory_buffer<char, 200>;

inline void append(PathBuffer& out, std::string_view s) { out.append(s.data(), s.data() + s.size()); }

// "{path}[{key}]", or the bare key at the root.
inline std::string_view item_path(PathBuffer& out, std::string_view path, std::string_view key) {
  out.clear();
  if (path.empty()) {
    append(out, key);
  } else {
    append(out, path);
    out.push_back('[');
    append(out, key);
    out.push_back(']');
  }
  return {out.data(), out.size()};
}

// "{path}.{name}", or the bare name at the root.
inline std::string_view attr_path(PathBuffer& out, std::string_view path, std::string_view name) {
  out.clear();
  if (path.empty()) {
    append(out, name);
  } else {
    append(out, path);
    out.push_back('.');
    append(out, name);
  }
  return {out.data(), out.size()};
}

// The path `path` makes, or the very same path made a moment ago: proxies
// over the same roots and children come and go with every process run, and
// the paths of the last few are kept, so making one again allocates and
// classifies nothing. A path is a value whose node any number of proxies
// share. Guarded by the interpreter lock; kept for the process.
support::ZonePath kept_path(const support::ChildPath& path);
// The same, with the path's text as an exact str in `text`: the one str
// made for a kept path while it stays in the table.
support::ZonePath kept_path(const support::ChildPath& path, py::Ref& text);
// The same for a path given whole.
support::ZonePath whole_path(std::string_view text);

// The UTF-8 text of str(o), kept alive by `owner` (empty for an exact str,
// which is its own text). Exceptions of str() propagate.
struct Text {
  py::Ref owner;
  std::string_view view;
};
Text text_of(PyObject* o);

// Wraps a value read by get/items/values/setdefault at the attribute-style
// path built from `key_or_path`: dicts and objects with __dict__ become
// children with the proxy's own byte, a plain list comes back bare (the
// current transaction's shadow of it when there is one). The caller holds a
// shared borrow of `self`.
py::Ref wrap_result(PyObject* self, std::string_view key_or_path, PyObject* val);

// The current transaction's shadow of `val` at `path` (an exact str), as
// `tx.get_shadow(val, path)` answers it: a new reference, or null with the
// error set. The module's own Transaction, while its class's get_shadow is
// still the one it was made with, is asked natively, with the same outcome;
// anything else is called by name.
PyObject* shadow_for_read(PyObject* tx, PyObject* val, PyObject* path);

// Raises `type` with `message`. Messages carry paths, names and keys as
// given, NUL included, so they are set through a str object rather than a C
// string.
[[noreturn]] void raise_text(PyObject* type, std::string_view message);

// ---- The delta report (proxy_writes.cpp) -------------------------------------
// How a write through a proxy reaches the transaction current at the call,
// shared by assignment and the container methods.

enum class ReportForm {
  Silent,  // ordinary failures of the report are dropped
  Loud,    // ... are announced on descriptor 2 and printed on sys.stderr
};

// Reports one write: `log_delta` of `tx` (the current transaction, not
// null), looked up by name and called with the three positional arguments
// (path, old value, new value; a null old value is passed as None), its
// result dropped. The module's own Transaction, while its class's
// log_delta is the original one, is logged natively instead, with the same
// outcome, and the ticket of its entry comes back; every other report gives
// an empty ticket (a duck-typed transaction keeps what it recorded).
//
// The operation goes on whatever happens to an ordinary failure of the
// report. Silent form: the failure is dropped. Loud form: the line "ERROR:
// Transaction object missing log_delta!" (the lookup failed) or "ERROR:
// log_delta failed!" (the call failed), with its newline, goes to
// descriptor 2 in one write, and the exception with its traceback is
// printed on sys.stderr (directly, not through sys.excepthook) and cleared;
// a closed descriptor or a broken sys.stderr drops the line or the print.
// Any other exception (KeyboardInterrupt, SystemExit, the panic exception)
// propagates unprinted, and the caller then stops before its write.
//
// `path` is an exact str.
engine::DeltaTicket report_delta(PyObject* tx, PyObject* path, PyObject* old_val, PyObject* new_val,
                                 ReportForm form);
// The same for a path given as UTF-8 text: an ASCII one is logged natively
// without a str, any other is made into its str first.
engine::DeltaTicket report_delta(PyObject* tx, std::string_view path, PyObject* old_val, PyObject* new_val,
                                 ReportForm form);

// Runs `write` (the operation's change to its target). When it fails, the
// entry the report left (`ticket`, possibly empty) is withdrawn from its
// transaction, the one that got it even when the thread's current
// transaction changed since, and the write's exception passes on unchanged.
template <class Write>
void write_or_withdraw(const engine::DeltaTicket& ticket, Write&& write) {
  try {
    write();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    engine::withdraw_delta(ticket);
    throw;
  }
}

// Writes (proxy_writes.cpp).
int proxy_setattro(PyObject* self, PyObject* name, PyObject* value);
int proxy_ass_subscript(PyObject* self, PyObject* key, PyObject* value);

// Reads (proxy_reads.cpp).
PyObject* proxy_getitem(PyObject* self, PyObject* key);
PyObject* proxy_getattro(PyObject* self, PyObject* name);
PyObject* proxy_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proxy_keys(PyObject* self, PyObject*);
PyObject* proxy_values(PyObject* self, PyObject*);
PyObject* proxy_items(PyObject* self, PyObject*);
PyObject* proxy_wrap_result(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Container methods (proxy_methods.cpp).
PyObject* proxy_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proxy_extend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proxy_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proxy_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proxy_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proxy_reverse(PyObject* self, PyObject*);
PyObject* proxy_clear_method(PyObject* self, PyObject*);
PyObject* proxy_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proxy_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proxy_popitem(PyObject* self, PyObject*);
PyObject* proxy_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Protocols, to_dict and pickling (proxy_protocols.cpp).
PyObject* proxy_repr(PyObject* self);
PyObject* proxy_richcompare(PyObject* self, PyObject* other, int op);
Py_ssize_t proxy_length(PyObject* self);
int proxy_contains(PyObject* self, PyObject* key);
PyObject* proxy_iter(PyObject* self);
PyObject* proxy_to_dict(PyObject* self, PyObject*);
PyObject* get_proxy_dict(PyObject* self, void*);
PyObject* proxy_getstate(PyObject* self, PyObject*);
PyObject* proxy_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proxy_getnewargs(PyObject* self, PyObject*);

}  // namespace olvex::access
