// The exported pool calls (pool/KvPoolShm.h) on the process's backend table
// (pool/PoolBackend.h): the same for every backend.
#include <cstdlib>
#include <cstring>
#include <string>

#include "pool/KvPoolShm.h"
#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "pool/SnapshotFile.h"

namespace kvpool {
namespace {

void collect(void* context, const char* bytes, uint64_t length, int32_t present) {
  auto* texts = static_cast<std::vector<std::optional<std::string>>*>(context);
  if (present != 0) {
    texts->emplace_back(std::string(bytes, length));
  } else {
    texts->emplace_back();
  }
}

// The record sizes a request reports for key and value.
void setLengths(PoolBlockRequest* request, std::size_t keyBytes, std::size_t valueBytes) {
  request->keyLength = static_cast<int32_t>(keyBytes + 1);
  request->valueLength = static_cast<int32_t>(valueBytes + 1);
  request->blockSize = kRecordHeaderBytes + request->keyLength + request->valueLength;
}

}  // namespace

CollectingSink::CollectingSink() : sink_{&texts_, collect} {}

std::vector<std::string> CollectingSink::plainTexts() const {
  std::vector<std::string> plain;
  plain.reserve(texts_.size());
  for (const auto& text : texts_) plain.push_back(text.value_or(std::string()));
  return plain;
}

std::string CollectingSink::first() const {
  return texts_.empty() ? "" : texts_.front().value_or("");
}

std::string backendName(KvPoolBackend& backend) {
  CollectingSink name;
  if (backend.methods->describe(&backend, nullptr, name.sink()).code != 0) return "";
  return name.first();
}

RemoteBatchReply runBackendBatch(KvPoolBackend& backend, const std::vector<RemotePoolOp>& ops,
                                 bool missingIsEmpty) {
  std::vector<KvPoolOp> table;
  table.reserve(ops.size());
  for (const RemotePoolOp& op : ops) {
    table.push_back(
        {static_cast<int32_t>(op.kind), op.source, poolText(op.key), poolText(op.value)});
  }
  CollectingSink values;
  RemoteBatchReply reply;
  const KvPoolOutcome outcome = backend.methods->runBatch(
      &backend, table.data(), table.size(), missingIsEmpty ? 1 : 0, &reply.failedOp, values.sink());
  reply.result = outcome.code;
  reply.values = values.plainTexts();
  reply.error = outcome.reason;
  return reply;
}

}  // namespace kvpool

int getKvPoolDataBlock(PoolBlockRequest* request, const char* key) {
  KvPoolBackend* backend = kvpool::processPoolBackend();
  kvpool::CollectingSink value;
  const KvPoolOutcome outcome = backend->methods->get(backend, kvpool::poolText(key), value.sink());
  if (outcome.code != KVPOOL_OK) return outcome.code;
  const std::string text = value.first();
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return KVPOOL_KEY_NOT_FOUND;
  std::memcpy(copy, text.c_str(), text.size() + 1);
  request->value = copy;
  kvpool::setLengths(request, std::strlen(key), text.size());
  return KVPOOL_OK;
}

int storeKvPoolDataBlock(PoolBlockRequest* request) {
  KvPoolBackend* backend = kvpool::processPoolBackend();
  const char* key = request->key != nullptr ? request->key : "";
  const char* value = request->value != nullptr ? request->value : "";
  kvpool::setLengths(request, std::strlen(key), std::strlen(value));
  return backend->methods->store(backend, kvpool::poolText(key), kvpool::poolText(value)).code;
}

int storeKvPoolToFile(void) {
  KvPoolBackend* backend = kvpool::processPoolBackend();
  if (backend->methods->saveSnapshot != nullptr) return backend->methods->saveSnapshot(backend);
  int records = 0;
  std::string error;
  return kvpool::saveTablePoolToFile(*backend, &records, &error) == kvpool::RemoteSnapshot::kDone
             ? 0
             : 1;
}

int initKvPoolFromFile(void) {
  KvPoolBackend* backend = kvpool::processPoolBackend();
  if (backend->methods->loadSnapshot != nullptr) return backend->methods->loadSnapshot(backend);
  int records = 0;
  std::string error;
  using kvpool::RemoteSnapshot;
  const RemoteSnapshot loaded = kvpool::loadTablePoolFromFile(*backend, &records, &error);
  // As on shared memory: 1 when the file or the pool could not be used; a
  // pool that holds keys or cannot take the file is left alone with 0.
  return loaded == RemoteSnapshot::kFileFailed || loaded == RemoteSnapshot::kUnavailable ||
         loaded == RemoteSnapshot::kFull;
}
