#include "support/registry_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace olvex::support {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kSelf = 1000;
constexpr std::uint32_t kLive = 2000;
constexpr std::uint32_t kDead = 3000;

const std::string kNothing = "[OlvexCore] Registry GC: No cleanup needed. All records alive?\n";
const std::string kSuccess = "[OlvexCore] Cleanup SUCCESS. File rewritten.\n";
const std::string kWarning = "[OlvexCore] WARNING: PID 99999999 is ALIVE according to sysinfo!\n";

std::string gc(int read, int kept, int dropped) {
  return "[OlvexCore] Registry GC: " + std::to_string(read) + " lines read, " + std::to_string(kept) + " kept (" +
         std::to_string(dropped) + " dropped). Rewriting...\n";
}

// The written form of a record, with its line feed.
std::string L(const std::string& name, std::uint32_t pid, const std::string& session = "s") {
  return record_line({name, pid, session, 8, 0.0});
}

class FakeSnapshot final : public ProcessSnapshot {
 public:
  explicit FakeSnapshot(std::set<std::uint32_t> alive) : alive_(std::move(alive)) {}
  bool alive(std::uint32_t pid) const override { return alive_.count(pid) > 0; }

 private:
  std::set<std::uint32_t> alive_;
};

class FakeTable final : public ProcessTable {
 public:
  std::set<std::uint32_t> alive{kLive, 99999999};
  std::function<void()> on_snapshot;
  int snapshots = 0;
  std::unique_ptr<ProcessSnapshot> snapshot() override {
    ++snapshots;
    if (on_snapshot) on_snapshot();
    return std::make_unique<FakeSnapshot>(alive);
  }
};

class RecordingRemover final : public SegmentRemover {
 public:
  std::vector<std::string> removed;
  void remove(std::string_view name) override { removed.emplace_back(name); }
};

class RecordingHost final : public RegistryHost {
 public:
  std::vector<std::pair<int, std::string>> lines;
  std::function<void()> on_wait;  // called when the lock is found busy
  LockWait wait_for_lock(int fd) override {
    if (on_wait) on_wait();
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) return LockWait::Refused;
    }
    return LockWait::Locked;
  }
  void line(int fd, std::string_view text) override { lines.emplace_back(fd, std::string(text)); }
  std::string on(int fd) const {
    std::string out;
    for (const auto& [f, text] : lines) {
      if (f == fd) out += text;
    }
    return out;
  }
};

class RegistryFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/olvex-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/.olvex_memory_registry.jsonl";
  }
  void TearDown() override { fs::remove_all(dir); }

  void write(const std::string& content) const { std::ofstream(path, std::ios::binary) << content; }
  std::string read() const { return read(path); }
  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  Outcome scan() { return scan_registry(path, kSelf, {table, remover, host}); }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}));
  }

  std::string dir, path;
  FakeTable table;
  RecordingRemover remover;
  RecordingHost host;
};

struct ScanCase {
  const char* label;
  std::string content;
  std::string err;                   // the lines on descriptor 2
  std::optional<std::string> after;  // nullopt: byte for byte unchanged
  std::vector<std::string> removed;
  std::string out = {};              // the lines on descriptor 1
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.label; }

class Scan : public RegistryFile, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(Scan, KeepsLiveDropsDead) {
  const ScanCase& c = GetParam();
  write(c.content);
  EXPECT_EQ(scan(), Outcome::Done);
  EXPECT_EQ(host.on(2), c.err);
  EXPECT_EQ(host.on(1), c.out);
  EXPECT_EQ(read(), c.after.value_or(c.content));
  EXPECT_EQ(remover.removed, c.removed);
  EXPECT_EQ(entries(), 1u) << "no temporary file is left behind";
}

const std::string kLong255(255, 'n');

INSTANTIATE_TEST_SUITE_P(
    Table, Scan,
    ::testing::Values(
        ScanCase{"empty file", "", kNothing, std::nullopt, {}},
        ScanCase{"own and live records, not in written form",
                 " {\"ts\":5,\"size\":1,\"session\":\"a\",\"pid\":1000,\"name\":\"x\",\"extra\":1}\n" + L("y", kLive),
                 kNothing, std::nullopt, {}},
        ScanCase{"dead owner", L("mine", kSelf) + L("gone", kDead) + L("theirs", kLive), gc(3, 2, 1) + kSuccess,
                 L("mine", kSelf) + L("theirs", kLive), {"gone"}},
        ScanCase{"invalid lines among live ones", L("a", kSelf) + "\n" + "{oops\n" + L("b", kLive),
                 gc(4, 2, 0) + kSuccess, L("a", kSelf) + L("b", kLive), {}},
        ScanCase{"survivors rewritten in the written form",
                 "[\"arr\",2000,\"s\",8,0.0]\n{\"z\":[1],\"ts\":0,\"size\":8,\"session\":\"s\",\"pid\":1000,\"name\":\"obj\"}\n"
                 "bad\n",
                 gc(3, 2, 0) + kSuccess, L("arr", kLive) + L("obj", kSelf), {}},
        ScanCase{"the warning pid", L("w", 99999999) + L("d", kDead), gc(2, 1, 1) + kSuccess, L("w", 99999999), {"d"},
                 kWarning},
        ScanCase{"a segment a kept record names stays", L("shared", kDead) + L("shared", kLive) + L("solo", kDead),
                 gc(3, 1, 2) + kSuccess, L("shared", kLive), {"solo"}},
        ScanCase{"one unlink per dead name", L("twice", kDead) + L("twice", kDead + 1), gc(2, 0, 2) + kSuccess, "",
                 {"twice"}},
        ScanCase{"refused names are dropped without an unlink",
                 L("a/b", kDead) + L("..", kDead) + L(".", kDead) + L("", kDead) + L("///", kDead) +
                     L(std::string("x\0y", 3), kDead) + L(kLong255 + "n", kDead) + L("//" + kLong255, kDead) +
                     L("/ok", kDead),
                 gc(9, 0, 9) + kSuccess, "", {"//" + kLong255, "/ok"}},
        ScanCase{"no final line feed", L("a", kSelf) + L("b", kLive).substr(0, L("b", kLive).size() - 1), kNothing,
                 std::nullopt, {}},
        ScanCase{"no final line feed, rewritten", L("d", kDead) + L("a", kSelf).substr(0, L("a", kSelf).size() - 1),
                 gc(2, 1, 1) + kSuccess, L("a", kSelf), {"d"}},
        ScanCase{"CRLF lines", "{\"name\":\"a\",\"pid\":1000,\"session\":\"s\",\"size\":8,\"ts\":0.0}\r\n\r\n",
                 gc(2, 1, 0) + kSuccess, L("a", kSelf), {}},
        ScanCase{"reading stops at invalid UTF-8", L("a", kSelf) + "\xff\xfe\n" + L("d", kDead), kNothing,
                 std::nullopt, {}},
        ScanCase{"the unread remainder is kept byte for byte",
                 L("d", kDead) + L("shared", kDead) + "caf\xC3 \n" + "[\"shared\",2000,\"s\",8,0]\r\n" + "tail",
                 gc(2, 0, 2) + kSuccess, "caf\xC3 \n[\"shared\",2000,\"s\",8,0]\r\ntail", {"d"}},
        ScanCase{"a very long line", L("a", kSelf) + std::string(3 << 20, 'x') + "\n", gc(2, 1, 0) + kSuccess,
                 L("a", kSelf), {}},
        ScanCase{"binary garbage", std::string("\x00\x01\x02\n", 4) + L("a", kSelf), gc(2, 1, 0) + kSuccess,
                 L("a", kSelf), {}}));

TEST_F(RegistryFile, NoFileMeansNothingReadPrintedOrCreated) {
  EXPECT_EQ(scan(), Outcome::Done);
  EXPECT_TRUE(host.lines.empty());
  EXPECT_EQ(table.snapshots, 0) << "the process table is read only once the file is open";
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(RegistryFile, PathsThatAreNotRegularFiles) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(scan(), Outcome::Done);  // returns, does not block on the FIFO
  EXPECT_EQ(append_record(path, {"seg", 1, "s", 2, 0.0}, host), Outcome::Done);
  fs::remove(path);
  fs::create_directory(path);
  EXPECT_EQ(scan(), Outcome::Done);
  EXPECT_EQ(append_record(path, {"seg", 1, "s", 2, 0.0}, host), Outcome::Done);
  EXPECT_EQ(table.snapshots, 0);
  EXPECT_EQ(host.on(2),
            "[OlvexCore] Registry ERROR: Failed to append to reg file: Invalid argument\n"
            "[OlvexCore] Registry ERROR: Failed to append to reg file: Is a directory\n");
}

TEST_F(RegistryFile, AppendCreatesThenAppendsWholeLines) {
  mode_t old = ::umask(022);
  EXPECT_EQ(append_record(path, {"a", 1, "s", 2, 0.0}, host), Outcome::Done);
  ::umask(old);
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644));
  append_record(path, {"b", 1, "s", 2, 0.0}, host);
  EXPECT_EQ(read(), record_line({"a", 1, "s", 2, 0.0}) + record_line({"b", 1, "s", 2, 0.0}));
  // A torn last line gets its line feed before the next record.
  std::ofstream(path, std::ios::app) << "{\"name\":\"torn";
  append_record(path, {"c", 1, "s", 2, 0.0}, host);
  std::string text = read();
  EXPECT_TRUE(text.ends_with("{\"name\":\"torn\n" + record_line({"c", 1, "s", 2, 0.0}))) << text;
  EXPECT_TRUE(host.lines.empty());
}

// Runs fn in a forked child, as uid and gid 65534 when this is root (root
// writes whatever a file's mode says), and returns what fn returned.
std::string as_another_user(const std::function<std::string()>& fn) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "pipe failed";
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    std::string out = fn();
    ::_exit(::write(pipe_fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 3);
  }
  ::close(pipe_fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return out;
}

TEST_F(RegistryFile, AFileTheScannerMayNotWriteIsLeftAsItWas) {
  const std::string content = L("gone", kDead) + L("mine", kSelf);
  write(content);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);  // the directory would let it replace the file
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  std::string err = as_another_user([&] {
    scan();
    return host.on(2);
  });
  EXPECT_EQ(err, gc(2, 1, 1) + "[OlvexCore] Cleanup ERROR: Failed to create reg file: Permission denied\n");
  EXPECT_EQ(read(), content);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(entries(), 1u);
}

TEST_F(RegistryFile, RewriteKeepsTheFileItsOwnerAndItsLinks) {
  write(L("gone", kDead) + L("mine", kSelf));
  ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  }
  const std::string twin = dir + "/twin";
  ASSERT_EQ(::link(path.c_str(), twin.c_str()), 0);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  scan();
  EXPECT_EQ(host.on(2), gc(2, 1, 1) + kSuccess);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(read(twin), L("mine", kSelf));
}

TEST_F(RegistryFile, RewriteKeepsPermissionsAndSymlink) {
  fs::create_directory(dir + "/real");
  const std::string target = dir + "/real/registry";
  std::ofstream(target) << L("gone", kDead) << L("mine", kSelf);
  ::chmod(target.c_str(), 0640);
  fs::create_symlink("real/registry", path);
  scan();
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(read(target), L("mine", kSelf));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/real"), fs::directory_iterator{}), 1);
}

// An append that arrives while a scan holds the lock waits, then writes
// after the rewritten lines: its line survives.
TEST_F(RegistryFile, AppendDuringScanLandsInTheRewrittenFile) {
  write(L("gone", kDead) + L("mine", kSelf));
  std::atomic<bool> waiting{false};
  std::thread appender;
  RecordingHost appender_host;
  appender_host.on_wait = [&] { waiting = true; };
  table.on_snapshot = [&] {
    appender = std::thread([&] { append_record(path, {"late", kLive, "s", 8, 0.0}, appender_host); });
    while (!waiting) std::this_thread::yield();
  };
  scan();
  appender.join();
  EXPECT_EQ(read(), L("mine", kSelf) + L("late", kLive));
  EXPECT_TRUE(appender_host.lines.empty());
}

TEST_F(RegistryFile, AbandonedWaitWritesNothing) {
  write(L("gone", kDead));
  int holder = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  struct Giving final : RegistryHost {
    LockWait wait_for_lock(int) override { return LockWait::Abandoned; }
    void line(int, std::string_view) override { ADD_FAILURE() << "no line expected"; }
  } giving;
  EXPECT_EQ(append_record(path, {"x", 1, "s", 2, 0.0}, giving), Outcome::Abandoned);
  EXPECT_EQ(scan_registry(path, kSelf, {table, remover, giving}), Outcome::Abandoned);
  ::close(holder);
  EXPECT_EQ(read(), L("gone", kDead));
  EXPECT_TRUE(remover.removed.empty());
}

// A file in memory that takes no further change once `budget` bytes were
// written (a truncate counts as one): a crash at that point.
class CrashingFile final : public RewriteTarget {
 public:
  CrashingFile(std::string content, std::size_t budget) : content(std::move(content)), budget_(budget) {}
  int write_at(std::size_t offset, std::string_view bytes) override {
    for (char c : bytes) {
      if (budget_ == 0) return EIO;
      --budget_;
      if (content.size() <= offset) content.resize(offset + 1, '\0');
      content[offset++] = c;
    }
    return 0;
  }
  int truncate(std::size_t size) override {
    if (budget_ == 0) return EIO;
    --budget_;
    content.resize(size, '\0');
    return 0;
  }
  std::string content;

 private:
  std::size_t budget_;
};

// One line of a file to rewrite: its bytes, and what it is written back as
// (nullopt: it goes).
struct Line {
  std::string old;
  std::optional<std::string> becomes;
};

struct CrashCase {
  const char* label;
  std::vector<Line> lines;
};

void PrintTo(const CrashCase& c, std::ostream* os) { *os << c.label; }

Line keep(const std::string& text) { return {text, text}; }
Line drop(const std::string& text) { return {text, std::nullopt}; }

class Rewrite : public ::testing::TestWithParam<CrashCase> {
 protected:
  void SetUp() override {
    for (const Line& l : GetParam().lines) {
      if (l.becomes) {
        pieces.push_back({old.size(), l.old.size(), l.becomes->size()});
        texts.push_back(*l.becomes);
        body += *l.becomes;
      }
      old += l.old;
    }
    steps = plan_rewrite(old, body, pieces);
  }
  std::string old, body;
  std::vector<KeptPiece> pieces;
  std::vector<std::string> texts;  // each piece's new bytes
  std::vector<RewriteStep> steps;
};

std::set<std::string> lines_of(const std::string& content) {
  std::set<std::string> out;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t nl = content.find('\n', pos);
    if (nl == std::string::npos) nl = content.size();
    out.insert(content.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return out;
}

TEST_P(Rewrite, ACrashAtAnyByteLeavesEveryKeptLineWhole) {
  std::size_t total = 0;
  for (const RewriteStep& step : steps) {
    total += step.kind == RewriteStep::Kind::Write ? step.bytes.size() : step.kind == RewriteStep::Kind::Truncate;
  }
  for (std::size_t budget = 0; budget <= total; ++budget) {
    CrashingFile file(old, budget);
    int err = run_rewrite(steps, old.size(), file);
    ASSERT_EQ(err, budget == total ? 0 : EIO);
    std::set<std::string> found = lines_of(file.content);
    // Whole as it is written back, or still as it was read.
    auto whole = [&](std::string text) {
      if (text.ends_with('\n')) text.pop_back();
      return found.count(text) > 0;
    };
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      ASSERT_TRUE(whole(texts[i]) || whole(old.substr(pieces[i].offset, pieces[i].length)))
          << "stopped after " << budget << " of " << total << ", lost: " << texts[i] << "\nfile: " << file.content;
    }
  }
  CrashingFile done(old, total);
  run_rewrite(steps, old.size(), done);
  EXPECT_EQ(done.content, body);
}

// Out of space half-way through the first write: when that write was the
// copy past the end, the copy goes again and the file is as it was.
TEST_P(Rewrite, AFailedFirstWriteLeavesTheFileAsItWas) {
  struct Full final : RewriteTarget {
    std::string content;
    int write_at(std::size_t offset, std::string_view bytes) override {
      bytes = bytes.substr(0, bytes.size() / 2 + 1);
      if (content.size() < offset + bytes.size()) content.resize(offset + bytes.size(), '\0');
      content.replace(offset, bytes.size(), bytes);
      return ENOSPC;
    }
    int truncate(std::size_t size) override {
      content.resize(size);
      return 0;
    }
  } full;
  full.content = old;
  auto first = std::find_if(steps.begin(), steps.end(), [](const RewriteStep& s) { return s.kind == RewriteStep::Kind::Write; });
  EXPECT_EQ(run_rewrite(steps, old.size(), full), first == steps.end() ? 0 : ENOSPC);
  if (first != steps.end() && first->offset >= old.size()) {
    EXPECT_EQ(full.content, old);
  }
}

const std::string kArray = "[\"arr\",2000,\"s\",8,0]\n";

INSTANTIATE_TEST_SUITE_P(
    Table, Rewrite,
    ::testing::Values(
        CrashCase{"a short line goes before longer ones", {drop("x\n"), keep(L("alpha", kLive)), keep(L("beta", kLive)),
                                                          keep(L("gamma", kSelf))}},
        CrashCase{"dead records spread out", {keep(L("k1", kLive)), drop(L("d1", kDead)), keep(L("k2", kLive)),
                                              keep(L("k3", kSelf)), drop(L("d2", kDead)), keep(L("k4", kLive))}},
        CrashCase{"records that grow when written back",
                  {drop("\n"), Line{kArray, L("arr", kLive)}, Line{kArray, L("arr", kLive)}, keep(L("k", kSelf))}},
        CrashCase{"a record that grows at the end", {keep(L("k", kSelf)), Line{kArray, L("arr", kLive)}, drop("x\n")}},
        CrashCase{"a dropped line that ends in the text of a kept one, where that one will go",
                  [] {
                    // Two records grow in front of b, so b moves right onto the copy of its text inside the
                    // junk line; that copy is no line of its own until the line feed before it is written.
                    const std::string b = L("b", kLive);
                    const std::size_t junk = 2 * L("arr", kLive).size() - 2 * kArray.size() - b.size();
                    return std::vector<Line>{Line{kArray, L("arr", kLive)}, Line{kArray, L("arr", kLive)}, keep(b),
                                             drop(std::string(junk, 'j') + b)};
                  }()},
        CrashCase{"records that shrink when written back",
                  {Line{"{ \"name\":\"a\", \"pid\":2000,\"session\":\"s\",\"size\":8,\"ts\":0.0}\r\n", L("a", kLive)},
                   keep(L("b", kLive)), drop("{oops\n"), keep(L("c", kLive))}},
        CrashCase{"the same length, other bytes", {Line{"{\"ts\":0.0,\"size\":8,\"session\":\"s\",\"pid\":2000,\"name\":\"q\"}\n",
                                                      L("q", kLive)}, drop("\n"), keep(L("r", kLive))}},
        CrashCase{"an unread tail without a final line feed",
                  {drop(L("d", kDead)), keep(L("k", kSelf)), keep("caf\xC3 \n"), keep("[\"u\",2000,\"s\",8,0]\r\n"),
                   keep("tail")}},
        CrashCase{"a torn last line as long as the gap before it",
                  {drop(L("d", kDead)), keep("\xff\n"), keep(std::string(L("d", kDead).size(), 't'))}},
        CrashCase{"an unread tail that does not move", {keep(L("k", kSelf)), keep("\xff\n"), keep("tail")}},
        CrashCase{"only the last lines go", {keep(L("k1", kSelf)), keep(L("k2", kLive)), drop(L("d", kDead)), drop("x")}},
        CrashCase{"everything goes", {drop(L("d1", kDead)), drop(L("d2", kDead))}},
        CrashCase{"a repeated line", {drop(L("a", kDead)), keep(L("b", kLive)), keep(L("b", kLive)), keep(L("b", kLive))}}));

TEST(RewritePlan, DroppingTheLastLinesOnlyTruncates) {
  const std::string kept = L("k1", kSelf) + L("k2", kLive);
  std::vector<KeptPiece> pieces{{0, L("k1", kSelf).size(), L("k1", kSelf).size()},
                                {L("k1", kSelf).size(), L("k2", kLive).size(), L("k2", kLive).size()}};
  std::vector<RewriteStep> steps = plan_rewrite(kept + L("d", kDead), kept, pieces);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].kind, RewriteStep::Kind::Truncate);
  EXPECT_EQ(steps[0].offset, kept.size());
}

}  // namespace
}  // namespace olvex::support
