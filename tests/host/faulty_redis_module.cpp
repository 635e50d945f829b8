// A Redis module of another build, for the plug-in's loading tests: its
// kvpoolRedisOpen hands back the faulty backend KVPOOL_REDIS_PREFIX names
// (the one setting that reaches it unparsed). No entry of its table may
// ever be called: each one aborts the process.
#include <cstdlib>
#include <string_view>

#include "pool/PoolBackend.h"

namespace {

KvPoolOutcome neverGet(KvPoolBackend*, KvPoolText, KvPoolSink*) {
  std::abort();
}

KvPoolBackendMethods tableOf(std::string_view fault) {
  KvPoolBackendMethods table{};
  table.version = fault == "version-0" ? 0 : kKvPoolBackendVersion;
  table.size = fault == "short" ? 16 : static_cast<int32_t>(sizeof table);
  if (fault != "null-get") table.get = neverGet;
  const auto never = reinterpret_cast<void (*)()>(std::abort);
  // Every other required entry, so that only the named fault is wrong.
  table.store = reinterpret_cast<decltype(table.store)>(never);
  table.remove = reinterpret_cast<decltype(table.remove)>(never);
  table.clear = reinterpret_cast<decltype(table.clear)>(never);
  table.listKeys = reinterpret_cast<decltype(table.listKeys)>(never);
  table.readMany = reinterpret_cast<decltype(table.readMany)>(never);
  table.storeMany = reinterpret_cast<decltype(table.storeMany)>(never);
  table.runBatch = reinterpret_cast<decltype(table.runBatch)>(never);
  table.describe = reinterpret_cast<decltype(table.describe)>(never);
  table.close = reinterpret_cast<decltype(table.close)>(never);
  return table;
}

KvPoolBackendMethods table;
KvPoolBackend backend;

}  // namespace

extern "C" __attribute__((visibility("default"))) KvPoolBackend* kvpoolRedisOpen(
    const KvPoolRedisHost*, const KvPoolRedisSettings* settings, KvPoolOutcome* outcome) {
  const std::string_view fault(settings->prefix.bytes, settings->prefix.length);
  if (fault == "no-backend") return nullptr;
  table = tableOf(fault);
  backend.methods = fault == "no-table" ? nullptr : &table;
  *outcome = KvPoolOutcome{};
  return &backend;
}
