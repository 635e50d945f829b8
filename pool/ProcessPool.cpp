// This process's own pool as its node contexts hold it: attaching and
// detaching node contexts, their machine-wide user slots on semaphore 2 (the
// machine's last one removes the pool), looking the pool up again after its
// lock went, the traced locks on hSemaphore, and one exported call's hold on
// the handles (kvpool::ProcessPoolCall).
#include <errno.h>
#include <sys/sem.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "pool/PersistPolicy.h"
#include "pool/PoolLock.h"
#include "pool/SegmentLifecycle.h"
#include "support/KvPoolConstants.h"
#include "support/Trace.h"

namespace kvpool {

PoolRemovalHook poolRemovalHook = nullptr;

namespace {

enum class Join { kJoined, kSetRemoved, kFailed };

// The set on which this process's poolUsers slots are held; -1 when none is
// (no node context, or the set was removed under them).
int slotSet = -1;

constexpr sembuf kReleaseSlotOps[] = {{kSlotSem, +1, SEM_UNDO}};

// The last node context of this process leaves: whether it is the machine's
// last, and the removal, happen under the writer lock (see joinSlots).
void leaveLastSlot() {
  PoolChangeLock lock(processPoolView(), "deleteNodeContext", LockTrace::kQuiet);
  if (!lock.held()) {
    Log("  >deleteNodeContext: semop() failed\n");  // the set went, and the slot with it
    return;
  }
  if (!runSemop(hSemaphore, kReleaseSlotOps)) Log("  >deleteNodeContext: semop() failed\n");
  const int freeSlots = semctl(hSemaphore, kSlotSem, GETVAL);
  Log("  semPoolUsers %d\n", KVPOOL_USER_SLOTS + 1 - freeSlots);
  if (freeSlots < 0) Log("  >deleteNodeContext: semctl() GETVAL failed\n");
  if (freeSlots != KVPOOL_USER_SLOTS || !persistBeforeRemoval(processPoolView())) return;
  if (poolRemovalHook != nullptr) poolRemovalHook();
  closeHandleOfKvPoolView();
  closeHandleOfKvPool();
  // The lock goes with the set: whoever waits for it gets EIDRM.
  if (semctl(hSemaphore, 0, IPC_RMID) == -1) {
    Log("  >deleteNodeContext: semctl() remove id failed\n");
  } else {
    lock.abandon();
  }
  Log("  >> Semaphore Deleted <<\n");
}

// Takes newSlots for new node contexts, and this process's poolUsers slots
// too unless the set already holds them (the set they were on was removed),
// in one step and only while no writer holds the lock: the machine's last
// node context decides to remove the pool under the writer lock, so no node
// joins between its count and the removal, and one waiting gets EIDRM.
Join joinSlots(int newSlots) {
  const int wanted = newSlots + (slotSet == hSemaphore ? 0 : poolUsers);
  const sembuf ops[] = {{kWriterSem, 0, 0}, {kSlotSem, static_cast<short>(-wanted), SEM_UNDO}};
  if (wanted > 0 && !runSemop(hSemaphore, ops)) {
    noteUnavailable("semop()", errno);
    return setRemoved(errno) ? Join::kSetRemoved : Join::kFailed;
  }
  slotSet = hSemaphore;
  return Join::kJoined;
}

// A set removed under a lookup: forget both objects, to look again.
void forgetRemovedPool(const char* function) {
  Log("  %s: the pool was removed meanwhile, looking it up again\n", function);
  forgetSegment();
  hSemaphore = -1;
}

// One node context of this process leaves: counts one poolUsers less and
// gives its slot back to the set that holds it; the last one also decides,
// under the writer lock, whether the machine's pool goes, and removes it.
void leavePool() {
  if (poolUsers == 1) warnPersistSettingDiffers(false);
  poolUsers -= 1;
  // Slots are given back only to the set that holds them: one that was
  // removed under them took them along.
  const bool holdsSlots = slotSet != -1 && slotSet == hSemaphore;
  if (poolUsers != 0) {
    if (holdsSlots && !runSemop(hSemaphore, kReleaseSlotOps)) {
      Log("  >deleteNodeContext: semop() failed\n");
    }
    return;
  }
  slotSet = -1;
  if (holdsSlots) leaveLastSlot();
  hSemaphore = -1;
}

}  // namespace
}  // namespace kvpool

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

int countKvPoolUsers(void) {
  const std::shared_lock<std::shared_mutex> guard(processPoolMutex);
  return poolUsers;
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
