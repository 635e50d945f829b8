// One round trip with a Redis server, held to a deadline and to bounds: the
// commands are sent and their replies read against one monotonic deadline
// for the whole step (a socket timeout alone bounds each read, so a server
// that trickles its answer would hold a caller forever), and a reply that
// announces more than the caller can use is refused as soon as its length
// is read, before its bytes are.
//
// On a failure the context carries the reason, as hiredis reports its own
// (context->err, context->errstr): a wait that ran out reads as
// strerror(ETIMEDOUT), a reply over the bounds as REDIS_ERR_PROTOCOL. The
// connection is not to be used again after either.
#ifndef KVPOOL_REDIS_REDISREPLY_H
#define KVPOOL_REDIS_REDISREPLY_H

#include <hiredis/hiredis.h>

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace kvpool {

struct ReplyFree {
  void operator()(redisReply* reply) const noexcept {
    if (reply != nullptr) freeReplyObject(reply);
  }
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

// Sends the commands together and reads one reply each within timeoutMs
// (one deadline for all of it); false (replies incomplete, the reason on
// the context) when the connection failed, the time ran out or a reply
// broke the bounds.
bool pipeline(redisContext* context, const std::vector<Command>& commands, int timeoutMs,
              const ReplyBounds& bounds, std::vector<Reply>* replies);

}  // namespace kvpool

#endif
