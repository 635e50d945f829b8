// Reading the pool for kvpool: the segment's used bytes copied under the
// library's own lock with a bounded wait, or a snapshot file; and a walk of
// the record chain that reports every inconsistency instead of trusting it.
#include <errno.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "tools/kvpool/Commands.h"

namespace kvpooltool {
namespace {

// Who holds the lock, as far as the system records it.
std::string describeHolders(int semaphoreSet, bool forWriting) {
  kvpool::PoolSemaphoreValues values;
  if (!kvpool::readPoolSemaphores(semaphoreSet, &values)) {
    return std::string("its holders cannot be read: ") + std::strerror(errno);
  }
  if (values.writer > 0) {
    const int pid = values.writerPid;
    if (pid <= 0) return "a writer holds it (its process id is not recorded)";
    std::string text = "a writer holds it (process " + std::to_string(pid);
    if (kill(pid, 0) != 0 && errno == ESRCH) {
      text += ", which no longer runs: the lock is stuck; kvpool remove --force clears it";
    }
    return text + ")";
  }
  if (forWriting && values.readers > 0) {
    return counted(values.readers, "reader holds", "readers hold") +
           " it (the system does not record which processes)";
  }
  return "it was free again when looked at";
}

// Takes the quiet lock (it never writes to the trace) into slot, waiting at
// most waitSeconds; false with *why: the wait that ran out and who holds the
// lock, or the system's reason.
template <typename Lock>
bool takeTimedLock(std::optional<Lock>& slot, int semaphoreSet, double waitSeconds,
                   std::string* why) {
  constexpr bool kWrite = std::is_same_v<Lock, kvpool::PoolWriteLock>;
  const char* name = kWrite ? "writer lock" : "read lock";
  slot.emplace(semaphoreSet, waitSeconds, kvpool::LockTrace::kQuiet);
  if (slot->held()) return true;
  const bool timedOut = slot->timedOut(), removed = slot->removed();
  slot.reset();
  if (timedOut) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g s", waitSeconds);
    *why = std::string("timed out after ") + seconds + " waiting for the pool's " + name + ": " +
           describeHolders(semaphoreSet, kWrite) + " (--wait SECONDS waits longer)";
  } else {
    *why = std::string("cannot take the pool's ") + name + ": " + getKvPoolUnavailableText() +
           (removed ? " (the pool was just removed)" : "");
  }
  return false;
}

// Faults after which a record's key and value cannot be told apart.
constexpr uint32_t kUnreadableTexts = kvpool::kFaultKeyLength | kvpool::kFaultValueLength |
                                      kvpool::kFaultLengthSum | kvpool::kFaultKeyUnterminated;

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
    if (!record.followable() || (record.faults & kUnreadableTexts) != 0) return;
    std::string value;
    if ((record.faults & kvpool::kFaultValueUnterminated) == 0) value = record.valueText(bytes);
    walk_->records.push_back({std::string(record.keyText(bytes)), std::move(value)});
  }

 private:
  Walk* walk_;
};

// How often a reader repairs before it gives up: each time, another writer
// was killed while it waited for the read lock.
constexpr int kRepairAttempts = 3;

// Completes or undoes a store cut short by a killed writer before the records
// are read, as the library's get does; false with *why when kvpool cannot.
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
  std::optional<kvpool::PoolWriteLock> lock;
  if (std::string failure; !takeTimedLock(lock, ids.semaphores, waitSeconds, &failure)) {
    *why = pending + " (" + failure + ")";
    return false;
  }
  kvpool::repairInterruptedStore(pool.view(), "kvpool");
  return true;
}

}  // namespace

bool awaitWriterLock(int semaphoreSet, double waitSeconds, std::string* why) {
  std::optional<kvpool::PoolWriteLock> probe;
  return takeTimedLock(probe, semaphoreSet, waitSeconds, why);
}

std::optional<PoolImage> readSegment(const kvpool::PoolIds& ids, double waitSeconds,
                                     kvpool::PoolSegmentStatus* status, std::string* why) {
  kvpool::OpenedPool pool;
  const bool opened = pool.open(ids, kvpool::OpenedPool::Mode::kReadOnly);
  *status = pool.foundStatus();
  if (!opened) {
    *why = std::string(pool.failure() == kvpool::OpenedPool::Failure::kLookAtSegment
                           ? "cannot look at the segment: shmctl(IPC_STAT) failed: "
                           : "cannot map the segment: shmat failed: ") +
           std::strerror(pool.error());
    return std::nullopt;
  }
  const kvpool::PoolView& view = pool.view();
  PoolImage image;
  image.limit = view.segmentBytes;
  for (int attempt = 0;; ++attempt) {
    std::optional<kvpool::PoolReadLock> lock;
    if (ids.semaphores != -1) {
      if (!takeTimedLock(lock, ids.semaphores, waitSeconds, why)) return std::nullopt;
      image.locked = true;
    }
    // Under the read lock no store runs: a pending one was cut short.
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
    image.persist = pool.persistFacts();
    return image;
  }
}

std::optional<PoolImage> readSnapshotFile(std::string* why) {
  kvpool::SnapshotImage file =
      kvpool::readSnapshotImage(snapshotFilePath().c_str(), kLargestPoolBytes,
                                kvpool::SnapshotCheck::kFile, "the largest pool");
  if (!file.read()) {
    *why = file.reason;
    return std::nullopt;
  }
  PoolImage image;
  image.isSnapshot = true;
  image.bytes = std::move(file.bytes);
  image.limit = static_cast<int32_t>(image.bytes.size());
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
  const std::string used = "header: usedSize " + std::to_string(header.usedSize);
  if (header.usedSize < kvpool::kPoolHeaderBytes) {
    walk.damage.push_back(used + " is below the 12-byte header");
    return walk;
  }
  if (header.usedSize > image.limit) {
    walk.damage.push_back(used + " reaches past the " + std::to_string(image.limit) + " bytes of " +
                          container);
  } else if (image.isSnapshot && header.usedSize != image.limit) {
    walk.damage.push_back(used + " differs from the file's size " + std::to_string(image.limit));
  }
  const std::string blocks = "header: blockCount " + std::to_string(header.blockCount);
  if (header.blockCount < 0) walk.damage.push_back(blocks + " is negative");
  if (!image.isSnapshot && header.totalSize != image.limit) {
    walk.notes.push_back("header: totalSize " + std::to_string(header.totalSize) +
                         " differs from the segment's " + std::to_string(image.limit) +
                         " bytes (a snapshot taken elsewhere was loaded); it is not used");
  }
  // Unlike a get or a store, the walk goes on past damage it can step over,
  // so that one run names every inconsistency.
  WalkLines lines(&walk);
  const kvpool::PoolChainEnd end =
      kvpool::reportPoolChain(bytes, std::min(header.usedSize, size), lines);
  if (end.followed() && end.records != header.blockCount) {
    walk.damage.push_back(blocks + " but the chain holds " + std::to_string(end.records) +
                          " records");
  }
  return walk;
}

}  // namespace kvpooltool
