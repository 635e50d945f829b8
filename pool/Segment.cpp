// The pool's system objects: the semaphore set (key 88888) and the segment
// (key 99999), their per-machine lifetime, this process's handles to them, and
// the reader/writer lock built on semaphores 0 and 1.
#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pool/KvPoolShm.h"
#include "pool/PoolRecords.h"
#include "support/KvPoolConstants.h"
#include "support/Trace.h"

extern "C" {
int hKvMem = -1;
void* hKvMemView = nullptr;
int hSemaphore = -1;
int poolUsers = 0;
int noOfPoolPages = 1;
}

namespace {

// Bytes of the segment behind hKvMemView, from the system when it was mapped.
int32_t kvMemSegmentSize = 0;

constexpr int kPermissions = 0666;
constexpr int kWriterSem = 0;
constexpr int kReaderSem = 1;
constexpr int kSlotSem = 2;
constexpr int kPageTextMax = 23;  // the longest KVPOOL_MEMORY_PAGES text taken
// A lost creation race is retried this often before giving up: the object
// can only vanish again if a last user removes it in between every time.
constexpr int kLookupAttempts = 3;
// How long a set whose slot count was never set may stay so before this
// process sets it itself: creators set it right after creating the set, so a
// set still untouched after this long lost its creator.
constexpr int kSlotInitPolls = 100;
constexpr long kSlotInitPollNanos = 10L * 1000 * 1000;

// The six operations of the pool, each handed to semop as one list.
constexpr sembuf kWriteLockOps[] = {
    {kReaderSem, 0, 0}, {kWriterSem, 0, 0}, {kWriterSem, +1, SEM_UNDO}};
constexpr sembuf kWriteUnlockOps[] = {{kWriterSem, -1, SEM_UNDO}};
constexpr sembuf kReadLockOps[] = {{kWriterSem, 0, 0}, {kReaderSem, +1, SEM_UNDO}};
constexpr sembuf kReadUnlockOps[] = {{kReaderSem, -1, SEM_UNDO}};
constexpr sembuf kTakeSlotOps[] = {{kSlotSem, -1, SEM_UNDO}};
constexpr sembuf kReleaseSlotOps[] = {{kSlotSem, +1, SEM_UNDO}};
// Sets the slot count of a new set: only while it is still 0, in one step, so
// that a creator and a process that took over from a dead creator cannot both
// set it after a slot was taken. No SEM_UNDO: the count outlives its setter.
constexpr sembuf kInitSlotsOps[] = {{kSlotSem, 0, IPC_NOWAIT}, {kSlotSem, KVPOOL_USER_SLOTS, 0}};

union SemctlArg {
  int val;
  semid_ds* buf;
  unsigned short* array;
};

// One semop of a constant list; a wait interrupted by a signal is resumed, so
// a lock call returns holding the lock unless the set itself failed.
template <std::size_t N>
bool runSemop(int semaphoreSet, const sembuf (&ops)[N]) {
  std::array<sembuf, N> list;
  std::copy(std::begin(ops), std::end(ops), list.begin());
  while (semop(semaphoreSet, list.data(), N) == -1) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool lockForWriting() {
  Log("-->sem_WLock\n");
  if (runSemop(hSemaphore, kWriteLockOps)) return true;
  Log("  >sem_WLock: semop() failed\n");
  return false;
}

void unlockForWriting() {
  Log("-->sem_WUnLock\n");
  if (!runSemop(hSemaphore, kWriteUnlockOps)) Log("  >sem_WUnLock: semop() failed\n");
}

bool lockForReading() {
  Log("-->sem_RLock\n");
  if (runSemop(hSemaphore, kReadLockOps)) return true;
  Log("  >sem_RLock: semop() failed\n");
  return false;
}

void unlockForReading() {
  Log("-->sem_RUnLock\n");
  if (!runSemop(hSemaphore, kReadUnlockOps)) Log("  >sem_RUnLock: semop() failed\n");
}

void initialiseSlotCount(int semaphoreSet) {
  // EAGAIN: the count is set already (by the creator, or by a process that
  // took over from it).
  if (!runSemop(semaphoreSet, kInitSlotsOps) && errno != EAGAIN) {
    Log("  >initHandleOfKvPool semctl() SETVAL failed\n");
  }
}

// A set found by lookup may be brand new: its creator sets the slot count
// right after creating it. Every process sets the count before any other
// operation on the set, so a set on which no semop ever ran (sem_otime 0) and
// whose count is 0 has not been set up yet. Wait a moment for its creator;
// if the set stays untouched the creator died in between, and this process
// sets the count itself rather than waiting for a slot forever.
void awaitSlotCount(int semaphoreSet) {
  for (int poll = 0;; ++poll) {
    semid_ds status{};
    SemctlArg arg{};
    arg.buf = &status;
    if (semctl(semaphoreSet, 0, IPC_STAT, arg) == -1) return;
    if (status.sem_otime != 0) return;
    if (semctl(semaphoreSet, kSlotSem, GETVAL) != 0) return;
    if (poll == kSlotInitPolls) break;
    timespec pause{0, kSlotInitPollNanos};
    nanosleep(&pause, nullptr);
  }
  Log("  initHandleOfKvPool semaphore set %d was never set up, setting it up\n", semaphoreSet);
  initialiseSlotCount(semaphoreSet);
}

void findOrCreateSemaphoreSet() {
  hSemaphore = semget(KVPOOL_SEM_KEY, 3, kPermissions);
  if (hSemaphore != -1) {
    awaitSlotCount(hSemaphore);
    return;
  }
  Log("  initHandleOfKvPool semget() Creating semaphore\n");
  for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
    hSemaphore = semget(KVPOOL_SEM_KEY, 3, IPC_CREAT | IPC_EXCL | kPermissions);
    if (hSemaphore != -1) {
      initialiseSlotCount(hSemaphore);
      return;
    }
    if (errno != EEXIST) break;
    // Another process created the set since the lookup: use theirs.
    hSemaphore = semget(KVPOOL_SEM_KEY, 3, kPermissions);
    if (hSemaphore != -1) {
      awaitSlotCount(hSemaphore);
      return;
    }
  }
  Log("  >initHandleOfKvPool semget() failed\n");
  Log("  >initHandleOfKvPool semctl() SETVAL failed\n");
}

// The segment id kept since an earlier node creation still names our pool:
// the last user elsewhere may have removed it (it then loses its key and is
// marked for destruction while this process still has it mapped).
bool retainedSegmentIsLive() {
  shmid_ds status{};
  if (shmctl(hKvMem, IPC_STAT, &status) == -1) return false;
  return status.shm_perm.__key == KVPOOL_SHM_KEY && (status.shm_perm.mode & SHM_DEST) == 0;
}

void dropRetainedSegment() {
  Log("  initHandleOfKvPool segment %d was removed, looking the pool up again\n", hKvMem);
  if (hKvMemView != nullptr) {
    shmdt(hKvMemView);
    hKvMemView = nullptr;
    kvMemSegmentSize = 0;
  }
  hKvMem = -1;
}

// Texts longer than the 24-byte buffer of the format are rejected rather than
// cut, so a long text never turns into a different number.
void readPoolPages() {
  const char* text = std::getenv("KVPOOL_MEMORY_PAGES");
  if (text == nullptr) return;
  long pages = 0;
  if (std::strlen(text) <= kPageTextMax) pages = std::strtol(text, nullptr, 10);
  noOfPoolPages = pages >= 1 && pages <= KVPOOL_MAX_PAGES ? static_cast<int>(pages) : 1;
  Log("  KVPOOL_MEMORY_PAGES %s %d\n", text, noOfPoolPages);
}

int32_t configuredCapacity() {
  const int64_t capacity = static_cast<int64_t>(noOfPoolPages) * KVPOOL_PAGE_SIZE;
  return static_cast<int32_t>(std::clamp<int64_t>(capacity, 0, INT32_MAX));
}

int findOrCreateSegment() {
  for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
    hKvMem = shmget(KVPOOL_SHM_KEY, 0, IPC_EXCL | kPermissions);
    if (hKvMem != -1) {
      Log("  shmget hKvMem = %d\n", hKvMem);
      return 1;
    }
    char pagesText[kPageTextMax + 1];
    std::snprintf(pagesText, sizeof pagesText, "%d", noOfPoolPages);
    int rc = 0;
    cciLog(&rc, CCI_LOG_INFORMATION, kvpool::kEventFile, kvpool::kLinePoolCreated,
           "initHandleOfKvPool", constKvCatalog, kvpool::kEventPoolCreated, kvpool::kVTRL2Text,
           pagesText, static_cast<const char*>(nullptr));
    hKvMem = shmget(KVPOOL_SHM_KEY, static_cast<size_t>(configuredCapacity()),
                    IPC_CREAT | IPC_EXCL | kPermissions);
    if (hKvMem != -1) {
      Log("  shmget IPC_CREAT hKvMem = %d\n", hKvMem);
      return 0;
    }
    // EEXIST: another process created it since the lookup; use theirs.
    if (errno != EEXIST) return 0;
  }
  return 0;
}

}  // namespace

int initHandleOfKvPool(void) {
  Log("-->initHandleOfKvPool hKvMem = 0x%X\n", static_cast<unsigned>(hKvMem));
  findOrCreateSemaphoreSet();
  if (hKvMem != -1) {
    if (retainedSegmentIsLive()) return 1;
    dropRetainedSegment();
  }
  readPoolPages();
  return findOrCreateSegment();
}

void initHandleOfKvPoolView(int existed) {
  Log("-->initHandleOfKvPoolView hKvMemView = 0x%X\n",
      static_cast<unsigned>(reinterpret_cast<uintptr_t>(hKvMemView)));
  if (hKvMemView != nullptr) return;
  void* view = shmat(hKvMem, nullptr, 0);
  if (view == reinterpret_cast<void*>(-1)) {
    Log("  >initHandleOfKvPoolView: shmat() failed\n");
    return;
  }
  // Every bound is taken from the segment as it really is, not from this
  // process's KVPOOL_MEMORY_PAGES.
  shmid_ds status{};
  if (shmctl(hKvMem, IPC_STAT, &status) == -1) {
    Log("  >initHandleOfKvPoolView: shmctl() IPC_STAT failed\n");
    shmdt(view);
    return;
  }
  if (status.shm_segsz < sizeof(PoolControl)) {
    Log("  >initHandleOfKvPoolView: segment of %d bytes cannot hold a pool\n",
        static_cast<int>(status.shm_segsz));
    shmdt(view);
    return;
  }
  hKvMemView = view;
  kvMemSegmentSize = static_cast<int32_t>(std::min<size_t>(status.shm_segsz, INT32_MAX));
  if (existed == 0) initKvPoolMemory();
}

void initKvPoolMemory(void) {
  Log("-->initKvPoolMemory\n");
  if (hKvMemView == nullptr) return;
  const PoolControl empty = {getKvPoolCapacity(), 0, static_cast<int32_t>(sizeof(PoolControl))};
  kvpool::PoolWriteLock lock;
  // Another process may have found the new segment and stored into it before
  // this one got the lock; only a header nobody has written yet is set.
  auto* base = static_cast<unsigned char*>(hKvMemView);
  if (kvpool::readPoolControl(base).usedSize < kvpool::kPoolHeaderBytes) {
    kvpool::writePoolControl(base, empty);
  }
}

void closeHandleOfKvPoolView(void) {
  Log("-->closeHandleOfKvPoolView hKvMemView %X\n",
      static_cast<unsigned>(reinterpret_cast<uintptr_t>(hKvMemView)));
  if (shmdt(hKvMemView) == -1) Log("  >closeHandleOfKvPoolView: shmdt() failed\n");
  hKvMemView = nullptr;
  kvMemSegmentSize = 0;
  Log("  closeHandleOfKvPoolView .. hKvMemView=NULL\n");
}

void closeHandleOfKvPool(void) {
  Log("-->closeHandleOfKvPool hKvMem %X\n", static_cast<unsigned>(hKvMem));
  if (hKvMem != -1) {
    if (shmctl(hKvMem, IPC_RMID, nullptr) == -1) Log("  >closeHandleOfKvPool: shmctl() failed\n");
    Log("  >> Shared Memory Segment Deleted<<\n");
  }
  hKvMem = -1;
  Log("  closeHandleOfKvPool .. hKvMem=NULL\n");
}

void sem_WLock(void) {
  lockForWriting();
}
void sem_WUnLock(void) {
  unlockForWriting();
}
void sem_RLock(void) {
  lockForReading();
}
void sem_RUnLock(void) {
  unlockForReading();
}

int attachKvPool(void) {
  const int existed = initHandleOfKvPool();
  initHandleOfKvPoolView(existed);
  if (hKvMem != -1 && hKvMemView != nullptr) return 0;
  Log("  hKvMem or hKvMemView is NULL\n");
  int rc = 0;
  cciLog(&rc, CCI_LOG_ERROR, kvpool::kEventFile, kvpool::kLinePoolUnavailable, "createNodeContext",
         constKvCatalog, kvpool::kEventPoolUnavailable, kvpool::kVTRL2Text,
         static_cast<const char*>(nullptr));
  return 1;
}

void takeKvPoolUserSlot(void) {
  if (!runSemop(hSemaphore, kTakeSlotOps)) Log("  >>createNodeContext: semop() failed\n");
  poolUsers += 1;
  Log("  poolUsers %d\n", poolUsers);
}

void detachKvPool(void) {
  poolUsers -= 1;
  if (!runSemop(hSemaphore, kReleaseSlotOps)) Log("  >deleteNodeContext: semop() failed\n");
  if (poolUsers != 0) return;
  const int freeSlots = semctl(hSemaphore, kSlotSem, GETVAL);
  Log("  semPoolUsers %d\n", KVPOOL_USER_SLOTS + 1 - freeSlots);
  if (freeSlots < 0) Log("  >deleteNodeContext: semctl() GETVAL failed\n");
  if (freeSlots == KVPOOL_USER_SLOTS) {
    closeHandleOfKvPoolView();
    closeHandleOfKvPool();
    if (semctl(hSemaphore, 0, IPC_RMID) == -1) {
      Log("  >deleteNodeContext: semctl() remove id failed\n");
    }
    Log("  >> Semaphore Deleted <<\n");
  }
  hSemaphore = -1;
}

int32_t getKvPoolSegmentSize(void) {
  return hKvMemView != nullptr ? kvMemSegmentSize : 0;
}

int32_t getKvPoolCapacity(void) {
  const int32_t capacity = configuredCapacity();
  return hKvMemView != nullptr ? std::min(capacity, kvMemSegmentSize) : capacity;
}

namespace kvpool {

PoolWriteLock::PoolWriteLock() : held_(lockForWriting()) {}
PoolWriteLock::~PoolWriteLock() {
  if (held_) unlockForWriting();
}

PoolReadLock::PoolReadLock() : held_(lockForReading()) {}
PoolReadLock::~PoolReadLock() {
  if (held_) unlockForReading();
}

}  // namespace kvpool
