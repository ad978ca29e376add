#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/process_table.hpp"
#include "support/shm_segment.hpp"

namespace olvex::support {
namespace {

pid_t reaped_child() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

TEST(ProcSnapshot, ListsLiveProcessesOnly) {
  ProcSnapshot snap;
  auto self = static_cast<std::uint32_t>(::getpid());
  EXPECT_TRUE(std::binary_search(snap.listed().begin(), snap.listed().end(), self));
  EXPECT_TRUE(snap.alive(self));
  EXPECT_TRUE(snap.alive(static_cast<std::uint32_t>(::getppid())));
  EXPECT_FALSE(snap.alive(static_cast<std::uint32_t>(reaped_child())));
  EXPECT_FALSE(snap.alive(0));
  EXPECT_FALSE(snap.alive(2147483648u));  // beyond pid_t: never sent to kill
  EXPECT_FALSE(snap.alive(4294967295u));  // kill(-1, 0) would say yes
}

TEST(ProcSnapshot, AnUnlistableTableLeavesTheAnswerToKill) {
  ProcSnapshot snap("/nonexistent-proc");
  EXPECT_TRUE(snap.listed().empty());
  EXPECT_TRUE(snap.alive(static_cast<std::uint32_t>(::getpid())));
  EXPECT_FALSE(snap.alive(static_cast<std::uint32_t>(reaped_child())));
}

// kill(pid, 0) refused with EPERM: the process exists but belongs to
// another user. A child dropped to uid 65534 asks about its root parent
// with a table that cannot be listed, so kill() alone decides.
TEST(ProcSnapshot, AProcessOfAnotherUserIsAlive) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another uid needs root";
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    ProcSnapshot snap("/nonexistent-proc");
    auto parent = static_cast<std::uint32_t>(::getppid());
    bool refused = ::kill(static_cast<pid_t>(parent), 0) != 0 && errno == EPERM;
    ::_exit(!refused ? 3 : snap.alive(parent) ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: counted dead; 2: no uid drop; 3: kill was not refused";
}

struct NameCase {
  std::string name;
  bool valid;
};

class SegmentName : public ::testing::TestWithParam<NameCase> {};

TEST_P(SegmentName, Checks) { EXPECT_EQ(valid_segment_name(GetParam().name), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(Table, SegmentName,
                         ::testing::Values(NameCase{"seg", true}, NameCase{"/seg", true}, NameCase{"///seg", true},
                                           NameCase{std::string(255, 'a'), true},
                                           NameCase{"/" + std::string(255, 'a'), true},
                                           NameCase{std::string(256, 'a'), false}, NameCase{"", false},
                                           NameCase{"/", false}, NameCase{"a/b", false}, NameCase{"/a/", false},
                                           NameCase{".", false}, NameCase{"/..", false}, NameCase{"...", true},
                                           NameCase{std::string("a\0b", 3), false}));

bool segment_exists(const std::string& name) {
  int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

TEST(UnlinkSegment, RemovesByNameEvenAtSizeZeroAndNeverByPrefix) {
  const std::string name = "/olvex-gtest-" + std::to_string(::getpid());
  int fd = ::shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);  // size 0: it could not be mapped
  EXPECT_FALSE(unlink_segment(name + std::string("\0tail", 5)));
  EXPECT_TRUE(segment_exists(name));
  EXPECT_TRUE(unlink_segment(name));
  EXPECT_FALSE(segment_exists(name));
  EXPECT_FALSE(unlink_segment(name));  // already gone: passed over
}

}  // namespace
}  // namespace olvex::support
