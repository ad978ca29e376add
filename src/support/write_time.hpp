// The write time limit of a transaction: the time since it was entered, in
// whole milliseconds (the sub-millisecond rest truncated), against the
// limit. Only a strictly greater figure fails, so an exit at exactly the
// limit commits, and with a limit of 0 an exit within the first millisecond
// still does.
#pragma once

#include <chrono>
#include <cstdint>

namespace olvex::support {

struct WriteTime {
  std::uint64_t elapsed_ms;
  bool exceeded;
};

constexpr WriteTime check_write_time(std::chrono::nanoseconds elapsed, std::uint64_t limit_ms) noexcept {
  // A monotonic clock never goes back; a negative span counts as none.
  std::int64_t ns = elapsed.count() < 0 ? 0 : elapsed.count();
  auto ms = static_cast<std::uint64_t>(ns / 1'000'000);
  return {ms, ms > limit_ms};
}

}  // namespace olvex::support
