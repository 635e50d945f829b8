// The module's entry point, kvpoolRedisOpen: the pool's table
// (pool/PoolBackend.h) on a RedisPool, each call one RedisPool call, its
// error the outcome's reason; the pool's single gets and stores (the tools'
// calls on many keys: RedisToolAccess.cpp); the module's trace.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "redis/RedisExchange.h"
#include "redis/RedisPool.h"
#include "support/EntryGuard.h"

namespace kvpool {
namespace {

std::atomic<const KvPoolRedisHost*> moduleHost{nullptr};

}  // namespace

void setModuleHost(const KvPoolRedisHost* host) {
  moduleHost.store(host, std::memory_order_release);
}

void Log(const char* format, ...) {
  const KvPoolRedisHost* host = moduleHost.load(std::memory_order_acquire);
  if (host == nullptr || host->log == nullptr) return;
  char line[2048];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  host->log(line);
}

// A key that does not start with KvPool is not the pool's on Redis: another
// application's, or a pool's under a longer prefix.
int RedisPool::get(const std::string& key, std::string* value, std::string* error) {
  if (!poolKeyNamed(key)) return KVPOOL_KEY_NOT_FOUND;
  RemoteBatchReply reply = runBatch({{RemotePoolOp::Kind::kGet, key, {}, -1}}, false);
  if (reply.result == KVPOOL_OK) *value = std::move(reply.values.front());
  *error = std::move(reply.error);
  return reply.result;
}

int RedisPool::set(const std::string& key, const std::string& value, std::string* error) {
  if (!poolKeyNamed(key)) {
    *error = config_.describe() + ": key \"" + key +
             "\" is no pool key: on Redis the pool's keys start with KvPool; nothing stored";
    Log("  >redis: %s\n", error->c_str());
    return KVPOOL_KEY_REFUSED;
  }
  RemoteBatchReply reply = runBatch({{RemotePoolOp::Kind::kSet, key, value, -1}}, false);
  *error = std::move(reply.error);
  return reply.result;
}

struct RedisBackend : KvPoolBackend {
  RedisBackend(const KvPoolBackendMethods* table, const BackendConfig& config)
      : KvPoolBackend{table}, pool(config) {}
  RedisPool pool;
};

namespace {

RedisPool& poolOf(KvPoolBackend* backend) {
  return static_cast<RedisBackend*>(backend)->pool;
}

std::vector<std::string> textsOf(const KvPoolText* texts, uint64_t count) {
  std::vector<std::string> out;
  for (uint64_t i = 0; i < count; ++i) out.push_back(textOf(texts[i]));
  return out;
}

KvPoolOutcome done(bool ok, const std::string& error) {
  return poolOutcome(ok ? KVPOOL_OK : KVPOOL_POOL_UNAVAILABLE, ok ? "" : error);
}

// "prefix step: reason" as a failure of code 5, made without allocating.
KvPoolOutcome failedStep(const char* prefix, const char* step, const char* reason) {
  KvPoolOutcome outcome = poolOutcome(KVPOOL_POOL_UNAVAILABLE);
  std::snprintf(outcome.reason, sizeof outcome.reason, "%s%s: %s", prefix, step, reason);
  Log("  >%s\n", outcome.reason);
  return outcome;
}

// A slot's body under guardEntry: an exception of its own (no memory, say)
// is answered with 5 and the reason, "libKvPoolRedis.so get: out of memory".
template <typename Body>
KvPoolOutcome answerSlot(const char* slot, Body&& body) {
  return guardEntry(
      body, [&](const char* reason) { return failedStep("libKvPoolRedis.so ", slot, reason); });
}

KvPoolOutcome get(KvPoolBackend* backend, KvPoolText key, KvPoolSink* sink) {
  return answerSlot("get", [&] {
    RedisPool& pool = poolOf(backend);
    Log("-->getKvPoolDataBlock %s\n", pool.config().describe().c_str());
    std::string value, error;
    const int result = pool.get(textOf(key), &value, &error);
    if (result == KVPOOL_OK) putText(sink, value);
    return poolOutcome(result, error);
  });
}

KvPoolOutcome store(KvPoolBackend* backend, KvPoolText key, KvPoolText value) {
  return answerSlot("store", [&] {
    RedisPool& pool = poolOf(backend);
    Log("-->storeKvPoolDataBlock %s\n", pool.config().describe().c_str());
    std::string error;
    const int result = pool.set(textOf(key), textOf(value), &error);
    return poolOutcome(result, error);
  });
}

KvPoolOutcome remove(KvPoolBackend* backend, const KvPoolText* keys, uint64_t keyCount,
                     int64_t* removed) {
  return answerSlot("remove", [&] {
    long deleted = 0;
    std::string error;
    const bool ok = poolOf(backend).deleteKeys(textsOf(keys, keyCount), &deleted, &error);
    *removed = deleted;
    return done(ok, error);
  });
}

KvPoolOutcome clear(KvPoolBackend* backend, int64_t* removed) {
  return answerSlot("clear", [&] {
    std::vector<std::string> keys;
    std::string error;
    long deleted = 0;
    std::string note;
    const bool ok = poolOf(backend).listKeys(&keys, &note, &error) &&
                    poolOf(backend).deleteKeys(keys, &deleted, &error);
    *removed = deleted;
    return done(ok, error);
  });
}

KvPoolOutcome listKeys(KvPoolBackend* backend, KvPoolSink* sink) {
  return answerSlot("listKeys", [&] {
    std::vector<std::string> keys;
    std::string note, error;
    if (!poolOf(backend).listKeys(&keys, &note, &error)) return done(false, error);
    for (const std::string& key : keys) putText(sink, key);
    return poolOutcome(KVPOOL_OK, note);
  });
}

KvPoolOutcome readMany(KvPoolBackend* backend, const KvPoolText* keys, uint64_t keyCount,
                       KvPoolSink* values, KvPoolSink* wrongType) {
  return answerSlot("readMany", [&] {
    std::vector<std::optional<std::string>> read;
    std::vector<std::string> unreadable;
    std::string error;
    if (!poolOf(backend).readValues(textsOf(keys, keyCount), &read, &unreadable, &error)) {
      return done(false, error);
    }
    for (const auto& value : read) putText(values, value.value_or(""), value.has_value());
    for (const std::string& key : unreadable) putText(wrongType, key);
    return done(true, error);
  });
}

KvPoolOutcome storeMany(KvPoolBackend* backend, const KvPoolText* keys, const KvPoolText* values,
                        uint64_t pairCount) {
  return answerSlot("storeMany", [&] {
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(pairCount);
    for (uint64_t i = 0; i < pairCount; ++i) {
      pairs.emplace_back(textOf(keys[i]), textOf(values[i]));
    }
    std::string error;
    const int result = poolOf(backend).storeValues(pairs, &error);
    return poolOutcome(result, error);
  });
}

KvPoolOutcome runBatch(KvPoolBackend* backend, const KvPoolOp* ops, uint64_t opCount,
                       int32_t missingIsEmpty, int32_t* failedOp, KvPoolSink* values) {
  return answerSlot("runBatch", [&] {
    if (const std::string problem = batchProblem(ops, opCount, failedOp); !problem.empty()) {
      Log("  >%s\n", problem.c_str());
      return poolOutcome(KVPOOL_POOL_UNAVAILABLE, problem);
    }
    std::vector<RemotePoolOp> batch;
    batch.reserve(opCount);
    for (uint64_t i = 0; i < opCount; ++i) {
      batch.push_back({static_cast<RemotePoolOp::Kind>(ops[i].kind), textOf(ops[i].key),
                       textOf(ops[i].value), ops[i].source});
    }
    const RemoteBatchReply reply = poolOf(backend).runBatch(batch, missingIsEmpty != 0);
    *failedOp = reply.failedOp;
    for (const std::string& value : reply.values) putText(values, value);
    return poolOutcome(reply.result, reply.error);
  });
}

KvPoolOutcome describe(KvPoolBackend* backend, const char* section, KvPoolSink* facts) {
  return answerSlot("describe", [&] {
    RedisPool& pool = poolOf(backend);
    if (section == nullptr) {
      putText(facts, pool.config().describe());
      return done(true, "");
    }
    std::string text, where, error;
    if (!pool.info(section, &text, &where, &error)) return done(false, error);
    putText(facts, where);
    putText(facts, text);
    return done(true, error);
  });
}

void close(KvPoolBackend* backend) {
  delete static_cast<RedisBackend*>(backend);
}

constexpr KvPoolBackendMethods kMethods = {kKvPoolBackendVersion,
                                           sizeof(KvPoolBackendMethods),
                                           get,
                                           store,
                                           remove,
                                           clear,
                                           listKeys,
                                           readMany,
                                           storeMany,
                                           runBatch,
                                           describe,
                                           close,
                                           nullptr,
                                           nullptr};

RedisEndpoint endpointOf(const KvPoolEndpoint& endpoint) {
  return {endpoint.host != nullptr ? endpoint.host : "", endpoint.port};
}

// The settings as the module's pool reads them.
BackendConfig configOf(const KvPoolRedisSettings& settings) {
  const auto text = [](const char* value) { return value != nullptr ? value : ""; };
  BackendConfig config;
  config.kind = settings.kind % 2 == 0 ? BackendConfig::Kind::kSentinel : BackendConfig::Kind::kRedis;
  config.server = endpointOf(settings.server);
  for (uint64_t i = 0; i < settings.sentinelCount; ++i) {
    config.sentinels.push_back(endpointOf(settings.sentinels[i]));
  }
  config.master = text(settings.master);
  config.user = text(settings.user);
  config.password = text(settings.password);
  config.prefix = textOf(settings.prefix);
  config.database = settings.database;
  config.timeoutMs = settings.timeoutMs;
  // Kinds 3 and 4 come only in a record of version 2 (redisSettingsProblem).
  config.tls.on = settings.kind > 2;
  if (config.tls.on) {
    config.tls.ca = text(settings.tlsCa);
    config.tls.serverName = text(settings.tlsServerName);
    config.tls.cert = text(settings.tlsCert);
    config.tls.key = text(settings.tlsKey);
    config.tls.verify = settings.tlsVerify != 0;
  }
  return config;
}

// A host or settings record this module cannot read: null with 5 and what
// is wrong with it.
KvPoolBackend* openBackend(const KvPoolRedisHost* host, const KvPoolRedisSettings* settings,
                           KvPoolOutcome* outcome) {
  std::string problem = redisHostProblem(host, "this module");
  if (problem.empty()) problem = redisSettingsProblem(settings, "this module");
  if (!problem.empty()) {
    *outcome = poolOutcome(KVPOOL_POOL_UNAVAILABLE, "refused " + problem);
    return nullptr;
  }
  setModuleHost(host);
  auto backend = std::make_unique<RedisBackend>(&kMethods, configOf(*settings));
  *outcome = poolOutcome(KVPOOL_OK);
  return backend.release();
}

}  // namespace
}  // namespace kvpool

extern "C" __attribute__((visibility("default"))) KvPoolBackend* kvpoolRedisOpen(
    const KvPoolRedisHost* host, const KvPoolRedisSettings* settings, KvPoolOutcome* outcome) {
  if (outcome == nullptr) return nullptr;  // no one to tell
  return kvpool::guardEntry([&] { return kvpool::openBackend(host, settings, outcome); },
                            [&](const char* reason) -> KvPoolBackend* {
                              *outcome = kvpool::failedStep("", "kvpoolRedisOpen", reason);
                              return nullptr;
                            });
}
