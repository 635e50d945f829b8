// The snapshot file: round trip across a removal of the pool, the checks a
// load makes before touching the pool, and a save that never leaves the
// machine without a whole snapshot.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "node/KvPool.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "pool/StoreJournal.h"
#include "pool_test_helpers.h"
#include "support/test_files.h"

namespace {

using namespace kvtest;

constexpr const char* kSnapshot = "/tmp/KvPoolData.bin";

std::string poolImage() {
  return std::string(static_cast<const char*>(hKvMemView),
                     static_cast<size_t>(poolHeader().usedSize));
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void pokeInt(std::string& bytes, size_t offset, int32_t value) {
  std::memcpy(bytes.data() + offset, &value, 4);
}

// A snapshot of the given records, written by the pool's own record writer.
std::string snapshotOf(const std::vector<std::pair<std::string, std::string>>& records) {
  std::string bytes(12, '\0');
  for (const auto& [key, value] : records) {
    const size_t offset = bytes.size();
    bytes.resize(offset + 12 + key.size() + 1 + value.size() + 1);
    kvpool::writePoolRecord(reinterpret_cast<unsigned char*>(bytes.data()),
                            static_cast<int32_t>(offset), key.c_str(),
                            static_cast<int32_t>(key.size() + 1), value.c_str(),
                            static_cast<int32_t>(value.size() + 1));
  }
  const PoolControl header = {4096, static_cast<int32_t>(records.size()),
                              static_cast<int32_t>(bytes.size())};
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}

std::vector<std::string> tmpEntriesStartingWith(const std::string& prefix) {
  std::vector<std::string> names;
  DIR* directory = opendir("/tmp");
  while (dirent* entry = readdir(directory)) {
    if (std::string(entry->d_name).rfind(prefix, 0) == 0) names.push_back(entry->d_name);
  }
  closedir(directory);
  return names;
}

// A child that joins the pool, then saves once the parent (holding the
// writer lock by then) tells it to: it dies waiting for the lock.
pid_t startSaverWaitingForTheLock() {
  int attached[2], go[2];
  if (pipe(attached) != 0 || pipe(go) != 0) return -1;
  const pid_t saver = startChild([&] {
    if (!attachNode()) return 10;
    char byte = 'x';
    if (write(attached[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) return 11;
    return storeKvPoolToFile();
  });
  char byte = 0;
  const bool ready = read(attached[0], &byte, 1) == 1;
  sem_WLock();
  if (!ready || write(go[1], &byte, 1) != 1) std::abort();
  for (int fd : {attached[0], attached[1], go[0], go[1]}) close(fd);
  const int set = semget(KVPOOL_SEM_KEY, 0, 0);
  while (semctl(set, 0, GETZCNT) < 1) usleep(1000);
  return saver;
}

// A pid no process has: a child that has exited and been reaped.
pid_t deadPid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitChild(pid);
  return pid;
}

bool tmpEntryExists(const std::string& name) {
  struct stat status {};
  return lstat(("/tmp/" + name).c_str(), &status) == 0;
}

class PoolSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unlink(kSnapshot);
    resetPoolState();
  }
  void TearDown() override {
    forgetPoolHandles();
    removePoolObjects();
  }
  int eventCount(int number) const {
    int count = 0;
    for (const auto& event : broker_.events()) count += event.messageNumber == number;
    return count;
  }
  void markTrace() { traceMark_ = readFile(kTracePath).size(); }
  std::string traceSinceMark() const { return readFile(kTracePath).substr(traceMark_); }
  // A pool with three records saved to the snapshot; returns its bytes.
  std::string saveThreeRecords() {
    EXPECT_TRUE(attachNode());
    EXPECT_EQ(storeValue("KvPoolA", "alpha"), KVPOOL_OK);
    EXPECT_EQ(storeValue("KvPoolB", "beta"), KVPOOL_OK);
    EXPECT_EQ(storeValue("KvPoolC", "gamma"), KVPOOL_OK);
    EXPECT_EQ(storeKvPoolToFile(), 0);
    return readFile(kSnapshot);
  }

  kvbroker::Broker broker_;

 private:
  size_t traceMark_ = 0;
};

TEST_F(PoolSnapshotTest, SavedPoolComesBackAfterTheLastUserRemovedIt) {
  // Another process fills the pool, saves it and leaves as the last user.
  ASSERT_EQ(runChild([] {
              if (!attachNode()) return 10;
              storeValue("KvPoolA", "alpha");
              storeValue("KvPoolB", "beta");
              storeValue("KvPoolA", "again");
              if (storeKvPoolToFile() != 0) return 11;
              detachKvPool();
              return shmget(KVPOOL_SHM_KEY, 0, 0) == -1 ? 0 : 12;
            }),
            0);
  const std::string snapshot = readFile(kSnapshot);
  ASSERT_EQ(snapshot.size(), 12u + 25 + 26);

  ASSERT_TRUE(attachNode());
  ASSERT_EQ(poolHeader().usedSize, 12) << "a new pool starts empty";
  markTrace();
  const uint32_t changes = kvpool::journalChanges(kvpool::processPoolView().journal);
  EXPECT_EQ(initKvPoolFromFile(), 0);
  EXPECT_EQ(kvpool::journalChanges(kvpool::processPoolView().journal), changes + 1)
      << "a load counts as a change: every process's key index learns it is stale";
  EXPECT_EQ(poolImage(), snapshot) << "same records in the same order";
  EXPECT_EQ(getValue("KvPoolA"), "again");
  EXPECT_EQ(getValue("KvPoolB"), "beta");
  EXPECT_EQ(eventCount(13), 1);
  for (const auto& event : broker_.events()) {
    if (event.messageNumber != 13) continue;
    EXPECT_EQ(event.type, CCI_LOG_ERROR);
    EXPECT_EQ(event.line, 2092);
    EXPECT_EQ(event.function, "initKvPoolFromFile");
  }
  const std::string trace = traceSinceMark();
  EXPECT_NE(trace.find("    return of fwrite 63\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("  Shared Memory updated with the file contents\n"), std::string::npos);
}

TEST_F(PoolSnapshotTest, SaveWritesTheUsedBytesAndLogsEvent14) {
  const std::string snapshot = saveThreeRecords();
  EXPECT_EQ(snapshot, poolImage());
  const auto events = broker_.events();
  ASSERT_EQ(eventCount(14), 1);
  for (const auto& event : events) {
    if (event.messageNumber != 14) continue;
    EXPECT_EQ(event.type, CCI_LOG_ERROR);
    EXPECT_EQ(event.file, "KvPool");
    EXPECT_EQ(event.line, 2020);
    EXPECT_EQ(event.function, "storeKvPoolToFile");
    EXPECT_EQ(event.messageSource, u"VTRL-KvPool");
    EXPECT_EQ(event.traceText, "Vantrel2");
    EXPECT_TRUE(event.inserts.empty());
  }
}

TEST_F(PoolSnapshotTest, SnapshotIsOwnerOnlyAndWhatIsNoRegularFileIsNeitherFollowedNorReplaced) {
  umask(022);
  writeFile("/tmp/victim", "precious");
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolA", "alpha"), KVPOOL_OK);
  const std::function<void()> plants[] = {
      [] { symlink("/tmp/victim", kSnapshot); },
      [] { mkfifo(kSnapshot, 0666); },
      [] { link("/tmp/victim", kSnapshot); },
  };
  for (const auto& plant : plants) {
    unlink(kSnapshot);
    plant();
    struct stat before {};
    ASSERT_EQ(lstat(kSnapshot, &before), 0);
    EXPECT_EQ(storeKvPoolToFile(), 1);
    struct stat after {};
    ASSERT_EQ(lstat(kSnapshot, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "what the path names stays";
    EXPECT_EQ(readFile("/tmp/victim"), "precious");
  }
  unlink(kSnapshot);
  const std::string snapshot = saveThreeRecords();
  struct stat status {};
  ASSERT_EQ(lstat(kSnapshot, &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(snapshot, poolImage());
  EXPECT_EQ(tmpEntriesStartingWith("KvPoolData.bin."), std::vector<std::string>{})
      << "no temporary file is left behind";
}

TEST_F(PoolSnapshotTest, SaveThatDiesWaitingForTheLockLeavesThePreviousSnapshotWhole) {
  const std::string previous = saveThreeRecords();
  ASSERT_EQ(storeValue("KvPoolD", "delta"), KVPOOL_OK);
  // The child is a node before the lock is taken: node creation itself waits
  // while a writer holds it.
  const pid_t saver = startSaverWaitingForTheLock();
  EXPECT_EQ(readFile(kSnapshot), previous) << "the old snapshot is untouched while the save waits";
  kill(saver, SIGKILL);
  EXPECT_EQ(waitChild(saver), 128 + SIGKILL);
  sem_WUnLock();
  EXPECT_EQ(readFile(kSnapshot), previous);

  // And a save that gets through replaces it.
  EXPECT_EQ(storeKvPoolToFile(), 0);
  EXPECT_EQ(readFile(kSnapshot), poolImage());
}

TEST_F(PoolSnapshotTest, SaveRemovesTheTemporaryFilesOfDeadSavesOnly) {
  ASSERT_TRUE(attachNode());
  // A save killed while it waits for the lock leaves its file, named by its pid.
  const pid_t saver = startSaverWaitingForTheLock();
  kill(saver, SIGKILL);
  EXPECT_EQ(waitChild(saver), 128 + SIGKILL);
  sem_WUnLock();
  const std::vector<std::string> left = tmpEntriesStartingWith("KvPoolData.bin.");
  ASSERT_EQ(left.size(), 1u);
  const std::string killedPrefix = "KvPoolData.bin." + std::to_string(saver) + ".";
  ASSERT_EQ(left[0].rfind(killedPrefix, 0), 0u) << left[0];
  ASSERT_EQ(left[0].size(), killedPrefix.size() + 6);

  enum Kind { kFile, kLink, kDirectory, kOtherUsersFile };
  struct Planted {
    const char* what;
    std::string name;
    Kind kind;
    bool removed;
  };
  const std::string dead = std::to_string(deadPid());
  writeFile("/tmp/victim", "precious");
  const Planted planted[] = {
      {"a dead writer's file", "KvPoolData.bin." + dead + ".aaaaaa", kFile, true},
      {"a live writer's file", "KvPoolData.bin." + std::to_string(getpid()) + ".bbbbbb", kFile,
       false},
      {"a link", "KvPoolData.bin." + dead + ".cccccc", kLink, false},
      {"a directory", "KvPoolData.bin." + dead + ".dddddd", kDirectory, false},
      {"another user's file", "KvPoolData.bin." + dead + ".eeeeee", kOtherUsersFile, false},
      {"a name without a pid", "KvPoolData.bin.ffffff", kFile, false},
      {"a name with more after the pid", "KvPoolData.bin." + dead + ".gggggg.x", kFile, false},
  };
  for (const Planted& p : planted) {
    const std::string path = "/tmp/" + p.name;
    if (p.kind == kLink) {
      ASSERT_EQ(symlink("/tmp/victim", path.c_str()), 0);
    } else if (p.kind == kDirectory) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else {
      writeFile(path, "half a snapshot");
      if (p.kind == kOtherUsersFile) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
      }
    }
  }

  EXPECT_EQ(storeKvPoolToFile(), 0);
  EXPECT_FALSE(tmpEntryExists(left[0])) << "the killed save's file";
  for (const Planted& p : planted) {
    EXPECT_EQ(tmpEntryExists(p.name), !p.removed) << p.what;
  }
  EXPECT_EQ(readFile("/tmp/victim"), "precious");
  EXPECT_EQ(readFile(kSnapshot), poolImage());
}

int writerMovingFd = -1;

// A writer killed in the middle of a replacement leaves records half moved:
// the save puts them right before it copies, so the snapshot loads.
TEST_F(PoolSnapshotTest, SaveAfterAWriterWasKilledMidStoreSavesThePoolPutRight) {
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(storeValue("KvPoolFront", "f"), KVPOOL_OK);
  ASSERT_EQ(storeValue("KvPoolLong", std::string(3000, 'l')), KVPOOL_OK);
  int moving[2];
  ASSERT_EQ(pipe(moving), 0);
  writerMovingFd = moving[1];
  const pid_t writer = startChild([] {
    if (!attachNode()) return 10;
    kvpool::journalStepHook = [](int step) {
      if (step != kvpool::kStepChunkMoved) return;
      if (write(writerMovingFd, "x", 1) != 1) _exit(12);
      pause();
    };
    storeValue("KvPoolFront", "new");
    return 11;
  });
  char byte = 0;
  ASSERT_EQ(read(moving[0], &byte, 1), 1);
  kill(writer, SIGKILL);
  EXPECT_EQ(waitChild(writer), 128 + SIGKILL);
  close(moving[0]);
  close(moving[1]);

  markTrace();
  ASSERT_EQ(storeKvPoolToFile(), 0);
  EXPECT_NE(traceSinceMark().find("  storeKvPoolToFile: an interrupted store was undone\n"),
            std::string::npos)
      << traceSinceMark();
  const std::string snapshot = readFile(kSnapshot);
  EXPECT_EQ(kvpool::findPoolImageDamage(reinterpret_cast<const unsigned char*>(snapshot.data()),
                                        static_cast<int32_t>(snapshot.size())),
            -1);
  detachKvPool();
  ASSERT_TRUE(attachNode());
  ASSERT_EQ(initKvPoolFromFile(), 0);
  EXPECT_EQ(getValue("KvPoolFront"), "f");
  EXPECT_EQ(getValue("KvPoolLong"), std::string(3000, 'l'));
}

// A writer killed while appending into the empty pool left its store
// pending: a load settles it first, so no later repair empties the pool.
TEST_F(PoolSnapshotTest, ALoadSettlesAStoreAKilledWriterLeftPending) {
  const std::function<int()> loads[] = {
      [] { return initKvPoolFromFile(); },
      [] {  // kvpool load
        kvpool::OpenedPool pool;
        if (!pool.open(kvpool::findPoolIds(), kvpool::OpenedPool::Mode::kReadWrite)) return -1;
        return kvpool::loadPoolFromFile(pool.view(), kvpool::SnapshotFit::kUpToCapacity);
      },
  };
  for (const auto& load : loads) {
    SetUp();
    writeFile(kSnapshot, snapshotOf({{"KvPoolA", "alpha"}, {"KvPoolB", "beta"}}));
    ASSERT_TRUE(attachNode());
    ASSERT_EQ(runChild([] {
                if (!attachNode()) return 10;
                kvpool::journalStepHook = [](int step) {
                  if (step == kvpool::kStepRecordWritten) raise(SIGKILL);
                };
                storeValue("KvPoolCut", "short");
                return 11;
              }),
              128 + SIGKILL);
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(getValue("KvPoolA"), "alpha");
    EXPECT_EQ(getValue("KvPoolCut"), std::nullopt);
    EXPECT_EQ(poolHeader().blockCount, 2);
    detachKvPool();
    TearDown();
  }
}

// Files whose header's usedSize equals their size but whose chain does not
// add up are refused before the pool is touched.
TEST_F(PoolSnapshotTest, LoadRefusesAChainThatDoesNotAddUp) {
  const std::string good = saveThreeRecords();  // records at 12, 38 and 63
  detachKvPool();
  struct Damage {
    const char* what;
    size_t offset;
    int32_t value;
  };
  const Damage cases[] = {
      {"second record longer", 38, 40},    {"second record shorter", 38, 5},
      {"negative key length", 38 + 4, -1}, {"count above the records", 4, 4},
      {"count below the records", 4, 2},   {"value length past the end", 63 + 8, 1000},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    std::string bytes = good;
    pokeInt(bytes, d.offset, d.value);
    writeFile(kSnapshot, bytes);
    ASSERT_TRUE(attachNode());
    const int loadedBefore = eventCount(13);
    EXPECT_EQ(initKvPoolFromFile(), 1);
    EXPECT_EQ(poolHeader().usedSize, 12);
    EXPECT_EQ(poolHeader().blockCount, 0);
    EXPECT_EQ(eventCount(13), loadedBefore);
    detachKvPool();
  }
  writeFile(kSnapshot, good);
  ASSERT_TRUE(attachNode());
  EXPECT_EQ(initKvPoolFromFile(), 0);
  EXPECT_EQ(poolImage(), good);
}

// Snapshots whose records are each sound but that break the pool's rules
// (after loading a key twice, a store replaces one copy and a get returns
// the other) are refused whole, as damaged ones are.
TEST_F(PoolSnapshotTest, LoadRefusesSnapshotsThatBreakThePoolsRules) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> records;
    size_t nulAt;  // a byte made NUL after writing, or 0
    int32_t damageAt;
  };
  const Case cases[] = {
      {"the same key twice", {{"KvPoolA", "1"}, {"KvPoolB", "2"}, {"KvPoolA", "3"}}, 0, 56},
      {"a key of 256 bytes", {{"KvPoolA", "1"}, {"KvPool" + std::string(250, 'k'), "v"}}, 0, 34},
      {"a NUL inside a key", {{"KvPoolA", "1"}, {"KvPoolB", "2"}}, 34 + 12 + 3, 34},
      {"a NUL inside a value", {{"KvPoolA", "1"}, {"KvPoolB", "22"}}, 34 + 12 + 8, 34},
      {"an empty key", {{"KvPoolA", "1"}, {"", "2"}}, 0, 34},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = snapshotOf(c.records);
    if (c.nulAt != 0) bytes[c.nulAt] = '\0';
    writeFile(kSnapshot, bytes);
    ASSERT_TRUE(attachNode());
    markTrace();
    EXPECT_EQ(initKvPoolFromFile(), 1);
    EXPECT_EQ(poolHeader().usedSize, 12);
    EXPECT_EQ(eventCount(13), 0);
    EXPECT_NE(traceSinceMark().find("  >initKvPoolFromFile: damaged record at offset " +
                                    std::to_string(c.damageAt) + "\n"),
              std::string::npos)
        << traceSinceMark();
    detachKvPool();
  }
  writeFile(kSnapshot, snapshotOf({{"KvPool" + std::string(249, 'k'), "v"}, {"KvPoolB", "2"}}));
  ASSERT_TRUE(attachNode());
  EXPECT_EQ(initKvPoolFromFile(), 0) << "a key of 255 bytes is the pool's own";
  EXPECT_EQ(getValue("KvPoolB"), "2");
}

TEST_F(PoolSnapshotTest, LoadDoesNotFollowALink) {
  const std::string good = saveThreeRecords();
  detachKvPool();
  ASSERT_EQ(rename(kSnapshot, "/tmp/elsewhere.bin"), 0);
  ASSERT_EQ(symlink("/tmp/elsewhere.bin", kSnapshot), 0);
  ASSERT_TRUE(attachNode());
  markTrace();
  EXPECT_EQ(initKvPoolFromFile(), 1);
  EXPECT_NE(traceSinceMark().find("  > File KvPoolData.bin does not exist or could not be opened"),
            std::string::npos);
  EXPECT_EQ(poolHeader().usedSize, 12);
}

TEST_F(PoolSnapshotTest, LoadRejectsUnusableFilesAndLeavesFullPoolsAlone) {
  ASSERT_TRUE(attachNode());
  // No file: the failure text has no line end of its own.
  markTrace();
  EXPECT_EQ(initKvPoolFromFile(), 1);
  EXPECT_EQ(traceSinceMark(),
            "-->initKvPoolFromFile\n  > File KvPoolData.bin does not exist or could not be opened");
  // A snapshot of an empty pool.
  EXPECT_EQ(storeKvPoolToFile(), 0);
  EXPECT_EQ(readFile(kSnapshot).size(), 12u);
  EXPECT_EQ(initKvPoolFromFile(), 1);
  detachKvPool();

  const std::string good = saveThreeRecords();
  detachKvPool();
  ASSERT_TRUE(attachNode());
  writeFile(kSnapshot, good + "x");
  EXPECT_EQ(initKvPoolFromFile(), 1);
  writeFile(kSnapshot, good.substr(0, good.size() - 1));
  EXPECT_EQ(initKvPoolFromFile(), 1);
  EXPECT_EQ(poolHeader().usedSize, 12);

  // A pool that holds a record is never overwritten.
  writeFile(kSnapshot, good);
  ASSERT_EQ(storeValue("KvPoolOwn", "mine"), KVPOOL_OK);
  const std::string before = poolImage();
  const int loadedBefore = eventCount(13);
  markTrace();
  EXPECT_EQ(initKvPoolFromFile(), 0);
  EXPECT_EQ(poolImage(), before);
  EXPECT_EQ(eventCount(13), loadedBefore);
  EXPECT_NE(traceSinceMark().find("  Shared Memory updated with the file contents\n"),
            std::string::npos);
}

// The exported load takes only a snapshot smaller than the pool; kvpool's
// also one that fills it, as the save of a full pool writes it.
TEST_F(PoolSnapshotTest, SnapshotFillingThePoolIsLoadedByKvpoolOnly) {
  ASSERT_TRUE(attachNode());
  // usedSize 4096 = the capacity, one record.
  std::string bytes = snapshotOf({{"KvPoolK", std::string(4096 - 12 - 12 - 8 - 1, 'v')}});
  ASSERT_EQ(bytes.size(), 4096u);
  writeFile(kSnapshot, bytes);
  EXPECT_EQ(initKvPoolFromFile(), 0);
  EXPECT_EQ(poolHeader().usedSize, 12);
  EXPECT_EQ(eventCount(13), 0);
  kvpool::OpenedPool pool;
  ASSERT_TRUE(pool.open(kvpool::findPoolIds(), kvpool::OpenedPool::Mode::kReadWrite));
  EXPECT_EQ(kvpool::loadPoolFromFile(pool.view(), kvpool::SnapshotFit::kUpToCapacity), 0);
  EXPECT_EQ(poolImage(), bytes);
}

// The segment may be smaller than the loading process's capacity.
TEST_F(PoolSnapshotTest, LoadIsBoundedByTheRealSegment) {
  setenv("KVPOOL_MEMORY_PAGES", "2", 1);
  ASSERT_TRUE(attachNode());
  const std::string value(1000, 'w');
  for (int i = 0; i < 5; ++i) ASSERT_EQ(storeValue("KvPoolWide" + std::to_string(i), value), 0);
  ASSERT_EQ(storeKvPoolToFile(), 0);
  const size_t saved = readFile(kSnapshot).size();
  ASSERT_GT(saved, 4096u);
  detachKvPool();

  // A one-page pool, created by a process without the variable that stays.
  unsetenv("KVPOOL_MEMORY_PAGES");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t owner = startChild([&] {
    if (!attachNode()) return 10;
    char byte = 'x';
    if (write(ready[1], &byte, 1) != 1) return 11;
    pause();
    return 0;
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  setenv("KVPOOL_MEMORY_PAGES", "2", 1);
  const int status = runChild([] {
    if (!attachNode() || getKvPoolCapacity() != 4096) return 10;
    if (initKvPoolFromFile() != 0) return 11;
    return poolHeader().usedSize == 12 ? 0 : 12;
  });
  EXPECT_EQ(status, 0) << (status == 128 + SIGSEGV ? "wrote past the segment" : "");
  kill(owner, SIGKILL);
  waitChild(owner);
  close(ready[0]);
  close(ready[1]);
}

TEST_F(PoolSnapshotTest, SaveAndLoadNeedAMapping) {
  EXPECT_EQ(storeKvPoolToFile(), 1);
  EXPECT_FALSE(fileExists(kSnapshot));
  EXPECT_EQ(initKvPoolFromFile(), 1);
}

}  // namespace
