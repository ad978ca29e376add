#include "py/output.hpp"

#include <cerrno>
#include <unistd.h>

namespace olvex::py {

void write_raw(int fd, std::string_view bytes) noexcept {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace olvex::py
