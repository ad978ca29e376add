#pragma once
// Diagnostic lines go straight to a file descriptor: one write(2) a line,
// bypassing sys.stdout/sys.stderr and stdio buffers.
#include <string_view>

namespace olvex::py {

// Writes the bytes with as few write(2) calls as the kernel allows; a closed
// or failing descriptor drops the line silently.
void write_raw(int fd, std::string_view bytes) noexcept;

}  // namespace olvex::py
