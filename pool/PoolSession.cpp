// A message's pool session on shared memory (at once) and on Redis (one batch).
#include "pool/PoolSession.h"

#include "pool/PoolAccess.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

// The process's pool could not be looked up again: the call fails as the
// exported one does, before touching the pool.
PoolOutcome notLookedUp(const char* function) {
  Log("  >%s: the pool's lock cannot be taken, nothing done\n", function);
  return {KVPOOL_POOL_UNAVAILABLE, getKvPoolUnavailableText()};
}

// The pool layer keeps the reason of its last failed lock for this thread.
PoolOutcome outcomeOf(int result) {
  if (result != KVPOOL_POOL_UNAVAILABLE) return {result, {}};
  return {result, getKvPoolUnavailableText()};
}

const std::string kNoAnswer;

}  // namespace

PoolSession::PoolSession(bool missingIsEmpty)
    : batched_(processPoolBackend() != sharedMemoryBackend()), missingIsEmpty_(missingIsEmpty) {}

PoolRead PoolSession::get(const char* key) {
  PoolRead read;
  if (batched_) {
    ops_.push_back({RemotePoolOp::Kind::kGet, key, {}, -1});
    read.pending = static_cast<int>(ops_.size()) - 1;
    return read;
  }
  const ProcessPoolCall call;
  if (!call.available()) {
    read.outcome = notLookedUp("getKvPoolDataBlock");
    return read;
  }
  PoolBlockRequest request{};
  read.outcome = outcomeOf(getPoolValue(call.view(), &request, key));
  if (read.outcome.result == KVPOOL_OK) read.value.reset(request.value);
  return read;
}

PoolOutcome PoolSession::store(const char* key, const char* value) {
  if (batched_) {
    ops_.push_back({RemotePoolOp::Kind::kSet, key, value, -1});
    return {};
  }
  const ProcessPoolCall call;
  if (!call.available()) return notLookedUp("storeKvPoolDataBlock");
  PoolBlockRequest request{};
  request.key = const_cast<char*>(key);
  request.value = const_cast<char*>(value);
  return outcomeOf(storePoolValue(call.view(), &request));
}

PoolOutcome PoolSession::storeRead(const char* key, int source) {
  // Nothing is pending on shared memory: a read's value is there at once.
  if (!batched_) return {KVPOOL_POOL_UNAVAILABLE, "shared memory: no pending read"};
  ops_.push_back({RemotePoolOp::Kind::kSetFromGet, key, {}, source});
  return {};
}

const std::string& PoolSession::answered(int pending) const {
  const auto index = static_cast<std::size_t>(pending);
  return batched_ && index < answered_.size() ? answered_[index] : kNoAnswer;
}

PoolOutcome PoolSession::finish() {
  if (ops_.empty()) return {};
  KvPoolBackend* backend = processPoolBackend();
  RemoteBatchReply reply = runBackendBatch(*backend, ops_, missingIsEmpty_);
  if (reply.error.empty() && (reply.result != KVPOOL_OK || reply.values.size() != ops_.size())) {
    reply.error = backendName(*backend) + ": unexpected answer";  // 5 always names the backend
  }
  Log("  redis batch of %d operations: result %d\n", static_cast<int>(ops_.size()), reply.result);
  std::vector<RemotePoolOp> sent;
  sent.swap(ops_);
  answered_ = reply.values;
  if (reply.result == KVPOOL_OK && answered_.size() == sent.size()) return {};
  const bool named = reply.failedOp >= 0 && static_cast<std::size_t>(reply.failedOp) < sent.size();
  if (reply.result == KVPOOL_KEY_NOT_FOUND && named) {
    return {KVPOOL_KEY_NOT_FOUND, sent[static_cast<std::size_t>(reply.failedOp)].key};
  }
  // The stores before the refused one ran, possibly in an earlier batch of
  // the message: the key says where it stopped.
  if (reply.result == KVPOOL_POOL_FULL) {
    return {KVPOOL_POOL_FULL, named ? sent[static_cast<std::size_t>(reply.failedOp)].key : ""};
  }
  return {KVPOOL_POOL_UNAVAILABLE, reply.error};
}

}  // namespace kvpool
