// Where a process keeps its pool: the machine's shared memory (the default,
// pool/KvPoolShm.h) or a Redis server that processes on several machines
// share (pool/RedisPool.h).
//
//   KVPOOL_BACKEND        unset or empty: shared memory
//                         redis://[[USER]:PASSWORD@]HOST:PORT[/DB]
//                         redis-sentinel://[[USER]:PASSWORD@]HOST:PORT[,HOST:PORT...]/MASTER[/DB]
//                         (USER: a user of the server's access control lists)
//   KVPOOL_REDIS_PREFIX   put before every key (default empty), so that
//                         several pools can share one Redis database
//   KVPOOL_REDIS_TIMEOUT_MS  the bound of every step: connecting, the
//                         setup round trip, each exchange with its whole
//                         answer (default 500, 1 to 600000)
//
// The choice is made when a process creates a node context while it has none
// alive, and holds as long as any of its node contexts lives. On Redis the pool
// outlives the node contexts: no segment, semaphore set or user slot is made.
//
// Thread safety: the choice is taken under a mutex; the process's RedisPool
// (pool/RedisPool.h) is safe for concurrent use.
#ifndef KVPOOL_POOL_POOLBACKEND_H
#define KVPOOL_POOL_POOLBACKEND_H

#include <string>
#include <vector>

namespace kvpool {

struct RedisEndpoint {
  std::string host;
  int port = 0;
  // "host:port" ("[host]:port" for an IPv6 address).
  std::string text() const;
};

struct BackendConfig {
  enum class Kind { kSharedMemory, kRedis, kSentinel };
  Kind kind = Kind::kSharedMemory;
  RedisEndpoint server;                  // kRedis
  std::vector<RedisEndpoint> sentinels;  // kSentinel, asked in this order
  std::string master;                    // kSentinel: the name the sentinels watch
  std::string user;                      // empty: the password alone (AUTH PASSWORD)
  std::string password;                  // never printed
  int database = 0;
  std::string prefix;
  int timeoutMs = 500;

  bool remote() const { return kind != Kind::kSharedMemory; }
  // What events and tools name: "redis 127.0.0.1:6379" or
  // "redis-sentinel mymaster via 127.0.0.1:26379,127.0.0.1:26380"; never the
  // password.
  std::string describe() const;
};

inline constexpr int kDefaultRedisTimeoutMs = 500;
inline constexpr int kMaxRedisTimeoutMs = 600000;
inline constexpr std::size_t kMaxRedisPrefixBytes = 1024;

// A number as decimal text. (std::to_string would export a table of its
// own from the plug-in.)
std::string decimalText(long value);

// Reads the three settings (null: unset). False with *problem saying what is
// wrong, naming the variable and its value with any password masked.
bool parseBackendConfig(const char* backend, const char* prefix, const char* timeoutMs,
                        BackendConfig* config, std::string* problem);
// The same from the process's environment.
bool readBackendConfig(BackendConfig* config, std::string* problem);

// At node creation: with no node context alive in the process, reads the
// environment and makes the choice; otherwise keeps the one made. False
// with *problem when the settings are malformed (the choice is then
// unchanged). Every true answer is followed by takeRemotePoolUser (on Redis)
// or the shared-memory attach, and node deletion by the matching release.
bool selectPoolBackend(std::string* problem);
// True when this process's pool is on Redis. Before any node context chose,
// the environment decides (a malformed one means shared memory).
bool processPoolOnRedis();
// Node contexts of this process that use the pool on Redis.
void takeRemotePoolUser();
void releaseRemotePoolUser();
int remotePoolUsers();

}  // namespace kvpool

#endif
