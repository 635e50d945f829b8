// The snapshot file, read by the library's own reader (pool/SnapshotFile.h):
// /tmp is writable by anyone, so no link is followed, only a regular file of
// one link is read, opening never blocks (a FIFO planted at the path), and no
// more is read than the largest pool can hold. The chain is left to
// walkPool, which reports every fault.
#ifndef KVPOOL_TOOLS_KVPOOL_SNAPSHOTFILE_H
#define KVPOOL_TOOLS_KVPOOL_SNAPSHOTFILE_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/SnapshotFile.h"
#include "tools/kvpool/PoolImage.h"

namespace kvpooltool {

constexpr int64_t kLargestPoolBytes = int64_t{KVPOOL_MAX_PAGES} * KVPOOL_PAGE_SIZE;

// The snapshot's bytes, or empty and one line in *why: missing, a link, not
// a regular file, more than one link, larger than the largest pool, or
// unreadable.
std::optional<PoolImage> readSnapshotFile(const std::string& path, std::string* why);

// A file as lstat sees it, without following a link.
struct FileFacts {
  bool exists = false;
  bool regular = false;
  std::string kind;  // "a regular file", "a symbolic link", "a FIFO", ...
  int64_t bytes = 0;
  time_t modified = 0;
};
FileFacts lookAtFile(const std::string& path);

using kvpool::describeFileKind;

}  // namespace kvpooltool

#endif
