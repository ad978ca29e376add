#pragma once
// One record of the shared-memory allocation registry and its JSON-lines
// form: a compact writer and a strict reader of one line.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace olvex::support {

struct AllocRecord {
  std::string name;  // segment name, as given to shm_open/shm_unlink
  std::uint32_t pid = 0;
  std::string session;
  std::uint64_t size = 0;
  double ts = 0.0;

  bool operator==(const AllocRecord&) const = default;
};

// Appends the record as one compact JSON object, keys in field order, texts
// with the standard escapes, then a line feed:
// {"name":"seg_a","pid":42,"session":"s1","size":64,"ts":0.0}
void append_record_line(std::string& out, const AllocRecord& record);
std::string record_line(const AllocRecord& record);

// Reads one line (without its line feed). Valid is, with JSON whitespace
// around it and nothing else: an object holding the five keys in any order
// (other keys ignored, no top-level key twice), or an array of exactly the
// five values in field order. pid must be an integer in 0..2**32-1, size one
// in 0..2**64-1, ts any finite number; name and session strings.
std::optional<AllocRecord> parse_record(std::string_view line);

// Well-formed UTF-8: no overlong forms, surrogates or code points above
// U+10FFFF.
bool valid_utf8(std::string_view bytes) noexcept;

}  // namespace olvex::support
