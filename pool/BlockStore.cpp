// Get and store: one pass over the record chain (pool/PoolRecords.h) under
// the pool's lock. Every record is checked before it is used: the segment is
// shared with every process on the machine and may hold anything.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
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

}  // namespace

int kvpool::getPoolValue(const PoolView& pool, PoolBlockRequest* request, const char* key) {
  Log("-->getKvPoolDataBlock\n");
  const unsigned char* base = pool.base;
  if (base == nullptr) {
    Log("  Key Not FOUND?\n");
    return KVPOOL_KEY_NOT_FOUND;
  }
  PoolReadLock lock(pool.semaphores);
  const PoolControl header = readHeader(base, pool.capacity);
  Log("  getKvPoolDataBlock-%d blocks\n", header.blockCount);
  // Reads are bounded by the segment itself: a header written by a process
  // with a larger capacity still reads, but never past the segment's end.
  const int32_t end = std::min(header.usedSize, pool.segmentBytes);
  const std::size_t keyLength = std::strlen(key) + 1;
  int32_t found = -1;
  const PoolChainEnd walk =
      walkPoolChain(base, header.blockCount, end, [&](const PoolRecord& record) {
        std::memcpy(request, &record.header, sizeof record.header);
        if (!keyMatches(base, record, key, keyLength)) return false;
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
    std::memcpy(value, base + found + kRecordHeaderBytes + request->keyLength, valueBytes);
    request->value = value;
    return KVPOOL_OK;
  }
  if (!walk.reaches(header)) {
    Log("  >getKvPoolDataBlock: damaged record at offset %d\n", walk.offset);
  }
  Log("  Key Not FOUND?\n");
  return KVPOOL_KEY_NOT_FOUND;
}

int kvpool::storePoolValue(const PoolView& pool, PoolBlockRequest* request) {
  Log("-->storeKvPoolDataBlock\n");
  unsigned char* base = pool.base;
  if (base == nullptr) {
    Log("  >storeKvPoolDataBlock: the pool is not mapped\n");
    return KVPOOL_POOL_FULL;
  }
  PoolWriteLock lock(pool.semaphores);
  const int32_t capacity = pool.capacity;
  const PoolControl raw = readPoolControl(base);
  Log("  ####Shm Control %d %d\n", raw.blockCount, raw.usedSize);
  PoolControl header = readHeader(base, capacity);
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

  // One pass over the whole chain: it finds the key, and proves the chain
  // sound before anything is moved or appended behind it.
  int32_t found = -1;
  int32_t foundSize = 0;
  const PoolChainEnd walk =
      walkPoolChain(base, header.blockCount, header.usedSize, [&](const PoolRecord& record) {
        if (found < 0 && keyMatches(base, record, request->key, keyLength)) {
          found = record.offset;
          foundSize = record.header.blockSize;
        }
        return false;
      });
  if (!walk.reaches(header)) {
    // Nothing behind a damaged record can be found again; the pool keeps the
    // sound records before it, so stores work again.
    Log("  >storeKvPoolDataBlock: damaged record at offset %d\n", walk.offset);
    Log("  storeKvPoolDataBlock pool cut back to %d blocks, %d bytes\n", walk.records, walk.offset);
    header.blockCount = walk.records;
    header.usedSize = walk.offset;
    headerChanged = true;
  }

  if (found >= 0) {
    if (int64_t{header.usedSize} - foundSize + blockSize > capacity) {
      Log("  >>>> Key Found!! Pool Full\n");
      if (headerChanged) writePoolControl(base, header);
      return KVPOOL_POOL_FULL;
    }
    const int32_t next = found + foundSize;
    std::memmove(base + found, base + next, static_cast<std::size_t>(header.usedSize - next));
    header.blockCount -= 1;
    header.usedSize -= foundSize;
  }

  Log("  Used Pool Memory %d out of %d. Want to insert %d bytes\n", header.usedSize, capacity,
      request->blockSize);
  if (int64_t{header.usedSize} + blockSize <= capacity) {
    writePoolRecord(base, header.usedSize, request->key, request->keyLength, request->value,
                    request->valueLength);
    header.usedSize += request->blockSize;
    header.blockCount += 1;
    Log("  %d %d %d [%s] [%s]\n", request->blockSize, request->keyLength, request->valueLength,
        request->key, request->value);
    writePoolControl(base, header);
    return KVPOOL_OK;
  }
  Log("  >>>>>>>Pool Full\n");
  Log("  ####Saving control(memory full) %d %d\n", header.blockCount, header.usedSize);
  writePoolControl(base, header);
  return KVPOOL_POOL_FULL;
}

int getKvPoolDataBlock(PoolBlockRequest* request, const char* key) {
  return kvpool::getPoolValue(kvpool::processPoolView(), request, key);
}

int storeKvPoolDataBlock(PoolBlockRequest* request) {
  return kvpool::storePoolValue(kvpool::processPoolView(), request);
}
