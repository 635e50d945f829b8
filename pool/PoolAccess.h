// The pool as a tool or a benchmark reaches it, beside the node contexts:
// find the existing segment and semaphore set by key, read the semaphores,
// open the segment read-only or read-write, hold the pool's lock, and get,
// store, save and load on the opened pool.
//
// Nothing here creates a pool or takes a user slot, so a tool neither makes a
// pool nor keeps one alive; and nothing here touches this process's own
// handles (hKvMem, hKvMemView, hSemaphore, noOfPoolPages), which belong to
// its node contexts. The exported getKvPoolDataBlock, storeKvPoolDataBlock,
// storeKvPoolToFile and initKvPoolFromFile are these functions on the
// process's own handles (a ProcessPoolCall's view), and sem_WLock ..
// sem_RUnLock are the traced locks on hSemaphore.
//
// Thread safety: the free functions keep no state but the calling thread's
// last failure (getKvPoolUnavailableText); an OpenedPool belongs to one
// thread at a time. The lock is not re-entrant: never take it twice on
// one set in one thread.
#ifndef KVPOOL_POOL_POOLACCESS_H
#define KVPOOL_POOL_POOLACCESS_H

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pool/KeyIndex.h"
#include "pool/KvPoolShm.h"

namespace kvpool {

// The ids of the pool's system objects, found by key; -1 where absent.
struct PoolIds {
  int segment = -1;
  int semaphores = -1;
  bool exists() const { return segment != -1; }
};
PoolIds findPoolIds();

// The semaphore set's values, by what they count.
struct PoolSemaphoreValues {
  int writer = 0;     // 1 while a writer holds the lock
  int readers = 0;    // readers holding the lock
  int freeSlots = 0;  // user slots no node context holds (10000 when none does)
  // The last process that took or gave back the writer lock (0: none yet);
  // no such step completes while the lock is held, so while writer is 1 it is
  // the holder.
  int writerPid = 0;
  int nodeContexts() const { return KVPOOL_USER_SLOTS - freeSlots; }
};
// False when semaphoreSet is -1 or a value cannot be read (errno tells why).
bool readPoolSemaphores(int semaphoreSet, PoolSemaphoreValues* values);

// The segment as the system describes it.
struct PoolSegmentStatus {
  uint64_t bytes = 0;
  uint64_t attachedProcesses = 0;
  bool removed = false;  // marked for removal: it goes when the last process detaches
};
// False when the segment cannot be looked at (errno tells why; a removed one
// that is no longer attached anywhere is gone).
bool readPoolSegmentStatus(int segment, PoolSegmentStatus* status);

// Remove the objects at once, whoever still uses them (the segment goes with
// its store journal). False with errno.
bool removePoolSegment(int segment);
bool removePoolSemaphores(int semaphoreSet);

// Whether a lock writes its steps to the trace, as the plug-in's own do
// ("-->sem_WLock" ..), or keeps quiet (a tool's plain reading).
enum class LockTrace { kTraced, kQuiet };

// The pool's lock on semaphoreSet for the guard's scope. The writer lock
// waits until no reader and no writer holds it; the reader lock until no
// writer does, and readers share it. SEM_UNDO, so a process that dies gives
// it back; an interrupted wait is resumed. When it cannot be taken (the set
// was removed, or no access) held() is false and error() is the errno: the
// holder must not touch the pool then.
//
// With waitSeconds it waits no longer than that (semtimedop with the time
// left; a signal only shortens what is left): a tool's bounded wait.
// timedOut(): the wait ran out (error() EAGAIN); removed(): the set was
// removed before or during the wait (EINVAL, EIDRM).
enum class LockMode { kRead, kWrite };
template <LockMode Mode>
class PoolLockGuard {
 public:
  explicit PoolLockGuard(int semaphoreSet, LockTrace trace = LockTrace::kTraced);
  PoolLockGuard(int semaphoreSet, double waitSeconds, LockTrace trace = LockTrace::kTraced);
  ~PoolLockGuard();
  PoolLockGuard(const PoolLockGuard&) = delete;
  PoolLockGuard& operator=(const PoolLockGuard&) = delete;
  bool held() const { return held_; }
  int error() const { return error_; }
  bool timedOut() const { return !held_ && error_ == EAGAIN; }
  bool removed() const { return !held_ && (error_ == EIDRM || error_ == EINVAL); }
  // The set was removed while the lock was held (its holder removed the
  // pool): there is nothing to give back.
  void abandon() { held_ = false; }

 private:
  int semaphoreSet_;
  LockTrace trace_;
  int error_ = 0;  // before held_: taking the lock sets it
  bool held_;
};
using PoolWriteLock = PoolLockGuard<LockMode::kWrite>;
using PoolReadLock = PoolLockGuard<LockMode::kRead>;
extern template class PoolLockGuard<LockMode::kWrite>;
extern template class PoolLockGuard<LockMode::kRead>;

// Why the machine's last node context kept a pool in memory instead of
// removing it (pool/PersistPolicy.h); a save to the pool's file clears it.
enum class PoolKept : uint32_t {
  kNot = 0,
  kSaveFailed = 1,     // its save failed (event 19 names the step and the reason)
  kNoSetting = 2,      // its process had no KVPOOL_PERSIST; the pool's creator had
  kOtherFile = 3,      // its KVPOOL_PERSIST named another file than the creator's
  kFileNotLoaded = 4,  // a file at its path holds records the pool was not loaded from
};
// What a pool records of KVPOOL_PERSIST.
struct PoolPersistFacts {
  uint32_t pathTag = 0;        // its creator's file (persistPathTag); 0: created without
  bool savesOverFile = false;  // loaded from that file (or none was there): its last node
                               // saves there
  PoolKept kept = PoolKept::kNot;
};

// What get, store, save and load work on: a mapping of the segment and the
// set whose lock guards it.
struct StoreJournal;
struct PoolView {
  unsigned char* base = nullptr;  // null: no pool
  int32_t segmentBytes = 0;       // the segment's real size; no read goes past it
  int32_t capacity = 0;           // no store goes past it: pages * 4096, at most segmentBytes
  int semaphores = -1;
  // The pool's store journal (pool/StoreJournal.h); null when the pool has
  // none (made by a build without it) or the view is read-only.
  StoreJournal* journal = nullptr;
  // This process's index of the keys (pool/KeyIndex.h); null: always scan.
  KeyIndex* index = nullptr;
  // The segment's id, for its owner and mode (a snapshot's); -1: unknown.
  int segment = -1;
};

// The writer lock taken for a change of the pool, or for a copy that must
// see no store half done (a save): a store that a killed writer left pending
// is settled first (repairInterruptedStore, traced under function), so that
// nothing is changed on top of it and no late repair undoes a change. Every
// change takes this one guard, so no caller can forget.
class PoolChangeLock {
 public:
  PoolChangeLock(const PoolView& pool, const char* function, LockTrace trace = LockTrace::kTraced);
  bool held() const { return lock_.held(); }
  // The pool's set was removed while held (see PoolLockGuard::abandon).
  void abandon() { lock_.abandon(); }

 private:
  PoolWriteLock lock_;
};
// Under the writer lock: a change no store counted (a load) counts in the
// journal, so that every process's key index knows it is stale.
void countPoolChange(const PoolView& pool);

// This process's own pool, as its node contexts attached it.
PoolView processPoolView();

// One call of the exported getKvPoolDataBlock .. initKvPoolFromFile on this
// process's own pool, for its span: node creation and deletion in other
// threads wait, so the view stays the process's pool. When an earlier call
// could not take the pool's lock, the process first looks the pool up again
// as a node creation does (finding or making it) and takes its node
// contexts' slots on it; available() is false when that failed
// (getKvPoolUnavailableText says why). A lock that fails during the call has
// the next call look again.
class ProcessPoolCall {
 public:
  ProcessPoolCall();
  ~ProcessPoolCall();
  ProcessPoolCall(const ProcessPoolCall&) = delete;
  ProcessPoolCall& operator=(const ProcessPoolCall&) = delete;
  bool available() const { return available_; }
  const PoolView& view() const { return view_; }

 private:
  PoolView view_;
  bool available_ = true;
  unsigned lockFailuresBefore_ = 0;
};

// The calls behind the exported functions of the same contract
// (pool/KvPoolShm.h), on any view; each traces as its exported name does.
// Each does nothing to the pool when its lock cannot be taken: 5
// (KVPOOL_POOL_UNAVAILABLE), or 1 for save and load.
//
// get: 0 found, request->value a new copy the caller frees; 2 not found (also
// no pool, damage before it, no memory). Read lock.
int getPoolValue(const PoolView& pool, PoolBlockRequest* request, const char* key);
// store: 0 stored; 8 no room, or no pool. Write lock; cuts a damaged chain
// back to its sound records first. Needs a read-write view.
int storePoolValue(const PoolView& pool, PoolBlockRequest* request);
// Stores each pair in turn, as storePoolValue would, but under one writer
// lock and with one walk of the chain for them all: a batch costs its
// records, not its records times the pool. Keys and values hold no NUL.
// 0 all stored; else the result of the first store that failed (8 no room,
// 5 the lock could not be taken), the pairs before it stored. *stored: how
// many were stored. Needs a read-write view.
using StorePair = std::pair<std::string, std::string>;
int storePoolValues(const PoolView& pool, const std::vector<StorePair>& pairs, std::size_t* stored);
// Removes the record of key, the records behind it moving down (an operator's
// tool operation; no script statement removes a key). 0 removed; 2 no such
// key (or no pool). Write lock; journaled like a store.
int removePoolValue(const PoolView& pool, const char* key);
// Empties the pool: the header becomes (totalSize, 0, 12). 0 done, 2 no pool.
// Write lock.
int clearPool(const PoolView& pool);
// Completes or undoes a store that a killed process left half done (its
// journal is pending), tracing what it did under function's name. Under the
// writer lock, before anything else reads, copies or changes the records.
void repairInterruptedStore(const PoolView& pool, const char* function);
// Which snapshots a load takes: the exported initKvPoolFromFile only one
// smaller than the pool's capacity, as it always has; the load at creation
// and kvpool's also one that fills the pool to its last byte, as the save of
// a full pool writes it.
enum class SnapshotFit { kBelowCapacity, kUpToCapacity };
// The snapshot "/tmp/KvPoolData.bin": save 0 saved (event 14), 1 not; load
// 1 no usable file, else 0, loaded (event 13) only into an empty pool that
// can hold it. Write lock while copying; load needs a read-write view. A
// save to or a load from this process's KVPOOL_PERSIST file marks the pool
// as that file's (pool/PersistPolicy.h, adoptPoolFile). save's *why (when
// given) names the failed step and the file.
int savePoolToFile(const PoolView& pool, std::string* why = nullptr);
int loadPoolFromFile(const PoolView& pool, SnapshotFit fit);
// The same, for a caller that already holds the writer lock (the lock is not
// re-entrant): the machine's last node context saving before it removes the
// pool, and its creator loading KVPOOL_PERSIST before any message reads.
// The save returns 0 or 1 with *why naming the failed step and the file;
// the load at creation leaves the pool empty when the file is not loaded
// (event 20): one that fails its checks is renamed beside itself, one that
// cannot be opened or read stays. False when a file stays at the path: the
// pool must then not be saved over it.
int savePoolToFileLocked(const PoolView& pool, std::string* why);
bool loadPersistedPoolLocked(const PoolView& pool);

// An existing pool mapped into this process for as long as the object lives,
// without joining it: no user slot, nothing created, the process's own
// handles untouched. A read-write opening and its closing are traced as a
// node's mapping is (initHandleOfKvPoolView, closeHandleOfKvPoolView), so a
// change made by a tool reads in the trace as one made by a node; a
// read-only one is not traced. The bounds come from the segment's real size.
class OpenedPool {
 public:
  enum class Mode { kReadOnly, kReadWrite };
  enum class Failure {
    kNone,
    kLookAtSegment,  // the segment's status could not be read (error() is the errno)
    kMapSegment,     // it could not be mapped; read-write: or it cannot hold a pool
    // read-write: the pool's store journal belongs to another owner or has
    // another mode than the segment (problem() says which)
    kForeignJournal,
  };

  OpenedPool() = default;
  ~OpenedPool();
  OpenedPool(const OpenedPool&) = delete;
  OpenedPool& operator=(const OpenedPool&) = delete;

  // Maps ids.segment and keeps ids.semaphores for the lock (-1: none). False
  // with failure() and error() set. Call once.
  bool open(const PoolIds& ids, Mode mode);
  Failure failure() const { return failure_; }
  int error() const { return error_; }
  // What is wrong with the pool's objects (kForeignJournal), else empty.
  const char* problem() const { return problem_; }
  // The segment as found before this process mapped it; zero when it could
  // not be looked at.
  const PoolSegmentStatus& foundStatus() const { return found_; }
  // Valid while the object lives; base is null until opened. A read-only
  // view is for reading: get and save.
  const PoolView& view() const { return view_; }
  // The segment's size in whole pages (1 to 5000): the KVPOOL_MEMORY_PAGES it
  // was created with.
  int pages() const { return pages_; }
  // The header as it stands, copied without the lock.
  PoolControl header() const;
  // True while the pool's store journal shows a store cut short (read-only
  // too: the journal is then looked at, never changed). A hint without the
  // lock; the repair (repairInterruptedStore, read-write) looks again.
  bool storePending() const;
  // What the pool records of KVPOOL_PERSIST (its journal's flags); nothing
  // without a journal of this layout.
  PoolPersistFacts persistFacts() const;

 private:
  Mode mode_ = Mode::kReadOnly;
  Failure failure_ = Failure::kNone;
  int error_ = 0;
  PoolSegmentStatus found_;
  PoolView view_;
  void* journalView_ = nullptr;
  const StoreJournal* lookJournal_ = nullptr;
  std::unique_ptr<KeyIndex> index_;
  int pages_ = 1;
  char problem_[256] = "";
};

}  // namespace kvpool

#endif
