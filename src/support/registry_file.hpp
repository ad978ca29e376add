#pragma once
// The allocation registry file: appending a record and the zombie scan.
//
// Every append and every scan holds flock(LOCK_EX) on the file itself for
// all of its file work, and checks after locking that the path still names
// the locked file (a rewrite renames a new file over it). A scan rewrites
// through a temporary file in the same directory that it renames over the
// file, so a reader never sees a half-written registry and an appender
// waiting for the lock ends up writing to the new file.
#include <cstdint>
#include <string>
#include <string_view>

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
// when the file is absent, not a regular file, unreadable or not lockable.
Outcome scan_registry(const std::string& path, std::uint32_t self_pid, const ScanServices& services);

}  // namespace olvex::support
