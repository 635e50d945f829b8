// list, get and verify: the records from a copy of the live pool taken under
// its read lock, or from the snapshot file.
#include "tools/kvpool/Commands.h"

namespace kvpooltool {

using kvpool::PoolIds;

std::optional<PoolImage> readPool(bool snapshot, double waitSeconds, int* exitStatus) {
  std::string why;
  std::optional<PoolImage> image;
  if (snapshot) {
    image = readSnapshotFile(&why);
  } else if (const PoolIds ids = kvpool::findPoolIds(); !ids.exists()) {
    *exitStatus = noPool();
    return image;
  } else {
    kvpool::PoolSegmentStatus status;
    image = readSegment(ids, waitSeconds, &status, &why);
    if (image && !image->locked) {
      warn("the pool has no semaphore set (key 88888): read without its lock");
    }
  }
  if (!image) *exitStatus = fail(why);
  return image;
}

void printRecords(bool json, nlohmann::ordered_json head, const std::vector<std::string>& keys,
                  const std::vector<const std::string*>& values) {
  if (json) {
    nlohmann::ordered_json& records = head["records"] = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (values[i] == nullptr) continue;
      records.push_back({{"key", escapeBytes(keys[i])}, {"value", escapeBytes(*values[i])}});
    }
    return printJson(head);
  }
  std::size_t width = 0;
  for (const std::string& key : keys) width = std::max(width, printable(key).size());
  width = std::min<std::size_t>(width, 40);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (values[i] == nullptr) continue;
    std::string key = printable(keys[i]);
    if (key.size() < width) key += std::string(width - key.size(), ' ');
    std::cout << key << "  " << printable(*values[i]) << "\n";
  }
}

int reportDamage(const std::string& what, const std::vector<std::string>& damage) {
  for (const std::string& line : damage) std::cout << "damage: " << line << "\n";
  if (damage.empty()) return kExitDone;
  std::cout << what << ": damaged, " << damage.size() << " inconsistenc"
            << (damage.size() == 1 ? "y" : "ies") << "\n";
  return kExitNotDone;
}

int runList(bool json, bool snapshot, double waitSeconds) {
  int exitStatus = kExitDone;
  auto image = readPool(snapshot, waitSeconds, &exitStatus);
  if (!image) return exitStatus;
  const Walk walk = walkPool(*image);
  std::vector<std::string> keys;
  std::vector<const std::string*> values;
  for (const auto& record : walk.records) {
    keys.push_back(record.key);
    values.push_back(&record.value);
  }
  printRecords(json,
               {{"source", snapshot ? escapeBytes(snapshotFilePath()) : "pool"},
                {"capacity", image->limit},
                {"usedSize", walk.header.usedSize}},
               keys, values);
  if (!json && walk.records.empty() && walk.sound()) {
    std::cerr << "kvpool: the " << (snapshot ? "snapshot" : "pool") << " holds no records\n";
  }
  if (!walk.sound()) {
    return fail("the record chain is damaged (" + walk.damage.front() +
                "); kvpool verify lists every inconsistency");
  }
  return kExitDone;
}

int runGet(const std::string& key, double waitSeconds) {
  int exitStatus = kExitDone;
  auto image = readPool(false, waitSeconds, &exitStatus);
  if (!image) return exitStatus;
  const Walk walk = walkPool(*image);
  for (const auto& record : walk.records) {
    if (record.key == key) {
      std::cout << record.value << "\n";
      return kExitDone;
    }
  }
  if (!walk.sound()) {
    return fail("key " + printable(key) + " not found, and the record chain is damaged");
  }
  return fail("no key \"" + printable(key) + "\" in the pool" +
              (key.rfind("KvPool", 0) != 0 ? " (keys that scripts store start with KvPool)" : ""));
}

int runVerify(bool snapshot, double waitSeconds) {
  int exitStatus = kExitDone;
  auto image = readPool(snapshot, waitSeconds, &exitStatus);
  if (!image) return exitStatus;
  const Walk walk = walkPool(*image);
  std::vector<std::string> damage = walk.damage;
  if (!snapshot) {
    const PoolIds ids = kvpool::findPoolIds();
    kvpool::PoolSemaphoreValues values;
    if (ids.semaphores == -1) {
      damage.push_back("semaphore set: missing (key 88888), so nobody can lock the segment");
    } else if (kvpool::readPoolSemaphores(ids.semaphores, &values)) {
      if (values.writer > 1) {
        damage.push_back("semaphore set: writer " + std::to_string(values.writer) +
                         ", more than one writer");
      }
      if (values.freeSlots > KVPOOL_USER_SLOTS) {
        damage.push_back("semaphore set: " + std::to_string(values.freeSlots) +
                         " free user slots, more than 10000");
      }
    }
  }
  const std::string what = snapshot ? "snapshot " + printable(snapshotFilePath()) : "pool";
  for (const std::string& note : walk.notes) std::cout << "note: " << note << "\n";
  if (reportDamage(what, damage) != kExitDone) return kExitNotDone;
  std::cout << what << ": sound, " << walk.records.size() << " records, "
            << std::max(walk.header.usedSize, 12) << " of " << image->limit << " bytes used\n";
  return kExitDone;
}

}  // namespace kvpooltool
