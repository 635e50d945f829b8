// The tools' and the snapshots' access to the pool on Redis: a bounded scan
// of the pool's keys (the prefix followed by KvPool, nothing else of the
// database), and reads, stores and deletes of many keys.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "redis/RedisExchange.h"
#include "redis/RedisPool.h"

namespace kvpool {
namespace {

constexpr std::size_t kPipelineChunk = 1000;

// A whole scan takes at most kScanSteps round trips, each asking the server
// to look at enough of the database (DBSIZE) for the steps to cover it four
// times over, and no step starts after kScanTimeouts times the timeout: a
// cursor that never comes back to 0 ends it with 5. It collects at most
// what the largest snapshot could hold.
constexpr long kScanSteps = 1024;
constexpr int kScanTimeouts = 64;
constexpr long kScanLeastCount = 1000;
constexpr std::size_t kScanMostKeys = kToolBounds.elements;

// A load's transaction may take longer than one step: the timeout, and 1 ms
// per 2,000 bytes sent (a slow link) and per 50 stores (a busy server).
constexpr std::size_t kLoadBytesPerMs = 2000;
constexpr std::size_t kLoadStoresPerMs = 50;

// SCAN's MATCH pattern for the keys that start so: glob characters escaped.
std::string startPattern(const std::string& start) {
  std::string pattern;
  for (char c : start) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "*";
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

bool isDecimal(const redisReply* reply) {
  const std::string_view text = replyText(reply);
  return reply->type == REDIS_REPLY_STRING && !text.empty() && text.size() <= 20 &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

// SCAN's answer: a cursor in decimal and an array of keys.
bool scanAnswerSound(const redisReply* reply) {
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 || !isDecimal(reply->element[0]) ||
      reply->element[1]->type != REDIS_REPLY_ARRAY) {
    return false;
  }
  const redisReply* keys = reply->element[1];
  for (std::size_t i = 0; i < keys->elements; ++i) {
    if (keys->element[i]->type != REDIS_REPLY_STRING) return false;
  }
  return true;
}

// How the server answered a load's MULTI, SETs and EXEC: 0, 8 when it refused
// for memory (nothing stored), else 5 with *why; every answer is read.
Outcome readTransaction(const BackendConfig& config, const std::vector<Reply>& replies,
                        std::size_t stores, int* result, std::string* why) {
  const auto failed = [&](int code, std::string text) {
    *result = code;
    if (code == KVPOOL_POOL_FULL) return Outcome::kDone;
    const bool refused = refusesService(text);
    *why = config.describe() + ": " + std::move(text);
    return refused ? Outcome::kRefused : Outcome::kDone;
  };
  // An error before EXEC discards the transaction; EXECABORT repeats it.
  for (std::size_t i = 0; i + 1 < replies.size(); ++i) {
    const std::string_view text = replyText(replies[i].get());
    if (isError(replies[i].get())) {
      return failed(startsWith(text, "OOM") ? KVPOOL_POOL_FULL : KVPOOL_POOL_UNAVAILABLE,
                    std::string(i == 0 ? "MULTI" : "SET") + " refused: " + std::string(text));
    }
  }
  const redisReply* exec = replies.back().get();
  const std::string_view text = replyText(exec);
  if (isError(exec)) {
    const bool memory = startsWith(text, "OOM") ||
                        (startsWith(text, "EXECABORT") && text.find("OOM") != std::string::npos);
    return failed(memory ? KVPOOL_POOL_FULL : KVPOOL_POOL_UNAVAILABLE,
                  "EXEC refused, nothing stored: " + std::string(text));
  }
  if (exec->type == REDIS_REPLY_NIL) {
    return failed(KVPOOL_POOL_UNAVAILABLE, "EXEC answered nil: the transaction was discarded");
  }
  if (exec->type != REDIS_REPLY_ARRAY || exec->elements != stores) {
    return failed(KVPOOL_POOL_UNAVAILABLE, "EXEC: unexpected answer, the stores are unknown");
  }
  std::size_t refused = 0;
  std::string first;
  for (std::size_t i = 0; i < exec->elements; ++i) {
    if (!isError(exec->element[i])) continue;
    if (refused++ == 0) first = std::string(replyText(exec->element[i]));
  }
  if (refused == 0) return Outcome::kDone;
  return failed(KVPOOL_POOL_UNAVAILABLE,
                "EXEC: the server refused " + decimalText(static_cast<long>(refused)) + " of " +
                    decimalText(static_cast<long>(stores)) +
                    " stores and made the others (first refusal: " + first + ")");
}

}  // namespace

bool RedisPool::listKeys(std::vector<std::string>* keys, std::string* note, std::string* error) {
  const std::string start = config_.prefix + std::string(kPoolKeyPrefix);
  const std::string pattern = startPattern(start);
  long outside = 0;
  const bool ok = exchange(
      [&](Connection& connection, std::string* why) {
        keys->clear();
        outside = 0;
        Reply size = single(connection, {"DBSIZE"}, config_.timeoutMs);
        if (size == nullptr) return Outcome::kLost;
        if (size->type != REDIS_REPLY_INTEGER || size->integer < 0) {
          return unexpectedAnswer(config_, "DBSIZE", size.get(), why);
        }
        const long long share = std::min<long long>(size->integer, 1LL << 40) * 4 / kScanSteps;
        const std::string count = decimalText(std::max<long>(kScanLeastCount, share + 1));
        std::string cursor = "0";
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(int64_t{config_.timeoutMs} * kScanTimeouts);
        for (long step = 0; step < kScanSteps && std::chrono::steady_clock::now() < deadline;
             ++step) {
          Reply reply = single(connection, {"SCAN", cursor, "MATCH", pattern, "COUNT", count},
                               config_.timeoutMs);
          if (reply == nullptr) return Outcome::kLost;
          if (!scanAnswerSound(reply.get()))
            return unexpectedAnswer(config_, "SCAN", reply.get(), why);
          const redisReply* batch = reply->element[1];
          for (std::size_t i = 0; i < batch->elements; ++i) {
            const std::string_view key = replyText(batch->element[i]);
            // MATCH keeps the others out; a server that names them anyway
            // does not put them into the pool.
            if (!startsWith(key, start)) {
              ++outside;
              continue;
            }
            keys->emplace_back(key.substr(config_.prefix.size()));
          }
          if (keys->size() > kScanMostKeys) {
            *why = config_.describe() + ": more than " +
                   decimalText(static_cast<long>(kScanMostKeys)) + " keys start with \"" + start +
                   "\", more than any pool holds: scan given up";
            return Outcome::kRefused;
          }
          cursor = std::string(replyText(reply->element[0]));
          if (cursor == "0") return Outcome::kDone;
        }
        *why = config_.describe() + ": SCAN did not end within " + decimalText(kScanSteps) +
               " steps or " + decimalText(long{config_.timeoutMs} * kScanTimeouts) +
               " ms (its cursor never came back to 0): scan given up";
        return Outcome::kRefused;
      },
      error);
  if (!ok) return false;
  note->clear();
  if (outside > 0) {
    *note = config_.describe() + ": SCAN named " + decimalText(outside) +
            (outside == 1 ? " key" : " keys") + " not starting with \"" + start + "\": left out";
    Log("  >redis: %s\n", note->c_str());
  }
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
  for (const auto& pair : pairs) {
    if (!poolKeyNamed(pair.first)) {
      *error = config_.describe() + ": key \"" + pair.first +
               "\" is no pool key: on Redis the pool's keys start with KvPool; nothing stored";
      return KVPOOL_KEY_REFUSED;
    }
  }
  int result = KVPOOL_OK;
  const bool ok = exchange(
      [&](Connection& connection, std::string* why) {
        result = KVPOOL_OK;
        std::vector<std::string> fullKeys;
        fullKeys.reserve(pairs.size());
        std::vector<Command> commands = {{"MULTI"}};
        std::size_t bytes = 0;
        for (const auto& [key, value] : pairs) {
          fullKeys.push_back(config_.prefix + key);
          commands.push_back({"SET", fullKeys.back(), value});
          bytes += fullKeys.back().size() + value.size() + 32;
        }
        commands.push_back({"EXEC"});
        const auto stepMs = static_cast<int>(
            std::min<std::size_t>(static_cast<std::size_t>(config_.timeoutMs) +
                                      bytes / kLoadBytesPerMs + pairs.size() / kLoadStoresPerMs,
                                  INT32_MAX));
        std::vector<Reply> replies;
        if (!pipeline(connection, commands, stepMs, kToolBounds, &replies))
          return Outcome::kLost;
        return readTransaction(config_, replies, pairs.size(), &result, why);
      },
      error, Request::kRepeatable);
  return ok ? result : KVPOOL_POOL_UNAVAILABLE;
}

bool RedisPool::deleteKeys(const std::vector<std::string>& keys, long* deleted,
                           std::string* error) {
  // Only the pool's keys: another application's key of the same name
  // without KvPool is not the pool's to delete.
  std::vector<std::string> poolKeys;
  for (const std::string& key : keys) {
    if (poolKeyNamed(key)) poolKeys.push_back(key);
  }
  *deleted = 0;
  return exchange(
      [&](Connection& connection, std::string* why) {
        *deleted = 0;
        for (std::size_t start = 0; start < poolKeys.size(); start += kPipelineChunk) {
          const std::vector<std::string> fullKeys = chunkKeys(config_.prefix, poolKeys, start);
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

}  // namespace kvpool
