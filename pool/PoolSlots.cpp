// The user slots of the pool's node contexts and the removal of the pool by
// the machine's last one (pool/SegmentLifecycle.h).
#include <errno.h>
#include <sys/sem.h>

#include <string>

#include "pool/PoolLock.h"
#include "pool/SegmentLifecycle.h"
#include "support/KvPoolConstants.h"
#include "support/Trace.h"

namespace kvpool {

PoolRemovalHook poolRemovalHook = nullptr;

namespace {

// The set on which this process's poolUsers slots are held; -1 when none is
// (no node context, or the set was removed under them).
int slotSet = -1;

constexpr sembuf kReleaseSlotOps[] = {{kSlotSem, +1, SEM_UNDO}};

// The machine's last node context, under the writer lock: a pool created
// with KVPOOL_PERSIST is saved there first. False when that failed: the
// pool then stays, so that the next node finds everything in it (event 19).
bool savedBeforeRemoval() {
  const char* path = persistPath();
  if (path == nullptr || !poolCreatedPersistent()) return true;
  std::string why;
  if (savePoolToFileLocked(processPoolView(), &why) == 0) return true;
  const std::string text = "the pool could not be saved to " + std::string(path) + " (" +
                           (why.empty() ? std::string("see /tmp/KvPool.log") : why) +
                           "); it stays in memory for the next node";
  Log("  >deleteNodeContext: %s\n", text.c_str());
  logPoolEvent(CCI_LOG_WARNING, kEventPersistSaveFailed, kLinePersistSaveFailed,
               "deleteNodeContext", text.c_str());
  return false;
}

// The last node context of this process leaves: whether it is the machine's
// last, and the removal, happen under the writer lock (see joinSlots).
void leaveLastSlot() {
  if (!lockForWriting(hSemaphore, LockTrace::kQuiet, nullptr)) {
    Log("  >deleteNodeContext: semop() failed\n");  // the set went, and the slot with it
    return;
  }
  if (!runSemop(hSemaphore, kReleaseSlotOps)) Log("  >deleteNodeContext: semop() failed\n");
  const int freeSlots = semctl(hSemaphore, kSlotSem, GETVAL);
  Log("  semPoolUsers %d\n", KVPOOL_USER_SLOTS + 1 - freeSlots);
  if (freeSlots < 0) Log("  >deleteNodeContext: semctl() GETVAL failed\n");
  if (freeSlots != KVPOOL_USER_SLOTS || !savedBeforeRemoval()) {
    unlockForWriting(hSemaphore, LockTrace::kQuiet);
    return;
  }
  if (poolRemovalHook != nullptr) poolRemovalHook();
  closeHandleOfKvPoolView();
  closeHandleOfKvPool();
  // The lock goes with the set: whoever waits for it gets EIDRM.
  if (semctl(hSemaphore, 0, IPC_RMID) == -1) {
    Log("  >deleteNodeContext: semctl() remove id failed\n");
  }
  Log("  >> Semaphore Deleted <<\n");
}

}  // namespace

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

void forgetRemovedPool(const char* function) {
  Log("  %s: the pool was removed meanwhile, looking it up again\n", function);
  forgetSegment();
  hSemaphore = -1;
}

void warnPersistSettingDiffers(bool joined) {
  if (persistPath() != nullptr || !poolCreatedPersistent()) return;
  const std::string text =
      std::string("this process, without KVPOOL_PERSIST, ") + (joined ? "joined" : "left") +
      " a pool created with it: give all brokers the same KVPOOL_PERSIST (a pool whose last node "
      "is in such a process is removed unsaved)";
  Log("  %s\n", text.c_str());
  logPoolEvent(CCI_LOG_WARNING, kEventPersistSettingDiffers, kLinePersistSettingDiffers,
               joined ? "createNodeContext" : "deleteNodeContext", text.c_str());
}

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

}  // namespace kvpool
