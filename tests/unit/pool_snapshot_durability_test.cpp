// The order in which a save makes the snapshot durable: the new file's bytes
// reach the disk before the rename puts it in place, and the directory is
// synced after the rename, so that a crash leaves the old snapshot or the
// whole new one. fsync and rename are wrapped in this program to record the
// calls the library makes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "pool/KvPoolShm.h"
#include "pool_test_helpers.h"

namespace {
bool recording = false;
std::vector<std::string> calls;  // "fsync PATH" or "rename FROM TO"
}  // namespace

extern "C" int fsync(int fd) {
  using Fn = int (*)(int);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fsync"));
  if (recording) {
    char path[PATH_MAX] = "";
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), path, sizeof path - 1);
    calls.push_back("fsync " + std::string(path, n > 0 ? static_cast<size_t>(n) : 0));
  }
  return real(fd);
}

extern "C" int rename(const char* from, const char* to) {
  using Fn = int (*)(const char*, const char*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "rename"));
  if (recording) calls.push_back(std::string("rename ") + from + " " + to);
  return real(from, to);
}

namespace {

using namespace kvtest;

TEST(PoolSnapshotDurabilityTest, TempFileIsSyncedThenRenamedThenTheDirectorySynced) {
  kvbroker::Broker broker;
  resetPoolState();
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolKey", "value"), KVPOOL_OK);
  recording = true;
  EXPECT_EQ(storeKvPoolToFile(), 0);
  recording = false;
  detachKvPool();

  // The rename of the save's temporary file over the snapshot.
  std::size_t renamed = calls.size();
  std::string temp;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const std::string prefix = "rename /tmp/KvPoolData.bin.";
    const std::string suffix = " /tmp/KvPoolData.bin";
    const std::string& call = calls[i];
    if (call.rfind(prefix, 0) == 0 && call.size() > suffix.size() &&
        call.compare(call.size() - suffix.size(), suffix.size(), suffix) == 0) {
      renamed = i;
      temp = call.substr(7, call.size() - 7 - suffix.size());
    }
  }
  ASSERT_LT(renamed, calls.size()) << ::testing::PrintToString(calls);
  const std::vector<std::string> expected = {"fsync " + temp, calls[renamed], "fsync /tmp"};
  std::vector<std::string> found;
  for (const std::string& call : calls) {
    if (call == expected[0] || call == expected[1] || call == expected[2]) found.push_back(call);
  }
  EXPECT_EQ(found, expected) << ::testing::PrintToString(calls);
}

}  // namespace
