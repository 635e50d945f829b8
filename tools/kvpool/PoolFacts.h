// Everything status, status --json, metrics and watch tell about the pool
// and its files, gathered once so that the three forms say the same.
#ifndef KVPOOL_TOOLS_KVPOOL_POOLFACTS_H
#define KVPOOL_TOOLS_KVPOOL_POOLFACTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pool/PoolAccess.h"
#include "tools/kvpool/PoolImage.h"
#include "tools/kvpool/SnapshotFile.h"

namespace kvpooltool {

// A pool this full gets a warning: stores fail with 8 once a record no
// longer fits, and records are small.
constexpr double kFullWarningShare = 0.9;

struct PoolFacts {
  kvpool::PoolIds ids;
  std::optional<kvpool::PoolSemaphoreValues> semaphores;  // empty: no set, or unreadable
  std::string semaphoreError;                             // why unreadable, when a set exists
  kvpool::PoolSegmentStatus segment;                      // as found before kvpool mapped it
  std::optional<PoolImage> image;  // the used bytes, read under the read lock
  std::string imageError;          // why not, when a segment exists
  Walk walk;                       // of image
  FileFacts snapshot;
  FileFacts trace;
  kvpool::DeadSavesFiles leftovers;   // temporary files of killed saves
  std::vector<std::string> warnings;  // each one line: the pages variable, a nearly full pool
  // Set when the pool is there but this user may not open it: its owner and
  // mode, as accessDeniedText gives them.
  std::optional<std::string> accessDenied;

  bool present() const { return ids.exists(); }
  int nodeContexts() const { return semaphores ? semaphores->nodeContexts() : 0; }
  int32_t capacity() const { return image ? image->limit : 0; }
  int32_t used() const;
  int32_t records() const { return image ? static_cast<int32_t>(walk.records.size()) : 0; }
  double share() const;  // used of capacity, 0 to 1
};

// Looks at everything, waiting at most waitSeconds for the read lock.
PoolFacts gatherPoolFacts(double waitSeconds);

// Whose the pool's segment is and its mode, for a user the system keeps
// out: "owned by user app (uid 1001), mode 0600: this user may not open it
// (permission denied)". Read from /proc/sysvipc/shm, which anyone may read
// (IPC_STAT needs read permission); without it only the last part.
std::string accessDeniedText();

// What is wrong with KVPOOL_MEMORY_PAGES in this environment, or nothing when
// it is unset or a whole number from 1 to 5000. The plug-in would otherwise
// create a pool of a size the operator did not mean without a word.
std::optional<std::string> checkPagesVariable();

}  // namespace kvpooltool

#endif
