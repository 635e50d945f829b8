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
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "node_test_fixture.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "pool/PoolSettings.h"
#include "pool/SnapshotFile.h"
#include "redis/RedisPool.h"
#include "support/redis_server.h"

namespace {

// What a fake server answers a request holding `needle` (the first rule
// whose needle the request holds; none: no answer).
struct Rule {
  std::string needle, answer;
};

// A server on a loopback port that answers each connection's setup with a
// script digest (unless trickling that too), then every request with
// `pieces`, pausing pauseMs after each; or, given rules, each request by the
// rules, at most mostAnswers times. Stops when the test drops it.
class FakeServer {
 public:
  FakeServer(bool answerSetup, std::vector<std::string> pieces, int pauseMs)
      : answerSetup_(answerSetup), pieces_(std::move(pieces)), pauseMs_(pauseMs) {
    start();
  }
  FakeServer(std::vector<Rule> rules, int mostAnswers)
      : answerSetup_(true), pauseMs_(0), rules_(std::move(rules)), answersLeft_(mostAnswers) {
    start();
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
  void start() {
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
      const ssize_t got = recv(fd, request, sizeof request, 0);
      if (got <= 0) break;
      if (!setupDone) {
        send(fd, "$2\r\nab\r\n", 8, MSG_NOSIGNAL);
        setupDone = true;
        continue;
      }
      if (!rules_.empty()) {
        answerByRules(fd, std::string(request, static_cast<std::size_t>(got)));
        continue;
      }
      for (const std::string& piece : pieces_) {
        if (stop_ || send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
        pause();
      }
    }
    close(fd);
  }

  void answerByRules(int fd, const std::string& request) {
    for (const Rule& rule : rules_) {
      if (request.find(rule.needle) == std::string::npos) continue;
      if (answersLeft_-- > 0) send(fd, rule.answer.data(), rule.answer.size(), MSG_NOSIGNAL);
      return;
    }
  }

  const bool answerSetup_;
  const std::vector<std::string> pieces_;
  const int pauseMs_;
  const std::vector<Rule> rules_;
  std::atomic<int> answersLeft_{0};
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
    return pool.get("KvPoolK", &value, error) == KVPOOL_OK;
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

// Scans and loads against answers no sound server gives: each ends, within
// its bound, with the server's reason, and a listing never takes a key that
// is not the pool's.
TEST(RedisHostileServerTest, ScansAndLoadsReadEveryAnswerAndEndWithinTheirBounds) {
  const std::string size = ":3\r\n";
  const std::string queued = "+OK\r\n+QUEUED\r\n+QUEUED\r\n";
  const struct {
    const char* name;
    std::vector<Rule> rules;
    int result;
    const char* error;
  } cases[] = {
      {"SCAN names a key shorter than the prefix",
       {{"DBSIZE", size}, {"SCAN", "*2\r\n$1\r\n0\r\n*2\r\n$1\r\na\r\n$8\r\np:KvPool\r\n"}},
       KVPOOL_OK,
       "SCAN named 1 key not starting with \"p:KvPool\": left out"},
      {"a cursor that never comes back to 0",
       {{"DBSIZE", size}, {"SCAN", "*2\r\n$1\r\n7\r\n*0\r\n"}},
       KVPOOL_POOL_UNAVAILABLE,
       "SCAN did not end within 1024 steps"},
      {"an integer cursor",
       {{"DBSIZE", size}, {"SCAN", "*2\r\n:0\r\n*0\r\n"}},
       KVPOOL_POOL_UNAVAILABLE,
       "SCAN: unexpected answer"},
      {"EXEC answered nil",
       {{"EXEC", queued + "*-1\r\n"}},
       KVPOOL_POOL_UNAVAILABLE,
       "EXEC answered nil"},
      {"EXECABORT for memory",
       {{"EXEC", queued + "-EXECABORT Transaction discarded because of: OOM command\r\n"}},
       KVPOOL_POOL_FULL,
       ""},
      {"EXECABORT for another reason",
       {{"EXEC", queued + "-EXECABORT Transaction discarded because of previous errors.\r\n"}},
       KVPOOL_POOL_UNAVAILABLE,
       "EXEC refused, nothing stored: EXECABORT"},
      {"an error inside EXEC's answer",
       {{"EXEC", queued + "*2\r\n+OK\r\n-ERR no\r\n"}},
       KVPOOL_POOL_UNAVAILABLE,
       "the server refused 1 of 2 stores and made the others (first refusal: ERR no)"},
  };
  for (const auto& c : cases) {
    // Past its answers the server falls silent, so a scan without a bound
    // of its own ends in a timeout instead of its bound.
    FakeServer server(c.rules, 3000);
    kvpool::BackendConfig config = configFor(server.port());
    config.prefix = "p:";
    kvpool::RedisPool pool(config);
    std::string error, note;
    int result = KVPOOL_OK;
    if (c.rules.front().needle == "DBSIZE") {
      std::vector<std::string> keys;
      result = pool.listKeys(&keys, &note, &error) ? KVPOOL_OK : KVPOOL_POOL_UNAVAILABLE;
      if (result == KVPOOL_OK) {
        EXPECT_EQ(keys, std::vector<std::string>{"KvPool"}) << c.name;
      }
    } else {
      result = pool.storeValues({{"KvPoolA", "a"}, {"KvPoolB", "b"}}, &error);
    }
    EXPECT_EQ(result, c.result) << c.name << ": " << error;
    EXPECT_NE((error + note).find(c.error), std::string::npos) << c.name << ": " << error << note;
  }
}

class RedisSnapshotTest : public kvtest::NodeUnitTest {
 protected:
  void TearDown() override {
    NodeUnitTest::TearDown();
    unsetenv("KVPOOL_BACKEND");
    unsetenv("KVPOOL_REDIS_PREFIX");
  }
  // The call (an exported one) on a node of a pool on url under prefix.
  template <typename Call>
  int onPool(const std::string& url, const std::string& prefix, Call call) {
    setenv("KVPOOL_BACKEND", url.c_str(), 1);
    setenv("KVPOOL_REDIS_PREFIX", prefix.c_str(), 1);
    kvbroker::Node& node = kvNode("n");
    const int result = call();
    broker().deleteNode(node);
    return result;
  }
  // The table's own save or load on the process's pool, its reason kept.
  static int tableCall(kvpool::RemoteSnapshot (*call)(KvPoolBackend&, int*, std::string*),
                       int* records, std::string* error) {
    return static_cast<int>(call(*kvpool::processPoolBackend(), records, error));
  }
  // A snapshot file holding these records.
  static void writeSnapshot(const std::vector<std::pair<std::string, std::string>>& records) {
    std::vector<unsigned char> image(kvpool::kPoolHeaderBytes);
    for (const auto& [key, value] : records) {
      const auto offset = static_cast<int32_t>(image.size());
      image.resize(image.size() + kvpool::kRecordHeaderBytes + key.size() + value.size() + 2);
      kvpool::writePoolRecord(image.data(), offset, key.c_str(),
                              static_cast<int32_t>(key.size() + 1), value.c_str(),
                              static_cast<int32_t>(value.size() + 1));
    }
    kvpool::writePoolControl(image.data(),
                             {kvpool::kRemoteSnapshotCapacity, static_cast<int32_t>(records.size()),
                              static_cast<int32_t>(image.size())});
    ASSERT_TRUE(kvpool::writeSnapshotFile(
        [&](int fd) { return kvpool::writeSnapshotBytes(fd, image.data(), image.size()); }));
  }
  static std::string snapshotBytes() {
    std::ifstream file(kvpool::snapshotFilePath(), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
};

// On Redis the pool's keys are the prefix followed by KvPool: the exported
// store refuses another key with 4 and a get never finds one; a save holds
// the image to a load's rules and leaves the last good file alone.
TEST_F(RedisSnapshotTest, ExportedCallsTouchOnlyThePoolsKeysAndASaveNeverWritesAnUnloadableFile) {
  kvtest::RedisServer server;
  ASSERT_TRUE(server.ok());
  server.command({"SET", "p:session", "theirs"});
  server.command({"SET", "p:KvPoolA", "a"});
  char key[] = "session", value[] = "mine";
  PoolBlockRequest store{0, 0, 0, key, value};
  EXPECT_EQ(onPool(server.url(), "p:", [&] { return storeKvPoolDataBlock(&store); }),
            KVPOOL_KEY_REFUSED);
  PoolBlockRequest read{};
  EXPECT_EQ(onPool(server.url(), "p:", [&] { return getKvPoolDataBlock(&read, "session"); }),
            KVPOOL_KEY_NOT_FOUND);
  EXPECT_EQ(server.command({"GET", "p:session"}), "theirs");

  ASSERT_EQ(onPool(server.url(), "p:", storeKvPoolToFile), 0);
  const std::string saved = snapshotBytes();
  server.command({"SET", "p:KvPool" + std::string(300, 'x'), "v"});
  EXPECT_EQ(onPool(server.url(), "p:", storeKvPoolToFile), 1);
  int records = 0;
  std::string error;
  EXPECT_EQ(onPool(server.url(),
                   "p:", [&] { return tableCall(kvpool::saveTablePoolToFile, &records, &error); }),
            static_cast<int>(kvpool::RemoteSnapshot::kRefused));
  EXPECT_NE(error.find("key \"KvPoolxxxx"), std::string::npos) << error;
  EXPECT_NE(error.find("has 306 bytes"), std::string::npos) << error;
  EXPECT_EQ(snapshotBytes(), saved);
}

// A load's one transaction is given time for what it sends: 400,000 records
// (14 MB) take a real server longer than one step's 500 ms, and are stored.
TEST_F(RedisSnapshotTest, ALargeLoadIsGivenTimeForItsBytes) {
  std::vector<std::pair<std::string, std::string>> records;
  char key[32];
  for (int i = 0; i < 400000; ++i) {
    std::snprintf(key, sizeof key, "KvPoolK%06d", i);
    records.emplace_back(key, "value0123");
  }
  writeSnapshot(records);
  kvtest::RedisServer server;
  ASSERT_TRUE(server.ok());
  EXPECT_EQ(onPool(server.url(), "big:", initKvPoolFromFile), 0);
  EXPECT_EQ(server.command({"DBSIZE"}), "400000");
}

// A transaction the server answered with some stores refused: the pool is
// read again and the load says how much of it is there.
TEST_F(RedisSnapshotTest, ALoadPartlyStoredSaysSo) {
  writeSnapshot({{"KvPoolA", "a"}, {"KvPoolB", "b"}});
  FakeServer server({{"DBSIZE", ":0\r\n"},
                     {"SCAN", "*2\r\n$1\r\n0\r\n*0\r\n"},
                     {"EXEC", "+OK\r\n+QUEUED\r\n+QUEUED\r\n*2\r\n+OK\r\n-ERR no\r\n"},
                     {"GET", "$1\r\na\r\n$-1\r\n"}},
                    100);
  const std::string url = "redis://127.0.0.1:" + std::to_string(server.port());
  int records = 0;
  std::string error;
  EXPECT_EQ(
      onPool(url, "p:", [&] { return tableCall(kvpool::loadTablePoolFromFile, &records, &error); }),
      static_cast<int>(kvpool::RemoteSnapshot::kPartly));
  EXPECT_EQ(records, 1);
  EXPECT_NE(error.find("1 of 2 records are in the pool"), std::string::npos) << error;
  EXPECT_EQ(onPool(url, "p:", initKvPoolFromFile), 1);
}

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

}  // namespace
