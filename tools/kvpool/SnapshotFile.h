// The snapshot file and what earlier saves left beside it, read as the
// library reads it: /tmp is writable by anyone, so no link is followed, only
// a regular file is read, opening never blocks (a FIFO planted at the path),
// and no more is read than the largest pool can hold.
#ifndef KVPOOL_TOOLS_KVPOOL_SNAPSHOTFILE_H
#define KVPOOL_TOOLS_KVPOOL_SNAPSHOTFILE_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "tools/kvpool/PoolImage.h"

namespace kvpooltool {

constexpr int64_t kLargestPoolBytes = int64_t{KVPOOL_MAX_PAGES} * KVPOOL_PAGE_SIZE;

// The snapshot's bytes, or empty and one line in *why: missing, a link, not
// a regular file, larger than the largest pool, or unreadable.
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

// Temporary files /tmp/KvPoolData.bin.XXXXXX that saves killed before their
// rename left behind (regular files only).
struct Leftovers {
  int files = 0;
  int64_t bytes = 0;
};
Leftovers findSnapshotLeftovers();

// Removes the leftovers not written to for a minute or more: a younger one
// may belong to a save still running. Links and other odd files are left
// alone. Each removal that fails adds one line to *failures.
Leftovers removeStaleSnapshotLeftovers(std::vector<std::string>* failures);

}  // namespace kvpooltool

#endif
