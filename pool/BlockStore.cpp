// Get and store: one pass over the record chain (pool/PoolRecords.h) under
// the pool's lock. Every record is checked before it is used: the segment is
// shared with every process on the machine and may hold anything.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "pool/KeyIndex.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "pool/StoreJournal.h"
#include "support/KvPoolConstants.h"
#include "support/Trace.h"

namespace {

using kvpool::kPoolHeaderBytes;
using kvpool::PoolChainEnd;
using kvpool::PoolRecord;

// The segment's header; one that was never written (usedSize below 12, as in
// a segment just created by another process) is an empty pool.
PoolControl readHeader(const unsigned char* base, int32_t capacity) {
  PoolControl header = kvpool::readPoolControl(base);
  if (header.usedSize < kPoolHeaderBytes) header = {capacity, 0, kPoolHeaderBytes};
  return header;
}

bool keyMatches(const unsigned char* base, const PoolRecord& record, const char* key,
                std::size_t keyLength) {
  return static_cast<std::size_t>(record.header.keyLength) == keyLength &&
         std::memcmp(record.key(base), key, keyLength) == 0;
}

int32_t saturatedLength(std::size_t length) {
  return static_cast<int32_t>(std::min<std::size_t>(length, INT32_MAX));
}

// Removes the record at offset (size bytes): the records behind it move
// down, journaled so that a kill cannot tear them. The header is the
// caller's to write.
void removeRecord(const kvpool::PoolView& pool, PoolControl& header, int32_t offset, int32_t size,
                  int32_t newSize) {
  if (pool.journal == nullptr ||
      !kvpool::journalReplace(pool.journal, pool.base, header, offset, size, newSize)) {
    const int32_t next = offset + size;
    std::memmove(pool.base + offset, pool.base + next,
                 static_cast<std::size_t>(header.usedSize - next));
  }
  header.blockCount -= 1;
  header.usedSize -= size;
}

void finishStore(const kvpool::PoolView& pool) {
  if (pool.journal != nullptr) kvpool::journalFinish(pool.journal);
}

// The get itself, under the read lock.
int readValue(const kvpool::PoolView& pool, PoolBlockRequest* request, const char* key) {
  const unsigned char* base = pool.base;
  const PoolControl header = readHeader(base, pool.capacity);
  Log("  getKvPoolDataBlock-%d blocks\n", header.blockCount);
  // Reads are bounded by the segment itself: a header written by a process
  // with a larger capacity still reads, but never past the segment's end.
  const int32_t end = std::min(header.usedSize, pool.segmentBytes);
  const std::size_t keyLength = std::strlen(key) + 1;
  int32_t found = -1;
  if (pool.index != nullptr) {
    found = pool.index->find(base, header, journalChanges(pool.journal), end, key, keyLength);
    if (found >= 0) std::memcpy(request, base + found, sizeof(PoolBlock));
  }
  // Without an index that vouches for the chain, the scan holds it to the
  // key rules: a key stored twice is damage, and no copy behind it is found.
  kvpool::PoolKeyRules rules(kvpool::PoolKeyRules::Scope::kRepeatsOnly);
  const bool vouched = found < 0 && pool.index != nullptr &&
                       pool.index->vouches(base, header, journalChanges(pool.journal));
  const PoolChainEnd walk =
      found >= 0
          ? PoolChainEnd{}
          : kvpool::walkPoolChain(base, header.blockCount, end, vouched ? nullptr : &rules,
                                  [&](const PoolRecord& record) {
                                    std::memcpy(request, &record.header, sizeof record.header);
                                    if (!keyMatches(base, record, key, keyLength)) {
                                      return false;
                                    }
                                    found = record.offset;
                                    return true;
                                  });
  if (found >= 0) {
    // The request holds the found record's header.
    const auto valueBytes = static_cast<std::size_t>(request->valueLength);
    auto* value = static_cast<char*>(std::malloc(valueBytes));
    if (value == nullptr) {
      Log("  >getKvPoolDataBlock: malloc() failed\n");
      return KVPOOL_KEY_NOT_FOUND;
    }
    std::memcpy(value, base + found + kvpool::kRecordHeaderBytes + request->keyLength, valueBytes);
    request->value = value;
    return KVPOOL_OK;
  }
  if (!walk.reaches(header)) {
    Log("  >getKvPoolDataBlock: damaged record at offset %d\n", walk.offset);
    if (pool.index != nullptr) pool.index->forget();
  }
  Log("  Key Not FOUND?\n");
  return KVPOOL_KEY_NOT_FOUND;
}

// Finds key's record (*found, -1 when absent; *foundSize) through the
// process's key index: true when the index vouches for the chain as it
// stands (sound, no key twice), so that nothing need walk it.
bool findIndexed(const kvpool::PoolView& pool, const PoolControl& header, uint32_t changes,
                 const char* key, std::size_t keyLength, int32_t* found, int32_t* foundSize) {
  if (pool.index == nullptr) return false;
  const int32_t end = std::min(header.usedSize, pool.segmentBytes);
  bool vouched = false;
  *found = pool.index->find(pool.base, header, changes, end, key, keyLength, &vouched);
  if (!vouched) {
    *found = -1;
    return false;
  }
  // find checked the record whole within end.
  if (*found >= 0) std::memcpy(foundSize, pool.base + *found, sizeof *foundSize);
  return true;
}

// One pass over the whole chain: it finds key's record (*found, *foundSize),
// and proves the chain sound before anything is moved or appended behind it,
// holding it to the key rules (a key twice is damage, as checkPoolImage
// says). Damage cuts *header back to the sound records before it, so stores
// work again (nothing behind it can be found again); true when it did.
bool findForStore(unsigned char* base, const char* key, std::size_t keyLength, PoolControl* header,
                  int32_t* found, int32_t* foundSize) {
  kvpool::PoolKeyRules rules(kvpool::PoolKeyRules::Scope::kRepeatsOnly);
  const PoolChainEnd walk = kvpool::walkPoolChain(
      base, header->blockCount, header->usedSize, &rules, [&](const PoolRecord& record) {
        if (*found < 0 && keyMatches(base, record, key, keyLength)) {
          *found = record.offset;
          *foundSize = record.header.blockSize;
        }
        return false;
      });
  if (walk.reaches(*header)) return false;
  Log("  >storeKvPoolDataBlock: damaged record at offset %d\n", walk.offset);
  if ((walk.faults & kvpool::kFaultKeyRepeated) != 0) {
    Log("  >storeKvPoolDataBlock: its key is stored already in an earlier record\n");
  }
  Log("  storeKvPoolDataBlock pool cut back to %d blocks, %d bytes\n", walk.records, walk.offset);
  header->blockCount = walk.records;
  header->usedSize = walk.offset;
  return true;
}

// A lock that cannot be taken leaves the pool untouched and the call failed.
int unavailable(const char* function) {
  Log("  >%s: the pool's lock cannot be taken, nothing done\n", function);
  return KVPOOL_POOL_UNAVAILABLE;
}

// Where a key's record lies; offset -1: the key is not in the pool.
struct KnownRecord {
  int32_t offset = -1;
  int32_t size = 0;
};
using RecordMap = std::unordered_map<std::string, KnownRecord>;

// Every key's record, from one walk of the chain held to the key rules;
// false (records empty) when the chain is not sound up to the header (each
// store then walks, and cuts the damage off, itself).
bool mapRecords(const kvpool::PoolView& pool, RecordMap* records) {
  records->clear();
  const PoolControl header = readHeader(pool.base, pool.capacity);
  if (header.usedSize > pool.capacity) return false;
  kvpool::PoolKeyRules rules(kvpool::PoolKeyRules::Scope::kRepeatsOnly);
  const PoolChainEnd walk = kvpool::walkPoolChain(
      pool.base, header.blockCount, header.usedSize, &rules, [&](const PoolRecord& record) {
        const char* key = record.key(pool.base);
        const auto keyBytes = static_cast<std::size_t>(record.header.keyLength) - 1;
        // emplace, not try_emplace or operator[]: their piecewise
        // construction would export a name of the C++ library's.
        records->emplace(std::string(key, keyBytes),
                         KnownRecord{record.offset, record.header.blockSize});
        return false;
      });
  if (walk.reaches(header)) return true;
  records->clear();
  return false;
}

int storeLocked(const kvpool::PoolView& pool, PoolBlockRequest* request, const KnownRecord* known);

}  // namespace

void kvpool::repairInterruptedStore(const PoolView& pool, const char* function) {
  switch (kvpool::journalRepair(pool.journal, pool.base, pool.segmentBytes)) {
    case kvpool::JournalRepair::kNone:
      break;
    case kvpool::JournalRepair::kCompleted:
      Log("  %s: an interrupted store was complete\n", function);
      break;
    case kvpool::JournalRepair::kUndone:
      Log("  %s: an interrupted store was undone\n", function);
      break;
    case kvpool::JournalRepair::kDropped:
      Log("  %s: an interrupted store no longer matches the pool, left alone\n", function);
      break;
    case kvpool::JournalRepair::kRefused: {
      Log("  %s: the store journal's entry fails its check, not applied; pool left as it is\n",
          function);
      int rc = 0;
      cciLog(&rc, CCI_LOG_WARNING, kvpool::kEventFile, kvpool::kLineJournalRefused, function,
             constKvCatalog, kvpool::kEventJournalRefused, kvpool::kVTRL2Text,
             "the store journal's entry fails its check; the pool is left as it is",
             static_cast<const char*>(nullptr));
      break;
    }
  }
}

int kvpool::getPoolValue(const PoolView& pool, PoolBlockRequest* request, const char* key) {
  Log("-->getKvPoolDataBlock\n");
  if (pool.base == nullptr) {
    Log("  Key Not FOUND?\n");
    return KVPOOL_KEY_NOT_FOUND;
  }
  for (;;) {
    // A store cut short is put right before anyone reads behind it: the
    // reader trades its lock for the writer's.
    if (journalPending(pool.journal)) {
      PoolChangeLock repair(pool, "getKvPoolDataBlock");
      if (!repair.held()) return unavailable("getKvPoolDataBlock");
    }
    PoolReadLock lock(pool.semaphores);
    if (!lock.held()) return unavailable("getKvPoolDataBlock");
    // A writer killed while this reader waited for the lock left its store
    // half done: read only once it is put right.
    if (!journalPending(pool.journal)) return readValue(pool, request, key);
  }
}

namespace {

// The store's steps, under the writer lock the caller holds (an interrupted
// store already repaired). known: where the key's record is, from a walk
// that proved the chain sound up to the header as it stands; null: walk the
// chain here.
int storeLocked(const kvpool::PoolView& pool, PoolBlockRequest* request, const KnownRecord* known) {
  using namespace kvpool;
  unsigned char* base = pool.base;
  const int32_t capacity = pool.capacity;
  const PoolControl raw = readPoolControl(base);
  Log("  ####Shm Control %d %d\n", raw.blockCount, raw.usedSize);
  PoolControl header = readHeader(base, capacity);
  const PoolControl before = header;
  const uint32_t changesBefore = journalChanges(pool.journal);
  bool headerChanged = header.usedSize != raw.usedSize;
  if (header.usedSize > capacity) {
    Log("  >>Pool Memory UsedSize is more than abl memory\n");
    return KVPOOL_POOL_FULL;
  }

  const std::size_t keyLength = std::strlen(request->key) + 1;
  const std::size_t valueLength = std::strlen(request->value) + 1;
  const int64_t blockSize = int64_t{kRecordHeaderBytes} + static_cast<int64_t>(keyLength) +
                            static_cast<int64_t>(valueLength);
  request->keyLength = saturatedLength(keyLength);
  request->valueLength = saturatedLength(valueLength);
  request->blockSize = saturatedLength(static_cast<std::size_t>(blockSize));

  int32_t found = -1;
  int32_t foundSize = 0;
  if (known != nullptr) {
    // The caller's own walk proved the chain sound and found the key (or not).
    found = known->offset;
    foundSize = known->size;
  } else if (headerChanged || !findIndexed(pool, header, changesBefore, request->key, keyLength,
                                           &found, &foundSize)) {
    headerChanged |= findForStore(base, request->key, keyLength, &header, &found, &foundSize);
  }

  if (found >= 0) {
    if (int64_t{header.usedSize} - foundSize + blockSize > capacity) {
      Log("  >>>> Key Found!! Pool Full\n");
      if (headerChanged) writePoolControl(base, header);
      return KVPOOL_POOL_FULL;
    }
    removeRecord(pool, header, found, foundSize, request->blockSize);
  } else if (pool.journal != nullptr && int64_t{header.usedSize} + blockSize <= capacity) {
    journalAppend(pool.journal, header, request->blockSize);
  }

  Log("  Used Pool Memory %d out of %d. Want to insert %d bytes\n", header.usedSize, capacity,
      request->blockSize);
  if (int64_t{header.usedSize} + blockSize <= capacity) {
    const int32_t offset = header.usedSize;
    writePoolRecord(base, offset, request->key, request->keyLength, request->value,
                    request->valueLength);
    header.usedSize += request->blockSize;
    header.blockCount += 1;
    Log("  %d %d %d [%s] [%s]\n", request->blockSize, request->keyLength, request->valueLength,
        request->key, request->value);
    journalStep(kStepRecordWritten);
    writePoolControl(base, header);
    journalStep(kStepHeaderWritten);
    finishStore(pool);
    if (pool.index != nullptr && !headerChanged) {
      pool.index->update(base, before, changesBefore, header, journalChanges(pool.journal), found,
                         found >= 0 ? foundSize : 0, request->key, offset);
    }
    return KVPOOL_OK;
  }
  Log("  >>>>>>>Pool Full\n");
  Log("  ####Saving control(memory full) %d %d\n", header.blockCount, header.usedSize);
  writePoolControl(base, header);
  return KVPOOL_POOL_FULL;
}

int storeEach(const kvpool::PoolView& pool, const std::vector<kvpool::StorePair>& pairs,
              std::size_t* stored);

// Runs stores under the writer lock, a store a killed writer left half done
// put right first: 8 when the pool is not mapped, 5 when the lock cannot be
// had, else what stores() returns.
template <typename Stores>
int underWriterLock(const kvpool::PoolView& pool, Stores&& stores) {
  if (pool.base == nullptr) {
    Log("  >storeKvPoolDataBlock: the pool is not mapped\n");
    return KVPOOL_POOL_FULL;
  }
  kvpool::PoolChangeLock lock(pool, "storeKvPoolDataBlock");
  if (!lock.held()) return unavailable("storeKvPoolDataBlock");
  return stores();
}

}  // namespace

int kvpool::storePoolValue(const PoolView& pool, PoolBlockRequest* request) {
  Log("-->storeKvPoolDataBlock\n");
  return underWriterLock(pool, [&] { return storeLocked(pool, request, nullptr); });
}

int kvpool::storePoolValues(const PoolView& pool, const std::vector<StorePair>& pairs,
                            std::size_t* stored) {
  *stored = 0;
  return underWriterLock(pool, [&] { return storeEach(pool, pairs, stored); });
}

namespace {

// The batch's stores, under the writer lock.
int storeEach(const kvpool::PoolView& pool, const std::vector<kvpool::StorePair>& pairs,
              std::size_t* stored) {
  using namespace kvpool;
  // One walk of the chain for all the stores, kept up to date after each;
  // with a key index each store finds its key through the index instead.
  RecordMap records;
  bool mapped = false;
  for (const auto& [key, value] : pairs) {
    Log("-->storeKvPoolDataBlock\n");
    if (!mapped && pool.index == nullptr) mapped = mapRecords(pool, &records);
    KnownRecord known;
    if (const auto it = records.find(key); mapped && it != records.end()) known = it->second;
    PoolBlockRequest request{};
    request.key = const_cast<char*>(key.c_str());
    request.value = const_cast<char*>(value.c_str());
    const int result = storeLocked(pool, &request, mapped ? &known : nullptr);
    if (result != KVPOOL_OK) return result;
    if (mapped) {
      // The records behind a replaced one moved down; the new one is last.
      if (known.offset >= 0) {
        for (auto& entry : records) {
          if (entry.second.offset > known.offset) entry.second.offset -= known.size;
        }
      }
      const int32_t end = readPoolControl(pool.base).usedSize;
      const KnownRecord placed{end - request.blockSize, request.blockSize};
      if (const auto [entry, added] = records.emplace(key, placed); !added) entry->second = placed;
    }
    *stored += 1;
  }
  return KVPOOL_OK;
}

}  // namespace

int kvpool::removePoolValue(const PoolView& pool, const char* key) {
  if (pool.base == nullptr) return KVPOOL_KEY_NOT_FOUND;
  PoolChangeLock lock(pool, "removePoolValue");
  if (!lock.held()) return unavailable("removePoolValue");
  PoolControl header = readHeader(pool.base, pool.capacity);
  if (header.usedSize > pool.segmentBytes) return KVPOOL_KEY_NOT_FOUND;
  const std::size_t keyLength = std::strlen(key) + 1;
  int32_t found = -1;
  int32_t foundSize = 0;
  // The whole chain is walked: only records proven sound are moved.
  const PoolChainEnd walk =
      walkPoolChain(pool.base, header.blockCount, header.usedSize, [&](const PoolRecord& record) {
        if (found < 0 && keyMatches(pool.base, record, key, keyLength)) {
          found = record.offset;
          foundSize = record.header.blockSize;
        }
        return false;
      });
  if (found < 0 || !walk.reaches(header)) return KVPOOL_KEY_NOT_FOUND;
  const PoolControl before = header;
  const uint32_t changesBefore = journalChanges(pool.journal);
  removeRecord(pool, header, found, foundSize, 0);
  writePoolControl(pool.base, header);
  finishStore(pool);
  if (pool.index != nullptr) {
    pool.index->update(pool.base, before, changesBefore, header, journalChanges(pool.journal),
                       found, foundSize, key, -1);
  }
  return KVPOOL_OK;
}

int kvpool::clearPool(const PoolView& pool) {
  if (pool.base == nullptr) return KVPOOL_KEY_NOT_FOUND;
  PoolChangeLock lock(pool, "clearPool");
  if (!lock.held()) return unavailable("clearPool");
  PoolControl header = readHeader(pool.base, pool.capacity);
  if (pool.journal != nullptr) journalClear(pool.journal, header);
  header.blockCount = 0;
  header.usedSize = kPoolHeaderBytes;
  writePoolControl(pool.base, header);
  finishStore(pool);
  return KVPOOL_OK;
}
