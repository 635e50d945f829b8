// The pool on Redis: connections (direct, or found through the sentinels),
// the message batch as one server-side script, single gets and stores, the
// tools' scans.
#include "pool/RedisPool.h"

#include <errno.h>
#include <hiredis/hiredis.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "pool/PoolRecords.h"
#include "pool/RedisReply.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

// The message's operations, run in order, when they need the server to
// decide (pool/RedisPool.h: planBatch). KEYS[i] is the key of operation i;
// ARGV[1] is "1" when a missing key reads as empty, ARGV[2] the operation
// letters (G get, S store ARGV[i+2], R store what operation ARGV[i+2],
// counted from 0, read). The answer is {0, 0, values...}, or {2, i} when
// operation i's key is missing; out[i+2] holds what operation i (from 1)
// read. A failing command ends the script with its error: the server
// refuses a script's write for memory (OOM) only at its first write, so
// then no store of the batch ran, as one by one.
constexpr char kBatchScript[] = R"lua(local a = ARGV
local ops = a[2]
local out = {0, 0}
for i = 1, #KEYS do
  local op = string.byte(ops, i)
  if op == 71 then
    local r = redis.call('GET', KEYS[i])
    if not r then
      if a[1] ~= '1' then
        out[1] = 2
        out[2] = i
        return out
      end
      r = ''
    end
    out[i + 2] = r
  else
    if op == 83 then
      redis.call('SET', KEYS[i], a[i + 2])
    else
      redis.call('SET', KEYS[i], out[tonumber(a[i + 2]) + 3])
    end
    out[i + 2] = ''
  end
end
return out
)lua";

constexpr int kScanCount = 1000;
constexpr std::size_t kPipelineChunk = 1000;

struct ContextFree {
  void operator()(redisContext* context) const noexcept {
    if (context != nullptr) redisFree(context);
  }
};
using Context = std::unique_ptr<redisContext, ContextFree>;

timeval toTimeval(int milliseconds) {
  timeval value{};
  value.tv_sec = milliseconds / 1000;
  value.tv_usec = (milliseconds % 1000) * 1000;
  return value;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string_view replyText(const redisReply* reply) {
  return {reply->str != nullptr ? reply->str : "", static_cast<std::size_t>(reply->len)};
}

bool isError(const redisReply* reply) {
  return reply->type == REDIS_REPLY_ERROR;
}

// A server that answers so is not to be used again: a replica since a
// fail-over, still loading, cut off from its master, or asking for a
// password that changed.
bool refusesService(std::string_view error) {
  for (std::string_view code : {"READONLY", "LOADING", "MASTERDOWN", "NOAUTH", "WRONGPASS"}) {
    if (startsWith(error, code)) return true;
  }
  return false;
}

// What went wrong on a context; a wait that ran out says so in plain words.
std::string contextError(const redisContext* context, int timeoutMs, bool* timedOut) {
  const std::string text = context->errstr;
  *timedOut = context->err == REDIS_ERR_IO &&
              (text == std::strerror(EAGAIN) || text == std::strerror(ETIMEDOUT));
  if (*timedOut) return "no answer within " + decimalText(timeoutMs) + " ms";
  if (context->err == REDIS_ERR_EOF) return "the server closed the connection";
  return text.empty() ? std::string("connection failed") : text;
}

// What a message's step may be answered: values a pool record can hold.
ReplyBounds messageBounds(std::size_t values) {
  constexpr std::size_t kValueBytes =
      kRemoteSnapshotCapacity - kPoolHeaderBytes - kSmallestRecordBytes;
  return {kValueBytes, values + 2, (values + 1) * (kValueBytes + 64)};
}

// The tools' and the setup's steps: at most what the largest snapshot holds.
constexpr ReplyBounds kToolBounds = {kRemoteSnapshotCapacity,
                                     kRemoteSnapshotCapacity / kSmallestRecordBytes,
                                     2 * std::size_t{kRemoteSnapshotCapacity}};

Reply single(redisContext* context, const Command& command, int timeoutMs,
             const ReplyBounds& bounds = kToolBounds) {
  std::vector<Reply> replies;
  if (!pipeline(context, {command}, timeoutMs, bounds, &replies)) return nullptr;
  return std::move(replies.front());
}

// SCAN's MATCH pattern for the keys under prefix: glob characters escaped.
std::string prefixPattern(const std::string& prefix) {
  std::string pattern;
  for (char c : prefix) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "*";
}

}  // namespace

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

namespace {

// Counts the forks of this process, so that a pool notices it is in a child
// without a system call per message.
std::atomic<unsigned> forks{0};

unsigned forkGeneration() {
  static const bool counting = [] {
    pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1, std::memory_order_relaxed); });
    return true;
  }();
  (void)counting;
  return forks.load(std::memory_order_relaxed);
}

}  // namespace

RedisPool::RedisPool(BackendConfig config)
    : config_(std::move(config)), forkGeneration_(forkGeneration()) {}

RedisPool::~RedisPool() = default;

namespace {

// A TCP connection with the pool's timeouts on connecting and on every
// command; null with the reason in *error.
Context connectTo(const RedisEndpoint& endpoint, int timeoutMs, std::string* error) {
  const timeval timeout = toTimeval(timeoutMs);
  Context context(redisConnectWithTimeout(endpoint.host.c_str(), endpoint.port, timeout));
  if (context == nullptr) {
    *error = "no memory for a connection";
    return nullptr;
  }
  bool timedOut = false;
  if (context->err != 0) {
    *error = contextError(context.get(), timeoutMs, &timedOut);
    return nullptr;
  }
  redisSetTimeout(context.get(), timeout);
  return context;
}

// Asks one sentinel where the master is.
bool askSentinel(const RedisEndpoint& sentinel, const BackendConfig& config, RedisEndpoint* master,
                 std::string* error) {
  Context context = connectTo(sentinel, config.timeoutMs, error);
  if (context == nullptr) {
    *error = sentinel.text() + ": " + *error;
    return false;
  }
  Reply reply = single(context.get(), {"SENTINEL", "get-master-addr-by-name", config.master},
                       config.timeoutMs);
  bool timedOut = false;
  if (reply == nullptr) {
    *error = sentinel.text() + ": " + contextError(context.get(), config.timeoutMs, &timedOut);
    return false;
  }
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
      reply->element[0]->type != REDIS_REPLY_STRING ||
      reply->element[1]->type != REDIS_REPLY_STRING) {
    *error = sentinel.text() + ": " +
             (isError(reply.get()) ? std::string(replyText(reply.get()))
                                   : "knows no master named " + config.master);
    return false;
  }
  master->host = std::string(replyText(reply->element[0]));
  const long port = std::strtol(std::string(replyText(reply->element[1])).c_str(), nullptr, 10);
  master->port = static_cast<int>(port);
  return port > 0 && port <= 65535;
}

}  // namespace

std::unique_ptr<RedisPool::Connection> RedisPool::connect(std::string* error) {
  RedisEndpoint server = config_.server;
  std::string where;
  if (config_.kind == BackendConfig::Kind::kSentinel) {
    std::string reasons;
    bool found = false;
    for (const RedisEndpoint& sentinel : config_.sentinels) {
      std::string why;
      if (askSentinel(sentinel, config_, &server, &why)) {
        found = true;
        break;
      }
      reasons += (reasons.empty() ? "" : "; ") + why;
    }
    if (!found) {
      *error = config_.describe() + ": no sentinel named the master (" + reasons + ")";
      return nullptr;
    }
    where = "master " + server.text() + ": ";
  }
  std::string why;
  Context context = connectTo(server, config_.timeoutMs, &why);
  if (context == nullptr) {
    *error = config_.describe() + ": " + where + why;
    return nullptr;
  }
  // One round trip sets the session up: the password, the database, the
  // batch script (its digest answers), and under sentinels the role, since
  // a master the sentinels still name may have come back as a replica.
  const std::string database = decimalText(config_.database);
  std::vector<Command> setup;
  if (!config_.user.empty()) {
    setup.push_back({"AUTH", config_.user, config_.password});
  } else if (!config_.password.empty()) {
    setup.push_back({"AUTH", config_.password});
  }
  if (config_.database != 0) setup.push_back({"SELECT", database});
  setup.push_back({"SCRIPT", "LOAD", kBatchScript});
  if (config_.kind == BackendConfig::Kind::kSentinel) setup.push_back({"ROLE"});
  std::vector<Reply> replies;
  if (!pipeline(context.get(), setup, config_.timeoutMs, kToolBounds, &replies)) {
    bool timedOut = false;
    *error = config_.describe() + ": " + where +
             contextError(context.get(), config_.timeoutMs, &timedOut);
    return nullptr;
  }
  for (std::size_t i = 0; i < setup.size(); ++i) {
    const redisReply* reply = replies[i].get();
    const std::string_view step = setup[i][0];
    if (step == "SCRIPT") {
      // Without the digest every batch sends the whole script (EVAL).
      if (reply->type == REDIS_REPLY_STRING) {
        const std::lock_guard<std::mutex> lock(mutex_);
        scriptSha_ = std::string(replyText(reply));
      }
      continue;
    }
    if (isError(reply)) {
      *error = config_.describe() + ": " + where + std::string(step) +
               " refused: " + std::string(replyText(reply));
      return nullptr;
    }
    if (step == "ROLE" && (reply->type != REDIS_REPLY_ARRAY || reply->elements == 0 ||
                           replyText(reply->element[0]) != "master")) {
      *error = config_.describe() + ": " + where + "is no master (the fail-over is not done)";
      return nullptr;
    }
  }
  Log("  redis connected to %s\n", server.text().c_str());
  return std::make_unique<Connection>(std::move(context), server.text());
}

std::unique_ptr<RedisPool::Connection> RedisPool::acquire(std::string* error) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    // Connections inherited across fork belong to the parent's exchanges.
    if (forkGeneration_ != forkGeneration()) {
      idle_.clear();
      forkGeneration_ = forkGeneration();
    }
    if (!idle_.empty()) {
      std::unique_ptr<Connection> connection = std::move(idle_.back());
      idle_.pop_back();
      connection->kept = true;
      return connection;
    }
  }
  return connect(error);
}

void RedisPool::release(std::unique_ptr<Connection> connection) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (forkGeneration_ == forkGeneration()) idle_.push_back(std::move(connection));
}

namespace {

// How one exchange on a connection ended.
enum class Outcome {
  kDone,     // answered; the connection is kept
  kLost,     // the connection failed (its context tells why)
  kRefused,  // the server answered that it is not to be used; *error is set
};

}  // namespace

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

namespace {

// What the server is sent for a message's operations. A read of a key the
// message stored earlier takes the stored value (the message reads its own
// store, as one by one with nothing in between), so it needs no command,
// and a store of such a read stores the known value. What is left is plain
// (stores of known values, then reads: MSET or SET, then GETs, pipelined,
// which stop only where one by one would) or needs the batch script.
struct BatchPlan {
  std::vector<RemotePoolOp> server;  // kSetFromGet: source counts server operations
  std::vector<int> origin;           // server operation -> the message's operation
  // The message's operation -> the server operation whose value it holds
  // (a read, or a read it was answered from), or -1 for known text.
  std::vector<int> valueFrom;
  std::vector<std::string> known;  // the text where valueFrom is -1
  bool plain = true;
  std::size_t stores = 0;  // plain: the leading stores
};

// The last store of key among the operations planned so far, or -1. A
// message has few operations: a walk back is all it takes.
int lastStore(const BatchPlan& plan, const std::string& key) {
  for (auto i = static_cast<int>(plan.server.size()) - 1; i >= 0; --i) {
    const RemotePoolOp& op = plan.server[static_cast<std::size_t>(i)];
    if (op.kind != RemotePoolOp::Kind::kGet && op.key == key) return i;
  }
  return -1;
}

BatchPlan planBatch(const std::vector<RemotePoolOp>& ops) {
  BatchPlan plan;
  plan.valueFrom.assign(ops.size(), -1);
  plan.known.resize(ops.size());
  bool readSeen = false;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const RemotePoolOp& op = ops[i];
    if (op.kind == RemotePoolOp::Kind::kGet) {
      if (const int store = lastStore(plan, op.key); store >= 0) {
        const RemotePoolOp& stored = plan.server[static_cast<std::size_t>(store)];
        if (stored.kind == RemotePoolOp::Kind::kSet) {
          plan.known[i] = stored.value;
        } else {
          plan.valueFrom[i] = stored.source;
        }
        continue;
      }
      plan.valueFrom[i] = static_cast<int>(plan.server.size());
      plan.server.push_back(op);
      plan.origin.push_back(static_cast<int>(i));
      readSeen = true;
      continue;
    }
    // A store: of text, or of what an earlier operation read.
    RemotePoolOp sent = op;
    if (op.kind == RemotePoolOp::Kind::kSetFromGet) {
      const auto source = static_cast<std::size_t>(op.source);
      if (plan.valueFrom[source] < 0) {
        sent.kind = RemotePoolOp::Kind::kSet;
        sent.value = plan.known[source];
      } else {
        sent.source = plan.valueFrom[source];
      }
    }
    // A store after a read (which may stop the batch) or of a read's value
    // needs the server to decide.
    if (readSeen || sent.kind == RemotePoolOp::Kind::kSetFromGet) plan.plain = false;
    if (plan.plain) ++plan.stores;
    plan.server.push_back(std::move(sent));
    plan.origin.push_back(static_cast<int>(i));
  }
  return plan;
}

}  // namespace

RemoteBatchReply RedisPool::runBatch(const std::vector<RemotePoolOp>& ops, bool missingIsEmpty) {
  RemoteBatchReply answer;
  const BatchPlan plan = planBatch(ops);
  const std::size_t count = plan.server.size();
  std::vector<std::string> keys;
  keys.reserve(count);
  for (const RemotePoolOp& op : plan.server) keys.push_back(config_.prefix + op.key);
  std::vector<std::string> serverValues;
  int stoppedAt = -1;  // the server operation that stopped the batch
  const ReplyBounds bounds = messageBounds(count);

  // Answers a message whose every operation was answered here.
  const bool ok =
      count == 0 ||
      exchange(
          [&](Connection& connection, std::string* error) {
            serverValues.clear();
            stoppedAt = -1;
            answer.result = KVPOOL_OK;
            // The texts the commands point into live as long as the commands.
            std::vector<Command> commands;
            std::string letters, sha, keyCount;
            std::vector<std::string> sources(count);
            if (plan.plain) {
              // The leading stores as one command, then the reads.
              if (plan.stores > 0) {
                Command store = {plan.stores == 1 ? "SET" : "MSET"};
                for (std::size_t i = 0; i < plan.stores; ++i) {
                  store.push_back(keys[i]);
                  store.push_back(plan.server[i].value);
                }
                commands.push_back(std::move(store));
              }
              for (std::size_t i = plan.stores; i < count; ++i)
                commands.push_back({"GET", keys[i]});
            } else {
              for (std::size_t i = 0; i < count; ++i) {
                letters += static_cast<char>(plan.server[i].kind);
                if (plan.server[i].kind == RemotePoolOp::Kind::kSetFromGet) {
                  sources[i] = decimalText(plan.server[i].source);
                }
              }
              {
                const std::lock_guard<std::mutex> lock(mutex_);
                sha = scriptSha_;
              }
              keyCount = decimalText(static_cast<long>(count));
              Command script = {
                  sha.empty() ? "EVAL" : "EVALSHA",
                  sha.empty() ? std::string_view(kBatchScript) : std::string_view(sha), keyCount};
              for (const std::string& key : keys) script.push_back(key);
              script.push_back(missingIsEmpty ? "1" : "0");
              script.push_back(letters);
              for (std::size_t i = 0; i < count; ++i) {
                script.push_back(plan.server[i].kind == RemotePoolOp::Kind::kSet
                                     ? std::string_view(plan.server[i].value)
                                     : std::string_view(sources[i]));
              }
              commands.push_back(std::move(script));
            }
            std::vector<Reply> replies;
            if (!pipeline(connection.get(), commands, config_.timeoutMs, bounds, &replies))
              return Outcome::kLost;
            if (!plan.plain && isError(replies[0].get()) &&
                startsWith(replyText(replies[0].get()), "NOSCRIPT")) {
              commands[0][0] = "EVAL";
              commands[0][1] = kBatchScript;
              if (!pipeline(connection.get(), commands, config_.timeoutMs, bounds, &replies))
                return Outcome::kLost;
            }
            // The first error in order decides: a store refused for memory
            // is 8 at the first store (none of them ran); any other is 5.
            for (std::size_t r = 0; r < replies.size(); ++r) {
              const redisReply* reply = replies[r].get();
              if (!isError(reply)) continue;
              const std::string_view text = replyText(reply);
              if (startsWith(text, "OOM")) {
                answer.result = KVPOOL_POOL_FULL;
                for (std::size_t i = 0; i < count && stoppedAt < 0; ++i) {
                  if (plan.server[i].kind != RemotePoolOp::Kind::kGet)
                    stoppedAt = static_cast<int>(i);
                }
                return Outcome::kDone;
              }
              // In the plain form the stores are the first reply, then one
              // per read.
              if (plan.plain) {
                stoppedAt = plan.stores == 0 ? static_cast<int>(r)
                            : r == 0         ? 0
                                             : static_cast<int>(plan.stores + r - 1);
              }
              *error = config_.describe() + ": " + std::string(text);
              return refusesService(text) ? Outcome::kRefused : Outcome::kDone;
            }
            if (plan.plain) {
              for (std::size_t i = 0; i < plan.stores; ++i) serverValues.emplace_back();
              for (std::size_t r = plan.stores > 0 ? 1 : 0; r < replies.size(); ++r) {
                const redisReply* reply = replies[r].get();
                if (reply->type != REDIS_REPLY_NIL) {
                  serverValues.emplace_back(replyText(reply));
                } else if (missingIsEmpty) {
                  serverValues.emplace_back();
                } else {
                  answer.result = KVPOOL_KEY_NOT_FOUND;
                  stoppedAt = static_cast<int>(serverValues.size());
                  break;
                }
              }
              return Outcome::kDone;
            }
            const redisReply* r = replies[0].get();
            if (r->type != REDIS_REPLY_ARRAY || r->elements < 2 ||
                r->element[0]->type != REDIS_REPLY_INTEGER ||
                r->element[1]->type != REDIS_REPLY_INTEGER) {
              *error = config_.describe() + ": unexpected answer to the batch script";
              return Outcome::kDone;
            }
            answer.result = static_cast<int>(r->element[0]->integer);
            if (answer.result != KVPOOL_OK) {
              stoppedAt = static_cast<int>(r->element[1]->integer) - 1;
              return Outcome::kDone;
            }
            for (std::size_t i = 2; i < r->elements; ++i) {
              const redisReply* value = r->element[i];
              serverValues.emplace_back(value->type == REDIS_REPLY_STRING ? replyText(value)
                                                                          : std::string_view());
            }
            return Outcome::kDone;
          },
          &answer.error);
  if (!ok || !answer.error.empty()) {
    answer.result = KVPOOL_POOL_UNAVAILABLE;
    answer.failedOp =
        stoppedAt >= 0 && static_cast<std::size_t>(stoppedAt) < count ? plan.origin[stoppedAt] : -1;
    return answer;
  }
  if (answer.result != KVPOOL_OK) {
    answer.failedOp =
        stoppedAt >= 0 && static_cast<std::size_t>(stoppedAt) < count ? plan.origin[stoppedAt] : -1;
    if (answer.failedOp < 0) {
      answer.result = KVPOOL_POOL_UNAVAILABLE;
      answer.error = config_.describe() + ": unexpected answer to the batch";
    }
    return answer;
  }
  if (serverValues.size() != count) {
    answer.result = KVPOOL_POOL_UNAVAILABLE;
    answer.error = config_.describe() + ": unexpected answer to the batch";
    return answer;
  }
  answer.values.resize(ops.size());
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (ops[i].kind != RemotePoolOp::Kind::kGet) continue;
    const int from = plan.valueFrom[i];
    answer.values[i] = from < 0 ? plan.known[i] : serverValues[static_cast<std::size_t>(from)];
  }
  return answer;
}

int RedisPool::get(const std::string& key, std::string* value, std::string* error) {
  const std::string fullKey = config_.prefix + key;
  int result = KVPOOL_OK;
  const bool ok = exchange(
      [&](Connection& connection, std::string* why) {
        Reply reply =
            single(connection.get(), {"GET", fullKey}, config_.timeoutMs, messageBounds(1));
        if (reply == nullptr) return Outcome::kLost;
        if (isError(reply.get())) {
          *why = config_.describe() + ": " + std::string(replyText(reply.get()));
          result = KVPOOL_POOL_UNAVAILABLE;
          return refusesService(replyText(reply.get())) ? Outcome::kRefused : Outcome::kDone;
        }
        if (reply->type == REDIS_REPLY_NIL) {
          result = KVPOOL_KEY_NOT_FOUND;
        } else {
          *value = std::string(replyText(reply.get()));
        }
        return Outcome::kDone;
      },
      error);
  return ok ? result : KVPOOL_POOL_UNAVAILABLE;
}

int RedisPool::set(const std::string& key, const std::string& value, std::string* error) {
  const std::string fullKey = config_.prefix + key;
  int result = KVPOOL_OK;
  const bool ok = exchange(
      [&](Connection& connection, std::string* why) {
        Reply reply =
            single(connection.get(), {"SET", fullKey, value}, config_.timeoutMs, messageBounds(0));
        if (reply == nullptr) return Outcome::kLost;
        if (isError(reply.get())) {
          const std::string_view text = replyText(reply.get());
          if (startsWith(text, "OOM")) {
            result = KVPOOL_POOL_FULL;
            return Outcome::kDone;
          }
          *why = config_.describe() + ": " + std::string(text);
          result = KVPOOL_POOL_UNAVAILABLE;
          return refusesService(text) ? Outcome::kRefused : Outcome::kDone;
        }
        return Outcome::kDone;
      },
      error);
  return ok ? result : KVPOOL_POOL_UNAVAILABLE;
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
          Reply reply = single(connection.get(), {"SCAN", cursor, "MATCH", pattern, "COUNT", count},
                               config_.timeoutMs);
          if (reply == nullptr) return Outcome::kLost;
          if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) {
            *why =
                config_.describe() + ": SCAN: " +
                (isError(reply.get()) ? std::string(replyText(reply.get())) : "unexpected answer");
            return Outcome::kRefused;
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
  // SCAN may name a key twice when the table grows meanwhile.
  // (On the elements themselves: the vector's iterators would bring their
  // comparison's shared helper into the plug-in's exported names.)
  std::string* first = keys->data();
  std::sort(first, first + keys->size());
  keys->resize(static_cast<std::size_t>(std::unique(first, first + keys->size()) - first));
  return true;
}

bool RedisPool::hasKeys(bool* any, std::string* error) {
  // Asked once per snapshot load: the one scan of the prefix serves.
  std::vector<std::string> keys;
  if (!listKeys(&keys, error)) return false;
  *any = !keys.empty();
  return true;
}

bool RedisPool::readValues(const std::vector<std::string>& keys,
                           std::vector<std::optional<std::string>>* values,
                           std::vector<std::string>* wrongType, std::string* error) {
  return exchange(
      [&](Connection& connection, std::string*) {
        values->clear();
        if (wrongType != nullptr) wrongType->clear();
        std::vector<std::string> fullKeys;
        for (std::size_t start = 0; start < keys.size(); start += kPipelineChunk) {
          const std::size_t end = std::min(keys.size(), start + kPipelineChunk);
          fullKeys.clear();
          for (std::size_t i = start; i < end; ++i) fullKeys.push_back(config_.prefix + keys[i]);
          std::vector<Command> commands;
          for (const std::string& key : fullKeys) commands.push_back({"GET", key});
          std::vector<Reply> replies;
          if (!pipeline(connection.get(), commands, config_.timeoutMs, kToolBounds, &replies))
            return Outcome::kLost;
          for (std::size_t i = 0; i < replies.size(); ++i) {
            const redisReply* reply = replies[i].get();
            if (reply->type == REDIS_REPLY_STRING) {
              values->emplace_back(std::string(replyText(reply)));
              continue;
            }
            values->emplace_back();
            if (isError(reply) && wrongType != nullptr) wrongType->push_back(keys[start + i]);
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
        if (!pipeline(connection.get(), commands, config_.timeoutMs, kToolBounds, &replies))
          return Outcome::kLost;
        for (const Reply& reply : replies) {
          if (!isError(reply.get())) continue;
          const std::string_view text = replyText(reply.get());
          if (startsWith(text, "OOM")) {
            result = KVPOOL_POOL_FULL;
            return Outcome::kDone;
          }
          if (startsWith(text, "EXECABORT")) continue;
          *why = config_.describe() + ": " + std::string(text);
          result = KVPOOL_POOL_UNAVAILABLE;
          return refusesService(text) ? Outcome::kRefused : Outcome::kDone;
        }
        return Outcome::kDone;
      },
      error);
  return ok ? result : KVPOOL_POOL_UNAVAILABLE;
}

bool RedisPool::deleteKeys(const std::vector<std::string>& keys, long* deleted,
                           std::string* error) {
  *deleted = 0;
  return exchange(
      [&](Connection& connection, std::string* why) {
        *deleted = 0;
        std::vector<std::string> fullKeys;
        for (std::size_t start = 0; start < keys.size(); start += kPipelineChunk) {
          const std::size_t end = std::min(keys.size(), start + kPipelineChunk);
          fullKeys.clear();
          for (std::size_t i = start; i < end; ++i) fullKeys.push_back(config_.prefix + keys[i]);
          Command command = {"DEL"};
          for (const std::string& key : fullKeys) command.push_back(key);
          Reply reply = single(connection.get(), command, config_.timeoutMs);
          if (reply == nullptr) return Outcome::kLost;
          if (reply->type != REDIS_REPLY_INTEGER) {
            *why =
                config_.describe() + ": DEL: " +
                (isError(reply.get()) ? std::string(replyText(reply.get())) : "unexpected answer");
            return Outcome::kRefused;
          }
          *deleted += static_cast<long>(reply->integer);
        }
        return Outcome::kDone;
      },
      error);
}

bool RedisPool::info(const std::string& section, std::string* text, std::string* where,
                     std::string* error) {
  return exchange(
      [&](Connection& connection, std::string* why) {
        Reply reply = single(connection.get(), {"INFO", section}, config_.timeoutMs);
        if (reply == nullptr) return Outcome::kLost;
        if (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_STATUS) {
          *why = config_.describe() + ": INFO: " +
                 (isError(reply.get()) ? std::string(replyText(reply.get())) : "unexpected answer");
          return Outcome::kRefused;
        }
        *text = std::string(replyText(reply.get()));
        *where = connection.where();
        return Outcome::kDone;
      },
      error);
}

}  // namespace kvpool
