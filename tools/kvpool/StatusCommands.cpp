// status (as text or JSON), metrics and what they and watch look at: the
// pool and its files, gathered once (PoolFacts) so that every form agrees.
#include <errno.h>
#include <pwd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/kvpool/Commands.h"

namespace kvpooltool {
namespace {

// A pool this full gets a warning: stores fail with 8 once a record no
// longer fits, and records are small.
constexpr double kFullWarningShare = 0.9;

// A file as lstat sees it, without following a link; empty when missing.
FileFacts lookAtFile(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? FileFacts(status) : std::nullopt;
}

std::string percent(double share) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", 100 * share);
  return text;
}

// The owner's name, or empty when the system knows none.
std::string userName(uid_t uid) {
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return {};
  }
  return entry.pw_name;
}

long long ageSeconds(const FileFacts& file) {
  return std::max<long long>(0, static_cast<long long>(time(nullptr) - file->st_mtime));
}

std::string describeFile(const std::string& rawPath, const FileFacts& file) {
  const std::string path = printable(rawPath);
  if (!file) return path + ", none";
  if (!S_ISREG(file->st_mode)) {
    return path + ", " + kvpool::describeFileKind(file->st_mode) +
           " (refused: only a regular file is read)";
  }
  return path + ", " + std::to_string(file->st_size) + " bytes, written " +
         std::to_string(ageSeconds(file)) + " s ago";
}

// Where the pool's last node saves it, as far as this process's file
// (KVPOOL_PERSIST or --file) tells.
std::string persistenceText(const kvpool::PoolPersistFacts& persist) {
  if (persist.pathTag == 0) return "no: created without KVPOOL_PERSIST";
  const char* path = kvpool::persistPath();
  std::string file = "the file its creator's KVPOOL_PERSIST names";
  if (path != nullptr) {
    file = kvpool::persistPathTag(path) == persist.pathTag
               ? std::string(path)
               : "another file than " + std::string(path);
  }
  if (!persist.savesOverFile) {
    return "yes: created with KVPOOL_PERSIST (" + file +
           "), but not loaded from it (the file was kept in place at creation, event 20): no last "
           "node saves over it";
  }
  return "yes: created with KVPOOL_PERSIST, its last node saves it to " + file;
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
  const kvpool::PoolPersistFacts& persist = facts.image->persist;
  std::cout << "  persistent:     " << persistenceText(persist) << "\n";
  if (persist.kept != kvpool::PoolKept::kNot) {
    std::cout << "  last node:      kept it unsaved: " << kvpool::describeKept(persist.kept)
              << "; the pool stayed in memory (event 19 in the broker's log says why)\n";
  }
}

nlohmann::ordered_json fileJson(const std::string& path, const FileFacts& file) {
  nlohmann::ordered_json out = {{"path", path}, {"present", file.has_value()}};
  if (file) {
    out["regularFile"] = S_ISREG(file->st_mode) != 0;
    out["bytes"] = file->st_size;
    out["ageSeconds"] = ageSeconds(file);
  }
  return out;
}

nlohmann::ordered_json statusJson(const PoolFacts& facts) {
  nlohmann::ordered_json pool = {{"present", facts.present()}, {"semaphoreSet", nullptr}};
  if (facts.ids.semaphores != -1) {
    nlohmann::ordered_json& set = pool["semaphoreSet"] = {{"id", facts.ids.semaphores}};
    if (facts.semaphores) {
      set["writer"] = facts.semaphores->writer;
      set["readers"] = facts.semaphores->readers;
      set["freeSlots"] = facts.semaphores->freeSlots;
    } else {
      set["error"] = facts.semaphoreError;
    }
  }
  // Denied access: nothing more can be known, no count, no size.
  pool["nodeContexts"] = nullptr;
  if (facts.accessDenied) {
    pool["accessDenied"] = *facts.accessDenied;
    pool["segment"] = {{"id", facts.ids.segment}};
  } else {
    pool["nodeContexts"] = facts.nodeContexts();
  }
  if (facts.present() && !facts.accessDenied) {
    pool["segment"] = {{"id", facts.ids.segment},
                       {"bytes", facts.segment.bytes},
                       {"attachedProcesses", facts.segment.attachedProcesses}};
  }
  if (facts.image && !facts.accessDenied) {
    pool["capacity"] = facts.capacity();
    pool["used"] = facts.used();
    pool["records"] = facts.records();
    pool["chainSound"] = facts.walk.sound();
    const kvpool::PoolPersistFacts& persist = facts.image->persist;
    pool["createdPersistent"] = persist.savesOverFile;
    pool["createdWithPersist"] = persist.pathTag != 0;
    pool["keptUnsaved"] = nullptr;
    if (persist.kept != kvpool::PoolKept::kNot) {
      pool["keptUnsaved"] = kvpool::describeKept(persist.kept);
    }
  } else if (facts.present()) {
    pool["readError"] = facts.imageError;
  }
  return {
      {"pool", pool},
      {"snapshot", fileJson(snapshotFilePath(), facts.snapshot)},
      {"snapshotLeftovers", {{"files", facts.leftovers.files}, {"bytes", facts.leftovers.bytes}}},
      {"trace", fileJson(kTracePath, facts.trace)},
      {"warnings", facts.warnings}};
}

void printGauge(const char* name, const char* help, long long value) {
  std::cout << "# HELP " << name << " " << help << "\n# TYPE " << name << " gauge\n"
            << name << " " << value << "\n";
}

// A pool some setting says to keep that its last node did not save, or
// whose file's folder cannot take a save now.
void addPersistWarnings(const kvpool::PoolPersistFacts& persist,
                        std::vector<std::string>* warnings) {
  if (persist.kept != kvpool::PoolKept::kNot) {
    warnings->push_back(kvpool::describeKept(persist.kept) +
                        "; the pool stayed in memory unsaved (kvpool save saves it)");
  }
  const char* path = kvpool::persistPath();
  std::string problem;
  if (path != nullptr && persist.savesOverFile && kvpool::persistPathTag(path) == persist.pathTag &&
      !kvpool::checkPersistFolder(path, &problem)) {
    warnings->push_back(problem + ": the pool's last node would keep it in memory unsaved");
  }
}

}  // namespace

PoolFacts gatherPoolFacts(double waitSeconds) {
  PoolFacts facts;
  facts.ids = kvpool::findPoolIds();
  bool semaphoresDenied = false;
  if (facts.ids.semaphores != -1) {
    kvpool::PoolSemaphoreValues values;
    if (kvpool::readPoolSemaphores(facts.ids.semaphores, &values)) {
      facts.semaphores = values;
    } else {
      semaphoresDenied = errno == EACCES;
      facts.semaphoreError = std::strerror(errno);
    }
  }
  if (facts.ids.exists()) {
    facts.image = readSegment(facts.ids, waitSeconds, &facts.segment, &facts.imageError);
    if (facts.image) facts.walk = walkPool(*facts.image);
    kvpool::PoolSegmentStatus segment;
    if (semaphoresDenied ||
        (!facts.image && !kvpool::readPoolSegmentStatus(facts.ids.segment, &segment) &&
         errno == EACCES)) {
      facts.accessDenied = accessDeniedText();
    }
  }
  facts.snapshot = lookAtFile(snapshotFilePath());
  facts.trace = lookAtFile(kTracePath);
  facts.leftovers = kvpool::findDeadSavesFiles(false);
  if (auto pages = checkPagesVariable()) facts.warnings.push_back(*pages);
  if (facts.image) addPersistWarnings(facts.image->persist, &facts.warnings);
  if (facts.image && facts.share() > kFullWarningShare) {
    facts.warnings.push_back("the pool is " + percent(facts.share()) + " full (" +
                             std::to_string(facts.used()) + " of " +
                             std::to_string(facts.capacity()) +
                             " bytes): stores fail with result 8 once a record no longer fits");
  }
  return facts;
}

std::string accessDeniedText() {
  const std::string denied = "this user may not open it (permission denied)";
  std::ifstream table("/proc/sysvipc/shm");
  std::string line;
  if (!std::getline(table, line)) return denied;
  // Columns by their names in the first line.
  std::vector<std::string> names;
  std::istringstream header(line);
  for (std::string name; header >> name;) names.push_back(name);
  const auto column = [&](const char* name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  };
  const std::size_t keyAt = column("key"), permsAt = column("perms"), uidAt = column("uid");
  while (std::getline(table, line)) {
    std::vector<std::string> fields;
    std::istringstream row(line);
    for (std::string field; row >> field;) fields.push_back(field);
    if (keyAt >= fields.size() || permsAt >= fields.size() || uidAt >= fields.size()) continue;
    if (fields[keyAt] != std::to_string(KVPOOL_SHM_KEY)) continue;
    const auto uid = static_cast<uid_t>(std::strtoul(fields[uidAt].c_str(), nullptr, 10));
    const unsigned long mode = std::strtoul(fields[permsAt].c_str(), nullptr, 8) & 0777;
    const std::string name = userName(uid);
    char modeText[8];
    std::snprintf(modeText, sizeof modeText, "%04lo", mode);
    return "owned by " + (name.empty() ? "" : "user " + printable(name) + " ") + "(uid " +
           std::to_string(uid) + "), mode " + modeText + ": " + denied;
  }
  return denied;
}

std::optional<std::string> checkPagesVariable() {
  const char* text = std::getenv("KVPOOL_MEMORY_PAGES");
  if (text == nullptr) return std::nullopt;
  const std::string value = text;
  const std::size_t digits = std::min(value.find_first_not_of("0123456789"), value.size());
  const std::string quoted = "KVPOOL_MEMORY_PAGES=\"" + printable(value) + "\"";
  const std::string range = "a whole number of 4096-byte pages from 1 to 5000";
  if (digits == 0) return quoted + " is not " + range + ": a pool created with it gets 1 page";
  if (digits < value.size()) {
    return quoted + " has trailing text \"" + printable(value.substr(digits)) + "\"; give " + range;
  }
  const long pages = digits <= 23 ? std::strtol(value.c_str(), nullptr, 10) : 0;
  if (pages < 1 || pages > 5000) {
    return quoted + " is out of range (" + range + "): a pool created with it gets 1 page";
  }
  return std::nullopt;
}

int runStatus(bool json, double waitSeconds) {
  const PoolFacts facts = gatherPoolFacts(waitSeconds);
  for (const std::string& warning : facts.warnings) warn(warning);
  const bool unreadable = facts.present() && !facts.image;
  if (json) {
    printJson(statusJson(facts));
    return unreadable ? kExitNotDone : kExitDone;
  }
  printPool(facts);
  std::cout << "snapshot file:    " << describeFile(snapshotFilePath(), facts.snapshot) << "\n";
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
             facts.image && facts.image->persist.savesOverFile ? 1 : 0);
  printGauge("kvpool_pool_kept_unsaved",
             "Whether the machine's last node left the pool in memory unsaved (event 19).",
             facts.image && facts.image->persist.kept != kvpool::PoolKept::kNot ? 1 : 0);
  if (facts.snapshot && S_ISREG(facts.snapshot->st_mode)) {
    printGauge("kvpool_snapshot_age_seconds",
               "Seconds since the snapshot file (KVPOOL_PERSIST, else /tmp/KvPoolData.bin) was "
               "written.",
               ageSeconds(facts.snapshot));
    printGauge("kvpool_snapshot_size_bytes", "Size of the snapshot file.", facts.snapshot->st_size);
  }
  return kExitDone;
}

}  // namespace kvpooltool
