// Whole reads and writes: every byte moves across short transfers, and a
// read past the end stops there with no error.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
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

std::string contentsOf(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// A new path or a regular file of one name is replaced whole with the mode
// asked for; anything else is left alone, a failure names its step, and no
// temporary is ever left beside the file.
TEST(FileIoTest, ReplacesOnlyANewPathOrARegularFileOfOneName) {
  namespace fs = std::filesystem;
  const std::string dir = fs::temp_directory_path() / "replace-test";
  fs::remove_all(dir);
  ASSERT_TRUE(fs::create_directory(dir));
  std::ofstream(dir + "/old") << "old";
  std::ofstream(dir + "/linked") << "kept";
  fs::create_hard_link(dir + "/linked", dir + "/linked2");
  fs::create_symlink(dir + "/linked", dir + "/link");
  ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
  const struct {
    std::string name;
    std::string why;  // empty: replaced
  } cases[] = {
      {"new", ""},
      {"old", ""},
      {"linked", "not a regular file of one name: left alone"},
      {"link", "not a regular file of one name: left alone"},
      {"fifo", "not a regular file of one name: left alone"},
      {"missing/file", "mkostemp failed: No such file or directory"},
  };
  for (const auto& c : cases) {
    const std::string path = dir + "/" + c.name;
    std::string why;
    EXPECT_EQ(kvpool::replaceRegularFile(path, "new text", 0640, true, &why), c.why.empty());
    EXPECT_EQ(why, c.why) << c.name;
    if (!c.why.empty()) continue;
    struct stat status {};
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u) << c.name;
    EXPECT_EQ(contentsOf(path), "new text") << c.name;
  }
  EXPECT_EQ(contentsOf(dir + "/linked"), "kept");
  EXPECT_TRUE(fs::is_symlink(dir + "/link"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 6)
      << "no temporary left";
  fs::remove_all(dir);
}

// What a look at a path found is written into only while the path still
// names it: a FIFO swapped for another on the same filesystem between the
// look and the open gets nothing, and the change is said.
TEST(FileIoTest, WritesIntoTheFifoItLookedAtOnly) {
  const std::string looked = "/tmp/fifo-looked", swapped = "/tmp/fifo-swapped";
  for (const std::string& path : {looked, swapped}) {
    ::unlink(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  }
  kvpool::UniqueFd reader(::open(looked.c_str(), O_RDONLY | O_NONBLOCK));
  struct stat lookedAt {
  }, swappedIn{};
  ASSERT_EQ(::lstat(looked.c_str(), &lookedAt), 0);
  ASSERT_EQ(::lstat(swapped.c_str(), &swappedIn), 0);
  const struct {
    const struct stat* found;  // what the look saw at the path
    std::string why;           // empty: written
  } cases[] = {
      {&swappedIn, looked + " changed between the look and the open: nothing written"},
      {&lookedAt, ""},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(kvpool::writeIntoFoundFile(looked, *c.found, "export", &why), c.why.empty());
    EXPECT_EQ(why, c.why);
    char buffer[16] = {};
    const ssize_t got = ::read(reader.get(), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0),
              c.why.empty() ? "export" : "");
  }
}

}  // namespace
