// Get, store, save, remove and clear on a pool whose shared memory holds anything: another
// process may have written any bytes into the segment or into its store
// journal, or created the segment at another size. The input is
//
//   SHAPE SIZE_LO SIZE_HI [JOURNAL_BYTES JOURNAL...] SEGMENT...
//
// SHAPE's bit 0 picks the capacity the process was configured with (1 or 2
// pages), bits 1-2 the segment's size (4096, 8192, or 12 + SIZE % 8181
// bytes). With bit 3 the pool has a store journal: it is opened as a node
// opens it, then its first JOURNAL_BYTES bytes are overwritten with JOURNAL,
// as another process may do at any time; bit 4 adds this process's key index.
// SEGMENT fills the segment from its start, the rest stays zero.
//
// Both shared blocks are heap blocks of exactly their size, so a read or
// write outside them is caught. Gets and stores must stay inside, never
// crash; a store that succeeds must leave a sound pool in which the stored
// key reads back its value; and a get through the index must answer exactly
// as the scan does.
#include <sys/ipc.h>
#include <sys/sem.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "fuzz_support.h"
#include "pool/KeyIndex.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "pool/StoreJournal.h"

namespace {

constexpr std::size_t kShapeBytes = 3;
constexpr int32_t kMaxOddSize = 8192;
constexpr uint8_t kWithJournal = 1u << 3;
constexpr uint8_t kWithIndex = 1u << 4;
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
  kvpool::walkPoolChain(pool.base, header.blockCount, std::min(header.usedSize, pool.segmentBytes),
                        [&](const kvpool::PoolRecord& record) {
                          count += record.keyText(pool.base) == key &&
                                   record.header.keyLength == static_cast<int32_t>(key.size() + 1);
                          return false;
                        });
  return count;
}

// A get's answer: the value when found.
std::optional<std::string> get(const kvpool::PoolView& pool, const std::string& key) {
  PoolBlockRequest request{};
  const int rc = kvpool::getPoolValue(pool, &request, key.c_str());
  KVFUZZ_CHECK(rc == KVPOOL_OK || rc == KVPOOL_KEY_NOT_FOUND, "get result %d", rc);
  if (rc != KVPOOL_OK) return std::nullopt;
  KVFUZZ_CHECK(request.valueLength >= 1 && request.value[request.valueLength - 1] == '\0',
               "a value of %d bytes came back unterminated", request.valueLength);
  std::string value(request.value);
  std::free(request.value);
  return value;
}

void checkGet(const kvpool::PoolView& pool, const std::string& key) {
  const std::optional<std::string> answer = get(pool, key);
  if (pool.index == nullptr) return;
  kvpool::PoolView scanning = pool;
  scanning.index = nullptr;
  KVFUZZ_CHECK(get(scanning, key) == answer, "the index and the scan disagree on key \"%s\"",
               key.c_str());
}

void checkStore(const kvpool::PoolView& pool, const std::string& key, const std::string& value) {
  PoolBlockRequest request{};
  request.key = const_cast<char*>(key.c_str());
  request.value = const_cast<char*>(value.c_str());
  // Records the fuzzed bytes hold against the key rules (a NUL inside a key,
  // a key twice) are not the store's to mend: only a sound pool must stay so.
  const bool soundBefore = !kvpool::checkPoolImage(pool.base, pool.capacity).found();
  const int rc = kvpool::storePoolValue(pool, &request);
  KVFUZZ_CHECK(rc == KVPOOL_OK || rc == KVPOOL_POOL_FULL, "store result %d", rc);
  // Only a key a script can name (1 to 255 bytes) keeps the image rules.
  const bool nameable = !key.empty() && key.size() <= kvpool::kMaxKeyBytes;
  if (rc != KVPOOL_OK || !soundBefore || !nameable) return;
  const kvpool::PoolDamage damage = kvpool::checkPoolImage(pool.base, pool.capacity);
  KVFUZZ_CHECK(!damage.found(), "a store left damage at offset %d: %s", damage.offset,
               damage.reason.c_str());
  // A key the fuzzed bytes already held twice may read back the older copy.
  if (recordsOf(pool, key) != 1) return;
  KVFUZZ_CHECK(get(pool, key) == value, "the key stored last does not read back its value");
}

// An operator's removal: the key is gone afterwards when it was there once,
// and the pool stays sound.
void checkRemove(const kvpool::PoolView& pool, const std::string& key) {
  const int before = recordsOf(pool, key);
  const bool soundBefore = !kvpool::checkPoolImage(pool.base, pool.segmentBytes).found();
  const int rc = kvpool::removePoolValue(pool, key.c_str());
  KVFUZZ_CHECK(rc == KVPOOL_OK || rc == KVPOOL_KEY_NOT_FOUND, "remove result %d", rc);
  if (rc != KVPOOL_OK || !soundBefore) return;
  const kvpool::PoolDamage damage = kvpool::checkPoolImage(pool.base, pool.segmentBytes);
  KVFUZZ_CHECK(!damage.found(), "a removal left damage at offset %d: %s", damage.offset,
               damage.reason.c_str());
  if (before == 1) {
    KVFUZZ_CHECK(!get(pool, key).has_value(), "key \"%s\" reads back after its removal",
                 key.c_str());
  }
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
  const uint8_t shape = data[0];
  const int pages = 1 + (shape & 1);
  int32_t segmentBytes = 0;
  switch ((shape >> 1) & 3) {
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
  const uint8_t* rest = data + kShapeBytes;
  const uint8_t* end = data + size;

  kvpool::PoolView pool;
  void* companion = nullptr;
  kvpool::KeyIndex index;
  if ((shape & kWithJournal) != 0 && rest < end) {
    // Opened while it is still zero, as the first node maps it; what other
    // processes write into it comes after.
    const std::size_t companionBytes =
        kvpool::journalSegmentBytes(static_cast<std::size_t>(segmentBytes));
    companion = std::calloc(1, companionBytes);
    pool.journal = kvpool::journalOpen(companion, companionBytes);
    KVFUZZ_CHECK(pool.journal != nullptr, "a journal of %zu bytes was refused", companionBytes);
    const std::size_t written =
        std::min({static_cast<std::size_t>(*rest), static_cast<std::size_t>(end - rest - 1),
                  companionBytes});
    std::memcpy(companion, rest + 1, written);
    rest += 1 + written;
    if ((shape & kWithIndex) != 0) pool.index = &index;
  }

  auto* base = static_cast<unsigned char*>(std::calloc(1, static_cast<std::size_t>(segmentBytes)));
  std::memcpy(
      base, rest,
      std::min(static_cast<std::size_t>(end - rest), static_cast<std::size_t>(segmentBytes)));
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
  checkRemove(pool, keys.front());
  checkGet(pool, "KvPoolA");
  KVFUZZ_CHECK(kvpool::clearPool(pool) == 0, "clearing the pool failed");
  const PoolControl cleared = kvpool::readPoolControl(base);
  KVFUZZ_CHECK(cleared.blockCount == 0 && cleared.usedSize == kvpool::kPoolHeaderBytes,
               "a cleared pool holds %d records in %d bytes", cleared.blockCount, cleared.usedSize);

  std::free(base);
  std::free(companion);
  broker->clearEvents();
  return 0;
}
