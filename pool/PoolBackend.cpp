// The process's choice of backend, made at node creation.
#include "pool/PoolBackend.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "pool/KvPoolShm.h"
#include "pool/PoolSettings.h"
#include "support/Trace.h"

namespace kvpool {
namespace {
bool sameSettings(const BackendConfig& a, const BackendConfig& b) {
  return a.describe() == b.describe() && a.user == b.user && a.password == b.password &&
         a.database == b.database && a.prefix == b.prefix && a.timeoutMs == b.timeoutMs;
}

// The process's choice; shared memory until a node context or a pool call
// reads the environment. A choice that names the same server keeps the
// backend and its connections.
std::mutex choiceMutex;
bool choiceMade = false;
BackendConfig remoteConfig;
std::unique_ptr<KvPoolBackend, BackendClose> remoteBackend;
int remoteUsers = 0;
// What every pool call asks first, answered without the mutex once the
// choice is made: a backend is replaced only while no node context lives.
std::atomic<bool> choiceKnown{false};
std::atomic<KvPoolBackend*> chosenBackend{nullptr};

// False with *problem when the backend cannot be had (the choice is then
// unchanged).
bool adopt(const BackendConfig& config, std::string* problem) {
  if (!config.remote()) {
    remoteBackend.reset();
  } else if (remoteBackend == nullptr || !sameSettings(remoteConfig, config)) {
    KvPoolBackend* opened = openRemoteBackend(config, problem);
    if (opened == nullptr) return false;
    remoteBackend.reset(opened);
    remoteConfig = config;
    Log("  pool backend %s\n", config.describe().c_str());
  }
  setPersistPath(config.persistPath);
  choiceMade = true;
  chosenBackend.store(remoteBackend != nullptr ? remoteBackend.get() : sharedMemoryBackend(),
                      std::memory_order_release);
  choiceKnown.store(true, std::memory_order_release);
  return true;
}

}  // namespace

bool selectPoolBackend(std::string* problem) {
  const std::lock_guard<std::mutex> lock(choiceMutex);
  if (choiceMade && (poolUsers > 0 || remoteUsers > 0)) return true;
  BackendConfig config;
  return readBackendConfig(&config, problem) && adopt(config, problem);
}

bool processPoolOnRedis() {
  return processPoolBackend() != sharedMemoryBackend();
}

KvPoolBackend* processPoolBackend() {
  if (choiceKnown.load(std::memory_order_acquire)) {
    return chosenBackend.load(std::memory_order_acquire);
  }
  const std::lock_guard<std::mutex> lock(choiceMutex);
  if (!choiceMade) {
    BackendConfig config;
    std::string ignored;
    // Settings that are malformed or name a backend that cannot be had
    // leave the pool calls on shared memory; node creation refuses them.
    if (!readBackendConfig(&config, &ignored) || !adopt(config, &ignored)) {
      adopt(BackendConfig(), &ignored);
    }
  }
  return chosenBackend.load(std::memory_order_acquire);
}

void takeRemotePoolUser() {
  const std::lock_guard<std::mutex> lock(choiceMutex);
  remoteUsers += 1;
  Log("  remote poolUsers %d\n", remoteUsers);
}

void releaseRemotePoolUser() {
  const std::lock_guard<std::mutex> lock(choiceMutex);
  if (remoteUsers > 0) remoteUsers -= 1;
  Log("  remote poolUsers %d\n", remoteUsers);
}

int remotePoolUsers() {
  const std::lock_guard<std::mutex> lock(choiceMutex);
  return remoteUsers;
}

}  // namespace kvpool
