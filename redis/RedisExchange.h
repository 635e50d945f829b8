// The Redis module's own pieces shared by its files: its trace, the
// connection, one bounded round trip, how an exchange on it ended, the
// helpers on replies, and RedisPool::exchange.
#ifndef KVPOOL_REDIS_REDISEXCHANGE_H
#define KVPOOL_REDIS_REDISEXCHANGE_H

#include <errno.h>
#include <hiredis/hiredis.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pool/PoolRecords.h"
#include "redis/RedisPool.h"

namespace kvpool {

// The module's trace: each line goes to the plug-in's trace through the host
// table handed to kvpoolRedisOpen (the module cannot link back to the
// plug-in). Before any open, or in a program that links the module's objects
// alone, lines go nowhere.
void setModuleHost(const KvPoolRedisHost* host);
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The message batch's server-side script (RedisBatch.cpp), loaded with
// every new connection.
extern const char kBatchScript[];

struct ContextFree {
  void operator()(redisContext* context) const noexcept { redisFree(context); }
};
using Context = std::unique_ptr<redisContext, ContextFree>;
struct ReplyFree {
  void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

// A command as its arguments; the views must outlive the call.
using Command = std::vector<std::string_view>;

// What the replies of one round trip may hold: the longest string, the
// most elements of one array and of all arrays together, and all bytes.
struct ReplyBounds {
  std::size_t stringBytes;
  std::size_t elements;
  std::size_t totalBytes;
};

// Sends the commands together and reads one reply each against one
// monotonic deadline for the whole step (a socket timeout alone bounds each
// read, so a server that trickles its answer would hold a caller forever). A
// reply that announces more than the bounds allow is refused once its length
// is read, before its bytes are. False when the connection failed, the time
// ran out (the context's errstr is strerror(ETIMEDOUT)) or a reply broke the
// bounds (REDIS_ERR_PROTOCOL); the connection is not to be used again.
bool pipeline(redisContext* context, const std::vector<Command>& commands, int timeoutMs,
              const ReplyBounds& bounds, std::vector<Reply>* replies);

inline bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

inline std::string_view replyText(const redisReply* reply) {
  return {reply->str != nullptr ? reply->str : "", static_cast<std::size_t>(reply->len)};
}

inline bool isError(const redisReply* reply) {
  return reply->type == REDIS_REPLY_ERROR;
}

// A server that answers so is not to be used again: a replica since a
// fail-over, still loading, cut off from its master, or asking for a
// password that changed.
inline bool refusesService(std::string_view error) {
  for (std::string_view code : {"READONLY", "LOADING", "MASTERDOWN", "NOAUTH", "WRONGPASS"}) {
    if (startsWith(error, code)) return true;
  }
  return false;
}

// What went wrong on a context; a wait that ran out says so in plain words.
inline std::string contextError(const redisContext* context, int timeoutMs,
                                bool* timedOut = nullptr) {
  const std::string text = context->errstr;
  const bool late = context->err == REDIS_ERR_IO &&
                    (text == std::strerror(EAGAIN) || text == std::strerror(ETIMEDOUT));
  if (timedOut != nullptr) *timedOut = late;
  if (late) return "no answer within " + decimalText(timeoutMs) + " ms";
  if (context->err == REDIS_ERR_EOF) return "the server closed the connection";
  return text.empty() ? std::string("connection failed") : text;
}

// What a message's step may be answered: values a pool record can hold.
inline ReplyBounds messageBounds(std::size_t values) {
  constexpr std::size_t kValueBytes =
      kRemoteSnapshotCapacity - kPoolHeaderBytes - kSmallestRecordBytes;
  return {kValueBytes, values + 2, (values + 1) * (kValueBytes + 64)};
}

// The tools' and the setup's steps: at most what the largest snapshot holds.
constexpr ReplyBounds kToolBounds = {kRemoteSnapshotCapacity,
                                     kRemoteSnapshotCapacity / kSmallestRecordBytes,
                                     2 * std::size_t{kRemoteSnapshotCapacity}};

inline Reply single(redisContext* context, const Command& command, int timeoutMs,
                    const ReplyBounds& bounds = kToolBounds) {
  std::vector<Reply> replies;
  if (!pipeline(context, {command}, timeoutMs, bounds, &replies)) return nullptr;
  return std::move(replies.front());
}

class RedisPool::Connection {
 public:
  Connection(Context context, std::string where) : context_(std::move(context)), where_(where) {}
  redisContext* get() const { return context_.get(); }
  const std::string& where() const { return where_; }
  // A kept connection may have died since it was last used.
  bool kept = false;

 private:
  Context context_;
  std::string where_;  // host:port of the server it reached
};

// How one exchange on a connection ended.
enum class Outcome {
  kDone,     // answered; the connection is kept
  kLost,     // the connection failed (its context tells why)
  kRefused,  // the server answered that it is not to be used; *error is set
};

template <typename Exchange>
bool RedisPool::exchange(Exchange&& run, std::string* error) {
  for (int attempt = 0;; ++attempt) {
    std::unique_ptr<Connection> connection = acquire(error);
    if (connection == nullptr) {
      Log("  >redis: %s\n", error->c_str());
      return false;
    }
    // What an attempt on a dead kept connection left is not the answer.
    error->clear();
    const Outcome outcome = run(*connection, error);
    if (outcome == Outcome::kDone) {
      release(std::move(connection));
      return true;
    }
    if (outcome == Outcome::kRefused) {
      Log("  >redis: %s\n", error->c_str());
      return false;
    }
    bool timedOut = false;
    const std::string why = contextError(connection->get(), config_.timeoutMs, &timedOut);
    const std::string where = config_.kind == BackendConfig::Kind::kSentinel
                                  ? "master " + connection->where() + ": "
                                  : "";
    *error = config_.describe() + ": " + where + why;
    Log("  >redis: %s\n", error->c_str());
    // A kept connection that died with the server's restart is replaced
    // once; a wait that ran out or an answer refused is not repeated, so no
    // call waits or reads twice.
    const bool refused = connection->get()->err == REDIS_ERR_PROTOCOL;
    if (!connection->kept || timedOut || refused || attempt > 0) return false;
  }
}

}  // namespace kvpool

#endif
