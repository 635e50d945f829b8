// The trace's settings, read once per process: the switch and the bound.
// Each case runs in forked children of a parent that never traces, so every
// child reads the settings afresh from its environment.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "support/Trace.h"
#include "support/test_files.h"

namespace {

void runChildren(int count, void (*body)(int child)) {
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      body(i);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

off_t fileSize(const char* path) {
  struct stat status {};
  return stat(path, &status) == 0 ? status.st_size : 0;
}

TEST(TraceSettingsTest, OffWritesNoFile) {
  setenv("KVPOOL_TRACE", "off", 1);
  runChildren(1, [](int) { Log("-->evaluate\n"); });
  unsetenv("KVPOOL_TRACE");
  EXPECT_FALSE(kvtest::fileExists(kvtest::kTracePath));
}

TEST(TraceSettingsTest, LimitRotatesAndProcessesFollowWithWholeLines) {
  setenv("KVPOOL_TRACE_LIMIT", "1", 1);
  // Three processes write 2 MiB each, in lines of varied length.
  runChildren(3, [](int child) {
    std::string pad(40 + child * 50, 'a' + child);
    for (int i = 0; i < 2 * 1024 * 1024 / static_cast<int>(pad.size() + 20); ++i) {
      Log("  child %d line %d %s.\n", child, i, pad.c_str());
    }
  });
  unsetenv("KVPOOL_TRACE_LIMIT");
  const off_t total = fileSize("/tmp/KvPool.log") + fileSize("/tmp/KvPool.log.1");
  EXPECT_GT(fileSize("/tmp/KvPool.log.1"), 1 << 20);
  EXPECT_LE(total, (2 << 20) + (512 << 10)) << "both files hold about twice the limit at most";
  const std::regex whole(R"(  child ([0-2]) line \d+ ([a-c])+\.)");
  for (const char* path : {"/tmp/KvPool.log", "/tmp/KvPool.log.1"}) {
    for (const std::string& line : kvtest::readLines(path)) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, whole)) << path << ": split or mixed: " << line;
      EXPECT_EQ(match[1].str()[0] - '0', match[2].str()[0] - 'a') << line;
    }
  }
}

// Another user's entry at the rotated name (a FIFO or a link of root's in
// sticky /tmp, which the brokers' user may not rename over) keeps the trace
// bounded all the same: the full file starts again, saying why. The file the
// trace makes has its mode whatever the umask: 0600, or KVPOOL_MODE's.
TEST(TraceSettingsTest, ARotationThatCannotRenameStaysBoundedAndTheFileIsPrivate) {
  struct Case {
    bool fifo;
    const char* poolMode;
    mode_t umask;
    mode_t fileMode;
  } const cases[] = {
      {true, nullptr, 0, 0600}, {false, "0640", 077, 0640}, {true, "0666", 022, 0600}};
  for (const Case& c : cases) {
    unlink("/tmp/KvPool.log");
    unlink("/tmp/KvPool.log.1");
    ASSERT_EQ(c.fifo ? mkfifo("/tmp/KvPool.log.1", 0600) : symlink("/tmp/x", "/tmp/KvPool.log.1"),
              0);
    setenv("KVPOOL_TRACE_LIMIT", "1", 1);
    if (c.poolMode != nullptr) setenv("KVPOOL_MODE", c.poolMode, 1);
    const mode_t before = umask(c.umask);
    runChildren(1, [](int) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(20);
      for (int i = 0; i < 3 * 1024 * 1024 / 64; ++i) Log("  line %d %54d\n", i, i);
    });
    umask(before);
    unsetenv("KVPOOL_TRACE_LIMIT");
    unsetenv("KVPOOL_MODE");
    struct stat trace {
    }, rotated{};
    ASSERT_EQ(stat("/tmp/KvPool.log", &trace), 0);
    EXPECT_EQ(trace.st_mode & 0777, c.fileMode) << c.poolMode;
    EXPECT_LT(trace.st_size, 3 << 19) << "no more than the limit and a look's worth";
    ASSERT_EQ(lstat("/tmp/KvPool.log.1", &rotated), 0);
    EXPECT_EQ(c.fifo ? S_ISFIFO(rotated.st_mode) : S_ISLNK(rotated.st_mode), true);
    EXPECT_NE(kvtest::readFile("/tmp/KvPool.log").find("could not be renamed to /tmp/KvPool.log.1"),
              std::string::npos);
  }
}

}  // namespace
