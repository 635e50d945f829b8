// The pool's reader/writer lock (pool/PoolLock.h) and its guards
// (kvpool::PoolWriteLock, kvpool::PoolReadLock).
#include "pool/PoolLock.h"

#include <sched.h>

#include <cstdio>
#include <cstring>

#include "pool/KvPoolShm.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

// Why the thread's last pool operation found the pool unavailable, and how
// many of its lock steps have failed.
thread_local char unavailableText[128];
thread_local unsigned lockFailures = 0;

constexpr sembuf kWriteLockOps[] = {
    {kReaderSem, 0, 0}, {kWriterSem, 0, 0}, {kWriterSem, +1, SEM_UNDO}};
constexpr sembuf kWriteUnlockOps[] = {{kWriterSem, -1, SEM_UNDO}};
constexpr sembuf kReadLockOps[] = {{kWriterSem, 0, 0}, {kReaderSem, +1, SEM_UNDO}};
constexpr sembuf kReadUnlockOps[] = {{kReaderSem, -1, SEM_UNDO}};

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

// One lock step; see lockForWriting.
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

}  // namespace

void noteUnavailable(const char* call, int error) {
  const int saved = errno;
  char reason[96];
  std::snprintf(unavailableText, sizeof unavailableText, "%s: %s", call,
                strerror_r(error, reason, sizeof reason));
  errno = saved;
}

unsigned threadLockFailures() {
  return lockFailures;
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

}  // namespace kvpool

const char* getKvPoolUnavailableText(void) {
  return kvpool::unavailableText;
}
