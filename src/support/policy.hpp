// Process contracts: the declared inputs and outputs of a process and its
// strict flag, interned once per distinct contract in a process-wide
// registry, and the rules that check an accessed path against them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/zones.hpp"

namespace olvex::support {

// One interned contract. Native text only, so the registry that never frees
// it holds nothing that needs an interpreter.
struct SharedPolicy {
  std::vector<std::string> inputs;   // in the order given, duplicates kept
  std::vector<std::string> outputs;  // likewise
  bool strict_guards = false;

  friend bool operator==(const SharedPolicy&, const SharedPolicy&) = default;
};

// A contract's texts before interning, borrowed from the caller, with one
// hash word per text (inputs, then outputs): a hash the caller already
// holds for it, so interning a known contract need not read every byte
// again. Every key given to one registry takes its words from one function:
// text_hash below, or the host's own cached, per-process keyed string hash.
struct PolicyKey {
  std::span<const std::string_view> inputs;
  std::span<const std::string_view> outputs;
  bool strict_guards = false;
  std::span<const std::uint64_t> text_hashes;
};

// A keyed hash of a text's bytes, the key drawn at random once per process.
std::uint64_t text_hash(std::string_view text) noexcept;

// Exact equality of all three fields, the lists element by element.
bool same_contract(const SharedPolicy& policy, const PolicyKey& key) noexcept;

// Interning: one SharedPolicy per distinct contract, at a stable address,
// kept for the life of the registry. The mutex covers the lookup-or-insert
// alone. Contracts are compared exactly on every hash hit, so equal hashes
// never merge two contracts. The default hash mixes the list lengths, each
// text's hash word and the flag under a key drawn at random once per
// registry, so crafted texts cannot aim at one bucket.
class PolicyRegistry {
 public:
  using Hash = std::function<std::uint64_t(const PolicyKey&)>;

  PolicyRegistry();
  explicit PolicyRegistry(Hash hash);
  PolicyRegistry(const PolicyRegistry&) = delete;
  PolicyRegistry& operator=(const PolicyRegistry&) = delete;

  // The registered policy equal to `key`, registering a copy of it first
  // when there is none. Allocation failure (std::bad_alloc) leaves the
  // registry as it was. A key without one hash word per text is refused
  // (std::invalid_argument).
  const SharedPolicy& intern(const PolicyKey& key);
  std::size_t size() const;

 private:
  Hash hash_;
  mutable std::mutex mutex_;
  // Keyed by the contract's hash; several contracts may share one.
  std::unordered_multimap<std::uint64_t, std::unique_ptr<const SharedPolicy>> entries_;
};

// The process-wide registry: created on first use, never freed (guards may
// be released during interpreter teardown).
PolicyRegistry& POLICY_REGISTRY();

namespace detail {
// Whether the n bytes at a and b are equal. Paths that share a long prefix
// differ near their ends, so the last word is compared first.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n >= 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + n - 8, 8);
    std::memcpy(&y, b + n - 8, 8);
    return x == y && std::memcmp(a, b, n - 8) == 0;
  }
  return std::memcmp(a, b, n) == 0;
}
}  // namespace detail

// Does the accessed `path` match the declared `entry`? Equal texts; the
// entry inside the path (path + "." begins the entry); the path inside the
// entry (entry + "." or entry + "[" begins the path). Exact text, no
// normalisation.
inline bool entry_matches(std::string_view entry, std::string_view path) noexcept {
  if (entry.size() == path.size()) return detail::same_bytes(entry.data(), path.data(), path.size());
  if (entry.size() > path.size()) {
    // The declared path lies inside the accessed one.
    return entry[path.size()] == '.' && detail::same_bytes(entry.data(), path.data(), path.size());
  }
  // The accessed path lies inside the declared one, or is an element of it.
  const char sep = path[entry.size()];
  return (sep == '.' || sep == '[') && detail::same_bytes(entry.data(), path.data(), entry.size());
}

// The contract check: admin passes at once; a write scans the outputs, a
// read the inputs and then the outputs, for the first matching entry.
bool check_permissions(const SharedPolicy& policy, bool is_admin, std::string_view path, bool write) noexcept;

// "Illegal Read: '{path}'" / "Illegal Write: '{path}'".
std::string illegal_access_message(std::string_view path, bool write);

// Strict mode refuses inputs in the control zones: the index of the first
// input in the Signal or Meta zone, if any.
std::optional<std::size_t> first_restricted_input(std::span<const std::string_view> inputs) noexcept;
// "SECURITY VIOLATION: Input '{}' belongs to restricted Control Zone {}."
std::string restricted_input_message(std::string_view input);

// What a guarded attribute write must do, by the zone of the bare name.
enum class WriteRule : std::uint8_t { Transactional, Direct, Refused };
WriteRule write_rule(ContextZone zone, bool is_admin) noexcept;

// "Permission Denied: UPDATE capability required for '{}' (Zone Physics blocked it)."
std::string zone_refusal_message(std::string_view path);
// "Security Violation: Write to '{}' denied (No active transaction)."
std::string no_transaction_message(std::string_view path);

// The capability byte of a proxy that a guard hands out for a value read at
// a path of `zone`: all four bits for an admin guard outside the Constant
// zone, otherwise the zone's mask narrowed to read-only unless the path is
// writable under the contract.
std::uint8_t guard_read_capabilities(ContextZone zone, bool is_admin, bool write_ok) noexcept;

}  // namespace olvex::support
