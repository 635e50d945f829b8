// The pool's Redis client against servers that do not play fair: an answer
// trickled a byte at a time ends at the step's deadline, an answer longer
// than the pool could hold is refused when its length arrives, an answer of
// the wrong kind is no value, and each drops the connection; servers that
// close connections or lose answers. And the snapshot calls' results on
// Redis.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "node_test_fixture.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolBackend.h"
#include "redis/RedisPool.h"
#include "support/redis_fakes.h"
#include "support/redis_server.h"

extern "C" KvPoolBackend* kvpoolRedisOpen(const KvPoolRedisHost* host,
                                          const KvPoolRedisSettings* settings,
                                          KvPoolOutcome* outcome);

namespace {

using kvtest::FakeServer;
using Op = kvpool::RemotePoolOp;

std::vector<std::string> bytesOf(const std::string& text) {
  std::vector<std::string> bytes;
  for (char c : text) bytes.emplace_back(1, c);
  return bytes;
}

// The pool on the server at port, or on the sentinel there watching "pool".
kvpool::BackendConfig configFor(int port, bool sentinel = false, const char* timeoutMs = "500") {
  kvpool::BackendConfig config;
  std::string problem;
  const std::string url = sentinel ? "redis-sentinel://127.0.0.1:" + std::to_string(port) + "/pool"
                                   : "redis://127.0.0.1:" + std::to_string(port);
  EXPECT_TRUE(kvpool::parseBackendConfig(url.c_str(), nullptr, timeoutMs, &config, &problem));
  return config;
}

// One call of the kind named; false when it failed, with the error.
bool call(kvpool::RedisPool& pool, const std::string& kind, std::string* error) {
  if (kind == "get") {
    std::string value;
    return pool.get("k", &value, error) == KVPOOL_OK;
  }
  if (kind == "store") {
    // Longer than the system takes in before the server can hang up.
    return pool.set("k", std::string(64 << 20, 's'), error) == KVPOOL_OK;
  }
  if (kind == "batch") {
    const kvpool::RemoteBatchReply reply =
        pool.runBatch({{kvpool::RemotePoolOp::Kind::kGet, "k", {}, -1}}, false);
    *error = reply.error;
    EXPECT_TRUE(reply.values.empty());
    return reply.result == KVPOOL_OK;
  }
  std::vector<std::optional<std::string>> values;
  return pool.readValues({"k"}, &values, nullptr, error);
}

TEST(RedisHostileServerTest, SlowOddOrOversizedAnswersFailTheStepAndDropTheConnection) {
  const std::string huge = "$1073741824\r\n" + std::string(64 * 1024, 'x');
  const struct {
    const char* name;
    bool answerSetup;
    std::vector<std::string> pieces;
    int pauseMs;
    const char* call;
    const char* error;
    bool sentinel = false;
  } cases[] = {
      {"a value trickled", true, bytesOf("$5\r\nhello\r\n"), 300, "get", "no answer within 500 ms"},
      {"a batch answer trickled", true, bytesOf("$1\r\nv\r\n"), 300, "batch",
       "no answer within 500 ms"},
      {"the setup trickled", false, bytesOf("$2\r\nab\r\n"), 300, "get", "no answer within 500 ms"},
      {"a value of 1 GB", true, {huge}, 0, "get", "answer refused: a string of 1073741824 bytes"},
      {"a batch of 1 GB", true, {huge}, 0, "batch", "answer refused: a string of 1073741824"},
      {"a value over the largest pool",
       true,
       {"$20480001\r\n"},
       0,
       "read",
       "a string of 20480001 bytes (at most 20480000)"},
      {"a value no record can hold",
       true,
       {"$20480000\r\n"},
       0,
       "get",
       "a string of 20480000 bytes (at most 20479974)"},
      {"an array of 2e9 elements",
       true,
       {"*2000000000\r\n"},
       0,
       "batch",
       "answer refused: more than 3 elements"},
      {"a hang-up while a store goes out", true, {""}, 0, "store", "redis 127.0.0.1:"},
      {"a status for a value", true, {"+OK\r\n"}, 0, "get", "unexpected answer to GET: status OK"},
      {"an integer for a value", true, {":42\r\n"}, 0, "batch", "GET: integer 42"},
      {"a sentinel naming port 6379x",
       false,
       {"*2\r\n$9\r\n127.0.0.1\r\n$5\r\n6379x\r\n"},
       0,
       "get",
       "named a master at port \"6379x\", not a port",
       true},
      {"a sentinel naming port 0",
       false,
       {"*2\r\n$9\r\n127.0.0.1\r\n$1\r\n0\r\n"},
       0,
       "get",
       "named a master at port \"0\", not a port",
       true},
  };
  for (const auto& c : cases) {
    FakeServer server(c.answerSetup, c.pieces, c.pauseMs);
    kvpool::RedisPool pool(configFor(server.port(), c.sentinel));
    for (int attempt = 1; attempt <= 2; ++attempt) {
      std::string error;
      EXPECT_FALSE(call(pool, c.call, &error)) << c.name;
      EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
      // The server may accept a moment after the client gave up waiting.
      for (int wait = 0; wait < 500 && server.connections() < attempt; ++wait) usleep(10 * 1000);
      EXPECT_EQ(server.connections(), attempt) << c.name << ": the connection was kept";
    }
  }
}

// A server whose connection ends each reply with a copy of it: the copy
// answers nothing, so the connection goes and the next call asks anew.
TEST(RedisHostileServerTest, AConnectionWithBytesBeyondItsAnswerIsNotUsedAgain) {
  FakeServer server(true, {}, 0, [](int request) {
    const std::string value = "$2\r\nv" + std::to_string(request) + "\r\n";
    return value + value;
  });
  kvpool::RedisPool pool(configFor(server.port()));
  std::vector<std::string> values(2);
  for (std::string& value : values) {
    std::string error;
    EXPECT_EQ(pool.get("k", &value, &error), KVPOOL_OK) << error;
  }
  EXPECT_EQ(values, (std::vector<std::string>{"v1", "v2"}));
  EXPECT_EQ(server.connections(), 2);
}

// A server older than SET ... GET answers it with a syntax error: the
// store goes as the script instead, on the same connection.
TEST(RedisHostileServerTest, AServerWithoutSetGetIsSentTheScript) {
  FakeServer server(true, {}, 0, [](int request) {
    return request == 1 ? std::string("-ERR syntax error\r\n") : "*3\r\n:0\r\n:0\r\n$0\r\n\r\n";
  });
  kvpool::RedisPool pool(configFor(server.port()));
  std::string error;
  EXPECT_EQ(pool.set("k", "v", &error), KVPOOL_OK) << error;
  EXPECT_EQ(server.connections(), 1);
}

bool sigpipeIsDefault() {
  struct sigaction action {};
  sigaction(SIGPIPE, nullptr, &action);
  return action.sa_handler == SIG_DFL;
}

// Servers that close a connection: the process lives on (SIGPIPE keeps the
// disposition it had, here the default that ends a process), and the call
// is answered as the server's state allows, in the server's words.
TEST(RedisClosingServerTest, AClosedConnectionFailsItsStepNeverTheProcess) {
  ASSERT_TRUE(sigpipeIsDefault());
  const std::string big(8 << 20, 'b');
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    bool idleFirst;  // the pool's kept connection closed for idleness first
    bool holdClient;
    int result;
    const char* error;
  } cases[] = {
      {"idle past its timeout, then a read and a store of 8 MB",
       {"--timeout", "1"},
       true,
       false,
       KVPOOL_OK,
       ""},
      {"closed while a store longer than it takes goes out",
       {"--proto-max-bulk-len", "1mb"},
       false,
       false,
       KVPOOL_POOL_UNAVAILABLE,
       "ERR Protocol error: invalid bulk length"},
      {"at its limit of clients",
       {"--maxclients", "1"},
       false,
       true,
       KVPOOL_POOL_UNAVAILABLE,
       "the server closed the connection: ERR max number of clients reached"},
  };
  for (const auto& c : cases) {
    kvtest::RedisServer server(c.arguments);
    ASSERT_TRUE(server.ok()) << c.name;
    kvpool::RedisPool pool(configFor(server.port()));
    std::string error;
    if (c.idleFirst) {
      ASSERT_EQ(pool.set("KvPoolA", "a", &error), KVPOOL_OK) << error;
      for (int wait = 0; wait < 500 && server.infoNumber("connected_clients") > 1; ++wait) {
        usleep(10 * 1000);
      }
    }
    std::optional<kvtest::HeldConnection> held;
    if (c.holdClient) held.emplace(server.port());
    // A read, then a store: sent twice it would differ, so it may go out
    // only on a connection known to be open.
    const kvpool::RemoteBatchReply reply = pool.runBatch(
        {{Op::Kind::kGet, "KvPoolA", {}, -1}, {Op::Kind::kSet, "KvPoolB", big, -1}}, true);
    EXPECT_EQ(reply.result, c.result) << c.name << ": " << reply.error;
    EXPECT_NE(reply.error.find(c.error), std::string::npos) << c.name << ": " << reply.error;
    held.reset();
    if (c.result == KVPOOL_OK) {
      EXPECT_EQ(server.command({"STRLEN", "KvPoolB"}), std::to_string(big.size())) << c.name;
    }
  }
  EXPECT_TRUE(sigpipeIsDefault());
}

// A request that went out and was never answered (the answer lost with the
// connection, or late past the timeout) may have run: unless running it
// twice leaves what once does, it is not sent again, and the reason says
// that its outcome is unknown.
TEST(RedisUnansweredTest, ARequestThatWentOutUnansweredIsSentAgainOnlyWhenThatIsHarmless) {
  kvtest::RedisServer server;
  ASSERT_TRUE(server.ok());
  kvtest::LosingProxy proxy(server.port());
  enum class Call { kReadThenStore, kRemove, kStore };
  const struct {
    const char* name;
    const char* marker;  // the request whose answer is lost; none: the server stops a while
    Call call;
    bool ok;
  } cases[] = {
      {"a read, then a store of it", "EVALSHA", Call::kReadThenStore, false},
      {"a removal, which counts what it removed", "DEL", Call::kRemove, false},
      {"a store of known text, sent again", "\r\nSET\r\n", Call::kStore, true},
      {"a store the server ran after the timeout", "", Call::kStore, false},
  };
  for (const auto& c : cases) {
    server.command({"FLUSHALL"});
    server.command({"SET", "KvPoolX", "old"});
    kvpool::RedisPool pool(configFor(proxy.port(), false, "200"));
    std::string error, value;
    ASSERT_EQ(pool.get("KvPoolX", &value, &error), KVPOOL_OK) << c.name << ": " << error;
    const int connections = proxy.connections();
    if (*c.marker != '\0') {
      proxy.arm(c.marker);
    } else {
      server.freeze();
    }
    bool ok = false;
    if (c.call == Call::kReadThenStore) {
      // Run twice, it would store the new value as the copy.
      const kvpool::RemoteBatchReply reply =
          pool.runBatch({{Op::Kind::kGet, "KvPoolX", {}, -1},
                         {Op::Kind::kSetFromGet, "KvPoolCopy", {}, 0},
                         {Op::Kind::kSet, "KvPoolX", "new", -1}},
                        false);
      ok = reply.result == KVPOOL_OK;
      error = reply.error;
    } else if (c.call == Call::kRemove) {
      long removed = 0;
      ok = pool.deleteKeys({"KvPoolX"}, &removed, &error) && removed == 1;
    } else {
      ok = pool.set("KvPoolY", "y", &error) == KVPOOL_OK;
    }
    server.thaw();
    EXPECT_EQ(ok, c.ok) << c.name << ": " << error;
    EXPECT_EQ(proxy.connections() - connections, c.ok ? 1 : 0) << c.name << ": sent again";
    EXPECT_EQ(error.find("outcome unknown") != std::string::npos, !c.ok) << c.name << ": " << error;
    const std::string stored = c.call == Call::kReadThenStore
                                   ? server.command({"GET", "KvPoolCopy"})
                               : c.call == Call::kStore ? server.command({"GET", "KvPoolY"})
                                                        : "(nil)";
    EXPECT_EQ(stored, c.call == Call::kReadThenStore ? "old"
                      : c.call == Call::kStore       ? "y"
                                                     : "(nil)")
        << c.name;
  }
}

class RedisSnapshotTest : public kvtest::NodeUnitTest {
 protected:
  void TearDown() override {
    NodeUnitTest::TearDown();
    unsetenv("KVPOOL_BACKEND");
    unsetenv("KVPOOL_REDIS_PREFIX");
  }
  // The exported call on a node of a pool on url under prefix.
  int onPool(const std::string& url, const std::string& prefix, int (*snapshotCall)()) {
    setenv("KVPOOL_BACKEND", url.c_str(), 1);
    setenv("KVPOOL_REDIS_PREFIX", prefix.c_str(), 1);
    kvbroker::Node& node = kvNode("n");
    const int result = snapshotCall();
    broker().deleteNode(node);
    return result;
  }
};

TEST_F(RedisSnapshotTest, LoadAndSaveReturnOneWhenTheServerCannotBeUsedAsOnSharedMemory) {
  kvtest::RedisServer server;
  kvtest::RedisServer noMemory({"--maxmemory", "1"});
  ASSERT_TRUE(server.ok() && noMemory.ok());
  const std::string unreachable = "redis://127.0.0.1:" + std::to_string(kvtest::freeLoopbackPort());
  server.command({"SET", "saved:KvPoolA", "a"});
  ASSERT_EQ(onPool(server.url(), "saved:", storeKvPoolToFile), 0);
  EXPECT_EQ(onPool(unreachable, "saved:", storeKvPoolToFile), 1);

  const struct {
    const char* name;
    std::string url;
    const char* prefix;
    int result;
  } loads[] = {
      {"unreachable", unreachable, "p:", 1},
      {"keys under the prefix: left alone", server.url(), "saved:", 0},
      {"the server out of memory: nothing stored", noMemory.url(), "p:", 1},
      {"loaded", server.url(), "copy:", 0},
  };
  for (const auto& load : loads) {
    EXPECT_EQ(onPool(load.url, load.prefix, initKvPoolFromFile), load.result) << load.name;
  }
  EXPECT_EQ(server.command({"GET", "copy:KvPoolA"}), "a");
  EXPECT_EQ(noMemory.command({"DBSIZE"}), "0");
}

// A server with access control lists: the user name and its password open
// the pool; a wrong password is 5, named by the server, and never shown.
TEST(RedisUserTest, AUserAndItsPasswordOpenThePoolAWrongOneIsRefused) {
  kvtest::RedisServer server;
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(server.command({"ACL", "SETUSER", "app", "on", ">s3cret", "~*", "+@all"}), "OK");
  ASSERT_EQ(server.command({"ACL", "SETUSER", "default", "off"}), "OK");
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  const struct {
    std::string url;
    int result;
  } cases[] = {{"redis://app:s3cret@" + host, KVPOOL_OK},
               {"redis://app:wrong@" + host, KVPOOL_POOL_UNAVAILABLE},
               {"redis://:s3cret@" + host, KVPOOL_POOL_UNAVAILABLE}};
  for (const auto& c : cases) {
    kvpool::BackendConfig config;
    std::string problem;
    ASSERT_TRUE(kvpool::parseBackendConfig(c.url.c_str(), nullptr, nullptr, &config, &problem));
    kvpool::RedisPool pool(config);
    std::string error;
    EXPECT_EQ(pool.set("KvPoolA", "a", &error), c.result) << c.url << ": " << error;
    if (c.result != KVPOOL_OK) {
      EXPECT_NE(error.find("AUTH refused"), std::string::npos) << error;
      EXPECT_EQ(error.find("s3cret"), std::string::npos) << error;
    }
  }
}

// The module reads a record of its caller only after checking it: one it
// cannot read is refused with 5 and a reason, and no backend is made.
TEST(RedisModuleEntryTest, RecordsItCannotReadAreRefusedWithFive) {
  // The module keeps the host record: it must outlive every backend.
  static const KvPoolRedisHost host = {kKvPoolBackendVersion, sizeof(KvPoolRedisHost), nullptr};
  static const KvPoolRedisHost oldHost = {0, sizeof(KvPoolRedisHost), nullptr};
  static const KvPoolRedisHost shortHost = {kKvPoolBackendVersion, 8, nullptr};
  const KvPoolRedisSettings settings = {
      kKvPoolBackendVersion, 1, {"127.0.0.1", 1, 0}, nullptr, 0, "", "", "", {"", 0}, 0, 500};
  const auto with = [&](auto change) {
    KvPoolRedisSettings changed = settings;
    change(changed);
    return changed;
  };
  const std::string reads = "where this module reads version 1";
  const struct {
    const KvPoolRedisHost* host;
    KvPoolRedisSettings settings;
    std::string reason;  // "": opened
  } cases[] = {
      {&host, settings, ""},
      {nullptr, settings, "refused a null host record"},
      {&oldHost, settings,
       "refused a host record of version 0 and 16 bytes, " + reads + " and at least 16 bytes"},
      {&shortHost, settings,
       "refused a host record of version 1 and 8 bytes, " + reads + " and at least 16 bytes"},
      {&host, with([](auto& s) { s.version = 0; }),
       "refused a settings record of version 0, " + reads},
      {&host, with([](auto& s) { s.kind = 3; }), "refused a settings record of unknown kind 3"},
      {&host, with([](auto& s) { s.sentinelCount = 2; }),
       "refused a settings record that counts sentinels but lists none"},
  };
  for (const auto& c : cases) {
    KvPoolOutcome outcome{};
    outcome.code = -1;
    KvPoolBackend* backend = kvpoolRedisOpen(c.host, &c.settings, &outcome);
    EXPECT_EQ(backend == nullptr, !c.reason.empty()) << c.reason;
    EXPECT_EQ(outcome.code, c.reason.empty() ? KVPOOL_OK : KVPOOL_POOL_UNAVAILABLE) << c.reason;
    EXPECT_EQ(outcome.reason, c.reason);
    if (backend == nullptr) continue;
    EXPECT_EQ(kvpool::backendTableProblem(backend->methods, "the test"), "");
    backend->methods->close(backend);
  }
  KvPoolOutcome unused{};
  EXPECT_EQ(kvpoolRedisOpen(&host, nullptr, &unused), nullptr);
  EXPECT_STREQ(unused.reason, "refused a null settings record");
}

}  // namespace
