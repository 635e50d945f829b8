// The pool's table (pool/PoolBackend.h) on this process's own segment: each
// call is the matching call of pool/PoolAccess.h on the process's view, so
// traces, locks and results are those of the exported functions. A batch is
// its operations one by one.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

// The lock could not be taken: nothing was done.
KvPoolOutcome unavailable(const char* function) {
  Log("  >%s: the pool's lock cannot be taken, nothing done\n", function);
  return poolOutcome(KVPOOL_POOL_UNAVAILABLE,
                     std::string(function) + ": " + getKvPoolUnavailableText());
}

// A get through getPoolValue: on 0, *value is a new copy the caller frees,
// cut at its first NUL, and *valueBytes its length.
int getText(const PoolView& view, const char* key, char** value, std::size_t* valueBytes) {
  PoolBlockRequest request{};
  const int result = getPoolValue(view, &request, key);
  if (result != KVPOOL_OK) return result;
  const std::size_t length = request.valueLength > 0 ? request.valueLength - 1 : 0;
  *valueBytes = strnlen(request.value, length);
  // The copy is ours: its end is NUL whatever the segment held meanwhile.
  if (request.valueLength > 0) request.value[*valueBytes] = '\0';
  *value = request.value;
  return KVPOOL_OK;
}

int getValue(const PoolView& view, const std::string& key, std::string* value) {
  char* text = nullptr;
  std::size_t bytes = 0;
  const int result = getText(view, key.c_str(), &text, &bytes);
  if (result != KVPOOL_OK) return result;
  value->assign(text, bytes);
  std::free(text);
  return KVPOOL_OK;
}

int storeValue(const PoolView& view, const char* key, const char* value) {
  PoolBlockRequest request{};
  request.key = const_cast<char*>(key);
  request.value = const_cast<char*>(value);
  return storePoolValue(view, &request);
}

KvPoolOutcome get(KvPoolBackend*, KvPoolText key, KvPoolSink* sink) {
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("getKvPoolDataBlock");
  std::string value;
  const int result = getValue(call.view(), textOf(key), &value);
  if (result == KVPOOL_OK) putText(sink, value);
  return poolOutcome(result);
}

KvPoolOutcome store(KvPoolBackend*, KvPoolText key, KvPoolText value) {
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("storeKvPoolDataBlock");
  return poolOutcome(storeValue(call.view(), textOf(key).c_str(), textOf(value).c_str()));
}

KvPoolOutcome remove(KvPoolBackend*, const KvPoolText* keys, uint64_t keyCount, int64_t* removed) {
  *removed = 0;
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("removePoolValue");
  for (uint64_t i = 0; i < keyCount; ++i) {
    const int result = removePoolValue(call.view(), textOf(keys[i]).c_str());
    if (result == KVPOOL_OK) *removed += 1;
    if (result == KVPOOL_POOL_UNAVAILABLE) return unavailable("removePoolValue");
  }
  return poolOutcome(KVPOOL_OK);
}

KvPoolOutcome clear(KvPoolBackend*, int64_t* removed) {
  *removed = 0;
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("clearPool");
  if (call.view().base != nullptr) *removed = readPoolControl(call.view().base).blockCount;
  const int result = clearPool(call.view());
  if (result == KVPOOL_POOL_UNAVAILABLE) return unavailable("clearPool");
  return poolOutcome(result == KVPOOL_OK ? KVPOOL_OK : KVPOOL_KEY_NOT_FOUND);
}

KvPoolOutcome listKeys(KvPoolBackend*, KvPoolSink* sink) {
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("listKeys");
  const PoolView& view = call.view();
  std::vector<std::string> keys;
  if (view.base != nullptr) {
    PoolReadLock lock(view.semaphores);
    if (!lock.held()) return unavailable("listKeys");
    const PoolControl header = readPoolControl(view.base);
    const int32_t end = std::min(header.usedSize, view.segmentBytes);
    walkPoolChain(view.base, header.blockCount, end, [&](const PoolRecord& record) {
      keys.emplace_back(record.keyText(view.base));
      return false;
    });
  }
  // On the elements: the vector's iterators would bring their comparison's
  // shared helper into the plug-in's exported names.
  std::sort(keys.data(), keys.data() + keys.size());
  for (const std::string& key : keys) putText(sink, key);
  return poolOutcome(KVPOOL_OK);
}

KvPoolOutcome readMany(KvPoolBackend*, const KvPoolText* keys, uint64_t keyCount,
                       KvPoolSink* values, KvPoolSink*) {
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("getKvPoolDataBlock");
  for (uint64_t i = 0; i < keyCount; ++i) {
    std::string value;
    const int result = getValue(call.view(), textOf(keys[i]), &value);
    if (result == KVPOOL_POOL_UNAVAILABLE) return unavailable("getKvPoolDataBlock");
    putText(values, value, result == KVPOOL_OK);
  }
  return poolOutcome(KVPOOL_OK);
}

KvPoolOutcome storeMany(KvPoolBackend*, const KvPoolText* keys, const KvPoolText* values,
                        uint64_t pairCount) {
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("storeKvPoolDataBlock");
  std::vector<StorePair> pairs;
  pairs.reserve(pairCount);
  for (uint64_t i = 0; i < pairCount; ++i) {
    pairs.emplace_back(textOf(keys[i]), textOf(values[i]));
  }
  std::size_t stored = 0;
  return poolOutcome(storePoolValues(call.view(), pairs, &stored));
}

KvPoolOutcome runBatch(KvPoolBackend*, const KvPoolOp* ops, uint64_t opCount,
                       int32_t missingIsEmpty, int32_t* failedOp, KvPoolSink* values) {
  if (const std::string problem = batchProblem(ops, opCount, failedOp); !problem.empty()) {
    Log("  >%s\n", problem.c_str());
    return poolOutcome(KVPOOL_POOL_UNAVAILABLE, problem);
  }
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("getKvPoolDataBlock");
  std::vector<std::string> read(opCount);
  for (uint64_t i = 0; i < opCount; ++i) {
    const KvPoolOp& op = ops[i];
    const std::string key = textOf(op.key);
    int result = KVPOOL_OK;
    if (op.kind == kKvPoolOpGet) {
      result = getValue(call.view(), key, &read[i]);
      if (result == KVPOOL_KEY_NOT_FOUND && missingIsEmpty) result = KVPOOL_OK;
    } else if (op.kind == kKvPoolOpSetFromGet) {
      result =
          storeValue(call.view(), key.c_str(), read[static_cast<std::size_t>(op.source)].c_str());
    } else {
      result = storeValue(call.view(), key.c_str(), textOf(op.value).c_str());
    }
    if (result != KVPOOL_OK) {
      *failedOp = static_cast<int32_t>(i);
      return result == KVPOOL_POOL_UNAVAILABLE ? unavailable("runBatch") : poolOutcome(result);
    }
    putText(values, read[i]);
  }
  return poolOutcome(KVPOOL_OK);
}

KvPoolOutcome describe(KvPoolBackend*, const char* section, KvPoolSink* facts) {
  if (section != nullptr) {
    return poolOutcome(KVPOOL_POOL_UNAVAILABLE, "shared memory: no server to ask");
  }
  putText(facts, "shared memory");
  return poolOutcome(KVPOOL_OK);
}

void close(KvPoolBackend*) {}

int32_t saveSnapshot(KvPoolBackend*) {
  const ProcessPoolCall call;
  return call.available() ? savePoolToFile(call.view()) : 1;
}

int32_t loadSnapshot(KvPoolBackend*) {
  const ProcessPoolCall call;
  return call.available() ? loadPoolFromFile(call.view(), SnapshotFit::kBelowCapacity) : 1;
}

constexpr KvPoolBackendMethods kMethods = {kKvPoolBackendVersion,
                                           sizeof(KvPoolBackendMethods),
                                           get,
                                           store,
                                           remove,
                                           clear,
                                           listKeys,
                                           readMany,
                                           storeMany,
                                           runBatch,
                                           describe,
                                           close,
                                           saveSnapshot,
                                           loadSnapshot};

KvPoolBackend sharedMemory = {&kMethods};

}  // namespace

KvPoolBackend* sharedMemoryBackend() {
  return &sharedMemory;
}

int getProcessPoolValue(PoolBlockRequest* request, const char* key) {
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("getKvPoolDataBlock").code;
  char* value = nullptr;
  std::size_t valueBytes = 0;
  const int result = getText(call.view(), key, &value, &valueBytes);
  if (result != KVPOOL_OK) return result;
  request->value = value;
  setRequestLengths(request, std::strlen(key), valueBytes);
  return KVPOOL_OK;
}

int storeProcessPoolValue(const char* key, const char* value) {
  const ProcessPoolCall call;
  if (!call.available()) return unavailable("storeKvPoolDataBlock").code;
  return storeValue(call.view(), key, value);
}

}  // namespace kvpool
