// The pool's reader and writer lock with a bounded wait, for a tool that must
// never hang behind a stuck or busy holder: the library's own lock
// (kvpool::PoolReadLock, PoolWriteLock with a wait), quiet, so a timed holder
// excludes and is excluded exactly as any node is. What this adds is the
// tool's report of a wait that ran out: who holds the lock.
#ifndef KVPOOL_TOOLS_KVPOOL_TIMEDLOCK_H
#define KVPOOL_TOOLS_KVPOOL_TIMEDLOCK_H

#include <optional>
#include <string>

#include "pool/PoolAccess.h"

namespace kvpooltool {

enum class LockKind { kRead, kWrite };

// Holds the lock for the guard's scope once held() is true. When it could not
// be had, failure() says why in one line: the wait that ran out and who holds
// the lock (the writer's process id as the system recorded it; for readers,
// how many), or the system's reason.
class TimedPoolLock {
 public:
  TimedPoolLock(int semaphoreSet, LockKind kind, double waitSeconds);
  ~TimedPoolLock();
  TimedPoolLock(const TimedPoolLock&) = delete;
  TimedPoolLock& operator=(const TimedPoolLock&) = delete;

  bool held() const { return held_; }
  const std::string& failure() const { return failure_; }
  // Gives the lock back before the scope ends.
  void release();

 private:
  std::optional<kvpool::PoolReadLock> read_;
  std::optional<kvpool::PoolWriteLock> write_;
  bool held_ = false;
  std::string failure_;
};

// For the library's calls that take the writer lock themselves (store, save,
// load, remove, clear) and would wait for it without bound: waits, bounded,
// until the writer lock can be had, and gives it back at once. False with
// the reason in *why when it could not be had in time. This races: another
// process may take the lock between the probe and the call, which then waits
// for it as a node would. That is accepted: such a holder has just shown it
// is alive and working, and a stuck or long-held lock is still reported.
bool awaitWriterLock(int semaphoreSet, double waitSeconds, std::string* why);

}  // namespace kvpooltool

#endif
