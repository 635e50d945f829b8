// status (as text or JSON) and metrics: one look at the pool and its files
// (PoolFacts), in the form a person, a script or a metrics collector reads.
#include <cstdio>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/kvpool/Commands.h"
#include "tools/kvpool/PoolFacts.h"
#include "tools/kvpool/Report.h"

namespace kvpooltool {
namespace {

long long ageSeconds(const FileFacts& file) {
  return std::max<long long>(0, static_cast<long long>(time(nullptr) - file.modified));
}

std::string describeFile(const std::string& path, const FileFacts& file) {
  if (!file.exists) return path + ", none";
  if (!file.regular) return path + ", " + file.kind + " (refused: only a regular file is read)";
  return path + ", " + std::to_string(file.bytes) + " bytes, written " +
         std::to_string(ageSeconds(file)) + " s ago";
}

std::string percent(double share) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", 100 * share);
  return text;
}

void printPool(const PoolFacts& facts) {
  const kvpool::PoolIds& ids = facts.ids;
  if (!ids.exists() && ids.semaphores == -1) {
    std::cout << "pool: none on this machine (no segment with key 99999, no semaphore set with "
                 "key 88888)\n";
    return;
  }
  if (facts.accessDenied) {
    std::cout << "pool: present, " << *facts.accessDenied << "\n";
    return;
  }
  std::cout << "pool: " << (ids.exists() ? "present" : "no segment (key 99999)") << "\n";
  if (ids.semaphores == -1) {
    std::cout << "  semaphore set:  none (key 88888): nobody can lock the segment\n";
  } else if (!facts.semaphores) {
    std::cout << "  semaphore set:  id " << ids.semaphores
              << ", values unreadable: " << facts.semaphoreError << "\n";
  } else {
    const kvpool::PoolSemaphoreValues& values = *facts.semaphores;
    std::cout << "  semaphore set:  id " << ids.semaphores << " (key 88888): writer "
              << values.writer << ", readers " << values.readers << ", free user slots "
              << values.freeSlots << "\n";
    std::cout << "  node contexts:  " << values.nodeContexts() << " alive on this machine"
              << (values.nodeContexts() == 0 ? " (a leftover pool: nothing keeps it alive)" : "")
              << "\n";
  }
  if (!ids.exists()) return;
  std::cout << "  segment:        id " << ids.segment << " (key 99999), " << facts.segment.bytes
            << " bytes, " << facts.segment.attachedProcesses << " processes attached\n";
  if (!facts.image) {
    std::cout << "  contents:       unreadable: " << facts.imageError << "\n";
    return;
  }
  std::cout << "  capacity:       " << facts.capacity() << " bytes\n";
  std::cout << "  used:           " << facts.used() << " bytes (" << percent(facts.share()) << "), "
            << facts.walk.header.blockCount << " records\n";
  std::cout << "  chain:          "
            << (facts.walk.sound() ? "sound"
                                   : std::to_string(facts.walk.damage.size()) +
                                         " inconsistencies (kvpool verify lists them)")
            << "\n";
  std::cout << "  persistent:     "
            << (facts.image->persistent
                    ? "yes: created with KVPOOL_PERSIST, its last node saves it to that file"
                    : "no: created without KVPOOL_PERSIST")
            << "\n";
}

nlohmann::ordered_json fileJson(const std::string& path, const FileFacts& file) {
  nlohmann::ordered_json out = {{"path", path}, {"present", file.exists}};
  if (file.exists) {
    out["regularFile"] = file.regular;
    out["bytes"] = file.bytes;
    out["ageSeconds"] = ageSeconds(file);
  }
  return out;
}

nlohmann::ordered_json statusJson(const PoolFacts& facts) {
  nlohmann::ordered_json pool = {{"present", facts.present()}};
  if (facts.ids.semaphores != -1) {
    nlohmann::ordered_json set = {{"id", facts.ids.semaphores}};
    if (facts.semaphores) {
      set["writer"] = facts.semaphores->writer;
      set["readers"] = facts.semaphores->readers;
      set["freeSlots"] = facts.semaphores->freeSlots;
    } else {
      set["error"] = facts.semaphoreError;
    }
    pool["semaphoreSet"] = set;
  } else {
    pool["semaphoreSet"] = nullptr;
  }
  if (facts.accessDenied) {
    // Nothing more can be known: no count, no size.
    pool["nodeContexts"] = nullptr;
    pool["accessDenied"] = *facts.accessDenied;
    pool["segment"] = {{"id", facts.ids.segment}};
  } else {
    pool["nodeContexts"] = facts.nodeContexts();
  }
  if (facts.present() && !facts.accessDenied) {
    pool["segment"] = {{"id", facts.ids.segment},
                       {"bytes", facts.segment.bytes},
                       {"attachedProcesses", facts.segment.attachedProcesses}};
    if (facts.image) {
      pool["capacity"] = facts.capacity();
      pool["used"] = facts.used();
      pool["records"] = facts.records();
      pool["chainSound"] = facts.walk.sound();
      pool["createdPersistent"] = facts.image->persistent;
    } else {
      pool["readError"] = facts.imageError;
    }
  } else if (facts.present()) {
    pool["readError"] = facts.imageError;
  }
  return {
      {"pool", pool},
      {"snapshot", fileJson(snapshotPath(), facts.snapshot)},
      {"snapshotLeftovers", {{"files", facts.leftovers.files}, {"bytes", facts.leftovers.bytes}}},
      {"trace", fileJson(kTracePath, facts.trace)},
      {"warnings", facts.warnings}};
}

void printGauge(const char* name, const char* help, long long value) {
  std::cout << "# HELP " << name << " " << help << "\n# TYPE " << name << " gauge\n"
            << name << " " << value << "\n";
}

}  // namespace

int runStatus(bool json, double waitSeconds) {
  const PoolFacts facts = gatherPoolFacts(waitSeconds);
  for (const std::string& warning : facts.warnings) warn(warning);
  const bool unreadable = facts.present() && !facts.image;
  if (json) {
    std::cout << statusJson(facts).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
              << "\n";
    return unreadable ? kExitNotDone : kExitDone;
  }
  printPool(facts);
  std::cout << "snapshot file:    " << describeFile(snapshotPath(), facts.snapshot) << "\n";
  if (facts.leftovers.files > 0) {
    std::cout << "save leftovers:   "
              << counted(facts.leftovers.files, "temporary file", "temporary files")
              << " of killed saves, " << facts.leftovers.bytes
              << " bytes (a kvpool save by their owner removes them)\n";
  }
  std::cout << "trace file:       " << describeFile(kTracePath, facts.trace) << "\n";
  if (unreadable) return fail("the pool's contents could not be read: " + facts.imageError);
  return kExitDone;
}

int runMetrics(double waitSeconds) {
  const PoolFacts facts = gatherPoolFacts(waitSeconds);
  for (const std::string& warning : facts.warnings) warn(warning);
  // Half a set of numbers would read as a real change: print none.
  if (facts.present() && !facts.image) {
    return fail("no metrics: the pool's contents could not be read: " + facts.imageError);
  }
  printGauge("kvpool_pool_present", "Whether a pool (segment key 99999) exists on this machine.",
             facts.present() ? 1 : 0);
  printGauge("kvpool_pool_used_bytes", "Bytes of the pool in use, its 12-byte header included.",
             facts.used());
  printGauge("kvpool_pool_capacity_bytes", "Bytes the pool can hold.", facts.capacity());
  printGauge("kvpool_pool_records", "Records (keys) in the pool.", facts.records());
  printGauge("kvpool_node_contexts", "Node contexts alive on this machine (user slots taken).",
             facts.nodeContexts());
  printGauge("kvpool_pool_persistent",
             "Whether the pool was created with KVPOOL_PERSIST (its last node saves it).",
             facts.image && facts.image->persistent ? 1 : 0);
  if (facts.snapshot.regular) {
    printGauge("kvpool_snapshot_age_seconds",
               "Seconds since the snapshot file (KVPOOL_PERSIST, else /tmp/KvPoolData.bin) was "
               "written.",
               ageSeconds(facts.snapshot));
    printGauge("kvpool_snapshot_size_bytes", "Size of the snapshot file.", facts.snapshot.bytes);
  }
  return kExitDone;
}

}  // namespace kvpooltool
