// KVPOOL_PERSIST: the pool's creator loads the file, the machine's last node
// context saves it there before removing the pool; a save that fails keeps
// the pool, a file that fails its checks is kept aside, never overwritten.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "pool/PoolAccess.h"
#include "pool/PoolBackend.h"
#include "pool/PoolSettings.h"
#include "node_test_fixture.h"
#include "pool_test_helpers.h"
#include "support/test_files.h"

namespace {

using namespace kvtest;

constexpr const char* kFolder = "/tmp/persist";
constexpr const char* kFile = "/tmp/persist/pool.bin";

bool segmentExists() {
  return shmget(KVPOOL_SHM_KEY, 0, 0) != -1;
}

void removeAllPoolObjects() {
  removePoolObjects();
  const int journal = shmget(KVPOOL_JOURNAL_KEY, 0, 0);
  if (journal != -1) shmctl(journal, IPC_RMID, nullptr);
}

// A node creation as the broker makes it, with or without the setting.
bool createNode(const char* persist) {
  if (persist != nullptr) {
    setenv("KVPOOL_PERSIST", persist, 1);
  } else {
    unsetenv("KVPOOL_PERSIST");
  }
  std::string problem;
  return kvpool::selectPoolBackend(&problem) && attachNode();
}

// Names in kFolder that start with prefix.
std::vector<std::string> folderEntries(const std::string& prefix) {
  std::vector<std::string> names;
  DIR* directory = opendir(kFolder);
  if (directory == nullptr) return names;
  while (const dirent* entry = readdir(directory)) {
    if (std::string(entry->d_name).rfind(prefix, 0) == 0) names.push_back(entry->d_name);
  }
  closedir(directory);
  return names;
}

// A broker process of its own user, as production runs them.
bool asBrokersUser() {
  return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

class PoolPersistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetPoolState();
    removeAllPoolObjects();
    std::system("rm -rf /tmp/persist");
    mkdir(kFolder, 0700);
    unsetenv("KVPOOL_PERSIST");
    kvpool::setPersistPath("");
  }
  void TearDown() override {
    forgetPoolHandles();
    removeAllPoolObjects();
    unsetenv("KVPOOL_PERSIST");
    kvpool::setPersistPath("");
  }
  std::vector<kvbroker::EventRecord> eventsNumbered(int number) const {
    return kvtest::eventsNumbered(broker_, number);
  }
  bool firstInsertHas(int number, const std::string& text) const {
    const auto events = eventsNumbered(number);
    return events.size() == 1 && events[0].inserts.at(0).find(text) != std::string::npos;
  }

  kvbroker::Broker broker_;
};

TEST_F(PoolPersistTest, TheSettingMustBeAnAbsolutePathAndIsNotForRedis) {
  struct Case {
    const char* persist;
    const char* backend;
    const char* named;
  } const cases[] = {
      {"", nullptr, "is empty"},
      {"pool.bin", nullptr, "not an absolute path"},
      {"/tmp/persist/", nullptr, "names a folder"},
      {"/tmp/pool.bin", "redis://127.0.0.1:1", "server's own persistence"},
      {"/tmp/missing/pool.bin", nullptr, "its folder /tmp/missing cannot be used"},
      {"/tmp/persist/file/pool.bin", nullptr, "its folder /tmp/persist/file is not a folder"},
  };
  std::ofstream("/tmp/persist/file") << "a file";
  for (const Case& c : cases) {
    setenv("KVPOOL_PERSIST", c.persist, 1);
    if (c.backend != nullptr) setenv("KVPOOL_BACKEND", c.backend, 1);
    std::string problem;
    EXPECT_FALSE(kvpool::selectPoolBackend(&problem)) << c.persist;
    EXPECT_NE(problem.find(c.named), std::string::npos) << problem;
    unsetenv("KVPOOL_BACKEND");
  }
  const std::string longPath = "/" + std::string(4000, 'a');
  std::string problem;
  EXPECT_FALSE(kvpool::checkPersistPath(longPath.c_str(), &problem));
  EXPECT_TRUE(kvpool::checkPersistPath("/var/lib/kvpool/pool.bin", &problem));
  // The brokers' user must be able to make the file in the folder.
  EXPECT_EQ(runChild([] {
              if (setgid(65534) != 0 || setuid(65534) != 0) return 20;
              setenv("KVPOOL_PERSIST", kFile, 1);
              std::string why;
              return !kvpool::selectPoolBackend(&why) &&
                             why.find("may not make files in /tmp/persist") != std::string::npos
                         ? 0
                         : 1;
            }),
            0);
}

TEST_F(PoolPersistTest, RestartCyclesBringEveryValueBack) {
  std::mt19937 random(7);
  std::vector<std::string> values;
  for (int cycle = 0; cycle < 50; ++cycle) {
    std::vector<std::string> next;
    for (int key = 0; key < 8; ++key) next.push_back(std::to_string(random()));
    const int rc = runChild([&values, &next] {
      if (!createNode(kFile)) return 1;
      for (std::size_t key = 0; key < values.size(); ++key) {
        if (getValue("KvPoolK" + std::to_string(key)) != values[key]) return 2;
      }
      for (std::size_t key = 0; key < next.size(); ++key) {
        if (storeValue("KvPoolK" + std::to_string(key), next[key]) != KVPOOL_OK) return 3;
      }
      detachKvPool();
      return 0;
    });
    ASSERT_EQ(rc, 0) << "cycle " << cycle;
    ASSERT_FALSE(segmentExists()) << "the last node removes the pool";
    ASSERT_TRUE(fileExists(kFile));
    values = next;
  }
}

TEST_F(PoolPersistTest, APoolFullToItsLastByteComesBackWhole) {
  // 12 header bytes, then one record: 12 + "KvPoolFull" + NUL + value + NUL.
  static const std::string value(4096 - 12 - 12 - 11 - 1, 'v');
  ASSERT_EQ(runChild([] {
              if (!createNode(kFile) || storeValue("KvPoolFull", value) != KVPOOL_OK) return 1;
              if (poolHeader().usedSize != 4096) return 2;
              detachKvPool();
              return 0;
            }),
            0);
  ASSERT_EQ(runChild([] {
              if (!createNode(kFile)) return 1;
              const bool whole = getValue("KvPoolFull") == value;
              detachKvPool();
              return whole ? 0 : 2;
            }),
            0);
  EXPECT_EQ(readFile(kFile).size(), 4096u) << "the second stop saved it whole again";
  EXPECT_TRUE(folderEntries("pool.bin.refused-").empty());
}

TEST_F(PoolPersistTest, KilledBrokersLoseNothingAndARebootKeepsTheLastSave) {
  ASSERT_EQ(runChild([] {
              if (!createNode(kFile) || storeValue("KvPoolSaved", "one") != KVPOOL_OK) return 1;
              detachKvPool();
              return 0;
            }),
            0);
  // Killed: no node context is deleted, the pool stays in memory as it is.
  EXPECT_EQ(runChild([] {
              if (!createNode(kFile) || storeValue("KvPoolUnsaved", "two") != KVPOOL_OK) return 1;
              kill(getpid(), SIGKILL);
              return 2;
            }),
            128 + SIGKILL);
  ASSERT_TRUE(segmentExists());
  EXPECT_EQ(runChild([] {
              if (!createNode(kFile)) return 1;
              return getValue("KvPoolSaved") == "one" && getValue("KvPoolUnsaved") == "two" ? 0 : 2;
            }),
            0);
  // A reboot: every object gone; the brokers start from the last save.
  removeAllPoolObjects();
  ASSERT_TRUE(createNode(kFile));
  EXPECT_EQ(getValue("KvPoolSaved"), "one");
  EXPECT_EQ(getValue("KvPoolUnsaved"), std::nullopt);
  EXPECT_EQ(eventsNumbered(13).size(), 1u);
  detachKvPool();
}

TEST_F(PoolPersistTest, AFileThatFailsItsChecksIsKeptAsideAndThePoolStartsEmpty) {
  std::string sound(12, '\0');
  const PoolControl header = {4096, 0, 12};
  std::memcpy(sound.data(), &header, sizeof header);
  std::string damaged = sound + std::string(20, '\x7f');
  const PoolControl claims = {4096, 1, 32};
  std::memcpy(damaged.data(), &claims, sizeof claims);
  std::string truncated = damaged.substr(0, 20);
  std::string oversized = damaged + std::string(8192, 'x');
  const PoolControl big = {4096, 1, 32 + 8192};
  std::memcpy(oversized.data(), &big, sizeof big);
  struct Case {
    const char* name;
    std::string bytes;
    bool link;
  } const cases[] = {
      {"damaged", damaged, false},
      {"truncated", truncated, false},
      {"oversized", oversized, false},
      {"linked", sound, true},
  };
  for (const Case& c : cases) {
    SetUp();
    const std::string target = std::string(kFolder) + "/target";
    std::ofstream(c.link ? target : std::string(kFile), std::ios::binary) << c.bytes;
    if (c.link) {
      ASSERT_EQ(symlink(target.c_str(), kFile), 0);
    }
    const std::size_t before = eventsNumbered(20).size();
    ASSERT_TRUE(createNode(kFile)) << c.name;
    EXPECT_EQ(poolHeader().usedSize, 12) << c.name;
    ASSERT_EQ(eventsNumbered(20).size(), before + 1) << c.name;
    const std::vector<std::string> aside = folderEntries("pool.bin.refused-");
    ASSERT_EQ(aside.size(), 1u) << c.name;
    EXPECT_NE(eventsNumbered(20).back().inserts.at(0).find(aside[0]), std::string::npos);
    ASSERT_EQ(storeValue("KvPoolNew", "value"), KVPOOL_OK);
    detachKvPool();
    // The new save went to the path; what was refused is untouched.
    const std::string keptPath = std::string(kFolder) + "/" + aside[0];
    EXPECT_EQ(readFile(c.link ? target : keptPath), c.bytes) << c.name;
    EXPECT_NE(readFile(kFile).find("KvPoolNew"), std::string::npos) << c.name;
    TearDown();
  }
}

TEST_F(PoolPersistTest, ARefusedFileThatCannotBeRenamedIsNeverSavedOver) {
  // A damaged file mounted over the path: it cannot be renamed (EBUSY).
  const std::string mounted = std::string(kFolder) + "/mounted";
  std::ofstream(mounted, std::ios::binary) << std::string(20, '\x7f');
  std::ofstream(kFile, std::ios::binary) << "";
  ASSERT_EQ(mount(mounted.c_str(), kFile, nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
  ASSERT_TRUE(createNode(kFile));
  ASSERT_EQ(eventsNumbered(20).size(), 1u);
  EXPECT_NE(eventsNumbered(20)[0].inserts.at(0).find("not saved over it"), std::string::npos);
  ASSERT_EQ(storeValue("KvPoolKept", "kept"), KVPOOL_OK);
  detachKvPool();
  ASSERT_EQ(eventsNumbered(19).size(), 1u) << "the pool stays, and the event says why";
  EXPECT_NE(eventsNumbered(19)[0].inserts.at(0).find("not loaded from the file"),
            std::string::npos);
  EXPECT_TRUE(segmentExists());
  EXPECT_EQ(readFile(kFile), std::string(20, '\x7f'));
  umount(kFile);
}

TEST_F(PoolPersistTest, ASaveThatFailsKeepsThePoolForTheNextNode) {
  ASSERT_TRUE(createNode(kFile));
  ASSERT_EQ(storeValue("KvPoolKept", "kept"), KVPOOL_OK);
  // The folder goes (a disk unmounted, a folder removed): the save fails.
  std::system("rm -rf /tmp/persist");
  detachKvPool();
  EXPECT_TRUE(segmentExists());
  const auto failed = eventsNumbered(19);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].type, CCI_LOG_WARNING);
  EXPECT_EQ(failed[0].line, 2160);
  EXPECT_NE(failed[0].inserts.at(0).find(kFolder), std::string::npos) << failed[0].inserts[0];
  // Put right, the next node finds everything.
  mkdir(kFolder, 0700);
  EXPECT_EQ(runChild([] {
              if (!createNode(kFile)) return 1;
              return getValue("KvPoolKept") == "kept" ? 0 : 2;
            }),
            0);
}

// Brokers set up differently: whichever holds the machine's last node, a
// pool some setting says to keep is saved, or stays in memory with event 19
// saying why; a process whose setting differs from the creator's is warned
// as it joins and as it leaves (event 21).
TEST_F(PoolPersistTest, BrokersSetUpDifferentlyNeverDropAPoolUnsaved) {
  constexpr const char* kOther = "/tmp/persist/other.bin";
  struct Case {
    const char* creator;  // the KVPOOL_PERSIST of the process that creates the pool
    const char* joiner;   // this process's
    bool creatorLast;     // whose node is the machine's last
    bool fileThere;       // a snapshot lies at kFile already
    const char* kept;     // event 19's reason; null: saved by the last node and removed
  } const cases[] = {
      {kFile, kFile, false, false, nullptr},
      {kFile, nullptr, true, false, nullptr},
      {nullptr, kFile, false, false, nullptr},
      {nullptr, kFile, false, true, "not loaded from the file"},
      {kFile, nullptr, false, false, "had none"},
      {kFile, kOther, false, false, "another file"},
  };
  for (const Case& c : cases) {
    SetUp();
    broker_.clearEvents();
    if (c.fileThere) std::ofstream(kFile) << "an older snapshot";
    int ready[2], leave[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(leave), 0);
    const pid_t creator = startChild([&] {
      if (!createNode(c.creator) || storeValue("KvPoolShared", "kept") != KVPOOL_OK) return 1;
      char byte = 1;
      if (write(ready[1], &byte, 1) != 1 || read(leave[0], &byte, 1) != 1) return 2;
      detachKvPool();
      return 0;
    });
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_TRUE(createNode(c.joiner));
    if (c.creatorLast) detachKvPool();
    ASSERT_EQ(write(leave[1], &byte, 1), 1);
    EXPECT_EQ(waitChild(creator), 0);
    if (!c.creatorLast) detachKvPool();
    EXPECT_EQ(eventsNumbered(21).size(), c.creator == c.joiner ? 0u : 2u) << "joined and left";
    EXPECT_EQ(segmentExists(), c.kept != nullptr) << c.kept;
    if (c.kept != nullptr) {
      EXPECT_TRUE(firstInsertHas(19, c.kept)) << c.kept;
      EXPECT_EQ(readFile(kFile), c.fileThere ? "an older snapshot" : "") << c.kept;
    } else {
      const char* saved = c.creatorLast ? c.creator : c.joiner;
      EXPECT_NE(readFile(saved).find("KvPoolShared"), std::string::npos);
    }
    for (int fd : {ready[0], ready[1], leave[0], leave[1]}) close(fd);
    TearDown();
  }
}

// An operator removes the segment alone (ipcrm -M 99999), its journal stays:
// the next pool is made without KVPOOL_PERSIST and forgets the old file.
TEST_F(PoolPersistTest, APoolMadeBesideAnOlderJournalForgetsItsFile) {
  EXPECT_EQ(runChild([] { return createNode(kFile) ? 0 : 1; }), 0);  // killed, nodes kept
  ASSERT_EQ(shmctl(shmget(KVPOOL_SHM_KEY, 0, 0), IPC_RMID, nullptr), 0);
  EXPECT_EQ(runChild([] {
              if (!createNode(nullptr) || storeValue("KvPoolNew", "x") != KVPOOL_OK) return 1;
              detachKvPool();
              return segmentExists() ? 2 : 0;
            }),
            0);
}

// Brokers running as a user of their own: a save by root (the save timer's)
// gives the file to the pool's owner, so that their next start after a crash
// loads it; a file they cannot read stays where it is (event 20 says why).
TEST_F(PoolPersistTest, ASaveByRootIsTheBrokersUsersAndAFileTheyCannotReadStays) {
  ASSERT_EQ(chown(kFolder, 65534, 65534), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t broker = startChild([&ready] {
    if (!asBrokersUser() || !createNode(kFile)) return 1;
    if (storeValue("KvPoolSaved", "by root") != KVPOOL_OK) return 2;
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) return 3;
    pause();
    return 4;
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  kvpool::setPersistPath(kFile);
  {
    kvpool::OpenedPool pool;  // kvpool save
    ASSERT_TRUE(pool.open(kvpool::findPoolIds(), kvpool::OpenedPool::Mode::kReadWrite));
    ASSERT_EQ(kvpool::savePoolToFile(pool.view()), 0);
  }
  struct stat saved {};
  ASSERT_EQ(stat(kFile, &saved), 0);
  EXPECT_EQ(saved.st_uid, 65534u);
  EXPECT_EQ(saved.st_mode & 0777, 0600u);
  // A crash, then a reboot.
  kill(broker, SIGKILL);
  EXPECT_EQ(waitChild(broker), 128 + SIGKILL);
  removeAllPoolObjects();
  EXPECT_EQ(runChild([] {
              if (!asBrokersUser() || !createNode(kFile)) return 1;
              return getValue("KvPoolSaved") == "by root" ? 0 : 2;
            }),
            0);
  removeAllPoolObjects();
  ASSERT_EQ(chown(kFile, 0, 0), 0);
  EXPECT_EQ(runChild([this] {
              if (!asBrokersUser() || !createNode(kFile)) return 1;
              if (!firstInsertHas(20, "Permission denied; kept in place")) return 2;
              return poolHeader().usedSize == 12 ? 0 : 3;
            }),
            0);
  EXPECT_NE(readFile(kFile).find("KvPoolSaved"), std::string::npos);
  EXPECT_TRUE(folderEntries("pool.bin.refused-").empty());
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
