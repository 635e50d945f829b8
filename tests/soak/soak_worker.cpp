// One process of the soak test. It loads the plug-in on the stand-in broker
// and creates a KvPoolNode, so it holds the pool as a broker process does,
// then stores checksummed values under its own keys through the plug-in's
// exported store, printing "ack KEY SEQ" once a store returned 0, and reads
// its keys back, checking each value whole and no older than its last ack.
//
//   kvpool_soak_worker PLUGIN WORKER KEYS     store and read until killed
//   kvpool_soak_worker PLUGIN hold            hold the pool until stdin closes
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "pool/KvPoolShm.h"

namespace {

using StoreFn = int (*)(PoolBlockRequest*);
using GetFn = int (*)(PoolBlockRequest*, const char*);

uint64_t monotonicNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
}

uint32_t checksum(const std::string& text) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
  return hash;
}

// "SEQ:payload:CHECKSUM"; the sequence is the system-wide monotonic clock, so
// a restarted worker's values are always newer than its predecessor's.
std::string makeValue(uint64_t seq, std::size_t length) {
  std::string payload(length, static_cast<char>('a' + seq % 26));
  std::string body = std::to_string(seq) + ":" + payload;
  return body + ":" + std::to_string(checksum(body));
}

// The sequence of a whole value, or 0 when it is not whole.
uint64_t parseValue(const std::string& value) {
  const std::size_t last = value.rfind(':');
  if (last == std::string::npos) return 0;
  const std::string body = value.substr(0, last);
  if (std::to_string(checksum(body)) != value.substr(last + 1)) return 0;
  return std::strtoull(body.c_str(), nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PLUGIN (WORKER KEYS | hold)\n", argv[0]);
    return 2;
  }
  kvbroker::Broker host;
  host.loadPlugin(argv[1]);
  host.createNode("KvPoolNode", "soak");
  if (std::strcmp(argv[2], "hold") == 0) {
    std::printf("holding\n");
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
  }
  void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD);
  auto store = plugin ? reinterpret_cast<StoreFn>(dlsym(plugin, "storeKvPoolDataBlock")) : nullptr;
  auto get = plugin ? reinterpret_cast<GetFn>(dlsym(plugin, "getKvPoolDataBlock")) : nullptr;
  if (store == nullptr || get == nullptr) {
    std::fprintf(stderr, "soak worker: the plug-in's store and get are not found\n");
    return 2;
  }
  const std::string worker = argv[2];
  const int keys = argc > 3 ? std::atoi(argv[3]) : 8;
  std::mt19937 random(static_cast<unsigned>(getpid()));
  std::vector<uint64_t> acked(static_cast<std::size_t>(keys), 0);
  for (;;) {
    const int k = static_cast<int>(random() % static_cast<unsigned>(keys));
    const std::string key = "KvPoolSoak." + worker + "." + std::to_string(k);
    const uint64_t seq = monotonicNanos();
    // A quarter of the keys hold large values, so that a replacement of any
    // record in front of them moves megabytes: the window a kill must not tear.
    const std::size_t length = k % 4 == 0 ? 80000 + random() % 40000 : random() % 400;
    std::string value = makeValue(seq, length);
    PoolBlockRequest request{};
    request.key = const_cast<char*>(key.c_str());
    request.value = value.data();
    const int rc = store(&request);
    if (rc == 0) {
      acked[static_cast<std::size_t>(k)] = seq;
      std::printf("ack %s %llu\n", key.c_str(), static_cast<unsigned long long>(seq));
      std::fflush(stdout);
    } else if (rc != 8) {
      std::printf("BAD store %s returned %d\n", key.c_str(), rc);
      return 3;
    }
    const int r = static_cast<int>(random() % static_cast<unsigned>(keys));
    if (acked[static_cast<std::size_t>(r)] == 0) continue;
    const std::string readKey = "KvPoolSoak." + worker + "." + std::to_string(r);
    PoolBlockRequest read{};
    if (get(&read, readKey.c_str()) != 0) {
      std::printf("BAD get %s: missing\n", readKey.c_str());
      return 3;
    }
    const uint64_t found = parseValue(read.value);
    std::free(read.value);
    if (found < acked[static_cast<std::size_t>(r)]) {
      std::printf("BAD get %s: torn or older than its last ack\n", readKey.c_str());
      return 3;
    }
  }
}
