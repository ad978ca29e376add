#include "support/meta_ring.hpp"

#include <chrono>

namespace olvex::support {

double wall_clock_seconds() {
  using namespace std::chrono;
  auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  if (ns < 0) return 0.0;
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

}  // namespace olvex::support
