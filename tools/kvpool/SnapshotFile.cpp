#include "tools/kvpool/SnapshotFile.h"

#include <sys/stat.h>

namespace kvpooltool {

std::optional<PoolImage> readSnapshotFile(const std::string& path, std::string* why) {
  kvpool::SnapshotImage file = kvpool::readSnapshotImage(
      path.c_str(), kLargestPoolBytes, kvpool::SnapshotCheck::kFile, "the largest pool");
  if (!file.read()) {
    *why = file.reason;
    return std::nullopt;
  }
  PoolImage image;
  image.isSnapshot = true;
  image.bytes = std::move(file.bytes);
  image.limit = static_cast<int32_t>(image.bytes.size());
  return image;
}

FileFacts lookAtFile(const std::string& path) {
  FileFacts facts;
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return facts;
  facts.exists = true;
  facts.regular = S_ISREG(status.st_mode);
  facts.kind = describeFileKind(status.st_mode);
  facts.bytes = status.st_size;
  facts.modified = status.st_mtime;
  return facts;
}

}  // namespace kvpooltool
