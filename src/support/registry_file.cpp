#include "support/registry_file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace olvex::support {

namespace {

constexpr std::string_view kAliveWarning = "[OlvexCore] WARNING: PID 99999999 is ALIVE according to sysinfo!\n";
constexpr std::string_view kNothingToDo = "[OlvexCore] Registry GC: No cleanup needed. All records alive?\n";
constexpr std::string_view kRewritten = "[OlvexCore] Cleanup SUCCESS. File rewritten.\n";
constexpr std::uint32_t kWarnPid = 99999999;

std::string error_text(int err) {
  char buf[256];
  return std::string(::strerror_r(err, buf, sizeof buf));
}

class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  // Closes now, reporting the error a deferred write may surface here.
  int close() noexcept { return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno; }

 private:
  int fd_ = -1;
};

int write_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

struct Opened {
  enum Status { Ok, OpenFailed, NotRegular, Abandoned } status = Ok;
  int error = 0;  // for OpenFailed
  Fd fd;
  bool locked = false;
  struct stat st {};  // after locking
};

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens the path (never blocking, whatever it names) and takes the lock:
// first without waiting, then through the host. When the path no longer
// names the locked file, starts again with the file it names now.
Opened open_locked(const std::string& path, int flags, RegistryHost& host) {
  for (;;) {
    Opened o;
    int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
      o.status = Opened::OpenFailed;
      o.error = errno;
      return o;
    }
    o.fd = Fd(fd);
    auto regular = [&] {
      if (::fstat(fd, &o.st) != 0) {
        o.status = Opened::OpenFailed;
        o.error = errno;
      } else if (!S_ISREG(o.st.st_mode)) {
        o.status = Opened::NotRegular;
      }
      return o.status == Opened::Ok;
    };
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      o.locked = true;
    } else if (errno == EWOULDBLOCK) {
      if (!regular()) return o;  // never wait on what is no registry
      switch (host.wait_for_lock(fd)) {
        case LockWait::Locked: o.locked = true; break;
        case LockWait::Refused: break;
        case LockWait::Abandoned: o.status = Opened::Abandoned; return o;
      }
    }
    // The size and identity of the file as locked.
    if (!regular() || !o.locked) return o;
    struct stat now {};
    if (::stat(path.c_str(), &now) == 0 && same_file(now, o.st)) return o;
  }
}

// The whole file, or the errno of a failed read.
int read_file(int fd, std::string& data, std::size_t size_hint) {
  data.reserve(size_hint + 1);
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.append(buf, static_cast<std::size_t>(n));
  }
}

// Splits off the next line: a line feed ends it and a carriage return just
// before that line feed is removed; the last line may lack its line feed.
bool next_line(std::string_view data, std::size_t& pos, std::string_view& line) {
  if (pos >= data.size()) return false;
  std::size_t nl = data.find('\n', pos);
  if (nl == std::string_view::npos) {
    line = data.substr(pos);
    pos = data.size();
  } else {
    line = data.substr(pos, nl - pos);
    if (line.ends_with('\r')) line.remove_suffix(1);
    pos = nl + 1;
  }
  return true;
}

struct Counts {
  std::int64_t lines_read = 0;
  std::int64_t kept = 0;
  std::int64_t dropped = 0;
};

std::atomic<unsigned> g_temp_counter{0};

void report_rewrite_failure(RegistryHost& host, int err) {
  host.line(2, fmt::format("[OlvexCore] Cleanup ERROR: Failed to create reg file: {}\n", error_text(err)));
}

// Writes `body` to a new file beside the registry's target and renames it
// over the target; on any failure the new file goes and the registry stays.
void rewrite(const std::string& path, const struct stat& registry, std::string_view body, RegistryHost& host) {
  std::string target = path;
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    // The symlink stays; the file it resolves to is replaced.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return report_rewrite_failure(host, errno);
    target = resolved;
    std::free(resolved);
  }
  const mode_t mode = registry.st_mode & 0777;
  std::string temp;
  Fd out;
  for (;;) {
    temp = fmt::format("{}.{}.{}.tmp", target, ::getpid(), g_temp_counter.fetch_add(1));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      out = Fd(fd);
      break;
    }
    if (errno != EEXIST) return report_rewrite_failure(host, errno);
  }
  (void)::fchmod(out.get(), mode);  // the umask may have narrowed it
  int err = write_all(out.get(), body);
  if (err == 0 && ::fsync(out.get()) != 0) err = errno;
  if (int close_err = out.close(); err == 0) err = close_err;
  if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    return report_rewrite_failure(host, err);
  }
  host.line(2, kRewritten);
}

}  // namespace

Outcome append_record(const std::string& path, const AllocRecord& record, RegistryHost& host) {
  std::string text = record_line(record);
  // Read access lets the last byte be checked; a write-only file still
  // takes the line.
  Opened o = open_locked(path, O_RDWR | O_APPEND | O_CREAT, host);
  if (o.status == Opened::OpenFailed && o.error == EACCES) o = open_locked(path, O_WRONLY | O_APPEND | O_CREAT, host);
  int err = 0;
  switch (o.status) {
    case Opened::Abandoned: return Outcome::Abandoned;
    case Opened::OpenFailed: err = o.error; break;
    case Opened::NotRegular: err = EINVAL; break;
    case Opened::Ok: {
      char last = '\n';
      if (o.st.st_size > 0 && ::pread(o.fd.get(), &last, 1, o.st.st_size - 1) == 1 && last != '\n') {
        text.insert(text.begin(), '\n');
      }
      err = write_all(o.fd.get(), text);
      if (int close_err = o.fd.close(); err == 0) err = close_err;
      break;
    }
  }
  if (err != 0) {
    host.line(2, fmt::format("[OlvexCore] Registry ERROR: Failed to append to reg file: {}\n", error_text(err)));
  }
  return Outcome::Done;
}

Outcome scan_registry(const std::string& path, std::uint32_t self_pid, const ScanServices& s) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Outcome::Done;
  Opened o = open_locked(path, O_RDONLY, s.host);
  if (o.status == Opened::Abandoned) return Outcome::Abandoned;
  // Without the lock a rewrite could lose a peer's lines: do nothing.
  if (o.status != Opened::Ok || !o.locked) return Outcome::Done;
  // Taken under the lock, so every record read predates it: a process that
  // has just logged is never taken for dead.
  std::unique_ptr<ProcessSnapshot> snapshot = s.processes.snapshot();

  std::string data;
  // After a read error the unread part may name the same segments as live
  // records: nothing is unlinked or rewritten.
  if (read_file(o.fd.get(), data, static_cast<std::size_t>(o.st.st_size)) != 0) return Outcome::Done;

  Counts counts;
  std::vector<AllocRecord> kept;
  std::vector<std::string> dead;
  std::size_t pos = 0;
  std::size_t remainder = data.size();  // where reading stopped
  std::string_view line;
  // One answer per id: a dead owner of many records costs one kill().
  std::unordered_map<std::uint32_t, bool> liveness;
  auto alive = [&](std::uint32_t pid) {
    auto [it, fresh] = liveness.try_emplace(pid, false);
    if (fresh) it->second = snapshot->alive(pid);
    return it->second;
  };
  for (std::size_t start = pos; next_line(data, pos, line); start = pos) {
    if (!valid_utf8(line)) {
      remainder = start;
      break;
    }
    ++counts.lines_read;
    std::optional<AllocRecord> r = parse_record(line);
    if (!r) continue;
    if (r->pid == self_pid) {
      kept.push_back(std::move(*r));
    } else if (alive(r->pid)) {
      if (r->pid == kWarnPid) s.host.line(1, kAliveWarning);
      kept.push_back(std::move(*r));
    } else {
      ++counts.dropped;
      dead.push_back(std::move(r->name));
    }
  }
  counts.kept = static_cast<std::int64_t>(kept.size());
  std::string_view rest = std::string_view(data).substr(remainder);

  // A segment that a kept record names stays, whoever logged it first. The
  // unread remainder is kept too, so its records protect their names.
  std::unordered_set<std::string_view> doomed;
  for (const std::string& name : dead) {
    if (valid_segment_name(name)) doomed.insert(name);
  }
  if (!doomed.empty()) {
    for (const AllocRecord& r : kept) doomed.erase(r.name);
    for (std::size_t p = 0; next_line(rest, p, line);) {
      if (!valid_utf8(line)) continue;
      if (std::optional<AllocRecord> r = parse_record(line)) doomed.erase(r->name);
    }
  }
  for (const std::string& name : dead) {
    if (doomed.erase(name)) s.segments.remove(name);  // once per name, in file order
  }

  if (counts.dropped == 0 && counts.kept == counts.lines_read) {
    s.host.line(2, kNothingToDo);
    return Outcome::Done;
  }
  s.host.line(2, fmt::format("[OlvexCore] Registry GC: {} lines read, {} kept ({} dropped). Rewriting...\n",
                             counts.lines_read, counts.kept, counts.dropped));
  std::string body;
  body.reserve(data.size());
  for (const AllocRecord& r : kept) append_record_line(body, r);
  body.append(rest);
  rewrite(path, o.st, body, s.host);
  return Outcome::Done;
}

}  // namespace olvex::support
