#pragma once
// Internals shared by the files that implement ContextGuard: the value each
// instance carries, its layout, the path and contract helpers, and the slot
// bodies that the type's table in guard.cpp refers to.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "access/proxy_impl.hpp"
#include "py/native.hpp"
#include "state/outbox_buffer.hpp"
#include "support/policy.hpp"

namespace olvex::access {

struct GuardData {
  GuardData(py::Ref target, const support::SharedPolicy* policy, std::string path_prefix, py::Ref tx, bool is_admin)
      : target(std::move(target)),
        policy(policy),
        path_prefix(std::move(path_prefix)),
        tx(std::move(tx)),
        is_admin(is_admin) {}

  py::Ref target;                       // never null: the collector's clear puts None in its place
  const support::SharedPolicy* policy;  // interned: lives as long as the process
  std::string path_prefix;
  py::Ref tx;   // a Transaction, or empty
  py::Ref log;  // empty until assigned
  bool is_admin;
};

// The instance layout: the native part, then the slot of the instance dict
// (the type's __dictoffset__).
struct GuardObject {
  py::Native<GuardData> native;
  PyObject* dict;
};

inline GuardData& guard_data(PyObject* self) noexcept { return py::value_of<GuardData>(self); }
inline py::BorrowFlag& guard_flag(PyObject* self) noexcept { return py::flag_of<GuardData>(self); }

// Every call into a target, a value or a transaction's copy goes through
// the forwarding-depth guard the proxies use: one counter for mixed chains.
inline constexpr const char* kGuardForwardWhere = " while calling through a ContextGuard";

// getattr(target, name) within the forwarding bound. An AttributeError
// that a lookup cut off by the bound left behind becomes RecursionError.
py::Ref target_attr(PyObject* target, PyObject* name);

// How often the `outbox` property has asked a target on this thread.
inline thread_local unsigned long t_outbox_forwards = 0;

// A new guard of the base class, as reads build their children.
py::Ref make_guard(PyObject* target, const support::SharedPolicy* policy, std::string path_prefix, PyObject* tx,
                   bool is_admin);

// The value of an integer key: one that operator.index turns into a signed
// 64-bit value. Any other key (a failed or overflowing conversion included,
// whose error is dropped) gives nothing.
std::optional<long long> integer_key(PyObject* key);

// "{prefix}[{i}]", also at the root.
std::string_view index_path(PathBuffer& out, std::string_view prefix, long long i);

// The contract check; a refusal raises PermissionError "Illegal {}: '{}'".
void require(const GuardData& g, std::string_view path, bool write);

// Slot bodies: reads (guard_reads.cpp) and writes (guard_writes.cpp).
PyObject* guard_getitem(PyObject* self, PyObject* key);
int guard_contains(PyObject* self, PyObject* key);
PyObject* guard_iter(PyObject* self);
PyObject* guard_getattro(PyObject* self, PyObject* name);
int guard_setattro(PyObject* self, PyObject* name, PyObject* value);
int guard_setitem(PyObject* self, PyObject* key, PyObject* value);

}  // namespace olvex::access
