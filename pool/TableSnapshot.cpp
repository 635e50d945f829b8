// The snapshot of a pool reached through its table alone (Redis): the keys
// listed and read, laid out as a segment holding them in key order, held to
// the rules every load holds an image to, and written by the one writer;
// loaded by the one reader and stored in one call of storeMany.
#include <optional>
#include <string>
#include <vector>

#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "pool/PoolSettings.h"
#include "pool/SnapshotFile.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

std::string bytesText(std::size_t bytes) {
  return decimalText(static_cast<long>(bytes)) + " bytes";
}

// A key as a reason names it: at most its first 64 bytes.
std::string namedKey(const std::string& key) {
  return "\"" + key.substr(0, 64) + (key.size() > 64 ? "...\"" : "\"");
}

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

// The records in key order, as a pool that stored them one by one would hold
// them; a key gone since the listing, one holding no string, and texts with
// a NUL inside (which the layout cannot hold) are left out. A key no load
// would take refuses the whole image (kRefused), as does an image that does
// not fit below the largest pool (kTooLarge).
RemoteSnapshot layOut(const std::vector<std::string>& keys,
                      const std::vector<std::optional<std::string>>& values,
                      std::vector<unsigned char>* image, int32_t* count, std::string* error) {
  image->assign(kPoolHeaderBytes, 0);
  *count = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string& key = keys[i];
    if (!values[i] || key.find('\0') != std::string::npos ||
        values[i]->find('\0') != std::string::npos) {
      Log("  >storeKvPoolToFile: key %s left out\n", key.c_str());
      continue;
    }
    if (!poolKeyLengthAllowed(key.size())) {
      *error = "key " + namedKey(key) + " has " + bytesText(key.size()) +
               "; a snapshot holds keys of 1 to 255 bytes";
      return RemoteSnapshot::kRefused;
    }
    const std::size_t recordBytes = kRecordHeaderBytes + key.size() + 1 + values[i]->size() + 1;
    // A load takes an image smaller than the largest pool.
    if (image->size() + recordBytes >= static_cast<std::size_t>(kRemoteSnapshotCapacity)) {
      *error = "the keys need at least " + bytesText(image->size() + recordBytes) +
               ", the largest pool holds less than " + bytesText(kRemoteSnapshotCapacity);
      return RemoteSnapshot::kTooLarge;
    }
    const auto offset = static_cast<int32_t>(image->size());
    image->resize(image->size() + recordBytes);
    writePoolRecord(image->data(), offset, key.c_str(), static_cast<int32_t>(key.size() + 1),
                    values[i]->c_str(), static_cast<int32_t>(values[i]->size() + 1));
    ++*count;
  }
  writePoolControl(image->data(),
                   {kRemoteSnapshotCapacity, *count, static_cast<int32_t>(image->size())});
  // The whole-image rules a load holds it to, before anything is written.
  const PoolDamage damage = checkPoolImage(image->data(), static_cast<int32_t>(image->size()));
  if (damage.found()) {
    const PoolRecord record =
        readPoolRecord(image->data(), damage.offset, static_cast<int32_t>(image->size()));
    *error = "no load would take the image: " +
             (damage.offset >= kPoolHeaderBytes
                  ? "key " + namedKey(std::string(record.keyText(image->data()))) + ": "
                  : std::string()) +
             damage.reason;
    return RemoteSnapshot::kRefused;
  }
  return RemoteSnapshot::kDone;
}

// After storeMany answered 5 the stores may have been made all the same (an
// answer lost, a transaction partly refused): the pool, empty before, tells.
RemoteSnapshot settleLoad(KvPoolBackend& backend, const std::vector<KvPoolText>& keys,
                          const std::string& failure, int* records, std::string* error) {
  CollectingSink read;
  const KvPoolOutcome outcome =
      backend.methods->readMany(&backend, keys.data(), keys.size(), read.sink(), nullptr);
  if (outcome.code != KVPOOL_OK || read.texts().size() != keys.size()) {
    *error = failure + "; whether the records were stored is unknown (" + outcome.reason + ")";
    return RemoteSnapshot::kUnavailable;
  }
  int present = 0;
  for (const auto& value : read.texts()) present += value.has_value() ? 1 : 0;
  *records = present;
  if (present == static_cast<int>(keys.size())) {
    Log("  >initKvPoolFromFile: %s; yet every record is in the pool\n", failure.c_str());
    return RemoteSnapshot::kDone;
  }
  if (present == 0) {
    *error = failure;
    return RemoteSnapshot::kUnavailable;
  }
  *error = decimalText(present) + " of " + decimalText(static_cast<long>(keys.size())) +
           " records are in the pool: " + failure;
  return RemoteSnapshot::kPartly;
}

}  // namespace

RemoteSnapshot saveTablePoolToFile(KvPoolBackend& backend, int* records, std::string* error) {
  Log("-->storeKvPoolToFile %s\n", backendName(backend).c_str());
  *records = 0;
  std::vector<std::string> keys;
  std::vector<std::optional<std::string>> values;
  if (!readAll(backend, &keys, &values, error)) return RemoteSnapshot::kUnavailable;
  std::vector<unsigned char> image;
  int32_t count = 0;
  const RemoteSnapshot laidOut = layOut(keys, values, &image, &count, error);
  if (laidOut != RemoteSnapshot::kDone) {
    *error += ": nothing saved, " + snapshotFilePath() + " left as it is";
    Log("  >storeKvPoolToFile: %s\n", error->c_str());
    return laidOut;
  }
  std::string why;
  const bool written = writeSnapshotFile(
      [&image](int fd) { return writeSnapshotBytes(fd, image.data(), image.size()); },
      SnapshotOwner(), &why);
  if (!written) {
    *error = why;
    Log("  >storeKvPoolToFile: %s\n", error->c_str());
    return RemoteSnapshot::kFileFailed;
  }
  logSnapshotEvent(true);
  *records = count;
  return RemoteSnapshot::kDone;
}

RemoteSnapshot loadTablePoolFromFile(KvPoolBackend& backend, int* records, std::string* error,
                                     SnapshotFit fit) {
  Log("-->initKvPoolFromFile %s\n", backendName(backend).c_str());
  *records = 0;
  const SnapshotImage file =
      readSnapshotImage(snapshotFilePath().c_str(), largestSnapshot(kRemoteSnapshotCapacity, fit),
                        SnapshotCheck::kWhole, "the largest pool");
  if (!file.read()) {
    *error = file.reason;
    Log("  >initKvPoolFromFile: %s\n", error->c_str());
    return file.refusal == SnapshotRefusal::kTooLarge ? RemoteSnapshot::kTooLarge
                                                      : RemoteSnapshot::kFileFailed;
  }
  const std::vector<unsigned char>& image = file.bytes;
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
  if (stored.code == KVPOOL_KEY_REFUSED) {
    *error = stored.reason;
    return RemoteSnapshot::kRefused;
  }
  if (stored.code != KVPOOL_OK) {
    const RemoteSnapshot settled = settleLoad(backend, keys, stored.reason, records, error);
    if (settled != RemoteSnapshot::kDone) return settled;
  }
  logSnapshotEvent(false);
  *records = static_cast<int>(keys.size());
  return RemoteSnapshot::kDone;
}

}  // namespace kvpool
