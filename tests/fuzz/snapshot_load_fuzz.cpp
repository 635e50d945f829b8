// The snapshot loader on fuzzed files: the bytes become /tmp/KvPoolData.bin
// and are loaded into this process's empty pool (initKvPoolFromFile). The
// load must leave a pool that holds only what stores could have made, as
// `kvpool verify` judges it: a sound record chain (checkPoolImage), keys and
// values without inner NULs, keys of at most 255 bytes, each key once. Then
// every loaded key must read back its value, and stores must work on it.
// The pool is emptied after each input.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "broker/Broker.h"
#include "fuzz_support.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"

namespace {

constexpr const char* kSnapshotPath = "/tmp/KvPoolData.bin";
constexpr std::size_t kMaxKeyBytes = 255;
// Gets per input: enough for every record of a small pool.
constexpr int kMaxGets = 64;

kvbroker::Broker* broker = nullptr;

void writeSnapshot(const uint8_t* data, std::size_t size) {
  const int fd = open(kSnapshotPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  KVFUZZ_CHECK(fd >= 0, "cannot write %s", kSnapshotPath);
  KVFUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size), "short write of %s",
               kSnapshotPath);
  close(fd);
}

// The value stored under key, or none (the status says which).
int getValue(const std::string& key, std::string* value) {
  PoolBlockRequest request{};
  const int rc = getKvPoolDataBlock(&request, key.c_str());
  if (rc == KVPOOL_OK) {
    *value = request.value;
    std::free(request.value);
  }
  return rc;
}

// Stores and reads back; a store may only fail when the record cannot fit.
void checkStore(const kvpool::PoolView& pool, const std::string& key, const std::string& value) {
  const PoolControl before = kvpool::readPoolControl(pool.base);
  PoolBlockRequest request{};
  request.key = const_cast<char*>(key.c_str());
  request.value = const_cast<char*>(value.c_str());
  const int rc = storeKvPoolDataBlock(&request);
  const int64_t appended = int64_t{kvpool::kRecordHeaderBytes} + key.size() + value.size() + 2;
  if (rc == KVPOOL_POOL_FULL) {
    KVFUZZ_CHECK(before.usedSize + appended > pool.capacity,
                 "store of %zu bytes refused with %d of %d bytes used", key.size(), before.usedSize,
                 pool.capacity);
    return;
  }
  KVFUZZ_CHECK(rc == KVPOOL_OK, "store result %d", rc);
  std::string stored;
  KVFUZZ_CHECK(getValue(key, &stored) == KVPOOL_OK && stored == value,
               "the key stored last does not read back its value");
  const kvpool::PoolDamage damage = kvpool::checkPoolImage(pool.base, pool.segmentBytes);
  KVFUZZ_CHECK(!damage.found(), "a store damaged the pool at offset %d: %s", damage.offset,
               damage.reason.c_str());
}

// Empty, as a new pool starts: a load only goes into an empty pool.
void emptyPool(const kvpool::PoolView& pool) {
  kvpool::PoolWriteLock lock(pool.semaphores);
  kvpool::writePoolControl(pool.base, {pool.capacity, 0, kvpool::kPoolHeaderBytes});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvfuzz::boundTrace();
  static kvbroker::Broker instance;
  broker = &instance;
  // This process is the pool's one node context, as a broker's first node is.
  KVFUZZ_CHECK(attachKvPool() == 0, "no pool could be made");
  takeKvPoolUserSlot();
  // A pool left by an earlier process of this namespace (libFuzzer's -fork
  // mode runs one after another) may hold what its last input loaded.
  emptyPool(kvpool::processPoolView());
  broker->clearEvents();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const kvpool::PoolView pool = kvpool::processPoolView();
  writeSnapshot(data, size);
  const int rc = initKvPoolFromFile();
  KVFUZZ_CHECK(rc == 0 || rc == 1, "load result %d", rc);

  const PoolControl header = kvpool::readPoolControl(pool.base);
  const kvpool::PoolDamage damage = kvpool::checkPoolImage(pool.base, pool.segmentBytes);
  KVFUZZ_CHECK(!damage.found(), "the loaded pool is damaged at offset %d: %s", damage.offset,
               damage.reason.c_str());
  const bool loaded = header.usedSize > kvpool::kPoolHeaderBytes;
  if (loaded) {
    KVFUZZ_CHECK(rc == 0, "load said %d but changed the pool", rc);
    KVFUZZ_CHECK(static_cast<std::size_t>(header.usedSize) == size &&
                     std::memcmp(pool.base, data, size) == 0,
                 "the pool is not the snapshot's bytes");
  }

  // What `kvpool verify` calls damage beyond the chain itself.
  std::set<std::string, std::less<>> keys;
  int gets = 0;
  kvpool::walkPoolChain(
      pool.base, header.blockCount, header.usedSize, [&](const kvpool::PoolRecord& sound) {
        kvpool::PoolRecord record = sound;
        kvpool::findInnerNuls(pool.base, &record);
        KVFUZZ_CHECK(record.sound(), "record at offset %d holds a NUL inside its %s", record.offset,
                     (record.faults & kvpool::kFaultKeyInnerNul) ? "key" : "value");
        const std::string key(record.keyText(pool.base));
        KVFUZZ_CHECK(key.size() <= kMaxKeyBytes, "record at offset %d has a key of %zu bytes",
                     record.offset, key.size());
        KVFUZZ_CHECK(keys.insert(key).second, "record at offset %d repeats key \"%s\"",
                     record.offset, key.c_str());
        if (gets++ < kMaxGets) {
          std::string value;
          KVFUZZ_CHECK(getValue(key, &value) == KVPOOL_OK && value == record.valueText(pool.base),
                       "key \"%s\" does not read back its loaded value", key.c_str());
        }
        return false;
      });

  checkStore(pool, "KvPoolFuzzProbe", "probe");
  if (!keys.empty()) checkStore(pool, *keys.begin(), "replaced");

  emptyPool(pool);
  unlink(kSnapshotPath);
  broker->clearEvents();
  return 0;
}
