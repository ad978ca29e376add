#include "support/registry_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

TEST_F(RegistryFile, RewriteFailureLeavesTheRegistryAsItWas) {
  // A name so long that the temporary name beside it cannot exist.
  path = dir + "/" + std::string(250, 'r');
  const std::string content = L("gone", kDead) + L("mine", kSelf);
  write(content);
  scan();
  EXPECT_EQ(host.on(2), gc(2, 1, 1) + "[OlvexCore] Cleanup ERROR: Failed to create reg file: File name too long\n");
  EXPECT_EQ(read(), content);
  EXPECT_EQ(entries(), 1u);
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

// An append that arrives while a scan holds the lock waits, then finds the
// path renamed over and writes to the new file: its line survives.
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

}  // namespace
}  // namespace olvex::support
