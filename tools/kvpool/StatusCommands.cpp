// status: one look at the pool and its files (PoolFacts).
#include <cstdio>
#include <ctime>
#include <iostream>
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
}

}  // namespace

int runStatus(double waitSeconds) {
  const PoolFacts facts = gatherPoolFacts(waitSeconds);
  for (const std::string& warning : facts.warnings) warn(warning);
  const bool unreadable = facts.present() && !facts.image;
  printPool(facts);
  std::cout << "snapshot file:    " << describeFile(kSnapshotPath, facts.snapshot) << "\n";
  if (facts.leftovers.files > 0) {
    std::cout << "save leftovers:   "
              << counted(facts.leftovers.files, "temporary file", "temporary files")
              << " of killed saves, " << facts.leftovers.bytes
              << " bytes (kvpool save removes those older than a minute)\n";
  }
  std::cout << "trace file:       " << describeFile(kTracePath, facts.trace) << "\n";
  if (unreadable) return fail("the pool's contents could not be read: " + facts.imageError);
  return kExitDone;
}

}  // namespace kvpooltool
