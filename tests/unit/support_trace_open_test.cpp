// The once-only open of the trace file: a failed open is retried by the next
// write, a link planted at the fixed path is never followed, and threads that
// trace first at the same moment share one stream. Kept in its own program so
// the process starts with the file not yet opened.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "support/Trace.h"
#include "support/test_files.h"

namespace {

int descriptorsOpenOn(const std::string& path) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) ++count;
  }
  closedir(dir);
  return count;
}

TEST(TraceOpenTest, RetriesFailedOpensRefusesLinksAndOpensOnce) {
  ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  Log("-->lost while /tmp is read-only\n");
  EXPECT_FALSE(kvtest::fileExists(kvtest::kTracePath));
  ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT, nullptr), 0);

  ASSERT_EQ(symlink("/tmp/planted", kvtest::kTracePath), 0);
  Log("-->must not reach the link target\n");
  EXPECT_FALSE(kvtest::fileExists("/tmp/planted"));
  ASSERT_EQ(unlink(kvtest::kTracePath), 0);

  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&start, t] {
      start.arrive_and_wait();
      Log("  thread %d\n", t);
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(descriptorsOpenOn(kvtest::kTracePath), 1);
  auto lines = kvtest::readLines(kvtest::kTracePath);
  std::sort(lines.begin(), lines.end());
  std::vector<std::string> expected;
  for (int t = 0; t < kThreads; ++t) expected.push_back("  thread " + std::to_string(t));
  EXPECT_EQ(lines, expected);
}

}  // namespace
