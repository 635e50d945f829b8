// A message's pool operations in one round trip: planned here, then sent
// as GETs when they only read, else as one server-side script.
#include "redis/RedisExchange.h"

namespace kvpool {

// The message's operations, run in order, when any of them stores.
// KEYS[i] is the key of operation i; ARGV[1] is "1" when a missing key
// reads as empty, ARGV[2] the operation letters (G get, S store ARGV[i+2],
// R store what operation ARGV[i+2], counted from 0, read). The answer is
// {0, 0, values...}; {2, i} when operation i's key is missing; {5, i, error}
// when operation i failed: a store onto a key of another type replaces
// nothing, and the server refuses a script's write for memory (OOM) only at
// its first write. out[i+2] holds what operation i (from 1) read.
extern const char kBatchScript[] = R"lua(local a = ARGV
local ops = a[2]
local out = {0, 0}
for i = 1, #KEYS do
  local op = string.byte(ops, i)
  local key = KEYS[i]
  if op == 71 then
    local r = redis.pcall('GET', key)
    if type(r) == 'table' then
      return {5, i, r.err}
    end
    if not r then
      if a[1] ~= '1' then
        return {2, i}
      end
      r = ''
    end
    out[i + 2] = r
  else
    local t = redis.call('TYPE', key).ok
    if t ~= 'string' and t ~= 'none' then
      return {5, i, 'WRONGTYPE the key holds a ' .. t .. ', not a string: nothing stored'}
    end
    local v = a[i + 2]
    if op ~= 83 then
      v = out[tonumber(v) + 3]
    end
    local r = redis.pcall('SET', key, v)
    if r.err then
      return {5, i, r.err}
    end
    out[i + 2] = ''
  end
end
return out
)lua";

namespace {

// How a batch goes to the server: reads alone as GETs, pipelined (they stop
// only where one by one would); one store of known text first, then reads,
// as SET ... GET (which refuses a key of another type and replaces
// nothing) and GETs; anything else as the batch script, which checks each
// store's key. The first two cost the server a fraction of a script.
enum class BatchForm { kReads, kStoreThenReads, kScript };

// What the server is sent for a message's operations. A read of a key the
// message stored earlier takes the stored value (the message reads its own
// store, as one by one with nothing in between), so it needs no command,
// and a store of such a read stores the known value.
struct BatchPlan {
  std::vector<RemotePoolOp> server;  // kSetFromGet: source counts server operations
  std::vector<int> origin;           // server operation -> the message's operation
  // The message's operation -> the server operation whose value it holds
  // (a read, or a read it was answered from), or -1 for known text.
  std::vector<int> valueFrom;
  std::vector<std::string> known;  // the text where valueFrom is -1
  BatchForm form = BatchForm::kReads;
  // Stores of known text before any read: run twice, they leave what once
  // does, so they may be sent again after a connection failed.
  bool repeatable = true;
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
    // A store after a read (which may stop the batch, or have read what
    // the store replaces) or of a read's value differs when run twice.
    if (readSeen || sent.kind == RemotePoolOp::Kind::kSetFromGet) plan.repeatable = false;
    plan.form = plan.server.empty() && sent.kind == RemotePoolOp::Kind::kSet
                    ? BatchForm::kStoreThenReads
                    : BatchForm::kScript;
    plan.server.push_back(std::move(sent));
    plan.origin.push_back(static_cast<int>(i));
  }
  return plan;
}

// One attempt's commands for the plan, and the texts they point into.
struct BatchCommands {
  std::vector<Command> commands;
  std::string sha;  // the script's digest; empty: send the script itself
  std::string letters;
  std::string keyCount;
  std::vector<std::string> sources;
};

void buildCommands(const BatchPlan& plan, BatchForm form, const std::vector<std::string>& keys,
                   bool missingIsEmpty, BatchCommands* out) {
  const std::size_t count = plan.server.size();
  if (form != BatchForm::kScript) {
    for (std::size_t i = 0; i < count; ++i) {
      out->commands.push_back(plan.server[i].kind == RemotePoolOp::Kind::kGet
                                  ? Command{"GET", keys[i]}
                                  : Command{"SET", keys[i], plan.server[i].value, "GET"});
    }
    return;
  }
  out->sources.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    out->letters += static_cast<char>(plan.server[i].kind);
    if (plan.server[i].kind == RemotePoolOp::Kind::kSetFromGet) {
      out->sources[i] = decimalText(plan.server[i].source);
    }
  }
  out->keyCount = decimalText(static_cast<long>(count));
  Command script = {out->sha.empty() ? "EVAL" : "EVALSHA",
                    out->sha.empty() ? std::string_view(kBatchScript) : std::string_view(out->sha),
                    out->keyCount};
  for (const std::string& key : keys) script.push_back(key);
  script.push_back(missingIsEmpty ? "1" : "0");
  script.push_back(out->letters);
  for (std::size_t i = 0; i < count; ++i) {
    script.push_back(plan.server[i].kind == RemotePoolOp::Kind::kSet
                         ? std::string_view(plan.server[i].value)
                         : std::string_view(out->sources[i]));
  }
  out->commands.push_back(std::move(script));
}

// What the server answered, by server operation.
struct BatchAnswer {
  int result = KVPOOL_OK;
  int stoppedAt = -1;  // the server operation that stopped the batch
  std::vector<std::string> values;
  std::string failure;  // 5 and 8: the server's words
};

// The plain forms' replies: a store's (SET ... GET: the old value, or nil
// for none; either way stored) and the reads' (a string is a value, nil a
// missing key). An error stops the batch with 5 at its operation (8 for a
// store refused for memory), and so does an answer of another kind, from a
// server that is not to be trusted further.
Outcome readPlain(const std::vector<Reply>& replies, bool storeFirst, bool missingIsEmpty,
                  BatchAnswer* answer) {
  for (std::size_t r = 0; r < replies.size(); ++r) {
    const redisReply* reply = replies[r].get();
    const bool store = storeFirst && r == 0;
    const bool nil = reply->type == REDIS_REPLY_NIL;
    if (reply->type == REDIS_REPLY_STRING || (nil && (store || missingIsEmpty))) {
      answer->values.emplace_back(store || nil ? std::string_view() : replyText(reply));
      continue;
    }
    answer->stoppedAt = static_cast<int>(r);
    if (nil) {
      answer->result = KVPOOL_KEY_NOT_FOUND;
      return Outcome::kDone;
    }
    answer->result = KVPOOL_POOL_UNAVAILABLE;
    if (isError(reply)) {
      answer->failure = std::string(replyText(reply));
      if (store && startsWith(answer->failure, "OOM")) answer->result = KVPOOL_POOL_FULL;
      return refusesService(answer->failure) ? Outcome::kRefused : Outcome::kDone;
    }
    answer->failure = std::string("unexpected answer to ") + (store ? "SET" : "GET") + ": " +
                      describeReply(reply);
    return Outcome::kRefused;
  }
  return Outcome::kDone;
}

// The script's answer (see kBatchScript), or the error it ended with.
Outcome readScript(const redisReply* r, BatchAnswer* answer) {
  answer->result = KVPOOL_POOL_UNAVAILABLE;
  if (isError(r)) {
    answer->failure = std::string(replyText(r));
    return refusesService(answer->failure) ? Outcome::kRefused : Outcome::kDone;
  }
  answer->failure = "unexpected answer to the batch script";
  if (r->type != REDIS_REPLY_ARRAY || r->elements < 2 ||
      r->element[0]->type != REDIS_REPLY_INTEGER || r->element[1]->type != REDIS_REPLY_INTEGER) {
    return Outcome::kRefused;
  }
  const long long code = r->element[0]->integer;
  if (code == KVPOOL_OK) {
    for (std::size_t i = 2; i < r->elements; ++i) {
      if (r->element[i]->type != REDIS_REPLY_STRING) return Outcome::kRefused;
      answer->values.emplace_back(replyText(r->element[i]));
    }
    answer->failure.clear();
    answer->result = KVPOOL_OK;
    return Outcome::kDone;
  }
  answer->stoppedAt = static_cast<int>(r->element[1]->integer) - 1;
  if (code == KVPOOL_KEY_NOT_FOUND && r->elements == 2) {
    answer->failure.clear();
    answer->result = KVPOOL_KEY_NOT_FOUND;
    return Outcome::kDone;
  }
  if (code != KVPOOL_POOL_UNAVAILABLE || r->elements != 3 ||
      r->element[2]->type != REDIS_REPLY_STRING) {
    return Outcome::kRefused;
  }
  answer->failure = std::string(replyText(r->element[2]));
  if (startsWith(answer->failure, "OOM")) answer->result = KVPOOL_POOL_FULL;
  return refusesService(answer->failure) ? Outcome::kRefused : Outcome::kDone;
}

// The reason of a 5 or an 8: the backend, the key it stopped at, the
// server's words.
std::string failureText(const BatchPlan& plan, const BatchAnswer& got, const std::string& name) {
  const auto stoppedAt = static_cast<std::size_t>(got.stoppedAt);
  const bool named = got.stoppedAt >= 0 && stoppedAt < plan.server.size();
  return name + ": " + (named ? plan.server[stoppedAt].key + ": " : "") + got.failure;
}

// The message's reply from the server's answer (or its failure).
void finishBatch(const std::vector<RemotePoolOp>& ops, const BatchPlan& plan, bool ok,
                 const BatchAnswer& got, const std::string& name, RemoteBatchReply* answer) {
  const std::size_t count = plan.server.size();
  const auto stoppedAt = static_cast<std::size_t>(got.stoppedAt);
  answer->failedOp = got.stoppedAt >= 0 && stoppedAt < count ? plan.origin[stoppedAt] : -1;
  answer->result = KVPOOL_POOL_UNAVAILABLE;
  if (!ok) return;
  if (got.result == KVPOOL_POOL_UNAVAILABLE || got.result == KVPOOL_POOL_FULL) {
    answer->result = got.result;
    answer->error = failureText(plan, got, name);
    return;
  }
  if (got.result != KVPOOL_OK ? answer->failedOp < 0 : got.values.size() != count) {
    answer->error = name + ": unexpected answer to the batch";
    return;
  }
  answer->result = got.result;
  if (got.result != KVPOOL_OK) return;
  answer->values.resize(ops.size());
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (ops[i].kind != RemotePoolOp::Kind::kGet) continue;
    const int from = plan.valueFrom[i];
    answer->values[i] = from < 0 ? plan.known[i] : got.values[static_cast<std::size_t>(from)];
  }
}

// One batch's request as the connection carries it.
struct BatchRequest {
  const BatchPlan& plan;
  const std::vector<std::string>& keys;  // prefixed
  bool missingIsEmpty;
  bool withRole;  // the master's ROLE after it
  int timeoutMs;
  ReplyBounds bounds;
};

// Sends the batch in its form, or as the script itself when the server
// cannot take that form (NOSCRIPT: it lost the script; a syntax error: a
// server older than SET ... GET), neither of which ran anything. *form is
// the form answered; false when the connection failed.
bool sendBatch(RedisConnection& connection, const BatchRequest& request, const std::string& sha,
               BatchForm* form, std::vector<Reply>* replies) {
  BatchCommands sent;
  sent.sha = sha;
  *form = request.plan.form;
  for (int attempt = 0; attempt < 2; ++attempt) {
    buildCommands(request.plan, *form, request.keys, request.missingIsEmpty, &sent);
    if (request.withRole) sent.commands.push_back({"ROLE"});
    if (!pipeline(connection, sent.commands, request.timeoutMs, request.bounds, replies)) {
      return false;
    }
    const redisReply* first = replies->front().get();
    const std::string_view refusal = isError(first) ? replyText(first) : std::string_view();
    if (!(*form == BatchForm::kScript && startsWith(refusal, "NOSCRIPT")) &&
        !(*form == BatchForm::kStoreThenReads && startsWith(refusal, "ERR syntax error"))) {
      break;
    }
    sent = BatchCommands();  // no digest: the script itself
    *form = BatchForm::kScript;
  }
  return true;
}

// A store refused for a key that holds another type, said as the script
// says it, naming the type.
void nameType(RedisConnection& connection, const std::string& key, int timeoutMs,
              BatchAnswer* answer) {
  const Reply type = single(connection, {"TYPE", key}, timeoutMs);
  if (type != nullptr && type->type == REDIS_REPLY_STATUS) {
    answer->failure = "WRONGTYPE the key holds a " + std::string(replyText(type.get())) +
                      ", not a string: nothing stored";
  }
}

}  // namespace

RemoteBatchReply RedisPool::runBatch(const std::vector<RemotePoolOp>& ops, bool missingIsEmpty) {
  RemoteBatchReply answer;
  const BatchPlan plan = planBatch(ops);
  const std::size_t count = plan.server.size();
  std::vector<std::string> keys;
  keys.reserve(count);
  for (const RemotePoolOp& op : plan.server) keys.push_back(config_.prefix + op.key);
  const std::string name = config_.describe();
  // Under sentinels the master's ROLE follows the stores in the same round
  // trip: a replica that left it may have been made the master.
  const bool reads = plan.form == BatchForm::kReads;
  const bool watchStores = !reads && config_.kind == BackendConfig::Kind::kSentinel;
  const BatchRequest request = {plan,
                                keys,
                                missingIsEmpty,
                                watchStores,
                                config_.timeoutMs,
                                messageBounds(count, watchStores)};
  BatchAnswer got;
  // A message whose every operation was answered here sends nothing.
  const bool ok =
      count == 0 ||
      exchange(
          [&](Connection& connection, std::string* error) {
            got = BatchAnswer();
            std::string sha;
            {
              const std::lock_guard<std::mutex> lock(mutex_);
              sha = scriptSha_;
            }
            BatchForm form = plan.form;
            std::vector<Reply> replies;
            if (!sendBatch(connection, request, sha, &form, &replies)) return Outcome::kLost;
            Reply role;
            if (watchStores) {
              role = std::move(replies.back());
              replies.pop_back();
            }
            const Outcome outcome =
                form == BatchForm::kScript
                    ? readScript(replies[0].get(), &got)
                    : readPlain(replies, form == BatchForm::kStoreThenReads, missingIsEmpty, &got);
            if (form == BatchForm::kStoreThenReads && got.stoppedAt == 0 &&
                startsWith(got.failure, "WRONGTYPE")) {
              nameType(connection, keys[0], config_.timeoutMs, &got);
            }
            if (watchStores && !replicasStayed(connection, role.get(), error)) {
              got = BatchAnswer();
              *error = name + ": " + *error + kOutcomeUnknown;
              return Outcome::kRefused;
            }
            if (outcome != Outcome::kDone) *error = failureText(plan, got, name);
            return outcome;
          },
          &answer.error,
          reads             ? Request::kRead
          : plan.repeatable ? Request::kRepeatable
                            : Request::kOnce);
  finishBatch(ops, plan, ok, got, name, &answer);
  return answer;
}

}  // namespace kvpool
