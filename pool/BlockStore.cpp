// The pool's records: a 12-byte PoolControl header followed by PoolBlock
// records back to back, unaligned, so headers are copied in and out and never
// read in place. Every record is checked before it is used: the segment is
// shared with every process on the machine and may hold anything.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pool/KvPoolShm.h"
#include "support/Trace.h"

namespace {

constexpr int32_t kHeaderSize = sizeof(PoolControl);
constexpr int32_t kRecordHeaderSize = sizeof(PoolBlock);

// The segment's header; one that was never written (usedSize below 12, as in
// a segment just created by another process) is an empty pool.
PoolControl readHeader(const unsigned char* base, int32_t capacity) {
  PoolControl header;
  std::memcpy(&header, base, sizeof header);
  if (header.usedSize < kHeaderSize) header = {capacity, 0, kHeaderSize};
  return header;
}

bool keyMatches(const unsigned char* base, int32_t offset, const PoolBlock& record, const char* key,
                std::size_t keyLength) {
  return static_cast<std::size_t>(record.keyLength) == keyLength &&
         std::memcmp(base + offset + kRecordHeaderSize, key, keyLength) == 0;
}

int32_t saturatedLength(std::size_t length) {
  return static_cast<int32_t>(std::min<std::size_t>(length, INT32_MAX));
}

}  // namespace

namespace kvpool {

bool readPoolRecord(const unsigned char* image, int32_t offset, int32_t end, PoolBlock* record) {
  if (offset < kHeaderSize || static_cast<int64_t>(offset) + kRecordHeaderSize > end) return false;
  PoolBlock header;
  std::memcpy(&header, image + offset, sizeof header);
  if (header.keyLength < 1 || header.valueLength < 1) return false;
  const int64_t size = int64_t{kRecordHeaderSize} + header.keyLength + header.valueLength;
  if (size != header.blockSize || offset + size > end) return false;
  const unsigned char* key = image + offset + kRecordHeaderSize;
  if (key[header.keyLength - 1] != '\0') return false;
  if (key[header.keyLength + header.valueLength - 1] != '\0') return false;
  *record = header;
  return true;
}

int32_t findPoolImageDamage(const unsigned char* image, int32_t imageSize) {
  if (imageSize < kHeaderSize) return 0;
  PoolControl header;
  std::memcpy(&header, image, sizeof header);
  if (header.usedSize < kHeaderSize || header.usedSize > imageSize || header.blockCount < 0) {
    return 0;
  }
  int32_t offset = kHeaderSize;
  for (int32_t i = 0; i < header.blockCount; ++i) {
    PoolBlock record;
    if (!readPoolRecord(image, offset, header.usedSize, &record)) return offset;
    offset += record.blockSize;
  }
  return offset == header.usedSize ? -1 : offset;
}

}  // namespace kvpool

int getKvPoolDataBlock(PoolBlockRequest* request, const char* key) {
  Log("-->getKvPoolDataBlock\n");
  const auto* base = static_cast<const unsigned char*>(hKvMemView);
  if (base == nullptr) {
    Log("  Key Not FOUND?\n");
    return KVPOOL_KEY_NOT_FOUND;
  }
  kvpool::PoolReadLock lock;
  const PoolControl header = readHeader(base, getKvPoolCapacity());
  Log("  getKvPoolDataBlock-%d blocks\n", header.blockCount);
  // Reads are bounded by the segment itself: a header written by a process
  // with a larger capacity still reads, but never past the segment's end.
  const int32_t end = std::min(header.usedSize, getKvPoolSegmentSize());
  const std::size_t keyLength = std::strlen(key) + 1;
  int32_t offset = kHeaderSize;
  int32_t i = 0;
  for (; i < header.blockCount; ++i) {
    PoolBlock record;
    if (!kvpool::readPoolRecord(base, offset, end, &record)) break;
    std::memcpy(request, &record, sizeof record);
    if (keyMatches(base, offset, record, key, keyLength)) {
      auto* value = static_cast<char*>(std::malloc(static_cast<std::size_t>(record.valueLength)));
      if (value == nullptr) {
        Log("  >getKvPoolDataBlock: malloc() failed\n");
        return KVPOOL_KEY_NOT_FOUND;
      }
      std::memcpy(value, base + offset + kRecordHeaderSize + record.keyLength,
                  static_cast<std::size_t>(record.valueLength));
      request->value = value;
      return KVPOOL_OK;
    }
    offset += record.blockSize;
  }
  if (i != header.blockCount || offset != header.usedSize) {
    Log("  >getKvPoolDataBlock: damaged record at offset %d\n", offset);
  }
  Log("  Key Not FOUND?\n");
  return KVPOOL_KEY_NOT_FOUND;
}

int storeKvPoolDataBlock(PoolBlockRequest* request) {
  Log("-->storeKvPoolDataBlock\n");
  auto* base = static_cast<unsigned char*>(hKvMemView);
  if (base == nullptr) {
    Log("  >storeKvPoolDataBlock: the pool is not mapped\n");
    return KVPOOL_POOL_FULL;
  }
  kvpool::PoolWriteLock lock;
  const int32_t capacity = getKvPoolCapacity();
  PoolControl raw;
  std::memcpy(&raw, base, sizeof raw);
  Log("  ####Shm Control %d %d\n", raw.blockCount, raw.usedSize);
  PoolControl header = readHeader(base, capacity);
  bool headerChanged = header.usedSize != raw.usedSize;
  if (header.usedSize > capacity) {
    Log("  >>Pool Memory UsedSize is more than abl memory\n");
    return KVPOOL_POOL_FULL;
  }

  const std::size_t keyLength = std::strlen(request->key) + 1;
  const std::size_t valueLength = std::strlen(request->value) + 1;
  const int64_t blockSize = int64_t{kRecordHeaderSize} + static_cast<int64_t>(keyLength) +
                            static_cast<int64_t>(valueLength);
  request->keyLength = saturatedLength(keyLength);
  request->valueLength = saturatedLength(valueLength);
  request->blockSize = saturatedLength(static_cast<std::size_t>(blockSize));

  // One pass over the whole chain: it finds the key, and proves the chain
  // sound before anything is moved or appended behind it.
  int32_t offset = kHeaderSize;
  int32_t found = -1;
  int32_t foundSize = 0;
  int32_t i = 0;
  for (; i < header.blockCount; ++i) {
    PoolBlock record;
    if (!kvpool::readPoolRecord(base, offset, header.usedSize, &record)) break;
    if (found < 0 && keyMatches(base, offset, record, request->key, keyLength)) {
      found = offset;
      foundSize = record.blockSize;
    }
    offset += record.blockSize;
  }
  if (i != header.blockCount || offset != header.usedSize) {
    // Nothing behind a damaged record can be found again; the pool keeps the
    // sound records before it, so stores work again.
    Log("  >storeKvPoolDataBlock: damaged record at offset %d\n", offset);
    Log("  storeKvPoolDataBlock pool cut back to %d blocks, %d bytes\n", i, offset);
    header.blockCount = i;
    header.usedSize = offset;
    headerChanged = true;
  }

  if (found >= 0) {
    if (int64_t{header.usedSize} - foundSize + blockSize > capacity) {
      Log("  >>>> Key Found!! Pool Full\n");
      if (headerChanged) std::memcpy(base, &header, sizeof header);
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
    unsigned char* record = base + header.usedSize;
    std::memcpy(record, request, kRecordHeaderSize);
    std::memcpy(record + kRecordHeaderSize, request->key, keyLength);
    std::memcpy(record + kRecordHeaderSize + keyLength, request->value, valueLength);
    header.usedSize += request->blockSize;
    header.blockCount += 1;
    Log("  %d %d %d [%s] [%s]\n", request->blockSize, request->keyLength, request->valueLength,
        request->key, request->value);
    std::memcpy(base, &header, sizeof header);
    return KVPOOL_OK;
  }
  Log("  >>>>>>>Pool Full\n");
  Log("  ####Saving control(memory full) %d %d\n", header.blockCount, header.usedSize);
  std::memcpy(base, &header, sizeof header);
  return KVPOOL_POOL_FULL;
}
