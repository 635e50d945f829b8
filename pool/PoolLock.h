// The pool's reader/writer lock on semaphores 0 and 1 of its set, and the
// calling thread's record of why the pool was last unavailable. Internal to
// pool/: the guards in pool/PoolAccess.h are what other code holds.
//
// Writer: {(1,0,0), (0,0,0), (0,+1,UNDO)}; reader: {(0,0,0), (1,+1,UNDO)};
// both taken as one semop, so a holder excludes and is excluded by every
// other process alike. SEM_UNDO gives the lock back when its holder dies.
#ifndef KVPOOL_POOL_POOLLOCK_H
#define KVPOOL_POOL_POOLLOCK_H

#include <errno.h>
#include <sys/sem.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>

#include "pool/PoolAccess.h"

namespace kvpool {

constexpr unsigned short kWriterSem = 0;  // the set's three semaphores
constexpr unsigned short kReaderSem = 1;
constexpr unsigned short kSlotSem = 2;

// Notes the failed call and its error for getKvPoolUnavailableText (errno
// kept); and how many of the calling thread's lock steps have failed.
void noteUnavailable(const char* call, int error);
// The same for a reason of another kind: "call: reason" (cut to fit).
void noteUnavailableText(const char* call, const char* reason);
unsigned threadLockFailures();

// The set was removed, before the call (EINVAL) or while it waited (EIDRM).
inline bool setRemoved(int error) {
  return error == EIDRM || error == EINVAL;
}

// One semop of a list; a wait interrupted by a signal is resumed, so it
// returns false only when the set itself failed (errno tells why).
template <std::size_t N>
bool runSemop(int semaphoreSet, const sembuf (&ops)[N]) {
  std::array<sembuf, N> list;
  std::copy(std::begin(ops), std::end(ops), list.begin());
  while (semop(semaphoreSet, list.data(), N) == -1) {
    if (errno != EINTR) return false;
  }
  return true;
}

// The set's status (semctl IPC_STAT); false with errno.
bool readSemaphoreStatus(int semaphoreSet, semid_ds* status);

// The lock steps on a given set; a traced step writes the lines of the
// exported function of its name (sem_WLock ..). With waitSeconds a lock waits
// no longer (none below 0): it then fails with EAGAIN, which is no failure of
// the set and does not count in threadLockFailures. A failed step leaves its
// errno in *error when error is not null.
bool lockForWriting(int semaphoreSet, LockTrace trace, int* error,
                    std::optional<double> waitSeconds = std::nullopt);
void unlockForWriting(int semaphoreSet, LockTrace trace);
bool lockForReading(int semaphoreSet, LockTrace trace, int* error,
                    std::optional<double> waitSeconds = std::nullopt);
void unlockForReading(int semaphoreSet, LockTrace trace);

}  // namespace kvpool

#endif
