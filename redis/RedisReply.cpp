// A round trip against one deadline, its replies checked against bounds as
// their bytes arrive (pipeline, redis/RedisExchange.h).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

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

}  // namespace kvpool
