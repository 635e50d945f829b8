// The pool as one message's script sees it: a session of reads and stores,
// finished once the message's statements have run. On shared memory every
// operation acts at once, through the process's own pool (a ProcessPoolCall)
// with the lock, the trace and the results of the exported calls. On Redis
// the session only collects them: a read hands back a reference to a value
// still to come (PoolRead::pending), stores are queued, and finish sends the
// queue in one round trip. A caller written for Redis serves shared memory
// unchanged. A session belongs to one thread and one message.
#ifndef KVPOOL_POOL_POOLSESSION_H
#define KVPOOL_POOL_POOLSESSION_H

#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolBackend.h"
#include "support/MallocPtr.h"

namespace kvpool {

// What a pool operation came to: 0 done (or queued), 2 a key is missing,
// 5 the pool cannot be used, 8 the pool is full. reason: on 5 the failed
// system call (on Redis: the backend, the key where one failed, and the
// error); on 2 from finish, the key that was missing; on 8 from finish, the
// key whose store was refused; else empty.
struct PoolOutcome {
  int result = KVPOOL_OK;
  std::string reason;
};

// A read: 0 with its value (malloc'd, handed over), or with pending >= 0 the
// reference of a value that finish brings; 2 or 5 as PoolOutcome.
struct PoolRead {
  PoolOutcome outcome;
  MallocPtr<char> value;
  int pending = -1;
};

// The session of one message on the process's pool, wherever it lives.
class PoolSession {
 public:
  // missingIsEmpty: a missing key reads as empty text on Redis (on shared
  // memory the caller sees 2 and decides).
  explicit PoolSession(bool missingIsEmpty);
  PoolSession(const PoolSession&) = delete;
  PoolSession& operator=(const PoolSession&) = delete;
  // Reads key.
  PoolRead get(const char* key);
  // Stores value under key: 0, 5 or 8.
  PoolOutcome store(const char* key, const char* value);
  // Stores under key what the pending read source brings (Redis only).
  PoolOutcome storeRead(const char* key, int source);
  // Whether operations wait for finish.
  bool queued() const { return !ops_.empty(); }
  // Sends what is queued: 0 when all of it ran (answered() then holds the
  // values of its reads); else the result of the operation it stopped at
  // (2, 8, 5), the ones before it done. The queue is empty afterwards.
  PoolOutcome finish();
  // What the pending read brought, after a finish that returned 0.
  const std::string& answered(int pending) const;

 private:
  bool batched_;  // on Redis: operations are collected and sent together
  bool missingIsEmpty_;
  std::vector<RemotePoolOp> ops_;
  std::vector<std::string> answered_;  // the values of the last batch sent
};

// The script run's hold on its message's session.
class MessagePoolSession {
 public:
  explicit MessagePoolSession(bool missingIsEmpty) : session_(missingIsEmpty) {}
  PoolSession& session() { return session_; }

 private:
  PoolSession session_;
};

}  // namespace kvpool

#endif
