// A message's pool operations in one round trip: planned here, then sent
// plain (stores, then reads, pipelined) or as one server-side script.
#include "redis/RedisExchange.h"

namespace kvpool {

// The message's operations, run in order, when they need the server to
// decide (planBatch). KEYS[i] is the key of operation i;
// ARGV[1] is "1" when a missing key reads as empty, ARGV[2] the operation
// letters (G get, S store ARGV[i+2], R store what operation ARGV[i+2],
// counted from 0, read). The answer is {0, 0, values...}, or {2, i} when
// operation i's key is missing; out[i+2] holds what operation i (from 1)
// read. A failing command ends the script with its error: the server
// refuses a script's write for memory (OOM) only at its first write, so
// then no store of the batch ran, as one by one.
extern const char kBatchScript[] = R"lua(local a = ARGV
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

// One attempt's commands for the plan, and the texts they point into.
struct BatchCommands {
  std::vector<Command> commands;
  std::string sha;  // the script's digest; empty: send the script itself
  std::string letters;
  std::string keyCount;
  std::vector<std::string> sources;
};

void buildCommands(const BatchPlan& plan, const std::vector<std::string>& keys, bool missingIsEmpty,
                   BatchCommands* out) {
  const std::size_t count = plan.server.size();
  if (plan.plain) {
    // The leading stores as one command, then the reads.
    if (plan.stores > 0) {
      Command store = {plan.stores == 1 ? "SET" : "MSET"};
      for (std::size_t i = 0; i < plan.stores; ++i) {
        store.push_back(keys[i]);
        store.push_back(plan.server[i].value);
      }
      out->commands.push_back(std::move(store));
    }
    for (std::size_t i = plan.stores; i < count; ++i) out->commands.push_back({"GET", keys[i]});
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
};

// The first error in order decides: a store refused for memory is 8 at the
// first store (none of them ran); any other is 5. False when none failed.
bool readError(const BatchPlan& plan, const std::vector<Reply>& replies, const std::string& name,
               BatchAnswer* answer, std::string* error, Outcome* outcome) {
  for (std::size_t r = 0; r < replies.size(); ++r) {
    const redisReply* reply = replies[r].get();
    if (!isError(reply)) continue;
    const std::string_view text = replyText(reply);
    *outcome = Outcome::kDone;
    if (startsWith(text, "OOM")) {
      answer->result = KVPOOL_POOL_FULL;
      for (std::size_t i = 0; i < plan.server.size() && answer->stoppedAt < 0; ++i) {
        if (plan.server[i].kind != RemotePoolOp::Kind::kGet)
          answer->stoppedAt = static_cast<int>(i);
      }
      return true;
    }
    // In the plain form the stores are the first reply, then one per read.
    if (plan.plain) {
      answer->stoppedAt = plan.stores == 0 ? static_cast<int>(r)
                          : r == 0         ? 0
                                           : static_cast<int>(plan.stores + r - 1);
    }
    *error = name + ": " + std::string(text);
    if (refusesService(text)) *outcome = Outcome::kRefused;
    return true;
  }
  return false;
}

void readPlain(const BatchPlan& plan, const std::vector<Reply>& replies, bool missingIsEmpty,
               BatchAnswer* answer) {
  for (std::size_t i = 0; i < plan.stores; ++i) answer->values.emplace_back();
  for (std::size_t r = plan.stores > 0 ? 1 : 0; r < replies.size(); ++r) {
    const redisReply* reply = replies[r].get();
    if (reply->type != REDIS_REPLY_NIL) {
      answer->values.emplace_back(replyText(reply));
    } else if (missingIsEmpty) {
      answer->values.emplace_back();
    } else {
      answer->result = KVPOOL_KEY_NOT_FOUND;
      answer->stoppedAt = static_cast<int>(answer->values.size());
      return;
    }
  }
}

void readScript(const redisReply* r, const std::string& name, BatchAnswer* answer,
                std::string* error) {
  if (r->type != REDIS_REPLY_ARRAY || r->elements < 2 ||
      r->element[0]->type != REDIS_REPLY_INTEGER || r->element[1]->type != REDIS_REPLY_INTEGER) {
    *error = name + ": unexpected answer to the batch script";
    return;
  }
  answer->result = static_cast<int>(r->element[0]->integer);
  if (answer->result != KVPOOL_OK) {
    answer->stoppedAt = static_cast<int>(r->element[1]->integer) - 1;
    return;
  }
  for (std::size_t i = 2; i < r->elements; ++i) {
    const redisReply* value = r->element[i];
    answer->values.emplace_back(value->type == REDIS_REPLY_STRING ? replyText(value)
                                                                  : std::string_view());
  }
}

// The message's reply from the server's answer (or its failure).
void finishBatch(const std::vector<RemotePoolOp>& ops, const BatchPlan& plan, bool ok,
                 const BatchAnswer& got, const std::string& name, RemoteBatchReply* answer) {
  const std::size_t count = plan.server.size();
  const auto stoppedAt = static_cast<std::size_t>(got.stoppedAt);
  answer->failedOp = got.stoppedAt >= 0 && stoppedAt < count ? plan.origin[stoppedAt] : -1;
  answer->result = KVPOOL_POOL_UNAVAILABLE;
  if (!ok || !answer->error.empty()) return;
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

}  // namespace

RemoteBatchReply RedisPool::runBatch(const std::vector<RemotePoolOp>& ops, bool missingIsEmpty) {
  RemoteBatchReply answer;
  const BatchPlan plan = planBatch(ops);
  const std::size_t count = plan.server.size();
  std::vector<std::string> keys;
  keys.reserve(count);
  for (const RemotePoolOp& op : plan.server) keys.push_back(config_.prefix + op.key);
  const std::string name = config_.describe();
  const ReplyBounds bounds = messageBounds(count);
  BatchAnswer got;
  // A message whose every operation was answered here sends nothing.
  const bool ok =
      count == 0 ||
      exchange(
          [&](Connection& connection, std::string* error) {
            got = BatchAnswer();
            BatchCommands sent;
            {
              const std::lock_guard<std::mutex> lock(mutex_);
              sent.sha = scriptSha_;
            }
            buildCommands(plan, keys, missingIsEmpty, &sent);
            std::vector<Reply> replies;
            if (!pipeline(connection.get(), sent.commands, config_.timeoutMs, bounds, &replies))
              return Outcome::kLost;
            if (!plan.plain && isError(replies[0].get()) &&
                startsWith(replyText(replies[0].get()), "NOSCRIPT")) {
              sent.commands[0][0] = "EVAL";
              sent.commands[0][1] = kBatchScript;
              if (!pipeline(connection.get(), sent.commands, config_.timeoutMs, bounds, &replies))
                return Outcome::kLost;
            }
            Outcome outcome = Outcome::kDone;
            if (readError(plan, replies, name, &got, error, &outcome)) return outcome;
            if (plan.plain) {
              readPlain(plan, replies, missingIsEmpty, &got);
            } else {
              readScript(replies[0].get(), name, &got, error);
            }
            return Outcome::kDone;
          },
          &answer.error);
  finishBatch(ops, plan, ok, got, name, &answer);
  return answer;
}

}  // namespace kvpool
