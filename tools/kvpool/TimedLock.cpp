#include "tools/kvpool/TimedLock.h"

#include <errno.h>
#include <signal.h>
#include <sys/sem.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "pool/PoolAccess.h"
#include "tools/kvpool/Report.h"

namespace kvpooltool {
namespace {

constexpr unsigned short kWriterSem = 0;
constexpr unsigned short kReaderSem = 1;

timespec now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

timespec after(const timespec& start, double seconds) {
  const double whole = std::floor(seconds);
  timespec end = start;
  end.tv_sec += static_cast<time_t>(whole);
  end.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  return end;
}

// What is left until deadline, never negative.
timespec remaining(const timespec& deadline) {
  const timespec current = now();
  timespec left{deadline.tv_sec - current.tv_sec, deadline.tv_nsec - current.tv_nsec};
  if (left.tv_nsec < 0) {
    left.tv_sec -= 1;
    left.tv_nsec += 1000000000L;
  }
  if (left.tv_sec < 0) left = {0, 0};
  return left;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", value);
  return text;
}

// The writer as the system knows it: semaphore 0 is changed only by taking
// and giving back the writer lock, and no operation on it completes while it
// is held, so the last process that operated on it is the holder.
std::string describeWriter(int semaphoreSet) {
  const int pid = semctl(semaphoreSet, kWriterSem, GETPID);
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
  if (values.writer > 0) return describeWriter(semaphoreSet);
  if (kind == LockKind::kWrite && values.readers > 0) {
    return counted(values.readers, "reader holds", "readers hold") +
           " it (the system does not record which processes)";
  }
  return "it was free again when looked at";
}

const char* lockName(LockKind kind) {
  return kind == LockKind::kRead ? "read lock" : "writer lock";
}

// Takes the lock, waiting at most waitSeconds. Empty on success, else why not.
std::string takeLock(int semaphoreSet, LockKind kind, double waitSeconds) {
  sembuf readOps[] = {{kWriterSem, 0, 0}, {kReaderSem, +1, SEM_UNDO}};
  sembuf writeOps[] = {{kReaderSem, 0, 0}, {kWriterSem, 0, 0}, {kWriterSem, +1, SEM_UNDO}};
  sembuf* ops = kind == LockKind::kRead ? readOps : writeOps;
  const std::size_t count = kind == LockKind::kRead ? 2 : 3;
  const timespec deadline = after(now(), waitSeconds);
  for (;;) {
    timespec left = remaining(deadline);
    if (semtimedop(semaphoreSet, ops, count, &left) == 0) return {};
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      return "timed out after " + seconds(waitSeconds) + " waiting for the pool's " +
             lockName(kind) + ": " + describeHolders(semaphoreSet, kind) +
             " (--wait SECONDS waits longer)";
    }
    const int error = errno;
    return std::string("cannot take the pool's ") + lockName(kind) +
           ": semtimedop failed: " + std::strerror(error) +
           (error == EIDRM || error == EINVAL ? " (the pool was just removed)" : "");
  }
}

void giveBack(int semaphoreSet, LockKind kind) {
  sembuf op = {kind == LockKind::kRead ? kReaderSem : kWriterSem, -1, SEM_UNDO};
  while (semop(semaphoreSet, &op, 1) == -1 && errno == EINTR) {
  }
}

}  // namespace

TimedPoolLock::TimedPoolLock(int semaphoreSet, LockKind kind, double waitSeconds)
    : semaphoreSet_(semaphoreSet), kind_(kind) {
  failure_ = takeLock(semaphoreSet, kind, waitSeconds);
  held_ = failure_.empty();
}

TimedPoolLock::~TimedPoolLock() {
  release();
}

void TimedPoolLock::release() {
  if (held_) giveBack(semaphoreSet_, kind_);
  held_ = false;
}

bool awaitWriterLock(int semaphoreSet, double waitSeconds, std::string* why) {
  TimedPoolLock probe(semaphoreSet, LockKind::kWrite, waitSeconds);
  if (!probe.held()) *why = probe.failure();
  return probe.held();
}

}  // namespace kvpooltool
