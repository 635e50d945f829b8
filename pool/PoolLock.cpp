// The pool's reader/writer lock (pool/PoolLock.h) and its guards
// (kvpool::PoolWriteLock, kvpool::PoolReadLock).
#include "pool/PoolLock.h"

#include <sched.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "pool/KvPoolShm.h"
#include "pool/StoreJournal.h"
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

// A bound far beyond any wait asked for, so that the deadline's arithmetic
// cannot overflow. The steady clock is CLOCK_MONOTONIC, semtimedop's.
constexpr double kLongestWaitSeconds = 1e8;
using Clock = std::chrono::steady_clock;

// The point that lies waitSeconds from now; NaN and anything below 0 wait
// not at all.
Clock::time_point lockDeadline(double waitSeconds) {
  const double wait = waitSeconds > 0 ? std::min(waitSeconds, kLongestWaitSeconds) : 0;
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait));
}

// What is left until deadline, never negative.
timespec timeLeft(Clock::time_point deadline) {
  const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
  return {static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
}

// The lock's list, tried first with IPC_NOWAIT on every entry, then with the
// waiting call: semop, or semtimedop with the time left until deadline; a
// signal resumes the wait, and so only shortens what is left. Null when
// held, else the call that failed (errno tells why; EAGAIN: the deadline
// passed).
template <std::size_t N>
const char* runLockSemop(int semaphoreSet, const sembuf (&ops)[N],
                         const Clock::time_point* deadline) {
  std::array<sembuf, N> list;
  std::copy(std::begin(ops), std::end(ops), list.begin());
  for (sembuf& op : list) op.sem_flg |= IPC_NOWAIT;
  for (int attempt = 0; attempt < kLockTries; ++attempt) {
    if (semop(semaphoreSet, list.data(), N) == 0) return nullptr;
    if (errno != EAGAIN && errno != EINTR) return "semop()";
    if (attempt >= kLockTries / 2) sched_yield();
  }
  std::copy(std::begin(ops), std::end(ops), list.begin());
  for (;;) {
    if (deadline == nullptr) {
      if (semop(semaphoreSet, list.data(), N) == 0) return nullptr;
      if (errno != EINTR) return "semop()";
      continue;
    }
    timespec left = timeLeft(*deadline);
    if (semtimedop(semaphoreSet, list.data(), N, &left) == 0) return nullptr;
    if (errno != EINTR) return "semtimedop()";
  }
}

// One lock step, traced as the exported function named by the lines.
template <std::size_t N>
bool lockStep(int semaphoreSet, const sembuf (&ops)[N], LockTrace trace, const char* entryLine,
              const char* failureLine, int* error, std::optional<double> waitSeconds = {}) {
  if (trace == LockTrace::kTraced) Log(entryLine);
  Clock::time_point deadline;
  if (waitSeconds) deadline = lockDeadline(*waitSeconds);
  const char* failedCall = runLockSemop(semaphoreSet, ops, waitSeconds ? &deadline : nullptr);
  if (failedCall == nullptr) return true;
  const int failed = errno;
  if (error != nullptr) *error = failed;
  if (!waitSeconds || failed != EAGAIN) ++lockFailures;
  noteUnavailable(failedCall, failed);
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

void noteUnavailableText(const char* call, const char* reason) {
  std::snprintf(unavailableText, sizeof unavailableText, "%s: %s", call, reason);
}

unsigned threadLockFailures() {
  return lockFailures;
}

bool readSemaphoreStatus(int semaphoreSet, semid_ds* status) {
  union {
    int val;
    semid_ds* buf;
    unsigned short* array;
  } arg{};
  arg.buf = status;
  return semctl(semaphoreSet, 0, IPC_STAT, arg) == 0;
}

bool lockForWriting(int semaphoreSet, LockTrace trace, int* error,
                    std::optional<double> waitSeconds) {
  return lockStep(semaphoreSet, kWriteLockOps, trace, "-->sem_WLock\n",
                  "  >sem_WLock: semop() failed\n", error, waitSeconds);
}

void unlockForWriting(int semaphoreSet, LockTrace trace) {
  lockStep(semaphoreSet, kWriteUnlockOps, trace, "-->sem_WUnLock\n",
           "  >sem_WUnLock: semop() failed\n", nullptr);
}

bool lockForReading(int semaphoreSet, LockTrace trace, int* error,
                    std::optional<double> waitSeconds) {
  return lockStep(semaphoreSet, kReadLockOps, trace, "-->sem_RLock\n",
                  "  >sem_RLock: semop() failed\n", error, waitSeconds);
}

void unlockForReading(int semaphoreSet, LockTrace trace) {
  lockStep(semaphoreSet, kReadUnlockOps, trace, "-->sem_RUnLock\n",
           "  >sem_RUnLock: semop() failed\n", nullptr);
}

namespace {

template <LockMode Mode>
bool take(int semaphoreSet, LockTrace trace, int* error, std::optional<double> waitSeconds) {
  return Mode == LockMode::kWrite ? lockForWriting(semaphoreSet, trace, error, waitSeconds)
                                  : lockForReading(semaphoreSet, trace, error, waitSeconds);
}

}  // namespace

template <LockMode Mode>
PoolLockGuard<Mode>::PoolLockGuard(int semaphoreSet, LockTrace trace)
    : semaphoreSet_(semaphoreSet),
      trace_(trace),
      held_(take<Mode>(semaphoreSet, trace, &error_, std::nullopt)) {}

template <LockMode Mode>
PoolLockGuard<Mode>::PoolLockGuard(int semaphoreSet, double waitSeconds, LockTrace trace)
    : semaphoreSet_(semaphoreSet),
      trace_(trace),
      held_(take<Mode>(semaphoreSet, trace, &error_, waitSeconds)) {}

template <LockMode Mode>
PoolLockGuard<Mode>::~PoolLockGuard() {
  if (!held_) return;
  if (Mode == LockMode::kWrite) {
    unlockForWriting(semaphoreSet_, trace_);
  } else {
    unlockForReading(semaphoreSet_, trace_);
  }
}

template class PoolLockGuard<LockMode::kWrite>;
template class PoolLockGuard<LockMode::kRead>;

PoolChangeLock::PoolChangeLock(const PoolView& pool, const char* function, LockTrace trace)
    : lock_(pool.semaphores, trace) {
  if (lock_.held()) repairInterruptedStore(pool, function);
}

void countPoolChange(const PoolView& pool) {
  if (pool.journal != nullptr) journalCountChange(pool.journal);
}

}  // namespace kvpool

const char* getKvPoolUnavailableText(void) {
  return kvpool::unavailableText;
}
