// The checks of the records that cross between the plug-in and the Redis
// module (pool/PoolBackend.h), compiled into both: each side reads a record
// of the other only after these found nothing wrong with it, so a module (or
// a caller) of another build is refused with a reason instead of called
// through a null entry or read past its end.
#include <cstdint>
#include <string>

#include "pool/PoolBackend.h"

namespace kvpool {
namespace {

// "a pool table of version 0 and 104 bytes, where this plug-in reads version
// 1 and at least 104 bytes" when the version or the size will not do.
std::string recordProblem(const char* record, int32_t version, int32_t size, std::size_t needed,
                          const char* reader) {
  if (version >= 1 && size >= 0 && static_cast<std::size_t>(size) >= needed) return "";
  return std::string(record) + " of version " + decimalText(version) + " and " + decimalText(size) +
         " bytes, where " + reader + " reads version " + decimalText(kKvPoolBackendVersion) +
         " and at least " + decimalText(static_cast<long>(needed)) + " bytes";
}

}  // namespace

std::string backendTableProblem(const KvPoolBackendMethods* methods, const char* reader) {
  if (methods == nullptr) return "a backend without a pool table";
  std::string problem =
      recordProblem("a pool table", methods->version, methods->size, sizeof *methods, reader);
  if (!problem.empty()) return problem;
  const struct {
    const char* name;
    bool present;
  } entries[] = {{"get", methods->get != nullptr},
                 {"store", methods->store != nullptr},
                 {"remove", methods->remove != nullptr},
                 {"clear", methods->clear != nullptr},
                 {"listKeys", methods->listKeys != nullptr},
                 {"readMany", methods->readMany != nullptr},
                 {"storeMany", methods->storeMany != nullptr},
                 {"runBatch", methods->runBatch != nullptr},
                 {"describe", methods->describe != nullptr},
                 {"close", methods->close != nullptr}};
  for (const auto& entry : entries) {
    if (!entry.present) {
      return "a pool table of version " + decimalText(methods->version) + " without its " +
             entry.name + " entry";
    }
  }
  return "";
}

std::string redisHostProblem(const KvPoolRedisHost* host, const char* reader) {
  if (host == nullptr) return "a null host record";
  return recordProblem("a host record", host->version, host->size, sizeof *host, reader);
}

std::string redisSettingsProblem(const KvPoolRedisSettings* settings, const char* reader) {
  if (settings == nullptr) return "a null settings record";
  // The record has no size of its own: its version says what it holds.
  if (settings->version < 1) {
    return "a settings record of version " + decimalText(settings->version) + ", where " + reader +
           " reads version " + decimalText(kKvPoolBackendVersion);
  }
  // The TLS kinds come with the members of version 2 that say how.
  const int32_t kinds = settings->version >= 2 ? 4 : 2;
  if (settings->kind < 1 || settings->kind > kinds) {
    return "a settings record of version " + decimalText(settings->version) + " and unknown kind " +
           decimalText(settings->kind);
  }
  if (settings->sentinelCount > 0 && settings->sentinels == nullptr) {
    return "a settings record that counts sentinels but lists none";
  }
  return "";
}

std::string batchProblem(const KvPoolOp* ops, uint64_t opCount, int32_t* failedOp) {
  *failedOp = -1;
  if (opCount > 0 && ops == nullptr) return "runBatch: a batch without its operations";
  if (opCount > static_cast<uint64_t>(INT32_MAX)) return "runBatch: more operations than it counts";
  for (uint64_t i = 0; i < opCount; ++i) {
    const KvPoolOp& op = ops[i];
    const std::string at = "runBatch: operation " + decimalText(static_cast<long>(i));
    std::string problem;
    if (op.kind != kKvPoolOpGet && op.kind != kKvPoolOpSet && op.kind != kKvPoolOpSetFromGet) {
      problem = at + " is of unknown kind " + decimalText(op.kind);
    } else if (op.kind == kKvPoolOpSetFromGet &&
               (op.source < 0 || static_cast<uint64_t>(op.source) >= i ||
                ops[op.source].kind != kKvPoolOpGet)) {
      problem = at + " stores the value of operation " + decimalText(op.source) +
                ", which is not a get before it";
    }
    if (!problem.empty()) {
      *failedOp = static_cast<int32_t>(i);
      return problem;
    }
  }
  return "";
}

}  // namespace kvpool
