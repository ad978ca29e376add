// The replaced operator new below pairs malloc with free; GCC sees the
// inlined free of memory from `new` and warns about a mismatch that is not one.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "support/policy.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Allocation can be made to fail after a countdown, to show that a failed
// insert leaves the registry unchanged. Only this binary is affected.
namespace {
long g_allocations_left = -1;  // -1: never fail
}  // namespace

void* operator new(std::size_t n) {
  if (g_allocations_left == 0) throw std::bad_alloc();
  if (g_allocations_left > 0) --g_allocations_left;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace olvex::support {
namespace {

using Texts = std::vector<std::string_view>;

struct Contract {
  Contract(Texts in = {}, Texts out = {}, bool strict_guards = false)
      : inputs(std::move(in)), outputs(std::move(out)), strict(strict_guards) {}

  Texts inputs;
  Texts outputs;
  bool strict;
  mutable std::vector<std::uint64_t> words;
  // The key, with each text's hash word (valid while the contract lives).
  PolicyKey key() const {
    words.clear();
    for (std::string_view t : inputs) words.push_back(text_hash(t));
    for (std::string_view t : outputs) words.push_back(text_hash(t));
    return {inputs, outputs, strict, words};
  }
};

// ---- the contract check ---------------------------------------------------

struct CheckCase {
  const char* name;
  Contract contract;
  const char* path;
  bool write;
  bool admin;
  bool allowed;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name << " '" << c.path << "'"; }

class Check : public ::testing::TestWithParam<CheckCase> {};

TEST_P(Check, Table) {
  const auto& c = GetParam();
  PolicyRegistry registry;
  const SharedPolicy& policy = registry.intern(c.contract.key());
  EXPECT_EQ(check_permissions(policy, c.admin, c.path, c.write), c.allowed);
}

constexpr bool R = false, W = true;
const Contract kUser{{}, {"domain.user"}};
const Contract kItem{{"items[0]"}, {}};
const Contract kAB{{"a.b"}, {}};
const Contract kDeep{{"a.bc.d"}, {}};
const Contract kSplit{{"in"}, {"out"}};

INSTANTIATE_TEST_SUITE_P(
    Paths, Check,
    ::testing::Values(
        // One output: the path itself, what lies inside it, and what holds it.
        CheckCase{"output", kUser, "domain", W, false, true},
        CheckCase{"output", kUser, "domain.user", W, false, true},
        CheckCase{"output", kUser, "domain.user.name", W, false, true},
        CheckCase{"output", kUser, "domain.user[0]", W, false, true},
        CheckCase{"output", kUser, "domain.users", W, false, false},
        CheckCase{"output", kUser, "domain.use", W, false, false},
        // An element entry: no rule matches the list that holds it.
        CheckCase{"element", kItem, "items[0]", R, false, true},
        CheckCase{"element", kItem, "items[0].x", R, false, true},
        CheckCase{"element", kItem, "items[0][1]", R, false, true},
        CheckCase{"element", kItem, "items", R, false, false},
        CheckCase{"element", kItem, "items[00]", R, false, false},
        // The separator is tested, not just the prefix.
        CheckCase{"a.b", kAB, "a.b", R, false, true},
        CheckCase{"a.b", kAB, "a.b.c", R, false, true},
        CheckCase{"a.b", kAB, "a.b[0]", R, false, true},
        CheckCase{"a.b", kAB, "a", R, false, true},
        CheckCase{"a.b", kAB, "a.bc", R, false, false},
        CheckCase{"a.b", kAB, "a.b_c", R, false, false},
        CheckCase{"a.b", kAB, "a.b]", R, false, false},
        CheckCase{"a.b", kAB, "a.", R, false, false},
        CheckCase{"a.bc.d", kDeep, "a.b", R, false, false},
        CheckCase{"a.bc.d", kDeep, "a.bc", R, false, true},
        CheckCase{"dotted", Contract{{"a."}, {}}, "a", R, false, true},
        CheckCase{"dotted", Contract{{"a"}, {}}, "a.", R, false, true},
        CheckCase{"dotted", Contract{{"a"}, {}}, "a[", R, false, true},
        CheckCase{"dotted", Contract{{"a[0]"}, {}}, "a", R, false, false},
        // Exact text: no case, quote or blank normalisation.
        CheckCase{"exact", kAB, "A.b", R, false, false},
        CheckCase{"exact", Contract{{"a['b']"}, {}}, "a[\"b\"]", R, false, false},
        CheckCase{"exact", Contract{{"a['b']"}, {}}, "a['b'].c", R, false, true},
        CheckCase{"exact", Contract{{"\xc3\xa9t\xc3\xa9"}, {}}, "\xc3\xa9t\xc3\xa9.x", R, false, true},
        // Empty texts.
        CheckCase{"empty entry", Contract{{""}, {}}, "", R, false, true},
        CheckCase{"empty entry", Contract{{""}, {}}, ".x", R, false, true},
        CheckCase{"empty entry", Contract{{""}, {}}, "[0]", R, false, true},
        CheckCase{"empty entry", Contract{{""}, {}}, "x", R, false, false},
        CheckCase{"empty path", Contract{{"x"}, {}}, "", R, false, false},
        CheckCase{"no entries", Contract{}, "", R, false, false},
        // The lists each access scans; admin passes everything.
        CheckCase{"lists", kSplit, "in", R, false, true},
        CheckCase{"lists", kSplit, "out", R, false, true},
        CheckCase{"lists", kSplit, "in", W, false, false},
        CheckCase{"lists", kSplit, "out", W, false, true},
        CheckCase{"lists", kSplit, "in", W, true, true},
        CheckCase{"admin", Contract{}, "anything.at[all]", W, true, true},
        CheckCase{"admin", Contract{}, "const_x", R, true, true},
        // The first match wins wherever it is.
        CheckCase{"last", Contract{{"x.a", "x.b", "x.c"}, {"y.a", "y.b"}}, "y.b.q", R, false, true}));

TEST(Check, Messages) {
  EXPECT_EQ(illegal_access_message("domain.x", true), "Illegal Write: 'domain.x'");
  EXPECT_EQ(illegal_access_message("", false), "Illegal Read: ''");
}

// ---- interning ----------------------------------------------------------------

struct InternCase {
  const char* name;
  Contract a;
  Contract b;
  bool same;
};

void PrintTo(const InternCase& c, std::ostream* os) { *os << c.name; }

class Intern : public ::testing::TestWithParam<InternCase> {};

TEST_P(Intern, Equality) {
  const auto& c = GetParam();
  PolicyRegistry registry;
  const SharedPolicy& a = registry.intern(c.a.key());
  const SharedPolicy& b = registry.intern(c.b.key());
  EXPECT_EQ(&a == &b, c.same);
  EXPECT_EQ(a == b, c.same);
  EXPECT_EQ(registry.size(), c.same ? 1u : 2u);
  EXPECT_EQ(&registry.intern(c.a.key()), &a);  // a stable address
}

// The same contracts again with every hash colliding: equal hashes never
// merge two contracts.
TEST_P(Intern, EqualityWhenHashesCollide) {
  const auto& c = GetParam();
  PolicyRegistry registry([](const PolicyKey&) -> std::uint64_t { return 7; });
  const SharedPolicy& a = registry.intern(c.a.key());
  EXPECT_EQ(&a == &registry.intern(c.b.key()), c.same);
  EXPECT_EQ(&registry.intern(c.a.key()), &a);
}

INSTANTIATE_TEST_SUITE_P(
    Contracts, Intern,
    ::testing::Values(
        InternCase{"equal", {{"a", "b"}, {"c"}}, {{"a", "b"}, {"c"}}, true},
        InternCase{"order", {{"a", "b"}, {}}, {{"b", "a"}, {}}, false},
        InternCase{"duplicates", {{"a", "a"}, {}}, {{"a"}, {}}, false},
        InternCase{"flag", {{"a"}, {}, false}, {{"a"}, {}, true}, false},
        InternCase{"boundary", {{"a", "b"}, {}}, {{"a"}, {"b"}}, false},
        InternCase{"sides", {{}, {"a"}}, {{"a"}, {}}, false},
        InternCase{"joined", {{"ab"}, {}}, {{"a", "b"}, {}}, false},
        InternCase{"split", {{"a", "bc"}, {}}, {{"ab", "c"}, {}}, false},
        InternCase{"empty text", {{""}, {}}, {{}, {}}, false},
        InternCase{"nul", {{std::string_view("a\0b", 3)}, {}}, {{"a"}, {}}, false},
        InternCase{"empty", {}, {}, true}));

TEST(Intern, KeepsTextsAndFlag) {
  PolicyRegistry registry;
  std::string in = "domain.orders.item.a-text-long-enough-for-the-heap";
  const SharedPolicy& p = registry.intern(Contract{{in, "x"}, {"y"}, true}.key());
  in.assign(in.size(), '?');  // the policy holds its own copies
  EXPECT_EQ(p.inputs, (std::vector<std::string>{"domain.orders.item.a-text-long-enough-for-the-heap", "x"}));
  EXPECT_EQ(p.outputs, std::vector<std::string>{"y"});
  EXPECT_TRUE(p.strict_guards);
}

TEST(Intern, FailedAllocationLeavesTheRegistryAsItWas) {
  const std::string long_text(64, 'n');
  for (long budget = 0;; ++budget) {
    PolicyRegistry registry;
    const SharedPolicy& old = registry.intern(Contract{{"old"}, {}}.key());
    Contract fresh{{long_text, long_text}, {long_text}};
    const PolicyKey key = fresh.key();
    bool failed = false;
    g_allocations_left = budget;
    try {
      registry.intern(key);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    g_allocations_left = -1;
    if (!failed) {
      EXPECT_EQ(registry.size(), 2u);
      ASSERT_GT(budget, 2) << "the new contract was interned without allocating";
      break;
    }
    EXPECT_EQ(registry.size(), 1u) << "after a failure at allocation " << budget;
    EXPECT_EQ(&registry.intern(Contract{{"old"}, {}}.key()), &old);
    const SharedPolicy& later = registry.intern(fresh.key());
    EXPECT_EQ(&registry.intern(fresh.key()), &later);
    EXPECT_EQ(registry.size(), 2u);
  }
}

TEST(Intern, EveryTextNeedsItsHashWord) {
  PolicyRegistry registry;
  Contract c{{"a", "b"}, {"c"}};
  PolicyKey key = c.key();
  key.text_hashes = key.text_hashes.first(2);
  EXPECT_THROW(registry.intern(key), std::invalid_argument);
  EXPECT_EQ(registry.size(), 0u);
}

// Equal hash words for different texts only share a bucket.
TEST(Intern, TextsWithEqualHashWordsStayApart) {
  PolicyRegistry registry;
  const std::vector<std::string_view> a{"a"}, b{"b"};
  const std::vector<std::uint64_t> zero{0};
  const SharedPolicy& pa = registry.intern({a, {}, false, zero});
  const SharedPolicy& pb = registry.intern({b, {}, false, zero});
  EXPECT_NE(&pa, &pb);
  EXPECT_EQ(pb.inputs, std::vector<std::string>{"b"});
}

TEST(Intern, TextHashIsStableAndTellsTextsApart) {
  EXPECT_EQ(text_hash("domain.x"), text_hash(std::string("domain.") + "x"));
  EXPECT_NE(text_hash("domain.x"), text_hash("domain.y"));
  EXPECT_NE(text_hash(""), text_hash(std::string_view("\0", 1)));
}

TEST(Intern, ProcessRegistryIsOne) { EXPECT_EQ(&POLICY_REGISTRY(), &POLICY_REGISTRY()); }

// ---- strict mode and write rules ------------------------------------------------

TEST(Strict, FirstControlZoneInput) {
  EXPECT_EQ(first_restricted_input(Texts{"domain.x", "sig_x", "meta"}), 1u);
  EXPECT_EQ(first_restricted_input(Texts{"domain.meta.x"}), 0u);
  EXPECT_EQ(first_restricted_input(Texts{"heavy", "log", "const_x", "internal_x", "metadata"}), std::nullopt);
  EXPECT_EQ(restricted_input_message("sig_x"), "SECURITY VIOLATION: Input 'sig_x' belongs to restricted Control Zone Signal.");
  EXPECT_EQ(restricted_input_message("a.meta"), "SECURITY VIOLATION: Input 'a.meta' belongs to restricted Control Zone Meta.");
}

}  // namespace
}  // namespace olvex::support
