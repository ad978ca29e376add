#include "support/shm_segment.hpp"

#include <sys/mman.h>

#include <string>

namespace olvex::support {

bool valid_segment_name(std::string_view name) noexcept {
  std::size_t start = name.find_first_not_of('/');
  if (start == std::string_view::npos) return false;
  std::string_view rest = name.substr(start);
  if (rest.size() > 255) return false;
  if (rest.find('/') != std::string_view::npos || rest.find('\0') != std::string_view::npos) return false;
  return rest != "." && rest != "..";
}

bool unlink_segment(std::string_view name) {
  if (!valid_segment_name(name)) return false;
  std::string c_name(name);
  return ::shm_unlink(c_name.c_str()) == 0;
}

}  // namespace olvex::support
