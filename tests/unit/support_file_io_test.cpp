// Whole reads and writes: every byte moves across short transfers, and a
// read past the end stops there with no error.
#include <gtest/gtest.h>
#include <stdio.h>

#include <cerrno>
#include <string>

#include "support/FileIo.h"
#include "support/UniqueFd.h"

namespace {

TEST(FileIoTest, WritesEverythingAndReadsAtAnOffsetUpToTheEnd) {
  kvpool::UniqueFd file(fileno(tmpfile()));
  ASSERT_TRUE(file.valid());
  const std::string text(100000, 'k');
  ASSERT_TRUE(kvpool::writeAll(file.get(), text));
  std::string back(text.size(), '\0');
  EXPECT_EQ(kvpool::readAllAt(file.get(), back.data(), 10, 99995), 5u);
  EXPECT_EQ(errno, 0) << "the end of the file is no error";
  EXPECT_EQ(kvpool::readAllAt(file.get(), back.data(), back.size(), 0), text.size());
  EXPECT_EQ(back, text);
  EXPECT_EQ(kvpool::writeAll(-1, "x", 1), 0u);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
