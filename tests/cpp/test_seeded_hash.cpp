#include "support/seeded_hash.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace olvex::support;

namespace {
// The reference key 00 01 .. 0f.
constexpr HashSeed kReference{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};

std::string counting(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
  return s;
}
}  // namespace

// The published SipHash-2-4 answers check the rounds, the padding and the
// byte order that SipHash-1-3 shares with it.
TEST(SipHash, MatchesTheReferenceAnswers) {
  EXPECT_EQ((sip_hash<2, 4>(kReference, "")), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ((sip_hash<2, 4>(kReference, counting(15))), 0xa129ca6149be45e5ULL);
}

TEST(SipHash, EveryByteAndTheLengthCount) {
  std::set<std::uint64_t> seen;
  for (std::size_t n = 0; n <= 24; ++n) seen.insert(siphash13(kReference, counting(n)));
  seen.insert(siphash13(kReference, std::string("\0\0", 2)));  // not "\0\1"
  seen.insert(siphash13(kReference, std::string(8, '\0')));    // not 00 01 .. 07
  EXPECT_EQ(seen.size(), 27u);
}

TEST(SipHash, SeedsDiffer) {
  HashSeed a = HashSeed::random(), b = HashSeed::random();
  EXPECT_FALSE(a.k0 == b.k0 && a.k1 == b.k1);
  EXPECT_NE(siphash13(a, "key"), siphash13(b, "key"));
  EXPECT_EQ(siphash13(a, "key"), siphash13(a, std::string_view("key")));
}
