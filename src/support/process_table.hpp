#pragma once
// Which processes exist: one listing of the process table, asked about ids.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace olvex::support {

class ProcessSnapshot {
 public:
  virtual ~ProcessSnapshot() = default;
  virtual bool alive(std::uint32_t pid) const = 0;
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // One snapshot, taken now.
  virtual std::unique_ptr<ProcessSnapshot> snapshot() = 0;
};

// The numeric entries of /proc, read once. An id the listing lacks is asked
// again with kill(id, 0), which sees processes /proc hides and answers when
// /proc cannot be listed: only ESRCH makes it absent. 0 and ids beyond the
// positive pid_t range are never sent to kill and are absent.
class ProcSnapshot final : public ProcessSnapshot {
 public:
  explicit ProcSnapshot(const std::string& proc_dir = "/proc");
  bool alive(std::uint32_t pid) const override;
  const std::vector<std::uint32_t>& listed() const noexcept { return pids_; }

 private:
  std::vector<std::uint32_t> pids_;  // sorted
};

class ProcProcessTable final : public ProcessTable {
 public:
  std::unique_ptr<ProcessSnapshot> snapshot() override { return std::make_unique<ProcSnapshot>(); }
};

}  // namespace olvex::support
