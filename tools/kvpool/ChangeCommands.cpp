// set, delete, clear, save, load and remove: every change goes through the
// library's own functions on kvpool's read-write mapping of the existing
// pool, so it is made exactly as a node makes it.
#include <errno.h>

#include <cstring>

#include "tools/kvpool/Commands.h"

namespace kvpooltool {
namespace {

using kvpool::OpenedPool;
using kvpool::PoolIds;

// Node contexts alive on the machine (0 when the set cannot be read).
int nodeContextsAlive(const PoolIds& ids) {
  kvpool::PoolSemaphoreValues values;
  return kvpool::readPoolSemaphores(ids.semaphores, &values) ? values.nodeContexts() : 0;
}

}  // namespace

int prepareChange(const PoolIds& ids, const std::string& what, double waitSeconds) {
  if (!ids.exists()) return noPool();
  if (ids.semaphores == -1) {
    return fail("the pool has no semaphore set (key 88888), so nobody can lock it; " + what +
                " refused (kvpool remove clears such a leftover)");
  }
  // Values that cannot be read say nothing about the node contexts.
  kvpool::PoolSemaphoreValues values;
  if (!kvpool::readPoolSemaphores(ids.semaphores, &values)) {
    if (errno == EACCES)
      return fail("the pool is " + accessDeniedText() + "; " + what + " refused");
  } else if (values.nodeContexts() == 0) {
    warn(
        "no node context keeps this pool alive: it is a leftover of processes that ended "
        "without deleting their nodes. The change stays only in this leftover: the next flow "
        "finds it, and kvpool remove drops it.");
  }
  if (std::string why; !awaitWriterLock(ids.semaphores, waitSeconds, &why)) {
    return fail(what + " refused: " + why);
  }
  return kExitDone;
}

bool openForChange(const PoolIds& ids, OpenedPool* pool) {
  if (pool->open(ids, OpenedPool::Mode::kReadWrite)) return true;
  if (pool->failure() == OpenedPool::Failure::kLookAtSegment) {
    fail(std::string("cannot look at the segment: shmctl(IPC_STAT) failed: ") +
         std::strerror(pool->error()));
  } else if (pool->failure() == OpenedPool::Failure::kForeignJournal) {
    fail(pool->problem());
  } else {
    fail("cannot map the segment (shmat failed; see /tmp/KvPool.log)");
  }
  return false;
}

void warnIfRemovedMeanwhile(int segment) {
  kvpool::PoolSegmentStatus status;
  if (!kvpool::readPoolSegmentStatus(segment, &status) || status.removed) {
    warn("the pool was removed by its last node context during the change: the change is lost");
  }
}

int runSet(const std::string& key, const std::string& value, double waitSeconds) {
  if (const std::string why = keyLengthProblem(key); !why.empty()) return fail(why);
  const PoolIds ids = kvpool::findPoolIds();
  if (int refused = prepareChange(ids, "set", waitSeconds); refused != kExitDone) return refused;
  if (key.rfind("KvPool", 0) != 0) {
    warn("no script can read key \"" + printable(key) + "\": pool operands start with KvPool");
  }
  OpenedPool pool;
  if (!openForChange(ids, &pool)) return kExitNotDone;
  std::string keyText = key, valueText = value;
  PoolBlockRequest request{};
  request.key = keyText.data();
  request.value = valueText.data();
  const int result = kvpool::storePoolValue(pool.view(), &request);
  warnIfRemovedMeanwhile(ids.segment);
  if (result == KVPOOL_POOL_FULL) {
    if (auto pages = checkPagesVariable()) warn(*pages);
    return fail("the pool is full: a record of " + std::to_string(request.blockSize) +
                " bytes does not fit (capacity " + std::to_string(pool.pages() * KVPOOL_PAGE_SIZE) +
                " bytes; KVPOOL_MEMORY_PAGES sets it when the pool is created)");
  }
  if (result != KVPOOL_OK) return fail("storing failed with result " + std::to_string(result));
  std::cout << "stored " << printable(key) << " (" << value.size() << " bytes)\n";
  return kExitDone;
}

int runDelete(const std::vector<std::string>& keys, double waitSeconds) {
  for (const std::string& key : keys) {
    if (const std::string why = keyLengthProblem(key); !why.empty()) {
      return fail(why + "; nothing deleted");
    }
  }
  const PoolIds ids = kvpool::findPoolIds();
  if (int refused = prepareChange(ids, "delete", waitSeconds); refused != kExitDone) {
    return refused;
  }
  OpenedPool pool;
  if (!openForChange(ids, &pool)) return kExitNotDone;
  int status = kExitDone;
  for (const std::string& key : keys) {
    if (kvpool::removePoolValue(pool.view(), key.c_str()) == KVPOOL_OK) {
      std::cout << "deleted " << printable(key) << "\n";
    } else {
      status = fail("no key \"" + printable(key) + "\" in the pool: not deleted");
    }
  }
  warnIfRemovedMeanwhile(ids.segment);
  return status;
}

int runClear(bool force, double waitSeconds) {
  const PoolIds ids = kvpool::findPoolIds();
  if (!ids.exists()) return noPool();
  // Clearing under running flows takes every value they stored from them at
  // once; like remove, that needs saying twice.
  const int alive = nodeContextsAlive(ids);
  if (alive > 0 && !force) {
    return fail(counted(alive, "node context", "node contexts") +
                " on this machine use the pool and lose every value in it; kvpool save keeps "
                "a snapshot first; --force clears all the same");
  }
  if (int refused = prepareChange(ids, "clear", waitSeconds); refused != kExitDone) return refused;
  OpenedPool pool;
  if (!openForChange(ids, &pool)) return kExitNotDone;
  const PoolControl before = pool.header();
  if (kvpool::clearPool(pool.view()) != KVPOOL_OK) return fail("clearing the pool failed");
  warnIfRemovedMeanwhile(ids.segment);
  std::cout << "cleared the pool: " << counted(std::max(before.blockCount, 0), "record", "records")
            << " removed\n";
  return kExitDone;
}

int runSave(double waitSeconds) {
  const PoolIds ids = kvpool::findPoolIds();
  if (!ids.exists()) {
    // A timer's save on a machine whose brokers are stopped: the last one
    // saved already, and nothing may overwrite that file.
    std::cout << "no pool exists on this machine: nothing saved, " << printable(snapshotFilePath())
              << " left as it is\n";
    return kExitDone;
  }
  if (ids.semaphores == -1) {
    return fail("the pool has no semaphore set (key 88888), so it cannot be locked for a save");
  }
  // Saves killed before their rename left their temporary files behind (the
  // save itself would remove them too, without a word).
  const kvpool::DeadSavesFiles removed = kvpool::findDeadSavesFiles(true);
  if (removed.files > 0) {
    std::cout << "removed " << counted(removed.files, "leftover", "leftovers")
              << " of killed saves (" << removed.bytes << " bytes)\n";
  }
  if (std::string why; !awaitWriterLock(ids.semaphores, waitSeconds, &why)) {
    return fail("save refused: " + why);
  }
  OpenedPool pool;
  if (!openForChange(ids, &pool)) return kExitNotDone;
  if (std::string why; kvpool::savePoolToFile(pool.view(), &why) != 0) {
    return fail("the pool could not be saved to " + printable(snapshotFilePath()) + ": " +
                (why.empty() ? "see /tmp/KvPool.log for the step that failed" : why));
  }
  std::string why;
  auto image = readSnapshotFile(&why);
  if (!image) return fail(why);
  const Walk walk = walkPool(*image);
  std::cout << "saved " << walk.records.size() << " records (" << image->bytes.size()
            << " bytes) to " << printable(snapshotFilePath()) << "\n";
  return kExitDone;
}

int runLoad(double waitSeconds) {
  const PoolIds ids = kvpool::findPoolIds();
  if (int refused = prepareChange(ids, "load", waitSeconds); refused != kExitDone) return refused;
  std::string why;
  auto file = readSnapshotFile(&why);
  if (!file) return fail(why + " (kvpool save writes it)");
  const Walk fileWalk = walkPool(*file);
  if (!fileWalk.sound()) {
    return fail(snapshotFilePath() + " is damaged (" + fileWalk.damage.front() +
                "); kvpool verify --snapshot lists every inconsistency");
  }
  if (fileWalk.records.empty()) {
    return fail(snapshotFilePath() + " holds an empty pool: nothing to load");
  }
  OpenedPool pool;
  if (!openForChange(ids, &pool)) return kExitNotDone;
  const PoolControl before = pool.header();
  if (kvpool::loadPoolFromFile(pool.view(), kvpool::SnapshotFit::kUpToCapacity) != 0) {
    return fail(snapshotFilePath() + " was refused by the pool (see /tmp/KvPool.log)");
  }
  const PoolControl after = pool.header();
  warnIfRemovedMeanwhile(ids.segment);
  if (std::memcmp(&before, &after, sizeof before) == 0) {
    if (before.blockCount > 0) {
      return fail("nothing loaded: the pool holds " + std::to_string(before.blockCount) +
                  " records, and a snapshot loads only into an empty pool");
    }
    return fail("nothing loaded: the snapshot's " + std::to_string(file->bytes.size()) +
                " bytes are more than the pool's capacity of " +
                std::to_string(pool.view().capacity) + " bytes");
  }
  std::cout << "loaded " << after.blockCount << " records (" << after.usedSize << " bytes) from "
            << printable(snapshotFilePath()) << "\n";
  return kExitDone;
}

int runRemove(bool force) {
  const PoolIds ids = kvpool::findPoolIds();
  if (!ids.exists() && ids.semaphores == -1) return noPool();
  const int alive = nodeContextsAlive(ids);
  if (alive > 0 && !force) {
    return fail(counted(alive, "node context", "node contexts") +
                " on this machine still use the pool; stop their flows (the last one removes "
                "the pool) or use --force");
  }
  if (alive > 0) {
    warn(std::to_string(alive) +
         " node contexts still use the pool: their processes keep "
         "their mapping of the old segment, their locks stop working, and their stores are lost");
  }
  int status = kExitDone;
  const auto removed = [&status](bool done, const char* what, const char* call, int id, int key) {
    const int error = errno;
    if (done) {
      std::cout << "removed the " << what << " (id " << id << ", key " << key << ")\n";
    } else {
      status = fail(std::string("cannot remove the ") + what + ": " + call +
                    "(IPC_RMID) failed: " + std::strerror(error));
    }
  };
  if (ids.segment != -1) {
    removed(kvpool::removePoolSegment(ids.segment), "segment", "shmctl", ids.segment, 99999);
  }
  if (ids.semaphores != -1) {
    removed(kvpool::removePoolSemaphores(ids.semaphores), "semaphore set", "semctl", ids.semaphores,
            88888);
  }
  return status;
}

}  // namespace kvpooltool
