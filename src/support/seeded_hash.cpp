#include "support/seeded_hash.hpp"

#include <random>

namespace olvex::support {

HashSeed HashSeed::random() {
  // The system's random source is slow to ask; each thread asks it once
  // for a secret key and derives every later seed from a counter under it.
  struct Source {
    HashSeed key;
    std::uint64_t counter = 0;
    Source() {
      std::random_device device;
      auto word = [&] { return (static_cast<std::uint64_t>(device()) << 32) | device(); };
      key.k0 = word();
      key.k1 = word();
    }
    std::uint64_t next() {
      std::uint64_t n = counter++;
      return sip_hash<2, 4>(key, std::string_view(reinterpret_cast<const char*>(&n), sizeof n));
    }
  };
  thread_local Source source;
  HashSeed s;
  s.k0 = source.next();
  s.k1 = source.next();
  return s;
}

}  // namespace olvex::support
