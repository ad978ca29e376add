#include "support/registry_file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

// Every registry descriptor open in this process, as fd + 1 (0: a free
// slot), so that a forked child can close them: the child must not keep a
// lock that a thread of its parent holds or is waiting for. Lock-free
// atomics only: the child handler runs where no lock may be taken.
constexpr std::size_t kTrackedFds = 256;
std::atomic<int> g_tracked_fds[kTrackedFds];
static_assert(std::atomic<int>::is_always_lock_free);

void close_tracked_in_child() noexcept {
  for (std::atomic<int>& slot : g_tracked_fds) {
    int v = slot.exchange(0, std::memory_order_relaxed);
    if (v > 0) ::close(v - 1);
  }
}

// The slot that holds `fd`, or kTrackedFds when every slot is taken (then
// only the explicit unlock protects it).
std::size_t track(int fd) noexcept {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, close_tracked_in_child) == 0;
  if (!registered) return kTrackedFds;
  for (std::size_t i = 0; i < kTrackedFds; ++i) {
    int expected = 0;
    if (g_tracked_fds[i].compare_exchange_strong(expected, fd + 1, std::memory_order_relaxed)) return i;
  }
  return kTrackedFds;
}

class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd), slot_(track(fd)) {}
  Fd(Fd&& o) noexcept
      : fd_(std::exchange(o.fd_, -1)), slot_(std::exchange(o.slot_, kTrackedFds)),
        locked_(std::exchange(o.locked_, false)) {}
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    std::swap(slot_, o.slot_);
    std::swap(locked_, o.locked_);
    return *this;
  }
  ~Fd() { close(); }
  int get() const noexcept { return fd_; }
  void set_locked() noexcept { locked_ = true; }
  void unlock() noexcept {
    if (std::exchange(locked_, false)) ::flock(fd_, LOCK_UN);
  }
  // Closes now, reporting the error a deferred write may surface here. The
  // lock goes first, explicitly: a child forked before the descriptor was
  // tracked still holds a copy of it, and closing ours would leave the lock
  // to that copy.
  int close() noexcept {
    if (fd_ < 0) return 0;
    unlock();
    if (slot_ < kTrackedFds) g_tracked_fds[std::exchange(slot_, kTrackedFds)].store(0, std::memory_order_relaxed);
    return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
  std::size_t slot_ = kTrackedFds;
  bool locked_ = false;
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
    if (o.locked) o.fd.set_locked();
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

void report_rewrite_failure(RegistryHost& host, int err) {
  host.line(2, fmt::format("[OlvexCore] Cleanup ERROR: Failed to create reg file: {}\n", error_text(err)));
}

class FdTarget final : public RewriteTarget {
 public:
  explicit FdTarget(int fd) : fd_(fd) {}
  int write_at(std::size_t offset, std::string_view bytes) override {
    while (!bytes.empty()) {
      ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) return EIO;
      bytes.remove_prefix(static_cast<std::size_t>(n));
      offset += static_cast<std::size_t>(n);
    }
    return 0;
  }
  int truncate(std::size_t size) override {
    while (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }

 private:
  int fd_;
};

// The pieces of the part of the file the scan did not read: its lines,
// byte for byte.
void add_unread(std::vector<KeptPiece>& pieces, std::string& body, std::string_view data, std::size_t from) {
  body.append(data.substr(from));
  while (from < data.size()) {
    std::size_t nl = data.find('\n', from);
    std::size_t end = nl == std::string_view::npos ? data.size() : nl + 1;
    pieces.push_back({from, end - from, end - from});
    from = end;
  }
}

}  // namespace

std::vector<RewriteStep> plan_rewrite(std::string_view old, std::string body, const std::vector<KeptPiece>& pieces) {
  const std::size_t total = body.size();
  // Bytes before the first difference are already in place.
  const std::size_t same =
      static_cast<std::size_t>(std::mismatch(body.begin(), body.end(), old.begin(), old.end()).first - body.begin());
  // A line is safe when its new place already holds it, after a line feed,
  // or when its new copy ends before its old one starts: the writing, which
  // goes forward, completes the one before it touches the other. Any other
  // line, and a last line without its line feed (which would run on into
  // whatever follows it), is copied first.
  std::string copy;
  std::size_t at = 0;  // the piece's new offset
  for (const KeptPiece& p : pieces) {
    const std::string_view text = std::string_view(body).substr(at, p.size);
    if (text.ends_with('\n')) {
      const bool line_start = at == 0 || (at <= old.size() && old[at - 1] == '\n');
      const bool in_place = line_start && old.substr(std::min(at, old.size()), p.size) == text;
      if (!in_place && at + p.size > p.offset) copy += text;
    } else {
      copy += text;
      copy += '\n';
    }
    at += p.size;
  }
  // No sync between the steps: what the order must survive is a process
  // killed part-way, which leaves the page cache as far as it wrote. A power
  // cut empties /dev/shm too, and with it every segment a record could name.
  // The caller syncs once, after dropping the lock.
  std::vector<RewriteStep> steps;
  using Kind = RewriteStep::Kind;
  std::size_t size = old.size();
  if (!copy.empty()) {
    // Past both the old end and the new one, so neither the old lines nor
    // the compaction touch it; on a line of its own.
    const std::size_t where = std::max(old.size(), total);
    if (where != old.size() || !(old.empty() || old.ends_with('\n'))) copy.insert(copy.begin(), '\n');
    size = where + copy.size();
    steps.push_back({Kind::Write, where, std::move(copy)});
  }
  if (same < total) {
    size = std::max(size, total);
    body.erase(0, same);
    steps.push_back({Kind::Write, same, std::move(body)});
  }
  if (size != total) steps.push_back({Kind::Truncate, total, {}});
  return steps;
}

int run_rewrite(const std::vector<RewriteStep>& steps, std::size_t old_size, RewriteTarget& target) {
  bool touched = false;  // a byte of the old file overwritten
  for (const RewriteStep& step : steps) {
    int err = 0;
    switch (step.kind) {
      case RewriteStep::Kind::Write:
        touched = touched || step.offset < old_size;
        err = target.write_at(step.offset, step.bytes);
        break;
      case RewriteStep::Kind::Truncate:
        touched = touched || step.offset < old_size;
        err = target.truncate(step.offset);
        break;
    }
    if (err != 0) {
      if (!touched) (void)target.truncate(old_size);
      return err;
    }
  }
  return 0;
}

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
  // Written in place as the file's own permissions allow; a file this
  // process may only read is still scanned, and then left as it is.
  int write_error = 0;
  Opened o = open_locked(path, O_RDWR, s.host);
  if (o.status == Opened::OpenFailed) {
    write_error = o.error;
    o = open_locked(path, O_RDONLY, s.host);
  }
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
  std::vector<std::pair<std::size_t, std::size_t>> kept_at;  // offset and length as read
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
      kept_at.emplace_back(start, pos - start);
    } else if (alive(r->pid)) {
      if (r->pid == kWarnPid) s.host.line(1, kAliveWarning);
      kept.push_back(std::move(*r));
      kept_at.emplace_back(start, pos - start);
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
  if (write_error != 0) {
    report_rewrite_failure(s.host, write_error);
    return Outcome::Done;
  }
  std::vector<KeptPiece> pieces;
  pieces.reserve(kept.size());
  std::string body;
  body.reserve(data.size() + data.size() / 8);
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const std::size_t before = body.size();
    append_record_line(body, kept[i]);
    pieces.push_back({kept_at[i].first, kept_at[i].second, body.size() - before});
  }
  add_unread(pieces, body, data, remainder);
  FdTarget target(o.fd.get());
  int err = run_rewrite(plan_rewrite(data, std::move(body), pieces), data.size(), target);
  // The sync waits for the disk: without the lock, so that peers need not
  // (an appender that found the lock busy would otherwise be likely to find
  // it busy again, behind a scanner's next scan).
  o.fd.unlock();
  if (err == 0 && ::fsync(o.fd.get()) != 0) err = errno;
  if (err != 0) {
    report_rewrite_failure(s.host, err);
  } else {
    s.host.line(2, kRewritten);
  }
  return Outcome::Done;
}

}  // namespace olvex::support
