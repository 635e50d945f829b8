// The pool on a Redis server (KVPOOL_BACKEND=redis://..., pool/PoolBackend.h):
// every pool key is a Redis string key, the prefix put before it. A
// message's pool operations travel together in one round trip, plain or as
// one server-side script (EVALSHA, EVAL when the server does not know it).
//
// The pool's keys are the prefix followed by KvPool (every key a script can
// name starts so); nothing else of the database is touched.
//
// Results: 0, 2 not found, 8 the server refused a write for lack of memory
// (OOM), 5 the server cannot be reached, gave no answer within the timeout,
// sent an answer larger than the caller can use or an error answer, refused
// the password, or is no master; with 5 comes a text naming the backend
// (host:port, never the password) and the error.
//
// Connections are made when first needed and kept for the next call; one
// that failed is dropped. A kept connection found dead (the server restarted)
// is replaced once within the same call. Under redis-sentinel:// every new
// connection asks the sentinels for the current master. A RedisPool may be
// used by any number of threads at once, each call on a connection of its
// own; after fork, a child drops the connections it inherited.
#ifndef KVPOOL_REDIS_REDISPOOL_H
#define KVPOOL_REDIS_REDISPOOL_H

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/PoolBackend.h"
#include "pool/SnapshotFile.h"

namespace kvpool {

class RedisPool {
 public:
  explicit RedisPool(BackendConfig config);
  ~RedisPool();
  RedisPool(const RedisPool&) = delete;
  RedisPool& operator=(const RedisPool&) = delete;

  const BackendConfig& config() const { return config_; }

  // Runs the operations in order on the server, in one round trip: a kGet
  // of a missing key stops the batch with 2 unless missingIsEmpty; a store
  // refused for memory stops it with 8; stores before the stop stay.
  RemoteBatchReply runBatch(const std::vector<RemotePoolOp>& ops, bool missingIsEmpty);

  // One GET: 0 with *value, 2 no such key (or one that is no pool key), 5
  // with *error.
  int get(const std::string& key, std::string* value, std::string* error);
  // One SET: 0, 8 or 5 with *error; 4 with *error for a key that is no pool
  // key (it does not start with KvPool).
  int set(const std::string& key, const std::string& value, std::string* error);

  // The tools' access, each false with *error when the server cannot be used.
  // Every pool key (the prefix followed by KvPool; prefix removed), sorted
  // bytewise, in a bounded scan: at most 1024 round trips, none started
  // after 64 times the timeout, at most what the largest snapshot holds.
  // *note counts keys the server named that are not the pool's (left out).
  bool listKeys(std::vector<std::string>* keys, std::string* note, std::string* error);
  // The values of keys, pipelined; none for a key that is gone or holds no
  // string (*wrongType lists those, when given).
  bool readValues(const std::vector<std::string>& keys,
                  std::vector<std::optional<std::string>>* values,
                  std::vector<std::string>* wrongType, std::string* error);
  // Stores every pair in one transaction (MULTI/EXEC), its step given time
  // for the bytes and stores sent; every answer read. 0 when EXEC made every
  // store; 8 when memory ran out (the transaction is discarded); 4 with
  // *error, nothing sent, for a key that is no pool key; 5 with *error
  // otherwise (saying when some stores were made).
  int storeValues(const std::vector<std::pair<std::string, std::string>>& pairs,
                  std::string* error);
  // Deletes keys (without the prefix); a key that is no pool key is left
  // alone. *deleted counts the ones that existed.
  bool deleteKeys(const std::vector<std::string>& keys, long* deleted, std::string* error);
  // The server's INFO text for a section ("server", "memory"...), and where
  // the answering server is ("127.0.0.1:6379").
  bool info(const std::string& section, std::string* text, std::string* where, std::string* error);

 private:
  class Connection;
  // One GET (value given: 0 with *value, or 2) or SET (null: 0, or 8 when
  // refused for memory); 5 with *error.
  int oneKey(const std::vector<std::string_view>& command, std::string* value, std::string* error);
  std::unique_ptr<Connection> connect(std::string* error);
  std::unique_ptr<Connection> acquire(std::string* error);
  void release(std::unique_ptr<Connection> connection);
  // Runs one exchange on a kept connection or a new one; a kept one that
  // proves dead is replaced once.
  template <typename Exchange>
  bool exchange(Exchange&& run, std::string* error);

  BackendConfig config_;
  std::string scriptSha_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
  unsigned forkGeneration_;  // the process's forks when the connections were made
};

}  // namespace kvpool

#endif
