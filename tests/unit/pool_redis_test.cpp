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
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
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
#include "support/redis_fakes.h"
#include "support/redis_server.h"

extern "C" KvPoolBackend* kvpoolRedisOpen(const KvPoolRedisHost* host,
                                          const KvPoolRedisSettings* settings,
                                          KvPoolOutcome* outcome);

namespace {

using kvtest::FakeServer;
using Op = kvpool::RemotePoolOp;

// What a fake server answers a request holding `needle`: the first rule
// whose needle the request holds, at most mostAnswers times in all; past
// them, and for a request no rule names, nothing.
struct Rule {
  std::string needle, answer;
};
std::function<std::string(int, const std::string&)> byRules(std::vector<Rule> rules,
                                                             int mostAnswers) {
  auto left = std::make_shared<std::atomic<int>>(mostAnswers);
  return [rules = std::move(rules), left](int, const std::string& request) {
    for (const Rule& rule : rules) {
      if (request.find(rule.needle) != std::string::npos) {
        return (*left)-- > 0 ? rule.answer : std::string();
      }
    }
    return std::string();
  };
}

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
    return pool.get("KvPoolK", &value, error) == KVPOOL_OK;
  }
  if (kind == "store") {
    // Longer than the system takes in before the server can hang up.
    return pool.set("KvPoolK", std::string(64 << 20, 's'), error) == KVPOOL_OK;
  }
  if (kind == "batch") {
    const kvpool::RemoteBatchReply reply =
        pool.runBatch({{kvpool::RemotePoolOp::Kind::kGet, "KvPoolK", {}, -1}}, false);
    *error = reply.error;
    EXPECT_TRUE(reply.values.empty());
    return reply.result == KVPOOL_OK;
  }
  std::vector<std::optional<std::string>> values;
  return pool.readValues({"KvPoolK"}, &values, nullptr, error);
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
  FakeServer server(true, {}, 0, [](int request, const std::string&) {
    const std::string value = "$2\r\nv" + std::to_string(request) + "\r\n";
    return value + value;
  });
  kvpool::RedisPool pool(configFor(server.port()));
  std::vector<std::string> values(2);
  for (std::string& value : values) {
    std::string error;
    EXPECT_EQ(pool.get("KvPoolK", &value, &error), KVPOOL_OK) << error;
  }
  EXPECT_EQ(values, (std::vector<std::string>{"v1", "v2"}));
  EXPECT_EQ(server.connections(), 2);
}

// A server older than SET ... GET answers it with a syntax error: the
// store goes as the script instead, on the same connection.
TEST(RedisHostileServerTest, AServerWithoutSetGetIsSentTheScript) {
  FakeServer server(true, {}, 0, [](int request, const std::string&) {
    return request == 1 ? std::string("-ERR syntax error\r\n") : "*3\r\n:0\r\n:0\r\n$0\r\n\r\n";
  });
  kvpool::RedisPool pool(configFor(server.port()));
  std::string error;
  EXPECT_EQ(pool.set("KvPoolK", "v", &error), KVPOOL_OK) << error;
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
    FakeServer server(true, {}, 0, byRules(c.rules, 3000));
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
  template <typename Call>
  static int tableCall(Call call, int* records, std::string* error) {
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
        [&](int fd) { return kvpool::writeSnapshotBytes(fd, image.data(), image.size()); },
        kvpool::SnapshotOwner()));
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
  FakeServer server(true, {}, 0,
                    byRules({{"DBSIZE", ":0\r\n"},
                             {"SCAN", "*2\r\n$1\r\n0\r\n*0\r\n"},
                             {"EXEC", "+OK\r\n+QUEUED\r\n+QUEUED\r\n*2\r\n+OK\r\n-ERR no\r\n"},
                             {"GET", "$1\r\na\r\n$-1\r\n"}},
                            100));
  const std::string url = "redis://127.0.0.1:" + std::to_string(server.port());
  int records = 0;
  std::string error;
  EXPECT_EQ(
      onPool(url, "p:", [&] {
        return tableCall(
            [](KvPoolBackend& backend, int* records, std::string* error) {
              return kvpool::loadTablePoolFromFile(backend, records, error);
            },
            &records, &error);
      }),
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

// The module reads a record of its caller only after checking it: one it
// cannot read is refused with 5 and a reason, and no backend is made.
TEST(RedisModuleEntryTest, RecordsItCannotReadAreRefusedWithFive) {
  // The module keeps the host record: it must outlive every backend.
  static const KvPoolRedisHost host = {kKvPoolBackendVersion, sizeof(KvPoolRedisHost), nullptr};
  static const KvPoolRedisHost oldHost = {0, sizeof(KvPoolRedisHost), nullptr};
  static const KvPoolRedisHost shortHost = {kKvPoolBackendVersion, 8, nullptr};
  const KvPoolRedisSettings settings = {
      kKvPoolBackendVersion, 1, {"127.0.0.1", 1, 0}, nullptr, 0, "", "", "", {"", 0}, 0, 500,
      nullptr, nullptr, nullptr, nullptr, 1, 0};
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
      // A TLS kind needs the members of version 2 that say how.
      {&host, with([](auto& s) { s.kind = 3; }),
       "refused a settings record of version 1 and unknown kind 3"},
      {&host, with([](auto& s) { s.version = 2, s.kind = 5; }),
       "refused a settings record of version 2 and unknown kind 5"},
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
