#include "tools/kvpool/PoolFacts.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  if (facts.ids.semaphores != -1) {
    kvpool::PoolSemaphoreValues values;
    if (kvpool::readPoolSemaphores(facts.ids.semaphores, &values)) {
      facts.semaphores = values;
    } else {
      facts.semaphoreError = std::strerror(errno);
    }
  }
  if (facts.ids.exists()) {
    facts.image = readSegment(facts.ids, waitSeconds, &facts.segment, &facts.imageError);
    if (facts.image) facts.walk = walkPool(*facts.image);
  }
  facts.snapshot = lookAtFile(kSnapshotPath);
  facts.trace = lookAtFile(kTracePath);
  facts.leftovers = findSnapshotLeftovers();
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
