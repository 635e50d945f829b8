// Costs of the pool's operations as a broker process sees them: the bare lock
// pairs, and get and store at 10, 1,000 and 100,000 records. Every call also
// writes its trace lines to /tmp/KvPool.log, as the product always does.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sem.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "node/KvPool.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"

namespace {

constexpr int kValueBytes = 16;

void isolate() {
  if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0) {
    std::fprintf(stderr,
                 "kvpool_bench: unshare(CLONE_NEWIPC|CLONE_NEWNS) failed: %s (run as root)\n",
                 std::strerror(errno));
    std::exit(2);
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("kvpool-bench-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
    std::fprintf(stderr, "kvpool_bench: private /tmp mount failed: %s\n", std::strerror(errno));
    std::exit(2);
  }
}

std::string keyOf(int index) {
  char key[32];
  std::snprintf(key, sizeof key, "KvPoolKey%06d", index);
  return key;
}

std::string valueOf(int index) {
  char value[kValueBytes + 1];
  std::snprintf(value, sizeof value, "value-%010d", index);
  return value;
}

// Lays out records KvPoolKey000000.. directly in this process's pool with the
// pool's own record writer: storing them one by one would scan the growing
// pool for every key.
void fillPool(int records) {
  const kvpool::PoolView pool = kvpool::processPoolView();
  int32_t used = kvpool::kPoolHeaderBytes;
  for (int i = 0; i < records; ++i) {
    const std::string key = keyOf(i);
    const std::string value = valueOf(i);
    used +=
        kvpool::writePoolRecord(pool.base, used, key.c_str(), static_cast<int32_t>(key.size() + 1),
                                value.c_str(), static_cast<int32_t>(value.size() + 1));
  }
  kvpool::writePoolControl(pool.base, {pool.capacity, records, used});
}

std::vector<std::string> randomKeys(int records) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pick(0, records - 1);
  std::vector<std::string> keys;
  for (int i = 0; i < 4096; ++i) keys.push_back(keyOf(pick(random)));
  return keys;
}

// The yardstick: the read lock's two semop lists on the pool's own set, bare.
void BM_BareReadPair(benchmark::State& state) {
  const int set = kvpool::processPoolView().semaphores;
  sembuf lock[] = {{0, 0, 0}, {1, +1, SEM_UNDO}};
  sembuf unlock[] = {{1, -1, SEM_UNDO}};
  for (auto _ : state) {
    semop(set, lock, 2);
    semop(set, unlock, 1);
  }
}
BENCHMARK(BM_BareReadPair);

void BM_ReadLockPair(benchmark::State& state) {
  for (auto _ : state) {
    sem_RLock();
    sem_RUnLock();
  }
}
BENCHMARK(BM_ReadLockPair);

void BM_WriteLockPair(benchmark::State& state) {
  for (auto _ : state) {
    sem_WLock();
    sem_WUnLock();
  }
}
BENCHMARK(BM_WriteLockPair);

void BM_Get(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  fillPool(records);
  const auto keys = randomKeys(records);
  size_t next = 0;
  for (auto _ : state) {
    PoolBlockRequest request{};
    if (getKvPoolDataBlock(&request, keys[next++ % keys.size()].c_str()) != KVPOOL_OK) {
      state.SkipWithError("key not found");
      break;
    }
    std::free(request.value);
  }
}
BENCHMARK(BM_Get)->Arg(10)->Arg(1000)->Arg(100000);

// Replaces random existing keys with a new 16-byte value: the pool keeps its
// size, and each store scans the chain and moves the record to the end.
void BM_Store(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  fillPool(records);
  auto keys = randomKeys(records);
  std::string value = valueOf(records);
  size_t next = 0;
  for (auto _ : state) {
    PoolBlockRequest request{};
    request.key = keys[next++ % keys.size()].data();
    request.value = value.data();
    if (storeKvPoolDataBlock(&request) != KVPOOL_OK) {
      state.SkipWithError("store refused");
      break;
    }
  }
}
BENCHMARK(BM_Store)->Arg(10)->Arg(1000)->Arg(100000);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  isolate();
  // 100,000 records of 45 bytes need about 1,100 pages.
  setenv("KVPOOL_MEMORY_PAGES", "2000", 1);
  kvbroker::Broker broker;
  initNodeConstants();
  if (attachKvPool() != 0) {
    std::fprintf(stderr, "kvpool_bench: the pool could not be created (see /tmp/KvPool.log)\n");
    return 2;
  }
  takeKvPoolUserSlot();
  benchmark::RunSpecifiedBenchmarks();
  detachKvPool();
  benchmark::Shutdown();
  return 0;
}
