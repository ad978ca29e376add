#include "support/policy.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>

#include "support/capabilities.hpp"

namespace olvex::support {

namespace {

// SipHash-1-3 over whole 64-bit words: a keyed hash, so bucket positions
// cannot be predicted without the key.
class SipHasher {
 public:
  SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept
      : v0_(k0 ^ 0x736f6d6570736575ULL),
        v1_(k1 ^ 0x646f72616e646f6dULL),
        v2_(k0 ^ 0x6c7967656e657261ULL),
        v3_(k1 ^ 0x7465646279746573ULL) {}

  void word(std::uint64_t m) noexcept {
    v3_ ^= m;
    round();
    v0_ ^= m;
    ++words_;
  }

  // The length, then the bytes zero-padded to whole words: the length makes
  // the padding unambiguous, and every text starts on a word.
  void text(std::string_view s) noexcept {
    word(s.size());
    const char* p = s.data();
    std::size_t n = s.size();
    for (; n >= 8; p += 8, n -= 8) {
      std::uint64_t m;
      std::memcpy(&m, p, 8);
      word(m);
    }
    if (n == 0) return;
    std::uint64_t m = 0;
    if (s.size() >= 8) {
      // The last word of the text, shifted down to the bytes not yet fed.
      std::memcpy(&m, p + n - 8, 8);
      m >>= 8 * (8 - n);
    } else {
      for (std::size_t i = 0; i < n; ++i) m |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    word(m);
  }

  std::uint64_t finish() noexcept {
    const std::uint64_t last = (words_ * 8 & 0xff) << 56;
    v3_ ^= last;
    round();
    v0_ ^= last;
    v2_ ^= 0xff;
    round();
    round();
    round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  void round() noexcept {
    v0_ += v1_;
    v1_ = std::rotl(v1_, 13) ^ v0_;
    v0_ = std::rotl(v0_, 32);
    v2_ += v3_;
    v3_ = std::rotl(v3_, 16) ^ v2_;
    v0_ += v3_;
    v3_ = std::rotl(v3_, 21) ^ v0_;
    v2_ += v1_;
    v1_ = std::rotl(v1_, 17) ^ v2_;
    v2_ = std::rotl(v2_, 32);
  }

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t words_ = 0;
};

std::uint64_t random_word() {
  try {
    std::random_device rd;
    return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  } catch (...) {
    // No entropy source: the clock still varies from process to process.
    return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
           0x9e3779b97f4a7c15ULL;
  }
}

struct Key {
  std::uint64_t k0 = random_word();
  std::uint64_t k1 = random_word();
};

// Each list with its length and each text with its hash word, so no two
// contracts feed the same words ([a, b] is not [ab], nor inputs [a] with
// outputs [b]).
PolicyRegistry::Hash seeded_hash() {
  return [key = Key()](const PolicyKey& contract) {
    SipHasher h(key.k0, key.k1);
    const std::uint64_t* word = contract.text_hashes.data();
    for (auto list : {contract.inputs, contract.outputs}) {
      h.word(list.size());
      for (std::size_t i = 0; i < list.size(); ++i) h.word(*word++);
    }
    h.word(contract.strict_guards ? 1 : 0);
    return h.finish();
  };
}

bool same_texts(const std::vector<std::string>& a, std::span<const std::string_view> b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::vector<std::string> copied(std::span<const std::string_view> texts) {
  return std::vector<std::string>(texts.begin(), texts.end());
}

}  // namespace

std::uint64_t text_hash(std::string_view text) noexcept {
  static const Key key;
  SipHasher h(key.k0, key.k1);
  h.text(text);
  return h.finish();
}

bool same_contract(const SharedPolicy& policy, const PolicyKey& key) noexcept {
  return policy.strict_guards == key.strict_guards && same_texts(policy.inputs, key.inputs) &&
         same_texts(policy.outputs, key.outputs);
}

PolicyRegistry::PolicyRegistry() : PolicyRegistry(seeded_hash()) {}

PolicyRegistry::PolicyRegistry(Hash hash) : hash_(std::move(hash)) {}

const SharedPolicy& PolicyRegistry::intern(const PolicyKey& key) {
  if (key.text_hashes.size() != key.inputs.size() + key.outputs.size()) {
    throw std::invalid_argument("a contract key needs one hash word per text");
  }
  const std::uint64_t h = hash_(key);
  std::lock_guard lock(mutex_);
  auto [first, last] = entries_.equal_range(h);
  for (auto it = first; it != last; ++it) {
    if (same_contract(*it->second, key)) return *it->second;
  }
  // A single insert into a node-based map either completes or changes
  // nothing, so an allocation failure here leaves the table as it was.
  auto policy = std::make_unique<const SharedPolicy>(
      SharedPolicy{copied(key.inputs), copied(key.outputs), key.strict_guards});
  const SharedPolicy& out = *policy;
  entries_.emplace(h, std::move(policy));
  return out;
}

std::size_t PolicyRegistry::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

PolicyRegistry& POLICY_REGISTRY() {
  static PolicyRegistry* registry = new PolicyRegistry();
  return *registry;
}

bool check_permissions(const SharedPolicy& policy, bool is_admin, std::string_view path, bool write) noexcept {
  if (is_admin) return true;
  auto any = [path](const std::vector<std::string>& entries) {
    return std::any_of(entries.begin(), entries.end(), [path](const std::string& e) { return entry_matches(e, path); });
  };
  if (!write && any(policy.inputs)) return true;
  return any(policy.outputs);
}

std::string illegal_access_message(std::string_view path, bool write) {
  return fmt::format("Illegal {}: '{}'", write ? "Write" : "Read", path);
}

std::optional<std::size_t> first_restricted_input(std::span<const std::string_view> inputs) noexcept {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    ContextZone z = resolve_zone(inputs[i]);
    if (z == ContextZone::Signal || z == ContextZone::Meta) return i;
  }
  return std::nullopt;
}

std::string restricted_input_message(std::string_view input) {
  return fmt::format("SECURITY VIOLATION: Input '{}' belongs to restricted Control Zone {}.", input,
                     zone_name(resolve_zone(input)));
}

WriteRule write_rule(ContextZone zone, bool is_admin) noexcept {
  switch (zone) {
    case ContextZone::Data:
    case ContextZone::Meta:
      return WriteRule::Transactional;
    case ContextZone::Heavy:
      return WriteRule::Direct;
    case ContextZone::Signal:
    case ContextZone::Log:
    case ContextZone::Private:
      return is_admin ? WriteRule::Transactional : WriteRule::Refused;
    case ContextZone::Constant:
      break;
  }
  return WriteRule::Refused;
}

std::string zone_refusal_message(std::string_view path) {
  return fmt::format("Permission Denied: UPDATE capability required for '{}' (Zone Physics blocked it).", path);
}

std::string no_transaction_message(std::string_view path) {
  return fmt::format("Security Violation: Write to '{}' denied (No active transaction).", path);
}

std::uint8_t guard_read_capabilities(ContextZone zone, bool is_admin, bool write_ok) noexcept {
  if (is_admin && zone != ContextZone::Constant) return DEFAULT_CAPABILITIES;
  return static_cast<std::uint8_t>((write_ok ? DEFAULT_CAPABILITIES : READ) & zone_mask(zone));
}

}  // namespace olvex::support
