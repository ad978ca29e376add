#pragma once
// A keyed hash of byte strings (SipHash-1-3) for maps whose keys come from
// callers: with a secret random seed per map, crafted keys cannot be made
// to collide, and two maps order the same keys differently.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace olvex::support {

struct HashSeed {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
  // A fresh, unpredictable seed.
  static HashSeed random();
};

namespace sip_detail {

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

inline std::uint64_t load_le(const unsigned char* p, std::size_t n) noexcept {
  std::uint64_t m = 0;
  for (std::size_t i = 0; i < n; ++i) m |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return m;
}

struct Lanes {
  std::uint64_t v0, v1, v2, v3;
  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

}  // namespace sip_detail

// SipHash with C compression and D finalisation rounds.
template <int C, int D>
std::uint64_t sip_hash(const HashSeed& seed, std::string_view bytes) noexcept {
  sip_detail::Lanes s{seed.k0 ^ 0x736f6d6570736575ULL, seed.k1 ^ 0x646f72616e646f6dULL,
                      seed.k0 ^ 0x6c7967656e657261ULL, seed.k1 ^ 0x7465646279746573ULL};
  auto absorb = [&s](std::uint64_t m) {
    s.v3 ^= m;
    for (int i = 0; i < C; ++i) s.round();
    s.v0 ^= m;
  };
  auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  const std::size_t whole = n & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&m, p + i, 8);
    } else {
      m = sip_detail::load_le(p + i, 8);
    }
    absorb(m);
  }
  absorb((static_cast<std::uint64_t>(n) << 56) | sip_detail::load_le(p + whole, n - whole));
  s.v2 ^= 0xff;
  for (int i = 0; i < D; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

inline std::uint64_t siphash13(const HashSeed& seed, std::string_view bytes) noexcept {
  return sip_hash<1, 3>(seed, bytes);
}

// A hasher for unordered containers keyed by text, looked up by string_view.
struct SeededHash {
  HashSeed seed;
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return siphash13(seed, s); }
};

}  // namespace olvex::support
