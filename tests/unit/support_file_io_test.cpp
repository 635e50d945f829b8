// Whole reads and writes: every byte moves across short transfers, and a
// read past the end stops there with no error.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

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

void ignoreSignal(int) {}

// A signal handled without SA_RESTART interrupts a write blocked on a full
// pipe; the write carries on until every byte is through.
TEST(FileIoTest, WriteCarriesOnAcrossSignalsUntilEveryByteIsThrough) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = ignoreSignal;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  kvpool::Pipe pipe;
  ASSERT_TRUE(pipe.open());
  const std::string text(1 << 20, 'k');
  bool whole = false;
  std::thread writer([&] {
    whole = kvpool::writeAll(pipe.writeEnd.get(), text);
    pipe.writeEnd.reset();
  });
  // The pipe fills; the first signal ends a write that moved some bytes,
  // the next ones each a write that has moved none (EINTR).
  for (int round = 0; round < 5; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pthread_kill(writer.native_handle(), SIGUSR1);
  }
  std::string received;
  char buffer[65536];
  while (received.size() < text.size()) {
    const ssize_t n = read(pipe.readEnd.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  writer.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(whole);
  EXPECT_EQ(received.size(), text.size());
}

}  // namespace
