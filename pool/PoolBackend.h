// Where a process keeps its pool: the machine's shared memory (the default,
// pool/KvPoolShm.h) or a Redis server that processes on several machines
// share; and the one table of operations through which every caller reaches
// either.
//   KVPOOL_BACKEND           unset or empty: shared memory
//                            redis://[[USER]:PASSWORD@]HOST[:PORT][/DB]
//                            redis-sentinel://[[USER]:PASSWORD@]HOST[:PORT][,HOST[:PORT]...]/MASTER[/DB]
//                            rediss:// and rediss-sentinel://: the same over TLS
//                            (a port left out: 6379 for a server, 26379 for a sentinel)
//   KVPOOL_REDIS_PREFIX      put before every key (default empty); holds no
//                            "KvPool", so that no pool's keys are another's
//   KVPOOL_REDIS_TIMEOUT_MS  the bound of every step, each exchange with its
//                            whole answer (default 500, 1 to 600000)
//   KVPOOL_REDIS_TLS_CA, _CERT, _KEY, _SERVER_NAME, _VERIFY
//                            with rediss: the certificates the server's is
//                            checked against (a file or a folder; default the
//                            system's), the client's certificate and key, the
//                            name checked and sent instead of each host, and
//                            "off" to check no certificate (readTlsSettings)
// The choice is made when a process creates a node context while it has none
// alive, and holds as long as any of its node contexts lives. On Redis no
// segment, semaphore set or user slot is made. The choice is taken under a
// mutex; every backend's table is safe for concurrent use.
#ifndef KVPOOL_POOL_POOLBACKEND_H
#define KVPOOL_POOL_POOLBACKEND_H

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pool/KvPoolShm.h"

// The pool's operations as one table that every backend fills in: shared
// memory inside the plug-in, Redis in the module libKvPoolRedis.so. Plain C
// records: the layout is part of the contract between the plug-in and the
// module (a version field, and a size field where the record has one; new
// members only at the end). Each side checks a record the other hands it
// before it uses any of it (backendTableProblem below). Every call returns
// a KvPoolOutcome value: the result code (pool/KvPoolShm.h: 0, 2 not found,
// 4 a key the backend does not take, 5 unavailable, 8 full) and, when not 0,
// a reason naming the step, the object and the system's or the server's
// reason (never a password); with 0 a listing's reason may be a note worth
// telling (keys it left out), else it is empty.
//
// Texts passed in belong to the caller for the call's duration; texts a
// call hands out go to a sink, one put per text, valid during the put only.
extern "C" {

struct KvPoolText {
  const char* bytes;
  uint64_t length;  // in bytes
};

struct KvPoolSink {
  void* context;
  // present 0: no value (a key gone, or one that holds no string).
  void (*put)(void* context, const char* bytes, uint64_t length, int32_t present);
};

struct KvPoolOutcome {
  int32_t code;
  char reason[508];  // NUL-terminated; empty when code is 0
};

// One operation of a message's batch, in statement order.
enum KvPoolOpKind : int32_t { kKvPoolOpGet = 'G', kKvPoolOpSet = 'S', kKvPoolOpSetFromGet = 'R' };
struct KvPoolOp {
  int32_t kind;    // KvPoolOpKind
  int32_t source;  // kKvPoolOpSetFromGet: the index of the earlier get whose value is stored
  KvPoolText key;
  KvPoolText value;  // kKvPoolOpSet
};

struct KvPoolBackend;

inline constexpr int32_t kKvPoolBackendVersion = 1;

struct KvPoolBackendMethods {
  int32_t version;  // kKvPoolBackendVersion or later
  int32_t size;     // sizeof the table as its maker built it (a later one has more entries)
  // 0 with the value put to *value, 2 no such key, 5.
  KvPoolOutcome (*get)(KvPoolBackend* backend, KvPoolText key, KvPoolSink* value);
  // 0, 8 no room, 5; 4 for a key that cannot be the pool's (on Redis one
  // that does not start with KvPool).
  KvPoolOutcome (*store)(KvPoolBackend* backend, KvPoolText key, KvPoolText value);
  // Deletes keys; *removed counts those that existed.
  KvPoolOutcome (*remove)(KvPoolBackend* backend, const KvPoolText* keys, uint64_t keyCount,
                          int64_t* removed);
  // Deletes every key of the pool; *removed counts them.
  KvPoolOutcome (*clear)(KvPoolBackend* backend, int64_t* removed);
  // Every key, sorted bytewise, one put each; a bounded scan.
  KvPoolOutcome (*listKeys)(KvPoolBackend* backend, KvPoolSink* keys);
  // One put per key, in order (present 0 for a key gone or holding no
  // string); wrongType (may be null) gets the keys that hold no string.
  KvPoolOutcome (*readMany)(KvPoolBackend* backend, const KvPoolText* keys, uint64_t keyCount,
                            KvPoolSink* values, KvPoolSink* wrongType);
  // All pairs or none where the backend can (8: nothing stored for memory;
  // 4: nothing stored, a key cannot be the pool's). A 5 says whether some
  // pairs were stored.
  KvPoolOutcome (*storeMany)(KvPoolBackend* backend, const KvPoolText* keys,
                             const KvPoolText* values, uint64_t pairCount);
  // A message's operations in order: a get of a missing key stops with 2
  // unless missingIsEmpty; a store refused for memory stops with 8; stores
  // before a stop stay. *failedOp: the operation it stopped at, or -1.
  // values: one put per operation that ran ("" for stores).
  KvPoolOutcome (*runBatch)(KvPoolBackend* backend, const KvPoolOp* ops, uint64_t opCount,
                            int32_t missingIsEmpty, int32_t* failedOp, KvPoolSink* values);
  // section null: one put, what events and tools name ("shared memory",
  // "redis 127.0.0.1:6379"). Else the server's facts of that section
  // ("server", "memory"): two puts, where the answering server is, then
  // its text; 5 for a backend with no server.
  KvPoolOutcome (*describe)(KvPoolBackend* backend, const char* section, KvPoolSink* facts);
  // Releases the backend; no call follows.
  void (*close)(KvPoolBackend* backend);
  // Optional (null: the core saves and loads through the calls above); every
  // entry above is required.
  // 0 or 1 as storeKvPoolToFile and initKvPoolFromFile return.
  int32_t (*saveSnapshot)(KvPoolBackend* backend);
  int32_t (*loadSnapshot)(KvPoolBackend* backend);
};

struct KvPoolBackend {
  const KvPoolBackendMethods* methods;
};

// What the Redis module (libKvPoolRedis.so) is handed by the plug-in: its
// trace, and the parsed settings. New members only at the end.
struct KvPoolRedisHost {
  int32_t version;                // kKvPoolBackendVersion
  int32_t size;                   // sizeof the record as the plug-in built it
  void (*log)(const char* line);  // one trace line, as formatted
};

struct KvPoolEndpoint {
  const char* host;
  int32_t port;
  int32_t reserved;
};

// The settings record's version: 2 adds the TLS members at its end and the
// kinds 3 and 4, so that a module older than TLS refuses a TLS setting (an
// unknown kind) instead of connecting without it.
inline constexpr int32_t kKvPoolRedisSettingsVersion = 2;

struct KvPoolRedisSettings {
  int32_t version;  // kKvPoolRedisSettingsVersion, or 1 (no TLS members)
  int32_t kind;     // 1 redis://, 2 redis-sentinel://, 3 rediss://, 4 rediss-sentinel://
  KvPoolEndpoint server;
  const KvPoolEndpoint* sentinels;
  uint64_t sentinelCount;
  const char* master;
  const char* user;
  const char* password;
  KvPoolText prefix;
  int32_t database;
  int32_t timeoutMs;
  // Version 2 on; a null text is unset.
  const char* tlsCa;          // a file or a folder of certificates; unset: the system's
  const char* tlsServerName;  // checked and sent as SNI instead of each host
  const char* tlsCert;        // the client's certificate (chain) and its key
  const char* tlsKey;
  int32_t tlsVerify;  // 0: the server's certificate is not checked
  int32_t reserved;
};

// The module's one exported function: a new backend on the settings, or
// null with *outcome saying why (5: a host or settings record it cannot
// read, or no memory). The host table outlives every backend.
typedef KvPoolBackend* (*KvPoolRedisOpen)(const KvPoolRedisHost* host,
                                          const KvPoolRedisSettings* settings,
                                          KvPoolOutcome* outcome);
#define KVPOOL_REDIS_OPEN_NAME "kvpoolRedisOpen"

}  // extern "C"

static_assert(sizeof(KvPoolRedisHost) == 8 + sizeof(void*) &&
              offsetof(KvPoolRedisHost, size) == 4 && offsetof(KvPoolRedisHost, log) == 8);
static_assert(sizeof(KvPoolEndpoint) == 16 && offsetof(KvPoolEndpoint, port) == 8);
static_assert(sizeof(KvPoolRedisSettings) == 128 && offsetof(KvPoolRedisSettings, server) == 8 &&
              offsetof(KvPoolRedisSettings, sentinels) == 24 &&
              offsetof(KvPoolRedisSettings, prefix) == 64 &&
              offsetof(KvPoolRedisSettings, timeoutMs) == 84 &&
              offsetof(KvPoolRedisSettings, tlsCa) == 88 &&
              offsetof(KvPoolRedisSettings, tlsKey) == 112 &&
              offsetof(KvPoolRedisSettings, tlsVerify) == 120);
static_assert(sizeof(KvPoolText) == 16 && offsetof(KvPoolText, length) == 8);
static_assert(sizeof(KvPoolSink) == 16 && offsetof(KvPoolSink, put) == 8);
static_assert(sizeof(KvPoolOutcome) == 512 && offsetof(KvPoolOutcome, reason) == 4);
static_assert(sizeof(KvPoolOp) == 40 && offsetof(KvPoolOp, source) == 4 &&
              offsetof(KvPoolOp, key) == 8 && offsetof(KvPoolOp, value) == 24);
static_assert(sizeof(KvPoolBackendMethods) == 8 + 12 * sizeof(void*) &&
              offsetof(KvPoolBackendMethods, size) == 4 &&
              offsetof(KvPoolBackendMethods, get) == 8 &&
              offsetof(KvPoolBackendMethods, close) == 8 + 9 * sizeof(void*) &&
              offsetof(KvPoolBackendMethods, loadSnapshot) == 8 + 11 * sizeof(void*));

namespace kvpool {

inline KvPoolText poolText(std::string_view text) {
  return {text.data(), text.size()};
}
inline std::string textOf(KvPoolText text) {
  return {text.bytes, text.length};
}
inline void putText(KvPoolSink* sink, std::string_view text, bool present = true) {
  if (sink != nullptr) sink->put(sink->context, text.data(), text.size(), present ? 1 : 0);
}
// The reason is cut to fit.
inline KvPoolOutcome poolOutcome(int code, std::string_view reason = {}) {
  KvPoolOutcome outcome{};
  outcome.code = code;
  reason.copy(outcome.reason, sizeof outcome.reason - 1);
  return outcome;
}

// What is wrong with a record the other side hands over, before any of it
// is used; "" when it can be used. A record of a later version may be
// larger; version 0, a size below what this side reads, and a null required
// entry of a table are refused. reader names this side in the text ("this
// plug-in"), which gives both sides' versions and sizes.
std::string backendTableProblem(const KvPoolBackendMethods* methods, const char* reader);
std::string redisHostProblem(const KvPoolRedisHost* host, const char* reader);
std::string redisSettingsProblem(const KvPoolRedisSettings* settings, const char* reader);
// Why a message's batch cannot run, "" when it can: a null list, or an
// operation of unknown kind, or a store of a read whose source is not an
// earlier get. *failedOp: that operation (-1 for the list).
std::string batchProblem(const KvPoolOp* ops, uint64_t opCount, int32_t* failedOp);

// A sink that collects what it is given.
class CollectingSink {
 public:
  CollectingSink();
  KvPoolSink* sink() { return &sink_; }
  std::vector<std::optional<std::string>>& texts() { return texts_; }
  std::vector<std::string> plainTexts() const;  // absent ones as ""
  std::string first() const;                    // "" when none

 private:
  KvPoolSink sink_;
  std::vector<std::optional<std::string>> texts_;
};

// One pool operation of a message, in statement order.
struct RemotePoolOp {
  enum class Kind : char { kGet = 'G', kSet = 'S', kSetFromGet = 'R' };
  Kind kind = Kind::kGet;
  std::string key;    // the pool key, without the prefix
  std::string value;  // kSet: the value to store
  int source = -1;    // kSetFromGet: the index of the earlier kGet whose value is stored
};

struct RemoteBatchReply {
  int result = 0;  // 0, 2, 8 or 5
  // The operation the batch stopped at (2, 8, and 5 once it ran); else -1.
  int failedOp = -1;
  // What each kGet read, by operation index ("" for a missing key when
  // missing keys read as empty, and for stores); as many as ran.
  std::vector<std::string> values;
  std::string error;  // 5 and 8: the backend, the key it stopped at, and the error
};

// What the backend's describe names, "" when it names nothing.
std::string backendName(KvPoolBackend& backend);

// The table's runBatch for C++ callers.
RemoteBatchReply runBackendBatch(KvPoolBackend& backend, const std::vector<RemotePoolOp>& ops,
                                 bool missingIsEmpty);

// The process's backend: the one node creation chose (selectPoolBackend),
// or, before any did, the one the environment names. Never null; valid while
// a node context lives. And the shared-memory one on the process's own pool.
KvPoolBackend* processPoolBackend();
KvPoolBackend* sharedMemoryBackend();
// The exported get and store on the process's own segment, as the
// shared-memory table does them but on the caller's texts.
int getProcessPoolValue(PoolBlockRequest* request, const char* key);
int storeProcessPoolValue(const char* key, const char* value);
// The record sizes a request reports for key and value (bytes, no NUL).
void setRequestLengths(PoolBlockRequest* request, std::size_t keyBytes, std::size_t valueBytes);

struct RedisEndpoint {
  std::string host;
  int port = 0;
  std::string text() const;  // "host:port" ("[host]:port" for an IPv6 address)
};

// TLS to Redis (rediss:// and rediss-sentinel://): every connection, to the
// sentinels and to the master they name, with the same settings.
struct TlsConfig {
  bool on = false;
  std::string ca;          // a file or a folder of certificates; empty: the system's
  std::string serverName;  // empty: each connection's host
  std::string cert;        // empty: no client certificate
  std::string key;         // the certificate's key; never printed
  bool verify = true;      // false only by KVPOOL_REDIS_TLS_VERIFY=off
  bool operator==(const TlsConfig&) const = default;
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
  std::string persistPath;  // KVPOOL_PERSIST (shared memory only); empty: unset
  TlsConfig tls;

  bool remote() const { return kind != Kind::kSharedMemory; }
  // What events and tools name: "redis 127.0.0.1:6379", "redis-sentinel
  // mymaster via 127.0.0.1:26379,127.0.0.1:26380" ("rediss" with TLS); never
  // the password.
  std::string describe() const;
};

inline constexpr int kMaxRedisTimeoutMs = 600000;
inline constexpr std::size_t kMaxRedisPrefixBytes = 1024;

// A number as decimal text (std::to_string would export a table of its own
// from the plug-in).
std::string decimalText(long value);

// Where a KVPOOL_BACKEND text may hold a password: the user
// information's password (or the whole of it without a colon), also in the
// typed-wrong forms "redis:/..." and "redis//..."; without an '@', the text
// after a colon that no port number follows ("redis://:PASSWORD").
struct BackendUrlSecret {
  std::size_t offset = 0;
  std::size_t length = 0;  // 0: none
};
BackendUrlSecret findBackendUrlSecret(std::string_view url);
// text with every occurrence of url's secret replaced by "***".
std::string maskedBackendText(std::string_view text, std::string_view url);

// Reads the three settings (null: unset), or with readBackendConfig the
// process's environment. False with *problem saying what is wrong, naming
// the variable and its value with any password masked.
bool parseBackendConfig(const char* backend, const char* prefix, const char* timeoutMs,
                        BackendConfig* config, std::string* problem);
bool readBackendConfig(BackendConfig* config, std::string* problem);
// The TLS settings' texts (null or empty: unset) into config, or with
// readTlsSettings the environment's (KVPOOL_REDIS_TLS_CA, _SERVER_NAME,
// _CERT, _KEY, _VERIFY). False with *problem naming the variable when one is
// set for a server reached without TLS, a certificate comes without its key
// or a key without its certificate, or _VERIFY is neither on nor off. The
// files are read by the module, when it first connects.
struct TlsTexts {
  const char* ca;
  const char* serverName;
  const char* cert;
  const char* key;
  const char* verify;
};
bool parseTlsSettings(const TlsTexts& texts, BackendConfig* config, std::string* problem);
bool readTlsSettings(BackendConfig* config, std::string* problem);
// Why every node context made with config logs a warning (event 22), or "":
// a server reached over TLS whose certificate is not checked.
std::string unverifiedTlsWarning(const BackendConfig& config);
// KVPOOL_PERSIST's text (null: unset, fine): an absolute path of a file,
// short enough for the names made beside it. False with *problem naming the
// variable and what is wrong.
bool checkPersistPath(const char* text, std::string* problem);
inline constexpr std::size_t kMaxPersistPathBytes = 3800;

// At node creation: with no node context alive in the process, reads the
// environment and makes the choice; otherwise keeps the one made. False
// (the choice unchanged) with *problem when the settings are malformed or
// name Redis while its module or hiredis cannot be loaded: *problem names
// the missing file and the package that brings it. Every true answer is
// followed by takeRemotePoolUser (on Redis) or the shared-memory attach, and
// node deletion by the matching release.
bool selectPoolBackend(std::string* problem);
// True when this process's pool is on Redis. Before any node context chose,
// the environment decides (a malformed one, or Redis without its module,
// means shared memory).
bool processPoolOnRedis();
// Node contexts of this process that use the pool on Redis.
void takeRemotePoolUser();
void releaseRemotePoolUser();
int remotePoolUsers();

// A new backend on the remote pool config names; null with *problem when it
// cannot be had. Closed by BackendClose.
KvPoolBackend* openRemoteBackend(const BackendConfig& config, std::string* problem);
struct BackendClose {
  void operator()(KvPoolBackend* backend) const { backend->methods->close(backend); }
};

}  // namespace kvpool

#endif
