// What the trace writes to when another local user planted something at its
// fixed path in the world-writable /tmp, and the rotation's file lock. Every
// case traces in forked children of a parent that never traces, so each child
// opens the file and reads its settings afresh.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "support/Trace.h"
#include "support/test_files.h"

namespace {

using kvtest::kTracePath;
using kvtest::readFile;

constexpr const char* kTarget = "/tmp/KvPoolTraceTarget";
constexpr const char* kRotated = "/tmp/KvPool.log.1";

// Runs body in a child that is killed after 20 s, so a trace that blocks
// fails the test instead of hanging it. The child's exit code, or 128 + the
// signal that ended it.
int traceInChild(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void writeFile(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

ino_t inodeOf(const char* path) {
  struct stat status {};
  return lstat(path, &status) == 0 ? status.st_ino : 0;
}

TEST(TraceFileTest, WritesOnlyToARegularFileOfOneLinkThatItsUserOwns) {
  struct Case {
    const char* name;
    std::function<void()> plant;
    // Planted instead once the child has its file open, so that the child's
    // next look at the path finds it (null: nothing).
    std::function<void()> replant;
    const char* checked;  // the file whose content is compared (null: none; a FIFO blocks)
    const char* expected;
  };
  const auto fifo = [] { ASSERT_EQ(mkfifo(kTracePath, 0666), 0); };
  const auto hardLink = [] {
    writeFile(kTarget, "kept\n");
    ASSERT_EQ(link(kTarget, kTracePath), 0);
  };
  const auto strangers = [] {
    writeFile(kTracePath, "");
    ASSERT_EQ(chown(kTracePath, 54321, 54321), 0);
  };
  const auto ownFile = [] { writeFile(kTracePath, ""); };
  const Case cases[] = {
      {"FIFO without reader", fifo, nullptr, nullptr, ""},
      {"hard link", hardLink, nullptr, kTarget, "kept\n"},
      {"hard link found at the next look", ownFile, hardLink, kTarget, "kept\n"},
      {"another user's file", strangers, nullptr, kTracePath, ""},
      {"own file", ownFile, nullptr, kTracePath, "  traced\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.plant();
    const int status = traceInChild([&c] {
      if (c.replant == nullptr) {
        Log("  traced\n");
        return;
      }
      Log("  first\n");
      if (rename(kTracePath, kRotated) != 0) _exit(30);
      c.replant();
      for (int line = 0; line < 100; ++line) Log("  traced\n");
    });
    EXPECT_EQ(status, 0) << "the trace blocked";
    if (c.checked != nullptr) {
      EXPECT_EQ(readFile(c.checked), c.expected);
    }
    unlink(kTracePath);
    unlink(kTarget);
    unlink(kRotated);
  }
}

TEST(TraceFileTest, FifoWithAReaderGetsNoLine) {
  ASSERT_EQ(mkfifo(kTracePath, 0666), 0);
  const int reader = open(kTracePath, O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(traceInChild([] { Log("  traced\n"); }), 0);
  char byte = 0;
  EXPECT_LE(read(reader, &byte, 1), 0);
  close(reader);
  unlink(kTracePath);
}

// A process holding the file's lock keeps a writer past the limit from
// renaming it; once let go, the writer's next look rotates it.
TEST(TraceFileTest, RotationWaitsForTheFileLock) {
  setenv("KVPOOL_TRACE_LIMIT", "1", 1);
  writeFile(kTracePath, "");
  const int holder = open(kTracePath, O_RDONLY);
  ASSERT_GE(holder, 0);
  const ino_t original = inodeOf(kTracePath);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const std::string line(1000, 'x');
  const auto writePastTheLimit = [&line] {
    for (int i = 0; i < 1500; ++i) Log("  %s\n", line.c_str());
  };
  EXPECT_EQ(traceInChild(writePastTheLimit), 0) << "the writer waited for the lock";
  EXPECT_EQ(inodeOf(kTracePath), original);
  EXPECT_FALSE(kvtest::fileExists(kRotated));

  ASSERT_EQ(flock(holder, LOCK_UN), 0);
  // Enough lines for one look at the file, not enough to fill another.
  EXPECT_EQ(traceInChild([] {
              for (int i = 0; i < 64; ++i) Log("  after\n");
            }),
            0);
  EXPECT_EQ(inodeOf(kRotated), original);
  EXPECT_NE(inodeOf(kTracePath), original);
  close(holder);
  unsetenv("KVPOOL_TRACE_LIMIT");
}

}  // namespace
