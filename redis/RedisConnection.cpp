// The module's connections: direct or found through the sentinels, set up
// in one round trip, kept for the next call and dropped after fork; and a
// round trip against one deadline, its replies checked against bounds as
// their bytes arrive (pipeline, redis/RedisExchange.h).
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "redis/RedisExchange.h"

namespace kvpool {
namespace {

using Clock = std::chrono::steady_clock;

// Follows the protocol's framing through the bytes of a round trip, so that
// a string's or an array's announced length is checked before its content
// arrives. hiredis builds the replies; this only reads their headers.
class ReplyScanner {
 public:
  explicit ReplyScanner(const ReplyBounds& bounds) : bounds_(bounds) {}

  // False with *why when the bytes break the bounds.
  bool scan(const char* bytes, std::size_t length, std::string* why) {
    total_ += length;
    if (total_ > bounds_.totalBytes) {
      *why = "answer refused: more than " + decimalText(static_cast<long>(bounds_.totalBytes)) +
             " bytes";
      return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
      if (state_ == State::kContent) {
        const std::size_t skipped = std::min(contentLeft_, length - i);
        contentLeft_ -= skipped;
        i += skipped - 1;
        if (contentLeft_ == 0) state_ = State::kType;
      } else if (state_ == State::kType) {
        type_ = bytes[i];
        number_ = 0;
        negative_ = false;
        state_ = State::kLine;
      } else if (bytes[i] == '\n') {
        if (!endLine(why)) return false;
      } else if (bytes[i] == '-' && number_ == 0) {
        negative_ = true;
      } else if (bytes[i] >= '0' && bytes[i] <= '9' && number_ <= kNumberCap) {
        number_ = number_ * 10 + static_cast<std::size_t>(bytes[i] - '0');
      }
    }
    return true;
  }

 private:
  enum class State { kType, kLine, kContent };
  // Past this a length is certainly over any bound; more digits keep it so.
  static constexpr std::size_t kNumberCap = std::size_t{1} << 50;

  bool endLine(std::string* why) {
    state_ = State::kType;
    if (negative_) return true;  // nil
    if (type_ == '$') {
      if (number_ > bounds_.stringBytes) {
        *why = "answer refused: a string of " + decimalText(static_cast<long>(number_)) +
               " bytes (at most " + decimalText(static_cast<long>(bounds_.stringBytes)) + ")";
        return false;
      }
      contentLeft_ = number_ + 2;  // and its CR LF
      state_ = State::kContent;
    } else if (type_ == '*') {
      elements_ += number_;
      if (elements_ > bounds_.elements) {
        *why = "answer refused: more than " + decimalText(static_cast<long>(bounds_.elements)) +
               " elements";
        return false;
      }
    }
    return true;
  }

  const ReplyBounds bounds_;
  State state_ = State::kType;
  char type_ = 0;
  bool negative_ = false;
  std::size_t number_ = 0;
  std::size_t contentLeft_ = 0;
  std::size_t elements_ = 0;
  std::size_t total_ = 0;
};

bool fail(redisContext* context, int type, const std::string& text) {
  context->err = type;
  std::snprintf(context->errstr, sizeof context->errstr, "%s", text.c_str());
  return false;
}

// What is left of the deadline in whole milliseconds, rounded up.
long remainingMs(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  return static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

bool timedOut(redisContext* context) {
  return fail(context, REDIS_ERR_IO, std::strerror(ETIMEDOUT));
}

bool send(redisContext* context, Clock::time_point deadline) {
  int done = 0;
  while (!done) {
    const long left = remainingMs(deadline);
    if (left <= 0) return timedOut(context);
    // A blocking write waits at most the socket's timeout: the time left.
    redisSetTimeout(context, timeval{left / 1000, static_cast<suseconds_t>(left % 1000) * 1000});
    if (redisBufferWrite(context, &done) != REDIS_OK) return false;
  }
  return true;
}

// Reads what the server sent so far, waiting at most until the deadline.
bool receive(redisContext* context, Clock::time_point deadline, ReplyScanner* scanner) {
  const long left = remainingMs(deadline);
  if (left <= 0) return timedOut(context);
  pollfd ready{context->fd, POLLIN, 0};
  const int polled = poll(&ready, 1, static_cast<int>(left));
  if (polled == 0) return timedOut(context);
  if (polled < 0) return errno == EINTR || fail(context, REDIS_ERR_IO, std::strerror(errno));
  char bytes[16 * 1024];
  const ssize_t got = read(context->fd, bytes, sizeof bytes);
  if (got < 0) {
    return errno == EINTR || errno == EAGAIN || fail(context, REDIS_ERR_IO, std::strerror(errno));
  }
  if (got == 0) return fail(context, REDIS_ERR_EOF, "Server closed the connection");
  std::string why;
  if (!scanner->scan(bytes, static_cast<std::size_t>(got), &why)) {
    return fail(context, REDIS_ERR_PROTOCOL, why);
  }
  if (redisReaderFeed(context->reader, bytes, static_cast<std::size_t>(got)) != REDIS_OK) {
    return fail(context, REDIS_ERR_PROTOCOL, context->reader->errstr);
  }
  return true;
}

void appendCommand(redisContext* context, const Command& command) {
  // A message's command fits on the stack; a long one takes the heap.
  constexpr std::size_t kStackArguments = 32;
  const char* stackArgv[kStackArguments];
  std::size_t stackLengths[kStackArguments];
  std::vector<const char*> heapArgv;
  std::vector<std::size_t> heapLengths;
  const char** argv = stackArgv;
  std::size_t* lengths = stackLengths;
  if (command.size() > kStackArguments) {
    heapArgv.resize(command.size());
    heapLengths.resize(command.size());
    argv = heapArgv.data();
    lengths = heapLengths.data();
  }
  for (std::size_t i = 0; i < command.size(); ++i) {
    argv[i] = command[i].data();
    lengths[i] = command[i].size();
  }
  redisAppendCommandArgv(context, static_cast<int>(command.size()), argv, lengths);
}

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

bool pipeline(redisContext* context, const std::vector<Command>& commands, int timeoutMs,
              const ReplyBounds& bounds, std::vector<Reply>* replies) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (const Command& command : commands) appendCommand(context, command);
  replies->clear();
  if (!send(context, deadline)) return false;
  ReplyScanner scanner(bounds);
  while (replies->size() < commands.size()) {
    void* reply = nullptr;
    if (redisGetReplyFromReader(context, &reply) != REDIS_OK) return false;
    if (reply != nullptr) {
      replies->emplace_back(static_cast<redisReply*>(reply));
    } else if (!receive(context, deadline, &scanner)) {
      return false;
    }
  }
  return true;
}

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
