// list, get and verify: the records as read, from a copy of the live pool
// taken under its read lock or from the snapshot file.
#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "tools/kvpool/Commands.h"
#include "tools/kvpool/PoolImage.h"
#include "tools/kvpool/Report.h"
#include "tools/kvpool/SnapshotFile.h"

namespace kvpooltool {
namespace {

using kvpool::PoolIds;

std::optional<PoolImage> readLivePool(double waitSeconds, int* exitStatus) {
  const PoolIds ids = kvpool::findPoolIds();
  if (!ids.exists()) {
    *exitStatus = noPool();
    return std::nullopt;
  }
  std::string why;
  kvpool::PoolSegmentStatus status;
  auto image = readSegment(ids, waitSeconds, &status, &why);
  if (!image) *exitStatus = fail(why);
  if (image && !image->locked) {
    warn("the pool has no semaphore set (key 88888): read without its lock");
  }
  return image;
}

std::optional<PoolImage> readPoolOrSnapshot(bool snapshot, double waitSeconds, int* exitStatus) {
  if (!snapshot) return readLivePool(waitSeconds, exitStatus);
  std::string why;
  auto image = readSnapshotFile(snapshotPath(), &why);
  if (!image) *exitStatus = fail(why);
  return image;
}

}  // namespace

int runList(bool json, bool snapshot, double waitSeconds) {
  int exitStatus = kExitDone;
  auto image = readPoolOrSnapshot(snapshot, waitSeconds, &exitStatus);
  if (!image) return exitStatus;
  const Walk walk = walkPool(*image);
  if (json) {
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    for (const auto& record : walk.records) {
      records.push_back({{"key", record.key}, {"value", record.value}});
    }
    nlohmann::ordered_json out = {{"source", snapshot ? snapshotPath() : "pool"},
                                  {"capacity", image->limit},
                                  {"usedSize", walk.header.usedSize},
                                  {"records", records}};
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::size_t width = 0;
    for (const auto& record : walk.records) width = std::max(width, printable(record.key).size());
    width = std::min<std::size_t>(width, 40);
    for (const auto& record : walk.records) {
      std::string key = printable(record.key);
      if (key.size() < width) key += std::string(width - key.size(), ' ');
      std::cout << key << "  " << printable(record.value) << "\n";
    }
    if (walk.records.empty() && walk.sound()) {
      std::cerr << "kvpool: the " << (snapshot ? "snapshot" : "pool") << " holds no records\n";
    }
  }
  if (!walk.sound()) {
    return fail("the record chain is damaged (" + walk.damage.front() +
                "); kvpool verify lists every inconsistency");
  }
  return kExitDone;
}

int runGet(const std::string& key, double waitSeconds) {
  int exitStatus = kExitDone;
  auto image = readLivePool(waitSeconds, &exitStatus);
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
  std::string hint;
  if (key.rfind("KvPool", 0) != 0) hint = " (keys that scripts store start with KvPool)";
  return fail("no key \"" + printable(key) + "\" in the pool" + hint);
}

int runVerify(bool snapshot, double waitSeconds) {
  int exitStatus = kExitDone;
  auto image = readPoolOrSnapshot(snapshot, waitSeconds, &exitStatus);
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
  const std::string what = snapshot ? std::string("snapshot ") + snapshotPath() : "pool";
  for (const std::string& note : walk.notes) std::cout << "note: " << note << "\n";
  for (const std::string& line : damage) std::cout << "damage: " << line << "\n";
  if (!damage.empty()) {
    std::cout << what << ": damaged, " << damage.size() << " inconsistenc"
              << (damage.size() == 1 ? "y" : "ies") << "\n";
    return kExitNotDone;
  }
  std::cout << what << ": sound, " << walk.records.size() << " records, "
            << std::max(walk.header.usedSize, 12) << " of " << image->limit << " bytes used\n";
  return kExitDone;
}

}  // namespace kvpooltool
