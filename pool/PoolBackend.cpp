// The process's choice of backend, made at node creation; and the exported
// pool calls (pool/KvPoolShm.h) on its table, the same for every backend.
#include "pool/PoolBackend.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "pool/KvPoolShm.h"
#include "pool/PoolLock.h"
#include "pool/PersistPolicy.h"
#include "pool/PoolRecords.h"
#include "pool/PoolSettings.h"
#include "pool/SnapshotFile.h"
#include "support/KvPoolConstants.h"
#include "support/Trace.h"

namespace kvpool {
namespace {
bool sameSettings(const BackendConfig& a, const BackendConfig& b) {
  return a.describe() == b.describe() && a.user == b.user && a.password == b.password &&
         a.database == b.database && a.prefix == b.prefix && a.timeoutMs == b.timeoutMs &&
         a.tls == b.tls;
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

void collect(void* context, const char* bytes, uint64_t length, int32_t present) {
  auto* texts = static_cast<std::vector<std::optional<std::string>>*>(context);
  if (present != 0) {
    texts->emplace_back(std::string(bytes, length));
  } else {
    texts->emplace_back();
  }
}

}  // namespace

void setRequestLengths(PoolBlockRequest* request, std::size_t keyBytes, std::size_t valueBytes) {
  request->keyLength = static_cast<int32_t>(keyBytes + 1);
  request->valueLength = static_cast<int32_t>(valueBytes + 1);
  request->blockSize = kRecordHeaderBytes + request->keyLength + request->valueLength;
}

bool selectPoolBackend(std::string* problem) {
  const std::lock_guard<std::mutex> lock(choiceMutex);
  // poolUsers changes under the process pool's lock, not this one.
  const bool kept = choiceMade && (remoteUsers > 0 || countKvPoolUsers() > 0);
  BackendConfig config;
  // A file whose folder cannot take it would fail only at the last node's
  // save; the node is refused now, while someone is watching.
  if (!kept && !(readBackendConfig(&config, problem) &&
                 (config.persistPath.empty() || checkPersistFolder(config.persistPath, problem)) &&
                 adopt(config, problem))) {
    return false;
  }
  // Every node made on an unchecked server says so, not only the first.
  if (remoteBackend != nullptr) {
    if (const std::string warning = unverifiedTlsWarning(remoteConfig); !warning.empty()) {
      Log("  >pool backend: %s\n", warning.c_str());
      logPoolEvent(CCI_LOG_WARNING, kEventTlsUnverified, kLineTlsUnverified, "createNodeContext",
                   warning.c_str());
    }
  }
  return true;
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

CollectingSink::CollectingSink() : sink_{&texts_, collect} {}

std::vector<std::string> CollectingSink::plainTexts() const {
  std::vector<std::string> plain;
  plain.reserve(texts_.size());
  for (const auto& text : texts_) plain.push_back(text.value_or(std::string()));
  return plain;
}

std::string CollectingSink::first() const {
  return texts_.empty() ? "" : texts_.front().value_or("");
}

std::string backendName(KvPoolBackend& backend) {
  CollectingSink name;
  if (backend.methods->describe(&backend, nullptr, name.sink()).code != 0) return "";
  return name.first();
}

RemoteBatchReply runBackendBatch(KvPoolBackend& backend, const std::vector<RemotePoolOp>& ops,
                                 bool missingIsEmpty) {
  std::vector<KvPoolOp> table;
  table.reserve(ops.size());
  for (const RemotePoolOp& op : ops) {
    table.push_back(
        {static_cast<int32_t>(op.kind), op.source, poolText(op.key), poolText(op.value)});
  }
  CollectingSink values;
  RemoteBatchReply reply;
  const KvPoolOutcome outcome = backend.methods->runBatch(
      &backend, table.data(), table.size(), missingIsEmpty ? 1 : 0, &reply.failedOp, values.sink());
  reply.result = outcome.code;
  reply.values = values.plainTexts();
  reply.error = outcome.reason;
  return reply;
}

}  // namespace kvpool

namespace {

// A call's pointers that are null: traced, and answered with 4.
int refuseNull(const char* function, const char* what) {
  Log("-->%s\n", function);
  Log("  >%s: %s is null: refused\n", function, what);
  return KVPOOL_KEY_REFUSED;
}

// An exported pool call's body under guardEntry: an exception of its own is
// answered with failed, and with failed 5 the reason is what
// getKvPoolUnavailableText says.
template <typename Body>
int poolEntry(const char* function, int failed, Body&& body) {
  return kvpool::guardEntry(body, [&](const char* reason) {
    Log("  >%s: %s\n", function, reason);
    if (failed == KVPOOL_POOL_UNAVAILABLE) kvpool::noteUnavailableText(function, reason);
    return failed;
  });
}

// A backend's failure other than 5 needs no reason; 5 comes with one.
int answered(const char* function, const KvPoolOutcome& outcome) {
  if (outcome.code == KVPOOL_POOL_UNAVAILABLE) {
    Log("  >%s: %s\n", function, outcome.reason);
    kvpool::noteUnavailableText(function, outcome.reason);
  }
  return outcome.code;
}

int getValue(PoolBlockRequest* request, const char* key) {
  KvPoolBackend* backend = kvpool::processPoolBackend();
  // Shared memory straight, without the table's texts and their copies.
  if (backend == kvpool::sharedMemoryBackend()) return kvpool::getProcessPoolValue(request, key);
  kvpool::CollectingSink value;
  const KvPoolOutcome outcome = backend->methods->get(backend, kvpool::poolText(key), value.sink());
  if (outcome.code != KVPOOL_OK) return answered("getKvPoolDataBlock", outcome);
  const std::string text = value.first();
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return KVPOOL_KEY_NOT_FOUND;
  std::memcpy(copy, text.c_str(), text.size() + 1);
  request->value = copy;
  kvpool::setRequestLengths(request, std::strlen(key), text.size());
  return KVPOOL_OK;
}

int storeValue(PoolBlockRequest* request) {
  KvPoolBackend* backend = kvpool::processPoolBackend();
  const std::size_t keyBytes = std::strlen(request->key);
  kvpool::setRequestLengths(request, keyBytes, std::strlen(request->value));
  // A record no snapshot can hold would make the next save unloadable.
  if (!kvpool::poolKeyLengthAllowed(keyBytes)) {
    Log("-->storeKvPoolDataBlock\n");
    Log("  >storeKvPoolDataBlock: a key has 1 to 255 bytes, this one %zu: nothing stored\n",
        keyBytes);
    return KVPOOL_KEY_REFUSED;
  }
  if (backend == kvpool::sharedMemoryBackend()) {
    return kvpool::storeProcessPoolValue(request->key, request->value);
  }
  return answered("storeKvPoolDataBlock",
                  backend->methods->store(backend, kvpool::poolText(request->key),
                                          kvpool::poolText(request->value)));
}

}  // namespace

int getKvPoolDataBlock(PoolBlockRequest* request, const char* key) {
  if (request == nullptr) return refuseNull("getKvPoolDataBlock", "the request");
  if (key == nullptr) return refuseNull("getKvPoolDataBlock", "the key");
  return poolEntry("getKvPoolDataBlock", KVPOOL_POOL_UNAVAILABLE,
                   [&] { return getValue(request, key); });
}

int storeKvPoolDataBlock(PoolBlockRequest* request) {
  if (request == nullptr) return refuseNull("storeKvPoolDataBlock", "the request");
  if (request->key == nullptr) return refuseNull("storeKvPoolDataBlock", "the key");
  if (request->value == nullptr) return refuseNull("storeKvPoolDataBlock", "the value");
  return poolEntry("storeKvPoolDataBlock", KVPOOL_POOL_UNAVAILABLE,
                   [&] { return storeValue(request); });
}

int storeKvPoolToFile(void) {
  return poolEntry("storeKvPoolToFile", 1, [] {
    KvPoolBackend* backend = kvpool::processPoolBackend();
    if (backend->methods->saveSnapshot != nullptr) return backend->methods->saveSnapshot(backend);
    int records = 0;
    std::string error;
    return kvpool::saveTablePoolToFile(*backend, &records, &error) == kvpool::RemoteSnapshot::kDone
               ? 0
               : 1;
  });
}

int initKvPoolFromFile(void) {
  return poolEntry("initKvPoolFromFile", 1, [] {
    KvPoolBackend* backend = kvpool::processPoolBackend();
    if (backend->methods->loadSnapshot != nullptr) return backend->methods->loadSnapshot(backend);
    int records = 0;
    std::string error;
    using kvpool::RemoteSnapshot;
    const RemoteSnapshot loaded = kvpool::loadTablePoolFromFile(*backend, &records, &error);
    // As on shared memory: 1 when the file or the pool could not be used or
    // took only part of it; a pool that holds keys or cannot take the file is
    // left alone with 0.
    return static_cast<int>(loaded == RemoteSnapshot::kFileFailed ||
                            loaded == RemoteSnapshot::kUnavailable ||
                            loaded == RemoteSnapshot::kFull || loaded == RemoteSnapshot::kRefused ||
                            loaded == RemoteSnapshot::kPartly);
  });
}
