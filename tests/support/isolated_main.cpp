// Test main: every test process runs in a private IPC namespace with a private
// /tmp, so tests never touch a pool that lives on the machine (fixed IPC keys,
// fixed files in /tmp) and can run in parallel and twice in a row.
//
// A checkout may itself live under /tmp; the private /tmp would hide it (the
// plug-in, the tools, the test files). So the source and build trees are bound
// back at their own paths inside the new /tmp, from a handle on the old one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kTmp = "/tmp/";

[[noreturn]] void fail(const std::string& step) {
  std::fprintf(stderr, "test isolation: %s failed: %s\n", step.c_str(), std::strerror(errno));
  std::exit(2);
}

// mkdir -p of a path under the private /tmp.
void makeFolders(const std::string& path) {
  for (std::size_t slash = std::strlen(kTmp); slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir " + prefix);
  }
}

// Binds every tree that lies under /tmp from the old /tmp (oldTmp) to the same
// path in the new one. Outer trees first: a tree inside one already bound is
// visible through it.
void bindTreesBack(int oldTmp, std::vector<std::string> trees) {
  std::sort(trees.begin(), trees.end(),
            [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  for (const std::string& tree : trees) {
    if (tree.rfind(kTmp, 0) != 0) continue;
    struct stat st;
    if (stat(tree.c_str(), &st) == 0) continue;
    const std::string source =
        "/proc/self/fd/" + std::to_string(oldTmp) + "/" + tree.substr(std::strlen(kTmp));
    makeFolders(tree);
    if (mount(source.c_str(), tree.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      fail("bind mount of " + tree);
    }
  }
}

void isolate() {
  if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0) {
    std::fprintf(stderr,
                 "test isolation: unshare(CLONE_NEWIPC|CLONE_NEWNS) failed: %s (run as root)\n",
                 std::strerror(errno));
    std::exit(2);
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("making / private");
  // Opened in the new namespace: a bind mount takes its source from there.
  const int oldTmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (oldTmp < 0) fail("open /tmp");
  if (mount("kvpool-test-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
    fail("private /tmp mount");
  }
  bindTreesBack(oldTmp, {KVPOOL_SOURCE_DIR, KVPOOL_BINARY_DIR});
  close(oldTmp);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!GTEST_FLAG_GET(list_tests)) isolate();
  return RUN_ALL_TESTS();
}
