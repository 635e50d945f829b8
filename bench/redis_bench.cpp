// Messages per second through a KvPoolNode whose pool is on Redis, against a
// bare loop of GETs (one per round trip, through the same client library) on
// the same server in the same run: a message whose script stores a field,
// reads that key into the output and stores another field costs one round
// trip, so it should come close to the bare loop.
//
//   redis_bench --port PORT [--messages N] [--rounds R]
//
// bench/redis_bench.sh starts a server on a free loopback port and runs it.
// The rounds alternate between the two loops; the best round of each counts.
#include <hiredis/hiredis.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "broker/Broker.h"
#include "node/KvPool.h"

namespace {

constexpr char kScript[] =
    "SET KvPoolBenchIn = Body.m.a;"
    "SET OutputRoot.XML.m.r = KvPoolBenchIn;"
    "SET KvPoolBenchOther = Body.m.b;";
constexpr char kMessage[] = "<m><a>first value</a><b>second value</b></m>";

using Clock = std::chrono::steady_clock;

double perSecond(long count, Clock::duration elapsed) {
  return count / std::chrono::duration<double>(elapsed).count();
}

// Messages per second through the node; false when one failed.
bool runMessages(kvbroker::Broker& broker, kvbroker::Node& node, kvbroker::Message& message,
                 long count, double* rate) {
  const std::size_t eventsBefore = broker.eventCount();
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i) broker.inject(node, "in", message);
  *rate = perSecond(count, Clock::now() - start);
  // A failed message logs an event; none may.
  return broker.eventCount() == eventsBefore;
}

// GETs per second, each waiting for its answer.
bool runGets(redisContext* context, long count, double* rate) {
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i) {
    auto* reply = static_cast<redisReply*>(redisCommand(context, "GET KvPoolBenchIn"));
    if (reply == nullptr) return false;
    freeReplyObject(reply);
  }
  *rate = perSecond(count, Clock::now() - start);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  long messages = 20000;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--messages") == 0) messages = std::atol(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  if (port <= 0 || messages <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: redis_bench --port PORT [--messages N] [--rounds R]\n");
    return 2;
  }
  const std::string url = "redis://127.0.0.1:" + std::to_string(port);
  setenv("KVPOOL_BACKEND", url.c_str(), 1);

  kvbroker::Broker broker;
  if (vtrGetMessageflowNodeFactory() == nullptr) return 1;
  kvbroker::Node& node = broker.createNode("KvPoolNode", "bench");
  broker.setAttribute(node, "KvPoolExpression", getenv("XS") ? getenv("XS") : kScript);
  kvbroker::Message message = kvbroker::Message::fromXml(kMessage);

  timeval timeout{2, 0};
  redisContext* context = redisConnectWithTimeout("127.0.0.1", port, timeout);
  if (context == nullptr || context->err != 0) {
    std::fprintf(stderr, "redis_bench: cannot connect to %s\n", url.c_str());
    return 1;
  }

  double warm = 0;
  if (!runMessages(broker, node, message, 1000, &warm) || !runGets(context, 1000, &warm)) {
    std::fprintf(stderr, "redis_bench: the warm-up failed (is the server at %s?)\n", url.c_str());
    broker.printEvents(std::cerr);
    return 1;
  }
  double bestMessages = 0, bestGets = 0;
  for (int round = 0; round < rounds; ++round) {
    double rate = 0;
    if (!runMessages(broker, node, message, messages, &rate)) return 1;
    bestMessages = std::max(bestMessages, rate);
    if (!runGets(context, messages, &rate)) return 1;
    bestGets = std::max(bestGets, rate);
  }
  redisFree(context);

  const char* trace = std::getenv("KVPOOL_TRACE");
  std::printf("server: %s, %ld messages and GETs per round, best of %d rounds, trace %s\n",
              url.c_str(), messages, rounds,
              trace != nullptr && std::strcmp(trace, "off") == 0 ? "off" : "on");
  std::printf("messages/s through the three-statement script: %10.0f\n", bestMessages);
  std::printf("bare GETs/s, one per round trip:               %10.0f\n", bestGets);
  std::printf("ratio:                                          %10.2f\n", bestMessages / bestGets);
  return 0;
}
