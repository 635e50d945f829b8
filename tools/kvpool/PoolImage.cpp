// Copying and walking the pool for kvpool.
#include "tools/kvpool/PoolImage.h"

#include <algorithm>
#include <cstring>

#include "pool/PoolRecords.h"
#include "tools/kvpool/TimedLock.h"

namespace kvpooltool {
namespace {

// Faults after which a record's key and value cannot be told apart.
constexpr uint32_t kUnreadableTexts =
    kvpool::kFaultKeyLength | kvpool::kFaultValueLength | kvpool::kFaultLengthSum;

std::string at(int32_t offset) {
  return "offset " + std::to_string(offset);
}

// One line of damage per fault of every record, in the order of the fault
// bits, and the records whose key can be read.
class WalkLines final : public kvpool::PoolWalkReporter {
 public:
  explicit WalkLines(Walk* walk) : walk_(walk) {}
  void visit(const unsigned char* bytes, const kvpool::PoolRecord& record, int number,
             const kvpool::PoolKeyRules& rules) override {
    if ((record.faults & kvpool::kFaultNoRoomForHeader) != 0) {
      walk_->damage.push_back(
          at(record.offset) + ": " +
          describePoolRecordFault(kvpool::kFaultNoRoomForHeader, bytes, record));
      return;
    }
    const std::string where = "record " + std::to_string(number) + " at " + at(record.offset);
    for (uint32_t fault = kvpool::kFaultKeyLength; fault <= kvpool::kFaultKeyEmpty; fault <<= 1) {
      if ((record.faults & fault) == 0) continue;
      std::string line =
          where + ": " +
          describePoolRecordFault(static_cast<kvpool::PoolRecordFault>(fault), bytes, record);
      if (fault == kvpool::kFaultKeyRepeated) {
        line += " as record " + std::to_string(rules.firstWithKey());
      }
      walk_->damage.push_back(std::move(line));
    }
    if (!record.followable() ||
        (record.faults & (kUnreadableTexts | kvpool::kFaultKeyUnterminated)) != 0) {
      return;
    }
    std::string value;
    if ((record.faults & kvpool::kFaultValueUnterminated) == 0) value = record.valueText(bytes);
    walk_->records.push_back({record.offset, std::string(record.keyText(bytes)), std::move(value)});
  }

 private:
  Walk* walk_;
};

// How often a reader repairs before it gives up: each time, another writer
// was killed while it waited for the read lock.
constexpr int kRepairAttempts = 3;

// A store cut short by a killed writer is completed or undone before the
// records are read, as the library's get does: under the writer lock,
// through a read-write mapping. False with *why when kvpool cannot do that.
bool repairPendingStore(const kvpool::PoolIds& ids, double waitSeconds, std::string* why) {
  const std::string pending =
      "an interrupted store is pending (a process was killed while storing); the next process "
      "that can write to the pool completes or undoes it";
  if (ids.semaphores == -1) {
    *why = pending + " (the pool has no semaphore set to lock it with)";
    return false;
  }
  kvpool::OpenedPool pool;
  if (!pool.open(ids, kvpool::OpenedPool::Mode::kReadWrite) || pool.view().journal == nullptr) {
    *why = pending + " (kvpool cannot write to the pool: " +
           (pool.error() != 0 ? std::strerror(pool.error()) : "no store journal mapped") + ")";
    return false;
  }
  TimedPoolLock lock(ids.semaphores, LockKind::kWrite, waitSeconds);
  if (!lock.held()) {
    *why = pending + " (" + lock.failure() + ")";
    return false;
  }
  kvpool::repairInterruptedStore(pool.view(), "kvpool");
  return true;
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
  for (int attempt = 0;; ++attempt) {
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
    // Under the read lock no store runs: a pending one was cut short, and is
    // put right before anything is read.
    if (pool.storePending()) {
      lock.reset();
      if (attempt == kRepairAttempts) *why = "an interrupted store is pending; try again";
      if (attempt == kRepairAttempts || !repairPendingStore(ids, waitSeconds, why)) {
        return std::nullopt;
      }
      continue;
    }
    PoolControl header{};
    if (image.limit >= kvpool::kPoolHeaderBytes) header = kvpool::readPoolControl(view.base);
    const int32_t used =
        std::clamp(header.usedSize, std::min(kvpool::kPoolHeaderBytes, image.limit), image.limit);
    image.bytes.assign(view.base, view.base + used);
    image.persistent = pool.createdPersistent();
    return image;
  }
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
  WalkLines lines(&walk);
  const kvpool::PoolChainEnd end =
      kvpool::reportPoolChain(bytes, std::min(header.usedSize, size), lines);
  if (end.followed() && end.records != header.blockCount) {
    walk.damage.push_back("header: blockCount " + std::to_string(header.blockCount) +
                          " but the chain holds " + std::to_string(end.records) + " records");
  }
  return walk;
}

}  // namespace kvpooltool
