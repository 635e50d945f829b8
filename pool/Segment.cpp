// The pool's system objects: the semaphore set (key 88888) and the segment
// (key 99999), their per-machine lifetime, this process's handles to them,
// the reader/writer lock built on semaphores 0 and 1, and a tool's access to
// an existing pool (pool/PoolAccess.h).
#include <errno.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "pool/KeyIndex.h"
#include "pool/KvPoolShm.h"
#include "pool/ObjectCheck.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "pool/StoreJournal.h"
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
// This process's mapping of the pool's store journal; null when the pool has
// none it could map (the pool then works without one).
void* journalView = nullptr;
kvpool::StoreJournal* processJournal = nullptr;
// The keys of this process's pool; used only while the pool has a journal.
kvpool::KeyIndex processIndex;

// The set on which this process's poolUsers slots are held; -1 when none is
// (no node context, or the set was removed under them).
int slotSet = -1;
// An operation on this process's pool could not take its lock: the next one
// looks the pool up again first.
std::atomic<bool> lookUpAgain{false};
// Node creation and deletion, and a new lookup, change the process's handles;
// the exported operations hold them steady while they run.
std::shared_mutex processPoolMutex;

// Why the thread's last pool operation found the pool unavailable, and how
// many of its lock steps have failed.
thread_local char unavailableText[128];
thread_local unsigned lockFailures = 0;
// What is wrong with this process's configuration when the thread's last
// node creation was refused for it; empty otherwise.
thread_local char attachProblem[256];

kvpool::ObjectProblem attachProblemBuffer() {
  return {attachProblem, sizeof attachProblem};
}

// Notes the failed call and its error; errno is left as it was, for the
// caller to look at.
void noteUnavailable(const char* call, int error) {
  const int saved = errno;
  char reason[96];
  std::snprintf(unavailableText, sizeof unavailableText, "%s: %s", call,
                strerror_r(error, reason, sizeof reason));
  errno = saved;
}

// The access a lookup asks for: read and write.
constexpr int kPermissions = 0666;
// The permissions of the objects this process creates (KVPOOL_MODE), and
// whether KVPOOL_MODE was given: then the objects it joins must have them.
int creationMode = 0666;
bool modeGiven = false;
constexpr int kWriterSem = 0;
constexpr int kReaderSem = 1;
constexpr int kSlotSem = 2;
constexpr int kPageTextMax = 23;  // the longest KVPOOL_MEMORY_PAGES text taken
// A lost creation race is retried this often before giving up: the object
// can only vanish again if a last user removes it in between every time.
constexpr int kLookupAttempts = 3;
// Likewise a node joining a pool that its last node context removes at that
// moment: each new attempt finds, or makes, a newer pool.
constexpr int kJoinAttempts = 5;
// How long a set whose slot count was never set may stay so before this
// process sets it itself: creators set it right after creating the set, so a
// set still untouched after this long lost its creator.
constexpr int kSlotInitPolls = 100;
constexpr long kSlotInitPollNanos = 10L * 1000 * 1000;

// The operations of the pool, each handed to semop as one list (a node's
// joining, which takes a count of slots, is built by joinSlots).
constexpr sembuf kWriteLockOps[] = {
    {kReaderSem, 0, 0}, {kWriterSem, 0, 0}, {kWriterSem, +1, SEM_UNDO}};
constexpr sembuf kWriteUnlockOps[] = {{kWriterSem, -1, SEM_UNDO}};
constexpr sembuf kReadLockOps[] = {{kWriterSem, 0, 0}, {kReaderSem, +1, SEM_UNDO}};
constexpr sembuf kReadUnlockOps[] = {{kReaderSem, -1, SEM_UNDO}};
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

// How often a lock is tried without waiting before the waiting call: a lock
// held for a few microseconds is usually free again by then, and a waiter
// that never sleeps hands it over without a wake-up.
constexpr int kLockTries = 64;

// The lock's list, tried first with IPC_NOWAIT on every entry (otherwise the
// same entries and SEM_UNDO), then with the waiting call.
template <std::size_t N>
bool runLockSemop(int semaphoreSet, const sembuf (&ops)[N]) {
  std::array<sembuf, N> list;
  std::copy(std::begin(ops), std::end(ops), list.begin());
  for (sembuf& op : list) op.sem_flg |= IPC_NOWAIT;
  for (int attempt = 0; attempt < kLockTries; ++attempt) {
    if (semop(semaphoreSet, list.data(), N) == 0) return true;
    if (errno != EAGAIN && errno != EINTR) return false;
    if (attempt >= kLockTries / 2) sched_yield();
  }
  return runSemop(semaphoreSet, ops);
}

// The set was removed, before the call (EINVAL) or while it waited (EIDRM).
bool setRemoved(int error) {
  return error == EIDRM || error == EINVAL;
}

using kvpool::LockTrace;

// The four lock steps on a given set; a traced step writes the lines of the
// exported function of its name. A failed step leaves its errno in *error.
template <std::size_t N>
bool lockStep(int semaphoreSet, const sembuf (&ops)[N], LockTrace trace, const char* entryLine,
              const char* failureLine, int* error) {
  if (trace == LockTrace::kTraced) Log(entryLine);
  if (runLockSemop(semaphoreSet, ops)) return true;
  const int failed = errno;
  if (error != nullptr) *error = failed;
  ++lockFailures;
  noteUnavailable("semop()", failed);
  if (trace == LockTrace::kTraced) Log(failureLine);
  return false;
}

bool lockForWriting(int semaphoreSet, LockTrace trace, int* error) {
  return lockStep(semaphoreSet, kWriteLockOps, trace, "-->sem_WLock\n",
                  "  >sem_WLock: semop() failed\n", error);
}

void unlockForWriting(int semaphoreSet, LockTrace trace) {
  lockStep(semaphoreSet, kWriteUnlockOps, trace, "-->sem_WUnLock\n",
           "  >sem_WUnLock: semop() failed\n", nullptr);
}

bool lockForReading(int semaphoreSet, LockTrace trace, int* error) {
  return lockStep(semaphoreSet, kReadLockOps, trace, "-->sem_RLock\n",
                  "  >sem_RLock: semop() failed\n", error);
}

void unlockForReading(int semaphoreSet, LockTrace trace) {
  lockStep(semaphoreSet, kReadUnlockOps, trace, "-->sem_RUnLock\n",
           "  >sem_RUnLock: semop() failed\n", nullptr);
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

// A set found by key is joined only when KVPOOL_MODE, if given, fits it.
void joinFoundSet() {
  if (modeGiven && !kvpool::semaphoresFitMode(hSemaphore, creationMode, attachProblemBuffer())) {
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
    hSemaphore = semget(KVPOOL_SEM_KEY, 3, IPC_CREAT | IPC_EXCL | creationMode);
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

// The segment id kept since an earlier node creation still names our pool:
// the last user elsewhere may have removed it (it then loses its key and is
// marked for destruction while this process still has it mapped).
bool retainedSegmentIsLive() {
  shmid_ds status{};
  if (shmctl(hKvMem, IPC_STAT, &status) == -1) return false;
  return status.shm_perm.__key == KVPOOL_SHM_KEY && (status.shm_perm.mode & SHM_DEST) == 0;
}

// Unmaps the segment and its journal and forgets the segment's id.
void forgetSegment() {
  if (hKvMemView != nullptr) {
    shmdt(hKvMemView);
    hKvMemView = nullptr;
    kvMemSegmentSize = 0;
  }
  if (journalView != nullptr) shmdt(journalView);
  journalView = nullptr;
  processJournal = nullptr;
  hKvMem = -1;
}

void dropRetainedSegment() {
  Log("  initHandleOfKvPool segment %d was removed, looking the pool up again\n", hKvMem);
  forgetSegment();
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

// KVPOOL_MODE: the permissions, in octal, of the objects a process creates.
// Only read and write bits are taken, and the owner must keep both: a pool
// its own creator cannot lock is of no use. A text that breaks this is
// refused (with attachProblem saying why), never turned into some mode.
bool readPoolMode() {
  creationMode = 0666;
  modeGiven = false;
  const char* text = std::getenv("KVPOOL_MODE");
  if (text == nullptr) return true;
  constexpr std::size_t kModeTextMax = 8;
  long mode = 0;
  const char* wrong = nullptr;
  const std::size_t length = std::strlen(text);
  if (length == 0 || length > kModeTextMax || std::strspn(text, "01234567") != length) {
    wrong = "is not an octal mode such as 0660";
  } else {
    mode = std::strtol(text, nullptr, 8);
    if ((mode & ~0666L) != 0) {
      wrong = "sets bits outside 0666 (only read and write are taken)";
    } else if ((mode & 0600) != 0600) {
      wrong = "does not give the owner read and write (0600)";
    }
  }
  if (wrong != nullptr) {
    std::snprintf(attachProblem, sizeof attachProblem, "KVPOOL_MODE \"%.16s\" %s", text, wrong);
    Log("  >KVPOOL_MODE %.16s refused\n", text);
    return false;
  }
  creationMode = static_cast<int>(mode);
  modeGiven = true;
  Log("  KVPOOL_MODE %s %04o\n", text, creationMode);
  return true;
}

// Bytes that pages of 4096 hold, as an int32 bound.
int32_t pagesCapacity(int pages) {
  const int64_t capacity = static_cast<int64_t>(pages) * KVPOOL_PAGE_SIZE;
  return static_cast<int32_t>(std::clamp<int64_t>(capacity, 0, INT32_MAX));
}

int32_t configuredCapacity() {
  return pagesCapacity(noOfPoolPages);
}

// The first line of a mapping, with the mapping it starts from.
void traceMappingStart(const void* view) {
  Log("-->initHandleOfKvPoolView hKvMemView = 0x%X\n",
      static_cast<unsigned>(reinterpret_cast<uintptr_t>(view)));
}

struct SegmentMapping {
  void* view = nullptr;  // null when it failed
  int32_t bytes = 0;
  int error = 0;  // errno of the failed step
};

// Maps segment for reading and writing and learns its real size: every bound
// is taken from the segment as it really is, not from KVPOOL_MEMORY_PAGES.
// A node's attach and a tool's read-write opening share it, traced alike.
SegmentMapping mapSegmentForWriting(int segment) {
  SegmentMapping failed;
  void* view = shmat(segment, nullptr, 0);
  if (view == reinterpret_cast<void*>(-1)) {
    failed.error = errno;
    noteUnavailable("shmat()", errno);
    Log("  >initHandleOfKvPoolView: shmat() failed\n");
    return failed;
  }
  shmid_ds status{};
  if (shmctl(segment, IPC_STAT, &status) == -1) {
    failed.error = errno;
    Log("  >initHandleOfKvPoolView: shmctl() IPC_STAT failed\n");
    shmdt(view);
    return failed;
  }
  if (status.shm_segsz < sizeof(PoolControl)) {
    failed.error = EINVAL;
    Log("  >initHandleOfKvPoolView: segment of %d bytes cannot hold a pool\n",
        static_cast<int>(status.shm_segsz));
    shmdt(view);
    return failed;
  }
  return {view, static_cast<int32_t>(std::min<size_t>(status.shm_segsz, INT32_MAX)), 0};
}

// Unmaps a read-write mapping, traced as a node's is.
void releaseMapping(void* view) {
  Log("-->closeHandleOfKvPoolView hKvMemView %X\n",
      static_cast<unsigned>(reinterpret_cast<uintptr_t>(view)));
  if (shmdt(view) == -1) Log("  >closeHandleOfKvPoolView: shmdt() failed\n");
  Log("  closeHandleOfKvPoolView .. hKvMemView=NULL\n");
}

int findOrCreateSegment() {
  for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
    hKvMem = shmget(KVPOOL_SHM_KEY, 0, IPC_EXCL | kPermissions);
    if (hKvMem != -1) {
      Log("  shmget hKvMem = %d\n", hKvMem);
      if (modeGiven && !kvpool::segmentFitsMode(hKvMem, creationMode, attachProblemBuffer())) {
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
    int rc = 0;
    cciLog(&rc, CCI_LOG_INFORMATION, kvpool::kEventFile, kvpool::kLinePoolCreated,
           "initHandleOfKvPool", constKvCatalog, kvpool::kEventPoolCreated, kvpool::kVTRL2Text,
           pagesText, static_cast<const char*>(nullptr));
    hKvMem = shmget(KVPOOL_SHM_KEY, static_cast<size_t>(configuredCapacity()),
                    IPC_CREAT | IPC_EXCL | creationMode);
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
  const kvpool::JournalMapping mapping =
      kvpool::mapJournal(hKvMem, poolBytes, true, attachProblemBuffer());
  journalView = mapping.view;
  processJournal = kvpool::journalOpen(journalView, mapping.bytes);
  return !mapping.foreign;
}

void detachJournal() {
  if (journalView != nullptr) shmdt(journalView);
  journalView = nullptr;
  processJournal = nullptr;
}

void removeJournal() {
  const int id = shmget(KVPOOL_JOURNAL_KEY, 0, 0);
  if (id != -1) shmctl(id, IPC_RMID, nullptr);
}

// Finds or creates the pool's objects and maps the segment, as node creation
// does. A pool needs both: false (traced) when either is missing.
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

// Event 9; with the configuration problem as insert when there is one.
void logPoolUnavailable() {
  int rc = 0;
  const char* problem = attachProblem[0] != '\0' ? attachProblem : nullptr;
  cciLog(&rc, CCI_LOG_ERROR, kvpool::kEventFile, kvpool::kLinePoolUnavailable, "createNodeContext",
         constKvCatalog, kvpool::kEventPoolUnavailable, kvpool::kVTRL2Text, problem,
         static_cast<const char*>(nullptr));
}

enum class Join { kJoined, kSetRemoved, kFailed };

// Takes newSlots for new node contexts, and this process's poolUsers slots
// too unless the set already holds them (the set they were on was removed),
// in one step and only while no writer holds the lock: the machine's last
// node context decides to remove the pool under the writer lock, so no node
// joins between its count and the removal, and one waiting gets EIDRM.
Join joinSlots(int newSlots) {
  const int wanted = newSlots + (slotSet == hSemaphore ? 0 : poolUsers);
  if (wanted > 0) {
    sembuf ops[] = {{kWriterSem, 0, 0}, {kSlotSem, static_cast<short>(-wanted), SEM_UNDO}};
    while (semop(hSemaphore, ops, 2) == -1) {
      if (errno == EINTR) continue;
      noteUnavailable("semop()", errno);
      return setRemoved(errno) ? Join::kSetRemoved : Join::kFailed;
    }
  }
  slotSet = hSemaphore;
  return Join::kJoined;
}

// A set removed under a lookup: forget both objects and look again.
void forgetRemovedPool(const char* function) {
  Log("  %s: the pool was removed meanwhile, looking it up again\n", function);
  forgetSegment();
  hSemaphore = -1;
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
  if (freeSlots != KVPOOL_USER_SLOTS) {
    unlockForWriting(hSemaphore, LockTrace::kQuiet);
    return;
  }
  if (kvpool::poolRemovalHook != nullptr) kvpool::poolRemovalHook();
  closeHandleOfKvPoolView();
  closeHandleOfKvPool();
  // The lock goes with the set: whoever waits for it gets EIDRM.
  if (semctl(hSemaphore, 0, IPC_RMID) == -1) {
    Log("  >deleteNodeContext: semctl() remove id failed\n");
  }
  Log("  >> Semaphore Deleted <<\n");
}

}  // namespace

namespace kvpool {
PoolRemovalHook poolRemovalHook = nullptr;
}  // namespace kvpool

int initHandleOfKvPool(void) {
  Log("-->initHandleOfKvPool hKvMem = 0x%X\n", static_cast<unsigned>(hKvMem));
  findOrCreateSemaphoreSet();
  // Without its lock a pool is no use: no segment is made for it.
  if (hSemaphore == -1) return 0;
  if (hKvMem != -1) {
    if (retainedSegmentIsLive()) return 1;
    dropRetainedSegment();
  }
  readPoolPages();
  return findOrCreateSegment();
}

void initHandleOfKvPoolView(int existed) {
  traceMappingStart(hKvMemView);
  if (hKvMemView != nullptr) return;
  const SegmentMapping mapping = mapSegmentForWriting(hKvMem);
  if (mapping.view == nullptr) return;
  hKvMemView = mapping.view;
  kvMemSegmentSize = mapping.bytes;
  if (!attachJournal(mapping.bytes)) {
    releaseMapping(hKvMemView);
    hKvMemView = nullptr;
    kvMemSegmentSize = 0;
    return;
  }
  if (existed == 0) initKvPoolMemory();
}

void initKvPoolMemory(void) {
  Log("-->initKvPoolMemory\n");
  if (hKvMemView == nullptr) return;
  const PoolControl empty = {getKvPoolCapacity(), 0, static_cast<int32_t>(sizeof(PoolControl))};
  kvpool::PoolWriteLock lock(hSemaphore);
  if (!lock.held()) return;  // the pool went; whoever finds it next sees an empty one
  // Another process may have found the new segment and stored into it before
  // this one got the lock; only a header nobody has written yet is set.
  auto* base = static_cast<unsigned char*>(hKvMemView);
  if (kvpool::readPoolControl(base).usedSize < kvpool::kPoolHeaderBytes) {
    kvpool::writePoolControl(base, empty);
  }
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
  attachProblem[0] = '\0';
  if (readPoolMode() && findAndMapPool()) return 0;
  logPoolUnavailable();
  return 1;
}

int takeKvPoolUserSlot(void) {
  const std::unique_lock<std::shared_mutex> guard(processPoolMutex);
  for (int attempt = 1;; ++attempt) {
    const Join join = hSemaphore == -1 ? Join::kSetRemoved : joinSlots(1);
    if (join == Join::kJoined) {
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

int32_t getKvPoolSegmentSize(void) {
  return hKvMemView != nullptr ? kvMemSegmentSize : 0;
}

const char* getKvPoolUnavailableText(void) {
  return unavailableText;
}

const char* getKvPoolAttachProblem(void) {
  return attachProblem[0] != '\0' ? attachProblem : nullptr;
}

int32_t getKvPoolCapacity(void) {
  // Once the pool exists its size is the segment's, whoever made it:
  // KVPOOL_MEMORY_PAGES sizes only a pool this process creates.
  return hKvMemView != nullptr ? kvMemSegmentSize : configuredCapacity();
}

namespace kvpool {

PoolWriteLock::PoolWriteLock(int semaphoreSet, LockTrace trace)
    : semaphoreSet_(semaphoreSet),
      trace_(trace),
      held_(lockForWriting(semaphoreSet, trace, &error_)) {}
PoolWriteLock::~PoolWriteLock() {
  if (held_) unlockForWriting(semaphoreSet_, trace_);
}

PoolReadLock::PoolReadLock(int semaphoreSet, LockTrace trace)
    : semaphoreSet_(semaphoreSet),
      trace_(trace),
      held_(lockForReading(semaphoreSet, trace, &error_)) {}
PoolReadLock::~PoolReadLock() {
  if (held_) unlockForReading(semaphoreSet_, trace_);
}

PoolIds findPoolIds() {
  PoolIds ids;
  ids.segment = shmget(KVPOOL_SHM_KEY, 0, 0);
  ids.semaphores = semget(KVPOOL_SEM_KEY, 0, 0);
  return ids;
}

bool readPoolSemaphores(int semaphoreSet, PoolSemaphoreValues* values) {
  if (semaphoreSet == -1) return false;
  values->writer = semctl(semaphoreSet, kWriterSem, GETVAL);
  values->readers = semctl(semaphoreSet, kReaderSem, GETVAL);
  values->freeSlots = semctl(semaphoreSet, kSlotSem, GETVAL);
  return values->writer >= 0 && values->readers >= 0 && values->freeSlots >= 0;
}

bool readPoolSegmentStatus(int segment, PoolSegmentStatus* status) {
  shmid_ds system{};
  if (shmctl(segment, IPC_STAT, &system) != 0) return false;
  status->bytes = system.shm_segsz;
  status->attachedProcesses = system.shm_nattch;
  status->removed = (system.shm_perm.mode & SHM_DEST) != 0;
  return true;
}

bool removePoolSegment(int segment) {
  if (shmctl(segment, IPC_RMID, nullptr) != 0) return false;
  removeJournal();
  return true;
}

bool removePoolSemaphores(int semaphoreSet) {
  return semctl(semaphoreSet, 0, IPC_RMID) == 0;
}

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
  lockFailuresBefore_ = lockFailures;
}

ProcessPoolCall::~ProcessPoolCall() {
  if (lockFailures != lockFailuresBefore_) lookUpAgain = true;
  processPoolMutex.unlock_shared();
}

PoolView processPoolView() {
  PoolView view;
  view.base = static_cast<unsigned char*>(hKvMemView);
  view.segmentBytes = getKvPoolSegmentSize();
  view.capacity = getKvPoolCapacity();
  view.semaphores = hSemaphore;
  view.journal = processJournal;
  if (processJournal != nullptr) view.index = &processIndex;
  return view;
}

bool OpenedPool::open(const PoolIds& ids, Mode mode) {
  mode_ = mode;
  if (!readPoolSegmentStatus(ids.segment, &found_)) {
    error_ = errno;
    found_ = {};
    failure_ = Failure::kLookAtSegment;
    return false;
  }
  // The pages a pool of this size was created with; the capacity is bounded
  // by the real size all the same.
  pages_ =
      static_cast<int>(std::clamp<uint64_t>(found_.bytes / KVPOOL_PAGE_SIZE, 1, KVPOOL_MAX_PAGES));
  SegmentMapping mapping;
  if (mode == Mode::kReadWrite) {
    traceMappingStart(nullptr);
    mapping = mapSegmentForWriting(ids.segment);
  } else {
    mapping.view = shmat(ids.segment, nullptr, SHM_RDONLY);
    if (mapping.view == reinterpret_cast<void*>(-1)) {
      mapping.error = errno;
      mapping.view = nullptr;
    }
    mapping.bytes = static_cast<int32_t>(std::min<uint64_t>(found_.bytes, INT32_MAX));
  }
  if (mapping.view == nullptr) {
    failure_ = Failure::kMapSegment;
    error_ = mapping.error;
    return false;
  }
  view_.base = static_cast<unsigned char*>(mapping.view);
  view_.segmentBytes = mapping.bytes;
  view_.capacity = std::min(pagesCapacity(pages_), mapping.bytes);
  view_.semaphores = ids.semaphores;
  if (mode == Mode::kReadWrite) {
    // A tool uses the journal the pool has, and makes none; it changes no
    // pool whose journal is another's.
    const JournalMapping journal =
        mapJournal(ids.segment, mapping.bytes, false, {problem_, sizeof problem_});
    if (journal.foreign) {
      failure_ = Failure::kForeignJournal;
      return false;
    }
    journalView_ = journal.view;
    view_.journal = journalOpen(journalView_, journal.bytes);
    if (view_.journal != nullptr) {
      index_ = std::make_unique<KeyIndex>();
      view_.index = index_.get();
    }
    lookJournal_ = view_.journal;
  } else {
    // Looked at only, to tell an interrupted store from damage; a journal
    // that is not the pool's is not looked at.
    const JournalMapping journal =
        mapJournal(ids.segment, mapping.bytes, false, {problem_, sizeof problem_}, SHM_RDONLY);
    journalView_ = journal.view;
    lookJournal_ = journalLook(journalView_, journal.bytes);
  }
  return true;
}

bool OpenedPool::storePending() const {
  return journalPending(lookJournal_);
}

OpenedPool::~OpenedPool() {
  if (journalView_ != nullptr) shmdt(journalView_);
  if (view_.base == nullptr) return;
  if (mode_ == Mode::kReadWrite) {
    releaseMapping(view_.base);
  } else {
    shmdt(view_.base);
  }
}

PoolControl OpenedPool::header() const {
  return readPoolControl(view_.base);
}

}  // namespace kvpool
