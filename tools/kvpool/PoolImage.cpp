// Copying and walking the pool for kvpool.
#include "tools/kvpool/PoolImage.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "pool/PoolRecords.h"
#include "tools/kvpool/TimedLock.h"

namespace kvpooltool {
namespace {

constexpr int32_t kMaxKeyBytes = 255;
// Faults after which a record's key and value cannot be told apart.
constexpr uint32_t kUnreadableTexts =
    kvpool::kFaultKeyLength | kvpool::kFaultValueLength | kvpool::kFaultLengthSum;

std::string at(int32_t offset) {
  return "offset " + std::to_string(offset);
}

}  // namespace

std::optional<PoolImage> readSegment(const kvpool::PoolIds& ids, double waitSeconds,
                                     kvpool::PoolSegmentStatus* status, std::string* why) {
  kvpool::OpenedPool pool;
  const bool opened = pool.open(ids, kvpool::OpenedPool::Mode::kReadOnly);
  *status = pool.foundStatus();
  if (!opened) {
    const char* reason = std::strerror(pool.error());
    if (pool.failure() == kvpool::OpenedPool::Failure::kLookAtSegment) {
      *why = std::string("cannot look at the segment: shmctl(IPC_STAT) failed: ") + reason;
    } else {
      *why = std::string("cannot map the segment: shmat failed: ") + reason;
    }
    return std::nullopt;
  }
  const kvpool::PoolView& view = pool.view();
  PoolImage image;
  image.limit = view.segmentBytes;
  // The tool's own timed lock: it never writes to the trace, so reading
  // leaves the trace as it was.
  std::optional<TimedPoolLock> lock;
  if (ids.semaphores != -1) {
    lock.emplace(ids.semaphores, LockKind::kRead, waitSeconds);
    if (!lock->held()) {
      *why = lock->failure();
      return std::nullopt;
    }
    image.locked = true;
  }
  PoolControl header{};
  if (image.limit >= kvpool::kPoolHeaderBytes) header = kvpool::readPoolControl(view.base);
  const int32_t used =
      std::clamp(header.usedSize, std::min(kvpool::kPoolHeaderBytes, image.limit), image.limit);
  image.bytes.assign(view.base, view.base + used);
  return image;
}

Walk walkPool(const PoolImage& image) {
  Walk walk;
  const unsigned char* bytes = image.bytes.data();
  const auto size = static_cast<int32_t>(image.bytes.size());
  const std::string container = image.isSnapshot ? "the file" : "the segment";
  if (size < kvpool::kPoolHeaderBytes) {
    walk.damage.push_back(container + " holds " + std::to_string(size) +
                          " bytes, less than the 12-byte header");
    return walk;
  }
  walk.header = kvpool::readPoolControl(bytes);
  const PoolControl& header = walk.header;
  if (!image.isSnapshot && header.totalSize == 0 && header.blockCount == 0 &&
      header.usedSize == 0) {
    walk.notes.push_back("the header is not written yet (a segment being created): empty");
    return walk;
  }
  if (header.usedSize < kvpool::kPoolHeaderBytes) {
    walk.damage.push_back("header: usedSize " + std::to_string(header.usedSize) +
                          " is below the 12-byte header");
    return walk;
  }
  if (header.usedSize > image.limit) {
    walk.damage.push_back("header: usedSize " + std::to_string(header.usedSize) +
                          " reaches past the " + std::to_string(image.limit) + " bytes of " +
                          container);
  } else if (image.isSnapshot && header.usedSize != image.limit) {
    walk.damage.push_back("header: usedSize " + std::to_string(header.usedSize) +
                          " differs from the file's size " + std::to_string(image.limit));
  }
  if (header.blockCount < 0) {
    walk.damage.push_back("header: blockCount " + std::to_string(header.blockCount) +
                          " is negative");
  }
  if (!image.isSnapshot && header.totalSize != image.limit) {
    walk.notes.push_back("header: totalSize " + std::to_string(header.totalSize) +
                         " differs from the segment's " + std::to_string(image.limit) +
                         " bytes (a snapshot taken elsewhere was loaded); it is not used");
  }

  // Unlike a get or a store, the walk goes on past damage it can step over,
  // to the end of the used bytes, so that one run names every inconsistency.
  const int32_t end = std::min(header.usedSize, size);
  std::map<std::string, int> firstIndex;
  int32_t offset = kvpool::kPoolHeaderBytes;
  int index = 0;
  bool followed = true;
  while (offset < end) {
    kvpool::PoolRecord record = kvpool::readPoolRecord(bytes, offset, end);
    kvpool::findInnerNuls(bytes, &record);
    if ((record.faults & kvpool::kFaultNoRoomForHeader) != 0) {
      walk.damage.push_back(at(offset) + ": " +
                            describePoolRecordFault(kvpool::kFaultNoRoomForHeader, bytes, record));
      followed = false;
      break;
    }
    const std::string where = "record " + std::to_string(index + 1) + " at " + at(offset);
    for (uint32_t fault = kvpool::kFaultKeyLength; fault <= kvpool::kFaultValueInnerNul;
         fault <<= 1) {
      if ((record.faults & fault) == 0) continue;
      walk.damage.push_back(
          where + ": " +
          describePoolRecordFault(static_cast<kvpool::PoolRecordFault>(fault), bytes, record));
    }
    if (!record.followable()) {
      followed = false;
      break;
    }
    if ((record.faults & (kUnreadableTexts | kvpool::kFaultKeyUnterminated)) == 0) {
      std::string key(record.keyText(bytes));
      if (static_cast<int32_t>(key.size()) > kMaxKeyBytes) {
        walk.damage.push_back(where + ": the key has " + std::to_string(key.size()) +
                              " bytes, more than 255");
      }
      auto [first, inserted] = firstIndex.emplace(key, index + 1);
      if (!inserted) {
        walk.damage.push_back(where + ": key \"" + key + "\" is stored already as record " +
                              std::to_string(first->second));
      }
      std::string value;
      if ((record.faults & kvpool::kFaultValueUnterminated) == 0) value = record.valueText(bytes);
      walk.records.push_back({offset, std::move(key), std::move(value)});
    }
    offset = record.next();
    ++index;
  }
  if (followed && index != header.blockCount) {
    walk.damage.push_back("header: blockCount " + std::to_string(header.blockCount) +
                          " but the chain holds " + std::to_string(index) + " records");
  }
  return walk;
}

}  // namespace kvpooltool
