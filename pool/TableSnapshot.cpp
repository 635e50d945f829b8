// The snapshot of a pool reached through its table alone (Redis): the keys
// listed and read, laid out as a segment holding them in key order, written
// by the one snapshot writer; loaded by the one snapshot reader and stored
// in one call. So the snapshot file is the same whatever holds the pool.
#include <string>
#include <vector>

#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "pool/SnapshotFile.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

// Every key and its value; false with *error when the backend failed.
bool readAll(KvPoolBackend& backend, std::vector<std::string>* keys,
             std::vector<std::optional<std::string>>* values, std::string* error) {
  CollectingSink listed;
  KvPoolOutcome outcome = backend.methods->listKeys(&backend, listed.sink());
  if (outcome.code == 0) {
    *keys = listed.plainTexts();
    std::vector<KvPoolText> texts;
    for (const std::string& key : *keys) texts.push_back(poolText(key));
    CollectingSink read;
    outcome = backend.methods->readMany(&backend, texts.data(), texts.size(), read.sink(), nullptr);
    *values = std::move(read.texts());
  }
  if (outcome.code != 0) *error = outcome.reason;
  return outcome.code == 0 && values->size() == keys->size();
}

}  // namespace

RemoteSnapshot saveTablePoolToFile(KvPoolBackend& backend, int* records, std::string* error) {
  Log("-->storeKvPoolToFile %s\n", backendName(backend).c_str());
  *records = 0;
  std::vector<std::string> keys;
  std::vector<std::optional<std::string>> values;
  if (!readAll(backend, &keys, &values, error)) return RemoteSnapshot::kUnavailable;
  // The records in key order, as a pool that stored them one by one would
  // hold them; a key gone since the listing, one holding no string, and
  // texts with a NUL inside (which the layout cannot hold) are left out.
  std::vector<unsigned char> image(kPoolHeaderBytes);
  int32_t count = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string& key = keys[i];
    if (!values[i] || key.find('\0') != std::string::npos ||
        values[i]->find('\0') != std::string::npos) {
      Log("  >storeKvPoolToFile: key %s left out\n", key.c_str());
      continue;
    }
    const std::size_t recordBytes = kRecordHeaderBytes + key.size() + 1 + values[i]->size() + 1;
    if (image.size() + recordBytes > static_cast<std::size_t>(kRemoteSnapshotCapacity)) {
      *error = "the keys need more than the largest pool's " +
               decimalText(kRemoteSnapshotCapacity) + " bytes";
      Log("  >storeKvPoolToFile: %s\n", error->c_str());
      return RemoteSnapshot::kTooLarge;
    }
    const auto offset = static_cast<int32_t>(image.size());
    image.resize(image.size() + recordBytes);
    writePoolRecord(image.data(), offset, key.c_str(), static_cast<int32_t>(key.size() + 1),
                    values[i]->c_str(), static_cast<int32_t>(values[i]->size() + 1));
    ++count;
  }
  writePoolControl(image.data(),
                   {kRemoteSnapshotCapacity, count, static_cast<int32_t>(image.size())});
  const bool written = writeSnapshotFile(
      [&image](int fd) { return writeSnapshotBytes(fd, image.data(), image.size()); });
  if (!written) {
    *error = "the snapshot file could not be written (see /tmp/KvPool.log)";
    return RemoteSnapshot::kFileFailed;
  }
  logSnapshotEvent(true);
  *records = count;
  return RemoteSnapshot::kDone;
}

RemoteSnapshot loadTablePoolFromFile(KvPoolBackend& backend, int* records, std::string* error) {
  Log("-->initKvPoolFromFile %s\n", backendName(backend).c_str());
  *records = 0;
  std::vector<unsigned char> image;
  bool fits = false;
  if (!readSnapshotFile(kRemoteSnapshotCapacity, &image, &fits)) {
    *error = "no usable snapshot file";
    return RemoteSnapshot::kFileFailed;
  }
  if (!fits) {
    *error = "the snapshot is not smaller than the largest pool's " +
             decimalText(kRemoteSnapshotCapacity) + " bytes";
    return RemoteSnapshot::kTooLarge;
  }
  CollectingSink listed;
  const KvPoolOutcome listing = backend.methods->listKeys(&backend, listed.sink());
  if (listing.code != 0) {
    *error = listing.reason;
    return RemoteSnapshot::kUnavailable;
  }
  if (!listed.texts().empty()) {
    *error = "the pool holds keys; a snapshot loads only into an empty pool";
    Log("  >initKvPoolFromFile: %s\n", error->c_str());
    return RemoteSnapshot::kPoolNotEmpty;
  }
  const PoolControl header = readPoolControl(image.data());
  std::vector<KvPoolText> keys, values;
  walkPoolChain(image.data(), header.blockCount, header.usedSize, [&](const PoolRecord& record) {
    keys.push_back(poolText(record.keyText(image.data())));
    values.push_back(poolText(record.valueText(image.data())));
    return false;
  });
  const KvPoolOutcome stored =
      backend.methods->storeMany(&backend, keys.data(), values.data(), keys.size());
  if (stored.code == KVPOOL_POOL_FULL) {
    *error = "the server refused the records for lack of memory";
    return RemoteSnapshot::kFull;
  }
  if (stored.code != KVPOOL_OK) {
    *error = stored.reason;
    return RemoteSnapshot::kUnavailable;
  }
  logSnapshotEvent(false);
  *records = static_cast<int>(keys.size());
  return RemoteSnapshot::kDone;
}

}  // namespace kvpool
