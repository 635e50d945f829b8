// The module's entry point, kvpoolRedisOpen: the pool's table
// (pool/PoolBackend.h) on a RedisPool, each call one RedisPool call, its
// error the outcome's reason; the pool's single gets and stores (the tools'
// calls on many keys: RedisToolAccess.cpp); the module's trace.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "redis/RedisExchange.h"
#include "redis/RedisPool.h"

namespace kvpool {
namespace {

std::atomic<const KvPoolRedisHost*> moduleHost{nullptr};

// An error answer to a message's or a tool's store or read: 8 for a store
// refused for memory (when oomIsFull), else 5 with *why.
Outcome errorAnswer(const BackendConfig& config, std::string_view text, bool oomIsFull, int* result,
                    std::string* why) {
  if (oomIsFull && startsWith(text, "OOM")) {
    *result = KVPOOL_POOL_FULL;
    return Outcome::kDone;
  }
  *why = config.describe() + ": " + std::string(text);
  *result = KVPOOL_POOL_UNAVAILABLE;
  return refusesService(text) ? Outcome::kRefused : Outcome::kDone;
}

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

int RedisPool::oneKey(const Command& command, std::string* value, std::string* error) {
  int result = KVPOOL_OK;
  const bool ok = exchange(
      [&](Connection& connection, std::string* why) {
        Reply reply = single(connection.get(), command, config_.timeoutMs,
                             messageBounds(value != nullptr ? 1 : 0));
        if (reply == nullptr) return Outcome::kLost;
        if (isError(reply.get())) {
          return errorAnswer(config_, replyText(reply.get()), value == nullptr, &result, why);
        }
        if (value != nullptr && reply->type == REDIS_REPLY_NIL) {
          result = KVPOOL_KEY_NOT_FOUND;
        } else if (value != nullptr) {
          *value = std::string(replyText(reply.get()));
        }
        return Outcome::kDone;
      },
      error);
  return ok ? result : KVPOOL_POOL_UNAVAILABLE;
}

// A key that does not start with KvPool is not the pool's on Redis: another
// application's, or a pool's under a longer prefix.
int RedisPool::get(const std::string& key, std::string* value, std::string* error) {
  if (!poolKeyNamed(key)) return KVPOOL_KEY_NOT_FOUND;
  const std::string fullKey = config_.prefix + key;
  return oneKey({"GET", fullKey}, value, error);
}

int RedisPool::set(const std::string& key, const std::string& value, std::string* error) {
  if (!poolKeyNamed(key)) {
    *error = config_.describe() + ": key \"" + key +
             "\" is no pool key: on Redis the pool's keys start with KvPool; nothing stored";
    Log("  >redis: %s\n", error->c_str());
    return KVPOOL_KEY_REFUSED;
  }
  const std::string fullKey = config_.prefix + key;
  return oneKey({"SET", fullKey, value}, nullptr, error);
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

KvPoolOutcome get(KvPoolBackend* backend, KvPoolText key, KvPoolSink* sink) {
  RedisPool& pool = poolOf(backend);
  Log("-->getKvPoolDataBlock %s\n", pool.config().describe().c_str());
  std::string value, error;
  const int result = pool.get(textOf(key), &value, &error);
  if (result == KVPOOL_OK) putText(sink, value);
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
  std::vector<std::string> keys;
  std::string error;
  long deleted = 0;
  std::string note;
  const bool ok = poolOf(backend).listKeys(&keys, &note, &error) &&
                  poolOf(backend).deleteKeys(keys, &deleted, &error);
  *removed = deleted;
  return done(ok, error);
}

KvPoolOutcome listKeys(KvPoolBackend* backend, KvPoolSink* sink) {
  std::vector<std::string> keys;
  std::string note, error;
  if (!poolOf(backend).listKeys(&keys, &note, &error)) return done(false, error);
  for (const std::string& key : keys) putText(sink, key);
  return poolOutcome(KVPOOL_OK, note);
}

KvPoolOutcome readMany(KvPoolBackend* backend, const KvPoolText* keys, uint64_t keyCount,
                       KvPoolSink* values, KvPoolSink* wrongType) {
  std::vector<std::optional<std::string>> read;
  std::vector<std::string> unreadable;
  std::string error;
  if (!poolOf(backend).readValues(textsOf(keys, keyCount), &read, &unreadable, &error)) {
    return done(false, error);
  }
  for (const auto& value : read) putText(values, value.value_or(""), value.has_value());
  for (const std::string& key : unreadable) putText(wrongType, key);
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
  for (const std::string& value : reply.values) putText(values, value);
  return poolOutcome(reply.result, reply.error);
}

KvPoolOutcome describe(KvPoolBackend* backend, const char* section, KvPoolSink* facts) {
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
}

void close(KvPoolBackend* backend) {
  delete static_cast<RedisBackend*>(backend);
}

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

RedisEndpoint endpointOf(const KvPoolEndpoint& endpoint) {
  return {endpoint.host != nullptr ? endpoint.host : "", endpoint.port};
}

}  // namespace
}  // namespace kvpool

extern "C" __attribute__((visibility("default"))) KvPoolBackend* kvpoolRedisOpen(
    const KvPoolRedisHost* host, const KvPoolRedisSettings* settings, KvPoolOutcome* outcome) {
  using kvpool::BackendConfig;
  if (host == nullptr || settings == nullptr || host->version < 1 || settings->version < 1) {
    *outcome = kvpool::poolOutcome(KVPOOL_POOL_UNAVAILABLE, "libKvPoolRedis.so: unknown caller");
    return nullptr;
  }
  kvpool::setModuleHost(host);
  const auto text = [](const char* value) { return value != nullptr ? value : ""; };
  BackendConfig config;
  config.kind = settings->kind == 2 ? BackendConfig::Kind::kSentinel : BackendConfig::Kind::kRedis;
  config.server = kvpool::endpointOf(settings->server);
  for (uint64_t i = 0; i < settings->sentinelCount; ++i) {
    config.sentinels.push_back(kvpool::endpointOf(settings->sentinels[i]));
  }
  config.master = text(settings->master);
  config.user = text(settings->user);
  config.password = text(settings->password);
  config.prefix = kvpool::textOf(settings->prefix);
  config.database = settings->database;
  config.timeoutMs = settings->timeoutMs;
  *outcome = kvpool::poolOutcome(KVPOOL_OK);
  return new kvpool::RedisBackend(&kvpool::kMethods, config);
}
