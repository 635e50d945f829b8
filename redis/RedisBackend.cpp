// The module's entry point, kvpoolRedisOpen: the pool's table
// (pool/PoolBackend.h) on a RedisPool, each call one RedisPool call, its
// error the outcome's reason; the pool's single gets and stores and the
// tools' scans, reads, stores and deletes of many keys; the module's trace.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pool/PoolBackend.h"
#include "redis/RedisExchange.h"
#include "redis/RedisPool.h"
#include "support/EntryGuard.h"

namespace kvpool {
namespace {

std::atomic<const KvPoolRedisHost*> moduleHost{nullptr};

constexpr int kScanCount = 1000;
constexpr std::size_t kPipelineChunk = 1000;

// SCAN's MATCH pattern for the keys under prefix: glob characters escaped.
std::string prefixPattern(const std::string& prefix) {
  std::string pattern;
  for (char c : prefix) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "*";
}

// An error answer to a tool's stores: 8 for a store refused for memory,
// else 5 with *why.
Outcome errorAnswer(const BackendConfig& config, std::string_view text, int* result,
                    std::string* why) {
  if (startsWith(text, "OOM")) {
    *result = KVPOOL_POOL_FULL;
    return Outcome::kDone;
  }
  *why = config.describe() + ": " + std::string(text);
  *result = KVPOOL_POOL_UNAVAILABLE;
  return refusesService(text) ? Outcome::kRefused : Outcome::kDone;
}

// A tool's step answered with an error or an answer of another shape.
Outcome unexpectedAnswer(const BackendConfig& config, const char* step, const redisReply* reply,
                         std::string* why) {
  *why = config.describe() + ": " + step + ": " +
         (isError(reply) ? std::string(replyText(reply)) : "unexpected answer");
  return Outcome::kRefused;
}

// The prefixed keys of keys[start, start + kPipelineChunk).
std::vector<std::string> chunkKeys(const std::string& prefix, const std::vector<std::string>& keys,
                                   std::size_t start) {
  std::vector<std::string> full;
  for (std::size_t i = start; i < std::min(keys.size(), start + kPipelineChunk); ++i) {
    full.push_back(prefix + keys[i]);
  }
  return full;
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

int RedisPool::get(const std::string& key, std::string* value, std::string* error) {
  RemoteBatchReply reply = runBatch({{RemotePoolOp::Kind::kGet, key, {}, -1}}, false);
  if (reply.result == KVPOOL_OK) *value = std::move(reply.values.front());
  *error = std::move(reply.error);
  return reply.result;
}

int RedisPool::set(const std::string& key, const std::string& value, std::string* error) {
  RemoteBatchReply reply = runBatch({{RemotePoolOp::Kind::kSet, key, value, -1}}, false);
  *error = std::move(reply.error);
  return reply.result;
}

bool RedisPool::listKeys(std::vector<std::string>* keys, std::string* error) {
  const std::string pattern = prefixPattern(config_.prefix);
  const std::string count = decimalText(kScanCount);
  keys->clear();
  const bool ok = exchange(
      [&](Connection& connection, std::string* why) {
        keys->clear();
        std::string cursor = "0";
        do {
          Reply reply = single(connection, {"SCAN", cursor, "MATCH", pattern, "COUNT", count},
                               config_.timeoutMs);
          if (reply == nullptr) return Outcome::kLost;
          if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) {
            return unexpectedAnswer(config_, "SCAN", reply.get(), why);
          }
          cursor = std::string(replyText(reply->element[0]));
          const redisReply* batch = reply->element[1];
          for (std::size_t i = 0; i < batch->elements; ++i) {
            keys->emplace_back(replyText(batch->element[i]).substr(config_.prefix.size()));
          }
        } while (cursor != "0");
        return Outcome::kDone;
      },
      error);
  if (!ok) return false;
  // SCAN may name a key twice when the table grows meanwhile. (On the
  // elements: the vector's iterators would bring their comparison's shared
  // helper into the plug-in's exported names.)
  std::string* first = keys->data();
  std::sort(first, first + keys->size());
  keys->resize(static_cast<std::size_t>(std::unique(first, first + keys->size()) - first));
  return true;
}

bool RedisPool::readValues(const std::vector<std::string>& keys,
                           std::vector<std::optional<std::string>>* values,
                           std::vector<std::string>* wrongType, std::string* error) {
  return exchange(
      [&](Connection& connection, std::string* why) {
        values->clear();
        if (wrongType != nullptr) wrongType->clear();
        for (std::size_t start = 0; start < keys.size(); start += kPipelineChunk) {
          const std::vector<std::string> fullKeys = chunkKeys(config_.prefix, keys, start);
          std::vector<Command> commands;
          for (const std::string& key : fullKeys) commands.push_back({"GET", key});
          std::vector<Reply> replies;
          if (!pipeline(connection, commands, config_.timeoutMs, kToolBounds, &replies))
            return Outcome::kLost;
          for (std::size_t i = 0; i < replies.size(); ++i) {
            const redisReply* reply = replies[i].get();
            if (reply->type == REDIS_REPLY_STRING) {
              values->emplace_back(std::string(replyText(reply)));
              continue;
            }
            // Only a string is a value and nil none; an answer of another
            // kind comes from a server not to be trusted further.
            const bool notString = isError(reply) && startsWith(replyText(reply), "WRONGTYPE");
            if (reply->type != REDIS_REPLY_NIL && !notString) {
              *why = config_.describe() + ": " + keys[start + i] +
                     ": unexpected answer to GET: " + describeReply(reply);
              return Outcome::kRefused;
            }
            values->emplace_back();
            if (notString && wrongType != nullptr) wrongType->push_back(keys[start + i]);
          }
        }
        return Outcome::kDone;
      },
      error);
}

int RedisPool::storeValues(const std::vector<std::pair<std::string, std::string>>& pairs,
                           std::string* error) {
  int result = KVPOOL_OK;
  const bool ok = exchange(
      [&](Connection& connection, std::string* why) {
        std::vector<std::string> fullKeys;
        fullKeys.reserve(pairs.size());
        std::vector<Command> commands = {{"MULTI"}};
        for (const auto& [key, value] : pairs) {
          fullKeys.push_back(config_.prefix + key);
          commands.push_back({"SET", fullKeys.back(), value});
        }
        commands.push_back({"EXEC"});
        std::vector<Reply> replies;
        if (!pipeline(connection, commands, config_.timeoutMs, kToolBounds, &replies))
          return Outcome::kLost;
        for (const Reply& reply : replies) {
          const std::string_view text = replyText(reply.get());
          if (isError(reply.get()) && !startsWith(text, "EXECABORT")) {
            return errorAnswer(config_, text, &result, why);
          }
        }
        return Outcome::kDone;
      },
      error, Request::kRepeatable);
  return ok ? result : KVPOOL_POOL_UNAVAILABLE;
}

bool RedisPool::deleteKeys(const std::vector<std::string>& keys, long* deleted,
                           std::string* error) {
  *deleted = 0;
  return exchange(
      [&](Connection& connection, std::string* why) {
        *deleted = 0;
        for (std::size_t start = 0; start < keys.size(); start += kPipelineChunk) {
          const std::vector<std::string> fullKeys = chunkKeys(config_.prefix, keys, start);
          Command command = {"DEL"};
          for (const std::string& key : fullKeys) command.push_back(key);
          Reply reply = single(connection, command, config_.timeoutMs);
          if (reply == nullptr) return Outcome::kLost;
          if (reply->type != REDIS_REPLY_INTEGER) {
            return unexpectedAnswer(config_, "DEL", reply.get(), why);
          }
          *deleted += static_cast<long>(reply->integer);
        }
        return Outcome::kDone;
      },
      error, Request::kOnce);
}

bool RedisPool::info(const std::string& section, std::string* text, std::string* where,
                     std::string* error) {
  return exchange(
      [&](Connection& connection, std::string* why) {
        Reply reply = single(connection, {"INFO", section}, config_.timeoutMs);
        if (reply == nullptr) return Outcome::kLost;
        if (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_STATUS) {
          return unexpectedAnswer(config_, "INFO", reply.get(), why);
        }
        *text = std::string(replyText(reply.get()));
        *where = connection.where();
        return Outcome::kDone;
      },
      error);
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
    const bool ok = poolOf(backend).listKeys(&keys, &error) &&
                    poolOf(backend).deleteKeys(keys, &deleted, &error);
    *removed = deleted;
    return done(ok, error);
  });
}

KvPoolOutcome listKeys(KvPoolBackend* backend, KvPoolSink* sink) {
  return answerSlot("listKeys", [&] {
    std::vector<std::string> keys;
    std::string error;
    if (!poolOf(backend).listKeys(&keys, &error)) return done(false, error);
    for (const std::string& key : keys) putText(sink, key);
    return done(true, error);
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
  config.kind = settings.kind == 2 ? BackendConfig::Kind::kSentinel : BackendConfig::Kind::kRedis;
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
