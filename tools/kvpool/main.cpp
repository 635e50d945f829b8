// kvpool: looks into and maintains the machine's shared pool.
//
//   kvpool status | list [--json] [--snapshot] | get KEY | set KEY VALUE
//          save | load | verify [--snapshot] | remove [--force]
//
// kvpool finds the segment (key 99999) and the semaphore set (key 88888) by
// their keys and never creates either: it is not a node context and takes no
// user slot, so it neither makes a pool nor keeps one alive. Everything goes
// through the pool's interface for tools (pool/PoolAccess.h), linked in from
// the plug-in's own object files: reading copies the used bytes under the
// pool's read lock; changes (set, save, load) are the plug-in's own store,
// save and load on kvpool's read-write mapping of the existing segment.
//
// Exit status: 0 done; 1 not done (no pool, no such key, pool full, refused,
// damage found); 2 bad command line.
#include <errno.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "pool/KvPoolShm.h"
#include "pool/PoolAccess.h"
#include "tools/kvpool/PoolImage.h"

namespace {

using kvpool::OpenedPool;
using kvpool::PoolIds;

constexpr int kExitDone = 0;
constexpr int kExitNotDone = 1;
constexpr int kExitUsage = 2;
constexpr const char* kSnapshotPath = "/tmp/KvPoolData.bin";
constexpr const char* kTracePath = "/tmp/KvPool.log";
constexpr std::size_t kMaxKeyBytes = 255;

int fail(const std::string& text) {
  std::cerr << "kvpool: " << text << std::endl;
  return kExitNotDone;
}

void warn(const std::string& text) {
  std::cerr << "kvpool: warning: " << text << std::endl;
}

int noPool() {
  return fail(
      "no pool exists on this machine (no segment with key 99999); kvpool never creates one: "
      "the first KvPoolNode of a running flow does");
}

// Control characters would break the one-record-per-line listing.
std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

int nodeContextsAlive(const PoolIds& ids) {
  kvpool::PoolSemaphoreValues values;
  return kvpool::readPoolSemaphores(ids.semaphores, &values) ? values.nodeContexts() : 0;
}

// Reads the live pool, or says why not.
std::optional<kvpooltool::PoolImage> readLivePool(const PoolIds& ids,
                                                  kvpool::PoolSegmentStatus* status,
                                                  int* exitStatus) {
  if (!ids.exists()) {
    *exitStatus = noPool();
    return std::nullopt;
  }
  std::string why;
  auto image = kvpooltool::readSegment(ids, status, &why);
  if (!image) *exitStatus = fail(why);
  if (image && !image->locked) {
    warn("the pool has no semaphore set (key 88888): read without its lock");
  }
  return image;
}

std::optional<kvpooltool::PoolImage> readPoolOrSnapshot(bool snapshot, int* exitStatus) {
  if (!snapshot) {
    kvpool::PoolSegmentStatus status;
    return readLivePool(kvpool::findPoolIds(), &status, exitStatus);
  }
  std::string why;
  auto image = kvpooltool::readSnapshotFile(kSnapshotPath, &why);
  if (!image) *exitStatus = fail(why);
  return image;
}

// Opens the existing pool for a change, or says why not.
bool openForChange(const PoolIds& ids, OpenedPool* pool, std::string* why) {
  if (pool->open(ids, OpenedPool::Mode::kReadWrite)) return true;
  if (pool->failure() == OpenedPool::Failure::kLookAtSegment) {
    *why = std::string("cannot look at the segment: shmctl(IPC_STAT) failed: ") +
           std::strerror(pool->error());
  } else {
    *why = "cannot map the segment (shmat failed; see /tmp/KvPool.log)";
  }
  return false;
}

// The checks every change makes before it touches the pool.
int prepareChange(const PoolIds& ids, const std::string& what) {
  if (!ids.exists()) return noPool();
  if (ids.semaphores == -1) {
    return fail("the pool has no semaphore set (key 88888), so nobody can lock it; " + what +
                " refused (kvpool remove clears such a leftover)");
  }
  if (nodeContextsAlive(ids) == 0) {
    warn(
        "no node context keeps this pool alive: it is a leftover of processes that ended "
        "without deleting their nodes. The change stays only in this leftover: the next flow "
        "finds it, and kvpool remove drops it.");
  }
  return kExitDone;
}

// After a change: was the pool removed by its last node context meanwhile?
void warnIfRemovedMeanwhile(int segment) {
  kvpool::PoolSegmentStatus status;
  if (!kvpool::readPoolSegmentStatus(segment, &status) || status.removed) {
    warn("the pool was removed by its last node context during the change: the change is lost");
  }
}

// ----------------------------------------------------------------- commands --

int status() {
  const PoolIds ids = kvpool::findPoolIds();
  struct stat file {};
  auto describeFile = [&](const char* path) {
    if (stat(path, &file) == 0)
      return std::string(path) + ", " + std::to_string(file.st_size) + " bytes";
    return std::string(path) + ", none";
  };
  if (!ids.exists() && ids.semaphores == -1) {
    std::cout << "pool: none on this machine (no segment with key 99999, no semaphore set with "
                 "key 88888)\n";
  } else {
    std::cout << "pool: " << (ids.exists() ? "present" : "no segment (key 99999)") << "\n";
    kvpool::PoolSemaphoreValues semaphoreValues;
    const kvpool::PoolSemaphoreValues* values =
        kvpool::readPoolSemaphores(ids.semaphores, &semaphoreValues) ? &semaphoreValues : nullptr;
    if (ids.semaphores == -1) {
      std::cout << "  semaphore set:  none (key 88888): nobody can lock the segment\n";
    } else if (values == nullptr) {
      std::cout << "  semaphore set:  id " << ids.semaphores
                << ", values unreadable: " << std::strerror(errno) << "\n";
    } else {
      std::cout << "  semaphore set:  id " << ids.semaphores << " (key 88888): writer "
                << values->writer << ", readers " << values->readers << ", free user slots "
                << values->freeSlots << "\n";
      std::cout << "  node contexts:  " << values->nodeContexts() << " alive on this machine"
                << (values->nodeContexts() == 0 ? " (a leftover pool: nothing keeps it alive)" : "")
                << "\n";
    }
    if (ids.exists()) {
      kvpool::PoolSegmentStatus segment;
      int exitStatus = kExitDone;
      auto image = readLivePool(ids, &segment, &exitStatus);
      std::cout << "  segment:        id " << ids.segment << " (key 99999), " << segment.bytes
                << " bytes, " << segment.attachedProcesses << " processes attached\n";
      if (!image) return exitStatus;
      const kvpooltool::Walk walk = kvpooltool::walkPool(*image);
      const int32_t used = std::max(walk.header.usedSize, 12);
      char share[32];
      std::snprintf(share, sizeof share, "%.1f%%", 100.0 * used / std::max(image->limit, 1));
      std::cout << "  capacity:       " << image->limit << " bytes\n";
      std::cout << "  used:           " << used << " bytes (" << share << "), "
                << walk.header.blockCount << " records\n";
      std::cout << "  chain:          "
                << (walk.sound() ? "sound"
                                 : std::to_string(walk.damage.size()) +
                                       " inconsistencies (kvpool verify lists them)")
                << "\n";
    }
  }
  std::cout << "snapshot file:    " << describeFile(kSnapshotPath) << "\n";
  std::cout << "trace file:       " << describeFile(kTracePath) << "\n";
  return kExitDone;
}

int list(bool json, bool snapshot) {
  int exitStatus = kExitDone;
  auto image = readPoolOrSnapshot(snapshot, &exitStatus);
  if (!image) return exitStatus;
  const kvpooltool::Walk walk = kvpooltool::walkPool(*image);
  if (json) {
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    for (const auto& record : walk.records) {
      records.push_back({{"key", record.key}, {"value", record.value}});
    }
    nlohmann::ordered_json out = {{"source", snapshot ? kSnapshotPath : "pool"},
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

int get(const std::string& key) {
  int exitStatus = kExitDone;
  auto image = readPoolOrSnapshot(false, &exitStatus);
  if (!image) return exitStatus;
  const kvpooltool::Walk walk = kvpooltool::walkPool(*image);
  for (const auto& record : walk.records) {
    if (record.key == key) {
      std::cout << record.value << "\n";
      return kExitDone;
    }
  }
  if (!walk.sound()) return fail("key " + key + " not found, and the record chain is damaged");
  std::string hint;
  if (key.rfind("KvPool", 0) != 0) hint = " (keys that scripts store start with KvPool)";
  return fail("no key \"" + key + "\" in the pool" + hint);
}

int set(const std::string& key, const std::string& value) {
  if (key.empty() || key.size() > kMaxKeyBytes) {
    return fail("a key has 1 to 255 bytes; this one has " + std::to_string(key.size()));
  }
  const PoolIds ids = kvpool::findPoolIds();
  if (int refused = prepareChange(ids, "set"); refused != kExitDone) return refused;
  if (key.rfind("KvPool", 0) != 0) {
    warn("no script can read key \"" + key + "\": pool operands start with KvPool");
  }
  OpenedPool pool;
  if (std::string why; !openForChange(ids, &pool, &why)) return fail(why);
  std::string keyText = key, valueText = value;
  PoolBlockRequest request{};
  request.key = keyText.data();
  request.value = valueText.data();
  const int result = kvpool::storePoolValue(pool.view(), &request);
  warnIfRemovedMeanwhile(ids.segment);
  if (result == KVPOOL_POOL_FULL) {
    return fail("the pool is full: a record of " + std::to_string(request.blockSize) +
                " bytes does not fit (capacity " + std::to_string(pool.pages() * KVPOOL_PAGE_SIZE) +
                " bytes; KVPOOL_MEMORY_PAGES sets it when the pool is created)");
  }
  if (result != KVPOOL_OK) return fail("storing failed with result " + std::to_string(result));
  std::cout << "stored " << key << " (" << value.size() << " bytes)\n";
  return kExitDone;
}

int save() {
  const PoolIds ids = kvpool::findPoolIds();
  if (!ids.exists()) return noPool();
  if (ids.semaphores == -1) {
    return fail("the pool has no semaphore set (key 88888), so it cannot be locked for a save");
  }
  OpenedPool pool;
  if (std::string why; !openForChange(ids, &pool, &why)) return fail(why);
  if (kvpool::savePoolToFile(pool.view()) != 0) {
    return fail(std::string("the pool could not be saved to ") + kSnapshotPath +
                " (see /tmp/KvPool.log for the step that failed)");
  }
  std::string why;
  auto image = kvpooltool::readSnapshotFile(kSnapshotPath, &why);
  if (!image) return fail(why);
  const kvpooltool::Walk walk = kvpooltool::walkPool(*image);
  std::cout << "saved " << walk.records.size() << " records (" << image->bytes.size()
            << " bytes) to " << kSnapshotPath << "\n";
  return kExitDone;
}

int load() {
  const PoolIds ids = kvpool::findPoolIds();
  if (int refused = prepareChange(ids, "load"); refused != kExitDone) return refused;
  std::string why;
  auto file = kvpooltool::readSnapshotFile(kSnapshotPath, &why);
  if (!file) return fail(why + " (kvpool save writes it)");
  const kvpooltool::Walk fileWalk = kvpooltool::walkPool(*file);
  if (!fileWalk.sound()) {
    return fail(std::string(kSnapshotPath) + " is damaged (" + fileWalk.damage.front() +
                "); kvpool verify --snapshot lists every inconsistency");
  }
  if (fileWalk.records.empty()) {
    return fail(std::string(kSnapshotPath) + " holds an empty pool: nothing to load");
  }
  OpenedPool pool;
  if (std::string why; !openForChange(ids, &pool, &why)) return fail(why);
  const PoolControl before = pool.header();
  if (kvpool::loadPoolFromFile(pool.view()) != 0) {
    return fail(std::string(kSnapshotPath) + " was refused by the pool (see /tmp/KvPool.log)");
  }
  const PoolControl after = pool.header();
  warnIfRemovedMeanwhile(ids.segment);
  if (std::memcmp(&before, &after, sizeof before) == 0) {
    if (before.blockCount > 0) {
      return fail("nothing loaded: the pool holds " + std::to_string(before.blockCount) +
                  " records, and a snapshot loads only into an empty pool");
    }
    return fail("nothing loaded: the snapshot's " + std::to_string(file->bytes.size()) +
                " bytes do not fit below the pool's capacity of " +
                std::to_string(pool.pages() * KVPOOL_PAGE_SIZE) + " bytes");
  }
  std::cout << "loaded " << after.blockCount << " records (" << after.usedSize << " bytes) from "
            << kSnapshotPath << "\n";
  return kExitDone;
}

int verify(bool snapshot) {
  int exitStatus = kExitDone;
  auto image = readPoolOrSnapshot(snapshot, &exitStatus);
  if (!image) return exitStatus;
  const kvpooltool::Walk walk = kvpooltool::walkPool(*image);
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
  const std::string what = snapshot ? std::string("snapshot ") + kSnapshotPath : "pool";
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

int remove(bool force) {
  const PoolIds ids = kvpool::findPoolIds();
  if (!ids.exists() && ids.semaphores == -1) return noPool();
  const int alive = nodeContextsAlive(ids);
  if (alive > 0 && !force) {
    return fail(std::to_string(alive) + " node context" + (alive == 1 ? "" : "s") +
                " on this machine still use the pool; stop their flows (the last one removes "
                "the pool) or use --force");
  }
  if (alive > 0) {
    warn(std::to_string(alive) +
         " node contexts still use the pool: their processes keep "
         "their mapping of the old segment, their locks stop working, and their stores are lost");
  }
  int status = kExitDone;
  if (ids.segment != -1) {
    if (!kvpool::removePoolSegment(ids.segment)) {
      status = fail(std::string("cannot remove the segment: shmctl(IPC_RMID) failed: ") +
                    std::strerror(errno));
    } else {
      std::cout << "removed the segment (id " << ids.segment << ", key 99999)\n";
    }
  }
  if (ids.semaphores != -1) {
    if (!kvpool::removePoolSemaphores(ids.semaphores)) {
      status = fail(std::string("cannot remove the semaphore set: semctl(IPC_RMID) failed: ") +
                    std::strerror(errno));
    } else {
      std::cout << "removed the semaphore set (id " << ids.semaphores << ", key 88888)\n";
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kvpool: looks into and maintains the shared key/value pool of this machine."};
  app.require_subcommand(1);
  bool json = false, snapshot = false, force = false;
  std::string key, value;

  app.add_subcommand("status", "Whether a pool exists, its ids, size, use and node contexts");
  CLI::App* listCommand = app.add_subcommand("list", "Keys and values in pool order");
  listCommand->add_flag("--json", json, "As a JSON document");
  listCommand->add_flag("--snapshot", snapshot, "List the snapshot file instead of the pool");
  CLI::App* getCommand = app.add_subcommand("get", "Print the value stored under KEY");
  getCommand->add_option("key", key, "The whole key, e.g. KvPoolOrderId")->required();
  CLI::App* setCommand = app.add_subcommand("set", "Store VALUE under KEY");
  setCommand->add_option("key", key, "The whole key, e.g. KvPoolOrderId")->required();
  setCommand->add_option("value", value, "The value")->required();
  app.add_subcommand("save", "Save the pool to /tmp/KvPoolData.bin");
  app.add_subcommand("load", "Load /tmp/KvPoolData.bin into the empty pool");
  CLI::App* verifyCommand =
      app.add_subcommand("verify", "Walk the record chain and report every inconsistency");
  verifyCommand->add_flag("--snapshot", snapshot, "Verify the snapshot file instead of the pool");
  CLI::App* removeCommand = app.add_subcommand("remove", "Remove the segment and semaphore set");
  removeCommand->add_flag("--force", force, "Even while node contexts use the pool");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitDone : kExitUsage;
  }
  const std::string command = app.get_subcommands().front()->get_name();
  if (command == "status") return status();
  if (command == "list") return list(json, snapshot);
  if (command == "get") return get(key);
  if (command == "set") return set(key, value);
  if (command == "save") return save();
  if (command == "load") return load();
  if (command == "verify") return verify(snapshot);
  if (command == "remove") return remove(force);
  return kExitUsage;
}
