// The pool's Redis client against servers that do not play fair: an answer
// trickled a byte at a time ends at the step's deadline, an answer longer
// than the pool could hold is refused when its length arrives, and either
// drops the connection. And the snapshot calls' results on Redis.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "node_test_fixture.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolBackend.h"
#include "redis/RedisPool.h"
#include "support/redis_server.h"

extern "C" KvPoolBackend* kvpoolRedisOpen(const KvPoolRedisHost* host,
                                          const KvPoolRedisSettings* settings,
                                          KvPoolOutcome* outcome);

namespace {

// A server on a loopback port that answers each connection's setup with a
// script digest (unless trickling that too), then every request with
// `pieces`, pausing pauseMs after each. Stops when the test drops it.
class FakeServer {
 public:
  FakeServer(bool answerSetup, std::vector<std::string> pieces, int pauseMs)
      : answerSetup_(answerSetup), pieces_(std::move(pieces)), pauseMs_(pauseMs) {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listenFd_, 4);
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeServer() {
    stop_ = true;
    thread_.join();
    for (std::thread& connection : connectionThreads_) connection.join();
    close(listenFd_);
  }
  int port() const { return port_; }
  int connections() const { return connections_; }

 private:
  bool readable(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 20) > 0;
  }
  void pause() {
    for (int slept = 0; slept < pauseMs_ && !stop_; slept += 10) usleep(10 * 1000);
  }
  // Each connection is served by a thread of its own, so that a client that
  // gave one up is seen connecting again at once.
  void serve() {
    while (!stop_) {
      if (!readable(listenFd_)) continue;
      const int fd = accept(listenFd_, nullptr, nullptr);
      if (fd < 0) continue;
      ++connections_;
      connectionThreads_.emplace_back([this, fd] { answer(fd); });
    }
  }
  void answer(int fd) {
    bool setupDone = !answerSetup_;
    char request[64 * 1024];
    while (!stop_) {
      if (!readable(fd)) continue;
      if (recv(fd, request, sizeof request, 0) <= 0) break;
      if (!setupDone) {
        send(fd, "$2\r\nab\r\n", 8, MSG_NOSIGNAL);
        setupDone = true;
        continue;
      }
      for (const std::string& piece : pieces_) {
        if (stop_ || send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
        pause();
      }
    }
    close(fd);
  }

  const bool answerSetup_;
  const std::vector<std::string> pieces_;
  const int pauseMs_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::vector<std::thread> connectionThreads_;  // the acceptor's alone until it is joined
  std::thread thread_;
};

std::vector<std::string> bytesOf(const std::string& text) {
  std::vector<std::string> bytes;
  for (char c : text) bytes.emplace_back(1, c);
  return bytes;
}

kvpool::BackendConfig configFor(int port) {
  kvpool::BackendConfig config;
  std::string problem;
  const std::string url = "redis://127.0.0.1:" + std::to_string(port);
  EXPECT_TRUE(kvpool::parseBackendConfig(url.c_str(), nullptr, "500", &config, &problem));
  return config;
}

// One call of the kind named; false when it failed, with the error.
bool call(kvpool::RedisPool& pool, const std::string& kind, std::string* error) {
  if (kind == "get") {
    std::string value;
    return pool.get("k", &value, error) == KVPOOL_OK;
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

TEST(RedisHostileServerTest, SlowOrOversizedAnswersFailTheStepAndDropTheConnection) {
  const std::string huge = "$1073741824\r\n" + std::string(64 * 1024, 'x');
  const struct {
    const char* name;
    bool answerSetup;
    std::vector<std::string> pieces;
    int pauseMs;
    const char* call;
    const char* error;
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
  };
  for (const auto& c : cases) {
    FakeServer server(c.answerSetup, c.pieces, c.pauseMs);
    kvpool::RedisPool pool(configFor(server.port()));
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
