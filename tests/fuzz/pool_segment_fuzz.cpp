// Get, store and save on a segment holding anything: another process may
// have written any bytes into it, or created it at another size. The input
// is SHAPE SIZE_LO SIZE_HI BYTES...: SHAPE's bit 0 picks the capacity the
// process was configured with (1 or 2 pages), bits 1-2 the segment's size
// (4096, 8192, or 12 + SIZE % 8181 bytes); BYTES fill the segment from its
// start, the rest stays zero. The segment is a heap block of exactly its size,
// so a read or write outside it is caught. Gets and stores must stay inside
// it, never crash, and a store that succeeds must leave a sound pool in
// which the stored key reads back its value.
#include <sys/ipc.h>
#include <sys/sem.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "fuzz_support.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"

namespace {

constexpr std::size_t kShapeBytes = 3;
constexpr int32_t kMaxOddSize = 8192;
// Keys taken from the segment's own records, so that gets and stores meet them.
constexpr int kFoundKeys = 3;

kvbroker::Broker* broker = nullptr;
int semaphores = -1;

// The keys of the first records that can be read, damaged or not.
std::vector<std::string> keysIn(const unsigned char* base, int32_t bytes) {
  std::vector<std::string> keys;
  const PoolControl header = kvpool::readPoolControl(base);
  const int32_t end = std::min(header.usedSize, bytes);
  int32_t offset = kvpool::kPoolHeaderBytes;
  while (static_cast<int>(keys.size()) < kFoundKeys && offset < end) {
    const kvpool::PoolRecord record = kvpool::readPoolRecord(base, offset, end);
    if (!record.followable() || (record.faults & kvpool::kFaultLengthSum) != 0) break;
    if ((record.faults & (kvpool::kFaultKeyLength | kvpool::kFaultValueLength)) == 0) {
      keys.emplace_back(record.keyText(base));
    }
    offset = record.next();
  }
  return keys;
}

// How many sound records of the chain hold key.
int recordsOf(const kvpool::PoolView& pool, const std::string& key) {
  const PoolControl header = kvpool::readPoolControl(pool.base);
  int count = 0;
  kvpool::walkPoolChain(pool.base, header.blockCount, header.usedSize,
                        [&](const kvpool::PoolRecord& record) {
                          count += record.keyText(pool.base) == key &&
                                   record.header.keyLength == static_cast<int32_t>(key.size() + 1);
                          return false;
                        });
  return count;
}

void checkGet(const kvpool::PoolView& pool, const std::string& key) {
  PoolBlockRequest request{};
  const int rc = kvpool::getPoolValue(pool, &request, key.c_str());
  KVFUZZ_CHECK(rc == KVPOOL_OK || rc == KVPOOL_KEY_NOT_FOUND, "get result %d", rc);
  if (rc != KVPOOL_OK) return;
  KVFUZZ_CHECK(request.valueLength >= 1 && request.value[request.valueLength - 1] == '\0',
               "a value of %d bytes came back unterminated", request.valueLength);
  std::free(request.value);
}

void checkStore(const kvpool::PoolView& pool, const std::string& key, const std::string& value) {
  PoolBlockRequest request{};
  request.key = const_cast<char*>(key.c_str());
  request.value = const_cast<char*>(value.c_str());
  const int rc = kvpool::storePoolValue(pool, &request);
  KVFUZZ_CHECK(rc == KVPOOL_OK || rc == KVPOOL_POOL_FULL, "store result %d", rc);
  if (rc != KVPOOL_OK) return;
  const kvpool::PoolDamage damage = kvpool::checkPoolImage(pool.base, pool.capacity);
  KVFUZZ_CHECK(!damage.found(), "a store left damage at offset %d: %s", damage.offset,
               damage.reason.c_str());
  // A key the fuzzed bytes already held twice may read back the older copy.
  if (recordsOf(pool, key) != 1) return;
  PoolBlockRequest read{};
  KVFUZZ_CHECK(kvpool::getPoolValue(pool, &read, key.c_str()) == KVPOOL_OK && value == read.value,
               "the key stored last does not read back its value");
  std::free(read.value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvfuzz::boundTrace();
  static kvbroker::Broker instance;
  broker = &instance;
  // A set of the pool's kind for the locks, of this process alone.
  semaphores = semget(IPC_PRIVATE, 3, IPC_CREAT | 0600);
  KVFUZZ_CHECK(semaphores != -1, "no semaphore set could be made");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < kShapeBytes) return 0;
  const int pages = 1 + (data[0] & 1);
  int32_t segmentBytes = 0;
  switch ((data[0] >> 1) & 3) {
    case 0:
      segmentBytes = KVPOOL_PAGE_SIZE;
      break;
    case 1:
      segmentBytes = 2 * KVPOOL_PAGE_SIZE;
      break;
    default:
      segmentBytes = kvpool::kPoolHeaderBytes + (data[1] | data[2] << 8) % (kMaxOddSize - 11);
      break;
  }
  auto* base = static_cast<unsigned char*>(std::calloc(1, static_cast<std::size_t>(segmentBytes)));
  std::memcpy(base, data + kShapeBytes,
              std::min(size - kShapeBytes, static_cast<std::size_t>(segmentBytes)));

  kvpool::PoolView pool;
  pool.base = base;
  pool.segmentBytes = segmentBytes;
  pool.capacity = std::min(pages * KVPOOL_PAGE_SIZE, segmentBytes);
  pool.semaphores = semaphores;

  std::vector<std::string> keys = keysIn(base, segmentBytes);
  keys.push_back("KvPoolA");
  for (const std::string& key : keys) checkGet(pool, key);
  KVFUZZ_CHECK(kvpool::savePoolToFile(pool) <= 1, "save result out of range");
  checkStore(pool, keys.front(), "replaced");
  checkStore(pool, "KvPoolA", "a value");
  checkStore(pool, "KvPoolB", std::string(300, 'b'));
  for (const std::string& key : keys) checkGet(pool, key);

  std::free(base);
  broker->clearEvents();
  return 0;
}
