#pragma once
// The allocation registry file: appending a record and the zombie scan.
//
// Every append and every scan holds flock(LOCK_EX) on the file itself for
// all of its file work, and checks after locking that the path still names
// the locked file (someone may have moved another file over it). A scan
// rewrites the file in place, as far as the file's own permissions let it,
// so its owner, mode and links stay and an appender waiting for the lock
// writes to the same file. The lock is dropped explicitly before a
// descriptor is closed, and a forked child closes the descriptors it
// inherited, so no child of a fork ever holds the lock.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/alloc_record.hpp"
#include "support/process_table.hpp"
#include "support/shm_segment.hpp"

namespace olvex::support {

enum class LockWait { Locked, Refused, Abandoned };

// What the caller's environment does around the file work.
class RegistryHost {
 public:
  virtual ~RegistryHost() = default;
  // The lock is busy: wait for flock(fd, LOCK_EX). Locked when it was taken,
  // Refused when the file system refuses it, Abandoned to give up the call
  // with nothing written.
  virtual LockWait wait_for_lock(int fd) = 0;
  // One diagnostic line, for descriptor 1 or 2.
  virtual void line(int fd, std::string_view text) = 0;
};

struct ScanServices {
  ProcessTable& processes;
  SegmentRemover& segments;
  RegistryHost& host;
};

enum class Outcome { Done, Abandoned };

// Appends the record's line, creating the file (0666 before the umask) when
// absent. A line always starts a line: after a torn last line a line feed
// goes first. A failed append is reported on descriptor 2.
Outcome append_record(const std::string& path, const AllocRecord& record, RegistryHost& host);

// The zombie scan: records of processes that no longer exist lose their
// segment (unless a kept record names it too) and their line; invalid lines
// go too. Records of `self_pid` and of live processes stay. Nothing happens
// when the file is absent, not a regular file, unreadable or not lockable;
// a file this process may read but not write is scanned and left as it is.
Outcome scan_registry(const std::string& path, std::uint32_t self_pid, const ScanServices& services);

// The in-place rewrite. A kept piece is one line that must survive: where
// it lies in the file as read, and the size of the bytes it is written back
// as; those bytes are the piece's part of the new content, in order (its
// line feed included; the file's last line may lack one).
struct KeptPiece {
  std::size_t offset = 0;
  std::size_t length = 0;
  std::size_t size = 0;
};

struct RewriteStep {
  enum class Kind { Write, Truncate };
  Kind kind = Kind::Write;
  std::size_t offset = 0;  // Write: where the bytes go; Truncate: the new size
  std::string bytes;       // Write
};

// The steps that turn `old`, the whole file as read, into `body`, the
// pieces' new bytes one after the other. Whatever step or byte the writing stops at, every piece is
// whole on a line of its own somewhere in the file, as it was read or as it
// is written back: a piece that the compaction would overwrite before its
// new copy is complete is first copied past the end of the file.
std::vector<RewriteStep> plan_rewrite(std::string_view old, std::string body, const std::vector<KeptPiece>& pieces);

class RewriteTarget {
 public:
  virtual ~RewriteTarget() = default;
  // Each returns 0 or an errno value.
  virtual int write_at(std::size_t offset, std::string_view bytes) = 0;
  virtual int truncate(std::size_t size) = 0;
};

// Runs the steps in order up to the first failure and returns its errno, or
// 0. When the failure comes before any byte of the old file was
// overwritten, the file is cut back to `old_size`.
int run_rewrite(const std::vector<RewriteStep>& steps, std::size_t old_size, RewriteTarget& target);

}  // namespace olvex::support
