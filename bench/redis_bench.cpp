// Messages per second through a KvPoolNode whose pool is on Redis, against a
// bare loop of GETs (one per round trip, through the same client library) on
// the same server in the same run: a message whose script stores a field,
// reads that key into the output and stores another field costs one round
// trip, so it should come close to the bare loop.
//
//   redis_bench --port PORT [--tls-port PORT --tls-ca FILE] [--messages N] [--chunk C]
//
// bench/redis_bench.sh starts a server on a free loopback port and runs it;
// with --tls, the same server also speaks TLS on a second port, and the
// script's pool operations run on both, in alternating chunks, so that a
// message over TLS is measured against one without in the same run.
// The two loops alternate in chunks of C, so that both see the same load on
// a shared machine; the ratio is the median of the chunks' ratios, the rates
// those of all chunks together. Two more loops run the script's message work
// alone and its pool operations alone, so the figures also tell what the
// pool's part of a message costs against one GET.
#include <hiredis/hiredis.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "node/KvPool.h"
#include "pool/PoolBackend.h"

namespace {

constexpr char kScript[] =
    "SET KvPoolBenchIn = Body.m.a;"
    "SET OutputRoot.XML.m.r = KvPoolBenchIn;"
    "SET KvPoolBenchOther = Body.m.b;";
// The same message work without the pool: what the message costs besides
// its round trip.
constexpr char kLocalScript[] = "SET OutputRoot.XML.m.r = Body.m.a;";
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

// The script's pool operations alone, as the node hands them over.
bool runBatches(KvPoolBackend* pool, long count, double* rate) {
  if (pool == kvpool::sharedMemoryBackend()) return false;
  using Kind = kvpool::RemotePoolOp::Kind;
  const std::vector<kvpool::RemotePoolOp> ops = {
      {Kind::kSet, "KvPoolBenchIn", "first value", -1},
      {Kind::kGet, "KvPoolBenchIn", "", -1},
      {Kind::kSet, "KvPoolBenchOther", "second value", -1}};
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i) {
    if (kvpool::runBackendBatch(*pool, ops, false).result != KVPOOL_OK) return false;
  }
  *rate = perSecond(count, Clock::now() - start);
  return true;
}

}  // namespace

// What the chunks measured, added up.
struct Figures {
  std::vector<double> ratios, tlsRatios;  // per chunk
  double messageSeconds = 0, getSeconds = 0, localSeconds = 0, batchSeconds = 0, tlsSeconds = 0;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void printFigures(const Figures& figures, const std::string& url, long chunk, bool tls) {
  const long total = static_cast<long>(figures.ratios.size()) * chunk;
  const char* trace = std::getenv("KVPOOL_TRACE");
  std::printf("server %s; %ld messages and %ld GETs in alternating chunks of %ld; trace %s\n",
              url.c_str(), total, total, chunk,
              trace != nullptr && std::strcmp(trace, "off") == 0 ? "off" : "on");
  std::printf("messages/s through the three-statement script: %8.0f\n",
              total / figures.messageSeconds);
  std::printf("GETs/s, one per round trip:                    %8.0f\n", total / figures.getSeconds);
  std::printf("ratio (median of the chunks):                  %8.2f\n", median(figures.ratios));
  std::printf("messages/s of the message work alone:          %8.0f\n",
              total / figures.localSeconds);
  std::printf("a message's pool part against one GET:         %8.2f\n",
              (figures.messageSeconds - figures.localSeconds) / figures.getSeconds);
  std::printf("its three operations alone against one GET:    %8.2f\n",
              figures.batchSeconds / figures.getSeconds);
  if (!tls) return;
  std::printf("its three operations over TLS, per second:     %8.0f\n", total / figures.tlsSeconds);
  std::printf("the three over TLS against without:            %8.2f\n",
              figures.tlsSeconds / figures.batchSeconds);
  std::printf("a message over TLS against one without:        %8.2f\n", median(figures.tlsRatios));
}

// The pool on the same server over TLS, or null with a reason on stderr.
KvPoolBackend* openTlsPool(int tlsPort, const char* ca) {
  kvpool::BackendConfig config;
  std::string problem;
  const std::string url = "rediss://127.0.0.1:" + std::to_string(tlsPort);
  KvPoolBackend* pool = nullptr;
  if (kvpool::parseBackendConfig(url.c_str(), nullptr, nullptr, &config, &problem) &&
      kvpool::parseTlsSettings({ca, nullptr, nullptr, nullptr, nullptr}, &config, &problem)) {
    pool = kvpool::openRemoteBackend(config, &problem);
  }
  if (pool == nullptr) std::fprintf(stderr, "redis_bench: %s\n", problem.c_str());
  return pool;
}

int main(int argc, char** argv) {
  int port = 0;
  int tlsPort = 0;
  const char* tlsCa = nullptr;
  long messages = 50000;
  long chunk = 500;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--tls-port") == 0) tlsPort = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--tls-ca") == 0) tlsCa = argv[i + 1];
    if (std::strcmp(argv[i], "--messages") == 0) messages = std::atol(argv[i + 1]);
    if (std::strcmp(argv[i], "--chunk") == 0) chunk = std::atol(argv[i + 1]);
  }
  if (port <= 0 || messages <= 0 || chunk <= 0) {
    std::fprintf(stderr,
                 "usage: redis_bench --port PORT [--tls-port PORT --tls-ca FILE] [--messages N] "
                 "[--chunk C]\n");
    return 2;
  }
  const std::string url = "redis://127.0.0.1:" + std::to_string(port);
  setenv("KVPOOL_BACKEND", url.c_str(), 1);

  kvbroker::Broker broker;
  if (vtrGetMessageflowNodeFactory() == nullptr) return 1;
  kvbroker::Node& node = broker.createNode("KvPoolNode", "bench");
  broker.setAttribute(node, "KvPoolExpression", kScript);
  kvbroker::Node& local = broker.createNode("KvPoolNode", "local");
  broker.setAttribute(local, "KvPoolExpression", kLocalScript);
  kvbroker::Message message = kvbroker::Message::fromXml(kMessage);

  timeval timeout{2, 0};
  redisContext* context = redisConnectWithTimeout("127.0.0.1", port, timeout);
  if (context == nullptr || context->err != 0) {
    std::fprintf(stderr, "redis_bench: cannot connect to %s\n", url.c_str());
    return 1;
  }

  KvPoolBackend* const plainPool = kvpool::processPoolBackend();
  const std::unique_ptr<KvPoolBackend, kvpool::BackendClose> tlsPool(
      tlsPort > 0 ? openTlsPool(tlsPort, tlsCa) : nullptr);
  if (tlsPort > 0 && tlsPool == nullptr) return 1;
  double rate = 0;
  if (!runMessages(broker, node, message, 1000, &rate) || !runGets(context, 1000, &rate) ||
      (tlsPool != nullptr && !runBatches(tlsPool.get(), 1000, &rate))) {
    std::fprintf(stderr, "redis_bench: the warm-up failed (is the server at %s?)\n", url.c_str());
    broker.printEvents(std::cerr);
    return 1;
  }
  Figures figures;
  for (long done = 0; done < messages; done += chunk) {
    double messageRate = 0, getRate = 0, localRate = 0, batchRate = 0, tlsRate = 0;
    if (!runMessages(broker, node, message, chunk, &messageRate) ||
        !runGets(context, chunk, &getRate) ||
        !runMessages(broker, local, message, chunk, &localRate) ||
        !runBatches(plainPool, chunk, &batchRate) ||
        (tlsPool != nullptr && !runBatches(tlsPool.get(), chunk, &tlsRate))) {
      std::fprintf(stderr, "redis_bench: a message or a GET failed\n");
      broker.printEvents(std::cerr);
      return 1;
    }
    figures.ratios.push_back(messageRate / getRate);
    figures.messageSeconds += chunk / messageRate;
    figures.getSeconds += chunk / getRate;
    figures.localSeconds += chunk / localRate;
    figures.batchSeconds += chunk / batchRate;
    if (tlsPool == nullptr) continue;
    figures.tlsSeconds += chunk / tlsRate;
    // A message over TLS: this chunk's message, its pool part over TLS.
    figures.tlsRatios.push_back((chunk / messageRate + chunk / tlsRate - chunk / batchRate) /
                                (chunk / messageRate));
  }
  redisFree(context);
  printFigures(figures, url, chunk, tlsPool != nullptr);
  return 0;
}
