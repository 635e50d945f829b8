// Descriptor owners: each descriptor is closed exactly once, by its last
// owner, and a pipe that cannot be made leaves nothing open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "support/UniqueFd.h"

namespace {

using kvpool::Pipe;
using kvpool::UniqueFd;

bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFdTest, ClosesItsDescriptorWhenItGoesAndNotAfterRelease) {
  int closed = -1;
  int released = -1;
  {
    UniqueFd owner(::dup(STDERR_FILENO));
    ASSERT_TRUE(owner.valid());
    closed = owner.get();
    UniqueFd other(::dup(STDERR_FILENO));
    released = other.release();
    EXPECT_FALSE(other.valid());
  }
  EXPECT_FALSE(isOpen(closed));
  EXPECT_TRUE(isOpen(released));
  ::close(released);
}

TEST(UniqueFdTest, MovingHandsTheDescriptorOverAndAssignmentClosesTheOldOne) {
  UniqueFd first(::dup(STDERR_FILENO));
  const int moved = first.get();
  UniqueFd second(std::move(first));
  EXPECT_FALSE(first.valid());
  EXPECT_EQ(second.get(), moved);

  UniqueFd third(::dup(STDERR_FILENO));
  const int replaced = third.get();
  third = std::move(second);
  EXPECT_FALSE(isOpen(replaced));
  EXPECT_EQ(third.get(), moved);
  EXPECT_TRUE(isOpen(moved));
  EXPECT_TRUE(third.close());
  EXPECT_FALSE(isOpen(moved));
  EXPECT_TRUE(third.close()) << "closing an empty owner is no failure";
}

TEST(PipeTest, EndsCarryDataAndAFailedOpenLeavesBothEndsEmptyWithItsReason) {
  Pipe pipe;
  ASSERT_TRUE(pipe.open());
  ASSERT_EQ(::write(pipe.writeEnd.get(), "x", 1), 1);
  char byte = 0;
  ASSERT_EQ(::read(pipe.readEnd.get(), &byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  const int oldRead = pipe.readEnd.get();
  const int oldWrite = pipe.writeEnd.get();

  // No descriptor may be opened: the next pipe() fails.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  errno = 0;
  const bool opened = pipe.open();
  const int reason = errno;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_FALSE(opened);
  EXPECT_EQ(reason, EMFILE);
  EXPECT_FALSE(pipe.readEnd.valid());
  EXPECT_FALSE(pipe.writeEnd.valid());
  EXPECT_FALSE(isOpen(oldRead));
  EXPECT_FALSE(isOpen(oldWrite));
}

}  // namespace
