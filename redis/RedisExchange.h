// The Redis module's own pieces shared by its files: its trace, the
// connection with the one place that writes its bytes and the one that
// reads them, one bounded round trip, how an exchange on it ended, the
// helpers on replies, and RedisPool::exchange.
#ifndef KVPOOL_REDIS_REDISEXCHANGE_H
#define KVPOOL_REDIS_REDISEXCHANGE_H

#include <errno.h>
#include <hiredis/hiredis.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pool/PoolRecords.h"
#include "redis/RedisPool.h"
#include "redis/RedisTls.h"

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

class ReplyScanner;

// A connection to a server: hiredis connects it and parses its replies; its
// bytes go out through write and come in through readNow alone, through
// the TLS session when it has one. Neither raises SIGPIPE: a write to a
// connection the server closed fails with EPIPE.
class RedisConnection {
 public:
  RedisConnection(Context context, std::string where, std::unique_ptr<TlsSession> tls = nullptr)
      : context_(std::move(context)), tls_(std::move(tls)), where_(std::move(where)) {}
  redisContext* context() const { return context_.get(); }
  bool tls() const { return tls_ != nullptr; }
  // Why the TLS session failed, or "".
  std::string tlsFailure() const { return tls_ != nullptr ? tls_->failure() : ""; }
  // host:port of the server it reached.
  const std::string& where() const { return where_; }
  // Every byte or false (the context's err and errstr say why).
  bool write(std::string_view bytes, Clock::time_point deadline);
  // What the server sent so far, fed to the reader; waits at most until
  // the deadline.
  bool receive(Clock::time_point deadline, ReplyScanner* scanner);
  // The bytes the connection holds now, without waiting: their count, 0 at
  // the server's end, -1 with errno. The one place that reads.
  long readNow(char* bytes, std::size_t size);
  // Bytes written since the connection was made: a request of which any
  // went out may have run.
  std::uint64_t written() const { return written_; }
  // Bytes the server sent since the connection was made.
  std::uint64_t received() const { return received_; }
  // Bytes that came beyond what was read into a reply: in the reader, or
  // inside the TLS session.
  bool holdsUnread() const;
  // Fit to carry the next request: nothing unread, and the socket, asked
  // without waiting, neither closed by the server nor holding bytes no
  // request asked for (under TLS, records that carry no data are taken in).
  bool clean();
  // A kept connection may have died since it was last used.
  bool kept = false;
  // The master's generation it was made in (RedisPool::MasterWatch).
  unsigned generation = 0;

 private:
  Context context_;
  std::unique_ptr<TlsSession> tls_;  // freed before the context closes the socket
  std::string where_;
  std::uint64_t written_ = 0;
  std::uint64_t received_ = 0;
  short wants_ = POLLIN;  // what the next read waits for (TLS may need to write first)
  bool starved_ = false;  // the session's last read wanted more bytes from the socket
};

// Sends the commands together and reads one reply each against one
// monotonic deadline for the whole step (a socket timeout alone bounds each
// read, so a server that trickles its answer would hold a caller forever). A
// reply that announces more than the bounds allow is refused once its length
// is read, before its bytes are. False when the connection failed (a server
// that answered with an error before it closed is quoted), the time ran out
// (the context's errstr is strerror(ETIMEDOUT)) or a reply broke the bounds
// (REDIS_ERR_PROTOCOL); the connection is not to be used again. *replies
// holds the replies read before a failure.
bool pipeline(RedisConnection& connection, const std::vector<Command>& commands, int timeoutMs,
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

// A reply where a value belongs: only a string is one, nil is none; any
// other is named in words for the reason ("status OK", "integer 42").
std::string describeReply(const redisReply* reply);

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

// What a message's step may be answered: values a pool record can hold;
// with a master's ROLE beside them (RedisMaster.cpp), one of up to 64
// replicas too.
inline ReplyBounds messageBounds(std::size_t values, bool withRole = false) {
  constexpr std::size_t kValueBytes =
      kRemoteSnapshotCapacity - kPoolHeaderBytes - kSmallestRecordBytes;
  const std::size_t roleElements = withRole ? 4 + 4 * 64 : 0;
  return {kValueBytes, values + 2 + roleElements,
          (values + 1) * (kValueBytes + 64) + roleElements * 64};
}

// The tools' and the setup's steps: at most what the largest snapshot holds.
constexpr ReplyBounds kToolBounds = {kRemoteSnapshotCapacity,
                                     kRemoteSnapshotCapacity / kSmallestRecordBytes,
                                     2 * std::size_t{kRemoteSnapshotCapacity}};

inline Reply single(RedisConnection& connection, const Command& command, int timeoutMs,
                    const ReplyBounds& bounds = kToolBounds) {
  std::vector<Reply> replies;
  if (!pipeline(connection, {command}, timeoutMs, bounds, &replies)) return nullptr;
  return std::move(replies.front());
}

// A TCP connection with the pool's timeout on connecting and, with tls, a
// TLS session on it (the handshake one more step); null with the reason in
// *error.
std::unique_ptr<RedisConnection> connectTo(const RedisEndpoint& endpoint, int timeoutMs,
                                           const TlsContext* tls, std::string* error);

// What went wrong on a new connection to server, as contextError says it;
// when a connection without TLS was cut before the server said anything, the
// server is asked whether it speaks TLS, and the reason says so.
std::string sessionError(RedisConnection& connection, const RedisEndpoint& server,
                         int timeoutMs);

// How one exchange on a connection ended.
enum class Outcome {
  kDone,     // answered; the connection is kept
  kLost,     // the connection failed (its context tells why)
  kRefused,  // the server answered that it is not to be used, or in a way
             // that cannot be trusted; *error is set
};

// The words that tell a caller that a request went out and no answer came.
inline constexpr char kOutcomeUnknown[] =
    "; outcome unknown: the request went out, its stores may have run";

template <typename Exchange>
bool RedisPool::exchange(Exchange&& run, std::string* error, Request request) {
  bool wentOut = false;  // some attempt's bytes reached the connection
  for (int attempt = 0;; ++attempt) {
    std::unique_ptr<Connection> connection = acquire(error);
    if (connection == nullptr) {
      if (wentOut && request != Request::kRead) *error += kOutcomeUnknown;
      Log("  >redis: %s\n", error->c_str());
      return false;
    }
    // What an attempt on a dead kept connection left is not the answer.
    error->clear();
    const std::uint64_t before = connection->written();
    const Outcome outcome = run(*connection, error);
    if (outcome == Outcome::kDone) {
      release(std::move(connection));
      return true;
    }
    if (outcome == Outcome::kRefused) {
      Log("  >redis: %s\n", error->c_str());
      return false;
    }
    const bool sent = connection->written() != before;
    wentOut = wentOut || sent;
    bool timedOut = false;
    const std::string why = contextError(connection->context(), config_.timeoutMs, &timedOut);
    const std::string where = config_.kind == BackendConfig::Kind::kSentinel
                                  ? "master " + connection->where() + ": "
                                  : "";
    *error = config_.describe() + ": " + where + why;
    // A kept connection that died with the server's restart is replaced
    // once, unless a request that must run at most once went out on it; a
    // wait that ran out or an answer refused is not repeated, so no call
    // waits or reads twice.
    const bool refused = connection->context()->err == REDIS_ERR_PROTOCOL;
    if (!connection->kept || timedOut || refused || attempt > 0 ||
        (sent && request == Request::kOnce)) {
      if (wentOut && request != Request::kRead) *error += kOutcomeUnknown;
      Log("  >redis: %s\n", error->c_str());
      return false;
    }
    Log("  >redis: %s; once more on a new connection\n", error->c_str());
  }
}

}  // namespace kvpool

#endif
