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

}  // namespace
