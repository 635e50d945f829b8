// The owner and mode checks of the pool's System V objects (pool/ObjectCheck.h).
#include "pool/ObjectCheck.h"

#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "pool/KvPoolShm.h"
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

bool readSegmentOwner(int segment, Owner* owner) {
  shmid_ds status{};
  if (shmctl(segment, IPC_STAT, &status) != 0) return false;
  *owner = ownerOf(status.shm_perm);
  return true;
}

union SemctlArg {
  int val;
  semid_ds* buf;
  unsigned short* array;
};

bool readSemaphoreOwner(int semaphoreSet, Owner* owner) {
  semid_ds status{};
  SemctlArg arg{};
  arg.buf = &status;
  if (semctl(semaphoreSet, 0, IPC_STAT, arg) != 0) return false;
  *owner = ownerOf(status.sem_perm);
  return true;
}

bool inOurGroups(gid_t group) {
  if (group == getegid()) return true;
  gid_t groups[256];
  const int count = getgroups(256, groups);
  for (int i = 0; i < count; ++i) {
    if (groups[i] == group) return true;
  }
  return false;
}

// An object whose owner is not its creator was handed over with IPC_SET; its
// creator keeps the owner's access, so it counts as theirs.
bool fitsMode(const Owner& owner, int mode) {
  if (owner.mode != mode || owner.uid != owner.creator) return false;
  if (owner.uid == geteuid() || (mode & 0006) != 0) return true;
  return (mode & 0060) != 0 && inOurGroups(owner.group);
}

// " (made by uid C)" when the creator is not the owner, else "".
void describeCreator(const Owner& owner, char* text, std::size_t bytes) {
  text[0] = '\0';
  if (owner.creator != owner.uid) {
    std::snprintf(text, bytes, " (made by uid %u)", static_cast<unsigned>(owner.creator));
  }
}

void writeUnreadable(const ObjectProblem& problem, const char* object, const char* removal) {
  char reason[96];
  std::snprintf(problem.text, problem.bytes, "%s cannot be looked at (%s): remove it with %s",
                object, strerror_r(errno, reason, sizeof reason), removal);
}

bool checkMode(bool read, const Owner& owner, int mode, const char* object, const char* removal,
               const ObjectProblem& problem) {
  if (!read) {
    writeUnreadable(problem, object, removal);
    return false;
  }
  if (fitsMode(owner, mode)) return true;
  char creator[32];
  describeCreator(owner, creator, sizeof creator);
  std::snprintf(problem.text, problem.bytes,
                "%s belongs to uid %u%s with mode %04o, not to uid %u with mode %04o as "
                "KVPOOL_MODE sets: remove it with %s, or set KVPOOL_MODE to match",
                object, static_cast<unsigned>(owner.uid), creator, owner.mode,
                static_cast<unsigned>(geteuid()), mode, removal);
  return false;
}

constexpr const char* kJournalObject = "the store journal (shared memory key 99998)";
constexpr const char* kJournalRemoval = "ipcrm -M 99998";
static_assert(KVPOOL_JOURNAL_KEY == 99998 && KVPOOL_SHM_KEY == 99999 && KVPOOL_SEM_KEY == 88888,
              "the keys named in the problem texts");

}  // namespace

bool adoptJournal(int journal, int poolSegment, std::size_t* journalBytes,
                  const ObjectProblem& problem) {
  shmid_ds status{};
  Owner pool;
  if (shmctl(journal, IPC_STAT, &status) != 0 || !readSegmentOwner(poolSegment, &pool)) {
    writeUnreadable(problem, kJournalObject, kJournalRemoval);
    return false;
  }
  const Owner found = ownerOf(status.shm_perm);
  if (found.uid == pool.uid && found.creator == pool.creator && found.mode == pool.mode) {
    *journalBytes = status.shm_segsz;
    return true;
  }
  char creator[32];
  describeCreator(found, creator, sizeof creator);
  std::snprintf(problem.text, problem.bytes,
                "%s belongs to uid %u%s with mode %04o, not to the pool's owner uid %u with "
                "mode %04o: remove it with %s",
                kJournalObject, static_cast<unsigned>(found.uid), creator, found.mode,
                static_cast<unsigned>(pool.uid), pool.mode, kJournalRemoval);
  return false;
}

bool mayMakeJournal(int poolSegment, int* mode) {
  Owner pool;
  if (!readSegmentOwner(poolSegment, &pool)) return false;
  *mode = pool.mode;
  return pool.uid == geteuid() && pool.creator == pool.uid;
}

bool segmentFitsMode(int segment, int mode, const ObjectProblem& problem) {
  Owner owner;
  const bool read = readSegmentOwner(segment, &owner);
  return checkMode(read, owner, mode, "the pool's segment (shared memory key 99999)",
                   "ipcrm -M 99999", problem);
}

bool semaphoresFitMode(int semaphoreSet, int mode, const ObjectProblem& problem) {
  Owner owner;
  const bool read = readSemaphoreOwner(semaphoreSet, &owner);
  return checkMode(read, owner, mode, "the pool's semaphore set (key 88888)", "ipcrm -S 88888",
                   problem);
}

// A lost creation race is retried this often.
constexpr int kJournalLookups = 3;

// Maps the pool's journal segment, creating it when the pool has none yet (a
// pool made by a build without it gets one from the first process of the
// pool's owner that knows it). One too small for this pool is left over from
// an earlier, smaller pool and is replaced. A journal found is used only when
// adoptJournal takes it; other failures leave the pool without a journal.
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
