// Helpers shared by the pool unit tests: resetting this process's pool
// handles and the system objects, attaching as a node, storing and reading a
// value, and running code in a forked child that never used the pool.
#ifndef KVPOOL_TESTS_UNIT_POOL_TEST_HELPERS_H
#define KVPOOL_TESTS_UNIT_POOL_TEST_HELPERS_H

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "node/KvPool.h"
#include "pool/KvPoolShm.h"

namespace kvtest {

// Forgets this process's handles without touching the system objects: what a
// process that never attached looks like (a forked child inherits them).
inline void forgetPoolHandles() {
  if (hKvMemView != nullptr) shmdt(hKvMemView);
  hKvMemView = nullptr;
  hKvMem = -1;
  hSemaphore = -1;
  poolUsers = 0;
  noOfPoolPages = 1;
}

inline void removePoolObjects() {
  const int segment = shmget(KVPOOL_SHM_KEY, 0, 0);
  if (segment != -1) shmctl(segment, IPC_RMID, nullptr);
  const int set = semget(KVPOOL_SEM_KEY, 0, 0);
  if (set != -1) semctl(set, 0, IPC_RMID);
}

// Each test starts with no pool anywhere, default pages and fresh constants,
// whatever an earlier test left behind.
inline void resetPoolState() {
  removePoolObjects();
  forgetPoolHandles();
  unsetenv("KVPOOL_MEMORY_PAGES");
  unsetenv("KVPOOL_MODE");
  initNodeConstants();
}

inline bool attachNode() {
  return attachKvPool() == 0 && takeKvPoolUserSlot() == 0;
}

inline int storeValue(const std::string& key, const std::string& value) {
  PoolBlockRequest request{};
  request.key = const_cast<char*>(key.c_str());
  request.value = const_cast<char*>(value.c_str());
  return storeKvPoolDataBlock(&request);
}

inline std::optional<std::string> getValue(const std::string& key) {
  PoolBlockRequest request{};
  if (getKvPoolDataBlock(&request, key.c_str()) != KVPOOL_OK) return std::nullopt;
  std::string value(request.value);
  std::free(request.value);
  return value;
}

// Copied out rather than cast, so the segment's alignment never matters.
inline PoolControl poolHeader() {
  PoolControl header{};
  std::memcpy(&header, hKvMemView, sizeof header);
  return header;
}

// Runs body in a forked child, which starts as a process that never used the
// pool and ends with _exit(body()): it never returns into the test framework.
inline pid_t startChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    forgetPoolHandles();
    _exit(body());
  }
  return pid;
}

// The child's exit code, or 128 + signal when it was killed.
inline int waitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

inline int runChild(const std::function<int()>& body) {
  return waitChild(startChild(body));
}

}  // namespace kvtest

#endif
