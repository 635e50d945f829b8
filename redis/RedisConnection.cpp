// The module's transport: a connection's bytes written and read in one
// place each, never raising SIGPIPE, and a round trip against one deadline,
// its replies checked against bounds as their bytes arrive (pipeline,
// redis/RedisExchange.h).
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "redis/RedisExchange.h"

namespace kvpool {

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

namespace {

bool fail(redisContext* context, int type, const std::string& text) {
  context->err = type;
  std::snprintf(context->errstr, sizeof context->errstr, "%s", text.c_str());
  return false;
}

// Waits until fd is ready for events or the deadline passes; false with
// the context's error set.
bool await(redisContext* context, short events, Clock::time_point deadline) {
  const int ready = awaitReady(context->fd, events, deadline);
  if (ready == 0) return fail(context, REDIS_ERR_IO, std::strerror(ETIMEDOUT));
  return ready > 0 || fail(context, REDIS_ERR_IO, std::strerror(errno));
}

// The protocol's form of a command: its count, then each argument with its
// length.
void appendCommand(std::string* out, const Command& command) {
  char line[32];
  out->append(
      line, static_cast<std::size_t>(std::snprintf(line, sizeof line, "*%zu\r\n", command.size())));
  for (std::string_view argument : command) {
    out->append(line, static_cast<std::size_t>(
                          std::snprintf(line, sizeof line, "$%zu\r\n", argument.size())));
    out->append(argument);
    out->append("\r\n", 2);
  }
}

// The first error answer among replies, or empty.
std::string firstError(const std::vector<Reply>& replies) {
  for (const Reply& reply : replies) {
    if (isError(reply.get())) return std::string(replyText(reply.get()));
  }
  return {};
}

// A connection that failed: what the server sent before it closed is read
// without waiting, since a server that refuses a client (at its limit of
// clients) says why, then closes, and that is the reason to give.
void quoteLastWords(RedisConnection& connection, std::vector<Reply>* replies) {
  redisContext* context = connection.context();
  if (context->err == REDIS_ERR_PROTOCOL || context->err == 0 ||
      std::strcmp(context->errstr, std::strerror(ETIMEDOUT)) == 0) {
    return;
  }
  const std::string saved = context->errstr;
  const int savedErr = context->err;
  char bytes[4096];
  for (int reads = 0; reads < 16; ++reads) {
    const long got = connection.readNow(bytes, sizeof bytes);
    if (got <= 0 || redisReaderFeed(context->reader, bytes, static_cast<std::size_t>(got)) != 0)
      break;
  }
  for (std::size_t more = 0; more < 16; ++more) {
    void* reply = nullptr;
    if (redisReaderGetReply(context->reader, &reply) != REDIS_OK || reply == nullptr) break;
    replies->emplace_back(static_cast<redisReply*>(reply));
  }
  const std::string said = firstError(*replies);
  context->err = savedErr;
  std::snprintf(
      context->errstr, sizeof context->errstr, "%s",
      said.empty() ? saved.c_str() : ("the server closed the connection: " + said).c_str());
  if (!said.empty()) context->err = REDIS_ERR_OTHER;
}

}  // namespace

bool RedisConnection::write(std::string_view bytes, Clock::time_point deadline) {
  redisContext* context = context_.get();
  while (!bytes.empty()) {
    short wants = POLLOUT;
    const long sent =
        tls_ != nullptr
            ? tls_->write(bytes.data(), bytes.size(), &wants)
            : send(context->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      written_ += static_cast<std::uint64_t>(sent);
    } else if (tls_ != nullptr ? wants != 0 : errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!await(context, wants, deadline)) return false;
    } else if (tls_ != nullptr || errno != EINTR) {
      return fail(context, REDIS_ERR_IO, tls_ != nullptr ? tls_->failure() : std::strerror(errno));
    }
  }
  return true;
}

bool RedisConnection::receive(Clock::time_point deadline, ReplyScanner* scanner) {
  redisContext* context = context_.get();
  // A whole record the TLS session holds already is read without waiting;
  // part of one waits for the rest, against the deadline.
  const bool buffered = tls_ != nullptr && tls_->pending() && !starved_;
  if (!buffered && !await(context, wants_, deadline)) return false;
  char bytes[16 * 1024];
  const long got = readNow(bytes, sizeof bytes);
  if (got < 0) {
    return errno == EINTR || errno == EAGAIN ||
           fail(context, REDIS_ERR_IO, tls_ != nullptr ? tls_->failure() : std::strerror(errno));
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

long RedisConnection::readNow(char* bytes, std::size_t size) {
  long got = 0;
  if (tls_ != nullptr) {
    short wants = 0;
    got = tls_->read(bytes, size, &wants);
    starved_ = got < 0 && wants != 0;
    wants_ = wants != 0 ? wants : POLLIN;
    if (got < 0) errno = starved_ ? EAGAIN : EPROTO;
  } else {
    got = static_cast<long>(recv(context_->fd, bytes, size, MSG_DONTWAIT));
  }
  if (got > 0) received_ += static_cast<std::uint64_t>(got);
  return got;
}

bool RedisConnection::holdsUnread() const {
  const redisReader* reader = context_->reader;
  return reader->pos < reader->len || (tls_ != nullptr && tls_->holdsData());
}

bool RedisConnection::clean() {
  if (context_->err != 0 || holdsUnread()) return false;
  // Bytes the session read ahead are looked at as the socket's would be.
  if (tls_ != nullptr && tls_->pending()) return tls_->onlyControlRecords();
  pollfd ready{context_->fd, POLLIN | POLLRDHUP, 0};
  if (poll(&ready, 1, 0) == 0) return true;
  return tls_ != nullptr && (ready.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0 &&
         tls_->onlyControlRecords();
}

bool pipeline(RedisConnection& connection, const std::vector<Command>& commands, int timeoutMs,
              const ReplyBounds& bounds, std::vector<Reply>* replies) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string request;
  for (const Command& command : commands) appendCommand(&request, command);
  replies->clear();
  if (!connection.write(request, deadline)) {
    quoteLastWords(connection, replies);
    return false;
  }
  ReplyScanner scanner(bounds);
  redisContext* context = connection.context();
  while (replies->size() < commands.size()) {
    void* reply = nullptr;
    if (redisGetReplyFromReader(context, &reply) != REDIS_OK) return false;
    if (reply != nullptr) {
      replies->emplace_back(static_cast<redisReply*>(reply));
    } else if (!connection.receive(deadline, &scanner)) {
      quoteLastWords(connection, replies);
      return false;
    }
  }
  return true;
}

std::string describeReply(const redisReply* reply) {
  switch (reply->type) {
    case REDIS_REPLY_STATUS:
      return "status " + std::string(replyText(reply));
    case REDIS_REPLY_INTEGER:
      return "integer " + decimalText(static_cast<long>(reply->integer));
    case REDIS_REPLY_ARRAY:
      return "an array of " + decimalText(static_cast<long>(reply->elements));
    case REDIS_REPLY_NIL:
      return "nil";
    case REDIS_REPLY_ERROR:
      return std::string(replyText(reply));
    default:
      return "a string";
  }
}

namespace {

Context connectTcp(const RedisEndpoint& endpoint, int timeoutMs, std::string* error) {
  const timeval timeout = {timeoutMs / 1000, static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
  Context context(redisConnectWithTimeout(endpoint.host.c_str(), endpoint.port, timeout));
  if (context == nullptr) {
    *error = "no memory for a connection";
  } else if (context->err != 0) {
    *error = contextError(context.get(), timeoutMs);
    context.reset();
  }
  return context;
}

// Whether the server at endpoint answers PING in plain text, as a server
// without TLS does (PONG, or an error asking for a login).
bool answersPlain(const RedisEndpoint& endpoint, int timeoutMs) {
  std::string ignored;
  Context context = connectTcp(endpoint, timeoutMs, &ignored);
  if (context == nullptr) return false;
  RedisConnection probe(std::move(context), endpoint.text());
  const Reply reply = single(probe, {"PING"}, timeoutMs);
  return reply != nullptr &&
         (reply->type == REDIS_REPLY_STATUS || reply->type == REDIS_REPLY_ERROR);
}

}  // namespace

std::unique_ptr<RedisConnection> connectTo(const RedisEndpoint& endpoint, int timeoutMs,
                                           const TlsContext* tls, std::string* error) {
  Context context = connectTcp(endpoint, timeoutMs, error);
  if (context == nullptr) return nullptr;
  std::unique_ptr<TlsSession> session;
  if (tls != nullptr) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool silent = false;
    session =
        TlsSession::start(context->fd, *tls, endpoint.host, deadline, timeoutMs, error, &silent);
    // A server without TLS waits for the end of what it takes for a
    // command line; asked in plain text, it answers.
    if (session == nullptr && silent && answersPlain(endpoint, timeoutMs)) *error = kPlainServer;
    if (session == nullptr) return nullptr;
  }
  return std::make_unique<RedisConnection>(std::move(context), endpoint.text(),
                                           std::move(session));
}

std::string sessionError(RedisConnection& connection, const RedisEndpoint& server,
                         int timeoutMs) {
  bool timedOut = false;
  const std::string why = contextError(connection.context(), timeoutMs, &timedOut);
  const int err = connection.context()->err;
  // The session's own words are longer than the context holds.
  if (connection.tls() && !timedOut && !connection.tlsFailure().empty()) {
    return connection.tlsFailure();
  }
  if (connection.tls() || timedOut || connection.received() > 0 ||
      (err != REDIS_ERR_IO && err != REDIS_ERR_EOF)) {
    return why;
  }
  // A TLS server cuts a client that speaks plain text without a word.
  std::string ignored;
  const Context probe = connectTcp(server, timeoutMs, &ignored);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (probe == nullptr || !answersTls(probe->fd, deadline)) return why;
  return why + ": the server speaks TLS (reach it with rediss://)";
}

}  // namespace kvpool
