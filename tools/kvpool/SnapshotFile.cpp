#include "tools/kvpool/SnapshotFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "support/UniqueFd.h"

namespace kvpooltool {
namespace {

using kvpool::UniqueFd;

}  // namespace

std::optional<PoolImage> readSnapshotFile(const std::string& path, std::string* why) {
  UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  const int fd = file.get();
  if (fd < 0) {
    const int error = errno;
    if (error == ELOOP) {
      *why = path + " is a symbolic link: refused (a snapshot is never read through a link)";
    } else {
      *why = "cannot open " + path + ": " + std::strerror(error);
    }
    return std::nullopt;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    *why = "cannot look at " + path + ": fstat failed: " + std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode)) {
    *why = path + " is " + describeFileKind(status.st_mode) + ", not a regular file: refused";
    return std::nullopt;
  }
  if (status.st_size > kLargestPoolBytes) {
    *why = path + " has " + std::to_string(status.st_size) +
           " bytes, more than the largest pool (" + std::to_string(kLargestPoolBytes) +
           " bytes): refused";
    return std::nullopt;
  }
  // Read at most one byte past the largest pool, so a file that grows while
  // it is read is still refused rather than read without end.
  PoolImage image;
  image.isSnapshot = true;
  image.bytes.resize(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t done = 0;
  for (;;) {
    if (done == image.bytes.size()) {
      if (static_cast<int64_t>(done) > kLargestPoolBytes) {
        *why = path + " grew past the largest pool (" + std::to_string(kLargestPoolBytes) +
               " bytes) while it was read: refused";
        return std::nullopt;
      }
      image.bytes.resize(std::min<std::size_t>(done * 2, kLargestPoolBytes + 1));
    }
    const ssize_t n = read(fd, image.bytes.data() + done, image.bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = "cannot read " + path + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  image.bytes.resize(done);
  image.limit = static_cast<int32_t>(done);
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

std::string describeFileKind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace kvpooltool
