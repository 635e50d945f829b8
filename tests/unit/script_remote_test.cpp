// The run on Redis against the run on shared memory: the same scripts on the
// same messages and pool give the same result, failing operand, output
// message, list trees and pool, while a message costs one round trip; a
// server that cannot be used fails the message with 5 within the timeout.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "node_test_fixture.h"
#include "pool/PoolAccess.h"
#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "support/redis_server.h"

namespace {

using kvbroker::Message;

struct Case {
  const char* name;
  const char* script;
  std::map<std::string, std::string> pool;  // before the message
  bool keyNotFoundAsEmpty = false;
  bool elementNotFoundAsEmpty = false;
};

const char kInput[] = "<d><a>alpha</a><b>beta</b><Line>1</Line><Line>2</Line></d>";

const Case kCases[] = {
    {"store then read back through the output and the pool",
     "SET KvPoolA=Body.d.a; SET OutputRoot.XML.d.x=KvPoolA; SET KvPoolB=OutputRoot.XML.d.x;"
     "SET OutputRoot.XML.d.y=KvPoolB; SET KvPoolC=KvPoolB;",
     {}},
    {"missing key after stores: they stay, later ones never run",
     "SET KvPoolA=Body.d.a; SET KvPoolB=KvPoolMissing; SET KvPoolC=Body.d.b;",
     {{"KvPoolOld", "old"}}},
    {"missing element after stores",
     "SET KvPoolA=Body.d.a; SET KvPoolB=Body.d.none; SET KvPoolC=Body.d.b;",
     {}},
    {"malformed statement after stores",
     "SET KvPoolA=Body.d.a; SET KvPoolB; SET KvPoolC=Body.d.b;",
     {}},
    {"a missing key comes before an element that cannot be made",
     "SET KvPoolA=Body.d.a; SET OutputRoot.XML.nowhere.x=KvPoolMissing;",
     {}},
    {"an element that cannot be made from a key that exists",
     "SET KvPoolA=Body.d.a; SET OutputRoot.XML.nowhere.x=KvPoolA; SET KvPoolB=Body.d.b;",
     {}},
    {"a field written from the pool, then overwritten by a literal",
     "SET OutputRoot.XML.d.x=KvPoolP; SET OutputRoot.XML.d.x=Body.d.b; SET "
     "KvPoolF=OutputRoot.XML.d.x;"
     "SET OutputRoot.XML.d.z=KvPoolP; SET KvPoolG=OutputRoot.XML.d.z;",
     {{"KvPoolP", "preset"}}},
    {"lists written from the pool and read back",
     "SET KvPoolQ=Body.d.a; SET DestinationList.Route.Queue=KvPoolQ; SET ExceptionList.E.x=KvPoolQ;"
     "SET KvPoolZ=DestinationList.Route.Queue; SET OutputRoot.XML.d.q=KvPoolZ;",
     {}},
    {"no list change after a key that is missing",
     "SET KvPoolA=Body.d.a; SET OutputRoot.XML.d.x=KvPoolMissing; SET "
     "DestinationList.R.q=Body.d.a;",
     {}},
    {"a list change before a missing key stays",
     "SET DestinationList.R.a=Body.d.a; SET KvPoolX=KvPoolMissing; SET "
     "DestinationList.R.b=Body.d.b;",
     {}},
    {"stores, then reads, the last one missing",
     "SET KvPoolA=Body.d.a; SET KvPoolB=Body.d.b; SET OutputRoot.XML.d.x=KvPoolP;"
     "SET OutputRoot.XML.d.y=KvPoolB; SET OutputRoot.XML.d.z=KvPoolMissing;",
     {{"KvPoolP", "preset"}}},
    {"reads, then a store of what was read",
     "SET OutputRoot.XML.d.x=KvPoolP; SET KvPoolCopy=KvPoolP; SET KvPoolP=Body.d.a;"
     "SET OutputRoot.XML.d.y=KvPoolP; SET KvPoolQ=OutputRoot.XML.d.x;",
     {{"KvPoolP", "preset"}}},
    {"a read of a missing key before stores",
     "SET KvPoolA=Body.d.a; SET OutputRoot.XML.d.x=KvPoolMissing; SET KvPoolB=Body.d.b;",
     {}},
    {"a list written from a missing key",
     "SET KvPoolA=Body.d.a; SET DestinationList.R.q=KvPoolMissing;",
     {}},
    {"missing keys as empty text",
     "SET KvPoolE=KvPoolMissing; SET OutputRoot.XML.d.e=KvPoolE; SET "
     "DestinationList.R.e=KvPoolNone;",
     {},
     true},
    {"missing elements as empty text, indexes, replacing a key",
     "SET KvPoolL=Body.d.Line[2]; SET KvPoolL=Body.d.none; SET OutputRoot.XML.d.l=KvPoolL;"
     "SET OutputRoot.XML.d.Line[2]=KvPoolK;",
     {{"KvPoolK", "kept"}, {"KvPoolL", "old"}},
     false,
     true},
};

struct Outcome {
  int result = -1;
  std::string failing;
  std::string output;
  std::string exceptionList;
  std::string destinationList;
  std::map<std::string, std::string> pool;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  out << "result " << outcome.result << " [" << outcome.failing << "]\n"
      << outcome.output << "ExceptionList:\n"
      << outcome.exceptionList << "DestinationList:\n"
      << outcome.destinationList << "pool:";
  for (const auto& [key, value] : outcome.pool) out << " " << key << "=" << value;
  return out;
}

// A failed message's output copy is deleted unseen (the input goes to
// failure): only a message that went through shows its output.
bool operator==(const Outcome& a, const Outcome& b) {
  return a.result == b.result && a.failing == b.failing &&
         (a.result != SCRIPT_OK || a.output == b.output) && a.exceptionList == b.exceptionList &&
         a.destinationList == b.destinationList && a.pool == b.pool;
}

std::map<std::string, std::string> sharedMemoryPool() {
  std::map<std::string, std::string> pool;
  const kvpool::PoolView view = kvpool::processPoolView();
  const PoolControl header = kvpool::readPoolControl(view.base);
  kvpool::walkPoolChain(
      view.base, header.blockCount, header.usedSize, [&](const kvpool::PoolRecord& record) {
        pool[std::string(record.keyText(view.base))] = std::string(record.valueText(view.base));
        return false;
      });
  return pool;
}

std::map<std::string, std::string> redisPool() {
  std::map<std::string, std::string> pool;
  KvPoolBackend* remote = kvpool::processPoolBackend();
  kvpool::CollectingSink keys, values;
  KvPoolOutcome outcome = remote->methods->listKeys(remote, keys.sink());
  std::vector<KvPoolText> texts;
  const std::vector<std::string> names = keys.plainTexts();
  for (const std::string& key : names) texts.push_back(kvpool::poolText(key));
  if (outcome.code == 0) {
    outcome = remote->methods->readMany(remote, texts.data(), texts.size(), values.sink(), nullptr);
  }
  if (remote == kvpool::sharedMemoryBackend() || outcome.code != 0) {
    pool["<unreadable>"] = outcome.reason;
    return pool;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    pool[names[i]] = values.texts()[i].value_or("<none>");
  }
  return pool;
}

class ScriptRemoteTest : public kvtest::NodeUnitTest {
 protected:
  static void SetUpTestSuite() { server_ = new kvtest::RedisServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    NodeUnitTest::SetUp();
    ASSERT_TRUE(server_->ok()) << "redis-server did not start";
  }
  void TearDown() override {
    NodeUnitTest::TearDown();
    unsetenv("KVPOOL_BACKEND");
    unsetenv("KVPOOL_REDIS_PREFIX");
    unsetenv("KVPOOL_REDIS_TIMEOUT_MS");
  }

  // Each run on Redis has keys of its own.
  void useRedis(const std::string& url) {
    setenv("KVPOOL_BACKEND", url.c_str(), 1);
    setenv("KVPOOL_REDIS_PREFIX", ("run" + std::to_string(++runs_) + ":").c_str(), 1);
  }

  kvbroker::Node& node(const Case& c) {
    kvbroker::Node& node = kvNode("n");
    broker().setAttribute(node, "KvPoolExpression", c.script);
    broker().setAttribute(node, "messageInsertKeyNotFound",
                          c.keyNotFoundAsEmpty ? "true" : "false");
    broker().setAttribute(node, "messageStoreEltNotFound",
                          c.elementNotFoundAsEmpty ? "true" : "false");
    return node;
  }

  static int run(kvbroker::Node& node, Message& input, Message& output, Message& exceptionList,
                 Message& destinationList, std::string* failing) {
    char* errorText = nullptr;
    const int result = runKvPoolscript(contextOf(node), input.handle(), exceptionList.handle(),
                                       destinationList.handle(), output.handle(), &errorText);
    *failing = errorText != nullptr ? errorText : "";
    std::free(errorText);
    return result;
  }

  Outcome runCase(const Case& c, bool onRedis) {
    if (onRedis) {
      useRedis(server_->url());
    } else {
      unsetenv("KVPOOL_BACKEND");
    }
    kvbroker::Node& kv = node(c);
    EXPECT_EQ(kvpool::processPoolOnRedis(), onRedis);
    for (const auto& [key, value] : c.pool) {
      PoolBlockRequest request{};
      request.key = const_cast<char*>(key.c_str());
      request.value = const_cast<char*>(value.c_str());
      EXPECT_EQ(storeKvPoolDataBlock(&request), KVPOOL_OK);
    }
    Message input = Message::fromXml(kInput);
    Message output = input.copy();
    Message exceptionList, destinationList;
    Outcome outcome;
    outcome.result = run(kv, input, output, exceptionList, destinationList, &outcome.failing);
    outcome.output = output.dump();
    outcome.exceptionList = exceptionList.dump();
    outcome.destinationList = destinationList.dump();
    outcome.pool = onRedis ? redisPool() : sharedMemoryPool();
    broker().deleteNode(kv);
    return outcome;
  }

  static kvtest::RedisServer* server_;
  int runs_ = 0;
};

kvtest::RedisServer* ScriptRemoteTest::server_ = nullptr;

TEST_F(ScriptRemoteTest, EveryCaseEndsAsTheStatementsOneByOneOnSharedMemory) {
  for (const Case& c : kCases) {
    const Outcome local = runCase(c, false);
    const Outcome remote = runCase(c, true);
    EXPECT_EQ(remote, local) << c.name;
  }
}

TEST_F(ScriptRemoteTest, AMessageCostsOneRoundTripAndAListWriteAfterPoolWorkOneMore) {
  useRedis(server_->url());
  // Five pool operations, one of them a read that needs the server to
  // decide whether the store after it runs.
  const Case c = {"",
                  "SET KvPoolA=Body.d.a; SET OutputRoot.XML.d.x=KvPoolA; SET KvPoolB=Body.d.b;"
                  "SET OutputRoot.XML.d.y=KvPoolMissing; SET KvPoolC=OutputRoot.XML.d.y;",
                  {},
                  true};
  kvbroker::Node& kv = node(c);
  // The server reads each round trip's commands at once; the two INFO
  // connections that measure add two reads (the first one's end, the
  // second one's command).
  auto roundTripsFor = [&](int messages) {
    const long before = server_->infoNumber("total_reads_processed");
    for (int i = 0; i < messages; ++i) {
      Message input = Message::fromXml(kInput);
      Message output = input.copy(), exceptionList, destinationList;
      std::string failing;
      EXPECT_EQ(run(kv, input, output, exceptionList, destinationList, &failing), SCRIPT_OK);
    }
    return server_->infoNumber("total_reads_processed") - before - 2;
  };
  roundTripsFor(1);  // connects: password, database, script
  EXPECT_EQ(roundTripsFor(10), 10);
  broker().setAttribute(kv, "KvPoolExpression",
                        "SET KvPoolA=Body.d.a; SET OutputRoot.XML.d.x=KvPoolA;"
                        "SET KvPoolB=Body.d.b; SET OutputRoot.XML.d.y=KvPoolP;");
  EXPECT_EQ(roundTripsFor(10), 10);
  broker().setAttribute(
      kv, "KvPoolExpression",
      "SET KvPoolA=Body.d.a; SET DestinationList.R.q=KvPoolP; SET KvPoolB=Body.d.b;");
  EXPECT_EQ(roundTripsFor(10), 20);
  broker().setAttribute(kv, "KvPoolExpression", "SET OutputRoot.XML.d.x=Body.d.a;");
  EXPECT_EQ(roundTripsFor(10), 0);
  broker().deleteNode(kv);
}

// Accepts connections (the system completes them) and never answers.
class SilentListener {
 public:
  SilentListener() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 16);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

TEST_F(ScriptRemoteTest, UnusableServerFailsWithFiveNamingItWithinTheTimeoutThenRecovers) {
  SilentListener silent;
  const int refusing = kvtest::freeLoopbackPort();
  const struct {
    std::string url;
    std::string error;
  } servers[] = {
      {"redis://127.0.0.1:" + std::to_string(refusing),
       "redis 127.0.0.1:" + std::to_string(refusing) + ": Connection refused"},
      {"redis://:hunter2@127.0.0.1:" + std::to_string(silent.port()),
       "redis 127.0.0.1:" + std::to_string(silent.port()) + ": no answer within 200 ms"},
      {"redis://:hunter2@127.0.0.1:" + std::to_string(server_->port()),
       "redis 127.0.0.1:" + std::to_string(server_->port()) + ": AUTH refused: "},
  };
  const Case c = {"", "SET OutputRoot.XML.d.x=Body.d.a; SET KvPoolA=Body.d.a;", {}};
  setenv("KVPOOL_REDIS_TIMEOUT_MS", "200", 1);
  for (const auto& server : servers) {
    useRedis(server.url);
    kvbroker::Node& kv = node(c);
    for (int message = 0; message < 2; ++message) {
      Message input = Message::fromXml(kInput);
      Message output = input.copy(), exceptionList, destinationList;
      std::string failing;
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(run(kv, input, output, exceptionList, destinationList, &failing),
                SCRIPT_POOL_UNAVAILABLE);
      const auto waited = std::chrono::steady_clock::now() - start;
      EXPECT_LT(waited, std::chrono::milliseconds(400)) << server.url;
      EXPECT_EQ(failing.rfind(server.error, 0), 0u) << failing;
      EXPECT_EQ(failing.find("hunter2"), std::string::npos) << failing;
    }
    broker().deleteNode(kv);
  }

  // A server that comes back (here: restarted on the port of a live node's
  // kept connection) serves the next message.
  useRedis(server_->url());
  kvbroker::Node& kv = node(c);
  auto send = [&] {
    Message input = Message::fromXml(kInput);
    Message output = input.copy(), exceptionList, destinationList;
    std::string failing;
    return run(kv, input, output, exceptionList, destinationList, &failing);
  };
  EXPECT_EQ(send(), SCRIPT_OK);
  server_->kill();
  EXPECT_EQ(send(), SCRIPT_POOL_UNAVAILABLE);
  ASSERT_TRUE(server_->restart());
  EXPECT_EQ(send(), SCRIPT_OK);
  EXPECT_EQ(send(), SCRIPT_OK);
  broker().deleteNode(kv);
}

}  // namespace

namespace {

class ScriptRemoteServerStateTest : public ScriptRemoteTest {
 protected:
  // One message through a node running script; its result and failing text.
  int send(kvbroker::Node& kv, std::string* failing) {
    Message input = Message::fromXml(kInput);
    Message output = input.copy(), exceptionList, destinationList;
    return run(kv, input, output, exceptionList, destinationList, failing);
  }
};

TEST_F(ScriptRemoteServerStateTest, AServerRestartedBetweenMessagesServesTheNextOne) {
  useRedis(server_->url());
  kvbroker::Node& kv = node({"", "SET KvPoolA=Body.d.a;", {}});
  std::string failing;
  EXPECT_EQ(send(kv, &failing), SCRIPT_OK);
  server_->kill();
  ASSERT_TRUE(server_->restart());
  EXPECT_EQ(send(kv, &failing), SCRIPT_OK) << failing;
  EXPECT_EQ(redisPool()["KvPoolA"], "alpha");
  broker().deleteNode(kv);
}

// A key that holds a list: a read of it fails, a store onto it replaces
// nothing; either fails with 5 naming the key and the server's words, the
// stores before it done, none after it.
TEST_F(ScriptRemoteServerStateTest, ErrorRepliesFailWithFiveNamingTheKeyAndChangeNothingAfter) {
  using Op = kvpool::RemotePoolOp;
  const struct {
    const char* script;
    std::vector<Op> ops;
    const char* failing;
    const char* stored;  // the keys stored, in order
  } cases[] = {
      {"SET KvPoolA=Body.d.a; SET OutputRoot.XML.d.x=KvPoolL; SET KvPoolB=Body.d.b;",
       {{Op::Kind::kSet, "KvPoolA", "a", -1}, {Op::Kind::kGet, "KvPoolL", {}, -1}},
       ": KvPoolL: WRONGTYPE Operation against a key holding the wrong kind of value",
       "KvPoolA"},
      {"SET OutputRoot.XML.d.x=KvPoolL; SET KvPoolB=Body.d.b;",
       {{Op::Kind::kGet, "KvPoolL", {}, -1}, {Op::Kind::kSet, "KvPoolB", "b", -1}},
       ": KvPoolL: WRONGTYPE",
       ""},
      {"SET KvPoolL=Body.d.a;",
       {{Op::Kind::kSet, "KvPoolL", "a", -1}},
       ": KvPoolL: WRONGTYPE the key holds a list, not a string: nothing stored",
       ""},
      {"SET KvPoolA=Body.d.a; SET KvPoolL=Body.d.b; SET KvPoolB=Body.d.b;",
       {{Op::Kind::kSet, "KvPoolA", "a", -1}, {Op::Kind::kSet, "KvPoolL", "b", -1}},
       ": KvPoolL: WRONGTYPE the key holds a list",
       "KvPoolA"},
  };
  for (const auto& [script, ops, expected, stored] : cases) {
    useRedis(server_->url());
    const std::string prefix = getenv("KVPOOL_REDIS_PREFIX");
    server_->command({"RPUSH", prefix + "KvPoolL", "item"});
    kvbroker::Node& kv = node({"", script, {}});
    std::string failing;
    EXPECT_EQ(send(kv, &failing), SCRIPT_POOL_UNAVAILABLE) << script;
    EXPECT_NE(failing.find(expected), std::string::npos) << failing;
    EXPECT_EQ(server_->command({"LRANGE", prefix + "KvPoolL", "0", "-1"}), "item") << script;
    std::string keys;
    for (const auto& [key, value] : redisPool()) keys += key == "KvPoolL" ? "" : key;
    EXPECT_EQ(keys, stored) << script;
    const kvpool::RemoteBatchReply reply =
        kvpool::runBackendBatch(*kvpool::processPoolBackend(), ops, false);
    EXPECT_EQ(reply.result, KVPOOL_POOL_UNAVAILABLE);
    int listOp = 0;
    while (ops[static_cast<std::size_t>(listOp)].key != "KvPoolL") ++listOp;
    EXPECT_EQ(reply.failedOp, listOp);
    EXPECT_TRUE(reply.values.empty());
    EXPECT_NE(reply.error.find(expected), std::string::npos) << reply.error;

    // A replica refuses the stores; the connection goes, and once the
    // server is a master again the next message connects anew and runs.
    server_->command({"SET", prefix + "KvPoolL", "value"});
    ASSERT_EQ(
        server_->command({"REPLICAOF", "127.0.0.1", std::to_string(kvtest::freeLoopbackPort())}),
        "OK");
    const long connections = server_->infoNumber("total_connections_received");
    EXPECT_EQ(send(kv, &failing), SCRIPT_POOL_UNAVAILABLE) << script;
    EXPECT_NE(failing.find("READONLY"), std::string::npos) << failing;
    ASSERT_EQ(server_->command({"REPLICAOF", "NO", "ONE"}), "OK");
    EXPECT_EQ(send(kv, &failing), SCRIPT_OK) << failing;
    // The two INFO connections, REPLICAOF's, and the pool's new one.
    EXPECT_EQ(server_->infoNumber("total_connections_received") - connections, 3) << script;
    broker().deleteNode(kv);
  }
}

// A message whose stores go in two round trips (a list written between
// them): a store refused for memory in the second is named, and the one
// before it stays, as on shared memory. (The first stores a copy of a big
// value, so that its request is small and the server full only after it.)
TEST_F(ScriptRemoteServerStateTest, AStoreRefusedForMemoryIsNamedAndTheStoresBeforeItStay) {
  kvtest::RedisServer limited({"--maxmemory-policy", "noeviction"});
  ASSERT_TRUE(limited.ok());
  useRedis(limited.url());
  const std::string prefix = getenv("KVPOOL_REDIS_PREFIX");
  const std::string big(2 << 20, 'b');
  ASSERT_EQ(limited.command({"SET", prefix + "KvPoolBig", big}), "OK");
  const long used = limited.infoNumber("used_memory");
  ASSERT_EQ(limited.command({"CONFIG", "SET", "maxmemory", std::to_string(used + (1 << 20))}),
            "OK");
  kvbroker::Node& kv = node(
      {"", "SET KvPoolA=KvPoolBig; SET DestinationList.R.q=Body.d.b; SET KvPoolB=Body.d.b;", {}});
  std::string failing;
  EXPECT_EQ(send(kv, &failing), SCRIPT_POOL_FULL);
  EXPECT_EQ(failing, "KvPoolB");
  EXPECT_EQ(limited.command({"STRLEN", prefix + "KvPoolA"}), std::to_string(big.size()));
  EXPECT_EQ(limited.command({"EXISTS", prefix + "KvPoolB"}), "0");
  broker().deleteNode(kv);
}

}  // namespace
