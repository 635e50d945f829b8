// Test main: every test process runs in a private IPC namespace with a private
// /tmp, so tests never touch a pool that lives on the machine (fixed IPC keys,
// fixed files in /tmp) and can run in parallel and twice in a row.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void isolate() {
  if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0) {
    std::fprintf(stderr,
                 "test isolation: unshare(CLONE_NEWIPC|CLONE_NEWNS) failed: %s (run as root)\n",
                 std::strerror(errno));
    std::exit(2);
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("kvpool-test-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
    std::fprintf(stderr, "test isolation: private /tmp mount failed: %s\n", std::strerror(errno));
    std::exit(2);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!GTEST_FLAG_GET(list_tests)) isolate();
  return RUN_ALL_TESTS();
}
