#pragma once
// Removing POSIX shared-memory segments by name. Names come from the
// registry file and from callers, so they are checked before they reach
// shm_unlink: one bad byte must not name another segment.
#include <string_view>

namespace olvex::support {

// After its leading slashes: 1 to 255 bytes, no "/" and no NUL, not "." or "..".
bool valid_segment_name(std::string_view name) noexcept;

// shm_unlink of a valid name (no open, fstat or map, so a size-0 segment, or
// one that may be unlinked but not opened, goes too). Returns whether it was
// unlinked; a refused name or a failure is passed over.
bool unlink_segment(std::string_view name);

class SegmentRemover {
 public:
  virtual ~SegmentRemover() = default;
  virtual void remove(std::string_view name) = 0;
};

class ShmUnlinker final : public SegmentRemover {
 public:
  void remove(std::string_view name) override { unlink_segment(name); }
};

}  // namespace olvex::support
