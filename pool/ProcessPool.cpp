// This process's own pool as its node contexts hold it: attaching and
// detaching node contexts, looking the pool up again after its lock went, the
// traced locks on hSemaphore, and one exported call's hold on the handles
// (kvpool::ProcessPoolCall).
#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "pool/PoolLock.h"
#include "pool/SegmentLifecycle.h"
#include "support/KvPoolConstants.h"
#include "support/Trace.h"

using namespace kvpool;  // NOLINT: this file's own pieces

namespace {

// An operation on this process's pool could not take its lock: the next one
// looks the pool up again first.
std::atomic<bool> lookUpAgain{false};
// Node creation and deletion, and a new lookup, change the process's handles;
// the exported operations hold them steady while they run.
std::shared_mutex processPoolMutex;

// A node joining a pool that its last node context removes at that moment is
// retried this often: each new attempt finds, or makes, a newer pool.
constexpr int kJoinAttempts = 5;

// Event 9; with the configuration problem as insert when there is one.
void logPoolUnavailable() {
  logPoolEvent(CCI_LOG_ERROR, kEventPoolUnavailable, kLinePoolUnavailable, "createNodeContext",
               getKvPoolAttachProblem());
}

// Looks this process's pool up again after an operation found its lock gone,
// and takes the slots of its node contexts on the pool found (or made).
bool lookUpPoolAgain() {
  if (poolUsers <= 0) return true;  // no node context to hold the pool for
  Log("  lookUpPoolAgain: the pool's lock was gone, looking the pool up again\n");
  for (int attempt = 0; attempt < kJoinAttempts; ++attempt) {
    if (!findAndMapPool()) return false;
    const Join join = joinSlots(0);
    if (join == Join::kJoined) return true;
    if (join == Join::kFailed) return false;
    forgetRemovedPool("lookUpPoolAgain");
  }
  return false;
}

}  // namespace

void sem_WLock(void) {
  lockForWriting(hSemaphore, LockTrace::kTraced, nullptr);
}
void sem_WUnLock(void) {
  unlockForWriting(hSemaphore, LockTrace::kTraced);
}
void sem_RLock(void) {
  lockForReading(hSemaphore, LockTrace::kTraced, nullptr);
}
void sem_RUnLock(void) {
  unlockForReading(hSemaphore, LockTrace::kTraced);
}

int attachKvPool(void) {
  const std::unique_lock<std::shared_mutex> guard(processPoolMutex);
  clearAttachProblem();
  if (readPoolMode() && findAndMapPool()) return 0;
  logPoolUnavailable();
  return 1;
}

int takeKvPoolUserSlot(void) {
  const std::unique_lock<std::shared_mutex> guard(processPoolMutex);
  for (int attempt = 1;; ++attempt) {
    const Join join = hSemaphore == -1 ? Join::kSetRemoved : joinSlots(1);
    if (join == Join::kJoined) {
      if (poolUsers == 0) warnPersistSettingDiffers(true);
      poolUsers += 1;
      lookUpAgain = false;  // whatever this process held is held again
      Log("  poolUsers %d\n", poolUsers);
      return 0;
    }
    if (join == Join::kFailed) break;
    forgetRemovedPool("createNodeContext");
    // No pool is made that this creation would not use.
    if (attempt == kJoinAttempts) break;
    if (!findAndMapPool()) {
      logPoolUnavailable();
      return 1;
    }
  }
  Log("  >>createNodeContext: semop() failed\n");
  logPoolUnavailable();
  return 1;
}

void detachKvPool(void) {
  const std::unique_lock<std::shared_mutex> guard(processPoolMutex);
  leavePool();
}

namespace kvpool {

ProcessPoolCall::ProcessPoolCall() {
  if (lookUpAgain) {
    const std::unique_lock<std::shared_mutex> guard(processPoolMutex);
    if (lookUpAgain) {
      available_ = lookUpPoolAgain();
      lookUpAgain = !available_;
    }
  }
  processPoolMutex.lock_shared();
  view_ = processPoolView();
  lockFailuresBefore_ = threadLockFailures();
}

ProcessPoolCall::~ProcessPoolCall() {
  if (threadLockFailures() != lockFailuresBefore_) lookUpAgain = true;
  processPoolMutex.unlock_shared();
}

}  // namespace kvpool
