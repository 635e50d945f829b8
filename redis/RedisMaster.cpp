// Where the module's connections go and how long they are kept: the
// session set up on a new connection in one round trip; under sentinels
// the master they name, asked of each in turn until one names a master that
// serves, confirmed by them at least once a timeout and checked through its
// replicas after each store; kept connections checked before reuse and
// dropped after fork.
#include <pthread.h>

#include <algorithm>
#include <atomic>

#include "redis/RedisExchange.h"
#include "support/KvPoolUtil.h"

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

// The login the settings give, or none.
std::vector<Command> authCommands(const BackendConfig& config) {
  if (!config.user.empty()) return {{"AUTH", config.user, config.password}};
  if (!config.password.empty()) return {{"AUTH", config.password}};
  return {};
}

// Runs command after the settings' login on connection; its reply, or null
// with *why.
Reply askAfterLogin(RedisConnection& connection, const BackendConfig& config,
                    const Command& command, std::string* why) {
  std::vector<Command> commands = authCommands(config);
  commands.push_back(command);
  std::vector<Reply> replies;
  if (!pipeline(connection, commands, config.timeoutMs, kToolBounds, &replies)) {
    *why = contextError(connection.context(), config.timeoutMs);
    return nullptr;
  }
  if (commands.size() > 1 && isError(replies.front().get())) {
    *why = "AUTH refused: " + std::string(replyText(replies.front().get()));
    return nullptr;
  }
  return std::move(replies.back());
}

// The same on a new connection to server.
Reply askServer(const RedisEndpoint& server, const BackendConfig& config, const TlsContext* tls,
                const Command& command, std::string* why) {
  std::unique_ptr<RedisConnection> connection = connectTo(server, config.timeoutMs, tls, why);
  return connection != nullptr ? askAfterLogin(*connection, config, command, why) : nullptr;
}

// Asks one sentinel where the master is; *error names the sentinel. A
// sentinel that asks for a password is given the URL's.
bool askSentinel(const RedisEndpoint& sentinel, const BackendConfig& config, const TlsContext* tls,
                 RedisEndpoint* master, std::string* error) {
  const Command query = {"SENTINEL", "get-master-addr-by-name", config.master};
  const std::string name = "sentinel " + sentinel.text() + ": ";
  std::string why;
  std::unique_ptr<RedisConnection> connection = connectTo(sentinel, config.timeoutMs, tls, &why);
  std::vector<Reply> replies;
  bool ok = connection != nullptr &&
            pipeline(*connection, {query}, config.timeoutMs, kToolBounds, &replies);
  if (ok && isError(replies[0].get()) && startsWith(replyText(replies[0].get()), "NOAUTH")) {
    if (config.password.empty()) {
      *error = name +
               "asks for a password (NOAUTH): give the sentinels' password in the URL, "
               "as USER:PASSWORD@ or :PASSWORD@, which the master shares";
      return false;
    }
    Reply answer = askAfterLogin(*connection, config, query, &why);
    ok = answer != nullptr;
    if (ok) replies[0] = std::move(answer);
  }
  if (!ok) {
    if (connection != nullptr && why.empty()) {
      why = sessionError(*connection, sentinel, config.timeoutMs);
    }
    *error = name + why;
    return false;
  }
  const redisReply* reply = replies[0].get();
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
      reply->element[0]->type != REDIS_REPLY_STRING ||
      reply->element[1]->type != REDIS_REPLY_STRING) {
    *error = name + (isError(reply) ? std::string(replyText(reply))
                                    : "knows no master named " + config.master);
    return false;
  }
  const std::string_view port = replyText(reply->element[1]);
  const long long number = decimalValue(port.data(), port.size(), 65535);
  if (number < 1) {
    *error = name + "named a master at port \"" + std::string(port) + "\", not a port";
    return false;
  }
  master->host = std::string(replyText(reply->element[0]));
  master->port = static_cast<int>(number);
  return true;
}

// The replicas a master's ROLE answer lists, as "host:port"; false when the
// answer is not a master's.
bool replicasOf(const redisReply* role, std::vector<std::string>* replicas) {
  if (role == nullptr || role->type != REDIS_REPLY_ARRAY || role->elements < 3 ||
      replyText(role->element[0]) != "master" || role->element[2]->type != REDIS_REPLY_ARRAY) {
    return false;
  }
  replicas->clear();
  const redisReply* list = role->element[2];
  for (std::size_t i = 0; i < list->elements; ++i) {
    const redisReply* replica = list->element[i];
    if (replica->type != REDIS_REPLY_ARRAY || replica->elements < 2) continue;
    replicas->push_back(std::string(replyText(replica->element[0])) + ":" +
                        std::string(replyText(replica->element[1])));
  }
  return true;
}

// "host:port" as an endpoint (the host may hold colons).
RedisEndpoint endpointOf(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  const std::string port = text.substr(colon + 1);
  return {text.substr(0, colon), static_cast<int>(decimalValue(port.data(), port.size(), 65535))};
}

// Whether the server at text says it is a master; false when it cannot be
// asked.
bool isMasterNow(const std::string& text, const BackendConfig& config, const TlsContext* tls) {
  std::string why;
  const Reply role = askServer(endpointOf(text), config, tls, {"ROLE"}, &why);
  return role != nullptr && role->type == REDIS_REPLY_ARRAY && role->elements > 0 &&
         replyText(role->element[0]) == "master";
}

}  // namespace

RedisPool::RedisPool(BackendConfig config)
    : config_(std::move(config)), forkGeneration_(forkGeneration()) {}

RedisPool::~RedisPool() = default;

const TlsContext* RedisPool::tlsContext(std::string* why) {
  if (!config_.tls.on) return nullptr;
  const std::lock_guard<std::mutex> lock(mutex_);
  if (tls_ == nullptr) tls_ = TlsContext::load(config_.tls, why);
  return tls_.get();
}

std::unique_ptr<RedisPool::Connection> RedisPool::openSession(const RedisEndpoint& server,
                                                              std::string* why) {
  const TlsContext* tls = tlsContext(why);
  if (config_.tls.on && tls == nullptr) return nullptr;
  std::unique_ptr<Connection> connection = connectTo(server, config_.timeoutMs, tls, why);
  if (connection == nullptr) return nullptr;
  // One round trip sets the session up: the password, the database, the
  // batch script (its digest answers), and under sentinels the role, since
  // a master the sentinels still name may have come back as a replica. A
  // last command makes a server that refuses the client (at its limit of
  // clients: one error, then it closes) fail the round trip, quoted.
  const bool sentinel = config_.kind == BackendConfig::Kind::kSentinel;
  const std::string database = decimalText(config_.database);
  std::vector<Command> setup = authCommands(config_);
  if (config_.database != 0) setup.push_back({"SELECT", database});
  setup.push_back({"SCRIPT", "LOAD", kBatchScript});
  setup.push_back({sentinel ? "ROLE" : "PING"});
  std::vector<Reply> replies;
  if (!pipeline(*connection, setup, config_.timeoutMs, kToolBounds, &replies)) {
    *why = sessionError(*connection, server, config_.timeoutMs);
    return nullptr;
  }
  std::vector<std::string> replicas;
  for (std::size_t i = 0; i < setup.size(); ++i) {
    const redisReply* reply = replies[i].get();
    const std::string_view step = setup[i][0];
    if (step == "SCRIPT" || step == "PING") {
      // Without the digest every batch sends the whole script (EVAL).
      if (step == "SCRIPT" && reply->type == REDIS_REPLY_STRING) {
        const std::lock_guard<std::mutex> lock(mutex_);
        scriptSha_ = std::string(replyText(reply));
      }
      continue;
    }
    if (isError(reply)) {
      *why = std::string(step) + " refused: " + std::string(replyText(reply));
      return nullptr;
    }
    if (step == "ROLE" && !replicasOf(reply, &replicas)) {
      *why = "is no master (the fail-over is not done)";
      return nullptr;
    }
  }
  if (sentinel) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (server.text() != watch_.master.text()) {
      watch_.master = server;
      watch_.promoted.clear();
      ++watch_.generation;
    }
    watch_.replicas = replicas;
    watch_.confirmedAt = Clock::now();
    connection->generation = watch_.generation;
  }
  Log("  redis connected to %s\n", server.text().c_str());
  return connection;
}

std::unique_ptr<RedisPool::Connection> RedisPool::connect(std::string* error) {
  std::string why;
  const TlsContext* tls = tlsContext(&why);
  if (config_.tls.on && tls == nullptr) {
    *error = config_.describe() + ": " + why;
    return nullptr;
  }
  if (config_.kind != BackendConfig::Kind::kSentinel) {
    std::unique_ptr<Connection> connection = openSession(config_.server, &why);
    if (connection == nullptr) *error = config_.describe() + ": " + why;
    return connection;
  }
  // Each sentinel in turn, until one names a master that serves: one that
  // still names a master that died or was demoted sends the client on.
  std::string reasons;
  std::vector<std::string> tried;
  for (std::size_t asked = 0; asked < config_.sentinels.size(); ++asked) {
    const RedisEndpoint& sentinel = config_.sentinels[asked];
    RedisEndpoint master;
    why.clear();
    if (!askSentinel(sentinel, config_, tls, &master, &why)) {
      reasons += (reasons.empty() ? "" : "; ") + why;
      continue;
    }
    const std::string named = "sentinel " + sentinel.text() + " named master " + master.text();
    std::string promoted;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (master.text() == watch_.master.text()) promoted = watch_.promoted;
    }
    if (std::find(tried.begin(), tried.end(), master.text()) != tried.end()) {
      why = "tried above";
    } else if (!promoted.empty() && isMasterNow(promoted, config_, tls)) {
      why = "its replica " + promoted + " is a master now (a fail-over is under way)";
    } else {
      if (!promoted.empty()) {
        const std::lock_guard<std::mutex> lock(mutex_);
        watch_.promoted.clear();
      }
      tried.push_back(master.text());
      std::unique_ptr<Connection> connection = openSession(master, &why);
      if (connection != nullptr) {
        const std::lock_guard<std::mutex> lock(mutex_);
        watch_.sentinel = asked;
        return connection;
      }
    }
    reasons += (reasons.empty() ? "" : "; ") + named + ": " + why;
  }
  *error = config_.describe() + ": no sentinel named a master that serves (" + reasons + ")";
  return nullptr;
}

void RedisPool::confirmMaster() {
  std::size_t first = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    if (watch_.master.port == 0 ||
        now - watch_.confirmedAt < std::chrono::milliseconds(config_.timeoutMs)) {
      return;
    }
    watch_.confirmedAt = now;  // this thread asks; the others go on meanwhile
    first = watch_.sentinel;
  }
  // The sentinel that named the master first: one listed before it may
  // still name a master that died.
  RedisEndpoint named;
  std::string why;
  const TlsContext* tls = tlsContext(&why);
  bool answered = false;
  const std::size_t count = config_.sentinels.size();
  for (std::size_t i = 0; i < count && !answered; ++i) {
    answered = askSentinel(config_.sentinels[(first + i) % count], config_, tls, &named, &why);
  }
  if (!answered) return;  // the sentinels out of reach say nothing of the master
  const std::lock_guard<std::mutex> lock(mutex_);
  if (named.text() == watch_.master.text()) return;
  Log("  redis: the sentinels name master %s now\n", named.text().c_str());
  watch_.master = named;
  watch_.promoted.clear();
  ++watch_.generation;
  idle_.clear();
}

bool RedisPool::replicasStayed(const Connection& connection, const redisReply* role,
                               std::string* why) {
  std::vector<std::string> now;
  if (!replicasOf(role, &now)) {
    *why = "master " + connection.where() + ": is no master now";
    return false;
  }
  std::vector<std::string> left;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (connection.generation != watch_.generation) {
      *why = "master " + connection.where() + ": the sentinels name another master now";
      return false;
    }
    for (const std::string& replica : watch_.replicas) {
      if (std::find(now.begin(), now.end(), replica) == now.end()) left.push_back(replica);
    }
    if (left.empty()) {
      watch_.replicas = now;
      return true;
    }
  }
  // A replica that left may have been made the master: the stores its old
  // master took since are lost once the fail-over is done.
  std::string unloaded;
  const TlsContext* tls = tlsContext(&unloaded);
  for (const std::string& replica : left) {
    if (!isMasterNow(replica, config_, tls)) continue;
    const std::lock_guard<std::mutex> lock(mutex_);
    watch_.promoted = replica;
    ++watch_.generation;
    idle_.clear();
    *why = "master " + connection.where() + ": its replica " + replica +
           " is a master now (a fail-over is under way)";
    return false;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  watch_.replicas = now;
  return true;
}

std::unique_ptr<RedisPool::Connection> RedisPool::acquire(std::string* error) {
  if (config_.kind == BackendConfig::Kind::kSentinel) confirmMaster();
  // Each kept connection is looked at once; one the server closed, one
  // holding bytes no request asked for, or one to a former master goes.
  for (;;) {
    std::unique_ptr<Connection> connection;
    unsigned generation = 0;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      // Connections inherited across fork belong to the parent's exchanges.
      if (forkGeneration_ != forkGeneration()) {
        idle_.clear();
        forkGeneration_ = forkGeneration();
      }
      if (idle_.empty()) break;
      connection = std::move(idle_.back());
      idle_.pop_back();
      generation = watch_.generation;
    }
    if (connection->generation == generation && connection->clean()) {
      connection->kept = true;
      return connection;
    }
    Log("  redis: the kept connection to %s is closed or unclean, dropped\n",
        connection->where().c_str());
  }
  return connect(error);
}

void RedisPool::release(std::unique_ptr<Connection> connection) {
  // Bytes read beyond the reply belong to no request: the connection goes.
  if (connection->holdsUnread()) {
    Log("  redis: more than the answer came from %s, dropped\n", connection->where().c_str());
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  if (forkGeneration_ == forkGeneration() && connection->generation == watch_.generation) {
    idle_.push_back(std::move(connection));
  }
}

}  // namespace kvpool
