#include "tools/kvpool/TimedLock.h"

#include <errno.h>
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "pool/PoolAccess.h"
#include "tools/kvpool/Report.h"

namespace kvpooltool {
namespace {

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", value);
  return text;
}

// The writer as the system recorded it (PoolSemaphoreValues::writerPid).
std::string describeWriter(int pid) {
  if (pid <= 0) return "a writer holds it (its process id is not recorded)";
  std::string text = "a writer holds it (process " + std::to_string(pid);
  if (kill(pid, 0) != 0 && errno == ESRCH) {
    text += ", which no longer runs: the lock is stuck; kvpool remove --force clears it";
  }
  return text + ")";
}

std::string describeHolders(int semaphoreSet, LockKind kind) {
  kvpool::PoolSemaphoreValues values;
  if (!kvpool::readPoolSemaphores(semaphoreSet, &values)) {
    return std::string("its holders cannot be read: ") + std::strerror(errno);
  }
  if (values.writer > 0) return describeWriter(values.writerPid);
  if (kind == LockKind::kWrite && values.readers > 0) {
    return counted(values.readers, "reader holds", "readers hold") +
           " it (the system does not record which processes)";
  }
  return "it was free again when looked at";
}

const char* lockName(LockKind kind) {
  return kind == LockKind::kRead ? "read lock" : "writer lock";
}

// Takes the lock into slot, waiting at most waitSeconds. Empty on success,
// else why not.
template <typename Lock>
std::string takeLock(std::optional<Lock>& slot, int semaphoreSet, LockKind kind,
                     double waitSeconds) {
  slot.emplace(semaphoreSet, waitSeconds, kvpool::LockTrace::kQuiet);
  if (slot->held()) return {};
  const bool timedOut = slot->timedOut();
  const bool removed = slot->removed();
  slot.reset();
  if (timedOut) {
    return "timed out after " + seconds(waitSeconds) + " waiting for the pool's " + lockName(kind) +
           ": " + describeHolders(semaphoreSet, kind) + " (--wait SECONDS waits longer)";
  }
  return std::string("cannot take the pool's ") + lockName(kind) + ": " +
         getKvPoolUnavailableText() + (removed ? " (the pool was just removed)" : "");
}

}  // namespace

TimedPoolLock::TimedPoolLock(int semaphoreSet, LockKind kind, double waitSeconds) {
  failure_ = kind == LockKind::kRead ? takeLock(read_, semaphoreSet, kind, waitSeconds)
                                     : takeLock(write_, semaphoreSet, kind, waitSeconds);
  held_ = failure_.empty();
}

TimedPoolLock::~TimedPoolLock() = default;

void TimedPoolLock::release() {
  read_.reset();
  write_.reset();
  held_ = false;
}

bool awaitWriterLock(int semaphoreSet, double waitSeconds, std::string* why) {
  TimedPoolLock probe(semaphoreSet, LockKind::kWrite, waitSeconds);
  if (!probe.held()) *why = probe.failure();
  return probe.held();
}

}  // namespace kvpooltool
