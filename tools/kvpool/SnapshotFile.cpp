#include "tools/kvpool/SnapshotFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string_view>

namespace kvpooltool {
namespace {

constexpr const char* kSnapshotDirectory = "/tmp";
// mkstemp's six letters or digits after the snapshot's own name.
constexpr std::string_view kLeftoverPrefix = "KvPoolData.bin.";
constexpr std::size_t kLeftoverSuffixBytes = 6;
constexpr time_t kLeftoverAgeSeconds = 60;

std::string describeKind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

bool isLeftoverName(std::string_view name) {
  if (name.size() != kLeftoverPrefix.size() + kLeftoverSuffixBytes) return false;
  if (name.substr(0, kLeftoverPrefix.size()) != kLeftoverPrefix) return false;
  for (char c : name.substr(kLeftoverPrefix.size())) {
    const bool letterOrDigit =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letterOrDigit) return false;
  }
  return true;
}

// Calls visit(path, facts) for each leftover that is a regular file.
template <typename Visit>
void forEachLeftover(Visit&& visit) {
  std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(kSnapshotDirectory), closedir);
  if (!directory) return;
  while (const dirent* entry = readdir(directory.get())) {
    if (!isLeftoverName(entry->d_name)) continue;
    const std::string path = std::string(kSnapshotDirectory) + "/" + entry->d_name;
    const FileFacts facts = lookAtFile(path);
    if (facts.regular) visit(path, facts);
  }
}

}  // namespace

std::optional<PoolImage> readSnapshotFile(const std::string& path, std::string* why) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ELOOP) {
      *why = path + " is a symbolic link: refused (a snapshot is never read through a link)";
    } else {
      *why = "cannot open " + path + ": " + std::strerror(error);
    }
    return std::nullopt;
  }
  FdCloser closer{fd};
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    *why = "cannot look at " + path + ": fstat failed: " + std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode)) {
    *why = path + " is " + describeKind(status.st_mode) + ", not a regular file: refused";
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
  facts.kind = describeKind(status.st_mode);
  facts.bytes = status.st_size;
  facts.modified = status.st_mtime;
  return facts;
}

Leftovers findSnapshotLeftovers() {
  Leftovers found;
  forEachLeftover([&](const std::string&, const FileFacts& facts) {
    found.files += 1;
    found.bytes += facts.bytes;
  });
  return found;
}

Leftovers removeStaleSnapshotLeftovers(std::vector<std::string>* failures) {
  Leftovers removed;
  const time_t now = time(nullptr);
  forEachLeftover([&](const std::string& path, const FileFacts& facts) {
    if (now - facts.modified < kLeftoverAgeSeconds) return;
    if (unlink(path.c_str()) != 0) {
      failures->push_back("cannot remove the leftover " + path +
                          ": unlink failed: " + std::strerror(errno));
      return;
    }
    removed.files += 1;
    removed.bytes += facts.bytes;
  });
  return removed;
}

}  // namespace kvpooltool
