// Costs of the pool's operations as a broker process sees them, each against
// the bare semop read pair in one run: the lock pairs; get at 10, 1,000 and
// 100,000 records; store replacing a random key with a value of another
// length at 10 to 100,000 records, beside a plain store of the same layout
// (scan, move down, append, no journal); all with the trace off, and one
// trace line's cost with the trace on (measured in a child process, since
// the trace setting is read once per process).
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "node/KvPool.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolRecords.h"
#include "support/Trace.h"

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

// Values of kValueBytes and of one byte more, so a store can always replace
// a value by one of another length.
std::string valueOf(int index, bool longer = false) {
  char value[kValueBytes + 2];
  std::snprintf(value, sizeof value, longer ? "value-%011d" : "value-%010d", index);
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

std::vector<int> randomPicks(int records) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pick(0, records - 1);
  std::vector<int> picks;
  for (int i = 0; i < 4096; ++i) picks.push_back(pick(random));
  return picks;
}

std::vector<std::string> randomKeys(int records) {
  std::vector<std::string> keys;
  for (int pick : randomPicks(records)) keys.push_back(keyOf(pick));
  return keys;
}

// A broker process's first get builds its key index; it is not timed, and
// not counted with the timed gets by bench/pool_callgrind.sh (which counts
// the calls made from the benchmark's own function).
__attribute__((noinline)) void buildKeyIndex(const std::string& key) {
  PoolBlockRequest first{};
  if (getKvPoolDataBlock(&first, key.c_str()) == KVPOOL_OK) std::free(first.value);
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
  buildKeyIndex(keys[0]);
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

// Replaces random existing keys, each with a value one byte longer or
// shorter than the one it holds: the record moves to the end, and the pool's
// size stays within a byte per key of where it began.
template <typename Store>
void replaceRandomKeys(benchmark::State& state, Store&& store) {
  const int records = static_cast<int>(state.range(0));
  fillPool(records);
  const auto picks = randomPicks(records);
  std::vector<std::string> keys;
  for (int i = 0; i < records; ++i) keys.push_back(keyOf(i));
  std::vector<bool> longer(static_cast<size_t>(records), false);
  const std::string values[] = {valueOf(records), valueOf(records, true)};
  size_t next = 0;
  auto storeNext = [&] {
    const int pick = picks[next++ % picks.size()];
    longer[pick] = !longer[pick];
    return store(keys[pick], values[longer[pick] ? 1 : 0]);
  };
  buildKeyIndex(keys[0]);
  for (auto _ : state) {
    if (!storeNext()) {
      state.SkipWithError("store refused");
      break;
    }
  }
}

void BM_Store(benchmark::State& state) {
  replaceRandomKeys(state, [](const std::string& key, const std::string& value) {
    PoolBlockRequest request{};
    request.key = const_cast<char*>(key.c_str());
    request.value = const_cast<char*>(value.c_str());
    return storeKvPoolDataBlock(&request) == KVPOOL_OK;
  });
}
BENCHMARK(BM_Store)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

// The yardstick for stores: the same layout kept the plain way, under the
// same writer lock. It scans for the key, moves the records behind it down
// and appends the new record; no journal, no index, no checks.
bool plainStore(const std::string& key, const std::string& value) {
  unsigned char* base = kvpool::processPoolView().base;
  sem_WLock();
  PoolControl header = kvpool::readPoolControl(base);
  int32_t offset = kvpool::kPoolHeaderBytes;
  for (int32_t i = 0; i < header.blockCount; ++i) {
    PoolBlock block;
    std::memcpy(&block, base + offset, sizeof block);
    if (static_cast<size_t>(block.keyLength) == key.size() + 1 &&
        std::memcmp(base + offset + kvpool::kRecordHeaderBytes, key.c_str(), key.size() + 1) == 0) {
      std::memmove(base + offset, base + offset + block.blockSize,
                   static_cast<size_t>(header.usedSize - offset - block.blockSize));
      header.usedSize -= block.blockSize;
      header.blockCount -= 1;
      break;
    }
    offset += block.blockSize;
  }
  header.usedSize += kvpool::writePoolRecord(base, header.usedSize, key.c_str(),
                                             static_cast<int32_t>(key.size() + 1), value.c_str(),
                                             static_cast<int32_t>(value.size() + 1));
  header.blockCount += 1;
  kvpool::writePoolControl(base, header);
  sem_WUnLock();
  return true;
}

void BM_PlainStore(benchmark::State& state) {
  replaceRandomKeys(state, plainStore);
}
BENCHMARK(BM_PlainStore)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

// Keeps each benchmark's processor time per operation (the median of its
// repetitions when there are several), and prints the runs as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      nanoseconds_[run.run_name.str()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double nanoseconds(const std::string& name) const {
    const auto found = nanoseconds_.find(name);
    return found == nanoseconds_.end() ? 0 : found->second;
  }

 private:
  std::map<std::string, double> nanoseconds_;
};

// Processor nanoseconds of one trace line (a get's first line, as written),
// in a child whose trace is on; 0 when it cannot be measured.
double traceLineNanoseconds() {
  int result[2];
  if (pipe(result) != 0) return 0;
  const pid_t child = fork();
  if (child == 0) {
    unsetenv("KVPOOL_TRACE");
    constexpr int kLines = 20000;
    Log("-->getKvPoolDataBlock\n");  // opens the file
    timespec start{}, end{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    for (int i = 0; i < kLines; ++i) Log("-->getKvPoolDataBlock\n");
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
    const double each =
        ((end.tv_sec - start.tv_sec) * 1e9 + static_cast<double>(end.tv_nsec - start.tv_nsec)) /
        kLines;
    _exit(write(result[1], &each, sizeof each) == sizeof each ? 0 : 1);
  }
  close(result[1]);
  double each = 0;
  if (child < 0 || read(result[0], &each, sizeof each) != sizeof each) each = 0;
  close(result[0]);
  if (child > 0) waitpid(child, nullptr, 0);
  unlink("/tmp/KvPool.log");
  return each;
}

// The figures against the bare pair: its time over theirs (above 1: cheaper
// than the pair).
void printRatios(const RatioReporter& reporter, double traceLine) {
  const double bare = reporter.nanoseconds("BM_BareReadPair");
  if (bare <= 0) return;
  auto ratio = [&](const std::string& name) {
    const double time = reporter.nanoseconds(name);
    char text[32] = "     -";
    if (time > 0) std::snprintf(text, sizeof text, "%8.4fx", bare / time);
    return std::string(text);
  };
  std::printf("\nAgainst the bare read pair (%.0f ns), processor time, trace off:\n", bare);
  std::printf("%-28s %9s %9s %9s %9s\n", "records", "10", "1,000", "10,000", "100,000");
  const char* rows[][2] = {{"get (random key)", "BM_Get/"},
                           {"store (another length)", "BM_Store/"},
                           {"plain store (no journal)", "BM_PlainStore/"}};
  for (const auto& [label, prefix] : rows) {
    std::printf("%-28s", label);
    for (const char* size : {"10", "1000", "10000", "100000"}) {
      std::printf(" %9s", ratio(std::string(prefix) + size).c_str());
    }
    std::printf("\n");
  }
  std::printf("read lock pair %s, write lock pair %s\n", ratio("BM_ReadLockPair").c_str(),
              ratio("BM_WriteLockPair").c_str());
  if (traceLine > 0) {
    std::printf("trace on: %.0f ns per line (%.2fx the bare pair)\n", traceLine, traceLine / bare);
  }
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) {
    std::printf("load average %.2f %.2f %.2f (other work on the machine shows here)\n", load[0],
                load[1], load[2]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Five repetitions of each figure in random order, and their medians: the
  // load of a shared machine moves within seconds, and a figure taken in one
  // stretch would read that as the operation's cost. Flags given on the
  // command line come later and win.
  char repetitions[] = "--benchmark_repetitions=5";
  char interleaving[] = "--benchmark_enable_random_interleaving=true";
  char aggregates[] = "--benchmark_report_aggregates_only=true";
  char minTime[] = "--benchmark_min_time=0.2";
  std::vector<char*> args = {argv[0], repetitions, interleaving, aggregates, minTime};
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  isolate();
  // Before anything in this process traces: the child's trace is on.
  const double traceLine = traceLineNanoseconds();
  setenv("KVPOOL_TRACE", "off", 1);
  // 100,000 records of 46 bytes need about 1,150 pages.
  setenv("KVPOOL_MEMORY_PAGES", "2000", 1);
  kvbroker::Broker broker;
  initNodeConstants();
  if (attachKvPool() != 0) {
    std::fprintf(stderr, "kvpool_bench: the pool could not be created (see /tmp/KvPool.log)\n");
    return 2;
  }
  takeKvPoolUserSlot();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printRatios(reporter, traceLine);
  detachKvPool();
  benchmark::Shutdown();
  return 0;
}
