// A tool's or a benchmark's access to an existing pool, beside the node
// contexts (pool/PoolAccess.h): the objects found by key, the semaphores'
// values, the segment's status, removal, and OpenedPool.
#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdint>

#include "pool/PersistPolicy.h"
#include "pool/PoolAccess.h"
#include "pool/PoolLock.h"
#include "pool/PoolRecords.h"
#include "pool/PoolSettings.h"
#include "pool/SegmentLifecycle.h"
#include "pool/StoreJournal.h"
#include "support/KvPoolConstants.h"

namespace kvpool {

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
  values->writerPid = semctl(semaphoreSet, kWriterSem, GETPID);
  return values->writer >= 0 && values->readers >= 0 && values->freeSlots >= 0 &&
         values->writerPid >= 0;
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
  view_.segment = ids.segment;
  // A tool uses the journal the pool has, and makes none; it changes no pool
  // whose journal is another's. Read-only, the journal is only looked at, to
  // tell an interrupted store from damage.
  const bool writing = mode == Mode::kReadWrite;
  const JournalMapping journal = mapJournal(ids.segment, mapping.bytes, false,
                                            {problem_, sizeof problem_}, writing ? 0 : SHM_RDONLY);
  if (writing && journal.foreign) {
    failure_ = Failure::kForeignJournal;
    return false;
  }
  journalView_ = journal.view;
  if (!writing) {
    lookJournal_ = journalLook(journalView_, journal.bytes);
    return true;
  }
  view_.journal = journalOpen(journalView_, journal.bytes);
  lookJournal_ = view_.journal;
  if (view_.journal != nullptr) {
    index_ = std::make_unique<KeyIndex>();
    view_.index = index_.get();
  }
  return true;
}

bool OpenedPool::storePending() const {
  return journalPending(lookJournal_);
}

PoolPersistFacts OpenedPool::persistFacts() const {
  return readPersistFacts(lookJournal_);
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
