// The owner and mode checks of the pool's System V objects (pool/SegmentLifecycle.h).
#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pool/PoolLock.h"
#include "pool/SegmentLifecycle.h"
#include "pool/StoreJournal.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

// Who holds an object, as the system reports it.
struct Owner {
  uid_t uid = 0;
  uid_t creator = 0;
  gid_t group = 0;
  int mode = 0;  // permission bits only
};

Owner ownerOf(const ipc_perm& perm) {
  return {perm.uid, perm.cuid, perm.gid, static_cast<int>(perm.mode & 0777)};
}

bool readSegmentOwner(int segment, Owner* owner, std::size_t* bytes = nullptr) {
  shmid_ds status{};
  if (shmctl(segment, IPC_STAT, &status) != 0) return false;
  *owner = ownerOf(status.shm_perm);
  if (bytes != nullptr) *bytes = status.shm_segsz;
  return true;
}

bool inOurGroups(gid_t group) {
  if (group == getegid()) return true;
  gid_t groups[256];
  const int count = getgroups(256, groups);
  return count > 0 && std::find(groups, groups + count, group) != groups + count;
}

// An object whose owner is not its creator was handed over with IPC_SET; its
// creator keeps the owner's access, so it counts as theirs.
bool fitsMode(const Owner& owner, int mode) {
  if (owner.mode != mode || owner.uid != owner.creator) return false;
  if (owner.uid == geteuid() || (mode & 0006) != 0) return true;
  return (mode & 0060) != 0 && inOurGroups(owner.group);
}

void writeUnreadable(const ObjectProblem& problem, const char* object, const char* removal) {
  char reason[96];
  std::snprintf(problem.text, problem.bytes, "%s cannot be looked at (%s): remove it with %s",
                object, strerror_r(errno, reason, sizeof reason), removal);
}

// An object found with another owner or mode than wanted: as KVPOOL_MODE
// sets it (forMode), or as the pool's owner has it.
void writeForeign(const ObjectProblem& problem, const char* object, const Owner& found,
                  uid_t wantedUid, int wantedMode, const char* removal, bool forMode) {
  char creator[32] = "";
  if (found.creator != found.uid) {
    std::snprintf(creator, sizeof creator, " (made by uid %u)",
                  static_cast<unsigned>(found.creator));
  }
  std::snprintf(problem.text, problem.bytes,
                "%s belongs to uid %u%s with mode %04o, not to %suid %u with mode %04o%s: remove "
                "it with %s%s",
                object, static_cast<unsigned>(found.uid), creator, found.mode,
                forMode ? "" : "the pool's owner ", static_cast<unsigned>(wantedUid), wantedMode,
                forMode ? " as KVPOOL_MODE sets" : "", removal,
                forMode ? ", or set KVPOOL_MODE to match" : "");
}

bool checkMode(bool read, const Owner& owner, int mode, const char* object, const char* removal,
               const ObjectProblem& problem) {
  if (!read) {
    writeUnreadable(problem, object, removal);
    return false;
  }
  if (fitsMode(owner, mode)) return true;
  writeForeign(problem, object, owner, geteuid(), mode, removal, true);
  return false;
}

constexpr const char* kJournalObject = "the store journal (shared memory key 99998)";
constexpr const char* kJournalRemoval = "ipcrm -M 99998";
static_assert(KVPOOL_JOURNAL_KEY == 99998 && KVPOOL_SHM_KEY == 99999 && KVPOOL_SEM_KEY == 88888,
              "the keys named in the problem texts");

// The journal is used with the pool segment only when its owner, its creator
// and its permissions are the pool segment's: a journal of another user would
// let them read the values that stores replace and have theirs "repaired"
// into the pool. True with *journalBytes its size.
bool adoptJournal(int journal, int poolSegment, std::size_t* journalBytes,
                  const ObjectProblem& problem) {
  Owner found;
  Owner pool;
  if (!readSegmentOwner(journal, &found, journalBytes) || !readSegmentOwner(poolSegment, &pool)) {
    writeUnreadable(problem, kJournalObject, kJournalRemoval);
    return false;
  }
  if (found.uid == pool.uid && found.creator == pool.creator && found.mode == pool.mode) {
    return true;
  }
  writeForeign(problem, kJournalObject, found, pool.uid, pool.mode, kJournalRemoval, false);
  return false;
}

// Only the pool segment's owner and creator makes the journal, so that it
// gets the pool's owner; *mode is the pool segment's permissions.
bool mayMakeJournal(int poolSegment, int* mode) {
  Owner pool;
  if (!readSegmentOwner(poolSegment, &pool)) return false;
  *mode = pool.mode;
  return pool.uid == geteuid() && pool.creator == pool.uid;
}

// A lost creation race is retried this often.
constexpr int kJournalLookups = 3;

}  // namespace

bool segmentFitsMode(int segment, int mode, const ObjectProblem& problem) {
  Owner owner;
  const bool read = readSegmentOwner(segment, &owner);
  return checkMode(read, owner, mode, "the pool's segment (shared memory key 99999)",
                   "ipcrm -M 99999", problem);
}

bool semaphoresFitMode(int semaphoreSet, int mode, const ObjectProblem& problem) {
  semid_ds status{};
  const bool read = readSemaphoreStatus(semaphoreSet, &status);
  return checkMode(read, ownerOf(status.sem_perm), mode, "the pool's semaphore set (key 88888)",
                   "ipcrm -S 88888", problem);
}

JournalMapping mapJournal(int poolSegment, int32_t poolBytes, bool mayCreate,
                          const ObjectProblem& problem, int attachFlags) {
  JournalMapping mapping;
  const std::size_t wanted = journalSegmentBytes(static_cast<std::size_t>(poolBytes));
  int mode = 0;
  mayCreate = mayCreate && mayMakeJournal(poolSegment, &mode);
  for (int attempt = 0; attempt < kJournalLookups; ++attempt) {
    int id = shmget(KVPOOL_JOURNAL_KEY, 0, 0);
    std::size_t bytes = wanted;
    if (id != -1) {
      if (!adoptJournal(id, poolSegment, &bytes, problem)) {
        Log("  >initHandleOfKvPoolView: journal %d is not the pool's\n", id);
        mapping.foreign = true;
        return mapping;
      }
      if (bytes < wanted) {
        if (!mayCreate) return mapping;
        shmctl(id, IPC_RMID, nullptr);
        id = -1;
      }
    }
    if (id == -1) {
      if (!mayCreate) return mapping;
      id = shmget(KVPOOL_JOURNAL_KEY, wanted, IPC_CREAT | IPC_EXCL | mode);
      if (id == -1) {
        if (errno == EEXIST) continue;
        Log("  >initHandleOfKvPoolView: journal shmget() failed\n");
        return mapping;
      }
      bytes = wanted;
    }
    void* view = shmat(id, nullptr, attachFlags);
    if (view != reinterpret_cast<void*>(-1)) mapping = {view, bytes, false};
    return mapping;
  }
  return mapping;
}

}  // namespace kvpool
