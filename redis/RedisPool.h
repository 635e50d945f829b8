// The pool on a Redis server (KVPOOL_BACKEND=redis://..., pool/PoolBackend.h):
// every pool key is a Redis string key, the prefix put before it. A
// message's pool operations travel together in one round trip: reads alone
// as GETs, one store and reads after it as SET ... GET and GETs, anything
// else as one server-side script (EVALSHA, EVAL when the server does not
// know it); a store never replaces a value of another type.
//
// The pool's keys are the prefix followed by KvPool (every key a script can
// name starts so); nothing else of the database is touched.
//
// Results: 0, 2 not found, 8 the server refused a write for lack of memory
// (OOM), 5 the server cannot be reached, gave no answer within the timeout,
// sent an answer larger than the caller can use, of the wrong kind or an
// error answer, refused the password, or is no master; with 5 comes a text
// naming the backend (host:port, never the password), the key where one
// failed, and the error. A request that went out and got no answer may have
// run: its text then ends in "outcome unknown" (kOutcomeUnknown).
//
// Connections are made when first needed and kept for the next call; one
// that failed, or holds bytes nobody asked for, is dropped. A kept
// connection is checked without waiting before it is used, and one the
// server closed is replaced before anything is sent; one that dies during a
// call is replaced once within it, unless the call's request went out and
// must not run twice. Under redis-sentinel:// every new connection asks the
// sentinels for the master, in turn until one names a master that serves,
// and the master is confirmed by them at least once a timeout, and by its
// replicas when one leaves it (RedisMaster.cpp). A RedisPool may be used by
// any number of threads at once, each call on a connection of its own;
// after fork, a child drops the connections it inherited. Under rediss://
// every connection, to a sentinel or a master, speaks TLS with the same
// settings (redis/RedisTls.h).
#ifndef KVPOOL_REDIS_REDISPOOL_H
#define KVPOOL_REDIS_REDISPOOL_H

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/PoolBackend.h"
#include "pool/SnapshotFile.h"

struct redisReply;

namespace kvpool {

class RedisConnection;
class TlsContext;
using Clock = std::chrono::steady_clock;

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

  // One read: 0 with *value, 2 no such key (or one that is no pool key), 5
  // with *error.
  int get(const std::string& key, std::string* value, std::string* error);
  // One store, as a batch of one: 0, 8 or 5 with *error; 4 with *error for a
  // key that is no pool key (it does not start with KvPool).
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
  using Connection = RedisConnection;
  // What a request does, which decides whether it may be sent again after
  // its bytes went out on a connection that then failed.
  enum class Request {
    kRead,        // changes nothing
    kRepeatable,  // stores what it stores however often it runs
    kOnce,        // must run at most once: a read then a store, a count of deletes
  };
  // Where the connections go under sentinels, and what the sentinels and
  // the master last said (RedisMaster.cpp).
  struct MasterWatch {
    RedisEndpoint master;
    unsigned generation = 0;  // a new master makes connections of an older one go
    Clock::time_point confirmedAt{};
    std::vector<std::string> replicas;  // "host:port" attached at the last look
    std::string promoted;      // a replica of master found a master itself: master is refused
    std::size_t sentinel = 0;  // the one that named master, asked first to confirm it
  };

  std::unique_ptr<Connection> connect(std::string* error);
  // Under TLS the settings' certificates, loaded at the first connection
  // (again at the next one when they could not be); null without TLS, or
  // with *why when they cannot be loaded.
  const TlsContext* tlsContext(std::string* why);
  // The session set up on a new connection to server; null with *why.
  std::unique_ptr<Connection> openSession(const RedisEndpoint& server, std::string* why);
  std::unique_ptr<Connection> acquire(std::string* error);
  void release(std::unique_ptr<Connection> connection);
  // Under sentinels, once a timeout has passed since they last named the
  // master: asks them again, and a new master makes every kept connection go.
  void confirmMaster();
  // After a store on connection, given the master's ROLE answered with it:
  // true when every replica attached before still is, or one that left is
  // no master; false with *why when one that left is a master now.
  bool replicasStayed(const Connection& connection, const redisReply* role, std::string* why);
  // Runs one exchange on a kept connection or a new one; a kept one that
  // proves dead is replaced once, unless a kOnce request went out on it.
  template <typename Exchange>
  bool exchange(Exchange&& run, std::string* error, Request request = Request::kRead);

  BackendConfig config_;
  std::unique_ptr<TlsContext> tls_;  // set once, under mutex_
  std::string scriptSha_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
  unsigned forkGeneration_;  // the process's forks when the connections were made
  MasterWatch watch_;
};

}  // namespace kvpool

#endif
