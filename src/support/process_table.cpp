#include "support/process_table.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <string_view>

namespace olvex::support {

namespace {
constexpr std::uint32_t kMaxPid = static_cast<std::uint32_t>(std::numeric_limits<pid_t>::max());
}

ProcSnapshot::ProcSnapshot(const std::string& proc_dir) {
  DIR* dir = ::opendir(proc_dir.c_str());
  if (!dir) return;  // kill() decides alone
  while (const dirent* e = ::readdir(dir)) {
    std::string_view name(e->d_name);
    if (name.empty() || name.front() < '1' || name.front() > '9') continue;
    std::uint32_t pid = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec == std::errc() && end == name.data() + name.size() && pid <= kMaxPid) pids_.push_back(pid);
  }
  ::closedir(dir);
  std::sort(pids_.begin(), pids_.end());
}

bool ProcSnapshot::alive(std::uint32_t pid) const {
  if (std::binary_search(pids_.begin(), pids_.end(), pid)) return true;
  if (pid == 0 || pid > kMaxPid) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace olvex::support
