#include "tools/kvpool/PoolFacts.h"

#include <errno.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "pool/PoolRecords.h"
#include "tools/kvpool/Report.h"

namespace kvpooltool {

int32_t PoolFacts::used() const {
  if (!image) return 0;
  return std::clamp(walk.header.usedSize, kvpool::kPoolHeaderBytes, std::max(capacity(), 12));
}

double PoolFacts::share() const {
  return capacity() > 0 ? static_cast<double>(used()) / capacity() : 0;
}

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
  facts.snapshot = lookAtFile(snapshotPath());
  facts.trace = lookAtFile(kTracePath);
  facts.leftovers = kvpool::findDeadSavesFiles(false);
  if (auto pages = checkPagesVariable()) facts.warnings.push_back(*pages);
  if (facts.image && facts.share() > kFullWarningShare) {
    char share[16];
    std::snprintf(share, sizeof share, "%.1f%%", 100 * facts.share());
    facts.warnings.push_back(std::string("the pool is ") + share + " full (" +
                             std::to_string(facts.used()) + " of " +
                             std::to_string(facts.capacity()) +
                             " bytes): stores fail with result 8 once a record no longer fits");
  }
  return facts;
}

namespace {

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

}  // namespace

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

}  // namespace kvpooltool
