// Records in the shared segment: layout, pool-full limits, replacement, and
// what get and store do with a damaged chain or a segment smaller than the
// caller's capacity.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

unsigned char* poolBytes() {
  return static_cast<unsigned char*>(hKvMemView);
}

void pokeInt(int32_t offset, int32_t value) {
  std::memcpy(poolBytes() + offset, &value, 4);
}

struct StoredRecord {
  int32_t offset;
  PoolBlock header;
  std::string key;
  std::string value;
};

// The records as they lie in the segment, trusting the header.
std::vector<StoredRecord> poolRecords() {
  std::vector<StoredRecord> records;
  const PoolControl header = poolHeader();
  int32_t offset = 12;
  for (int32_t i = 0; i < header.blockCount; ++i) {
    StoredRecord record{offset, {}, {}, {}};
    std::memcpy(&record.header, poolBytes() + offset, sizeof record.header);
    const char* text = reinterpret_cast<const char*>(poolBytes() + offset + 12);
    record.key = text;
    record.value = text + record.header.keyLength;
    records.push_back(record);
    offset += record.header.blockSize;
  }
  return records;
}

bool chainIsSound() {
  return kvpool::findPoolImageDamage(poolBytes(), getKvPoolSegmentSize()) == -1;
}

class PoolBlockStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetPoolState();
    ASSERT_TRUE(attachNode());
    markTrace();
  }
  void TearDown() override {
    forgetPoolHandles();
    removePoolObjects();
  }
  void markTrace() { traceMark_ = readFile(kTracePath).size(); }
  std::string traceSinceMark() const { return readFile(kTracePath).substr(traceMark_); }
  bool traced(const std::string& line) const {
    return traceSinceMark().find(line) != std::string::npos;
  }

  kvbroker::Broker broker_;

 private:
  size_t traceMark_ = 0;
};

TEST_F(PoolBlockStoreTest, GetFromEmptyPoolMissesAndLeavesTheRequestAlone) {
  PoolBlockRequest request{};
  char sentinel[] = "untouched";
  request.value = sentinel;
  EXPECT_EQ(getKvPoolDataBlock(&request, "KvPoolNone"), KVPOOL_KEY_NOT_FOUND);
  EXPECT_EQ(request.value, sentinel);
  EXPECT_EQ(request.blockSize, 0);
  EXPECT_EQ(traceSinceMark(),
            "-->getKvPoolDataBlock\n-->sem_RLock\n  getKvPoolDataBlock-0 blocks\n"
            "  Key Not FOUND?\n-->sem_RUnLock\n");
}

TEST_F(PoolBlockStoreTest, FirstRecordLiesBehindTheHeaderWithItsLengths) {
  PoolBlockRequest request{};
  char key[] = "KvPoolK";
  char value[] = "v";
  request.key = key;
  request.value = value;
  ASSERT_EQ(storeKvPoolDataBlock(&request), KVPOOL_OK);
  EXPECT_EQ(request.keyLength, 8);
  EXPECT_EQ(request.valueLength, 2);
  EXPECT_EQ(request.blockSize, 22);
  const PoolControl header = poolHeader();
  EXPECT_EQ(header.totalSize, 4096);
  EXPECT_EQ(header.blockCount, 1);
  EXPECT_EQ(header.usedSize, 34);
  const unsigned char expected[] = {22, 0,   0,   0,   8,   0,   0,   0,   2, 0,   0,
                                    0,  'K', 'v', 'P', 'o', 'o', 'l', 'K', 0, 'v', 0};
  EXPECT_EQ(std::memcmp(poolBytes() + 12, expected, sizeof expected), 0);
  EXPECT_TRUE(traced("  ####Shm Control 0 12\n"));
  EXPECT_TRUE(traced("  Used Pool Memory 12 out of 4096. Want to insert 22 bytes\n"));
  EXPECT_TRUE(traced("  22 8 2 [KvPoolK] [v]\n"));

  PoolBlockRequest found{};
  ASSERT_EQ(getKvPoolDataBlock(&found, "KvPoolK"), KVPOOL_OK);
  EXPECT_EQ(found.blockSize, 22);
  EXPECT_STREQ(found.value, "v");
  found.value[0] = 'X';  // a copy: the pool keeps its value
  std::free(found.value);
  EXPECT_EQ(getValue("KvPoolK"), "v");

  // A value with a NUL inside (written by anyone) reads up to it, lengths too.
  ASSERT_EQ(storeValue("KvPoolN", "abc"), KVPOOL_OK);
  poolBytes()[34 + 12 + 8 + 1] = '\0';
  PoolBlockRequest cut{};
  ASSERT_EQ(getKvPoolDataBlock(&cut, "KvPoolN"), KVPOOL_OK);
  EXPECT_STREQ(cut.value, "a");
  EXPECT_EQ(cut.valueLength, 2);
  EXPECT_EQ(cut.blockSize, 22);
  std::free(cut.value);
}

TEST_F(PoolBlockStoreTest, RecordEndingExactlyAtCapacityFitsAndOneByteMoreIsRefused) {
  const std::string key = "KvPoolFill";  // keyLength 11: 12 + 11 + valueLength
  const std::string exact(4096 - 12 - 12 - 11 - 1, 'x');
  EXPECT_EQ(storeValue(key, exact + "y"), KVPOOL_POOL_FULL);
  EXPECT_TRUE(traced("  >>>>>>>Pool Full\n  ####Saving control(memory full) 0 12\n"));
  EXPECT_EQ(poolHeader().usedSize, 12);
  EXPECT_EQ(poolHeader().blockCount, 0);
  EXPECT_EQ(storeValue(key, exact), KVPOOL_OK);
  EXPECT_EQ(poolHeader().usedSize, 4096);
  EXPECT_EQ(getValue(key), exact);
  EXPECT_EQ(storeValue("KvPoolMore", ""), KVPOOL_POOL_FULL);
}

TEST_F(PoolBlockStoreTest, ReplacementMovesTheRecordToTheEndAndKeepsTheCount) {
  ASSERT_EQ(storeValue("KvPoolA", "1"), KVPOOL_OK);
  ASSERT_EQ(storeValue("KvPoolB", "22"), KVPOOL_OK);
  ASSERT_EQ(storeValue("KvPoolC", "333"), KVPOOL_OK);
  const int32_t usedBefore = poolHeader().usedSize;
  ASSERT_EQ(storeValue("KvPoolA", "longer"), KVPOOL_OK);
  const auto records = poolRecords();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].key, "KvPoolB");
  EXPECT_EQ(records[0].offset, 12);
  EXPECT_EQ(records[1].key, "KvPoolC");
  EXPECT_EQ(records[2].key, "KvPoolA");
  EXPECT_EQ(records[2].value, "longer");
  EXPECT_EQ(poolHeader().usedSize, usedBefore + 5);
  EXPECT_EQ(getValue("KvPoolA"), "longer");
  EXPECT_EQ(getValue("KvPoolB"), "22");
  EXPECT_EQ(getValue("KvPoolC"), "333");
}

TEST_F(PoolBlockStoreTest, FullPoolTakesAShorterReplacementButNotALongerOne) {
  // Two records filling the pool exactly.
  const std::string value(2000, 'a');
  ASSERT_EQ(storeValue("KvPoolOne", value), KVPOOL_OK);
  const std::string rest(4096 - poolHeader().usedSize - 12 - 10 - 1, 'b');
  ASSERT_EQ(storeValue("KvPoolTwo", rest), KVPOOL_OK);
  ASSERT_EQ(poolHeader().usedSize, 4096);

  EXPECT_EQ(storeValue("KvPoolNew", "z"), KVPOOL_POOL_FULL);
  EXPECT_EQ(storeValue("KvPoolOne", value + "c"), KVPOOL_POOL_FULL);
  EXPECT_TRUE(traced("  >>>> Key Found!! Pool Full\n"));
  EXPECT_EQ(getValue("KvPoolOne"), value);
  EXPECT_EQ(poolHeader().usedSize, 4096);
  EXPECT_EQ(storeValue("KvPoolOne", "short"), KVPOOL_OK);
  EXPECT_EQ(getValue("KvPoolOne"), "short");
  EXPECT_EQ(getValue("KvPoolTwo"), rest);
  EXPECT_EQ(poolHeader().blockCount, 2);
}

TEST_F(PoolBlockStoreTest, EmptyValuesAndKeysDifferingInCaseAreKeptApart) {
  ASSERT_EQ(storeValue("KvPoolCase", ""), KVPOOL_OK);
  ASSERT_EQ(storeValue("KvPoolcase", "lower"), KVPOOL_OK);
  PoolBlockRequest request{};
  ASSERT_EQ(getKvPoolDataBlock(&request, "KvPoolCase"), KVPOOL_OK);
  EXPECT_EQ(request.valueLength, 1);
  EXPECT_EQ(request.blockSize, 12 + 11 + 1);
  EXPECT_STREQ(request.value, "");
  std::free(request.value);
  EXPECT_EQ(getValue("KvPoolcase"), "lower");
  EXPECT_EQ(poolHeader().blockCount, 2);
}

// No snapshot can hold a key that is empty or longer than 255 bytes, so a
// store refuses it; one that another writer left is still matched whole.
TEST_F(PoolBlockStoreTest, KeysOutsideOneTo255BytesAreRefusedYetLongOnesFoundWhole) {
  const std::string longKey = "KvPool" + std::string(300, 'k');
  for (const std::string& key : {std::string(), std::string(256, 'k'), longKey}) {
    EXPECT_EQ(storeValue(key, "v"), KVPOOL_KEY_REFUSED) << key.size() << " bytes";
  }
  EXPECT_EQ(poolHeader().blockCount, 0);
  EXPECT_EQ(storeValue(std::string(255, 'k'), "v"), KVPOOL_OK);

  const std::string twin = longKey.substr(0, 256) + std::string(50, 't');
  int32_t offset = poolHeader().usedSize;
  for (const auto& [key, value] : {std::pair{longKey, "first"}, std::pair{twin, "twin"}}) {
    offset += kvpool::writePoolRecord(poolBytes(), offset, key.c_str(),
                                      static_cast<int32_t>(key.size() + 1), value,
                                      static_cast<int32_t>(std::strlen(value) + 1));
  }
  kvpool::writePoolControl(poolBytes(), {poolHeader().totalSize, 3, offset});
  EXPECT_EQ(getValue(longKey), "first");
  EXPECT_EQ(getValue(twin), "twin");
  EXPECT_EQ(getValue(longKey.substr(0, 256)), std::nullopt);
}

// The segment a process maps may be smaller than its own capacity: another
// process with fewer pages created it.
TEST_F(PoolBlockStoreTest, LargerCapacityThanTheSegmentNeverWritesPastIt) {
  const int status = runChild([] {
    setenv("KVPOOL_MEMORY_PAGES", "4", 1);
    if (!attachNode()) return 10;
    if (noOfPoolPages != 4 || getKvPoolCapacity() != 4096) return 11;
    const std::string value(500, 'v');
    int stored = 0;
    while (storeValue("KvPoolBig" + std::to_string(stored), value) == KVPOOL_OK) ++stored;
    if (stored != 7) return 12;  // 7 records of 524 bytes fit in 4096
    for (int i = 0; i < stored; ++i) {
      if (getValue("KvPoolBig" + std::to_string(i)) != value) return 13;
    }
    return 0;
  });
  EXPECT_EQ(status, 0) << (status == 128 + SIGSEGV ? "wrote past the segment" : "");
  EXPECT_LE(poolHeader().usedSize, 4096);
  EXPECT_TRUE(chainIsSound());
}

// A process joining an existing pool stores up to the segment's real size,
// whatever its own KVPOOL_MEMORY_PAGES says.
TEST_F(PoolBlockStoreTest, JoinerTakesItsCapacityFromTheSegmentNotFromItsPages) {
  struct Case {
    const char* creatorPages;
    const char* joinerPages;  // null: unset
    int used;                 // bytes the creator fills before the joiner comes
  };
  const Case cases[] = {
      {"2", nullptr, 6000},
      {"5000", nullptr, 102400},  // 0.5% of the pool
      {"3", "1", 9000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.creatorPages);
    forgetPoolHandles();
    removePoolObjects();
    setenv("KVPOOL_MEMORY_PAGES", c.creatorPages, 1);
    ASSERT_TRUE(attachNode());
    const int32_t segmentBytes = std::atoi(c.creatorPages) * 4096;
    for (int i = 0; poolHeader().usedSize < c.used; ++i) {
      ASSERT_EQ(storeValue("KvPoolWide" + std::to_string(i), std::string(1000, 'w')), KVPOOL_OK);
    }
    EXPECT_EQ(runChild([&] {
                if (c.joinerPages == nullptr) {
                  unsetenv("KVPOOL_MEMORY_PAGES");
                } else {
                  setenv("KVPOOL_MEMORY_PAGES", c.joinerPages, 1);
                }
                if (!attachNode() || getKvPoolCapacity() != segmentBytes) return 10;
                if (storeValue("KvPoolNarrow", "x") != KVPOOL_OK) return 11;
                // The last byte of the segment is still the joiner's to fill.
                const int32_t rest = segmentBytes - poolHeader().usedSize - 12 - 11 - 1;
                if (storeValue("KvPoolRest", std::string(rest, 'r')) != KVPOOL_OK) return 12;
                if (poolHeader().usedSize != segmentBytes) return 13;
                return getValue("KvPoolWide0") == std::string(1000, 'w') ? 0 : 14;
              }),
              0);
    detachKvPool();
  }
}

// Each case damages a pool of three records (at offsets 12, 34 and 56, used
// 78): the record before the damage is still found, nothing behind it is read,
// the scan ends with a trace line, and the next store cuts the pool back to
// its sound records and works again.
TEST_F(PoolBlockStoreTest, DamagedChainEndsTheScanAndTheNextStoreRepairsIt) {
  struct Damage {
    const char* what;
    int32_t offset;
    int32_t value;
    int32_t damageAt;
    int soundRecords;
  };
  const Damage cases[] = {
      {"blockSize 0 and a huge count", 34, 0, 34, 1},
      {"blockSize beyond the segment", 34, 0x7fff0000, 34, 1},
      {"negative keyLength", 34 + 4, -5, 34, 1},
      {"keyLength beyond the record", 34 + 4, 300, 34, 1},
      {"valueLength beyond usedSize", 34 + 8, 100000, 34, 1},
      {"count above the records", 4, 4, 78, 3},
      {"count below the records", 4, 2, 56, 2},
      {"usedSize beyond the segment", 8, 1000000, 78, 3},
      {"negative count", 4, -1, 12, 0},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    std::memset(poolBytes(), 0, 4096);
    initKvPoolMemory();
    ASSERT_EQ(storeValue("KvPoolA", "1"), KVPOOL_OK);
    ASSERT_EQ(storeValue("KvPoolB", "2"), KVPOOL_OK);
    ASSERT_EQ(storeValue("KvPoolC", "3"), KVPOOL_OK);
    ASSERT_EQ(poolHeader().usedSize, 78);
    pokeInt(d.offset, d.value);
    if (d.offset == 34) pokeInt(4, INT32_MAX);
    markTrace();

    if (d.soundRecords >= 1) {
      EXPECT_EQ(getValue("KvPoolA"), "1");
    }
    EXPECT_EQ(getValue("KvPoolMissing"), std::nullopt);
    EXPECT_TRUE(traced("  >getKvPoolDataBlock: damaged record at offset " +
                       std::to_string(d.damageAt) + "\n"))
        << traceSinceMark();

    if (d.offset == 8) {
      // More used than this process can hold: stores are refused.
      EXPECT_EQ(storeValue("KvPoolD", "4"), KVPOOL_POOL_FULL);
      continue;
    }
    ASSERT_EQ(storeValue("KvPoolD", "4"), KVPOOL_OK);
    EXPECT_TRUE(traced("  >storeKvPoolDataBlock: damaged record at offset " +
                       std::to_string(d.damageAt) + "\n"));
    EXPECT_TRUE(chainIsSound());
    EXPECT_EQ(poolHeader().blockCount, d.soundRecords + 1);
    EXPECT_EQ(getValue("KvPoolD"), "4");
    if (d.soundRecords >= 1) {
      EXPECT_EQ(getValue("KvPoolA"), "1");
    }
  }
}

// Only a foreign writer makes a key twice: the second copy is damage, to
// stores and gets as to the image check, so no store leaves a stale copy in
// front of the new value.
TEST_F(PoolBlockStoreTest, KeyStoredTwiceIsDamageAndTheStoreCutsItOff) {
  int32_t offset = 12;
  for (const char* value : {"first", "stale"}) {
    offset += kvpool::writePoolRecord(poolBytes(), offset, "KvPoolA", 8, value,
                                      static_cast<int32_t>(std::strlen(value) + 1));
  }
  kvpool::writePoolControl(poolBytes(), {poolHeader().totalSize, 2, offset});
  markTrace();
  ASSERT_EQ(storeValue("KvPoolA", "new"), KVPOOL_OK);
  EXPECT_TRUE(traced("its key is stored already in an earlier record\n")) << traceSinceMark();
  EXPECT_EQ(getValue("KvPoolA"), "new");
  EXPECT_EQ(poolHeader().blockCount, 1);
  EXPECT_TRUE(chainIsSound());
}

TEST_F(PoolBlockStoreTest, RecordWithoutTerminatorsIsDamaged) {
  ASSERT_EQ(storeValue("KvPoolA", "value"), KVPOOL_OK);
  poolBytes()[12 + 12 + 8 + 5] = 'X';  // the value's NUL
  EXPECT_EQ(getValue("KvPoolA"), std::nullopt);
  EXPECT_TRUE(traced("  >getKvPoolDataBlock: damaged record at offset 12\n"));
  poolBytes()[12 + 12 + 8 + 5] = '\0';
  poolBytes()[12 + 12 + 7] = 'X';  // the key's NUL
  EXPECT_EQ(getValue("KvPoolA"), std::nullopt);
}

// Every operation on a pool whose lock cannot be taken (its set is gone)
// leaves the pool and the snapshot as they are and reports the failure.
TEST_F(PoolBlockStoreTest, OperationsThatCannotTakeTheLockChangeNothingAndFail) {
  ASSERT_EQ(storeValue("KvPoolA", "1"), KVPOOL_OK);
  ASSERT_EQ(storeKvPoolToFile(), 0);
  ASSERT_EQ(kvpool::clearPool(kvpool::processPoolView()), KVPOOL_OK);
  broker_.clearEvents();
  const std::string snapshot = readFile("/tmp/KvPoolData.bin");
  const std::string image(reinterpret_cast<const char*>(poolBytes()), 4096);
  kvpool::PoolView pool = kvpool::processPoolView();
  pool.semaphores = semget(IPC_PRIVATE, 3, 0600);
  ASSERT_EQ(semctl(pool.semaphores, 0, IPC_RMID), 0);
  std::string key = "KvPoolA", value = "2";
  PoolBlockRequest request{};
  request.key = key.data();
  request.value = value.data();
  struct Case {
    const char* what;
    std::function<int()> call;
    int result;
  };
  const Case cases[] = {
      {"get", [&] { return kvpool::getPoolValue(pool, &request, "KvPoolA"); }, 5},
      {"store", [&] { return kvpool::storePoolValue(pool, &request); }, 5},
      {"remove", [&] { return kvpool::removePoolValue(pool, "KvPoolA"); }, 5},
      {"clear", [&] { return kvpool::clearPool(pool); }, 5},
      {"save", [&] { return kvpool::savePoolToFile(pool); }, 1},
      {"load", [&] { return kvpool::loadPoolFromFile(pool, kvpool::SnapshotFit::kBelowCapacity); },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    markTrace();
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(poolBytes()), 4096), image);
    EXPECT_EQ(readFile("/tmp/KvPoolData.bin"), snapshot);
    EXPECT_STREQ(getKvPoolUnavailableText(), "semop(): Invalid argument");
    EXPECT_TRUE(traced("semop() failed\n")) << traceSinceMark();
  }
  for (const auto& event : broker_.events()) {
    EXPECT_NE(event.messageNumber, 13) << "nothing was loaded";
    EXPECT_NE(event.messageNumber, 14) << "nothing was saved";
  }
}

// One byte at a time between processes.
class Signal {
 public:
  Signal() {
    if (pipe(fds_) != 0) std::abort();
  }
  ~Signal() {
    close(fds_[0]);
    close(fds_[1]);
  }
  void send() const {
    if (write(fds_[1], "x", 1) != 1) std::abort();
  }
  void receive() const {
    char byte = 0;
    while (read(fds_[0], &byte, 1) == -1 && errno == EINTR) {
    }
  }

 private:
  int fds_[2];
};

const Signal* writerMoving = nullptr;

void awaitZeroWaiters(int count) {
  const int set = semget(KVPOOL_SEM_KEY, 0, 0);
  while (semctl(set, 0, GETZCNT) < count) usleep(1000);
}

// A writer is killed in the middle of a replacement while a reader waits for
// the lock behind it: the reader gets the lock with the store half done, puts
// it right, and only then reads.
TEST_F(PoolBlockStoreTest, ReaderWaitingWhileAWriterIsKilledMidStoreReadsARepairedPool) {
  // A short record in front of a long one: its replacement moves the long one
  // in many chunks.
  ASSERT_EQ(storeValue("KvPoolFront", "f"), KVPOOL_OK);
  ASSERT_EQ(storeValue("KvPoolLong", std::string(3000, 'l')), KVPOOL_OK);
  ASSERT_EQ(storeValue("KvPoolLast", "last"), KVPOOL_OK);
  Signal writerReady, writerGo, moving, readerReady, readerGo;
  writerMoving = &moving;
  const pid_t writer = startChild([&] {
    if (!attachNode()) return 10;
    kvpool::journalStepHook = [](int step) {
      if (step != kvpool::kStepChunkMoved) return;
      writerMoving->send();
      pause();
    };
    writerReady.send();
    writerGo.receive();
    storeValue("KvPoolFront", "new");
    return 11;
  });
  const pid_t reader = startChild([&] {
    if (!attachNode()) return 10;
    readerReady.send();
    readerGo.receive();
    return getValue("KvPoolLast") == "last" ? 0 : 12;
  });
  writerReady.receive();
  readerReady.receive();
  sem_WLock();
  writerGo.send();
  awaitZeroWaiters(1);
  readerGo.send();
  awaitZeroWaiters(2);
  sem_WUnLock();  // the writer, first in line, takes the lock
  moving.receive();
  kill(writer, SIGKILL);
  EXPECT_EQ(waitChild(writer), 128 + SIGKILL);
  EXPECT_EQ(waitChild(reader), 0) << "the reader read the half-moved records";
  EXPECT_TRUE(chainIsSound());
  EXPECT_EQ(getValue("KvPoolFront"), "f");
}

}  // namespace
