// The snapshot file, read as the library reads it: /tmp is writable by anyone, so no link is
// followed, only a regular file is read, opening never blocks (a FIFO planted at the path), and no
// more is read than the largest pool can hold.
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

// What lstat's mode says a file is: "a regular file", "a symbolic link",
// "a FIFO", "a directory", "a character device", ...
std::string describeFileKind(mode_t mode);

}  // namespace kvpooltool

#endif
