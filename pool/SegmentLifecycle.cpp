// The pool's system objects and their lifetime on the machine: finding or
// creating the semaphore set (key 88888) and the segment (key 99999), mapping
// the segment and its store journal into this process, and removing them.
// This process's handles to them live here (pool/SegmentLifecycle.h).
#include "pool/SegmentLifecycle.h"

#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "pool/PersistPolicy.h"
#include "pool/PoolLock.h"
#include "pool/PoolRecords.h"
#include "pool/StoreJournal.h"
#include "support/KvPoolConstants.h"
#include "support/Trace.h"

extern "C" {
int hKvMem = -1;
void* hKvMemView = nullptr;
int hSemaphore = -1;
int poolUsers = 0;
}

namespace kvpool {
namespace {

// Bytes of the segment behind hKvMemView, from the system when it was mapped.
int32_t kvMemSegmentSize = 0;
// This process's mapping of the pool's store journal; null when the pool has
// none it could map (the pool then works without one, and without the index).
void* journalView = nullptr;
StoreJournal* processJournal = nullptr;
KeyIndex processIndex;

constexpr int kPermissions = 0666;  // the access a lookup asks for
// A lost creation race is retried this often before giving up: the object
// can only vanish again if a last user removes it in between every time.
constexpr int kLookupAttempts = 3;
// How long a set whose slot count was never set may stay so before this
// process sets it itself: creators set it right after creating the set, so a
// set still untouched after this long lost its creator.
constexpr int kSlotInitPolls = 100;
constexpr long kSlotInitPollNanos = 10L * 1000 * 1000;

// Sets the slot count of a new set: only while it is still 0, in one step, so
// that a creator and a process that took over from a dead creator cannot both
// set it after a slot was taken. No SEM_UNDO: the count outlives its setter.
constexpr sembuf kInitSlotsOps[] = {{kSlotSem, 0, IPC_NOWAIT}, {kSlotSem, KVPOOL_USER_SLOTS, 0}};

void initialiseSlotCount(int semaphoreSet) {
  // EAGAIN: the count is set already.
  if (!runSemop(semaphoreSet, kInitSlotsOps) && errno != EAGAIN) {
    Log("  >initHandleOfKvPool semctl() SETVAL failed\n");
  }
}

// A set on which no semop ever ran (sem_otime 0) and whose count is 0 has not
// been set up yet: its creator sets the count right after creating it. Wait
// a moment for it; a set that stays untouched lost its creator, and this
// process sets the count rather than wait for a slot forever.
void awaitSlotCount(int semaphoreSet) {
  for (int poll = 0;; ++poll) {
    semid_ds status{};
    if (!readSemaphoreStatus(semaphoreSet, &status) || status.sem_otime != 0) return;
    if (semctl(semaphoreSet, kSlotSem, GETVAL) != 0) return;
    if (poll == kSlotInitPolls) break;
    timespec pause{0, kSlotInitPollNanos};
    nanosleep(&pause, nullptr);
  }
  Log("  initHandleOfKvPool semaphore set %d was never set up, setting it up\n", semaphoreSet);
  initialiseSlotCount(semaphoreSet);
}

// A set found by key is joined only when KVPOOL_MODE, if given, fits it.
void joinFoundSet() {
  if (poolModeGiven() &&
      !semaphoresFitMode(hSemaphore, poolCreationMode(), attachProblemBuffer())) {
    Log("  >initHandleOfKvPool: semaphore set %d refused for KVPOOL_MODE\n", hSemaphore);
    hSemaphore = -1;
    return;
  }
  awaitSlotCount(hSemaphore);
}

void findOrCreateSemaphoreSet() {
  hSemaphore = semget(KVPOOL_SEM_KEY, 3, kPermissions);
  if (hSemaphore != -1) {
    joinFoundSet();
    return;
  }
  if (errno != ENOENT) {
    // It exists but is not ours to use (no access, say): never another one.
    noteUnavailable("semget()", errno);
    Log("  >initHandleOfKvPool semget() failed\n");
    return;
  }
  Log("  initHandleOfKvPool semget() Creating semaphore\n");
  for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
    hSemaphore = semget(KVPOOL_SEM_KEY, 3, IPC_CREAT | IPC_EXCL | poolCreationMode());
    if (hSemaphore != -1) {
      initialiseSlotCount(hSemaphore);
      return;
    }
    if (errno != EEXIST) break;
    // Another process created the set since the lookup: use theirs.
    hSemaphore = semget(KVPOOL_SEM_KEY, 3, kPermissions);
    if (hSemaphore != -1) {
      joinFoundSet();
      return;
    }
  }
  noteUnavailable("semget()", errno);
  Log("  >initHandleOfKvPool semget() failed\n");
  Log("  >initHandleOfKvPool semctl() SETVAL failed\n");
}

// The segment id kept since an earlier node creation still names our pool,
// not one the last user elsewhere removed (it then loses its key and is
// marked for destruction).
bool retainedSegmentIsLive() {
  shmid_ds status{};
  if (shmctl(hKvMem, IPC_STAT, &status) == -1) return false;
  return status.shm_perm.__key == KVPOOL_SHM_KEY && (status.shm_perm.mode & SHM_DEST) == 0;
}

int findOrCreateSegment() {
  for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
    hKvMem = shmget(KVPOOL_SHM_KEY, 0, IPC_EXCL | kPermissions);
    if (hKvMem != -1) {
      Log("  shmget hKvMem = %d\n", hKvMem);
      if (poolModeGiven() && !segmentFitsMode(hKvMem, poolCreationMode(), attachProblemBuffer())) {
        Log("  >initHandleOfKvPool: segment %d refused for KVPOOL_MODE\n", hKvMem);
        hKvMem = -1;
      }
      return 1;
    }
    if (errno != ENOENT) {
      // It exists but is not ours to use: never another one beside it.
      noteUnavailable("shmget()", errno);
      Log("  >initHandleOfKvPool shmget() failed\n");
      return 0;
    }
    char pagesText[kPageTextMax + 1];
    std::snprintf(pagesText, sizeof pagesText, "%d", noOfPoolPages);
    logPoolEvent(CCI_LOG_INFORMATION, kEventPoolCreated, kLinePoolCreated, "initHandleOfKvPool",
                 pagesText);
    hKvMem = shmget(KVPOOL_SHM_KEY, static_cast<size_t>(configuredCapacity()),
                    IPC_CREAT | IPC_EXCL | poolCreationMode());
    if (hKvMem != -1) {
      Log("  shmget IPC_CREAT hKvMem = %d\n", hKvMem);
      return 0;
    }
    noteUnavailable("shmget()", errno);
    // EEXIST: another process created it since the lookup; use theirs.
    if (errno != EEXIST) return 0;
  }
  return 0;
}

// False when the pool's journal is another's: the pool is then not used.
bool attachJournal(int32_t poolBytes) {
  const JournalMapping mapping = mapJournal(hKvMem, poolBytes, true, attachProblemBuffer());
  journalView = mapping.view;
  processJournal = journalOpen(journalView, mapping.bytes);
  return !mapping.foreign;
}

void detachJournal() {
  if (journalView != nullptr) shmdt(journalView);
  journalView = nullptr;
  processJournal = nullptr;
}

}  // namespace

void traceMappingStart(const void* view) {
  Log("-->initHandleOfKvPoolView hKvMemView = 0x%X\n",
      static_cast<unsigned>(reinterpret_cast<uintptr_t>(view)));
}

SegmentMapping mapSegmentForWriting(int segment) {
  void* view = shmat(segment, nullptr, 0);
  if (view == reinterpret_cast<void*>(-1)) {
    const int error = errno;
    noteUnavailable("shmat()", error);
    Log("  >initHandleOfKvPoolView: shmat() failed\n");
    return {nullptr, 0, error};
  }
  shmid_ds status{};
  const int error = shmctl(segment, IPC_STAT, &status) == -1 ? errno : 0;
  if (error != 0 || status.shm_segsz < sizeof(PoolControl)) {
    if (error != 0) {
      Log("  >initHandleOfKvPoolView: shmctl() IPC_STAT failed\n");
    } else {
      Log("  >initHandleOfKvPoolView: segment of %d bytes cannot hold a pool\n",
          static_cast<int>(status.shm_segsz));
    }
    shmdt(view);
    return {nullptr, 0, error != 0 ? error : EINVAL};
  }
  return {view, static_cast<int32_t>(std::min<size_t>(status.shm_segsz, INT32_MAX)), 0};
}

void releaseMapping(void* view) {
  Log("-->closeHandleOfKvPoolView hKvMemView %X\n",
      static_cast<unsigned>(reinterpret_cast<uintptr_t>(view)));
  if (shmdt(view) == -1) Log("  >closeHandleOfKvPoolView: shmdt() failed\n");
  Log("  closeHandleOfKvPoolView .. hKvMemView=NULL\n");
}

void removeJournal() {
  const int id = shmget(KVPOOL_JOURNAL_KEY, 0, 0);
  if (id != -1) shmctl(id, IPC_RMID, nullptr);
}

void forgetSegment() {
  if (hKvMemView != nullptr) shmdt(hKvMemView);
  hKvMemView = nullptr;
  kvMemSegmentSize = 0;
  detachJournal();
  hKvMem = -1;
}

bool findAndMapPool() {
  const int existed = initHandleOfKvPool();
  if (hSemaphore == -1) {
    Log("  >initHandleOfKvPool: no semaphore set, the pool cannot be locked\n");
    return false;
  }
  initHandleOfKvPoolView(existed);
  if (hKvMem != -1 && hKvMemView != nullptr) return true;
  Log("  hKvMem or hKvMemView is NULL\n");
  return false;
}

PoolView processPoolView() {
  PoolView view;
  view.base = static_cast<unsigned char*>(hKvMemView);
  view.segmentBytes = getKvPoolSegmentSize();
  view.capacity = getKvPoolCapacity();
  view.semaphores = hSemaphore;
  view.segment = hKvMem;
  view.journal = processJournal;
  if (view.journal != nullptr) view.index = &processIndex;
  return view;
}

}  // namespace kvpool

// The exported calls on this process's handles.
using namespace kvpool;  // NOLINT: this file's own pieces

namespace {

int findPoolHandles() {
  Log("-->initHandleOfKvPool hKvMem = 0x%X\n", static_cast<unsigned>(hKvMem));
  findOrCreateSemaphoreSet();
  // Without its lock a pool is no use: no segment is made for it.
  if (hSemaphore == -1) return 0;
  if (hKvMem != -1) {
    if (retainedSegmentIsLive()) return 1;
    Log("  initHandleOfKvPool segment %d was removed, looking the pool up again\n", hKvMem);
    forgetSegment();
  }
  readPoolPages();
  return findOrCreateSegment();
}

void mapPool(int existed) {
  traceMappingStart(hKvMemView);
  if (hKvMemView != nullptr) return;
  const SegmentMapping mapping = mapSegmentForWriting(hKvMem);
  if (mapping.view == nullptr) return;
  hKvMemView = mapping.view;
  kvMemSegmentSize = mapping.bytes;
  if (!attachJournal(mapping.bytes)) {
    closeHandleOfKvPoolView();
    return;
  }
  if (existed == 0) initKvPoolMemory();
}

void writeEmptyHeader() {
  Log("-->initKvPoolMemory\n");
  if (hKvMemView == nullptr) return;
  const PoolControl empty = {getKvPoolCapacity(), 0, kPoolHeaderBytes};
  PoolChangeLock lock(processPoolView(), "initKvPoolMemory");
  if (!lock.held()) return;  // the pool went; whoever finds it next sees an empty one
  // Only a header nobody has written yet is set: another process may have
  // found the new segment and stored into it first.
  auto* base = static_cast<unsigned char*>(hKvMemView);
  if (readPoolControl(base).usedSize >= kPoolHeaderBytes) return;
  writePoolControl(base, empty);
  // KVPOOL_PERSIST: the creator fills the pool from the file while it still
  // holds the lock, so no message reads it before, and records the file for
  // the pool's last node; it saves over it unless the file stayed unloaded.
  const char* path = persistPath();
  recordPoolFile(processJournal, path,
                 path != nullptr && loadPersistedPoolLocked(processPoolView()));
}

}  // namespace

// An exception of their own (no memory to read KVPOOL_PERSIST's file, say)
// leaves these as a failure of theirs does: no segment made or found, none
// mapped, a header written without the file's records.
int initHandleOfKvPool(void) {
  return answerEntry("initHandleOfKvPool", 0, findPoolHandles);
}

void initHandleOfKvPoolView(int existed) {
  answerEntry("initHandleOfKvPoolView", [&] { mapPool(existed); });
}

void initKvPoolMemory(void) {
  answerEntry("initKvPoolMemory", writeEmptyHeader);
}

void closeHandleOfKvPoolView(void) {
  detachJournal();
  releaseMapping(hKvMemView);
  hKvMemView = nullptr;
  kvMemSegmentSize = 0;
}

void closeHandleOfKvPool(void) {
  Log("-->closeHandleOfKvPool hKvMem %X\n", static_cast<unsigned>(hKvMem));
  if (hKvMem != -1) {
    if (shmctl(hKvMem, IPC_RMID, nullptr) == -1) Log("  >closeHandleOfKvPool: shmctl() failed\n");
    removeJournal();
    Log("  >> Shared Memory Segment Deleted<<\n");
  }
  hKvMem = -1;
  Log("  closeHandleOfKvPool .. hKvMem=NULL\n");
}

int32_t getKvPoolSegmentSize(void) {
  return hKvMemView != nullptr ? kvMemSegmentSize : 0;
}

int32_t getKvPoolCapacity(void) {
  // Once the pool exists its size is the segment's, whoever made it:
  // KVPOOL_MEMORY_PAGES sizes only a pool this process creates.
  return hKvMemView != nullptr ? kvMemSegmentSize : configuredCapacity();
}
