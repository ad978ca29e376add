#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

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
