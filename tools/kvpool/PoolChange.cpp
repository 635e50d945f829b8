#include "tools/kvpool/PoolChange.h"

#include <errno.h>

#include <cstring>

#include "tools/kvpool/PoolFacts.h"
#include "tools/kvpool/Report.h"
#include "tools/kvpool/TimedLock.h"

namespace kvpooltool {

int nodeContextsAlive(const kvpool::PoolIds& ids) {
  kvpool::PoolSemaphoreValues values;
  return kvpool::readPoolSemaphores(ids.semaphores, &values) ? values.nodeContexts() : 0;
}

int prepareChange(const kvpool::PoolIds& ids, const std::string& what, double waitSeconds) {
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

bool openForChange(const kvpool::PoolIds& ids, kvpool::OpenedPool* pool, std::string* why) {
  if (pool->open(ids, kvpool::OpenedPool::Mode::kReadWrite)) return true;
  if (pool->failure() == kvpool::OpenedPool::Failure::kLookAtSegment) {
    *why = std::string("cannot look at the segment: shmctl(IPC_STAT) failed: ") +
           std::strerror(pool->error());
  } else if (pool->failure() == kvpool::OpenedPool::Failure::kForeignJournal) {
    *why = pool->problem();
  } else {
    *why = "cannot map the segment (shmat failed; see /tmp/KvPool.log)";
  }
  return false;
}

void warnIfRemovedMeanwhile(int segment) {
  kvpool::PoolSegmentStatus status;
  if (!kvpool::readPoolSegmentStatus(segment, &status) || status.removed) {
    warn("the pool was removed by its last node context during the change: the change is lost");
  }
}

}  // namespace kvpooltool
