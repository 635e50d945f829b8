// The module's connections: direct or found through the sentinels, set up
// in one round trip, kept for the next call and dropped after fork.
#include <pthread.h>

#include <atomic>
#include <cstdlib>

#include "redis/RedisExchange.h"

namespace kvpool {
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

// A TCP connection with the pool's timeouts on connecting and on every
// command; null with the reason in *error.
Context connectTo(const RedisEndpoint& endpoint, int timeoutMs, std::string* error) {
  const timeval timeout = {timeoutMs / 1000, static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
  Context context(redisConnectWithTimeout(endpoint.host.c_str(), endpoint.port, timeout));
  if (context == nullptr) {
    *error = "no memory for a connection";
    return nullptr;
  }
  if (context->err != 0) {
    *error = contextError(context.get(), timeoutMs);
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
  if (reply == nullptr) {
    *error = sentinel.text() + ": " + contextError(context.get(), config.timeoutMs);
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
  const long port = std::strtol(reply->element[1]->str, nullptr, 10);
  master->port = static_cast<int>(port);
  return port > 0 && port <= 65535;
}

}  // namespace

RedisPool::RedisPool(BackendConfig config)
    : config_(std::move(config)), forkGeneration_(forkGeneration()) {}

RedisPool::~RedisPool() = default;

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
    *error = config_.describe() + ": " + where + contextError(context.get(), config_.timeoutMs);
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

}  // namespace kvpool
