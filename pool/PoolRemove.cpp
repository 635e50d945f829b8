// Removing one record and emptying the pool, for the operators' tools. A
// stand-in until the journaled versions land: plain moves under the writer
// lock, the header written last.
#include <algorithm>
#include <cstring>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "support/Trace.h"

int kvpool::removePoolValue(const PoolView& pool, const char* key) {
  unsigned char* base = pool.base;
  if (base == nullptr) return KVPOOL_KEY_NOT_FOUND;
  PoolWriteLock lock(pool.semaphores);
  PoolControl header = readPoolControl(base);
  if (header.usedSize < kPoolHeaderBytes) return KVPOOL_KEY_NOT_FOUND;
  const int32_t end = std::min(header.usedSize, pool.segmentBytes);
  const std::size_t keyLength = std::strlen(key) + 1;
  int32_t found = -1;
  int32_t foundSize = 0;
  walkPoolChain(base, header.blockCount, end, [&](const PoolRecord& record) {
    if (static_cast<std::size_t>(record.header.keyLength) != keyLength ||
        std::memcmp(record.key(base), key, keyLength) != 0) {
      return false;
    }
    found = record.offset;
    foundSize = record.header.blockSize;
    return true;
  });
  if (found < 0) return KVPOOL_KEY_NOT_FOUND;
  const int32_t next = found + foundSize;
  std::memmove(base + found, base + next, static_cast<std::size_t>(end - next));
  header.blockCount -= 1;
  header.usedSize = end - foundSize;
  writePoolControl(base, header);
  return KVPOOL_OK;
}

int kvpool::clearPool(const PoolView& pool) {
  unsigned char* base = pool.base;
  if (base == nullptr) return KVPOOL_KEY_NOT_FOUND;
  PoolWriteLock lock(pool.semaphores);
  PoolControl header = readPoolControl(base);
  if (header.usedSize < kPoolHeaderBytes) header.totalSize = pool.capacity;
  writePoolControl(base, {header.totalSize, 0, kPoolHeaderBytes});
  return KVPOOL_OK;
}
