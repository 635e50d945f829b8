// The module's entry point, kvpoolRedisOpen: the pool's table
// (pool/PoolBackend.h) on a RedisPool, each call one RedisPool call, its
// error the outcome's reason.
#include <string>
#include <vector>

#include "pool/PoolBackend.h"
#include "redis/ModuleLog.h"
#include "redis/RedisPool.h"

namespace kvpool {

struct RedisBackend : KvPoolBackend {
  RedisBackend(const KvPoolBackendMethods* table, const BackendConfig& config)
      : KvPoolBackend{table}, pool(config) {}
  RedisPool pool;
};

namespace {

RedisPool& poolOf(KvPoolBackend* backend) {
  return static_cast<RedisBackend*>(backend)->pool;
}

std::string textOf(const KvPoolText& text) {
  return std::string(text.bytes, text.length);
}

std::vector<std::string> textsOf(const KvPoolText* texts, uint64_t count) {
  std::vector<std::string> out;
  out.reserve(count);
  for (uint64_t i = 0; i < count; ++i) out.push_back(textOf(texts[i]));
  return out;
}

void put(KvPoolSink* sink, const std::string& text, bool present = true) {
  if (sink != nullptr) sink->put(sink->context, text.data(), text.size(), present ? 1 : 0);
}

KvPoolOutcome done(bool ok, const std::string& error) {
  return ok ? poolOutcome(KVPOOL_OK) : poolOutcome(KVPOOL_POOL_UNAVAILABLE, error);
}

KvPoolOutcome get(KvPoolBackend* backend, KvPoolText key, KvPoolSink* sink) {
  RedisPool& pool = poolOf(backend);
  Log("-->getKvPoolDataBlock %s\n", pool.config().describe().c_str());
  std::string value, error;
  const int result = pool.get(textOf(key), &value, &error);
  if (result == KVPOOL_OK) put(sink, value);
  return poolOutcome(result, error);
}

KvPoolOutcome store(KvPoolBackend* backend, KvPoolText key, KvPoolText value) {
  RedisPool& pool = poolOf(backend);
  Log("-->storeKvPoolDataBlock %s\n", pool.config().describe().c_str());
  std::string error;
  const int result = pool.set(textOf(key), textOf(value), &error);
  return poolOutcome(result, error);
}

KvPoolOutcome remove(KvPoolBackend* backend, const KvPoolText* keys, uint64_t keyCount,
                     int64_t* removed) {
  long deleted = 0;
  std::string error;
  const bool ok = poolOf(backend).deleteKeys(textsOf(keys, keyCount), &deleted, &error);
  *removed = deleted;
  return done(ok, error);
}

KvPoolOutcome clear(KvPoolBackend* backend, int64_t* removed) {
  *removed = 0;
  std::vector<std::string> keys;
  std::string error;
  long deleted = 0;
  const bool ok =
      poolOf(backend).listKeys(&keys, &error) && poolOf(backend).deleteKeys(keys, &deleted, &error);
  *removed = deleted;
  return done(ok, error);
}

KvPoolOutcome listKeys(KvPoolBackend* backend, KvPoolSink* sink) {
  std::vector<std::string> keys;
  std::string error;
  if (!poolOf(backend).listKeys(&keys, &error)) return done(false, error);
  for (const std::string& key : keys) put(sink, key);
  return done(true, error);
}

KvPoolOutcome readMany(KvPoolBackend* backend, const KvPoolText* keys, uint64_t keyCount,
                       KvPoolSink* values, KvPoolSink* wrongType) {
  std::vector<std::optional<std::string>> read;
  std::vector<std::string> unreadable;
  std::string error;
  if (!poolOf(backend).readValues(textsOf(keys, keyCount), &read, &unreadable, &error)) {
    return done(false, error);
  }
  for (const auto& value : read) put(values, value.value_or(std::string()), value.has_value());
  for (const std::string& key : unreadable) put(wrongType, key);
  return done(true, error);
}

KvPoolOutcome storeMany(KvPoolBackend* backend, const KvPoolText* keys, const KvPoolText* values,
                        uint64_t pairCount) {
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(pairCount);
  for (uint64_t i = 0; i < pairCount; ++i) pairs.emplace_back(textOf(keys[i]), textOf(values[i]));
  std::string error;
  const int result = poolOf(backend).storeValues(pairs, &error);
  return poolOutcome(result, error);
}

KvPoolOutcome runBatch(KvPoolBackend* backend, const KvPoolOp* ops, uint64_t opCount,
                       int32_t missingIsEmpty, int32_t* failedOp, KvPoolSink* values) {
  std::vector<RemotePoolOp> batch;
  batch.reserve(opCount);
  for (uint64_t i = 0; i < opCount; ++i) {
    batch.push_back({static_cast<RemotePoolOp::Kind>(ops[i].kind), textOf(ops[i].key),
                     textOf(ops[i].value), ops[i].source});
  }
  const RemoteBatchReply reply = poolOf(backend).runBatch(batch, missingIsEmpty != 0);
  *failedOp = reply.failedOp;
  for (const std::string& value : reply.values) put(values, value);
  return poolOutcome(reply.result, reply.error);
}

KvPoolOutcome describe(KvPoolBackend* backend, const char* section, KvPoolSink* facts) {
  RedisPool& pool = poolOf(backend);
  if (section == nullptr) {
    put(facts, pool.config().describe());
    return done(true, "");
  }
  std::string text, where, error;
  if (!pool.info(section, &text, &where, &error)) return done(false, error);
  put(facts, where);
  put(facts, text);
  return done(true, error);
}

void close(KvPoolBackend* backend) {
  delete static_cast<RedisBackend*>(backend);
}

}  // namespace

constexpr KvPoolBackendMethods kMethods = {kKvPoolBackendVersion,
                                           0,
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

}  // namespace kvpool

namespace {

kvpool::RedisEndpoint endpointOf(const KvPoolEndpoint& endpoint) {
  return {endpoint.host != nullptr ? endpoint.host : "", endpoint.port};
}

}  // namespace

extern "C" __attribute__((visibility("default"))) KvPoolBackend* kvpoolRedisOpen(
    const KvPoolRedisHost* host, const KvPoolRedisSettings* settings, KvPoolOutcome* outcome) {
  using kvpool::BackendConfig;
  if (host == nullptr || settings == nullptr || host->version < 1 || settings->version < 1) {
    *outcome = kvpool::poolOutcome(KVPOOL_POOL_UNAVAILABLE, "libKvPoolRedis.so: unknown caller");
    return nullptr;
  }
  kvpool::setModuleHost(host);
  BackendConfig config;
  config.kind = settings->kind == 2 ? BackendConfig::Kind::kSentinel : BackendConfig::Kind::kRedis;
  config.server = endpointOf(settings->server);
  for (uint64_t i = 0; i < settings->sentinelCount; ++i) {
    config.sentinels.push_back(endpointOf(settings->sentinels[i]));
  }
  config.master = settings->master != nullptr ? settings->master : "";
  config.user = settings->user != nullptr ? settings->user : "";
  config.password = settings->password != nullptr ? settings->password : "";
  config.prefix.assign(settings->prefix.bytes, settings->prefix.length);
  config.database = settings->database;
  config.timeoutMs = settings->timeoutMs;
  *outcome = kvpool::poolOutcome(KVPOOL_OK);
  return new kvpool::RedisBackend(&kvpool::kMethods, config);
}
